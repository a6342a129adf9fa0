// Delimited tables: a reader that holds one record at a time, and the text of output fields.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace qvcli {

// The longest record the reader holds: 256 MiB.
constexpr std::size_t MAX_RECORD = std::size_t{1} << 28;

// Reads records separated by sep: fields in double quotes may hold the separator, line ends and
// doubled quotes; records end in LF or CRLF; a UTF-8 byte-order mark before the first record is
// skipped. Memory holds the current record only, whatever the length of the input.
class CsvReader {
public:
    // Reads the file descriptor of in directly: nothing may have been read from in before.
    explicit CsvReader(std::FILE *in, char sep = ',', std::size_t chunk = 1 << 16);

    // Reads the next record; false at the end of the input or on an error (error() then says
    // what went wrong). The views stay valid until the next call.
    bool next();

    const std::vector<std::string_view> &fields() const { return fields_; }
    std::string_view raw() const { return raw_; }  // the record as written, without its line end
    std::size_t line() const { return line_; }     // the line the record starts on, from 1
    const std::string &error() const { return error_; }

private:
    bool fill();
    bool scan(std::size_t &record_end, std::size_t &next_begin);

    int fd_;
    char sep_;
    std::vector<char> buf_;
    std::size_t chunk_;
    std::size_t begin_ = 0, end_ = 0;
    bool eof_ = false;
    bool started_ = false;
    std::size_t line_ = 0, next_line_ = 1;
    std::string error_;
    // The scan of the current record, resumed when more input comes.
    enum class State { FieldStart, Unquoted, Quoted, AfterQuote } state_ = State::FieldStart;
    std::size_t pos_ = 0, field_start_ = 0, quoted_start_ = 0, newlines_ = 0;
    std::string unquoted_;  // contents of quoted fields
    struct Span {
        bool unquoted;
        std::size_t offset, length;
    };
    std::vector<Span> spans_;
    std::vector<std::string_view> fields_;
    std::string_view raw_;
};

// Appends a field, in double quotes when it holds the separator, a quote or a line end.
void append_field(std::string &line, std::string_view field, char sep);

// s without the blanks and tabs around it.
inline std::string_view trim_blanks(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// At most about 40 characters of s, for a message.
std::string excerpt(std::string_view s);

}  // namespace qvcli
