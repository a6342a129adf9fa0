#include "message.hpp"

#include <algorithm>
#include <cstring>

#include "text.hpp"

namespace qvhost {

namespace {

thread_local char last_error[1024];

// Appends to a fixed buffer, counting what would not fit.
struct Sink {
    char *buf;
    std::size_t size;  // room including the terminator
    std::size_t n = 0;
    void put(std::string_view s) {
        if (n + 1 < size) {
            const std::size_t k = std::min(s.size(), size - 1 - n);
            std::memcpy(buf + n, s.data(), k);
        }
        n += s.size();
    }
    void end() {
        if (size > 0) buf[std::min(n, size - 1)] = '\0';
    }
};

void escaped_char(Sink &out, unsigned char b) {
    static const char HEX[] = "0123456789ABCDEF";
    switch (b) {
        case '\n': out.put("\\n"); return;
        case '\r': out.put("\\r"); return;
        case '\t': out.put("\\t"); return;
        default: {
            const char code[4] = {'\\', 'x', HEX[b >> 4], HEX[b & 15]};
            out.put(std::string_view(code, 4));
        }
    }
}

}  // namespace

Msg &Msg::operator<<(std::string_view s) {
    const std::size_t k = std::min(s.size(), sizeof buf_ - n_);
    std::memcpy(buf_ + n_, s.data(), k);
    n_ += k;
    return *this;
}

Msg &Msg::operator<<(unsigned long long n) {
    char digits[24];
    std::size_t k = sizeof digits;
    do {
        digits[--k] = static_cast<char>('0' + n % 10);
        n /= 10;
    } while (n != 0);
    return *this << std::string_view(digits + k, sizeof digits - k);
}

Msg &Msg::operator<<(long long n) {
    if (n < 0) {
        *this << '-';
        return *this << (0ull - static_cast<unsigned long long>(n));
    }
    return *this << static_cast<unsigned long long>(n);
}

std::size_t escape(std::string_view text, std::size_t max, char *buf, std::size_t size) noexcept {
    Sink out{buf, buf == nullptr ? 0 : size};
    std::size_t i = 0;
    while (i < text.size()) {
        char32_t cp;
        const std::size_t len = utf8_decode(text, i, cp);
        if (max != 0 && i + std::max<std::size_t>(len, 1) > max) break;
        if (len == 0 || cp < 0x20 || cp == 0x7F) {
            escaped_char(out, static_cast<unsigned char>(text[i]));
            ++i;
        } else {
            out.put(text.substr(i, len));
            i += len;
        }
    }
    if (i < text.size()) out.put("...");
    out.end();
    return out.n;
}

int fail(int rc, std::string_view message) noexcept {
    escape(message, 0, last_error, sizeof last_error);
    return rc;
}

int ok() noexcept {
    last_error[0] = '\0';
    return 0;
}

const char *last_message() noexcept { return last_error; }

}  // namespace qvhost
