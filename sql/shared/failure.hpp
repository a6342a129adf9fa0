// How an engine extension carries a failure from deep inside a callback to the callback's edge,
// where it becomes the engine's own error: an SQL error with its message, the engine's
// out-of-memory error, or the user's interrupt. No exception ever reaches the engine: guarded()
// catches everything at the edge.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <new>
#include <string_view>

#include "qvhost.h"

namespace qvsql {

enum class Stop { Error, NoMemory, Interrupted };

// A failure thrown up to the edge of a callback. Its message lives in the object itself, so a
// failure for want of memory is carried without asking for any.
class Failure {
public:
    __attribute__((format(printf, 3, 4))) Failure(Stop kind, const char *format, ...) noexcept : kind_(kind) {
        va_list args;
        va_start(args, format);
        std::vsnprintf(message_, sizeof message_, format, args);
        va_end(args);
    }
    Stop kind() const noexcept { return kind_; }
    const char *message() const noexcept { return message_; }

private:
    Stop kind_;
    char message_[512];
};

// The function's own error: "qv_pctl: what".
[[noreturn]] inline void fail(const char *label, std::string_view what) {
    throw Failure(Stop::Error, "%s: %.*s", label, static_cast<int>(what.size()), what.data());
}

// Out of memory in the one wording of the host library: "qv_median: out of memory asking for
// 80000 bytes" (asked 0: not known).
[[noreturn]] inline void no_memory(const char *label, std::size_t asked) {
    char message[256];
    qvh_nomem_message(label, 0, 0, asked, message, sizeof message);
    throw Failure(Stop::NoMemory, "%s", message);
}

// What a host library's return code stops with.
inline Stop stop_of(int rc) noexcept {
    if (rc == QVH_E_NOMEM) return Stop::NoMemory;
    if (rc == QVH_E_INTERRUPTED) return Stop::Interrupted;
    return Stop::Error;
}

// A failing host library call: its message, which names the function by its SQL label, is the error.
inline void check(int rc) {
    if (rc != QVH_OK) throw Failure(stop_of(rc), "%s", qvh_errmsg());
}

// Runs body. A Failure, running out of memory or any other exception ends it and is handed to
// on_failure (which must not throw) as a Failure; label names the function in the messages made
// here. Returns whether body ran through.
template <class Body, class OnFailure>
bool guarded(const char *label, Body &&body, OnFailure &&on_failure) noexcept {
    try {
        body();
        return true;
    } catch (const Failure &e) {
        on_failure(e);
    } catch (const std::bad_alloc &) {
        char message[256];
        qvh_nomem_message(label, 0, 0, 0, message, sizeof message);
        on_failure(Failure(Stop::NoMemory, "%s", message));
    } catch (...) {
        on_failure(Failure(Stop::Error, "%s: unexpected failure", label));
    }
    return false;
}

}  // namespace qvsql
