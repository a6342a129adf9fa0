/*
 * qvfnc.h - the function package's C interface.
 *
 * Every record here crosses the boundary between the host kernel and the package, so the byte
 * layouts are interface formats: each size and field offset is checked at compile time below.
 * The platform is 64-bit little-endian with 8-byte pointers. The header compiles as C and C++.
 */
#ifndef QVFNC_H
#define QVFNC_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- status codes ---------------------------------------------------------------------- */

typedef int32_t QvStatus;

#define STATUS_OK ((QvStatus)0)
#define STATUS_MISSING_ARG ((QvStatus)0x0001D801)
#define STATUS_INVALID_ARG ((QvStatus)0x0001D804)
#define STATUS_NO_SCRATCH ((QvStatus)(int32_t)0x8001D811u)
#define STATUS_NO_MEMORY ((QvStatus)(int32_t)0x803FC002u)
#define STATUS_UNSUPPORTED ((QvStatus)(int32_t)0x803FC004u)

/* ---- missing values -------------------------------------------------------------------- */

/* A double is missing when its top 16 bits are all ones. */
#define QV_MISSING_DOT_BITS UINT64_C(0xFFFFFE0000000000)
#define QV_MISSING_COUNT 28

/* ---- argument lists and character values ----------------------------------------------- */

#define FUNCARG_NUMERIC UINT64_C(0x0001)
#define FUNCARG_INVALID UINT64_C(0x0100)

typedef struct CharValue {
    uint16_t capacity;  /* room of the buffer, in characters */
    uint16_t length;    /* characters held */
    uint8_t host4[4];   /* the host's */
    uint32_t *chars;    /* 4-byte characters, not zero-terminated */
} CharValue;

typedef struct FuncArg {
    uint64_t flags;     /* FUNCARG_NUMERIC, FUNCARG_INVALID; other bits are the host's */
    void *value;        /* double* for a numeric argument, CharValue* for a character one */
} FuncArg;

typedef struct HostPool HostPool;

typedef struct FuncArgList {
    uint8_t host0[16];
    HostPool *pool;     /* serves scratch memory */
    uint8_t host24[8];
    int64_t count;      /* number of slots, 0 <= count < 2^31 */
    FuncArg args[];     /* argument k (from 1) is args[k - 1] */
} FuncArgList;

/* ---- host objects ---------------------------------------------------------------------- */

#define QV_POOL_ZERO_FILL UINT32_C(0x80000000)

struct HostPool {
    uint8_t host0[16];
    void (*destroy)(HostPool *pool);
    void *(*allocate)(HostPool *pool, uint64_t size, uint32_t flags);
    void (*free)(HostPool *pool, void *block);
};

typedef struct HostLocale HostLocale;
typedef struct HostJournal HostJournal;
typedef struct HostKernel HostKernel;

typedef struct PoolCreateParms {
    uint8_t bytes[96];
} PoolCreateParms;

typedef struct JournalOpenParms {
    uint8_t zero0[16];
    uint32_t mode;      /* 0x40000000 */
    uint8_t zero20[36];
} JournalOpenParms;

struct HostKernel {
    uint8_t host0[40];
    HostJournal *(*openJournal)(HostKernel *kernel, JournalOpenParms *parms, void *reserved,
                                const uint32_t *name);
    HostPool *(*createPool)(HostKernel *kernel, PoolCreateParms *parms, HostLocale *locale,
                            const char *name);
};

struct HostJournal {
    uint8_t host0[16];
    void (*destroy)(HostJournal *journal);
    void (*close)(HostJournal *journal);
};

/* The message service: five operations, each given a pointer to the caller's va_list. */
struct HostLocale {
    uint8_t host0[32];
    int64_t (*messageToBuf)(HostLocale *, int64_t, int64_t, int64_t, int64_t, int64_t, va_list *);
    int64_t (*messageToJnl)(HostLocale *, int64_t, int64_t, int64_t, va_list *);
    int64_t (*statusToBuf)(HostLocale *, int64_t, int64_t, int64_t, int64_t, va_list *);
    int64_t (*statusToJnl)(HostLocale *, int64_t, int64_t, va_list *);
    uint8_t host64[32];
    int64_t (*getLocale)(HostLocale *, ...);
};

/* ---- table functions ------------------------------------------------------------------- */

typedef QvStatus (*QvScalarFn)(double *result, double x);
typedef QvStatus (*QvListFn)(FuncArgList *args, double *result);
typedef QvStatus (*QvCharListFn)(FuncArgList *args, CharValue *result);

typedef union QvEntry {
    QvScalarFn scalar;
    QvListFn list;
    QvCharListFn charList;
} QvEntry;

#define QV_TABLE_ROWS 77
#define QV_NAME_CHARS 9

typedef struct FuncTableRow {
    uint32_t name[QV_NAME_CHARS]; /* upper-case name padded with blanks */
    uint32_t nameEnd;             /* zero */
    uint8_t zero40[32];
    QvEntry entry;                /* null for ORDINAL2 and the end row */
    uint8_t zero80[8];
} FuncTableRow;

typedef struct ExtInstance ExtInstance;

struct ExtInstance {
    uint8_t zero0[24];
    QvStatus (*reqVersion)(ExtInstance *, int64_t *, int64_t *, int64_t *);
    QvStatus (*version)(ExtInstance *, int64_t *, int64_t *, int64_t *);
    HostKernel *kernel;
    QvStatus (*destroy)(ExtInstance *);
    uint8_t zero56[32];
    HostPool *pool;
    HostJournal *journal;
    int64_t journalOpen;
    uint8_t zero112[8];
    FuncTableRow *funcTable;
};

/* ---- the extension frame ----------------------------------------------------------------- */

ExtInstance *qvewumth(HostKernel *kernel, HostLocale *locale);
QvStatus qvewumthReqVersion(ExtInstance *instance, int64_t *a, int64_t *b, int64_t *c);
QvStatus qvewumthVersion(ExtInstance *instance, int64_t *a, int64_t *b, int64_t *c);
QvStatus qvewumthDestroy(ExtInstance *instance);
QvStatus qvextent(void *handle);

extern const FuncTableRow funclist[QV_TABLE_ROWS];
extern void *Exported_QVHandle;
extern int _lib_version;

int64_t qvlMessageToBuf(HostLocale *locale, int64_t a1, int64_t a2, int64_t a3, int64_t a4,
                        int64_t a5, ...);
int64_t qvlMessageToJnl(HostLocale *locale, int32_t code, int64_t a1, int64_t a2, ...);
int64_t qvlStatusToBuf(HostLocale *locale, int32_t code, int64_t a1, int64_t a2, int64_t a3, ...);
int64_t qvlStatusToJnl(HostLocale *locale, int32_t code, int32_t status, ...);
int64_t qvlGetLocale(HostLocale *locale, ...);

/* The build identification record: 208 bytes. */
typedef struct BuildInfo {
    const char *productVersion;
    const char *track;
    const char *setting16;
    int64_t utime;
    const char *prodName;
    const char *name;
    const char *dvd;
    const char *build;
    const char *setting64;
    const char *version;
    const char *setting80;
    const char *setting88;
    const char *hotfixMarker;
    const char *setting104;
    const char *descriptionMarker;
    const char *box;
    uint8_t zero128[80];
} BuildInfo;

extern const BuildInfo qvvercon;
void qvvercn1(BuildInfo *destination);

/* ---- missing values -------------------------------------------------------------------- */

extern const double *const qvmissv_table;
extern const struct PqMissvStruct {
    uint64_t zero;
    double values[QV_MISSING_COUNT];
} pqmissv_struct;

double pqMissVal(int32_t c);
int32_t pqMissArray(const double *values, uint64_t n);

/* ---- memory and string utilities ------------------------------------------------------- */

#define QV_NOT_FOUND UINT64_MAX

QvStatus pqUnsup(void);
uint64_t pqStrLen(const char *s);
uint64_t pqStrTLen(const uint32_t *s);
void pqStrCpy(const char *src, char *dst);
void pqStrTCpy(const uint32_t *src, uint32_t *dst);
void pqStrUp(char *s, uint64_t n);
void pqStrLow(char *s, uint64_t n);
int32_t pqMemNot(int32_t c, const void *p, uint64_t n);
int32_t pqMemTNot(uint32_t c, const uint32_t *p, uint64_t n);
void pqMemSet(void *p, int32_t c, uint64_t n);
void pqMemTSet(uint32_t *p, uint32_t c, uint64_t n);
int32_t pqMemCmp(const void *a, const void *b, uint64_t n);
int32_t pqWMemCmp(const uint32_t *a, const uint32_t *b, uint64_t n);
void pqMemCpy(const void *src, void *dst, uint64_t n);
void pqMemSCpy(const void *src, void *dst, uint64_t n);
void *pqMemDup(const void *src, uint64_t n, HostPool *pool);
uint64_t pqMemScan(const void *p, uint64_t n, int32_t c);
uint64_t pqMemNScan(const void *p, uint64_t n, int32_t c);
uint64_t pqMemTNScan(const uint32_t *p, uint64_t n, uint32_t c);

/* ---- small arithmetic and byte-image helpers ------------------------------------------- */

int32_t qvzcftrc(uint8_t *destination, uint64_t n, double x);
int32_t qvzrftrc(const uint8_t *source, uint64_t n, double *x);
div_t i32div(int32_t numerator, int32_t denominator);
ldiv_t intmdiv(int64_t numerator, int64_t denominator);
int32_t max(int32_t a, int32_t b);
int32_t min(int32_t a, int32_t b);
/* Exact on powers of two; shares its name with the C library's base-2 logarithm, whose C++
 * declaration is noexcept. */
#ifdef __cplusplus
double log2(double x) noexcept;
#else
double log2(double x);
#endif

/* ---- special functions ----------------------------------------------------------------- */

int zgamma(double *result, double x);
double zlgamma(double x);
double zlgbern(double x);
int zlgammaMV(int32_t p, double *result, double a);
int zdigama(double *result, double x);
double ztigama(int32_t *status, double x);
int zdigamadiff(double *result, double a, double b);
double zln1px(double x);
double zlnSumOfExp(double a, double b);

/* ---- table functions: scalar form ------------------------------------------------------ */

QvStatus qvfncabs(double *result, double x);
QvStatus qvfncacos(double *result, double x);
QvStatus qvfncasin(double *result, double x);
QvStatus qvfncatan(double *result, double x);
QvStatus qvfncceil(double *result, double x);
QvStatus qvfncceilz(double *result, double x);
QvStatus qvfnccos(double *result, double x);
QvStatus qvfnccosh(double *result, double x);
QvStatus qvfncdgam(double *result, double x);
QvStatus qvfncexp(double *result, double x);
QvStatus qvfncflr(double *result, double x);
QvStatus qvfncflrz(double *result, double x);
QvStatus qvfncfuzz(double *result, double x);
QvStatus qvfncgam(double *result, double x);
QvStatus qvfncint(double *result, double x);
QvStatus qvfncintz(double *result, double x);
QvStatus qvfnclgam(double *result, double x);
QvStatus qvfnclg(double *result, double x);
QvStatus qvfnclg10(double *result, double x);
QvStatus qvfnclg2(double *result, double x);
QvStatus qvfncrcp(double *result, double x);
QvStatus qvfncsign(double *result, double x);
QvStatus qvfncsin(double *result, double x);
QvStatus qvfncsinh(double *result, double x);
QvStatus qvfncsqrt(double *result, double x);
QvStatus qvfnctan(double *result, double x);
QvStatus qvfnctanh(double *result, double x);
QvStatus qvfnctgam(double *result, double x);

/* ---- table functions: list form -------------------------------------------------------- */

QvStatus qvfncata2(FuncArgList *args, double *result);
QvStatus qvfnccoal(FuncArgList *args, double *result);
QvStatus qvfnccoac(FuncArgList *args, CharValue *result);
QvStatus qvfnccss(FuncArgList *args, double *result);
QvStatus qvfnccv(FuncArgList *args, double *result);
QvStatus qvfncdiv(FuncArgList *args, double *result);
QvStatus qvfncgcd(FuncArgList *args, double *result);
QvStatus qvfncgeom(FuncArgList *args, double *result);
QvStatus qvfncgeoz(FuncArgList *args, double *result);
QvStatus qvfncharm(FuncArgList *args, double *result);
QvStatus qvfncharz(FuncArgList *args, double *result);
QvStatus qvfnciqr(FuncArgList *args, double *result);
QvStatus qvfnckurt(FuncArgList *args, double *result);
QvStatus qvfnclarg(FuncArgList *args, double *result);
QvStatus qvfnclcm(FuncArgList *args, double *result);
QvStatus qvfncmad(FuncArgList *args, double *result);
QvStatus qvfncmax(FuncArgList *args, double *result);
QvStatus qvfncmean(FuncArgList *args, double *result);
QvStatus qvfncmed(FuncArgList *args, double *result);
QvStatus qvfncmin(FuncArgList *args, double *result);
QvStatus qvfncmis(FuncArgList *args, double *result);
QvStatus qvfncmod(FuncArgList *args, double *result);
QvStatus qvfncmodz(FuncArgList *args, double *result);
QvStatus qvfncn(FuncArgList *args, double *result);
QvStatus qvfncnmis(FuncArgList *args, double *result);
QvStatus qvfncord(FuncArgList *args, double *result);
QvStatus qvfncpctl(FuncArgList *args, double *result);
QvStatus qvfncpctl1(FuncArgList *args, double *result);
QvStatus qvfncpctl2(FuncArgList *args, double *result);
QvStatus qvfncpctl3(FuncArgList *args, double *result);
QvStatus qvfncpctl4(FuncArgList *args, double *result);
QvStatus qvfncrang(FuncArgList *args, double *result);
QvStatus qvfncrms(FuncArgList *args, double *result);
QvStatus qvfncrnd(FuncArgList *args, double *result);
QvStatus qvfncrnde(FuncArgList *args, double *result);
QvStatus qvfncrndz(FuncArgList *args, double *result);
QvStatus qvfncskew(FuncArgList *args, double *result);
QvStatus qvfncsmal(FuncArgList *args, double *result);
QvStatus qvfncstd(FuncArgList *args, double *result);
QvStatus qvfncstde(FuncArgList *args, double *result);
QvStatus qvfncsum(FuncArgList *args, double *result);
QvStatus qvfnctrnc(FuncArgList *args, double *result);
QvStatus qvfncuss(FuncArgList *args, double *result);
QvStatus qvfncvar(FuncArgList *args, double *result);
QvStatus qvfncwhich(FuncArgList *args, double *result);
QvStatus qvfncwhin(FuncArgList *args, double *result);

/* ---- layout checks --------------------------------------------------------------------- */

#ifdef __cplusplus
#define QV_STATIC_ASSERT static_assert
#else
#define QV_STATIC_ASSERT _Static_assert
#endif

QV_STATIC_ASSERT(sizeof(void *) == 8, "8-byte pointers");
QV_STATIC_ASSERT(sizeof(CharValue) == 16, "CharValue is 16 bytes");
QV_STATIC_ASSERT(offsetof(CharValue, capacity) == 0, "CharValue.capacity");
QV_STATIC_ASSERT(offsetof(CharValue, length) == 2, "CharValue.length");
QV_STATIC_ASSERT(offsetof(CharValue, chars) == 8, "CharValue.chars");
QV_STATIC_ASSERT(sizeof(FuncArg) == 16, "FuncArg is 16 bytes");
QV_STATIC_ASSERT(offsetof(FuncArg, value) == 8, "FuncArg.value");
QV_STATIC_ASSERT(sizeof(FuncArgList) == 40, "FuncArgList header is 40 bytes");
QV_STATIC_ASSERT(offsetof(FuncArgList, pool) == 16, "FuncArgList.pool");
QV_STATIC_ASSERT(offsetof(FuncArgList, count) == 32, "FuncArgList.count");
QV_STATIC_ASSERT(offsetof(FuncArgList, args) == 40, "FuncArgList.args");
QV_STATIC_ASSERT(offsetof(HostPool, destroy) == 16, "HostPool.destroy");
QV_STATIC_ASSERT(offsetof(HostPool, allocate) == 24, "HostPool.allocate");
QV_STATIC_ASSERT(offsetof(HostPool, free) == 32, "HostPool.free");
QV_STATIC_ASSERT(offsetof(HostKernel, openJournal) == 40, "HostKernel.openJournal");
QV_STATIC_ASSERT(offsetof(HostKernel, createPool) == 48, "HostKernel.createPool");
QV_STATIC_ASSERT(offsetof(HostJournal, destroy) == 16, "HostJournal.destroy");
QV_STATIC_ASSERT(offsetof(HostJournal, close) == 24, "HostJournal.close");
QV_STATIC_ASSERT(offsetof(HostLocale, messageToBuf) == 32, "HostLocale.messageToBuf");
QV_STATIC_ASSERT(offsetof(HostLocale, messageToJnl) == 40, "HostLocale.messageToJnl");
QV_STATIC_ASSERT(offsetof(HostLocale, statusToBuf) == 48, "HostLocale.statusToBuf");
QV_STATIC_ASSERT(offsetof(HostLocale, statusToJnl) == 56, "HostLocale.statusToJnl");
QV_STATIC_ASSERT(offsetof(HostLocale, getLocale) == 96, "HostLocale.getLocale");
QV_STATIC_ASSERT(sizeof(PoolCreateParms) == 96, "PoolCreateParms is 96 bytes");
QV_STATIC_ASSERT(sizeof(JournalOpenParms) == 56, "JournalOpenParms is 56 bytes");
QV_STATIC_ASSERT(offsetof(JournalOpenParms, mode) == 16, "JournalOpenParms.mode");
QV_STATIC_ASSERT(sizeof(ExtInstance) == 128, "ExtInstance is 128 bytes");
QV_STATIC_ASSERT(offsetof(ExtInstance, reqVersion) == 24, "ExtInstance.reqVersion");
QV_STATIC_ASSERT(offsetof(ExtInstance, version) == 32, "ExtInstance.version");
QV_STATIC_ASSERT(offsetof(ExtInstance, kernel) == 40, "ExtInstance.kernel");
QV_STATIC_ASSERT(offsetof(ExtInstance, destroy) == 48, "ExtInstance.destroy");
QV_STATIC_ASSERT(offsetof(ExtInstance, pool) == 88, "ExtInstance.pool");
QV_STATIC_ASSERT(offsetof(ExtInstance, journal) == 96, "ExtInstance.journal");
QV_STATIC_ASSERT(offsetof(ExtInstance, journalOpen) == 104, "ExtInstance.journalOpen");
QV_STATIC_ASSERT(offsetof(ExtInstance, funcTable) == 120, "ExtInstance.funcTable");
QV_STATIC_ASSERT(sizeof(FuncTableRow) == 88, "FuncTableRow is 88 bytes");
QV_STATIC_ASSERT(offsetof(FuncTableRow, nameEnd) == 36, "FuncTableRow.nameEnd");
QV_STATIC_ASSERT(offsetof(FuncTableRow, entry) == 72, "FuncTableRow.entry");
QV_STATIC_ASSERT(sizeof(BuildInfo) == 208, "BuildInfo is 208 bytes");
QV_STATIC_ASSERT(offsetof(BuildInfo, utime) == 24, "BuildInfo.utime");
QV_STATIC_ASSERT(offsetof(BuildInfo, hotfixMarker) == 96, "BuildInfo.hotfixMarker");
QV_STATIC_ASSERT(offsetof(BuildInfo, descriptionMarker) == 112, "BuildInfo.descriptionMarker");
QV_STATIC_ASSERT(offsetof(BuildInfo, box) == 120, "BuildInfo.box");
QV_STATIC_ASSERT(sizeof(struct PqMissvStruct) == 232, "pqmissv_struct is 232 bytes");

#ifdef __cplusplus
}
#endif

#endif /* QVFNC_H */
