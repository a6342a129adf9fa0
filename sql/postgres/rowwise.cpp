// The row-wise functions and qv_status().
#include "module.hpp"

#include <cstring>

namespace qvpg {

// ---- row-wise functions ------------------------------------------------------------------------

// Puts n numbers into the call: in place when it already has n arguments, as on every row but the
// first of a query.
void put_numbers(const Site *site, const double *xs, std::size_t n) {
    int rc = QVH_OK;
    if (qvh_call_count(site->call) == n) {
        for (std::size_t i = 0; i < n && rc == QVH_OK; ++i) rc = qvh_call_set_num(site->call, i, xs[i]);
    } else {
        qvh_call_clear(site->call);
        rc = qvh_call_add_nums(site->call, xs, n);
    }
    if (rc != QVH_OK) fail(rc);
}

// A text argument (NULL, or text in the server's encoding) added to the call as the edge takes it.
void add_text(const Site *site, int position, Datum d, bool isnull) {
    qvh_value in{QVH_VALUE_NULL, 0.0, nullptr, 0};
    if (!isnull) {
        text *t = DatumGetTextPP(d);
        const char *s = VARDATA_ANY(t);
        const int len = static_cast<int>(VARSIZE_ANY_EXHDR(t));
        const char *utf8 = pg_server_to_any(s, len, PG_UTF8);
        in = {QVH_VALUE_TEXT, 0.0, utf8, utf8 == s ? static_cast<std::size_t>(len) : std::strlen(utf8)};
    }
    const qvh_value a = edge_arg(site->index, position, in);
    const int rc = a.kind == QVH_VALUE_NUM ? qvh_call_add_num(site->call, a.num) : qvh_call_add_str(site->call, a.text, a.len);
    if (rc != QVH_OK) fail(rc);
}

Datum finish_call(FunctionCallInfo fcinfo, const Site *site) {
    const int rc = qvh_call_invoke(site->call);
    if (rc != QVH_OK) fail(rc);
    check_status(site->index, qvh_call_status(site->call), qvh_call_asked(site->call));
    note_result(site->index, qvh_call_status(site->call), site->call);
    if (site->info->result_kind == QVH_KIND_CHR) {
        std::size_t len = 0;
        const char *utf8 = qvh_call_result_str(site->call, &len);
        const char *s = pg_any_to_server(utf8, static_cast<int>(len), PG_UTF8);
        PG_RETURN_TEXT_P(cstring_to_text_with_len(s, s == utf8 ? static_cast<int>(len) : static_cast<int>(std::strlen(s))));
    }
    const double r = qvh_call_result(site->call);
    if (qvh_is_missing(r)) PG_RETURN_NULL();
    PG_RETURN_FLOAT8(r);
}

// The float8 elements of a, NULLs as the edge takes them: the array's own data when it has no NULL.
const double *numbers_of(FunctionCallInfo fcinfo, Site *site, ArrayType *a, std::size_t n) {
    const double *data = reinterpret_cast<const double *>(ARR_DATA_PTR(a));
    if (!ARR_HASNULL(a)) return data;
    if (site->room < n) {
        if (site->values != nullptr) pfree(site->values);
        site->room = 0;
        site->values = static_cast<double *>(take(fcinfo->flinfo->fn_mcxt, n * sizeof(double)));
        if (site->values == nullptr) out_of_memory(site->index, n * sizeof(double));
        site->room = n;
    }
    const bits8 *nulls = ARR_NULLBITMAP(a);
    const double null = edge_arg(site->index, 0, float8_value(true, 0.0)).num;
    for (std::size_t i = 0; i < n; ++i) site->values[i] = (nulls[i / 8] >> (i % 8)) & 1 ? *data++ : null;
    return site->values;
}


}  // namespace qvpg

using namespace qvpg;

extern "C" {
// A function of a fixed number of float8 or text arguments.
PG_FUNCTION_INFO_V1(qvpg_call);
Datum qvpg_call(PG_FUNCTION_ARGS) {
    Site *site = site_of(fcinfo, "", true);
    const int nargs = PG_NARGS();
    if (!site->text_args) {
        double xs[FUNC_MAX_ARGS];
        for (int i = 0; i < nargs; ++i)
            xs[i] = edge_arg(site->index, i, float8_value(PG_ARGISNULL(i), PG_ARGISNULL(i) ? 0.0 : PG_GETARG_FLOAT8(i))).num;
        put_numbers(site, xs, static_cast<std::size_t>(nargs));
    } else {
        qvh_call_clear(site->call);
        for (int i = 0; i < nargs; ++i) {
            if (site->argtypes[i] == TEXTOID) {
                add_text(site, i, PG_GETARG_DATUM(i), PG_ARGISNULL(i));
                continue;
            }
            const double x = edge_arg(site->index, i, float8_value(PG_ARGISNULL(i), PG_ARGISNULL(i) ? 0.0 : PG_GETARG_FLOAT8(i))).num;
            const int rc = qvh_call_add_num(site->call, x);
            if (rc != QVH_OK) fail(rc);
        }
    }
    return finish_call(fcinfo, site);
}

// A function of a list of any length: VARIADIC float8[] or text[]. A NULL list gives NULL.
PG_FUNCTION_INFO_V1(qvpg_call_list);
Datum qvpg_call_list(PG_FUNCTION_ARGS) {
    Site *site = site_of(fcinfo, "", true);
    if (PG_ARGISNULL(0)) PG_RETURN_NULL();
    ArrayType *a = PG_GETARG_ARRAYTYPE_P(0);
    const std::size_t n = static_cast<std::size_t>(ArrayGetNItems(ARR_NDIM(a), ARR_DIMS(a)));
    if (ARR_ELEMTYPE(a) == FLOAT8OID) {
        put_numbers(site, numbers_of(fcinfo, site, a, n), n);
    } else if (ARR_ELEMTYPE(a) == TEXTOID) {
        qvh_call_clear(site->call);
        Datum *elems = nullptr;
        bool *nulls = nullptr;
        int count = 0;
        deconstruct_array(a, TEXTOID, -1, false, TYPALIGN_INT, &elems, &nulls, &count);
        for (int i = 0; i < count; ++i) add_text(site, i, elems[i], nulls[i]);
        pfree(elems);
        pfree(nulls);
    } else {
        char msg[256];
        snprintf(msg, sizeof msg, "%s: the list must be float8[] or text[]", label_of(site->index));
        raise(ERRCODE_DATATYPE_MISMATCH, msg);
    }
    return finish_call(fcinfo, site);
}

// What the qv_ functions reported since the report began, NULL before the first.
PG_FUNCTION_INFO_V1(qvpg_status);
Datum qvpg_status(PG_FUNCTION_ARGS) {
    char text[REPORT_TEXT];
    const char *s = report_text(text);
    report.end();
    if (s == nullptr) PG_RETURN_NULL();
    PG_RETURN_TEXT_P(cstring_to_text(s));
}

}  // extern "C"
