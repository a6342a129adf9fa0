// The host library's handles, shared by its C entry points.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "arglist.hpp"
#include "catalogue.hpp"
#include "loader.hpp"
#include "qvhost.h"
#include "standin.hpp"

struct qvh_package {
    std::unique_ptr<qvhost::Package> package;
    std::vector<QvEntry> entries;  // by catalogue position; null where the package has none
};

struct qvh_call {
    const qvh_info *info = nullptr;
    QvEntry entry{};
    qvhost::CountingPool pool{"qvh call pool"};
    qvhost::ArgList args{pool.host()};
    double result = 0.0;
    std::u32string char_buffer;  // a character result's room
    CharValue char_result{};
    std::string text;            // the character result as UTF-8
    QvStatus status = STATUS_OK;
    bool invoked = false;
    bool shape_checked = false;  // the count and kinds passed the catalogue's check since the last change
    std::u32string scratch;      // a character argument on its way in
};

namespace qvhost {

// Records the message of a failing call for qvh_errmsg and returns rc.
int fail(int rc, std::string message);
// Clears the message: the call succeeded.
int ok();

// The package entry of a function by name, with the checks every constructor needs.
int resolve(qvh_package *pkg, const char *name, const char *what, const qvh_info *&info, QvEntry &entry);

// A NaN that is not a missing value becomes the missing value '.'.
double edge_value(double x);

}  // namespace qvhost
