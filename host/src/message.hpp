// Messages of failing calls. They are built in fixed buffers, so a call that fails for want of
// memory can still say why, and no message is ever the reason a call throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace qvhost {

// A one-line message under construction; what does not fit is cut.
class Msg {
public:
    Msg &operator<<(std::string_view s);
    Msg &operator<<(const char *s) { return *this << std::string_view(s == nullptr ? "" : s); }
    Msg &operator<<(char c) { return *this << std::string_view(&c, 1); }
    Msg &operator<<(unsigned long long n);
    Msg &operator<<(unsigned long n) { return *this << static_cast<unsigned long long>(n); }
    Msg &operator<<(unsigned n) { return *this << static_cast<unsigned long long>(n); }
    Msg &operator<<(long long n);
    Msg &operator<<(long n) { return *this << static_cast<long long>(n); }
    Msg &operator<<(int n) { return *this << static_cast<long long>(n); }
    std::string_view view() const { return {buf_, n_}; }

private:
    char buf_[768];
    std::size_t n_ = 0;
};

// Records the message of a failing call for qvh_errmsg, as valid UTF-8 on one line, and returns rc.
int fail(int rc, std::string_view message) noexcept;
inline int fail(int rc, const Msg &m) noexcept { return fail(rc, m.view()); }
// Clears the message: the call succeeded.
int ok() noexcept;
// The message of the last failing call of this thread.
const char *last_message() noexcept;

// Writes text as valid UTF-8 on one line (invalid bytes as \xFF, control characters as \n, \r,
// \t, \x01), at most max bytes of text (0: all; cut on a character, "..." added), into buf of size
// bytes, zero-terminated. Returns the full length.
std::size_t escape(std::string_view text, std::size_t max, char *buf, std::size_t size) noexcept;

}  // namespace qvhost
