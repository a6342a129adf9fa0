// Debug builds check the ordered window's structures as they change, as the tests do: every
// AUDIT_EVERY changes a structure runs its check(), and a broken invariant stops the program with
// the structure's name and the invariant. Release builds compile the audit away.
#pragma once

#include <cstdint>

namespace qvhost {

constexpr std::uint32_t AUDIT_EVERY = 256;

#ifndef NDEBUG
// Writes "qvhost: <what>: <fault>" to stderr and aborts. Debug builds only: a release build (an R
// or Python package among them) neither writes to stderr nor stops the program.
[[noreturn]] void audit_failed(const char *what, const char *fault) noexcept;
#endif

// One change of s counted in count; on every AUDIT_EVERY-th, s.check() in a debug build.
template <class S>
inline void audit(const S &s, std::uint32_t &count, const char *what) noexcept {
#ifndef NDEBUG
    if (++count % AUDIT_EVERY != 0) return;
    if (const char *fault = s.check()) audit_failed(what, fault);
#else
    (void)s, (void)count, (void)what;
#endif
}

// audit() when a change ends, whichever way it returns.
template <class S>
class AuditOnExit {
public:
    AuditOnExit(const S &s, std::uint32_t &count, const char *what) noexcept : s_(s), count_(count), what_(what) {}
    ~AuditOnExit() { audit(s_, count_, what_); }
    AuditOnExit(const AuditOnExit &) = delete;
    AuditOnExit &operator=(const AuditOnExit &) = delete;

private:
    const S &s_;
    std::uint32_t &count_;
    const char *what_;
};

}  // namespace qvhost
