// Writing a failure result: every path of a table function writes its result.
#pragma once

#include "qv/values.hpp"

namespace qv {

inline QvStatus fail(double *result, QvStatus status) {
    *result = MISSING_DOT;
    return status;
}

}  // namespace qv
