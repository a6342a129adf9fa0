#include "writer.hpp"

#include <cctype>
#include <cerrno>
#include <cstring>

#include "csv.hpp"

namespace qvcli {

RecordWriter::RecordWriter(std::FILE *out, char ofs, const NumberFormat &format, Reporter &report)
    : out_(out), ofs_(ofs), format_(format), report_(report),
      number_quoted_(std::isalnum(static_cast<unsigned char>(ofs)) || std::string_view("+-._").find(ofs) != std::string_view::npos) {}

void RecordWriter::field(std::string_view text) { append_field(block_, text, ofs_); }

void RecordWriter::value(const Value &v, Kind kind) {
    if (kind == Kind::Chr) {
        field(std::string_view(v.str, v.len));
    } else if (format_.missing_set && qvh_is_missing(v.num)) {
        field(format_.missing_token);
    } else if (number_quoted_) {
        number_.clear();
        append_number(number_, v.num, format_);
        field(number_);
    } else {
        append_number(block_, v.num, format_);
    }
}

bool RecordWriter::flush() {
    if (failed_) return false;
    const bool ok = std::fwrite(block_.data(), 1, block_.size(), out_) == block_.size() && std::fflush(out_) == 0;
    block_.clear();
    if (!ok) {
        failed_ = true;
        report_.fail(std::string("cannot write the output: ") + std::strerror(errno));
    }
    return ok;
}

}  // namespace qvcli
