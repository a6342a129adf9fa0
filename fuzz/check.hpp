// What every fuzz target shares: a check that ends the run with one line saying what broke (the
// fuzzer then keeps the input as a crash artifact), the package loaded once, and the processor
// time of the calling thread, which a loaded machine does not inflate.
#pragma once

#include <time.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "loader.hpp"

namespace qvfuzz {

[[noreturn]] __attribute__((format(printf, 1, 2))) inline void fail(const char *format, ...) {
    std::va_list ap;
    va_start(ap, format);
    std::fputs("FUZZ CHECK FAILED: ", stderr);
    std::vfprintf(stderr, format, ap);
    std::fputc('\n', stderr);
    va_end(ap);
    std::abort();
}

#define QVFUZZ_CHECK(cond, ...)              \
    do {                                     \
        if (!(cond)) ::qvfuzz::fail(__VA_ARGS__); \
    } while (0)

// The package as a host opens it: $QV_LIB, else the libqvewumth.so the build put beside the
// targets' folder. A package that does not open ends the run at once.
inline qvhost::Package &package() {
    static qvhost::Package *p = [] {
        auto *pkg = new qvhost::Package;
        if (!pkg->ok()) fail("%s", pkg->error().c_str());
        return pkg;
    }();
    return *p;
}

inline long long thread_cpu_ns() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

}  // namespace qvfuzz
