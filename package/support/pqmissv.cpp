// The 28 missing values and their lookup by character.
#include "qv/export.hpp"
#include "qv/values.hpp"

namespace {

constexpr PqMissvStruct make_missing_values() {
    PqMissvStruct s{};
    s.zero = 0;
    for (int i = 0; i < QV_MISSING_COUNT; ++i) s.values[i] = qv::missing_value(i);
    return s;
}

}  // namespace

QV_EXPORT const PqMissvStruct pqmissv_struct = make_missing_values();
QV_EXPORT const double *const qvmissv_table = pqmissv_struct.values;

QV_EXPORT double pqMissVal(int32_t c) {
    const uint32_t u = static_cast<uint32_t>(c);
    if (c == '.') return qvmissv_table[1];
    if (u - 'A' <= 25u) return qvmissv_table[c - 63];
    if (c == '_' || c == '-') return qvmissv_table[0];
    if (u - 'a' <= 25u) return qvmissv_table[c - 95];
    return qvmissv_table[1];
}

QV_EXPORT int32_t pqMissArray(const double *values, uint64_t n) {
    for (uint64_t i = 0; i < n; ++i)
        if (qv::is_missing(values[i])) return 1;
    return 0;
}
