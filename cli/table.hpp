// The table jobs of qvfnc: new columns computed on every row of a delimited table while it
// streams through, or one row of statistics per group of rows (--by, --summary).
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "qvhost.h"

namespace qvcli {

// How results are written.
struct NumberFormat {
    int digits = 0;             // significant digits; 0: the shortest form that reads back exactly
    bool missing_set = false;   // write missing_token for every missing value
    std::string missing_token;
};
void append_number(std::string &out, double x, const NumberFormat &format);

// Reads a cell as a number: blanks around it are ignored; an empty cell, one of the na tokens and
// nan are ., a missing literal is itself, inf and -inf are numbers. False when it is none of these.
bool read_cell(std::string_view cell, const std::vector<std::string> &na, double &value);

struct TableJob {
    std::vector<std::string> assignments;  // "NAME=EXPRESSION", evaluated left to right
    std::vector<std::string> labels;       // what messages call each one; default "expression N"
    std::string input_name;                // for messages
    char sep = ',';
    char ofs = 0;                          // 0: the same as sep
    bool header = true;                    // else the columns are c1, c2, ... and no header is written
    std::vector<std::string> na;           // cells read as missing values
    bool lenient = false;                  // unreadable cells and ragged rows become missing cells
    std::vector<std::string> by;           // one row per group of these columns
    bool summary = false;                  // one row per group; one group when by is empty
    std::vector<std::string> keep, drop;   // output columns
    NumberFormat format;
    bool progress = false;                 // rows and rows per second on err while reading
    std::size_t chunk = 1 << 16;           // bytes read at a time; a longer record grows the buffer
};

struct TableOutcome {
    int status = 0;      // 0: the table is complete; 1: an error stopped the job
    bool notes = false;  // a status other than OK or a note was reported
};

// Reads the table from in and writes the result to out. Errors and, at the end, notes about
// statuses other than OK go to err, one line each.
TableOutcome run_table(const TableJob &job, qvh_package *pkg, std::FILE *in, std::FILE *out, std::FILE *err);

// The table command: reads the file csv ("-": standard input) and writes the table to the file
// out through a temporary file (empty: standard output), so that a job that stops leaves out as
// it was. Returns the exit status: 0, 1 after an error, 3 when strict and a note came up.
int run_table_file(TableJob job, qvh_package *pkg, const std::string &csv, const std::string &out, bool strict,
                   std::FILE *err);

}  // namespace qvcli
