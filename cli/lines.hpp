// Expressions without a table: each one evaluated once, its result printed on one line.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "qvhost.h"
#include "table.hpp"

namespace qvcli {

// The text before a '#' that stands outside quotes.
std::string_view strip_comment(std::string_view line);

class LineRunner {
public:
    LineRunner(qvh_package *pkg, const NumberFormat &format) : pkg_(pkg), format_(format) {}

    // Evaluates text ('#' outside quotes starts a comment; a blank text is skipped) and prints
    // "result  (notes)" on out, or one error line on err. label names it in messages ("line 4").
    // Returns false on an error.
    bool run(std::string_view text, const std::string &label, std::FILE *out, std::FILE *err);

    // A result so far came with a status other than OK.
    bool noted() const { return noted_; }

private:
    qvh_package *pkg_;
    const NumberFormat &format_;
    bool noted_ = false;
};

}  // namespace qvcli
