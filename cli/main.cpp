// qvfnc: the host for people. Opens the function package through the host library, evaluates
// expressions given as arguments or one per line of standard input, adds computed columns to a
// delimited table, or sums a table up by groups.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <new>
#include <string>

#include "help.hpp"
#include "lines.hpp"
#include "options.hpp"
#include "program.hpp"

namespace {

int run_table(const qvcli::Options &o, qvh_package *pkg) {
    qvcli::TableJob job = o.job;
    std::string error;
    if (!qvcli::gather_assignments(o, job, error)) {
        std::fprintf(stderr, "qvfnc: %s\n", error.c_str());
        return 1;
    }
    if (job.assignments.empty()) {
        std::fprintf(stderr, "qvfnc: --csv needs at least one NAME=EXPRESSION (see qvfnc --help)\n");
        return 2;
    }
    job.progress = o.progress && isatty(STDERR_FILENO);
    return qvcli::run_table_file(job, pkg, o.csv, o.out, o.strict, stderr);
}

int run_lines(const qvcli::Options &o, qvh_package *pkg) {
    qvcli::LineRunner lines(pkg, o.job.format);
    bool all_ok = true;
    if (!o.rest.empty()) {
        for (std::size_t k = 0; k < o.rest.size(); ++k)
            all_ok = lines.run(o.rest[k], "expression " + std::to_string(k + 1), stdout, stderr) && all_ok;
    } else {
        std::string line;
        for (std::size_t k = 1; std::getline(std::cin, line); ++k) {
            all_ok = lines.run(line, "line " + std::to_string(k), stdout, stderr) && all_ok;
            std::fflush(stdout);
        }
    }
    if (std::fflush(stdout) != 0) {
        std::fprintf(stderr, "qvfnc: cannot write the output: %s\n", std::strerror(errno));
        return 1;
    }
    if (!all_ok) return 1;
    return o.strict && lines.noted() ? 3 : 0;
}

int run(int argc, char **argv) {
    qvcli::Options o;
    if (const int status = qvcli::parse_options(argc, argv, o); status >= 0) return status;
    if (o.help && o.help_name.empty()) {
        qvcli::usage(stdout);
        return 0;
    }
    if (o.help) return qvcli::help_entry(o.help_name);

    qvcli::Package package;
    std::string error;
    if (!package.open(o.lib, error)) {
        std::fprintf(stderr, "qvfnc: %s\n", error.c_str());
        return 2;
    }
    if (o.version) qvcli::print_version(package.get());
    if (o.list) qvcli::list_functions(package.get());
    if (o.version || o.list) return 0;
    return o.csv.empty() ? run_lines(o, package.get()) : run_table(o, package.get());
}

}  // namespace

int main(int argc, char **argv) {
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc &) {
        // Whatever was being written is given up on the way here (--out removes its temporary file).
        std::fputs("qvfnc: out of memory\n", stderr);
        return 1;
    }
}
