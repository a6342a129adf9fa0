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

void message(int index, const char *context, const char *host_message, char *buf, std::size_t size) noexcept {
    if (size == 0) return;
    try {
        std::string text = host_message != nullptr && *host_message ? host_message : "failed";
        const qvh_info *f = index >= 0 ? qvh_function_at(static_cast<std::size_t>(index)) : nullptr;
        std::string out = f == nullptr ? "qvewumth" : sql_name(*f);
        if (context != nullptr && *context) out += std::string(": ") + context;
        if (f != nullptr) {
            // The host names the function as the package does: "PCTL: ...", "WHICHN takes ...",
            // and in a usage "WHICHN(v, x1, ...)".
            const std::string own = f->name;
            if (text.compare(0, own.size() + 2, own + ": ") == 0) text.erase(0, own.size() + 2);
            else if (text.compare(0, own.size() + 1, own + " ") == 0) text.erase(0, own.size() + 1);
            for (std::size_t at = text.find(own + "("); at != std::string::npos; at = text.find(own + "(", at + 1))
                text.replace(at, own.size(), sql_name(*f));
        }
        out += ": " + text;
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
