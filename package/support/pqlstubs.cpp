// Message stubs: each gathers its variable arguments into a va_list and hands the host's
// message service the fixed arguments (32-bit integers widened with their sign) and a pointer
// to that va_list, returning the service's result unchanged.
#include <cstdarg>

#include "qv/export.hpp"
#include "qvfnc.h"

QV_EXPORT int64_t qvlMessageToBuf(HostLocale *locale, int64_t a1, int64_t a2, int64_t a3, int64_t a4,
                                  int64_t a5, ...) {
    va_list ap;
    va_start(ap, a5);
    const int64_t r = locale->messageToBuf(locale, a1, a2, a3, a4, a5, &ap);
    va_end(ap);
    return r;
}

QV_EXPORT int64_t qvlMessageToJnl(HostLocale *locale, int32_t code, int64_t a1, int64_t a2, ...) {
    va_list ap;
    va_start(ap, a2);
    const int64_t r = locale->messageToJnl(locale, static_cast<int64_t>(code), a1, a2, &ap);
    va_end(ap);
    return r;
}

QV_EXPORT int64_t qvlStatusToBuf(HostLocale *locale, int32_t code, int64_t a1, int64_t a2, int64_t a3, ...) {
    va_list ap;
    va_start(ap, a3);
    const int64_t r = locale->statusToBuf(locale, static_cast<int64_t>(code), a1, a2, a3, &ap);
    va_end(ap);
    return r;
}

QV_EXPORT int64_t qvlStatusToJnl(HostLocale *locale, int32_t code, int32_t status, ...) {
    va_list ap;
    va_start(ap, status);
    const int64_t r = locale->statusToJnl(locale, static_cast<int64_t>(code), static_cast<int64_t>(status), &ap);
    va_end(ap);
    return r;
}

// The locale query takes whatever integer arguments its caller passed: the stub jumps straight
// to the service's operation with every argument register untouched, and the operation returns
// to the stub's caller.
#if defined(__x86_64__)
QV_EXPORT __attribute__((naked)) int64_t qvlGetLocale(HostLocale *, ...) {
    __asm__ volatile("jmp *96(%rdi)");
}
#elif defined(__aarch64__)
QV_EXPORT __attribute__((naked)) int64_t qvlGetLocale(HostLocale *, ...) {
    __asm__ volatile("ldr x16, [x0, #96]\n\tbr x16");
}
#else
#error "qvlGetLocale needs a tail jump for this processor"
#endif
