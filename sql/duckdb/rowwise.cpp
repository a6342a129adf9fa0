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

void put_arg(const Function &f, qvh_call *call, bool replace, std::size_t index, const Column &c, idx_t row) {
    const qvh_value v = edge_arg(f, index, c, row);
    int rc;
    if (v.kind == QVH_VALUE_NUM)
        rc = replace ? qvh_call_set_num(call, index, v.num) : qvh_call_add_num(call, v.num);
    else
        rc = replace ? qvh_call_set_str(call, index, v.text, v.len) : qvh_call_add_str(call, v.text, v.len);
    if (rc != QVH_OK) host_failure(f, rc, qvh_call_asked(call));
}

// Notes what qv_status() says after a vector of rows: the host's summary of their statuses, or for
// one row its call described, with the arguments it marked ("invalid argument; argument 1 marked"),
// as the other engines give one result. The call holds the last row's status and marks.
void note_rows(Function &f, const qvh_tally &tally, const qvh_call *call) {
    char text[1024];  // 127 arguments marked fit
    if (tally.rows == 1)
        qvh_call_describe(call, text, sizeof text);
    else
        qvh_tally_describe(&tally, nullptr, text, sizeof text);
    const bool ok = tally.missing_arg + tally.invalid_arg + tally.not_a_number + tally.other == 0;
    f.reg->note(text, ok ? OK : NOT_OK);
}

bool marked(const qvh_call *call, std::size_t nargs) {
    for (std::size_t j = 0; j < nargs; ++j)
        if (qvh_call_marked(call, j)) return true;
    return false;
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
    // The tally alone says what the rows gave: no statuses or marks row by row.
    auto *out = static_cast<double *>(duckdb_vector_get_data(output));
    qvh_tally tally{};
    if (const int rc = qvh_call_rows(call, rows, nargs, args.data(), strides.data(), out, sizeof(double),
                                     nullptr, nullptr, &tally);
        rc != QVH_OK)
        host_failure(f, rc, qvh_call_asked(call));
    for (idx_t i = 0; i < rows; ++i)
        if (qvh_is_missing(out[i])) set_null(output, i);
    note_rows(f, tally, call);
}

// A vector of rows with character values: one call per row.
void mixed_rows(Function &f, qvh_call *call, const std::vector<Column> &cols, idx_t rows, duckdb_vector output) {
    const std::size_t nargs = cols.size();
    auto *out = f.info->result_kind == QVH_KIND_NUM ? static_cast<double *>(duckdb_vector_get_data(output)) : nullptr;
    qvh_tally tally{};
    for (idx_t i = 0; i < rows; ++i) {
        const bool replace = qvh_call_count(call) == nargs;
        if (!replace) qvh_call_clear(call);
        for (std::size_t j = 0; j < nargs; ++j) put_arg(f, call, replace, j, cols[j], i);
        if (const int rc = qvh_call_invoke(call); rc != QVH_OK) host_failure(f, rc);
        const std::int32_t status = qvh_call_status(call);
        if (qvh_status_is_memory(status)) no_memory(f, qvh_call_asked(call));
        qvh_tally_add(&tally, status, marked(call, nargs));
        if (out != nullptr) {
            out[i] = qvh_call_result(call);
            if (qvh_is_missing(out[i])) set_null(output, i);
        } else {
            std::size_t len = 0;
            const char *s = qvh_call_result_str(call, &len);
            duckdb_vector_assign_string_element_len(output, i, s, len);
        }
    }
    note_rows(f, tally, call);
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
