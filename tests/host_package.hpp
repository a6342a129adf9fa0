// The package the tests call and compare with, opened once through the host library.
#pragma once

#include <gtest/gtest.h>

#include "qvhost.h"

namespace qvt {

inline qvh_package *host_package() {
    static qvh_package *p = [] {
        qvh_package *pkg = nullptr;
        EXPECT_EQ(qvh_open(nullptr, &pkg), QVH_OK) << qvh_errmsg();
        return pkg;
    }();
    return p;
}

}  // namespace qvt
