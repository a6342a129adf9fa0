// The command line's options: one table gives each option's name, argument and help line, and
// drives both the parser and the usage text.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "table.hpp"

namespace qvcli {

struct Options {
    std::string lib, csv, out;
    bool list = false, version = false, help = false;
    std::string help_name;
    bool strict = false, progress = false;
    TableJob job;
    bool table_option = false;  // an option that only a table takes was given
    std::string table_option_name;
    std::vector<std::string> rest;  // the arguments that are no options
    // Where the assignments of a table come from, in order: an argument, or a file (-f).
    struct Source {
        bool file;
        std::string text;  // the argument, or the file's path
    };
    std::vector<Source> sources;
};

// Returns -1 when the options are fine, else the exit status (2, with the message written).
int parse_options(int argc, char **argv, Options &o);

// The usage text, its options listed from the table.
void usage(std::FILE *to);

// The table's NAME=EXPRESSION list from the arguments ("expression 2": the second argument) and
// the lines of -f files ("line 4 of defs.txt"; blank lines and # comments are skipped). False
// with a message when a file cannot be read.
bool gather_assignments(const Options &o, TableJob &job, std::string &error);

}  // namespace qvcli
