// The fold of a fixed-state statistic (N, NMISS, SUM, MEAN, MIN, MAX, RANGE): its result over a
// list assembled from calls of the package over blocks of the list, each carrying what the calls
// over the blocks before it gave, bit for bit the result of one call over the whole list. An
// aggregate folds the values it is fed and qvh_call_fold a caller's array, both by this one rule.
#pragma once

#include <cstdint>

#include "internal.hpp"

namespace qvhost {

// What the calls over the folded values gave.
struct FixedState {
    double lo = 0.0, hi = 0.0;   // SUM, MEAN: the sum; MIN, MAX: the extreme; RANGE: both extremes
    bool has_lo = false, has_hi = false;
    bool seen = false;           // RANGE: a non-missing value was folded
    std::uint64_t count = 0;     // N, NMISS, MEAN: values counted
    double first = 0.0;          // MEAN: the first non-missing value
    bool differ = false;         // MEAN: a later value differs from it
};

struct Outcome {
    double value;
    QvStatus status;
};

// The package's entries a fold calls: the statistic's own, and SUM, MIN, MAX and DIVIDE.
struct FoldEntries {
    int fold = QVH_FOLD_NONE;
    QvEntry self{}, sum{}, min{}, max{}, divide{};
};

inline FoldEntries fold_entries(const qvh_package &pkg, const qvh_info &info, QvEntry self) {
    auto named = [&](const char *name) { return pkg.entries[index_of(*find_function(name))]; };
    return {info.fold, self, named("SUM"), named("MIN"), named("MAX"), named("DIVIDE")};
}

// A statistic folded in blocks (not one that keeps its values).
inline bool is_fold(int fold) { return fold >= QVH_FOLD_COUNT && fold <= QVH_FOLD_RANGE; }

// Carries acc (when has) into a call of entry over the block: SUM, MIN or MAX.
template <class Block>
void fold_carry(Block &block, QvEntry entry, double &acc, bool &has) {
    const double lead[1] = {acc};
    const Outcome r = block.call(entry, lead, has ? 1 : 0);
    has = r.status == STATUS_OK;
    acc = r.value;
}

// Folds a block into s. block.call(entry, lead, nlead) calls entry over lead[0..nlead) and then
// the block's values; block.each(f) visits the values in order, as the package reads them, while
// f returns true; block.present() counts those that are not missing.
template <class Block>
void fold_block(const FoldEntries &e, FixedState &s, Block &block) {
    switch (e.fold) {
        case QVH_FOLD_COUNT:
            s.count += static_cast<std::uint64_t>(block.call(e.self, nullptr, 0).value);
            break;
        case QVH_FOLD_MEAN:
            if (!s.differ) {
                // Read only until a value differs from the first.
                bool has_first = s.count > 0;
                block.each([&](double x) {
                    if (qv::is_missing(x)) return true;
                    if (!has_first) s.first = x;
                    has_first = true;
                    s.differ = !(x == s.first);
                    return !s.differ;
                });
            }
            fold_carry(block, e.sum, s.lo, s.has_lo);
            s.count += block.present();  // after the sum, whose walk may have counted them
            break;
        case QVH_FOLD_SUM:
        case QVH_FOLD_EXTREME:
            fold_carry(block, e.self, s.lo, s.has_lo);
            break;
        case QVH_FOLD_RANGE:
            s.seen = s.seen || block.present() > 0;
            fold_carry(block, e.min, s.lo, s.has_lo);
            fold_carry(block, e.max, s.hi, s.has_hi);
            break;
        default:
            break;
    }
}

// The result of a state whose every value has been folded. call(entry, lead, nlead) calls entry
// over lead[0..nlead) alone.
template <class Call>
Outcome fold_finish(const FoldEntries &e, const FixedState &s, Call &&call) {
    switch (e.fold) {
        case QVH_FOLD_COUNT:
            return {static_cast<double>(s.count), STATUS_OK};
        case QVH_FOLD_SUM:
        case QVH_FOLD_EXTREME:
            return s.has_lo ? Outcome{s.lo, STATUS_OK} : call(e.self, nullptr, 0);
        case QVH_FOLD_MEAN: {
            // The mean of equal values is the value itself; otherwise the sum over the count.
            if (s.count == 0) return call(e.self, nullptr, 0);
            if (!s.differ) return call(e.self, &s.first, 1);
            const double pair[2] = {s.lo, static_cast<double>(s.count)};
            return call(e.divide, pair, 2);
        }
        case QVH_FOLD_RANGE: {
            // An extreme at the very end of the double range reads as missing from MIN and MAX.
            if (!s.seen) return call(e.self, nullptr, 0);
            const double pair[2] = {s.has_lo ? s.lo : qv::DBL_MAX_VALUE, s.has_hi ? s.hi : -qv::DBL_MAX_VALUE};
            return call(e.self, pair, 2);
        }
        default:
            return {qv::MISSING_DOT, STATUS_OK};
    }
}

}  // namespace qvhost
