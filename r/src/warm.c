/*
 * The memory kept warm between .Calls: the last call of each function, and the room qv_by sets
 * its values out in. One budget bounds both; qv_release_memory() and the unload hook give them
 * back. Calls the guards, the statuses (out of memory) and the values below it.
 */
#include "qvr.h"

#include <stdlib.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

/* Warm calls: the last call of each function, kept between .Calls with its argument list and the
 * scratch blocks the package asked for, so that a repeated statistic over a long vector touches no
 * fresh page (on a virtual machine the first touch of a page costs more than the work done on it).
 * What the kept calls hold together is bounded by a budget of values (about 24 bytes a value): a
 * call over more values than the budget gives its memory back before it is kept, and keeping one
 * that would take the total over the budget first empties the calls used longest ago. The budget is
 * large while R evaluates a top-level call (a loop, a summary over many columns) and small once it
 * has returned to the prompt: qvr_idle() then empties the calls over the small one. */
static qvh_call **warm;
static size_t *held;       /* the values each kept call holds memory for (0: trimmed) */
static uint64_t *last_use; /* when each was kept, in keeps counted from the first */
static size_t nwarm, total_held;
static uint64_t keeps;

/* A call of info for one .Call: the kept one when there is one, else a new one. */
qvh_call *qvr_warm_call(const qvh_info *info, const char *label, SEXP *guard) {
    size_t i = (size_t)(info - qvh_function_at(0));
    if (warm == NULL || i >= nwarm || warm[i] == NULL) return qvr_new_call(info, label, guard);
    qvh_call *c = warm[i];
    *guard = qvr_guard_call(c); /* c stays kept until its guard owns it */
    warm[i] = NULL;
    total_held -= held[i];
    held[i] = 0;
    if (qvh_call_set_label(c, label) != QVH_OK) qvr_error("%s", qvh_errmsg());
    return c;
}

/* A budget in values from option name (a number of at least 0), else fallback. */
static size_t budget(const char *name, size_t fallback) {
    SEXP o = Rf_GetOption1(Rf_install(name));
    double v = qvr_is_numeric(o) && XLENGTH(o) == 1 ? qvr_number_at(o, 0) : (double)fallback;
    return v >= 0 && v < 1e18 ? (size_t)v : 0;
}

/* The budgets of the kept calls while a top-level call runs, options(qvewumth.busy_values), and
 * between top-level calls, options(qvewumth.warm_values); 0 keeps nothing. */
size_t qvr_busy_values(void) { return budget("qvewumth.busy_values", QVR_BUSY_VALUES); }
static size_t warm_values(void) { return budget("qvewumth.warm_values", QVR_WARM_VALUES); }

/* Empties kept call i: it stays kept, holding nothing. */
static void trim_kept(size_t i) {
    qvh_call_trim(warm[i]);
    total_held -= held[i];
    held[i] = 0;
}

/* Empties the kept calls used longest ago until they hold at most limit values together. */
static void trim_to(size_t limit) {
    while (total_held > limit) {
        size_t oldest = nwarm;
        for (size_t j = 0; j < nwarm; ++j)
            if (held[j] > 0 && (oldest == nwarm || last_use[j] < last_use[oldest])) oldest = j;
        trim_kept(oldest);
    }
}

/* Keeps the call of guard, which last ran over values values, for the next .Call of its function
 * within the budget of limit values, or frees it. */
void qvr_keep_warm(SEXP guard, size_t values, size_t limit) {
    if (warm == NULL) {
        nwarm = qvh_function_count();
        warm = (qvh_call **)calloc(nwarm, sizeof(qvh_call *));
        held = (size_t *)calloc(nwarm, sizeof(size_t));
        last_use = (uint64_t *)calloc(nwarm, sizeof(uint64_t));
        if (warm == NULL || held == NULL || last_use == NULL) qvr_drop_warm();
        total_held = 0;
    }
    const qvh_call *owned = (const qvh_call *)R_ExternalPtrAddr(guard);
    size_t i = owned == NULL ? nwarm : (size_t)(qvh_call_info(owned) - qvh_function_at(0));
    if (warm == NULL || i >= nwarm || warm[i] != NULL) {
        qvr_release(guard);
        return;
    }
    qvh_call *c = qvr_disown(guard);
    if (values > limit) {
        qvh_call_trim(c);
        values = 0;
    }
    if (values > 0) trim_to(limit - values);
    warm[i] = c;
    held[i] = values;
    last_use[i] = ++keeps;
    total_held += values;
}

/* The room qv_by sets the values out in, kept between calls as the statistics keep theirs (within
 * the same budget), so a repeated qv_by over a long vector touches no fresh page. */
static double *room;
static size_t room_values;

static void by_room_free(size_t keep) {
    if (room_values <= keep) return;
    free(room);
    room = NULL;
    room_values = 0;
}

/* Room for qv_by over n values: kept when n is within the budget of a running call, else R's
 * memory for this .Call only. */
double *qvr_by_room(const char *label, size_t n) {
    if (n <= room_values) return room;
    by_room_free(0);
    if (n > qvr_busy_values()) return (double *)R_alloc(n > 0 ? n : 1, sizeof(double));
    room = (double *)malloc(n * sizeof(double));
    if (room == NULL) qvr_no_memory(label, n * sizeof(double));
    room_values = n;
    return room;
}

/* Frees the kept calls (qv_release_memory(), before the package's allocator changes, and when
 * unloading). */
void qvr_drop_warm(void) {
    for (size_t i = 0; warm != NULL && i < nwarm; ++i) qvh_call_free(warm[i]);
    free(warm);
    free(held);
    free(last_use);
    by_room_free(0);
    warm = NULL;
    held = NULL;
    last_use = NULL;
    total_held = 0;
}

/* R's callback after each top-level call: the kept calls down to the budget between calls. */
SEXP qvr_idle(void) {
    if (warm != NULL) trim_to(warm_values());
    by_room_free(warm_values());
    return R_NilValue;
}

/* qv_release_memory(): the values the kept calls held, given back. */
SEXP qvr_release_memory(void) {
    const double was = (double)total_held;
    qvr_drop_warm();
#ifdef __GLIBC__
    malloc_trim(0); /* the C library keeps freed blocks below its mapping threshold otherwise */
#endif
    return Rf_ScalarReal(was);
}

