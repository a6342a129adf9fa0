// The host library's C interface: messages, values, the catalogue, the package and calls.
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

#include "internal.hpp"
#include "qv/values.hpp"
#include "text.hpp"

static_assert(QVH_STATUS_OK == STATUS_OK && QVH_STATUS_MISSING_ARG == STATUS_MISSING_ARG &&
              QVH_STATUS_INVALID_ARG == STATUS_INVALID_ARG && QVH_STATUS_NO_SCRATCH == STATUS_NO_SCRATCH &&
              QVH_STATUS_NO_MEMORY == STATUS_NO_MEMORY && QVH_STATUS_UNSUPPORTED == STATUS_UNSUPPORTED);

namespace qvhost {

namespace {

thread_local std::string last_error;

constexpr std::size_t MAX_CHARS = 0xFFFF;               // a CharValue counts characters in 16 bits
constexpr std::size_t MAX_ARGS = 0x7FFFFFFF;            // the package reads the count in 32 bits

std::size_t copy_out(const std::string &text, char *buf, std::size_t size) {
    if (buf != nullptr && size > 0) {
        const std::size_t n = std::min(text.size(), size - 1);
        std::memcpy(buf, text.data(), n);
        buf[n] = '\0';
    }
    return text.size();
}

std::string arity_text(const qvh_info &f) {
    if (f.max_args < 0) return "at least " + std::to_string(f.min_args) + " argument" + (f.min_args == 1 ? "" : "s");
    const std::string n = f.min_args == f.max_args ? std::to_string(f.min_args)
                                                   : std::to_string(f.min_args) + " to " + std::to_string(f.max_args);
    return n + (n == "1" ? " argument" : " arguments");
}

// Converts UTF-8 to the 4-byte characters of a CharValue, refusing what it cannot hold.
int to_chars(const char *utf8, std::size_t len, std::u32string &out) {
    if (utf8 == nullptr && len > 0) return fail(QVH_E_NULL, "a character value is NULL");
    const std::string_view text(utf8 == nullptr ? "" : utf8, len);
    const std::size_t n = utf8_length(text);
    if (n > MAX_CHARS)
        return fail(QVH_E_LIMIT, "a character value holds at most 65535 characters; this one has " + std::to_string(n));
    out.clear();
    utf8_to_u32(text, out);
    return QVH_OK;
}

int check_call(const qvh_call *call) { return call == nullptr ? fail(QVH_E_NULL, "the call is NULL") : QVH_OK; }

}  // namespace

int fail(int rc, std::string message) {
    last_error = std::move(message);
    return rc;
}

int ok() {
    last_error.clear();
    return QVH_OK;
}

double edge_value(double x) { return std::isnan(x) && !qv::is_missing(x) ? qv::MISSING_DOT : x; }

int resolve(qvh_package *pkg, const char *name, const char *what, const qvh_info *&info, QvEntry &entry) {
    if (pkg == nullptr) return fail(QVH_E_NULL, std::string(what) + ": the package is NULL");
    if (name == nullptr) return fail(QVH_E_NULL, std::string(what) + ": the function name is NULL");
    info = find_function(name);
    if (info == nullptr) return fail(QVH_E_UNKNOWN, std::string("unknown function ") + name);
    entry = pkg->entries[index_of(*info)];
    if (entry.scalar == nullptr) return fail(QVH_E_UNAVAILABLE, std::string(info->name) + " is not available in this package");
    return QVH_OK;
}

}  // namespace qvhost

using namespace qvhost;

extern "C" {

// ---- messages ----------------------------------------------------------------------------

const char *qvh_errmsg(void) { return last_error.c_str(); }

const char *qvh_rc_name(int rc) {
    static const char *const names[] = {"QVH_OK",     "QVH_E_NULL",  "QVH_E_OPEN",  "QVH_E_UNKNOWN",
                                        "QVH_E_UNAVAILABLE", "QVH_E_ARITY", "QVH_E_KIND", "QVH_E_LIMIT",
                                        "QVH_E_NOMEM", "QVH_E_STATE", "QVH_E_RANGE"};
    return rc >= 0 && rc < static_cast<int>(std::size(names)) ? names[rc] : "QVH_E_?";
}

const char *qvh_status_name(int32_t status) {
    switch (status) {
        case STATUS_OK: return "ok";
        case STATUS_MISSING_ARG: return "missing argument";
        case STATUS_INVALID_ARG: return "invalid argument";
        case STATUS_NO_SCRATCH: return "no scratch memory";
        case STATUS_NO_MEMORY: return "no memory";
        case STATUS_UNSUPPORTED: return "unsupported";
        default: {
            thread_local char buf[32];
            std::snprintf(buf, sizeof buf, "status 0x%08X", static_cast<unsigned>(status));
            return buf;
        }
    }
}

// ---- values ------------------------------------------------------------------------------

int qvh_is_missing(double x) { return qv::is_missing(x) ? 1 : 0; }

int qvh_missing(char c, double *out) {
    if (out == nullptr) return fail(QVH_E_NULL, "qvh_missing: out is NULL");
    const char name[2] = {'.', c == '.' || c == ' ' ? '\0' : c};
    const int index = missing_literal(std::string_view(name, name[1] == '\0' ? 1 : 2));
    if (index < 0) return fail(QVH_E_RANGE, std::string("no missing value is named '") + c + "'");
    *out = qv::missing_value(index);
    return ok();
}

char qvh_missing_letter(double x) {
    const int kind = qv::missing_kind(x);
    return kind == 0 ? '\0' : kind == 1 ? '_' : kind == 2 ? '.' : static_cast<char>('A' + kind - 3);
}

int qvh_parse_missing(const char *text, size_t len, double *out) {
    if (text == nullptr || out == nullptr) return 0;
    const int index = missing_literal(std::string_view(text, len));
    if (index < 0) return 0;
    *out = qv::missing_value(index);
    return 1;
}

int qvh_parse_number(const char *text, size_t len, double *out) {
    if (text == nullptr || out == nullptr) return 0;
    const std::string_view s(text, len);
    if (qvh_parse_missing(text, len, out)) return 1;
    return read_number(s, *out) ? 1 : 0;
}

size_t qvh_format(double x, char *buf, size_t size) {
    char text[QVH_FORMAT_MAX];
    const std::size_t n = format_number(x, text);
    if (buf != nullptr && size > 0) {
        const std::size_t k = std::min(n, size - 1);
        std::memcpy(buf, text, k);
        buf[k] = '\0';
    }
    return n;
}

// ---- the catalogue -----------------------------------------------------------------------

size_t qvh_function_count(void) { return functions().size(); }
const qvh_info *qvh_function_at(size_t index) { return index < functions().size() ? &functions()[index] : nullptr; }

const qvh_info *qvh_function_find(const char *name) {
    if (name == nullptr) {
        fail(QVH_E_NULL, "qvh_function_find: the name is NULL");
        return nullptr;
    }
    const qvh_info *info = find_function(name);
    if (info == nullptr) fail(QVH_E_UNKNOWN, std::string("unknown function ") + name);
    return info;
}

size_t qvh_routine_count(void) { return routines().size(); }
const qvh_routine_info *qvh_routine_at(size_t index) { return index < routines().size() ? &routines()[index] : nullptr; }

// ---- the package -------------------------------------------------------------------------

int qvh_open(const char *path, qvh_package **out) {
    if (out == nullptr) return fail(QVH_E_NULL, "qvh_open: out is NULL");
    *out = nullptr;
    auto *pkg = new (std::nothrow) qvh_package;
    if (pkg == nullptr) return fail(QVH_E_NOMEM, "qvh_open: out of memory");
    try {
        pkg->package = std::make_unique<Package>(path == nullptr ? std::string{} : std::string(path));
        if (!pkg->package->ok()) {
            const std::string why = pkg->package->error();
            delete pkg;
            return fail(QVH_E_OPEN, why);
        }
        for (const qvh_info &f : functions()) {
            const FuncTableRow *row = pkg->package->find(f.name);
            pkg->entries.push_back(row != nullptr ? row->entry : QvEntry{});
        }
    } catch (const std::bad_alloc &) {
        delete pkg;
        return fail(QVH_E_NOMEM, "qvh_open: out of memory");
    }
    *out = pkg;
    return ok();
}

void qvh_close(qvh_package *pkg) { delete pkg; }

const char *qvh_package_path(const qvh_package *pkg) { return pkg == nullptr ? "" : pkg->package->path().c_str(); }

void *qvh_symbol(const qvh_package *pkg, const char *name) {
    if (pkg == nullptr || name == nullptr) {
        fail(QVH_E_NULL, "qvh_symbol: the package or the name is NULL");
        return nullptr;
    }
    void *p = pkg->package->symbol(name);
    if (p == nullptr) fail(QVH_E_UNKNOWN, std::string("the package exports no ") + name);
    return p;
}

// ---- calls -------------------------------------------------------------------------------

int qvh_call_new(qvh_package *pkg, const char *name, qvh_call **out) {
    if (out == nullptr) return fail(QVH_E_NULL, "qvh_call_new: out is NULL");
    *out = nullptr;
    const qvh_info *info = nullptr;
    QvEntry entry{};
    if (const int rc = resolve(pkg, name, "qvh_call_new", info, entry); rc != QVH_OK) return rc;
    auto *call = new (std::nothrow) qvh_call;
    if (call == nullptr) return fail(QVH_E_NOMEM, "qvh_call_new: out of memory");
    call->info = info;
    call->entry = entry;
    *out = call;
    return ok();
}

void qvh_call_free(qvh_call *call) { delete call; }

const qvh_info *qvh_call_info(const qvh_call *call) { return call == nullptr ? nullptr : call->info; }

void qvh_call_clear(qvh_call *call) {
    if (call == nullptr) return;
    call->args.clear();
    call->invoked = false;
    call->shape_checked = false;
}

int qvh_call_add_num(qvh_call *call, double x) { return qvh_call_add_nums(call, &x, 1); }

int qvh_call_add_nums(qvh_call *call, const double *xs, size_t n) {
    if (const int rc = check_call(call); rc != QVH_OK) return rc;
    if (xs == nullptr && n > 0) return fail(QVH_E_NULL, "qvh_call_add_nums: the values are NULL");
    if (n > MAX_ARGS - call->args.size())
        return fail(QVH_E_LIMIT, std::string(call->info->name) + ": a call takes at most 2147483647 arguments");
    try {
        call->args.reserve(call->args.size() + n);
        for (size_t i = 0; i < n; ++i) call->args.num(edge_value(xs[i]));
        call->shape_checked = false;
    } catch (const std::bad_alloc &) {
        return fail(QVH_E_NOMEM, std::string(call->info->name) + ": out of memory for the argument list");
    }
    return ok();
}

int qvh_call_add_str(qvh_call *call, const char *utf8, size_t len) {
    if (const int rc = check_call(call); rc != QVH_OK) return rc;
    if (call->args.size() >= MAX_ARGS)
        return fail(QVH_E_LIMIT, std::string(call->info->name) + ": a call takes at most 2147483647 arguments");
    if (const int rc = to_chars(utf8, len, call->scratch); rc != QVH_OK) return rc;
    try {
        call->args.chr(call->scratch);
        call->shape_checked = false;
    } catch (const std::bad_alloc &) {
        return fail(QVH_E_NOMEM, std::string(call->info->name) + ": out of memory for the argument list");
    }
    return ok();
}

int qvh_call_set_num(qvh_call *call, size_t index, double x) {
    if (const int rc = check_call(call); rc != QVH_OK) return rc;
    if (index >= call->args.size())
        return fail(QVH_E_RANGE, "argument " + std::to_string(index) + " does not exist (the call has " +
                                     std::to_string(call->args.size()) + ")");
    if (!call->args.numeric(index)) call->shape_checked = false;
    call->args.set_num(index, edge_value(x));
    return QVH_OK;
}

int qvh_call_set_str(qvh_call *call, size_t index, const char *utf8, size_t len) {
    if (const int rc = check_call(call); rc != QVH_OK) return rc;
    if (index >= call->args.size())
        return fail(QVH_E_RANGE, "argument " + std::to_string(index) + " does not exist (the call has " +
                                     std::to_string(call->args.size()) + ")");
    if (const int rc = to_chars(utf8, len, call->scratch); rc != QVH_OK) return rc;
    try {
        if (call->args.numeric(index)) call->shape_checked = false;
        call->args.set_chr(index, call->scratch);
    } catch (const std::bad_alloc &) {
        return fail(QVH_E_NOMEM, std::string(call->info->name) + ": out of memory for the argument list");
    }
    return ok();
}

size_t qvh_call_count(const qvh_call *call) { return call == nullptr ? 0 : call->args.size(); }

int qvh_call_invoke(qvh_call *call) {
    if (const int rc = check_call(call); rc != QVH_OK) return rc;
    const qvh_info &f = *call->info;
    const std::size_t n = call->args.size();
    if (!call->shape_checked) {
        if (n < static_cast<std::size_t>(f.min_args) || (f.max_args >= 0 && n > static_cast<std::size_t>(f.max_args)))
            return fail(QVH_E_ARITY, std::string(f.name) + " takes " + arity_text(f) + ", got " + std::to_string(n) +
                                         ": " + f.usage);
        for (std::size_t i = 0; i < n; ++i) {
            const int want = i == 0 ? f.first_kind : f.rest_kind;
            const int have = call->args.numeric(i) ? QVH_KIND_NUM : QVH_KIND_CHR;
            if ((want & have) == 0)
                return fail(QVH_E_KIND, std::string(f.name) + ": argument " + std::to_string(i + 1) + " must be " +
                                            (want == QVH_KIND_NUM ? "a number, not a character value"
                                                                  : "a character value, not a number"));
        }
        call->shape_checked = true;
    }
    // The package marks arguments only when it reports an invalid one.
    if (call->invoked && call->status != STATUS_OK) call->args.clear_marks();
    FuncArgList *list = call->args.get();
    switch (f.form) {
        case QVH_FORM_SCALAR:
            call->status = call->entry.scalar(&call->result, call->args.value(0));
            break;
        case QVH_FORM_LIST:
            call->status = call->entry.list(list, &call->result);
            break;
        default: {
            // Room for the longest argument: the result is always a copy of one of them.
            std::size_t longest = 0;
            for (std::size_t i = 0; i < n; ++i) longest = std::max<std::size_t>(longest, call->args.char_value(i).length);
            try {
                call->char_buffer.assign(longest, U' ');
            } catch (const std::bad_alloc &) {
                return fail(QVH_E_NOMEM, std::string(f.name) + ": out of memory for the result");
            }
            call->char_result.capacity = static_cast<std::uint16_t>(longest);
            call->char_result.length = 0;
            call->char_result.chars = reinterpret_cast<std::uint32_t *>(call->char_buffer.data());
            call->status = call->entry.charList(list, &call->char_result);
            call->text.clear();
            u32_to_utf8(std::u32string_view(call->char_buffer.data(), call->char_result.length), call->text);
            call->result = qv::MISSING_DOT;
            break;
        }
    }
    call->invoked = true;
    return QVH_OK;
}

double qvh_call_result(const qvh_call *call) {
    return call == nullptr || !call->invoked ? qv::MISSING_DOT : call->result;
}

const char *qvh_call_result_str(const qvh_call *call, size_t *len) {
    const bool has = call != nullptr && call->invoked && call->info->result_kind == QVH_KIND_CHR;
    if (len != nullptr) *len = has ? call->text.size() : 0;
    return has ? call->text.c_str() : nullptr;
}

int32_t qvh_call_status(const qvh_call *call) { return call == nullptr || !call->invoked ? STATUS_OK : call->status; }

int qvh_call_marked(const qvh_call *call, size_t index) {
    return call != nullptr && call->invoked && index < call->args.size() && call->args.marked(index) ? 1 : 0;
}

size_t qvh_call_describe(const qvh_call *call, char *buf, size_t size) {
    std::string text;
    if (call == nullptr || !call->invoked) {
        text = "not called";
    } else {
        text = qvh_status_name(call->status);
        std::vector<std::size_t> marked;
        for (std::size_t i = 0; i < call->args.size(); ++i)
            if (call->args.marked(i)) marked.push_back(i + 1);
        for (std::size_t k = 0; k < marked.size(); ++k) {
            text += k == 0 ? (marked.size() == 1 ? "; argument " : "; arguments ") : ", ";
            text += std::to_string(marked[k]);
        }
        if (!marked.empty()) text += " marked";
    }
    return copy_out(text, buf, size);
}

int qvh_eval(qvh_package *pkg, const char *name, const double *xs, size_t n, double *result, int32_t *status) {
    if (result == nullptr) return fail(QVH_E_NULL, "qvh_eval: result is NULL");
    qvh_call *call = nullptr;
    int rc = qvh_call_new(pkg, name, &call);
    if (rc == QVH_OK) rc = qvh_call_add_nums(call, xs, n);
    if (rc == QVH_OK) rc = qvh_call_invoke(call);
    if (rc == QVH_OK) {
        *result = call->result;
        if (status != nullptr) *status = call->status;
    }
    qvh_call_free(call);
    return rc;
}

}  // extern "C"
