// What the host knows about each function before it calls it: the calling form, how many
// arguments it takes and of which kinds. The package reads fixed slots without consulting the
// count, so the host must never call a function with fewer arguments than it reads.
#pragma once

#include <string_view>

namespace qvhost {

enum class Form { Scalar, List, CharResult };
enum class Kind { Num, Chr, Any };

struct Signature {
    std::string_view name;
    Form form;
    int min_args;
    int max_args;  // -1: no upper bound
    Kind first;    // kind of argument 1
    Kind rest;     // kind of arguments 2 and on
    std::string_view usage;
};

// The signature of a function by its upper-case name, or null.
const Signature *find_signature(std::string_view upper_name);

// Every signature, in table order.
const Signature *signatures_begin();
const Signature *signatures_end();

}  // namespace qvhost
