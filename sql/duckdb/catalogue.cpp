// qv_functions(): the functions this extension registered, one row each, with the SQL name, the
// kind (aggregate, row-wise), how to call it and what it computes, from the host library's
// catalogue. DuckDB's duckdb_functions() lists them too, but the C extension API gives a function
// neither parameter names nor a description, so there they show as col0 ANY and no description.
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

#include "extension.hpp"

namespace qvduck {

namespace {

// One row of the listing; its fields point into the listing's one block of text.
struct Entry {
    std::string_view name, kind, usage, summary;
};

constexpr const char *COLUMNS[] = {"function_name", "kind", "usage", "summary"};

// The rows, written into text and rows when they are given, and counted either way: every function
// of the catalogue the package provides, as register_all registers it, and qv_status.
struct Writer {
    char *text = nullptr;  // room for bytes + 1
    Entry *rows = nullptr;
    std::size_t bytes = 0, count = 0;

    std::string_view put(std::string_view s, std::string_view then = {}) {
        const std::size_t at = bytes;
        if (text != nullptr) std::memcpy(text + at, s.data(), s.size());
        if (text != nullptr) std::memcpy(text + at + s.size(), then.data(), then.size());
        bytes += s.size() + then.size();
        return view(at);
    }
    std::string_view usage(const qvh_info &info, const char *label) {
        const std::size_t at = bytes, n = qvh_usage(&info, label, nullptr, 0);
        if (text != nullptr) qvh_usage(&info, label, text + at, n + 1);
        bytes += n;
        return view(at);
    }
    std::string_view view(std::size_t at) const { return text != nullptr ? std::string_view(text + at, bytes - at) : std::string_view(); }
    void row(std::string_view name, std::string_view kind, std::string_view usage, std::string_view summary) {
        if (rows != nullptr) rows[count] = {name, kind, usage, summary};
        ++count;
    }
    void all(const Registry &reg) {
        for (std::size_t i = 0; i < qvh_function_count(); ++i) {
            const qvh_info &info = *qvh_function_at(i);
            if (!qvh_package_has(reg.pkg, &info)) continue;
            const std::string_view name = qvh_sql_name(&info), summary = info.summary;
            if (info.aggregate != QVH_AGG_NONE) {
                row(name, "aggregate", put(name, info.leading_param ? "(p, x)" : "(x)"), summary);
                char row_name[64];
                std::snprintf(row_name, sizeof row_name, "qv_p%s", name.data() + 3);
                row(put(row_name), "row-wise", usage(info, row_name), summary);
            } else {
                row(name, "row-wise", usage(info, name.data()), summary);
            }
        }
        row("qv_status", "row-wise", "qv_status()", "What the last qv_ function saw: ok, its statuses, or its error");
    }
};

struct Scan {
    std::unique_ptr<char[]> text;
    std::unique_ptr<Entry[]> rows;
    std::size_t count = 0, next = 0;
};

void bind(duckdb_bind_info info) {
    duckdb_logical_type text = duckdb_create_logical_type(DUCKDB_TYPE_VARCHAR);
    for (const char *column : COLUMNS) duckdb_bind_add_result_column(info, column, text);
    duckdb_destroy_logical_type(&text);
}

// The listing in two blocks, each of a size counted first; out of memory in the host's one
// wording, with the block that was refused.
void init(duckdb_init_info info) {
    const auto &f = *static_cast<const Function *>(duckdb_init_get_extra_info(info));
    Writer sizes;
    sizes.all(*f.reg);
    auto scan = std::unique_ptr<Scan>(new (std::nothrow) Scan);
    std::size_t refused = scan == nullptr ? sizeof(Scan) : 0;
    if (refused == 0 && !(scan->text = std::unique_ptr<char[]>(new (std::nothrow) char[sizes.bytes + 1])))
        refused = sizes.bytes + 1;
    if (refused == 0 && !(scan->rows = std::unique_ptr<Entry[]>(new (std::nothrow) Entry[sizes.count])))
        refused = sizes.count * sizeof(Entry);
    if (refused != 0) {
        char message[256];
        qvh_nomem_message(f.label.c_str(), 0, 0, refused, message, sizeof message);
        duckdb_init_set_error(info, message);
        return;
    }
    Writer w{scan->text.get(), scan->rows.get()};
    w.all(*f.reg);
    scan->count = w.count;
    duckdb_init_set_init_data(info, scan.release(), [](void *p) { delete static_cast<Scan *>(p); });
}

void scan(duckdb_function_info info, duckdb_data_chunk output) {
    auto &s = *static_cast<Scan *>(duckdb_function_get_init_data(info));
    idx_t n = 0;
    for (; n < duckdb_vector_size() && s.next < s.count; ++n, ++s.next) {
        const Entry &e = s.rows[s.next];
        const std::string_view fields[] = {e.name, e.kind, e.usage, e.summary};
        for (idx_t c = 0; c < 4; ++c)
            duckdb_vector_assign_string_element_len(duckdb_data_chunk_get_vector(output, c), n, fields[c].data(),
                                                    fields[c].size());
    }
    duckdb_data_chunk_set_size(output, n);
}

}  // namespace

bool register_catalogue(duckdb_connection con, Registry *reg) {
    duckdb_table_function fn = duckdb_create_table_function();
    duckdb_table_function_set_name(fn, "qv_functions");
    // The function's record keeps the registry (and the package) while DuckDB keeps the function.
    duckdb_table_function_set_extra_info(fn, make<Function>(reg, nullptr, "qv_functions"), delete_function);
    duckdb_table_function_set_bind(fn, bind);
    duckdb_table_function_set_init(fn, init);
    duckdb_table_function_set_function(fn, scan);
    const bool ok = duckdb_register_table_function(con, fn) == DuckDBSuccess;
    duckdb_destroy_table_function(&fn);
    return ok;
}

}  // namespace qvduck
