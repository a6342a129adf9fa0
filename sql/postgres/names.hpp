// How the server names the support functions of an aggregate: the function's SQL name (qvh_sql_name:
// "qv_median") and a suffix. The module finds the catalogue function it is working for from the
// name of the SQL function the server called.
#pragma once

#include <cstring>
#include <string_view>

#include "qvhost.h"

namespace qvpg {

inline constexpr std::string_view TRANS = "_trans";    // a row joins the group
inline constexpr std::string_view MTRANS = "_mtrans";  // a row joins a moving window frame
inline constexpr std::string_view FINAL = "_final";    // the result of the group
// The form of a percentile over an array of percentiles, qv_pctl(ARRAY[10, 50, 90], x).
inline constexpr std::string_view ATRANS = "_atrans";  // a row joins the group
inline constexpr std::string_view AFINAL = "_afinal";  // the results of the group, an array

// The catalogue entry whose SQL name followed by suffix is name, or null. Allocates nothing.
inline const qvh_info *from_sql_name(std::string_view name, std::string_view suffix) noexcept {
    constexpr std::string_view prefix = "qv_";
    if (name.size() <= prefix.size() + suffix.size() || !name.starts_with(prefix) || !name.ends_with(suffix))
        return nullptr;
    const std::string_view sql = name.substr(0, name.size() - suffix.size());
    char bare[64];
    if (sql.size() - prefix.size() >= sizeof bare) return nullptr;
    std::memcpy(bare, sql.data() + prefix.size(), sql.size() - prefix.size());
    bare[sql.size() - prefix.size()] = '\0';
    const qvh_info *f = qvh_function_find(bare);
    return f != nullptr && sql == qvh_sql_name(f) ? f : nullptr;
}

}  // namespace qvpg
