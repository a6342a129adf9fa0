// qv_functions(): the functions this extension registered, one row each, with the SQL name, the
// kind (aggregate, row-wise), how to call it and what it computes, from the host library's
// catalogue. DuckDB's duckdb_functions() lists them too, but the C extension API gives a function
// neither parameter names nor a description, so there they show as col0 ANY and no description.
#include <memory>

#include "extension.hpp"

namespace qvduck {

namespace {

struct Entry {
    std::string name, kind, usage, summary;
};

constexpr const char *COLUMNS[] = {"function_name", "kind", "usage", "summary"};

std::string usage_of(const qvh_info &info, const std::string &label) {
    std::string text(qvh_usage(&info, label.c_str(), nullptr, 0), '\0');
    qvh_usage(&info, label.c_str(), text.data(), text.size() + 1);
    return text;
}

// Every function of the catalogue the package provides, as register_all registers it.
std::vector<Entry> entries(const Registry &reg) {
    std::vector<Entry> out;
    for (std::size_t i = 0; i < qvh_function_count(); ++i) {
        const qvh_info &info = *qvh_function_at(i);
        if (!qvh_package_has(reg.pkg, &info)) continue;
        const std::string name = qvh_sql_name(&info);
        if (info.aggregate != QVH_AGG_NONE) {
            out.push_back({name, "aggregate", name + (info.leading_param ? "(p, x)" : "(x)"), info.summary});
            const std::string row = "qv_p" + name.substr(3);
            out.push_back({row, "row-wise", usage_of(info, row), info.summary});
        } else {
            out.push_back({name, "row-wise", usage_of(info, name), info.summary});
        }
    }
    out.push_back({"qv_status", "row-wise", "qv_status()", "What the last qv_ function saw: ok, its statuses, or its error"});
    return out;
}

struct Scan {
    std::vector<Entry> rows;
    std::size_t next = 0;
};

void bind(duckdb_bind_info info) {
    duckdb_logical_type text = duckdb_create_logical_type(DUCKDB_TYPE_VARCHAR);
    for (const char *column : COLUMNS) duckdb_bind_add_result_column(info, column, text);
    duckdb_destroy_logical_type(&text);
}

void init(duckdb_init_info info) {
    try {
        const auto &f = *static_cast<const Function *>(duckdb_init_get_extra_info(info));
        auto scan = std::make_unique<Scan>();
        scan->rows = entries(*f.reg);
        duckdb_init_set_init_data(info, scan.release(), [](void *p) { delete static_cast<Scan *>(p); });
    } catch (...) {
        duckdb_init_set_error(info, "qv_functions: out of memory");
    }
}

void scan(duckdb_function_info info, duckdb_data_chunk output) {
    auto &s = *static_cast<Scan *>(duckdb_function_get_init_data(info));
    idx_t n = 0;
    for (; n < duckdb_vector_size() && s.next < s.rows.size(); ++n, ++s.next) {
        const Entry &e = s.rows[s.next];
        const std::string *fields[] = {&e.name, &e.kind, &e.usage, &e.summary};
        for (idx_t c = 0; c < 4; ++c)
            duckdb_vector_assign_string_element_len(duckdb_data_chunk_get_vector(output, c), n, fields[c]->data(),
                                                    fields[c]->size());
    }
    duckdb_data_chunk_set_size(output, n);
}

}  // namespace

bool register_catalogue(duckdb_connection con, Registry *reg) {
    duckdb_table_function fn = duckdb_create_table_function();
    duckdb_table_function_set_name(fn, "qv_functions");
    // The function's record keeps the registry (and the package) while DuckDB keeps the function.
    duckdb_table_function_set_extra_info(fn, new Function(reg, nullptr, "qv_functions"), delete_function);
    duckdb_table_function_set_bind(fn, bind);
    duckdb_table_function_set_init(fn, init);
    duckdb_table_function_set_function(fn, scan);
    const bool ok = duckdb_register_table_function(con, fn) == DuckDBSuccess;
    duckdb_destroy_table_function(&fn);
    return ok;
}

}  // namespace qvduck
