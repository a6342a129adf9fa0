// The row-wise functions: qv_x(a, b, ...) over the values of each row, and qv_status().
#include "extension.hpp"

namespace qvduck {

namespace {

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

}  // namespace

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

}  // namespace qvduck
