// What every benchmark shares: one loaded package for the whole run, and the table row of a
// function, with the benchmark skipped when the package has no entry point for it.
#pragma once

#include <benchmark/benchmark.h>

#include <vector>

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

// The package's own C loop over an array: each value's call (call(&result, x)), its result stored
// and its status counted.
template <class Call>
void array_loop(benchmark::State &state, const std::vector<double> &xs, Call call) {
    std::vector<double> out(xs.size());
    for (auto _ : state) {
        std::size_t bad = 0;
        for (std::size_t i = 0; i < xs.size(); ++i) bad += call(&out[i], xs[i]) != STATUS_OK ? 1 : 0;
        benchmark::DoNotOptimize(bad);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(xs.size()));
}

// The same for a function of one argument through its scalar entry.
inline void scalar_array_loop(benchmark::State &state, const char *name, const std::vector<double> &xs) {
    if (const FuncTableRow *row = row_or_skip(state, name)) array_loop(state, xs, row->entry.scalar);
}

// ROUND to a unit of 0.01 over an array: the list form, its first slot set to each value in turn.
inline void round_array_loop(benchmark::State &state, const std::vector<double> &xs) {
    const FuncTableRow *row = row_or_skip(state, "ROUND");
    if (row == nullptr) return;
    qvhost::ArgList list;
    list.num(0.0).num(0.01);
    FuncArgList *raw = list.get();
    auto *x = static_cast<double *>(raw->args[0].value);
    array_loop(state, xs, [&](double *r, double v) {
        *x = v;
        return row->entry.list(raw, r);
    });
}

}  // namespace qvbench
