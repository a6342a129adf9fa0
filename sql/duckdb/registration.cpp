// Registration: every function of the catalogue that the package provides, under its SQL name.
#include "extension.hpp"

namespace qvduck {

namespace {

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
        duckdb_scalar_function_set_extra_info(fn, make<Function>(reg, info, name), delete_function);
        duckdb_scalar_function_set_function(fn, info == nullptr ? status_function : row_wise);
        ok = duckdb_add_scalar_function_to_set(set, fn) == DuckDBSuccess;
        duckdb_destroy_scalar_function(&fn);
    }
    ok = ok && duckdb_register_scalar_function_set(con, set) == DuckDBSuccess;
    duckdb_destroy_scalar_function_set(&set);
    return ok;
}

// Registers everything the package provides; the name that failed in why.
}  // namespace

bool register_all(duckdb_connection con, Registry *reg, std::string &why) {
    const Types t;
    for (std::size_t i = 0; i < qvh_function_count(); ++i) {
        const qvh_info *info = qvh_function_at(i);
        if (!qvh_package_has(reg->pkg, info)) continue;  // a name this package gives no entry point
        // A statistic's aggregate takes its name; its row-wise form is qv_p<name> ("parallel" over
        // columns), since DuckDB gives one name to one kind of function only.
        const bool aggregate = info->aggregate != QVH_AGG_NONE;
        const std::string name = qvh_sql_name(info), row_name = aggregate ? "qv_p" + name.substr(3) : name;
        if (aggregate && !register_aggregate(con, reg, info, name)) {
            why = "cannot register " + name;
            return false;
        }
        if (!register_row_wise(con, reg, info, row_name, t)) {
            why = "cannot register " + row_name;
            return false;
        }
    }
    if (!register_row_wise(con, reg, nullptr, "qv_status", t) || !register_catalogue(con, reg)) {
        why = "cannot register qv_status or qv_functions";
        return false;
    }
    return true;
}

}  // namespace qvduck
