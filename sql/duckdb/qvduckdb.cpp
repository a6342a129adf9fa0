// qvduckdb: the package's functions inside DuckDB, as the loadable extension
// qvewumth.duckdb_extension.
//
// Written against DuckDB's stable C extension API only, so the one file loads into every DuckDB
// from 1.2 on. Every function X of the catalogue is registered: a statistic over a list that the
// host library can feed one value at a time is the aggregate qv_x (one column, or the percentile
// or rank and one column) and the row-wise call qv_px over any number of columns; every other
// function is the row-wise qv_x. Every number is computed by the package, through the host library.
//
// DuckDB calls these functions from all of its threads at once. A row-wise function borrows a
// call object from its own pool for one vector of rows; an aggregate state is a small record
// holding the host library's aggregate, which belongs to one thread at a time (DuckDB's rule for
// aggregate states). Nothing here lets an exception or a crash reach the engine: every callback
// catches everything and reports it as the statement's error.
#define DUCKDB_EXTENSION_NAME qvewumth
#include "duckdb_extension.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "qvhost.h"
#include "shared_package.hpp"

DUCKDB_EXTENSION_EXTERN

namespace {

// ---- the package: opened once per process, kept while a database uses it -----------------------

qvsql::SharedPackage shared_package;

// ---- one loaded copy of the extension (one database) ----------------------------------------

// How much a note for qv_status() says: all rows ok, some not, or the statement failed.
enum Severity { OK, NOT_OK, ERROR };

// The tick at which the callback running on this thread began (callbacks do not nest).
thread_local std::uint64_t began = 0;

// Shared by every function registered into one database; freed with the last of them, when the
// database closes.
struct Registry {
    qvh_package *pkg = nullptr;
    std::size_t refs = 1;  // the functions registered, and the loader while it registers
    std::mutex mutex;      // guards refs, status, severity and noted
    std::string status;    // what qv_status() says; empty before any qv_ function ran
    Severity severity = OK;
    std::uint64_t noted = 0;           // the tick at which status was noted
    std::atomic<std::uint64_t> ticks{1};  // counts callbacks begun and notes made
    // The memory of the aggregates' kept values and of their results' scratch work lives outside
    // DuckDB's buffer manager; it is held to the database's memory_limit of when the extension was
    // loaded, and an aggregate refused memory fails its statement with "out of memory".
    std::atomic<std::size_t> kept{0};
    std::size_t limit = SIZE_MAX;
    qvh_allocator allocator{};

    // The last note replaces the one before, except that a callback which was already running
    // when a worse note was made (another thread of the same statement, still finishing its
    // vector after an error) does not hide it.
    void note(std::string text, Severity how) noexcept {
        std::lock_guard lock(mutex);
        if (how < severity && began < noted) return;
        status.swap(text);
        severity = how;
        noted = ticks.fetch_add(1);
    }
    bool reserve(std::size_t n) noexcept {
        std::size_t now = kept.load();
        do {
            if (n > limit - std::min(now, limit)) return false;
        } while (!kept.compare_exchange_weak(now, now + n));
        return true;
    }
};

void *kept_alloc(void *ctx, std::size_t size) {
    auto *reg = static_cast<Registry *>(ctx);
    if (!reg->reserve(size)) return nullptr;
    void *p = std::malloc(size);
    if (p == nullptr) reg->kept -= size;
    return p;
}

void *kept_resize(void *ctx, void *block, std::size_t old_size, std::size_t new_size) {
    auto *reg = static_cast<Registry *>(ctx);
    if (new_size > old_size && !reg->reserve(new_size - old_size)) return nullptr;
    void *p = std::realloc(block, new_size);
    if (p == nullptr && new_size > old_size) reg->kept -= new_size - old_size;
    if (p != nullptr && new_size < old_size) reg->kept -= old_size - new_size;
    return p;
}

void kept_release(void *ctx, void *block, std::size_t size) {
    std::free(block);
    static_cast<Registry *>(ctx)->kept -= size;
}

// DuckDB's memory_limit as its settings write it ("7.6 MiB", "19.1 GiB"); SIZE_MAX when it
// cannot be read.
std::size_t memory_limit(duckdb_connection con) {
    duckdb_result result;
    std::size_t limit = SIZE_MAX;
    if (duckdb_query(con, "SELECT current_setting('memory_limit')", &result) != DuckDBSuccess) {
        duckdb_destroy_result(&result);
        return limit;
    }
    if (duckdb_data_chunk chunk = duckdb_fetch_chunk(result)) {
        duckdb_vector v = duckdb_data_chunk_get_vector(chunk, 0);
        std::uint64_t *valid = duckdb_vector_get_validity(v);
        if (duckdb_data_chunk_get_size(chunk) == 1 && (valid == nullptr || duckdb_validity_row_is_valid(valid, 0))) {
            const auto &s = static_cast<const duckdb_string_t *>(duckdb_vector_get_data(v))[0];
            const std::uint32_t n = s.value.inlined.length;
            const std::string text(n <= 12 ? s.value.inlined.inlined : s.value.pointer.ptr, n);
            char unit[8] = "";
            double amount = 0;
            if (std::sscanf(text.c_str(), "%lf %7s", &amount, unit) == 2 && amount > 0) {
                const std::string u = unit;
                const double scale = u == "bytes" ? 1 : u == "KiB" ? 0x1p10 : u == "MiB" ? 0x1p20 : u == "GiB" ? 0x1p30
                                     : u == "TiB" ? 0x1p40 : u == "KB" ? 1e3 : u == "MB" ? 1e6 : u == "GB" ? 1e9
                                     : u == "TB" ? 1e12 : 0;
                if (scale > 0 && amount * scale < 0x1p62) limit = static_cast<std::size_t>(amount * scale);
            }
        }
        duckdb_destroy_data_chunk(&chunk);
    }
    duckdb_destroy_result(&result);
    return limit;
}

void unref(Registry *reg) noexcept {
    bool last;
    {
        std::lock_guard lock(reg->mutex);
        last = --reg->refs == 0;
    }
    if (last) {
        shared_package.release();
        delete reg;
    }
}

// What one registered function works with (DuckDB's extra info).
struct Function {
    Registry *reg;
    const qvh_info *info;  // nullptr for qv_status
    std::string label;     // the SQL name its messages give: qv_median, qv_pmedian
    std::mutex mutex;      // guards idle
    std::vector<qvh_call *> idle;  // row-wise calls not in use, reused vector after vector

    Function(Registry *r, const qvh_info *i, std::string l) : reg(r), info(i), label(std::move(l)) {
        std::lock_guard lock(reg->mutex);
        ++reg->refs;
    }
    ~Function() {
        for (qvh_call *c : idle) qvh_call_free(c);
        unref(reg);
    }
};

void delete_function(void *p) { delete static_cast<Function *>(p); }

// A failure that becomes the statement's error; the message already names the function.
struct SqlError {
    std::string message;
};

[[noreturn]] void fail(const Function &f, const std::string &what) { throw SqlError{f.label + ": " + what}; }

// A failing host library call: out of memory, or the host's own message, which names the
// function by its SQL name (the label of the call or aggregate).
[[noreturn]] void host_failure(const Function &f, int rc) {
    if (rc == QVH_E_NOMEM) fail(f, "out of memory");
    throw SqlError{qvh_errmsg()};
}

// Runs a callback body: SQL errors and every exception become the statement's error through
// set_error, and qv_status() reports them.
template <class SetError, class Body>
void guarded(Function &f, SetError &&set_error, Body &&body) noexcept {
    std::string message;
    began = f.reg->ticks.fetch_add(1);
    try {
        body();
        return;
    } catch (const SqlError &e) {
        try {
            message = e.message;
        } catch (...) {
        }
    } catch (const std::bad_alloc &) {
    } catch (...) {
    }
    if (message.empty()) message = f.label.empty() ? "qvewumth: out of memory" : f.label + ": out of memory";
    set_error(message.c_str());
    try {
        f.reg->note("error: " + message, ERROR);
    } catch (...) {
    }
}

// ---- values -------------------------------------------------------------------------------------

const char *type_name(duckdb_type t) {
    switch (t) {
        case DUCKDB_TYPE_BOOLEAN: return "BOOLEAN";
        case DUCKDB_TYPE_TIMESTAMP:
        case DUCKDB_TYPE_TIMESTAMP_S:
        case DUCKDB_TYPE_TIMESTAMP_MS:
        case DUCKDB_TYPE_TIMESTAMP_NS:
        case DUCKDB_TYPE_TIMESTAMP_TZ: return "TIMESTAMP";
        case DUCKDB_TYPE_DATE: return "DATE";
        case DUCKDB_TYPE_TIME:
        case DUCKDB_TYPE_TIME_TZ: return "TIME";
        case DUCKDB_TYPE_INTERVAL: return "INTERVAL";
        case DUCKDB_TYPE_BLOB: return "BLOB";
        case DUCKDB_TYPE_LIST:
        case DUCKDB_TYPE_ARRAY: return "LIST";
        case DUCKDB_TYPE_STRUCT: return "STRUCT";
        case DUCKDB_TYPE_MAP: return "MAP";
        case DUCKDB_TYPE_UUID: return "UUID";
        case DUCKDB_TYPE_ENUM: return "ENUM";
        default: return "a value of another type";
    }
}

// One input vector, read row by row as a number or a text.
struct Column {
    enum class Src { Null, I8, I16, I32, I64, U8, U16, U32, U64, I128, U128, F32, F64, Dec, Text, Other };
    Src src = Src::Other;
    duckdb_type type = DUCKDB_TYPE_INVALID;
    duckdb_type dec_storage = DUCKDB_TYPE_INVALID;
    std::uint8_t width = 0, scale = 0;
    const void *data = nullptr;
    std::uint64_t *validity = nullptr;

    explicit Column(duckdb_vector v) {
        duckdb_logical_type lt = duckdb_vector_get_column_type(v);
        type = duckdb_get_type_id(lt);
        switch (type) {
            case DUCKDB_TYPE_SQLNULL: src = Src::Null; break;
            case DUCKDB_TYPE_TINYINT: src = Src::I8; break;
            case DUCKDB_TYPE_SMALLINT: src = Src::I16; break;
            case DUCKDB_TYPE_INTEGER: src = Src::I32; break;
            case DUCKDB_TYPE_BIGINT: src = Src::I64; break;
            case DUCKDB_TYPE_UTINYINT: src = Src::U8; break;
            case DUCKDB_TYPE_USMALLINT: src = Src::U16; break;
            case DUCKDB_TYPE_UINTEGER: src = Src::U32; break;
            case DUCKDB_TYPE_UBIGINT: src = Src::U64; break;
            case DUCKDB_TYPE_HUGEINT: src = Src::I128; break;
            case DUCKDB_TYPE_UHUGEINT: src = Src::U128; break;
            case DUCKDB_TYPE_FLOAT: src = Src::F32; break;
            case DUCKDB_TYPE_DOUBLE: src = Src::F64; break;
            case DUCKDB_TYPE_VARCHAR: src = Src::Text; break;
            case DUCKDB_TYPE_DECIMAL:
                src = Src::Dec;
                width = duckdb_decimal_width(lt);
                scale = duckdb_decimal_scale(lt);
                dec_storage = duckdb_decimal_internal_type(lt);
                break;
            default: break;
        }
        duckdb_destroy_logical_type(&lt);
        data = duckdb_vector_get_data(v);
        validity = duckdb_vector_get_validity(v);
    }

    // DuckDB's validity mask: bit i % 64 of word i / 64 is set for a row that is not NULL.
    bool null(idx_t i) const { return src == Src::Null || (validity != nullptr && !((validity[i / 64] >> (i % 64)) & 1)); }
    bool text() const { return src == Src::Text; }
    std::string_view text(idx_t i) const {
        const auto &s = static_cast<const duckdb_string_t *>(data)[i];
        const std::uint32_t n = s.value.inlined.length;
        return {n <= 12 ? s.value.inlined.inlined : s.value.pointer.ptr, n};
    }
    // A number column's value as a double, as DuckDB's own CAST to DOUBLE gives it.
    double number(idx_t i) const {
        switch (src) {
            case Src::I8: return static_cast<const std::int8_t *>(data)[i];
            case Src::I16: return static_cast<const std::int16_t *>(data)[i];
            case Src::I32: return static_cast<const std::int32_t *>(data)[i];
            case Src::I64: return static_cast<double>(static_cast<const std::int64_t *>(data)[i]);
            case Src::U8: return static_cast<const std::uint8_t *>(data)[i];
            case Src::U16: return static_cast<const std::uint16_t *>(data)[i];
            case Src::U32: return static_cast<const std::uint32_t *>(data)[i];
            case Src::U64: return static_cast<double>(static_cast<const std::uint64_t *>(data)[i]);
            case Src::I128: return duckdb_hugeint_to_double(static_cast<const duckdb_hugeint *>(data)[i]);
            case Src::U128: return duckdb_uhugeint_to_double(static_cast<const duckdb_uhugeint *>(data)[i]);
            case Src::F32: return static_cast<const float *>(data)[i];
            case Src::F64: return static_cast<const double *>(data)[i];
            case Src::Dec: return decimal(i);
            default: return qvh_dot();
        }
    }
    double decimal(idx_t i) const {
        // The stored integer over 10^scale: one rounding while the integer is exact in a double
        // (every DECIMAL up to 15 digits); beyond that DuckDB's own conversion.
        static const double tens[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,
                                      1e10, 1e11, 1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19,
                                      1e20, 1e21, 1e22, 1e23, 1e24, 1e25, 1e26, 1e27, 1e28, 1e29,
                                      1e30, 1e31, 1e32, 1e33, 1e34, 1e35, 1e36, 1e37, 1e38};
        duckdb_hugeint wide{};
        switch (dec_storage) {
            case DUCKDB_TYPE_SMALLINT: return static_cast<const std::int16_t *>(data)[i] / tens[scale];
            case DUCKDB_TYPE_INTEGER: return static_cast<const std::int32_t *>(data)[i] / tens[scale];
            case DUCKDB_TYPE_BIGINT: {
                const std::int64_t v = static_cast<const std::int64_t *>(data)[i];
                if (v >= -(std::int64_t{1} << 53) && v <= (std::int64_t{1} << 53)) return static_cast<double>(v) / tens[scale];
                wide.lower = static_cast<std::uint64_t>(v);
                wide.upper = v < 0 ? -1 : 0;
                break;
            }
            default: wide = static_cast<const duckdb_hugeint *>(data)[i]; break;
        }
        return duckdb_decimal_to_double(duckdb_decimal{width, scale, wide});
    }
};

// The text of a value in an error message: quoted, valid UTF-8 on one line, at most 40 bytes of it.
std::string quoted(std::string_view text) {
    char buf[256];
    qvh_escape(text.data(), text.size(), 40, buf, sizeof buf);
    return std::string("'") + buf + "'";
}

std::string argument(std::size_t index) { return "argument " + std::to_string(index + 1); }

// A numeric argument of one row: NULL is '.', a number converts, and VARCHAR, spaces around it
// ignored as DuckDB's CAST ignores them, is a missing literal ('.A'), '' for '.', or a number.
double number_arg(const Function &f, std::size_t index, const Column &c, idx_t row) {
    if (c.null(row)) return qvh_dot();
    if (c.text()) {
        std::string_view s = c.text(row);
        while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
        while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
        double x = 0;
        if (s.empty()) return qvh_dot();
        if (qvh_parse_missing(s.data(), s.size(), &x) || qvh_parse_number(s.data(), s.size(), &x)) return x;
        fail(f, argument(index) + " is not a number: " + quoted(c.text(row)));
    }
    if (c.src == Column::Src::Other) fail(f, argument(index) + " is " + type_name(c.type) + ", not a number");
    return c.number(row);
}

template <class T>
void widen(const void *data, idx_t rows, double *out) {
    const T *in = static_cast<const T *>(data);
    for (idx_t i = 0; i < rows; ++i) out[i] = static_cast<double>(in[i]);
}

// A numeric argument of every row of a vector, as number_arg reads each.
void numbers_arg(const Function &f, std::size_t index, const Column &c, idx_t rows, double *out) {
    using Src = Column::Src;
    switch (c.src) {
        case Src::F64: std::memcpy(out, c.data, rows * sizeof(double)); break;
        case Src::F32: widen<float>(c.data, rows, out); break;
        case Src::I8: widen<std::int8_t>(c.data, rows, out); break;
        case Src::I16: widen<std::int16_t>(c.data, rows, out); break;
        case Src::I32: widen<std::int32_t>(c.data, rows, out); break;
        case Src::I64: widen<std::int64_t>(c.data, rows, out); break;
        case Src::U8: widen<std::uint8_t>(c.data, rows, out); break;
        case Src::U16: widen<std::uint16_t>(c.data, rows, out); break;
        case Src::U32: widen<std::uint32_t>(c.data, rows, out); break;
        case Src::U64: widen<std::uint64_t>(c.data, rows, out); break;
        default:
            for (idx_t i = 0; i < rows; ++i) out[i] = number_arg(f, index, c, i);
            return;
    }
    if (c.validity != nullptr)
        for (idx_t i = 0; i < rows; ++i)
            if (c.null(i)) out[i] = qvh_dot();
}

// ---- row-wise -----------------------------------------------------------------------------------

// A call borrowed from the function's pool for one vector of rows.
class Lease {
public:
    explicit Lease(Function &f) : f_(f) {
        {
            std::lock_guard lock(f.mutex);
            if (!f.idle.empty()) {
                call_ = f.idle.back();
                f.idle.pop_back();
                return;
            }
        }
        if (const int rc = qvh_call_new(f.reg->pkg, f.info->name, &call_); rc != QVH_OK) host_failure(f, rc);
        if (const int rc = qvh_call_set_label(call_, f.label.c_str()); rc != QVH_OK) {
            qvh_call_free(call_);
            host_failure(f, rc);
        }
    }
    ~Lease() {
        try {
            std::lock_guard lock(f_.mutex);
            f_.idle.push_back(call_);
            return;
        } catch (...) {
        }
        qvh_call_free(call_);
    }
    Lease(const Lease &) = delete;
    Lease &operator=(const Lease &) = delete;
    qvh_call *get() const { return call_; }

private:
    Function &f_;
    qvh_call *call_ = nullptr;
};

std::string describe(const qvh_call *call) {
    std::string text(qvh_call_describe(call, nullptr, 0), '\0');
    qvh_call_describe(call, text.data(), text.size() + 1);
    return text;
}

// Whether argument index of a row goes to the call as a number: always for numeric arguments,
// never for character ones, and for arguments of either kind unless it is text that is not a
// missing literal.
bool numeric_arg(const qvh_info &info, std::size_t index, const Column &c, idx_t row) {
    const int kind = index == 0 ? info.first_kind : info.rest_kind;
    if (kind != QVH_KIND_ANY) return kind == QVH_KIND_NUM;
    if (!c.text() || c.null(row)) return true;
    const std::string_view s = c.text(row);
    double x = 0;
    return qvh_parse_missing(s.data(), s.size(), &x) != 0;
}

void put_arg(const Function &f, qvh_call *call, bool replace, std::size_t index, const Column &c, idx_t row) {
    int rc;
    if (numeric_arg(*f.info, index, c, row)) {
        const double x = number_arg(f, index, c, row);
        rc = replace ? qvh_call_set_num(call, index, x) : qvh_call_add_num(call, x);
    } else {
        if (!c.null(row) && !c.text()) fail(f, argument(index) + " must be text (VARCHAR)");
        const std::string_view s = c.null(row) ? std::string_view{} : c.text(row);
        rc = replace ? qvh_call_set_str(call, index, s.data(), s.size()) : qvh_call_add_str(call, s.data(), s.size());
    }
    if (rc != QVH_OK) host_failure(f, rc);
}

void set_null(duckdb_vector out, idx_t row) {
    duckdb_vector_ensure_validity_writable(out);
    duckdb_validity_set_row_invalid(duckdb_vector_get_validity(out), row);
}

// Notes what qv_status() says after a vector of rows: ok, or the first row that was not ok and
// how many were not.
void note_rows(Function &f, idx_t rows, idx_t not_ok, const std::string &first) {
    if (not_ok == 0)
        f.reg->note("ok", OK);
    else
        f.reg->note(rows == 1 ? first : first + " (" + std::to_string(not_ok) + " of " + std::to_string(rows) + " rows)",
                    NOT_OK);
}

// Whether every argument of every row goes to the call as a number.
bool all_numeric(const qvh_info &info, const std::vector<Column> &cols) {
    for (std::size_t j = 0; j < cols.size(); ++j) {
        const int kind = j == 0 ? info.first_kind : info.rest_kind;
        if (kind == QVH_KIND_CHR || (kind == QVH_KIND_ANY && cols[j].text())) return false;
    }
    return true;
}

// A vector of rows of numbers: converted column by column, then one batch call.
void numeric_rows(Function &f, qvh_call *call, const std::vector<Column> &cols, idx_t rows, duckdb_vector output) {
    const std::size_t nargs = cols.size();
    std::vector<double> values(nargs * rows);
    std::vector<const double *> args(nargs);
    const std::vector<std::ptrdiff_t> strides(nargs, sizeof(double));
    for (std::size_t j = 0; j < nargs; ++j) {
        double *column = values.data() + j * rows;
        numbers_arg(f, j, cols[j], rows, column);
        args[j] = column;
    }
    std::vector<std::int32_t> statuses(rows);
    auto *out = static_cast<double *>(duckdb_vector_get_data(output));
    qvh_tally tally{};
    if (const int rc = qvh_call_rows(call, rows, nargs, args.data(), strides.data(), out, sizeof(double),
                                     statuses.data(), nullptr, &tally);
        rc != QVH_OK)
        host_failure(f, rc);
    std::string first;
    for (idx_t i = 0; i < rows; ++i) {
        if (qvh_is_missing(out[i])) set_null(output, i);
        if (first.empty() && statuses[i] != QVH_STATUS_OK) {
            // The first row that was not ok, called again for its description with its marks.
            for (std::size_t j = 0; j < nargs; ++j) qvh_call_set_num(call, j, args[j][i]);
            if (const int rc = qvh_call_invoke(call); rc != QVH_OK) host_failure(f, rc);
            first = describe(call);
        }
    }
    note_rows(f, rows, tally.missing_arg + tally.invalid_arg + tally.not_a_number + tally.other, first);
}

// A vector of rows with character values: one call per row.
void mixed_rows(Function &f, qvh_call *call, const std::vector<Column> &cols, idx_t rows, duckdb_vector output) {
    const std::size_t nargs = cols.size();
    auto *out = f.info->result_kind == QVH_KIND_NUM ? static_cast<double *>(duckdb_vector_get_data(output)) : nullptr;
    std::string first;
    idx_t not_ok = 0;
    for (idx_t i = 0; i < rows; ++i) {
        const bool replace = qvh_call_count(call) == nargs;
        if (!replace) qvh_call_clear(call);
        for (std::size_t j = 0; j < nargs; ++j) put_arg(f, call, replace, j, cols[j], i);
        if (const int rc = qvh_call_invoke(call); rc != QVH_OK) host_failure(f, rc);
        const std::int32_t status = qvh_call_status(call);
        if (qvh_status_is_memory(status)) fail(f, "out of memory");
        if (status != QVH_STATUS_OK && not_ok++ == 0) first = describe(call);
        if (out != nullptr) {
            out[i] = qvh_call_result(call);
            if (qvh_is_missing(out[i])) set_null(output, i);
        } else {
            std::size_t len = 0;
            const char *s = qvh_call_result_str(call, &len);
            duckdb_vector_assign_string_element_len(output, i, s, len);
        }
    }
    note_rows(f, rows, not_ok, first);
}

void row_wise(duckdb_function_info info, duckdb_data_chunk input, duckdb_vector output) {
    auto &f = *static_cast<Function *>(duckdb_scalar_function_get_extra_info(info));
    guarded(f, [&](const char *m) { duckdb_scalar_function_set_error(info, m); }, [&] {
        const idx_t rows = duckdb_data_chunk_get_size(input);
        const std::size_t nargs = duckdb_data_chunk_get_column_count(input);
        // The number of arguments of a list (DuckDB checks the others when it binds the call).
        if (const int rc = qvh_check_args(f.info, f.label.c_str(), nargs, nullptr); rc != QVH_OK) host_failure(f, rc);
        std::vector<Column> cols;
        cols.reserve(nargs);
        for (std::size_t j = 0; j < nargs; ++j) cols.emplace_back(duckdb_data_chunk_get_vector(input, j));
        Lease lease(f);
        if (f.info->result_kind == QVH_KIND_NUM && all_numeric(*f.info, cols))
            numeric_rows(f, lease.get(), cols, rows, output);
        else
            mixed_rows(f, lease.get(), cols, rows, output);
    });
}

void status_function(duckdb_function_info info, duckdb_data_chunk input, duckdb_vector output) {
    auto &f = *static_cast<Function *>(duckdb_scalar_function_get_extra_info(info));
    guarded(f, [&](const char *m) { duckdb_scalar_function_set_error(info, m); }, [&] {
        std::string text;
        {
            std::lock_guard lock(f.reg->mutex);
            text = f.reg->status;
        }
        const idx_t rows = duckdb_data_chunk_get_size(input);
        for (idx_t i = 0; i < rows; ++i) {
            if (text.empty())
                set_null(output, i);
            else
                duckdb_vector_assign_string_element_len(output, i, text.data(), text.size());
        }
    });
}

// ---- aggregates ---------------------------------------------------------------------------------

// An aggregate state as DuckDB keeps it: DuckDB allocates state_size bytes, calls init, and hands
// the state to update, combine, finalize and destroy. The host aggregate is made on the first
// value, so the many states DuckDB initialises and never feeds (window frames) cost nothing.
struct State {
    std::uint64_t mark;  // MARK while the state is one this extension set up
    qvh_agg *agg;
};
constexpr std::uint64_t MARK = 0x71766167'67737461ULL;

idx_t state_size(duckdb_function_info) { return sizeof(State); }

void state_init(duckdb_function_info, duckdb_aggregate_state s) {
    auto *st = reinterpret_cast<State *>(s);
    st->mark = MARK;
    st->agg = nullptr;
}

void state_destroy(duckdb_aggregate_state *states, idx_t count) {
    for (idx_t i = 0; i < count; ++i) {
        auto *st = reinterpret_cast<State *>(states[i]);
        if (st == nullptr || st->mark != MARK) continue;
        qvh_agg_free(st->agg);
        st->agg = nullptr;
        st->mark = 0;
    }
}

// A state this extension set up, or the statement's error. DuckDB's constant-frame window path
// (OVER () and frames from UNBOUNDED PRECEDING to UNBOUNDED FOLLOWING) hands update a vector
// holding one state where it promises one per row; what lies past it was never set up here.
State &checked(const Function &f, duckdb_aggregate_state s) {
    const auto p = reinterpret_cast<std::uintptr_t>(s);
    if (p == 0 || p % alignof(State) != 0 || reinterpret_cast<const State *>(s)->mark != MARK)
        fail(f, "DuckDB handed this aggregate a state it never set up; a qv_ aggregate over a whole-partition "
                "window frame (OVER () or UNBOUNDED PRECEDING to UNBOUNDED FOLLOWING) is not supported: "
                "aggregate with GROUP BY and join the result instead");
    return *reinterpret_cast<State *>(s);
}

unsigned agg_flags(const qvh_info &info) {
    // Sums and means are appended in order only from kept values; counts and extremes merge their
    // folded states exactly, and every other statistic keeps its values anyway.
    return info.fold == QVH_FOLD_SUM || info.fold == QVH_FOLD_MEAN ? QVH_AGG_KEEP_VALUES : 0u;
}

qvh_agg *agg_of(const Function &f, State &st) {
    if (st.agg == nullptr) {
        int rc = qvh_agg_new_in(f.reg->pkg, f.info->name, agg_flags(*f.info), &f.reg->allocator, &st.agg);
        if (rc == QVH_OK) rc = qvh_agg_set_label(st.agg, f.label.c_str());
        if (rc != QVH_OK) {
            qvh_agg_free(st.agg);
            st.agg = nullptr;
            host_failure(f, rc);
        }
    }
    return st.agg;
}

void agg_update(duckdb_function_info info, duckdb_data_chunk input, duckdb_aggregate_state *states) {
    auto &f = *static_cast<Function *>(duckdb_aggregate_function_get_extra_info(info));
    guarded(f, [&](const char *m) { duckdb_aggregate_function_set_error(info, m); }, [&] {
        const idx_t rows = duckdb_data_chunk_get_size(input);
        const std::size_t xcol = f.info->leading_param ? 1 : 0;
        std::vector<double> xs(rows), ps(xcol == 1 ? rows : 0);
        numbers_arg(f, xcol, Column(duckdb_data_chunk_get_vector(input, xcol)), rows, xs.data());
        if (xcol == 1) numbers_arg(f, 0, Column(duckdb_data_chunk_get_vector(input, 0)), rows, ps.data());
        // Consecutive rows of one state (all of them, without GROUP BY) are added at once.
        for (idx_t i = 0; i < rows;) {
            State &st = checked(f, states[i]);
            idx_t end = i + 1;
            while (end < rows && states[end] == states[i]) ++end;
            qvh_agg *agg = agg_of(f, st);
            for (idx_t k = i; k < end && xcol == 1; ++k)
                if (const int rc = qvh_agg_param(agg, ps[k]); rc != QVH_OK) host_failure(f, rc);
            if (const int rc = qvh_agg_add_n(agg, xs.data() + i, end - i); rc != QVH_OK) host_failure(f, rc);
            i = end;
        }
    });
}

// DuckDB combines partial states of one group: target then holds target's values followed by
// source's (source is left as it was; DuckDB destroys it afterwards).
void agg_combine(duckdb_function_info info, duckdb_aggregate_state *source, duckdb_aggregate_state *target, idx_t count) {
    auto &f = *static_cast<Function *>(duckdb_aggregate_function_get_extra_info(info));
    guarded(f, [&](const char *m) { duckdb_aggregate_function_set_error(info, m); }, [&] {
        for (idx_t i = 0; i < count; ++i) {
            const State &from = checked(f, source[i]);
            State &into = checked(f, target[i]);
            if (from.agg == nullptr) continue;
            if (const int rc = qvh_agg_merge(agg_of(f, into), from.agg); rc != QVH_OK) host_failure(f, rc);
        }
    });
}

void agg_finalize(duckdb_function_info info, duckdb_aggregate_state *source, duckdb_vector result, idx_t count,
                  idx_t offset) {
    auto &f = *static_cast<Function *>(duckdb_aggregate_function_get_extra_info(info));
    guarded(f, [&](const char *m) { duckdb_aggregate_function_set_error(info, m); }, [&] {
        auto *out = static_cast<double *>(duckdb_vector_get_data(result));
        std::int32_t first = QVH_STATUS_OK;
        idx_t not_ok = 0;
        bool no_rows = false;
        for (idx_t i = 0; i < count; ++i) {
            State &st = checked(f, source[i]);
            const idx_t row = offset + i;
            if (st.agg == nullptr && f.info->leading_param) {
                // No row, so no percentile or rank: there is nothing to compute.
                set_null(result, row);
                no_rows = true;
                continue;
            }
            double r = qvh_dot();
            std::int32_t status = QVH_STATUS_OK;
            if (const int rc = qvh_agg_result(agg_of(f, st), &r, &status); rc != QVH_OK) host_failure(f, rc);
            if (qvh_status_is_memory(status)) fail(f, "out of memory");
            if (status != QVH_STATUS_OK && not_ok++ == 0) first = status;
            out[row] = r;
            if (qvh_is_missing(r)) set_null(result, row);
        }
        std::string text = not_ok > 0 ? qvh_status_name(first) : no_rows ? "no rows" : "ok";
        if (not_ok > 0 && count > 1) text += " (" + std::to_string(not_ok) + " of " + std::to_string(count) + " groups)";
        f.reg->note(std::move(text), not_ok > 0 ? NOT_OK : OK);
    });
}

// ---- registration -------------------------------------------------------------------------------

struct Types {
    duckdb_logical_type any = duckdb_create_logical_type(DUCKDB_TYPE_ANY);
    duckdb_logical_type dbl = duckdb_create_logical_type(DUCKDB_TYPE_DOUBLE);
    duckdb_logical_type text = duckdb_create_logical_type(DUCKDB_TYPE_VARCHAR);
    ~Types() {
        duckdb_destroy_logical_type(&any);
        duckdb_destroy_logical_type(&dbl);
        duckdb_destroy_logical_type(&text);
    }
};

// Registers the row-wise form: one overload per number of arguments, or variadic for a list.
bool register_row_wise(duckdb_connection con, Registry *reg, const qvh_info *info, const std::string &name,
                       const Types &t) {
    duckdb_scalar_function_set set = duckdb_create_scalar_function_set(name.c_str());
    const bool list = info == nullptr ? false : info->max_args == QVH_ANY_COUNT;
    const int lo = info == nullptr ? 0 : list ? 0 : info->min_args;
    const int hi = info == nullptr ? 0 : list ? 0 : info->max_args;
    bool ok = set != nullptr;
    for (int n = lo; ok && n <= hi; ++n) {
        duckdb_scalar_function fn = duckdb_create_scalar_function();
        duckdb_scalar_function_set_name(fn, name.c_str());
        if (list) duckdb_scalar_function_set_varargs(fn, t.any);
        for (int k = 0; k < n; ++k) duckdb_scalar_function_add_parameter(fn, t.any);
        duckdb_scalar_function_set_return_type(fn, info != nullptr && info->result_kind == QVH_KIND_NUM ? t.dbl : t.text);
        // NULL arguments reach the function (they are the missing value '.').
        duckdb_scalar_function_set_special_handling(fn);
        if (info == nullptr) duckdb_scalar_function_set_volatile(fn);
        duckdb_scalar_function_set_extra_info(fn, new Function(reg, info, name), delete_function);
        duckdb_scalar_function_set_function(fn, info == nullptr ? status_function : row_wise);
        ok = duckdb_add_scalar_function_to_set(set, fn) == DuckDBSuccess;
        duckdb_destroy_scalar_function(&fn);
    }
    ok = ok && duckdb_register_scalar_function_set(con, set) == DuckDBSuccess;
    duckdb_destroy_scalar_function_set(&set);
    return ok;
}

bool register_aggregate(duckdb_connection con, Registry *reg, const qvh_info *info, const std::string &name,
                        const Types &t) {
    duckdb_aggregate_function fn = duckdb_create_aggregate_function();
    duckdb_aggregate_function_set_name(fn, name.c_str());
    for (int k = 0; k < 1 + info->leading_param; ++k) duckdb_aggregate_function_add_parameter(fn, t.any);
    duckdb_aggregate_function_set_return_type(fn, t.dbl);
    duckdb_aggregate_function_set_special_handling(fn);
    duckdb_aggregate_function_set_functions(fn, state_size, state_init, agg_update, agg_combine, agg_finalize);
    duckdb_aggregate_function_set_destructor(fn, state_destroy);
    duckdb_aggregate_function_set_extra_info(fn, new Function(reg, info, name), delete_function);
    const bool ok = duckdb_register_aggregate_function(con, fn) == DuckDBSuccess;
    duckdb_destroy_aggregate_function(&fn);
    return ok;
}

// Registers everything the package provides; the name that failed in why.
bool register_all(duckdb_connection con, Registry *reg, std::string &why) {
    const Types t;
    for (std::size_t i = 0; i < qvh_function_count(); ++i) {
        const qvh_info *info = qvh_function_at(i);
        if (!qvh_package_has(reg->pkg, info)) continue;  // a name this package gives no entry point
        // A statistic's aggregate takes its name; its row-wise form is qv_p<name> ("parallel" over
        // columns), since DuckDB gives one name to one kind of function only.
        const bool aggregate = info->aggregate != QVH_AGG_NONE;
        const std::string name = qvh_sql_name(info), row_name = aggregate ? "qv_p" + name.substr(3) : name;
        if (aggregate && !register_aggregate(con, reg, info, name, t)) {
            why = "cannot register " + name;
            return false;
        }
        if (!register_row_wise(con, reg, info, row_name, t)) {
            why = "cannot register " + row_name;
            return false;
        }
    }
    if (!register_row_wise(con, reg, nullptr, "qv_status", t)) {
        why = "cannot register qv_status";
        return false;
    }
    return true;
}

}  // namespace

// DuckDB calls the entry point once per database that loads the file (a second LOAD of the same
// extension is not passed on); the connection is DuckDB's own, closed after registration.
DUCKDB_EXTENSION_ENTRYPOINT(duckdb_connection connection, duckdb_extension_info info,
                            struct duckdb_extension_access *access) {
    std::string why;
    bool ok = false;
    try {
        qvh_package *pkg = shared_package.acquire(why);
        if (pkg == nullptr) {
            access->set_error(info, ("qvewumth: " + why).c_str());
            return false;
        }
        Registry *reg = new (std::nothrow) Registry;
        if (reg == nullptr) {
            shared_package.release();
            access->set_error(info, "qvewumth: out of memory");
            return false;
        }
        reg->pkg = pkg;
        reg->limit = memory_limit(connection);
        reg->allocator = {kept_alloc, kept_resize, kept_release, reg};
        try {
            ok = register_all(connection, reg, why);
        } catch (const std::bad_alloc &) {
            why = "out of memory";
        }
        unref(reg);
        if (!ok) access->set_error(info, ("qvewumth: " + why).c_str());
    } catch (...) {
        access->set_error(info, "qvewumth: out of memory");
        return false;
    }
    return ok;
}
