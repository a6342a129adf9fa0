// What the header and the assignments make of a table job: the names, the compiled expressions,
// the cells each row must read, and the columns written.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "program.hpp"
#include "table.hpp"
#include "tallies.hpp"

namespace qvcli {

// An output column: a column of the input, or a computed one.
struct OutColumn {
    bool computed;
    std::size_t index;
};

struct TablePlan {
    bool summary = false;
    std::vector<std::string> header;
    std::vector<std::size_t> by;
    Scope scope;
    std::vector<std::string> names;   // of the computed columns
    std::vector<std::string> labels;  // of the assignments, for messages: "expression 2"
    std::vector<Compiled> compiled;
    std::vector<std::size_t> num_cols, chr_cols;    // cells read on every row, as numbers or as text
    std::vector<std::size_t> group_num, group_chr;  // in a summary, --by cells read for each group
    std::vector<OutColumn> out_cols;
    std::vector<std::string> out_names;
    bool fast = false;  // every input column goes out in place: a record can be copied as it came
};

// Builds the plan from the fields of the first record; false once the error is reported.
bool make_plan(const TableJob &job, qvh_package *pkg, const std::vector<std::string_view> &first, TablePlan &plan,
               Reporter &report);

// Reads the cells of the listed columns into vars: numbers (an unreadable one stops the job
// unless --lenient reads it as . with a note) and character values (--na tokens read as empty).
bool read_cells(const TableJob &job, const std::vector<std::string_view> &fields, std::size_t line,
                const std::vector<std::size_t> &num_cols, const std::vector<std::size_t> &chr_cols,
                const std::vector<std::string> &header, std::vector<Value> &vars, Tallies &tallies, Reporter &report);

}  // namespace qvcli
