// The records the table job writes: fields gathered in a block that goes out once it is large.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "program.hpp"
#include "table.hpp"
#include "tallies.hpp"

namespace qvcli {

class RecordWriter {
public:
    RecordWriter(std::FILE *out, char ofs, const NumberFormat &format, Reporter &report);

    char ofs() const { return ofs_; }
    // A record as it was read, without its line end.
    void raw(std::string_view record) { block_ += record; }
    void separator() { block_.push_back(ofs_); }
    // A field, in double quotes when it holds the separator, a quote or a line end.
    void field(std::string_view text);
    // A result: a character value as a field, a number in the job's format.
    void value(const Value &v, Kind kind);
    // Ends the record; false (reported) when the output cannot be written.
    bool end_record() {
        block_.push_back('\n');
        return block_.size() < (1u << 16) || flush();
    }
    bool flush();

private:
    std::FILE *out_;
    const char ofs_;
    const NumberFormat &format_;
    Reporter &report_;
    // The output separator is a character numbers are written with ("1e-5", "inf", ".A"): every
    // number goes out as a field, quoted where it holds the separator.
    const bool number_quoted_;
    std::string block_, number_;
    bool failed_ = false;
};

}  // namespace qvcli
