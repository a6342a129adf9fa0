// A group of a qv_ aggregate on this extension's heap: one block holding what the statistic needs.
// A count (N, NMISS) keeps its count; an extreme (MIN, MAX, RANGE) the few values its result can
// depend on; every other statistic its values, in a block that starts with room for one and grows
// by two values at a time while the group is small, so that the many one-row partial states
// DuckDB makes when groups overflow its threads' hash tables stay small.
//
// The result does not depend on how many threads read the rows or in which order DuckDB combined
// partial states: the values of a group go to the package in the canonical order of the SQL
// extensions (canonical.hpp): the missing values first, then the numbers ascending from -inf to
// +inf with -0 before +0. groups.cpp holds the blocks, aggregates.cpp DuckDB's callbacks.
#pragma once

#include <cstddef>
#include <cstdint>

#include "extension.hpp"
#include "state_table.hpp"

namespace qvduck {

// DuckDB's state: 8 bytes in its memory. DuckDB may copy them elsewhere (when it spreads a hash
// table over partitions); the group stays where it is.
struct State {
    Group *group;
};

inline Group &group_of(duckdb_aggregate_state s) { return *reinterpret_cast<State *>(s)->group; }

// N and NMISS: how many values the statistic counts.
struct Count : Group {
    std::uint64_t n;
};

// MIN, MAX and RANGE over values in the canonical order depend only on the first and the last
// number, and on which zeros are there (+0 and -0 compare equal, and which of them the package
// keeps depends on their order); a NaN is the missing value '.' to the package. These few values
// in the canonical order give the package's result over all of them. The block has room for the
// first number only (room 1) until a second one comes (room 2); count holds the letter of the
// first missing value in the canonical order (0: none).
struct Extremes : Group {
    double x[2];  // the first and the last number in the canonical order
};
enum : std::uint8_t { NUMBER = 1, MINUS_ZERO = 2, PLUS_ZERO = 4, HAS_PARAM = 8 };

// Every other statistic: count values (and, first, the percentile or rank of a statistic that
// takes one) in the block after the header; room numbers the block's size (capacity()).
struct Values : Group {};

static_assert(sizeof(Count) == 24 && sizeof(Extremes) == 32 && sizeof(Values) == 16);

enum class Kind { Count, Extremes, Values };

inline Kind kind_of(const qvh_info &info) {
    if (info.merge != QVH_MERGE_FIXED || info.leading_param) return Kind::Values;
    return info.fold == QVH_FOLD_COUNT ? Kind::Count : info.fold == QVH_FOLD_EXTREME || info.fold == QVH_FOLD_RANGE ? Kind::Extremes : Kind::Values;
}

inline std::size_t lead(const Function &f) { return f.info->leading_param ? 1 : 0; }
inline double *slots(Values &v) { return reinterpret_cast<double *>(&v + 1); }
inline double &param_of(Values &v) { return slots(v)[0]; }
inline double *values_of(const Function &f, Values &v) { return slots(v) + lead(f); }

// The aggregates by number, so that a group names its function in 2 bytes: a new number for f
// (0: none is left), and the function a number names.
std::uint16_t number(Function *f);
const Function &numbered_function(std::uint16_t n) noexcept;

// The block a new group of f starts with, for the state at home; the statement fails when no
// memory is left.
Group *new_group(const Function &f, std::uintptr_t home);
void free_group(const Function &f, Group *g) noexcept;
// Keeps nothing more in the group of state s (its block at its smallest, where that can be had).
void empty_group(const Function &f, duckdb_aggregate_state s) noexcept;

// Adds n values to the group of state s, whose block may move (DuckDB's state and the table then
// point to the new one).
void add_values(const Function &f, duckdb_aggregate_state s, Group &g, const double *xs, std::size_t n);
// Adds what the group from holds to the group of state into.
void add_group(const Function &f, duckdb_aggregate_state into, Group &from);
// The percentile or rank of a statistic that takes one: one value for the whole query.
void set_param(const Function &f, Group &g, double p);
inline bool has_param(const Function &f, const Group &g) { return f.info->leading_param && (g.flags & HAS_PARAM); }

// The result of one group: one call over its values in the canonical order, a count, or one call
// over the values an extreme depends on.
double result_of(const Function &f, Group &g, qvh_call *call, std::int32_t &status);
// A group's kept values (Kind::Values), put into the canonical order where their order could
// change the statistic's bits; n becomes their count.
const double *ordered_values(const Function &f, Group &g, std::size_t &n);

}  // namespace qvduck
