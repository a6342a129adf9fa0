// The aggregate and window functions: a group's or a frame's values in a host-library aggregate
// that lives in SQLite's aggregate context.

#include "extension.hpp"

namespace qvsqlite {

namespace {

// Lives in sqlite3_aggregate_context: all-zero bytes are the empty state.
struct Accumulator {
    qvh_agg *agg;         // the group's or frame's values
    bool begun;           // epoch is set
    bool window;          // xValue or xInverse has been called: from then on the values are kept
    bool fresh;           // result and status are those of the current values
    bool failed;          // a callback raised an error: the statement stops, xFinal only frees
    std::uint64_t epoch;  // the connection's count of errors when the group began
    double result;
    std::int32_t status;
};

Accumulator &accumulator(sqlite3_context *ctx, const Function &f) {
    auto *acc = static_cast<Accumulator *>(sqlite3_aggregate_context(ctx, sizeof(Accumulator)));
    if (acc == nullptr) throw std::bad_alloc();
    if (!acc->begun) {
        acc->begun = true;
        acc->epoch = f.conn->errors;
    }
    return *acc;
}

// Runs the body of xStep, xInverse or xValue; a failure marks the accumulator, so that the xFinal
// SQLite calls while it abandons the statement neither computes nor replaces the error.
template <class Body>
void group_guarded(sqlite3_context *ctx, Body &&body) {
    guarded(ctx, [&](Function &f) {
        Accumulator &acc = accumulator(ctx, f);
        try {
            body(f, acc);
        } catch (...) {
            acc.failed = true;
            throw;
        }
    });
}

qvh_agg *new_agg(const Function &f, unsigned flags) {
    qvh_agg *agg = nullptr;
    const int rc = qvh_agg_new(f.conn->pkg, f.info->name, flags, &agg);
    if (rc == QVH_E_NOMEM) qvsql::no_memory(f.name, 0);  // before it could carry the SQL name
    qvsql::check(rc);
    qvh_agg_set_label(agg, f.name);
    watch_interrupts(f, nullptr, agg);
    return agg;
}

// The first xValue or xInverse: this is a window, whose results are over the frame's values in
// the canonical order (the order every engine can keep). SQLite says a call is a window's only
// from then on, so every statistic keeps its values from its first row.
void enter_window(Accumulator &acc) {
    if (acc.window) return;
    acc.window = true;
    if (acc.agg != nullptr) qvsql::check(qvh_agg_canonical_order(acc.agg));
}

// Gives the result over the values held and, when told to, reports its status for qv_status().
void give_aggregate(sqlite3_context *ctx, const Function &f, Accumulator &acc, bool reported) {
    if (!acc.fresh) {
        if (f.info->leading_param && qvh_agg_rows(acc.agg) == 0) {
            // No row (a group of none, an empty window frame): no parameter to call the function with.
            sqlite3_result_null(ctx);
            if (reported) note(f, qvsql::Report::NO_ROWS, nullptr);
            return;
        }
        // No row otherwise: the function over no values.
        qvh_agg *empty = acc.agg == nullptr ? new_agg(f, 0) : nullptr;
        qvh_agg *agg = empty != nullptr ? empty : acc.agg;
        const int rc = qvh_agg_result(agg, &acc.result, &acc.status);
        const std::size_t asked = qvh_agg_asked(agg);
        qvh_agg_free(empty);
        qvsql::check(rc);
        if (qvh_status_is_memory(acc.status)) qvsql::no_memory(f.name, asked);
        acc.fresh = true;
    }
    if (reported) note(f, acc.status, nullptr);
    give_number(ctx, acc.result);
}

}  // namespace

void aggregate_step(sqlite3_context *ctx, int argc, sqlite3_value **argv) {
    group_guarded(ctx, [&](Function &f, Accumulator &acc) {
        if (acc.agg == nullptr) acc.agg = new_agg(f, acc.window ? QVH_AGG_CANONICAL : QVH_AGG_KEEP_VALUES);
        if (f.info->leading_param) qvsql::check(qvh_agg_param(acc.agg, edge_arg(f, 0, argv[0]).num));
        qvsql::check(qvh_agg_add(acc.agg, edge_arg(f, argc - 1, argv[argc - 1]).num));
        acc.fresh = false;
    });
}

void aggregate_inverse(sqlite3_context *ctx, int, sqlite3_value **) {
    group_guarded(ctx, [&](Function &, Accumulator &acc) {
        enter_window(acc);
        if (acc.agg == nullptr) return;
        qvsql::check(qvh_agg_remove_first(acc.agg));
        acc.fresh = false;
    });
}

void aggregate_value(sqlite3_context *ctx) {
    group_guarded(ctx, [&](Function &f, Accumulator &acc) {
        enter_window(acc);
        give_aggregate(ctx, f, acc, true);
    });
}

void aggregate_final(sqlite3_context *ctx) {
    guarded(ctx, [&](Function &f) {
        Accumulator none{};
        auto *held = static_cast<Accumulator *>(sqlite3_aggregate_context(ctx, 0));
        Accumulator &acc = held != nullptr ? *held : none;
        struct Free {
            Accumulator &acc;
            ~Free() {
                qvh_agg_free(acc.agg);
                acc.agg = nullptr;
            }
        } free_on_exit{acc};
        // A group begun before the connection's latest error belongs to the statement that error
        // stopped (SQLite finishes its groups while abandoning it) or to one running beside it:
        // its result is given, but the error stays what qv_status() reports. A window's final
        // call ends its partition, whose rows had their results from xValue: no result of its own.
        if (!acc.failed) give_aggregate(ctx, f, acc, !acc.window && (!acc.begun || acc.epoch == f.conn->errors));
    });
}

}  // namespace qvsqlite
