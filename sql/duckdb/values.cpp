// Values: DuckDB's vectors read as the package's numbers and texts.
#include <cctype>
#include <cstring>

#include "extension.hpp"

namespace qvduck {

const char *type_name(duckdb_type t) {
    switch (t) {
        case DUCKDB_TYPE_BOOLEAN: return "BOOLEAN";
        case DUCKDB_TYPE_TIMESTAMP:
        case DUCKDB_TYPE_TIMESTAMP_S:
        case DUCKDB_TYPE_TIMESTAMP_MS:
        case DUCKDB_TYPE_TIMESTAMP_NS:
        case DUCKDB_TYPE_TIMESTAMP_TZ: return "TIMESTAMP";
        case DUCKDB_TYPE_DATE: return "DATE";
        case DUCKDB_TYPE_TIME:
        case DUCKDB_TYPE_TIME_TZ: return "TIME";
        case DUCKDB_TYPE_INTERVAL: return "INTERVAL";
        case DUCKDB_TYPE_BLOB: return "BLOB";
        case DUCKDB_TYPE_LIST:
        case DUCKDB_TYPE_ARRAY: return "LIST";
        case DUCKDB_TYPE_STRUCT: return "STRUCT";
        case DUCKDB_TYPE_MAP: return "MAP";
        case DUCKDB_TYPE_UUID: return "UUID";
        case DUCKDB_TYPE_ENUM: return "ENUM";
        default: return "a value of another type";
    }
}

Column::Column(duckdb_vector v) {
    duckdb_logical_type lt = duckdb_vector_get_column_type(v);
    type = duckdb_get_type_id(lt);
    switch (type) {
        case DUCKDB_TYPE_SQLNULL: src = Src::Null; break;
        case DUCKDB_TYPE_TINYINT: src = Src::I8; break;
        case DUCKDB_TYPE_SMALLINT: src = Src::I16; break;
        case DUCKDB_TYPE_INTEGER: src = Src::I32; break;
        case DUCKDB_TYPE_BIGINT: src = Src::I64; break;
        case DUCKDB_TYPE_UTINYINT: src = Src::U8; break;
        case DUCKDB_TYPE_USMALLINT: src = Src::U16; break;
        case DUCKDB_TYPE_UINTEGER: src = Src::U32; break;
        case DUCKDB_TYPE_UBIGINT: src = Src::U64; break;
        case DUCKDB_TYPE_HUGEINT: src = Src::I128; break;
        case DUCKDB_TYPE_UHUGEINT: src = Src::U128; break;
        case DUCKDB_TYPE_FLOAT: src = Src::F32; break;
        case DUCKDB_TYPE_DOUBLE: src = Src::F64; break;
        case DUCKDB_TYPE_VARCHAR: src = Src::Text; break;
        case DUCKDB_TYPE_DECIMAL:
            src = Src::Dec;
            width = duckdb_decimal_width(lt);
            scale = duckdb_decimal_scale(lt);
            dec_storage = duckdb_decimal_internal_type(lt);
            break;
        default: break;
    }
    duckdb_destroy_logical_type(&lt);
    data = duckdb_vector_get_data(v);
    validity = duckdb_vector_get_validity(v);
}

std::string_view Column::text(idx_t i) const {
    const auto &s = static_cast<const duckdb_string_t *>(data)[i];
    const std::uint32_t n = s.value.inlined.length;
    return {n <= 12 ? s.value.inlined.inlined : s.value.pointer.ptr, n};
}

double Column::number(idx_t i) const {
    switch (src) {
        case Src::I8: return static_cast<const std::int8_t *>(data)[i];
        case Src::I16: return static_cast<const std::int16_t *>(data)[i];
        case Src::I32: return static_cast<const std::int32_t *>(data)[i];
        case Src::I64: return static_cast<double>(static_cast<const std::int64_t *>(data)[i]);
        case Src::U8: return static_cast<const std::uint8_t *>(data)[i];
        case Src::U16: return static_cast<const std::uint16_t *>(data)[i];
        case Src::U32: return static_cast<const std::uint32_t *>(data)[i];
        case Src::U64: return static_cast<double>(static_cast<const std::uint64_t *>(data)[i]);
        case Src::I128: return duckdb_hugeint_to_double(static_cast<const duckdb_hugeint *>(data)[i]);
        case Src::U128: return duckdb_uhugeint_to_double(static_cast<const duckdb_uhugeint *>(data)[i]);
        case Src::F32: return static_cast<const float *>(data)[i];
        case Src::F64: return static_cast<const double *>(data)[i];
        case Src::Dec: return decimal(i);
        default: return qvh_dot();
    }
}
double Column::decimal(idx_t i) const {
    // The stored integer over 10^scale: one rounding while the integer is exact in a double
    // (every DECIMAL up to 15 digits); beyond that DuckDB's own conversion.
    static const double tens[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,
                                  1e10, 1e11, 1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19,
                                  1e20, 1e21, 1e22, 1e23, 1e24, 1e25, 1e26, 1e27, 1e28, 1e29,
                                  1e30, 1e31, 1e32, 1e33, 1e34, 1e35, 1e36, 1e37, 1e38};
    duckdb_hugeint wide{};
    switch (dec_storage) {
        case DUCKDB_TYPE_SMALLINT: return static_cast<const std::int16_t *>(data)[i] / tens[scale];
        case DUCKDB_TYPE_INTEGER: return static_cast<const std::int32_t *>(data)[i] / tens[scale];
        case DUCKDB_TYPE_BIGINT: {
            const std::int64_t v = static_cast<const std::int64_t *>(data)[i];
            if (v >= -(std::int64_t{1} << 53) && v <= (std::int64_t{1} << 53)) return static_cast<double>(v) / tens[scale];
            wide.lower = static_cast<std::uint64_t>(v);
            wide.upper = v < 0 ? -1 : 0;
            break;
        }
        default: wide = static_cast<const duckdb_hugeint *>(data)[i]; break;
    }
    return duckdb_decimal_to_double(duckdb_decimal{width, scale, wide});
}

std::string argument(std::size_t index) { return "argument " + std::to_string(index + 1); }

namespace {

int kind_of(const qvh_info &info, std::size_t index) { return index == 0 ? info.first_kind : info.rest_kind; }

// The engine's value of one row for the host's edge: NULL, a number, or text. Where the argument
// takes only numbers, VARCHAR that DuckDB's CAST reads as a number (spaces around it ignored) is
// that number, and other text goes without the spaces around it.
qvh_value engine_value(const Function &f, std::size_t index, const Column &c, idx_t row) {
    const int kind = kind_of(*f.info, index);
    if (c.null(row)) return {QVH_VALUE_NULL, 0.0, nullptr, 0};
    if (c.text()) {
        std::string_view s = c.text(row);
        if (kind == QVH_KIND_NUM) {
            while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
            while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
            double x = 0;
            if (!s.empty() && qvh_parse_number(s.data(), s.size(), &x)) return {QVH_VALUE_NUM, x, nullptr, 0};
        }
        return {QVH_VALUE_TEXT, 0.0, s.data(), s.size()};
    }
    if (c.src == Column::Src::Other)
        fail(f, argument(index) + (kind == QVH_KIND_CHR ? " must be text (VARCHAR)" : std::string(" is ") + type_name(c.type) + ", not a number"));
    return {QVH_VALUE_NUM, c.number(row), nullptr, 0};
}

}  // namespace

qvh_value edge_arg(const Function &f, std::size_t index, const Column &c, idx_t row) {
    const qvh_value in = engine_value(f, index, c, row);
    qvh_value out{};
    if (const int rc = qvh_edge_arg(f.info, f.label.c_str(), index, &in, &out); rc != QVH_OK) host_failure(f, rc);
    return out;
}

double number_arg(const Function &f, std::size_t index, const Column &c, idx_t row) {
    const qvh_value v = edge_arg(f, index, c, row);
    if (v.kind != QVH_VALUE_NUM) fail(f, argument(index) + " must be a number");
    return v.num;
}

namespace {

template <class T>
void widen(const void *data, idx_t rows, double *out) {
    const T *in = static_cast<const T *>(data);
    for (idx_t i = 0; i < rows; ++i) out[i] = static_cast<double>(in[i]);
}

}  // namespace

void numbers_arg(const Function &f, std::size_t index, const Column &c, idx_t rows, double *out) {
    using Src = Column::Src;
    switch (c.src) {
        case Src::F64: std::memcpy(out, c.data, rows * sizeof(double)); break;
        case Src::F32: widen<float>(c.data, rows, out); break;
        case Src::I8: widen<std::int8_t>(c.data, rows, out); break;
        case Src::I16: widen<std::int16_t>(c.data, rows, out); break;
        case Src::I32: widen<std::int32_t>(c.data, rows, out); break;
        case Src::I64: widen<std::int64_t>(c.data, rows, out); break;
        case Src::U8: widen<std::uint8_t>(c.data, rows, out); break;
        case Src::U16: widen<std::uint16_t>(c.data, rows, out); break;
        case Src::U32: widen<std::uint32_t>(c.data, rows, out); break;
        case Src::U64: widen<std::uint64_t>(c.data, rows, out); break;
        default:
            for (idx_t i = 0; i < rows; ++i) out[i] = number_arg(f, index, c, i);
            return;
    }
    if (c.validity != nullptr)
        for (idx_t i = 0; i < rows; ++i)
            if (c.null(i)) out[i] = qvh_dot();
}

void set_null(duckdb_vector out, idx_t row) {
    duckdb_vector_ensure_validity_writable(out);
    duckdb_validity_set_row_invalid(duckdb_vector_get_validity(out), row);
}

}  // namespace qvduck
