// What the files of the DuckDB extension share: the registry of one database, the record of one
// registered function, the statement's error path, and the reading of DuckDB's vectors.
//
// DuckDB calls these functions from all of its threads at once. Nothing here lets an exception
// or a crash reach the engine: every callback runs its body through guarded(), which turns every
// exception into the statement's error.
#pragma once

#define DUCKDB_EXTENSION_NAME qvewumth
#include "duckdb_extension.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "failure.hpp"
#include "qvhost.h"

DUCKDB_EXTENSION_EXTERN

namespace qvduck {

// How much a note for qv_status() says: all rows ok, some not, or the statement failed.
enum Severity { OK, NOT_OK, ERROR };

// The tick at which the callback running on this thread began (callbacks do not nest).
extern thread_local std::uint64_t began;

// Shared by every function registered into one database; freed with the last of them, when the
// database closes.
struct Registry {
    qvh_package *pkg = nullptr;
    std::size_t refs = 1;  // the functions registered, and the loader while it registers
    std::mutex mutex;      // guards refs, status, severity and noted
    std::string status;    // what qv_status() says; empty before any qv_ function ran
    Severity severity = OK;
    std::uint64_t noted = 0;              // the tick at which status was noted
    std::atomic<std::uint64_t> ticks{1};  // counts callbacks begun and notes made
    // The memory of the aggregates' kept values and of their results' scratch work lives outside
    // DuckDB's buffer manager; it is held to the database's memory_limit of when the extension was
    // loaded, and an aggregate refused memory fails its statement with "out of memory", naming
    // the limit when it was the reason.
    std::atomic<std::size_t> kept{0};
    std::size_t limit = SIZE_MAX;
    char limit_text[32] = "";  // the limit as the database's setting wrote it
    qvh_allocator allocator{};

    void note(std::string text, Severity how) noexcept;
    bool reserve(std::size_t n) noexcept;
};

// The package, opened on first use and shared by every database of the process; null, with why,
// when it cannot be opened. Each acquire is paired with a release.
qvh_package *acquire_package(std::string &why);
// Opens the package inside the extension, or the one QV_LIB names (embedded.cpp).
int open_package(qvh_package **out);
void release_package() noexcept;
// A new registry for the package, its allocator counting against memory_limit of con.
Registry *new_registry(qvh_package *pkg, duckdb_connection con);
void unref(Registry *reg) noexcept;

struct StateTable;
void delete_state_table(StateTable *t) noexcept;

// What one registered function works with (DuckDB's extra info).
struct Function {
    Registry *reg;
    const qvh_info *info;  // nullptr for qv_status
    std::string label;     // the SQL name its messages give: qv_median, qv_pmedian
    std::mutex mutex;      // guards idle
    std::vector<qvh_call *> idle;  // row-wise calls not in use, reused vector after vector
    StateTable *states = nullptr;  // an aggregate's: the states it set up and not yet destroyed
    bool counts_missing = false;   // a count's: it counts the missing values (NMISS), not the others
    // A percentile's form over a list of percentiles, qv_pctl([10, 50, 90], x): a group keeps the
    // number of its list (0: a NULL list) where the scalar form keeps its percentile, and the
    // lists are kept here, each distinct one once, until the extension is unloaded.
    bool percentile_list = false;
    std::mutex lists_mutex;
    std::vector<std::vector<double>> lists;
    std::uint64_t list_number(const std::vector<double> &ps);
    std::vector<double> list_of(std::uint64_t number);

    Function(Registry *r, const qvh_info *i, std::string l);
    ~Function();
};

void delete_function(void *p);

// What loading the extension names itself in its messages.
inline constexpr const char *LOADER = "qvewumth";
// A record loading the extension makes; out of memory in the host's one wording, with its size.
template <class T, class... Args>
T *make(Args &&...args) {
    T *p = new (std::nothrow) T(std::forward<Args>(args)...);
    if (p == nullptr) qvsql::no_memory(LOADER, sizeof(T));
    return p;
}

// The function's own error ("qv_pctl: what"), and a failing host library call, whose message
// names the function by its label; out of memory in the host's one wording, with what was asked.
[[noreturn]] void fail(const Function &f, const std::string &what);
[[noreturn]] void host_failure(const Function &f, int rc, std::size_t asked = 0);
[[noreturn]] void no_memory(const Function &f, std::size_t asked = 0);

// Runs a callback body: every failure and exception becomes the statement's error through
// set_error, and qv_status() reports it.
template <class SetError, class Body>
void guarded(Function &f, SetError &&set_error, Body &&body) noexcept {
    began = f.reg->ticks.fetch_add(1);
    qvsql::guarded(f.label.empty() ? "qvewumth" : f.label.c_str(), body, [&](const qvsql::Failure &e) {
        set_error(e.message());
        try {
            f.reg->note(std::string("error: ") + e.message(), ERROR);
        } catch (...) {
        }
    });
}

// ---- values (values.cpp) ----------------------------------------------------------------------

// One input vector, read row by row as a number or a text.
struct Column {
    enum class Src { Null, I8, I16, I32, I64, U8, U16, U32, U64, I128, U128, F32, F64, Dec, Text, Other };
    Src src = Src::Other;
    duckdb_type type = DUCKDB_TYPE_INVALID;
    duckdb_type dec_storage = DUCKDB_TYPE_INVALID;
    std::uint8_t width = 0, scale = 0;
    const void *data = nullptr;
    std::uint64_t *validity = nullptr;

    explicit Column(duckdb_vector v);
    // DuckDB's validity mask: bit i % 64 of word i / 64 is set for a row that is not NULL.
    bool null(idx_t i) const { return src == Src::Null || (validity != nullptr && !((validity[i / 64] >> (i % 64)) & 1)); }
    bool text() const { return src == Src::Text; }
    std::string_view text(idx_t i) const;
    // A number column's value as a double, as DuckDB's own CAST to DOUBLE gives it.
    double number(idx_t i) const;
    double decimal(idx_t i) const;
};

const char *type_name(duckdb_type t);
std::string argument(std::size_t index);
// Argument index of one row as the call takes it, by the host's rule for an engine's value
// (qvh_edge_arg): a number or a text.
qvh_value edge_arg(const Function &f, std::size_t index, const Column &c, idx_t row);
// A numeric argument of one row.
double number_arg(const Function &f, std::size_t index, const Column &c, idx_t row);
// A numeric argument of every row of a vector, as number_arg reads each.
void numbers_arg(const Function &f, std::size_t index, const Column &c, idx_t rows, double *out);
void set_null(duckdb_vector out, idx_t row);

// ---- the registered callbacks -----------------------------------------------------------------

void row_wise(duckdb_function_info info, duckdb_data_chunk input, duckdb_vector output);
void status_function(duckdb_function_info info, duckdb_data_chunk input, duckdb_vector output);
bool register_aggregate(duckdb_connection con, Registry *reg, const qvh_info *info, const std::string &name);
bool register_catalogue(duckdb_connection con, Registry *reg);
bool register_all(duckdb_connection con, Registry *reg, std::string &why);

}  // namespace qvduck
