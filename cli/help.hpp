// What qvfnc tells about itself and the package: a function's or an operator's reference, the
// list of functions and operators, and the package's build identification.
#pragma once

#include <string>

#include "qvhost.h"

namespace qvcli {

// Prints the reference of a function or an operator; returns the exit status (2: no such name).
int help_entry(const std::string &name);
void list_functions(qvh_package *pkg);
void print_version(qvh_package *pkg);

}  // namespace qvcli
