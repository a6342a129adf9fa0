// How the catalogue's functions are named in SQL: "qv_" and the name in lower case. The support
// functions of an aggregate add a suffix to that name, and the module finds the function it is
// working for from the name of the SQL function the server called.
#pragma once

#include <cctype>
#include <string>
#include <string_view>

#include "qvhost.h"

namespace qvpg {

inline constexpr std::string_view PREFIX = "qv_";
inline constexpr std::string_view TRANS = "_trans";    // a row joins the group
inline constexpr std::string_view MTRANS = "_mtrans";  // a row joins a moving window frame
inline constexpr std::string_view FINAL = "_final";    // the result of the group

inline std::string sql_name(const qvh_info &f) {
    std::string name(PREFIX);
    for (const char *c = f.name; *c; ++c) name.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(*c))));
    return name;
}

// The catalogue entry whose SQL name followed by suffix is name, or null.
inline const qvh_info *from_sql_name(std::string_view name, std::string_view suffix) {
    if (name.size() <= PREFIX.size() + suffix.size() || name.substr(0, PREFIX.size()) != PREFIX ||
        name.substr(name.size() - suffix.size()) != suffix)
        return nullptr;
    const std::string bare(name.substr(PREFIX.size(), name.size() - PREFIX.size() - suffix.size()));
    const qvh_info *f = qvh_function_find(bare.c_str());
    return f != nullptr && sql_name(*f) == name.substr(0, name.size() - suffix.size()) ? f : nullptr;
}

}  // namespace qvpg
