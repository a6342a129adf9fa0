/*
 * qvhost.h - the host library: the way programs use the function package.
 *
 * The host library opens libqvewumth.so privately (its exported names never reach the program),
 * creates an instance with its own memory pool, journal and message service, and calls the
 * package's functions through the instance's function table, exactly as a host kernel does. It
 * also holds the catalogue of the functions (names, argument counts and kinds, documentation),
 * the text forms of values and missing values, and aggregates that feed a list-form statistic one
 * value at a time with the same result as one call over all the values.
 *
 * Every call that can fail returns QVH_OK (0) or a QVH_E_* code and then leaves a one-line
 * message for qvh_errmsg(); it changes nothing else. No call crashes on a NULL handle.
 *
 * Threads: qvh_errmsg() is per thread. The catalogue and the text routines may be used from any
 * number of threads at once. qvh_open may be called from many threads at once, for the same file
 * too: each call makes its own instance (the library file is mapped once per process). A package
 * may be used from many threads at once (qvh_call_new, qvh_agg_new, qvh_eval, qvh_symbol,
 * qvh_package_path) once qvh_open has returned and until qvh_close is called; qvh_close must not
 * overlap any other use of that package. A qvh_call or qvh_agg belongs to one thread at a time:
 * give each thread its own. qvh_agg_merge works in both aggregates' memory, so neither may be in
 * use by another thread while it runs. The routines qvh_symbol finds keep no state and may run in
 * any thread, except qvextent, which stores one process-wide handle without a lock.
 *
 * Numbers: a double whose top 16 bits are all ones is a missing value; there are 28 of them,
 * written ., ._ and .A to .Z. Every value handed to a call or an aggregate through this library
 * that is a NaN but not a missing value becomes the missing value '.', and so does every result:
 * a function that gives a NaN which is not a missing value gives '.' with the host-level status
 * QVH_STATUS_NOT_A_NUMBER instead (where its own status was OK).
 *
 * No function of this interface throws, crashes on a NULL handle or lets an exception through: a
 * failure to allocate, even while a message is being made, returns QVH_E_NOMEM.
 */
#ifndef QVHOST_H
#define QVHOST_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(QVHOST_BUILD)
#define QVH_API __attribute__((visibility("default")))
#else
#define QVH_API
#endif

#define QVH_VERSION_MAJOR 1
#define QVH_VERSION_MINOR 4

#if defined(__cplusplus)
#define QVH_NOEXCEPT noexcept
#else
#define QVH_NOEXCEPT
#endif

/* ---- return codes and messages ------------------------------------------------------------ */

enum {
    QVH_OK = 0,
    QVH_E_NULL = 1,        /* a NULL handle or pointer where one is needed */
    QVH_E_OPEN = 2,        /* the package cannot be opened, or the file is not the package */
    QVH_E_UNKNOWN = 3,     /* no function of that name */
    QVH_E_UNAVAILABLE = 4, /* a known name this package provides no entry point for */
    QVH_E_ARITY = 5,       /* the wrong number of arguments */
    QVH_E_KIND = 6,        /* a character value where a number is wanted, or the reverse */
    QVH_E_LIMIT = 7,       /* beyond a limit: characters in a value, arguments in a call */
    QVH_E_NOMEM = 8,       /* the host library ran out of memory */
    QVH_E_STATE = 9,       /* the object cannot do this now (see the call's description) */
    QVH_E_RANGE = 10,      /* an argument index or a buffer out of range */
    QVH_E_INTERRUPTED = 11 /* the program's interrupt check asked to stop (see the engine section) */
};

/* The message of the last failing call made by this thread; "" when there is none. */
QVH_API const char *qvh_errmsg(void) QVH_NOEXCEPT;
/* The name of a return code: "QVH_E_ARITY". */
QVH_API const char *qvh_rc_name(int rc) QVH_NOEXCEPT;

/* ---- statuses of the package's functions -------------------------------------------------- */

#define QVH_STATUS_OK ((int32_t)0)
#define QVH_STATUS_MISSING_ARG ((int32_t)0x0001D801)
#define QVH_STATUS_INVALID_ARG ((int32_t)0x0001D804)
#define QVH_STATUS_NO_SCRATCH ((int32_t)(uint32_t)0x8001D811u)
#define QVH_STATUS_NO_MEMORY ((int32_t)(uint32_t)0x803FC002u)
#define QVH_STATUS_UNSUPPORTED ((int32_t)(uint32_t)0x803FC004u)

/* Made by this library, never by the package: the function gave a NaN that is not a missing value
 * (an overflow inside its arithmetic, or infinities in the data) with status OK. The result is
 * delivered as '.'. */
#define QVH_STATUS_NOT_A_NUMBER ((int32_t)0x0001D8F1)

/* "ok", "missing argument", "invalid argument", "no scratch memory", "no memory",
 * "unsupported", "not a number", or "status 0x........" for any other code. */
QVH_API const char *qvh_status_name(int32_t status) QVH_NOEXCEPT;
/* 1 when the status says the package ran out of memory (no scratch memory, no memory): there is no
 * result, and a surface reports an out-of-memory error instead of giving a value. */
QVH_API int qvh_status_is_memory(int32_t status) QVH_NOEXCEPT;

/* ---- values ------------------------------------------------------------------------------- */

/* The ordinary missing value '.' (bits 0xFFFFFE0000000000). */
QVH_API double qvh_dot(void) QVH_NOEXCEPT;
/* 1 when x is one of the 28 missing values, else 0. */
QVH_API int qvh_is_missing(double x) QVH_NOEXCEPT;
/* The missing value that c names: '.' or ' ' gives ., '_' gives ._, 'A'..'Z' or 'a'..'z' give
 * .A to .Z. Returns QVH_E_RANGE (and leaves *out alone) for any other character. */
QVH_API int qvh_missing(char c, double *out) QVH_NOEXCEPT;
/* The letter of a missing value: '.', '_' or 'A'..'Z'; 0 when x is not missing. */
QVH_API char qvh_missing_letter(double x) QVH_NOEXCEPT;
/* 1 when text[0..len) is exactly a missing literal (".", "._", ".A" to ".Z", either case), with
 * the value in *out; else 0. */
QVH_API int qvh_parse_missing(const char *text, size_t len, double *out) QVH_NOEXCEPT;
/* Reads text[0..len) as a number the way the command line does: an optional sign, digits with
 * an optional point and exponent, "inf", "infinity" and "nan" in any case, or a missing literal.
 * Returns 1 with the value in *out, 0 when the text is not a number. */
QVH_API int qvh_parse_number(const char *text, size_t len, double *out) QVH_NOEXCEPT;
/* Writes x in its shortest form that reads back to the same double ("0.1", "-2.5e-300", "inf",
 * "nan") or as its missing literal (".", ".A"), zero-terminated, truncated to size. Returns the
 * length of the full text, at most QVH_FORMAT_MAX - 1. */
#define QVH_FORMAT_MAX 32
QVH_API size_t qvh_format(double x, char *buf, size_t size) QVH_NOEXCEPT;

/* ---- the catalogue ------------------------------------------------------------------------ */

enum { QVH_FORM_SCALAR = 1, QVH_FORM_LIST = 2, QVH_FORM_CHAR_LIST = 3 };
enum { QVH_KIND_NUM = 1, QVH_KIND_CHR = 2, QVH_KIND_ANY = 3 };
/* How a statistic is fed one value at a time: not at all, with a fixed-size state (its result is
 * assembled from calls over blocks of values), or by keeping the values (8 bytes each). */
enum { QVH_AGG_NONE = 0, QVH_AGG_FIXED = 1, QVH_AGG_VALUES = 2 };
/* How the result over blocks of values is assembled (qvh_info.fold): a count added up (N, NMISS),
 * a sum carried into the next block (SUM), a sum and a count (MEAN), an extreme carried into the
 * next block (MIN, MAX), both extremes (RANGE), or not at all: the values are kept (every other
 * statistic). Fixed states of COUNT, EXTREME and RANGE merge exactly in any split; SUM and MEAN
 * only when their values are kept, since a folded sum is already rounded. */
enum {
    QVH_FOLD_NONE = 0,   /* not a statistic over rows */
    QVH_FOLD_COUNT = 1,
    QVH_FOLD_SUM = 2,
    QVH_FOLD_MEAN = 3,
    QVH_FOLD_EXTREME = 4,
    QVH_FOLD_RANGE = 5,
    QVH_FOLD_VALUES = 6
};
/* Bits of qvh_info.statuses: the statuses a function may return. */
enum {
    QVH_MAY_OK = 1,
    QVH_MAY_MISSING_ARG = 2,
    QVH_MAY_INVALID_ARG = 4,
    QVH_MAY_NO_SCRATCH = 8
};
#define QVH_ANY_COUNT (-1)
/* How the partial states of a statistic computed apart (threads, partitions, processes) are merged
 * with qvh_agg_merge (qvh_info.merge): not at all (not a statistic over rows); as fixed states,
 * exactly in any split (N, NMISS, MIN, MAX, RANGE); or only from partial states that keep their
 * values (QVH_AGG_KEEP_VALUES), since a folded sum is already rounded (SUM, MEAN, and every
 * statistic that keeps its values anyway). */
enum { QVH_MERGE_NONE = 0, QVH_MERGE_FIXED = 1, QVH_MERGE_VALUES = 2 };

typedef struct qvh_info {
    const char *name;      /* upper case, as in the package's table: "PCTL3" */
    const char *family;    /* "Order statistics" */
    int form;              /* QVH_FORM_* */
    int min_args;
    int max_args;          /* QVH_ANY_COUNT: no upper bound */
    int first_kind;        /* QVH_KIND_* of argument 1 */
    int rest_kind;         /* QVH_KIND_* of arguments 2 and on */
    int result_kind;       /* QVH_KIND_NUM or QVH_KIND_CHR */
    int aggregate;         /* QVH_AGG_* */
    int leading_param;     /* 1 when argument 1 is a parameter (percentile, rank), not data */
    unsigned statuses;     /* QVH_MAY_* bits */
    unsigned marks;        /* 1 when the function may mark arguments invalid */
    const char *usage;     /* "PCTL3(p, x1, ...)" */
    const char *summary;   /* one line */
    const char *reference; /* paragraphs: what it computes, arguments, missing and invalid input,
                              statuses, an example */
    int fold;              /* QVH_FOLD_*; QVH_FOLD_NONE exactly when aggregate is QVH_AGG_NONE */
    int merge;             /* QVH_MERGE_*: how partial states of the statistic are merged */
    const char *source;    /* the package's source file that implements it, from the repository's
                              root ("package/fnc/qvfncpctl.cpp"); "" when the package has none */
} qvh_info;

typedef struct qvh_routine_info {
    const char *name;      /* "zgamma" */
    const char *family;
    const char *prototype; /* "int zgamma(double *result, double x)" */
    const char *summary;
    const char *reference;
} qvh_routine_info;

/* Every table function, in the order of the package's table (ABS to WHICHN); NULL past the end. */
QVH_API size_t qvh_function_count(void) QVH_NOEXCEPT;
QVH_API const qvh_info *qvh_function_at(size_t index) QVH_NOEXCEPT;
/* A function by its name in any case; NULL (QVH_E_UNKNOWN in qvh_errmsg) when there is none. */
QVH_API const qvh_info *qvh_function_find(const char *name) QVH_NOEXCEPT;
/* The name of the function in SQL and in the language bindings: "qv_" and its name in lower case
 * ("qv_pctl3"). Empty for NULL. */
QVH_API const char *qvh_sql_name(const qvh_info *f) QVH_NOEXCEPT;
/* "PCTL(p, x1, ...)" with the function called label instead ("qv_pctl(p, x1, ...)"; label NULL:
 * its own name), zero-terminated, truncated to size. Returns the full length. */
QVH_API size_t qvh_usage(const qvh_info *f, const char *label, char *buf, size_t size) QVH_NOEXCEPT;
/* Checks a number of arguments and, when kinds is not NULL, their kinds (kinds[i] is QVH_KIND_NUM
 * or QVH_KIND_CHR) against the catalogue, as qvh_call_invoke does. QVH_OK, or QVH_E_ARITY or
 * QVH_E_KIND with a message naming the function as label (NULL: its own name):
 * "qv_atan2 takes 2 arguments, got 3: qv_atan2(y, x)", "qv_log: argument 1 must be a number, not a
 * character value". */
QVH_API int qvh_check_args(const qvh_info *f, const char *label, size_t n, const int *kinds) QVH_NOEXCEPT;
/* The package's exported routines that programs may call directly (through qvh_symbol). */
QVH_API size_t qvh_routine_count(void) QVH_NOEXCEPT;
QVH_API const qvh_routine_info *qvh_routine_at(size_t index) QVH_NOEXCEPT;

/* ---- the package -------------------------------------------------------------------------- */

typedef struct qvh_package qvh_package;

/* Opens the package at path, or when path is NULL or "" the default one: $QV_LIB when set, else
 * the libqvewumth.so beside this library (or beside the program that links it statically), else
 * the installed one. Creates one instance of it. */
QVH_API int qvh_open(const char *path, qvh_package **out) QVH_NOEXCEPT;
/* Destroys the instance and unloads the package. NULL is allowed. Every call and aggregate made
 * from the package must be freed first. */
QVH_API void qvh_close(qvh_package *pkg) QVH_NOEXCEPT;
/* 1 when the open package has an entry point for f (a catalogue name may have none). */
QVH_API int qvh_package_has(const qvh_package *pkg, const qvh_info *f) QVH_NOEXCEPT;
/* The file the package was opened from. */
QVH_API const char *qvh_package_path(const qvh_package *pkg) QVH_NOEXCEPT;
/* An exported routine or datum of the package (zgamma, qvvercn1, ...), or NULL. */
QVH_API void *qvh_symbol(const qvh_package *pkg, const char *name) QVH_NOEXCEPT;

/* ---- memory ------------------------------------------------------------------------------- */

/* Where the memory of the package's scratch pools and of everything an aggregate keeps comes from.
 * alloc returns a block aligned for any object, or NULL when it refuses; resize (may be NULL: alloc,
 * copy and release are used) returns the block grown or shrunk to new_size with its contents, or NULL
 * leaving the block as it was; release takes a block with the size it was asked for. The functions
 * must not throw or jump out (longjmp) of this library; they are called from the thread that uses
 * the call or aggregate. */
typedef struct qvh_allocator {
    void *(*alloc)(void *ctx, size_t size);
    void *(*resize)(void *ctx, void *block, size_t old_size, size_t new_size);
    void (*release)(void *ctx, void *block, size_t size);
    void *ctx;
} qvh_allocator;

/* The allocator of the calls and aggregates made from pkg from now on (NULL: the C library's
 * malloc). The structure is copied. Call it before the package is used from other threads. */
QVH_API int qvh_set_allocator(qvh_package *pkg, const qvh_allocator *a) QVH_NOEXCEPT;

/* ---- calls -------------------------------------------------------------------------------- */

typedef struct qvh_call qvh_call;

/* A call of one function with an argument list that is built once and may be changed and made
 * again. Each call has its own scratch pool, so calls in different threads never share state. */
QVH_API int qvh_call_new(qvh_package *pkg, const char *name, qvh_call **out) QVH_NOEXCEPT;
QVH_API void qvh_call_free(qvh_call *call) QVH_NOEXCEPT;
QVH_API const qvh_info *qvh_call_info(const qvh_call *call) QVH_NOEXCEPT;
/* The name the call's messages give its function (copied; NULL: the catalogue name): with
 * "qv_pctl", "qv_pctl: argument 2 holds 70000 characters; ..." instead of "PCTL: ...". */
QVH_API int qvh_call_set_label(qvh_call *call, const char *label) QVH_NOEXCEPT;

/* Empties the argument list. */
QVH_API void qvh_call_clear(qvh_call *call) QVH_NOEXCEPT;
/* Appends arguments. A character value is UTF-8 text of at most 65535 characters (QVH_E_LIMIT
 * beyond); a list holds at most 2^31 - 1 arguments. */
QVH_API int qvh_call_add_num(qvh_call *call, double x) QVH_NOEXCEPT;
QVH_API int qvh_call_add_nums(qvh_call *call, const double *xs, size_t n) QVH_NOEXCEPT;
QVH_API int qvh_call_add_str(qvh_call *call, const char *utf8, size_t len) QVH_NOEXCEPT;
/* Replaces argument index (from 0) with a value of the same or the other kind. */
QVH_API int qvh_call_set_num(qvh_call *call, size_t index, double x) QVH_NOEXCEPT;
QVH_API int qvh_call_set_str(qvh_call *call, size_t index, const char *utf8, size_t len) QVH_NOEXCEPT;
QVH_API size_t qvh_call_count(const qvh_call *call) QVH_NOEXCEPT;

/* Checks the number and kinds of the arguments against the catalogue, clears the marks of the
 * last call and calls the function. A status other than OK is not an error: QVH_OK is returned and
 * the status is read with qvh_call_status. */
QVH_API int qvh_call_invoke(qvh_call *call) QVH_NOEXCEPT;
/* The result of the last invoke: a number (missing values included), or for a function with a
 * character result its UTF-8 text (zero-terminated; valid until the next invoke or free). */
QVH_API double qvh_call_result(const qvh_call *call) QVH_NOEXCEPT;
QVH_API const char *qvh_call_result_str(const qvh_call *call, size_t *len) QVH_NOEXCEPT;
QVH_API int32_t qvh_call_status(const qvh_call *call) QVH_NOEXCEPT;
/* 1 when the last invoke marked argument index (from 0) invalid. */
QVH_API int qvh_call_marked(const qvh_call *call, size_t index) QVH_NOEXCEPT;
/* "invalid argument; argument 2 marked" or "ok", zero-terminated, truncated to size; returns the
 * full length. */
QVH_API size_t qvh_call_describe(const qvh_call *call, char *buf, size_t size) QVH_NOEXCEPT;

/* Many calls of the function at once, one per row: row i passes the arguments
 * args[j] + i * strides[j] bytes, j = 0 .. nargs - 1 (a stride of 0 passes the same value on every
 * row: a parameter, or broadcasting), writes its result to out + i * out_stride bytes, and, when
 * statuses is not NULL, its status to statuses[i] and, when marks is not NULL, 1 or 0 to
 * marks[i * nargs + j] for each argument it marked invalid or not. The function must take numbers.
 * Results and statuses are those of one qvh_call_invoke per row (the NaN rule included), bit for bit;
 * the argument list is checked once. A memory status stops the batch with QVH_E_NOMEM, naming the
 * row. tally, when not NULL, counts the rows by status (after QVH_E_NOMEM, the rows before the one
 * that stopped). The call keeps nargs arguments afterwards. */
typedef struct qvh_tally {
    uint64_t rows;          /* rows called */
    uint64_t missing_arg;   /* QVH_STATUS_MISSING_ARG */
    uint64_t invalid_arg;   /* QVH_STATUS_INVALID_ARG */
    uint64_t not_a_number;  /* QVH_STATUS_NOT_A_NUMBER */
    uint64_t other;         /* any other status but OK */
    uint64_t marked;        /* rows with at least one argument marked invalid */
} qvh_tally;
QVH_API int qvh_call_rows(qvh_call *call, size_t rows, size_t nargs, const double *const *args,
                          const ptrdiff_t *strides, double *out, ptrdiff_t out_stride, int32_t *statuses,
                          unsigned char *marks, qvh_tally *tally) QVH_NOEXCEPT;

/* One call of the function over lead[0..nlead) followed by n values read in place, the i-th at
 * xs + i * stride bytes, without copying them: the way for large arrays (a whole column, a reduction
 * over one axis). The function must be a list-form function of numbers. The call's own argument list
 * is not used or changed. Writes the result (the NaN rule holds), the status when status is not
 * NULL, and when marked is not NULL, 1 or 0 to marked[k] for argument k (lead first) marked invalid
 * or not. A memory status, or no memory for the argument list, is QVH_E_NOMEM. */
QVH_API int qvh_call_over(qvh_call *call, const double *lead, size_t nlead, const double *xs, size_t n,
                          ptrdiff_t stride, double *result, int32_t *status, unsigned char *marked) QVH_NOEXCEPT;

/* The result of qvh_call_over over the n values (no lead), bit for bit, for a statistic that folds
 * (qvh_info.fold is QVH_FOLD_COUNT to QVH_FOLD_RANGE: N, NMISS, SUM, MEAN, MIN, MAX, RANGE) made
 * from calls over chunks of 4096 values, each carrying what the calls before it gave: only one
 * chunk's argument list is laid out (100 KB for any n, given back when the call returns); a list of
 * at most one chunk is one qvh_call_over. CSS, VAR, STD, STDERR and CV are the package's deviation
 * sum taken in two passes over the values in place, with no argument list. The call's interrupt
 * check is consulted between chunks. These statistics mark no argument. For any other function
 * it is qvh_call_over itself. */
QVH_API int qvh_call_fold(qvh_call *call, const double *xs, size_t n, ptrdiff_t stride, double *result,
                          int32_t *status) QVH_NOEXCEPT;
/* 1 when qvh_call_fold lays out no argument list of the whole for f (the statistics above), so a
 * surface passes it any long array; 0 otherwise (and for NULL). */
QVH_API int qvh_fold_in_place(const qvh_info *f) QVH_NOEXCEPT;

/* Several percentiles of one list: results[k] (and statuses[k], marked[k] when not NULL) is what
 * qvh_call_over(call, &ps[k], 1, xs, n, stride, ...) gives, bit for bit, for k = 0 .. np - 1, and
 * marked[k] is 1 when that call marked ps[k] invalid (no value is ever marked). For PCTL and PCTL1
 * to PCTL5 the values at every rank the percentiles read (the package's own plan, qv/pctlplan.hpp)
 * are found together: in a long list, a sample of the values brackets each rank, one pass keeps the
 * values inside the brackets (a few in a hundred for each) and selections within them give the
 * ranks; a short list, or a bracket that missed its rank, is copied (8 bytes a value) and ordered by
 * selections that narrow on the ranks. The package is then called over the one or two values each
 * percentile reads, with the percentile that makes it read them as it reads the whole list; a
 * percentile the short call could read differently (a zero read while both zeros are present, a
 * weight no percentile of two values gives) is called over the whole list. Any other function is
 * QVH_E_KIND. The interrupt check is consulted during the passes over the values and between
 * selections; their memory is given back when the call returns. */
QVH_API int qvh_call_percentiles(qvh_call *call, const double *ps, size_t np, const double *xs, size_t n,
                                 ptrdiff_t stride, double *results, int32_t *statuses,
                                 unsigned char *marked) QVH_NOEXCEPT;

/* One call of a numeric function over n numbers: the shortest way to use the package. */
QVH_API int qvh_eval(qvh_package *pkg, const char *name, const double *xs, size_t n, double *result,
                     int32_t *status) QVH_NOEXCEPT;

/* ---- messages about values ---------------------------------------------------------------- */

/* Text for a message: text[0..len) as valid UTF-8 on one line, every byte that is not UTF-8 written
 * as \xFF, line ends and other control characters as \n, \r, \t or \x01, at most max bytes of
 * the text (cut on a character, "..." added; 0: no limit), zero-terminated, truncated to size.
 * Returns the full length. */
QVH_API size_t qvh_escape(const char *text, size_t len, size_t max, char *buf, size_t size) QVH_NOEXCEPT;

/* ---- aggregates --------------------------------------------------------------------------- */

typedef struct qvh_agg qvh_agg;

/* An aggregate of a list-form statistic (qvh_info.aggregate is not QVH_AGG_NONE): values are added
 * one at a time, and the result is that of one call of the function over the parameter (when it
 * takes one) followed by every value added, in the order added, bit for bit.
 *
 * A QVH_AGG_FIXED statistic keeps a state of fixed size; QVH_AGG_KEEP_VALUES makes it keep its
 * values instead, which qvh_agg_remove_first and merging its partial states in order need. */
#define QVH_AGG_KEEP_VALUES 1u
/* QVH_AGG_CANONICAL keeps the values and computes each result over them in the canonical order
 * instead of the order added: ascending by the IEEE total order of their bits, so the missing
 * values come first (in descending bit patterns) and -0 before +0. A window frame's result is then
 * the same whatever order an engine hands its rows over in. */
#define QVH_AGG_CANONICAL 2u
/* The canonical order's key of a double's bit pattern: an unsigned number whose order is the
 * canonical order (a negative pattern has every bit flipped, a positive one its sign bit set);
 * qvh_canonical_bits gives the pattern back. */
static inline uint64_t qvh_canonical_key(uint64_t bits) {
    return (bits >> 63) != 0 ? ~bits : bits | ((uint64_t)1 << 63);
}
static inline uint64_t qvh_canonical_bits(uint64_t key) {
    return (key >> 63) != 0 ? key & ~((uint64_t)1 << 63) : ~key;
}
QVH_API int qvh_agg_new(qvh_package *pkg, const char *name, unsigned flags, qvh_agg **out) QVH_NOEXCEPT;
/* The same with its own allocator (NULL: the package's), for the aggregate itself, every value it
 * keeps and the package's scratch memory while it computes a result (the memory context of an SQL
 * aggregate, a database's heap). */
QVH_API int qvh_agg_new_in(qvh_package *pkg, const char *name, unsigned flags, const qvh_allocator *a,
                           qvh_agg **out) QVH_NOEXCEPT;
QVH_API void qvh_agg_free(qvh_agg *agg) QVH_NOEXCEPT;
QVH_API const qvh_info *qvh_agg_info(const qvh_agg *agg) QVH_NOEXCEPT;
/* The name the aggregate's messages give its function (copied; NULL: the catalogue name). */
QVH_API int qvh_agg_set_label(qvh_agg *agg, const char *label) QVH_NOEXCEPT;

/* Sets the leading parameter (percentile or rank). Setting it again to a different value
 * (compared bit for bit) is QVH_E_STATE; every value is accepted, as by the function itself. */
QVH_API int qvh_agg_param(qvh_agg *agg, double p) QVH_NOEXCEPT;
/* Adds values in order. On QVH_E_NOMEM the values before the refused one have been added
 * (qvh_agg_rows counts them) and the aggregate stays usable. */
QVH_API int qvh_agg_add(qvh_agg *agg, double x) QVH_NOEXCEPT;
QVH_API int qvh_agg_add_n(qvh_agg *agg, const double *xs, size_t n) QVH_NOEXCEPT;
/* Removes the value added first (a window frame moving on). QVH_E_STATE when the aggregate keeps
 * a fixed state with values folded into it, or holds no value. */
QVH_API int qvh_agg_remove_first(qvh_agg *agg) QVH_NOEXCEPT;
/* From now on keep every value added, as QVH_AGG_KEEP_VALUES does; values already folded into
 * a fixed state stay folded (a host that learns late that it needs qvh_agg_remove_first). */
QVH_API int qvh_agg_keep_values(qvh_agg *agg) QVH_NOEXCEPT;
/* From now on compute results in the canonical order, as QVH_AGG_CANONICAL does. QVH_E_STATE when
 * values are folded into a fixed state already. */
QVH_API int qvh_agg_canonical_order(qvh_agg *agg) QVH_NOEXCEPT;
/* Appends the values of from after those of into, as if they had been added to into. Two fixed
 * states merge exactly for N, NMISS, MIN, MAX and RANGE; for SUM and MEAN from must keep its
 * values (QVH_E_STATE otherwise). An aggregate with no parameter yet takes from's. On QVH_E_NOMEM
 * an aggregate that keeps its values is unchanged. */
QVH_API int qvh_agg_merge(qvh_agg *into, const qvh_agg *from) QVH_NOEXCEPT;
/* The number of values added and not removed. */
QVH_API uint64_t qvh_agg_rows(const qvh_agg *agg) QVH_NOEXCEPT;
/* The result over everything added so far; the aggregate may go on afterwards. The NaN rule of
 * calls holds; a memory status (qvh_status_is_memory) means there is no result. */
QVH_API int qvh_agg_result(qvh_agg *agg, double *result, int32_t *status) QVH_NOEXCEPT;
/* Clears everything added (and the parameter). */
QVH_API void qvh_agg_reset(qvh_agg *agg) QVH_NOEXCEPT;

/* The state as bytes, to send to another process: returns the size needed, writing the bytes
 * when size is large enough (8 bytes per value kept and 65 more). qvh_agg_load replaces agg's state
 * with saved bytes. */
QVH_API size_t qvh_agg_save(const qvh_agg *agg, void *buf, size_t size) QVH_NOEXCEPT;
QVH_API int qvh_agg_load(qvh_agg *agg, const void *buf, size_t size) QVH_NOEXCEPT;

/* ==== for surfaces ===========================================================================
 * The rules every surface (a database engine, a language binding, the command line) applies at
 * its edge, made once here so that they agree: how an engine's value becomes an argument, how a
 * result comes back, how statuses are counted and worded, what out of memory says, the limits,
 * and the order of rows by group. A surface keeps only its channel (an error, a warning, an
 * exception, a status function). */

/* The limits: arguments in one call (the package reads the count in 32 bits), characters in one
 * character value (a character value counts them in 16 bits), and the values a fixed-state
 * aggregate holds before it folds them into its state (32 KiB of pending values). */
#define QVH_MAX_ARGS 2147483647
#define QVH_MAX_CHARS 65535
#define QVH_FOLD_BLOCK 4096

/* An engine's value, by kind. */
enum { QVH_VALUE_NULL = 0, QVH_VALUE_NUM = 1, QVH_VALUE_TEXT = 2 };
typedef struct qvh_value {
    int kind;         /* QVH_VALUE_* */
    double num;       /* QVH_VALUE_NUM: the number */
    const char *text; /* QVH_VALUE_TEXT: UTF-8, text[0..len); need not be zero-terminated */
    size_t len;
} qvh_value;

/* Argument index (from 0) of f, given the engine's value v, as the call takes it: *out gets kind
 * QVH_VALUE_NUM or QVH_VALUE_TEXT. The rules:
 *   - NULL is '.' where the argument takes numbers or either kind, and the blank text "" where it
 *     takes only character values;
 *   - a number is itself, a NaN that is not a missing value is '.'; a number where only character
 *     values are taken is QVH_E_KIND;
 *   - text that is a missing literal (".", "._", ".A" to ".Z", either case, nothing around it) is
 *     that missing value where the argument takes numbers or either kind, and the empty text is '.'
 *     where it takes only numbers (an empty field of an imported file); any other text is text
 *     where character values are taken, and QVH_E_KIND where only numbers are: "qv_abs: argument 1
 *     must be a number, not a character value ('abc')". An engine that reads text as numbers by
 *     its own casting rules converts before it asks.
 * label names the function in the message (NULL: its catalogue name). Returns QVH_OK, QVH_E_KIND,
 * QVH_E_NULL for a NULL f, v or out, or QVH_E_RANGE for a kind that is none of QVH_VALUE_*.
 * out->text points into v's text (or a static ""). */
QVH_API int qvh_edge_arg(const qvh_info *f, const char *label, size_t index, const qvh_value *v,
                         qvh_value *out) QVH_NOEXCEPT;
/* A numeric result as the host delivers it: a NaN that is not a missing value becomes '.', and
 * *status (when status is not NULL and it was QVH_STATUS_OK) becomes QVH_STATUS_NOT_A_NUMBER.
 * Returns the result. */
QVH_API double qvh_edge_result(double x, int32_t *status) QVH_NOEXCEPT;

/* Counts one result with its status into t (a struct of qvh_call_rows, zeroed to start):
 * marked is nonzero when the result marked an argument invalid. */
QVH_API void qvh_tally_add(qvh_tally *t, int32_t status, int marked) QVH_NOEXCEPT;
/* Adds the counts of from to into (partial tallies of threads or partitions). */
QVH_API void qvh_tally_merge(qvh_tally *into, const qvh_tally *from) QVH_NOEXCEPT;
/* The summary every surface shows for a tally, zero-terminated, truncated to size; returns the
 * full length. label names the function (NULL: nothing before the summary). Statuses come in the
 * order missing argument, invalid argument, not a number, other:
 *   "qv_mean: 2 of 10 rows gave missing argument, 1 not a number; 1 row marked an argument invalid"
 *   "qv_log: invalid argument; an argument marked invalid"   (one row)
 *   "qv_mean: ok"   (every row ok)   "qv_mean: no rows" */
QVH_API size_t qvh_tally_describe(const qvh_tally *t, const char *label, char *buf, size_t size) QVH_NOEXCEPT;
/* The message for one status, zero-terminated, truncated to size; returns the full length:
 * "qv_log: invalid argument"; a memory status reads as qvh_nomem_message with nothing known:
 * "qv_median: out of memory". label NULL: the status alone. */
QVH_API size_t qvh_status_message(int32_t status, const char *label, char *buf, size_t size) QVH_NOEXCEPT;
/* The one wording of out of memory, zero-terminated, truncated to size; returns the full length:
 * "qv_median: out of memory asking for 80000 bytes in row 3 of 10". bytes_asked 0 leaves out what
 * was asked for (not known), row 0 the row (not a batch), rows 0 the total: "qv_median: out of
 * memory". label NULL names no call. */
QVH_API size_t qvh_nomem_message(const char *label, uint64_t row, uint64_t rows, size_t bytes_asked, char *buf,
                                 size_t size) QVH_NOEXCEPT;
/* The bytes the last request refused while the call or the aggregate ran (its own memory or the
 * package's scratch memory); 0 when none was refused or the size is not known. */
QVH_API size_t qvh_call_asked(const qvh_call *call) QVH_NOEXCEPT;
QVH_API size_t qvh_agg_asked(const qvh_agg *agg) QVH_NOEXCEPT;

/* Advises the system that a block of size bytes an engine's allocator gave (a group's values, a
 * sort's scratch) will be written through at once: where it is 4 MiB or more, its whole huge pages
 * are asked to be backed by huge pages, which saves most of its page faults. Only a hint: nothing
 * happens where the system has no huge pages or the block is not anonymous memory. The host library
 * does the same for every large block it takes itself. */
QVH_API void qvh_advise_large(void *block, size_t size) QVH_NOEXCEPT;

/* Orders rows by group: codes[i] is the group of row i, 0 .. ngroups - 1, or negative when the row
 * belongs to no group. Writes to order the rows of group 0, then of group 1, ..., each group's
 * rows in their own order (a stable counting sort), and to starts (ngroups + 1 entries) where each
 * group begins in order: group g is order[starts[g] .. starts[g + 1]), and starts[ngroups] is the
 * number of rows in a group (order has room for n). Returns QVH_OK, QVH_E_NULL, or QVH_E_RANGE for
 * a code of ngroups or more (order is not written then, and starts holds nothing of use). */
QVH_API int qvh_group_order(const int64_t *codes, size_t n, size_t ngroups, size_t *order, size_t *starts) QVH_NOEXCEPT;
/* The values of the rows in the order of qvh_group_order, without the order: writes the value of
 * row i (read at xs + i * stride bytes, as it is) to values[k] where order[k] would be i, and starts
 * as qvh_group_order does (values has room for n). One pass over the rows in their own order, so the
 * values are read once and in order. Returns QVH_OK, QVH_E_NULL, or QVH_E_RANGE for a code of
 * ngroups or more (values is not written then, and starts holds nothing of use). */
QVH_API int qvh_group_values(const int64_t *codes, size_t n, size_t ngroups, const double *xs, ptrdiff_t stride,
                             double *values, size_t *starts) QVH_NOEXCEPT;
/* qvh_group_values for 32-bit codes, taken as they are (an R surface's group numbers, whose missing
 * value is negative). */
QVH_API int qvh_group_values32(const int32_t *codes, size_t n, size_t ngroups, const double *xs, ptrdiff_t stride,
                               double *values, size_t *starts) QVH_NOEXCEPT;

/* ---- the engine: interrupts, warm memory, moving windows ---------------------------------- */

/* Interrupts. A long piece of work consults the check of its call (or aggregate) between rows
 * (qvh_call_rows), between windows and groups (qvh_moving), between blocks of values (qvh_agg_add_n)
 * and while it lays out a long argument list (qvh_call_over): about once per 2^20 values of work
 * (QVH_CHECK_EVERY), a few milliseconds, so a check that costs a microsecond costs nothing
 * measurable. When check(ctx) returns non-zero the work stops with QVH_E_INTERRUPTED and the
 * message "interrupted" (with the row reached); what was written before stays written. The check
 * runs in the calling thread and must not throw or jump out (longjmp) of this library: a surface
 * notes the interrupt there (a flag, a pending signal) and acts on it once the entry has returned.
 * One call of the package over many values is one call: it cannot be cut, so a median over 10^8
 * values runs to its end (about a second) before an interrupt is seen. NULL check: none. */
#define QVH_CHECK_EVERY ((size_t)1 << 20)
typedef int (*qvh_interrupt_fn)(void *ctx);
QVH_API int qvh_call_set_interrupt(qvh_call *call, qvh_interrupt_fn check, void *ctx) QVH_NOEXCEPT;
QVH_API int qvh_agg_set_interrupt(qvh_agg *agg, qvh_interrupt_fn check, void *ctx) QVH_NOEXCEPT;

/* Warm memory. A call keeps the argument list qvh_call_over and qvh_moving lay out and the blocks
 * the package asks of its scratch pool after it has given them back (at most four free blocks), so
 * that a repeated call of the same size touches no fresh page and clears nothing it will write. A
 * qvh_call_over over the same values as the last (the same address, count and stride) finds its list
 * laid out and only reads the values again for NaNs, which need a slot of their own.
 * They come from the package's allocator (qvh_set_allocator) and go back to it when the call is
 * freed or trimmed. qvh_call_trim gives back everything the call keeps between calls. */
QVH_API void qvh_call_trim(qvh_call *call) QVH_NOEXCEPT;

/* Moving windows. qvh_moving gives, for every row i of xs (n values, the i-th at xs + i * stride
 * bytes), the result of the call's function over lead[0..nlead) followed by the values of the
 * window of row i in row order, bit for bit the result of qvh_call_over on those values.
 *
 * The rows are cut into groups at group_starts[0..ngroups) (strictly increasing, the first 0, each
 * below n; NULL or 0: one group); a window never crosses a group boundary, so each group starts
 * afresh. The window of row i in the group [g, e):
 *   QVH_WINDOW_TRAILING   rows max(g, i - size + 1) .. i;
 *   QVH_WINDOW_CENTRED    rows max(g, i - size / 2) .. min(e - 1, i + (size - 1) / 2): for an odd
 *                         size as many rows before as after, for an even one one more before
 *                         (pandas' center=True);
 *   QVH_WINDOW_EXPANDING  rows g .. i (size is not used);
 *   QVH_WINDOW_CENTRED_AFTER  rows max(g, i - (size - 1) / 2) .. min(e - 1, i + size / 2): for an
 *                         even size one more after (R's filter(sides = 2), zoo and data.table).
 * A window holding fewer than min_present present values (a missing value: ., ._, .A to .Z, and a
 * NaN, which becomes '.', is not present) is not computed: its result is '.' with the status
 * QVH_STATUS_MISSING_ARG. min_present 0 computes every window.
 *
 * The order statistics MEDIAN, PCTL, PCTL1 to PCTL4, IQR, ORDINAL, SMALLEST, LARGEST, MIN, MAX and
 * RANGE keep the window in order (below 4096 values in sorted blocks of 64, so a row moves at most
 * one block; beyond, in a tree: O(log size) a row) and call the package over the one to four values of the window
 * its result reads (ORDINAL: or the missing value it reads), with the percentile or rank that makes
 * the package read them as it reads the whole window, which gives the same bits; a window that
 * holds both +0 and -0, or (ORDINAL) a missing value in an unusual bit pattern, is called whole, and
 * so is a point between two values of PCTL1 or PCTL4 that no percentile of the pair reproduces.
 * SUM, MEAN, USS, CSS, VAR, STD, STDERR and CV over trailing and centred windows without lead values
 * take each window's sums in the package's order with the package's own steps, many windows at
 * once in vector lanes, and finish them with the package's own code: the same bits, O(size) adds
 * per row without a call (expanding windows of SUM and MEAN: O(1) a row, the sum carried). Every other function is called once per window over the window's values
 * in place, in O(1) per row besides the call itself.
 *
 * Results go to out + i * out_stride bytes, statuses (when not NULL) to statuses[i]; tally (when
 * not NULL) counts the rows by status, as qvh_call_rows does. The function must be a list-form
 * function of numbers. A memory status stops with QVH_E_NOMEM naming the row; an interrupt with
 * QVH_E_INTERRUPTED; the rows before are written either way. The call's own argument list is not
 * used or changed. */
enum { QVH_WINDOW_TRAILING = 1, QVH_WINDOW_CENTRED = 2, QVH_WINDOW_EXPANDING = 3, QVH_WINDOW_CENTRED_AFTER = 4 };
typedef struct qvh_window {
    int kind;           /* QVH_WINDOW_* */
    size_t size;        /* rows of a trailing or centred window, at least 1 */
    size_t min_present; /* present values a window needs to be computed */
} qvh_window;
QVH_API int qvh_moving(qvh_call *call, const double *lead, size_t nlead, const double *xs, size_t n, ptrdiff_t stride,
                       const qvh_window *frame, const size_t *group_starts, size_t ngroups, double *out,
                       ptrdiff_t out_stride, int32_t *statuses, qvh_tally *tally) QVH_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* QVHOST_H */
