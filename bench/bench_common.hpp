// What every benchmark shares: one loaded package for the whole run, and the table row of a
// function, with the benchmark skipped when the package has no entry point for it.
#pragma once

#include <benchmark/benchmark.h>

#include "arglist.hpp"
#include "loader.hpp"

namespace qvbench {

inline qvhost::Package &package() {
    static qvhost::Package p;
    return p;
}

inline const FuncTableRow *row_or_skip(benchmark::State &state, const char *name) {
    const FuncTableRow *row = package().find(name);
    if (row == nullptr || row->entry.scalar == nullptr) {
        state.SkipWithError("no entry point");
        return nullptr;
    }
    return row;
}

// Calls a list-form entry with argument 1 taken in turn from 256 inputs and the other
// arguments as the list holds them.
template <class Inputs>
void list_loop(benchmark::State &state, const FuncTableRow &row, qvhost::ArgList &list, const Inputs &xs) {
    FuncArgList *raw = list.get();
    auto *x = static_cast<double *>(raw->args[0].value);
    std::size_t i = 0;
    double r;
    for (auto _ : state) {
        *x = xs[i++ & 255];
        benchmark::DoNotOptimize(row.entry.list(raw, &r));
        benchmark::DoNotOptimize(r);
    }
    state.SetItemsProcessed(state.iterations());
}

}  // namespace qvbench
