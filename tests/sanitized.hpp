// Whether this build runs under AddressSanitizer or ThreadSanitizer, and the size of a random
// sweep there. The plain build checks the bits of long sweeps; a sanitized build looks for
// memory, undefined-behaviour and thread errors, which follow the paths the code takes, not the
// values: a tenth of a sweep (still hundreds to thousands of cases over the same mixes, shapes
// and sizes) takes those paths at a tenth of the time.
#pragma once

// GCC names the sanitizers by macros, clang by features.
#ifdef __has_feature
#define QVT_HAS_FEATURE(x) __has_feature(x)
#else
#define QVT_HAS_FEATURE(x) 0
#endif

namespace qvt {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || QVT_HAS_FEATURE(address_sanitizer) || \
    QVT_HAS_FEATURE(thread_sanitizer)
inline constexpr bool SANITIZED = true;
#else
inline constexpr bool SANITIZED = false;
#endif

// The number of cases a random sweep of `plain` cases runs in this build.
constexpr int sweep(int plain) { return SANITIZED ? plain / 10 : plain; }

}  // namespace qvt
