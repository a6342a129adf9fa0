// qvpg_sqlgen PACKAGE [--update]: writes the extension's install script from the function
// catalogue, for every function the package at PACKAGE provides; with --update, the script that
// brings an earlier version of the extension up to this one.
//
// Every object is made with CREATE OR REPLACE, so one text serves both: an update redefines the
// functions and aggregates in place, and the views, expression indexes and other objects that
// depend on them stay as they are. New functions join the extension.
//
// Every function becomes one or more SQL functions named qv_<name>: one of float8 for a function
// of one number, one per argument count for a list of fixed length, and one VARIADIC array for a
// list of any length. Every statistic that can be fed one row at a time is also an aggregate of
// the same name over one float8 column (two, the first being the percentile or rank, for PCTL,
// SMALLEST and the others with a leading parameter).
#include <cstdio>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "names.hpp"
#include "qvhost.h"

namespace {

// Text inside an SQL string literal.
std::string quoted(const std::string &s) {
    std::string out = "'";
    for (char c : s) {
        out.push_back(c);
        if (c == '\'') out.push_back('\'');
    }
    return out + "'";
}

const char *type_of(int kind) { return kind == QVH_KIND_CHR ? "text" : "float8"; }

// The SQL types that may stand at a position of the given kind.
std::vector<std::string> types_of(int kind) {
    if (kind == QVH_KIND_ANY) return {"float8", "text"};
    return {type_of(kind)};
}

// Every signature of a list of n arguments: the product of the types each position accepts.
std::vector<std::string> signatures(const qvh_info &f, int n) {
    std::vector<std::string> sigs{""};
    for (int i = 0; i < n; ++i) {
        std::vector<std::string> next;
        for (const auto &sig : sigs)
            for (const auto &t : types_of(i == 0 ? f.first_kind : f.rest_kind)) next.push_back(sig.empty() ? t : sig + ", " + t);
        sigs = std::move(next);
    }
    return sigs;
}

struct Writer {
    std::ostringstream o;

    void function(const std::string &name, const std::string &args, const std::string &result, const char *symbol,
                  const char *traits, const std::string &comment) {
        o << "CREATE OR REPLACE FUNCTION " << name << "(" << args << ") RETURNS " << result << "\n  AS 'MODULE_PATHNAME', '"
          << symbol << "' LANGUAGE C " << traits << ";\n";
        if (!comment.empty()) o << "COMMENT ON FUNCTION " << name << "(" << args << ") IS " << quoted(comment) << ";\n";
    }

    void row_wise(const qvh_info &f) {
        const std::string name = qvh_sql_name(&f);
        const std::string result = type_of(f.result_kind);
        const std::string comment = std::string(f.usage) + ": " + f.summary;
        constexpr const char *traits = "IMMUTABLE PARALLEL SAFE";
        if (f.max_args != QVH_ANY_COUNT) {
            for (int n = f.min_args; n <= f.max_args; ++n)
                for (const auto &sig : signatures(f, n)) function(name, sig, result, "qvpg_call", traits, comment);
            return;
        }
        if (f.first_kind != f.rest_kind || f.first_kind == QVH_KIND_ANY)
            throw std::runtime_error(std::string(f.name) + ": no SQL form for a list of any length with these kinds");
        function(name, std::string("VARIADIC ") + type_of(f.first_kind) + "[]", result, "qvpg_call_list", traits, comment);
    }

    void aggregate(const qvh_info &f) {
        if (f.form != QVH_FORM_LIST || f.first_kind != QVH_KIND_NUM || f.result_kind != QVH_KIND_NUM)
            throw std::runtime_error(std::string(f.name) + ": an aggregate needs a numeric list");
        const std::string name = qvh_sql_name(&f);
        const std::string args = f.leading_param ? "float8, float8" : "float8";
        constexpr const char *traits = "IMMUTABLE PARALLEL SAFE";
        const std::string trans = name + std::string(qvpg::TRANS), mtrans = name + std::string(qvpg::MTRANS),
                          final = name + std::string(qvpg::FINAL);
        function(trans, "internal, " + args, "internal", "qvpg_agg_trans", traits, "");
        function(mtrans, "internal, " + args, "internal", "qvpg_agg_mtrans", traits, "");
        function(final, "internal", "float8", "qvpg_agg_final", traits, "");
        o << "CREATE OR REPLACE AGGREGATE " << name << "(" << args << ") (\n"
          << "  SFUNC = " << trans << ", STYPE = internal, FINALFUNC = " << final << ",\n"
          << "  COMBINEFUNC = qv_agg_combine, SERIALFUNC = qv_agg_serialize, DESERIALFUNC = qv_agg_deserialize,\n"
          << "  MSFUNC = " << mtrans << ", MINVFUNC = qv_agg_minv, MSTYPE = internal, MFINALFUNC = " << final << ",\n"
          << "  PARALLEL = SAFE);\n";
        o << "COMMENT ON AGGREGATE " << name << "(" << args << ") IS "
          << quoted(std::string(f.name) + " over the rows of a group: " + f.summary) << ";\n";
    }

    // A percentile's form over an array of percentiles: one ordering of the group's values for all
    // of them, an array of results.
    void percentiles(const qvh_info &f) {
        const std::string name = qvh_sql_name(&f);
        constexpr const char *traits = "IMMUTABLE PARALLEL SAFE";
        const std::string trans = name + std::string(qvpg::ATRANS), final = name + std::string(qvpg::AFINAL);
        function(trans, "internal, float8[], float8", "internal", "qvpg_agg_atrans", traits, "");
        function(final, "internal", "float8[]", "qvpg_agg_afinal", traits, "");
        o << "CREATE OR REPLACE AGGREGATE " << name << "(float8[], float8) (\n"
          << "  SFUNC = " << trans << ", STYPE = internal, FINALFUNC = " << final << ",\n"
          << "  COMBINEFUNC = qv_agg_combine, SERIALFUNC = qv_agg_serialize, DESERIALFUNC = qv_agg_deserialize,\n"
          << "  PARALLEL = SAFE);\n";
        o << "COMMENT ON AGGREGATE " << name << "(float8[], float8) IS "
          << quoted(std::string(f.name) + " at each percentile of an array, over the rows of a group, the values "
                                           "ordered once for all of them: " + f.summary)
          << ";\n";
    }

    void header(bool update) {
        o << "-- The functions of the qvewumth package inside PostgreSQL. Made from the function catalogue by\n"
             "-- qvpg_sqlgen: edit the catalogue, not this file.\n"
          << (update ? "\\echo Use \"ALTER EXTENSION qvewumth UPDATE\" to load this file. \\quit\n\n"
                     : "\\echo Use \"CREATE EXTENSION qvewumth\" to load this file. \\quit\n\n");
        function("qv_status", "", "text", "qvpg_status", "VOLATILE PARALLEL RESTRICTED",
                 "what the qv_ functions gave since it was last read in this statement, or in the last statement "
                 "that called one: ok, invalid argument, not a number, ...");
        o << "\n-- What every aggregate shares: partial states combined, shipped between processes, and the\n"
             "-- first value of a moving window frame taken out.\n";
        constexpr const char *traits = "IMMUTABLE PARALLEL SAFE";
        function("qv_agg_combine", "internal, internal", "internal", "qvpg_agg_combine", traits, "");
        function("qv_agg_serialize", "internal", "bytea", "qvpg_agg_serialize", "IMMUTABLE STRICT PARALLEL SAFE", "");
        function("qv_agg_deserialize", "bytea, internal", "internal", "qvpg_agg_deserialize",
                 "IMMUTABLE STRICT PARALLEL SAFE", "");
        function("qv_agg_minv", "internal, float8", "internal", "qvpg_agg_minv", traits, "");
        function("qv_agg_minv", "internal, float8, float8", "internal", "qvpg_agg_minv", traits, "");
    }
};

// Whether the host library takes several percentiles of f at once (PCTL, PCTL1 to PCTL5).
bool takes_percentiles(qvh_package *pkg, const qvh_info &f) {
    qvh_call *call = nullptr;
    if (qvh_call_new(pkg, f.name, &call) != QVH_OK) throw std::runtime_error(qvh_errmsg());
    const bool takes = qvh_call_percentiles(call, nullptr, 0, nullptr, 0, sizeof(double), nullptr, nullptr, nullptr) == QVH_OK;
    qvh_call_free(call);
    return takes;
}

}  // namespace

int main(int argc, char **argv) {
    qvh_package *pkg = nullptr;
    const bool usage = argc == 2 || (argc == 3 && std::string(argv[2]) == "--update");
    if (!usage || qvh_open(argv[1], &pkg) != QVH_OK) {
        std::fprintf(stderr, "qvpg_sqlgen: %s\n", !usage ? "usage: qvpg_sqlgen PACKAGE [--update]" : qvh_errmsg());
        return 2;
    }
    try {
        Writer w;
        w.header(argc == 3);
        for (std::size_t i = 0; i < qvh_function_count(); ++i) {
            const qvh_info &f = *qvh_function_at(i);
            if (!qvh_package_has(pkg, &f)) continue;  // ORDINAL2 has no entry point
            w.o << "\n-- " << f.name << "\n";
            w.row_wise(f);
            if (f.aggregate != QVH_AGG_NONE) w.aggregate(f);
            if (f.aggregate != QVH_AGG_NONE && takes_percentiles(pkg, f)) w.percentiles(f);
        }
        qvh_close(pkg);
        std::fputs(w.o.str().c_str(), stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "qvpg_sqlgen: %s\n", e.what());
        qvh_close(pkg);
        return 1;
    }
}
