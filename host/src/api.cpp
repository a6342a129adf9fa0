// The host library's C interface: messages, values, the catalogue, the package and its memory.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

#include "internal.hpp"
#include "text.hpp"

static_assert(QVH_STATUS_OK == STATUS_OK && QVH_STATUS_MISSING_ARG == STATUS_MISSING_ARG &&
              QVH_STATUS_INVALID_ARG == STATUS_INVALID_ARG && QVH_STATUS_NO_SCRATCH == STATUS_NO_SCRATCH &&
              QVH_STATUS_NO_MEMORY == STATUS_NO_MEMORY && QVH_STATUS_UNSUPPORTED == STATUS_UNSUPPORTED);

namespace qvhost {

std::size_t copy_out(std::string_view text, char *buf, std::size_t size) noexcept {
    if (buf != nullptr && size > 0) {
        const std::size_t n = std::min(text.size(), size - 1);
        std::memcpy(buf, text.data(), n);
        buf[n] = '\0';
    }
    return text.size();
}

void Label::set(const char *name) noexcept {
    const std::size_t n = name == nullptr ? 0 : std::min(std::strlen(name), sizeof text - 1);
    std::memcpy(text, name == nullptr ? "" : name, n);
    text[n] = '\0';
}

void put_arity(Msg &m, const qvh_info &f) {
    if (f.max_args < 0) {
        m << "at least " << f.min_args << (f.min_args == 1 ? " argument" : " arguments");
    } else if (f.min_args == f.max_args) {
        m << f.min_args << (f.min_args == 1 ? " argument" : " arguments");
    } else {
        m << f.min_args << " to " << f.max_args << " arguments";
    }
}

void put_usage(Msg &m, const qvh_info &f, std::string_view label) {
    m << label << std::string_view(f.usage).substr(std::strlen(f.name));
}

int check_count(const qvh_info &f, std::string_view label, std::size_t n) noexcept {
    if (n >= static_cast<std::size_t>(f.min_args) && (f.max_args < 0 || n <= static_cast<std::size_t>(f.max_args)))
        return QVH_OK;
    Msg m;
    m << label << " takes ";
    put_arity(m, f);
    m << ", got " << static_cast<unsigned long long>(n) << ": ";
    put_usage(m, f, label);
    return fail(QVH_E_ARITY, m);
}

int kind_mismatch(const qvh_info &f, std::string_view label, std::size_t i, int want, std::string_view text) noexcept {
    (void)f;
    Msg m;
    m << label << ": argument " << static_cast<unsigned long long>(i + 1) << " must be "
      << (want == QVH_KIND_NUM ? "a number, not a character value" : "a character value, not a number");
    if (!text.empty()) {
        char shown[200];  // at most 40 bytes of the text, each written in at most 4
        escape(text, 40, shown, sizeof shown);
        m << " ('" << shown << "')";
    }
    return fail(QVH_E_KIND, m);
}

int resolve(qvh_package *pkg, const char *name, const char *what, const qvh_info *&info, QvEntry &entry) noexcept {
    if (pkg == nullptr) return fail(QVH_E_NULL, Msg() << what << ": the package is NULL");
    if (name == nullptr) return fail(QVH_E_NULL, Msg() << what << ": the function name is NULL");
    info = find_function(name);
    if (info == nullptr) return fail(QVH_E_UNKNOWN, Msg() << "unknown function " << name);
    entry = pkg->entries[index_of(*info)];
    if (entry.scalar == nullptr) return fail(QVH_E_UNAVAILABLE, Msg() << info->name << " is not available in this package");
    return QVH_OK;
}

}  // namespace qvhost

using namespace qvhost;

extern "C" {

// ---- messages ----------------------------------------------------------------------------

const char *qvh_errmsg(void) noexcept { return last_message(); }

const char *qvh_rc_name(int rc) noexcept {
    static const char *const names[] = {"QVH_OK",     "QVH_E_NULL",  "QVH_E_OPEN",  "QVH_E_UNKNOWN",
                                        "QVH_E_UNAVAILABLE", "QVH_E_ARITY", "QVH_E_KIND", "QVH_E_LIMIT",
                                        "QVH_E_NOMEM", "QVH_E_STATE", "QVH_E_RANGE",
                                        "QVH_E_INTERRUPTED"};
    return rc >= 0 && rc < static_cast<int>(std::size(names)) ? names[rc] : "QVH_E_?";
}

const char *qvh_status_name(int32_t status) noexcept {
    switch (status) {
        case STATUS_OK: return "ok";
        case STATUS_MISSING_ARG: return "missing argument";
        case STATUS_INVALID_ARG: return "invalid argument";
        case STATUS_NO_SCRATCH: return "no scratch memory";
        case STATUS_NO_MEMORY: return "no memory";
        case STATUS_UNSUPPORTED: return "unsupported";
        case QVH_STATUS_NOT_A_NUMBER: return "not a number";
        default: {
            thread_local char buf[32];
            std::snprintf(buf, sizeof buf, "status 0x%08X", static_cast<unsigned>(status));
            return buf;
        }
    }
}

int qvh_status_is_memory(int32_t status) noexcept { return memory_status(status) ? 1 : 0; }

size_t qvh_escape(const char *text, size_t len, size_t max, char *buf, size_t size) noexcept {
    return escape(std::string_view(text == nullptr ? "" : text, text == nullptr ? 0 : len), max, buf, size);
}

// ---- values ------------------------------------------------------------------------------

double qvh_dot(void) noexcept { return qv::MISSING_DOT; }

int qvh_is_missing(double x) noexcept { return qv::is_missing(x) ? 1 : 0; }

int qvh_missing(char c, double *out) noexcept {
    if (out == nullptr) return fail(QVH_E_NULL, "qvh_missing: out is NULL");
    const char name[2] = {'.', c == '.' || c == ' ' ? '\0' : c};
    const int index = missing_literal(std::string_view(name, name[1] == '\0' ? 1 : 2));
    if (index < 0) return fail(QVH_E_RANGE, Msg() << "no missing value is named '" << c << "'");
    *out = qv::missing_value(index);
    return ok();
}

char qvh_missing_letter(double x) noexcept {
    const int kind = qv::missing_kind(x);
    return kind == 0 ? '\0' : kind == 1 ? '_' : kind == 2 ? '.' : static_cast<char>('A' + kind - 3);
}

int qvh_parse_missing(const char *text, size_t len, double *out) noexcept {
    if (text == nullptr || out == nullptr) return 0;
    const int index = missing_literal(std::string_view(text, len));
    if (index < 0) return 0;
    *out = qv::missing_value(index);
    return 1;
}

int qvh_parse_number(const char *text, size_t len, double *out) noexcept {
    if (text == nullptr || out == nullptr) return 0;
    if (qvh_parse_missing(text, len, out)) return 1;
    return read_number(std::string_view(text, len), *out) ? 1 : 0;
}

size_t qvh_format(double x, char *buf, size_t size) noexcept {
    char text[QVH_FORMAT_MAX];
    return copy_out(std::string_view(text, format_number(x, text)), buf, size);
}

// ---- the catalogue -----------------------------------------------------------------------

size_t qvh_function_count(void) noexcept { return functions().size(); }
const qvh_info *qvh_function_at(size_t index) noexcept {
    return index < functions().size() ? &functions()[index] : nullptr;
}

const qvh_info *qvh_function_find(const char *name) noexcept {
    if (name == nullptr) {
        fail(QVH_E_NULL, "qvh_function_find: the name is NULL");
        return nullptr;
    }
    const qvh_info *info = find_function(name);
    if (info == nullptr) fail(QVH_E_UNKNOWN, Msg() << "unknown function " << name);
    return info;
}

const char *qvh_sql_name(const qvh_info *f) noexcept {
    if (f == nullptr || f < functions().data() || f >= functions().data() + functions().size()) return "";
    return sql_name(index_of(*f));
}

size_t qvh_usage(const qvh_info *f, const char *label, char *buf, size_t size) noexcept {
    if (f == nullptr) return copy_out("", buf, size);
    Msg m;
    put_usage(m, *f, label != nullptr ? label : f->name);
    return copy_out(m.view(), buf, size);
}

int qvh_check_args(const qvh_info *f, const char *label, size_t n, const int *kinds) noexcept {
    if (f == nullptr) return fail(QVH_E_NULL, "qvh_check_args: the function is NULL");
    const std::string_view name = label != nullptr ? label : f->name;
    if (kinds == nullptr) return check_count(*f, name, n) == QVH_OK ? ok() : QVH_E_ARITY;
    const int rc = check_shape(*f, name, n, [&](std::size_t i) { return kinds[i]; });
    return rc == QVH_OK ? ok() : rc;
}

size_t qvh_routine_count(void) noexcept { return routines().size(); }
const qvh_routine_info *qvh_routine_at(size_t index) noexcept {
    return index < routines().size() ? &routines()[index] : nullptr;
}

// ---- the package -------------------------------------------------------------------------

int qvh_open(const char *path, qvh_package **out) noexcept {
    if (out == nullptr) return fail(QVH_E_NULL, "qvh_open: out is NULL");
    *out = nullptr;
    auto *pkg = new (std::nothrow) qvh_package;
    if (pkg == nullptr) return no_memory("qvh_open", 0, 0, sizeof(qvh_package));
    try {
        pkg->package = std::make_unique<Package>(path == nullptr ? std::string{} : std::string(path));
        if (!pkg->package->ok()) {
            const int rc = fail(QVH_E_OPEN, pkg->package->error());
            delete pkg;
            return rc;
        }
        pkg->entries.reserve(functions().size());
        for (const qvh_info &f : functions()) {
            const FuncTableRow *row = pkg->package->find(f.name);
            pkg->entries.push_back(row != nullptr ? row->entry : QvEntry{});
        }
    } catch (...) {
        delete pkg;
        return no_memory("qvh_open", 0, 0, take_refused());
    }
    *out = pkg;
    return ok();
}

void qvh_close(qvh_package *pkg) noexcept { delete pkg; }

const char *qvh_package_path(const qvh_package *pkg) noexcept {
    return pkg == nullptr ? "" : pkg->package->path().c_str();
}

int qvh_package_has(const qvh_package *pkg, const qvh_info *f) noexcept {
    if (pkg == nullptr || f == nullptr || f < functions().data() || f >= functions().data() + functions().size())
        return 0;
    return pkg->entries[index_of(*f)].scalar != nullptr ? 1 : 0;
}

void *qvh_symbol(const qvh_package *pkg, const char *name) noexcept {
    if (pkg == nullptr || name == nullptr) {
        fail(QVH_E_NULL, "qvh_symbol: the package or the name is NULL");
        return nullptr;
    }
    void *p = pkg->package->symbol(name);
    if (p == nullptr) fail(QVH_E_UNKNOWN, Msg() << "the package exports no " << name);
    return p;
}

int qvh_set_allocator(qvh_package *pkg, const qvh_allocator *a) noexcept {
    if (pkg == nullptr) return fail(QVH_E_NULL, "qvh_set_allocator: the package is NULL");
    if (a != nullptr && (a->alloc == nullptr || a->release == nullptr))
        return fail(QVH_E_NULL, "qvh_set_allocator: an allocator needs alloc and release");
    pkg->memory = Memory(a);
    return ok();
}

}  // extern "C"
