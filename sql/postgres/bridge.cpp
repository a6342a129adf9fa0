#include "bridge.hpp"

#include <cstring>
#include <string>
#include <string_view>

#include "names.hpp"
#include "qvhost.h"

namespace qvpg {

int resolve(const char *name, const char *suffix) noexcept {
    try {
        const qvh_info *f = from_sql_name(name, suffix);
        return f == nullptr ? -1 : static_cast<int>(f - qvh_function_at(0));
    } catch (...) {
        return -1;
    }
}

void message(int index, const char *host_message, char *buf, std::size_t size) noexcept {
    if (size == 0) return;
    buf[0] = '\0';
    try {
        std::string_view text = host_message != nullptr && *host_message ? host_message : "failed";
        std::string out;
        const qvh_info *f = index >= 0 ? qvh_function_at(static_cast<std::size_t>(index)) : nullptr;
        if (f == nullptr) {
            out = "qvewumth: " + std::string(text);
        } else {
            // The host names the function as the package does ("PCTL: ...", "WHICHN takes ...").
            const std::string_view own = f->name;
            out = sql_name(*f);
            if (text.substr(0, own.size()) == own && text.size() > own.size() && (text[own.size()] == ':' || text[own.size()] == ' '))
                out += text.substr(own.size());
            else
                out += ": " + std::string(text);
        }
        std::strncpy(buf, out.c_str(), size - 1);
        buf[size - 1] = '\0';
    } catch (...) {
        std::strncpy(buf, "qvewumth: out of memory", size - 1);
        buf[size - 1] = '\0';
    }
}

bool combines_only_values(int index) noexcept {
    const qvh_info *f = qvh_function_at(static_cast<std::size_t>(index));
    return f != nullptr && f->aggregate == QVH_AGG_FIXED && (std::strcmp(f->name, "SUM") == 0 || std::strcmp(f->name, "MEAN") == 0);
}

}  // namespace qvpg
