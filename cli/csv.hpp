// Tables for qvfnc: a CSV reader that holds one record at a time, and the table job that adds
// computed columns to every row of a CSV file while streaming it.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "program.hpp"

namespace qvhost {

// Reads comma-separated records: fields in double quotes may hold commas, line ends and doubled
// quotes; records end in LF or CRLF; a UTF-8 byte-order mark before the first record is
// skipped. Memory holds the current record only, whatever the length of the input.
class CsvReader {
public:
    explicit CsvReader(std::FILE *in, std::size_t chunk = 1 << 16);

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

    std::FILE *in_;
    std::vector<char> buf_;
    std::size_t chunk_;
    std::size_t begin_ = 0, end_ = 0;
    bool eof_ = false;
    bool started_ = false;
    std::size_t line_ = 0, next_line_ = 1;
    std::string error_;
    std::string unquoted_;  // contents of quoted fields
    struct Span {
        bool unquoted;
        std::size_t offset, length;
    };
    std::vector<Span> spans_;
    std::vector<std::string_view> fields_;
    std::string_view raw_;
};

// Appends a field to a CSV line, in double quotes when it holds a comma, a quote or a line end.
void append_csv_field(std::string &line, std::string_view field);

struct TableJob {
    std::vector<std::string> assignments;  // "name=EXPRESSION", evaluated left to right
    std::string input_name;                // for messages
};

// Reads the table from in, evaluates every assignment once per row with the columns as
// variables (a later assignment may use an earlier one's column) and writes the table with the
// new columns to out. Errors go to err, one line each; notes about statuses other than OK are
// summed up on err at the end. Returns the exit status: 0 done, 1 an error stopped the job.
int run_table(const TableJob &job, const Lookup &lookup, HostPool *pool, std::FILE *in, std::FILE *out,
              std::FILE *err);

}  // namespace qvhost
