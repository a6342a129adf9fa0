// qvewumth.duckdb_extension: the package's functions inside DuckDB.
//
// Written against DuckDB's stable C extension API only, so the one file loads into every DuckDB
// from 1.2 on. Every function X of the catalogue is registered: a statistic over a list that the
// host library can feed one value at a time is the aggregate qv_x (one column, or the percentile
// or rank and one column) and the row-wise call qv_px over any number of columns; every other
// function is the row-wise qv_x. Every number is computed by the package, through the host library.
//
// The files: values.cpp reads DuckDB's vectors, rowwise.cpp and aggregates.cpp are the two kinds
// of function (groups.cpp keeps an aggregate's groups), registration.cpp registers them,
// registry.cpp holds what one database shares. Running out of memory while loading reads
// "qvewumth: out of memory asking for N bytes", the host library's one wording.
#include "extension.hpp"

using namespace qvduck;

// DuckDB calls the entry point once per database that loads the file (a second LOAD of the same
// extension is not passed on); the connection is DuckDB's own, closed after registration. (The
// header's macro fills DuckDB's function table from a braced list that names only some of its
// fields, which clang warns of.)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
DUCKDB_EXTENSION_ENTRYPOINT(duckdb_connection connection, duckdb_extension_info info,
                            struct duckdb_extension_access *access) {
    bool ok = false;
    qvsql::guarded(LOADER, [&] {
        std::string why;
        qvh_package *pkg = acquire_package(why);
        if (pkg == nullptr) qvsql::fail(LOADER, why);
        Registry *reg = nullptr;
        try {
            reg = new_registry(pkg, connection);
        } catch (...) {
            release_package();
            throw;
        }
        struct Unref {
            Registry *reg;
            ~Unref() { unref(reg); }
        } unref_after{reg};
        if (!register_all(connection, reg, why)) qvsql::fail(LOADER, why);
        ok = true;
    }, [&](const qvsql::Failure &e) { access->set_error(info, e.message()); });
    return ok;
}
#pragma GCC diagnostic pop
