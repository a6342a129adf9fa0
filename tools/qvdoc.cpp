// qvdoc: writes the documents that are made from the function catalogue.
//   qvdoc markdown          the function reference (docs/functions.md)
//   qvdoc man TEMPLATE      the qvfnc manual page: TEMPLATE with @FUNCTIONS@ and @OPERATORS@ filled in
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue.hpp"
#include "names.hpp"
#include "qvhost.h"

namespace {

std::string anchor(std::string_view text) {
    std::string a;
    for (char c : text) {
        if (c == ' ') a.push_back('-');
        else if (std::isalnum(static_cast<unsigned char>(c))) a.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
    return a;
}

const char *feeding(const qvh_info &f) {
    switch (f.aggregate) {
        case QVH_AGG_FIXED: return "over rows with a fixed-size state";
        case QVH_AGG_VALUES: return "over rows, keeping the values (8 bytes each)";
        default: return nullptr;
    }
}

// The package's source file as a link from docs/, or a dash for a function the package lacks.
std::string source_link(const qvh_info &f) {
    if (*f.source == '\0') return "-";
    return std::string("[`") + f.source + "`](../" + f.source + ")";
}

std::string statuses(unsigned bits) {
    std::string out;
    const std::pair<unsigned, const char *> names[] = {{QVH_MAY_OK, "ok"},
                                                      {QVH_MAY_MISSING_ARG, "missing argument"},
                                                      {QVH_MAY_INVALID_ARG, "invalid argument"},
                                                      {QVH_MAY_NO_SCRATCH, "no scratch memory"}};
    for (const auto &[bit, name] : names) {
        if (!(bits & bit)) continue;
        if (!out.empty()) out += ", ";
        out += name;
    }
    return out.empty() ? "-" : out;
}

int markdown() {
    std::ostringstream o;
    o << "# Function reference\n\n"
         "Made from the function catalogue (`host/src/catalogue_*.inc`) by `qvdoc markdown`; edit the catalogue, "
         "not this file. The same catalogue gives `qvfnc --list` and `qvfnc --help NAME`, the manual page and the SQL "
         "registrations.\n\n"
         "Every function takes and returns doubles in the missing-value model: a double whose top 16 bits are all ones "
         "is a missing value, written `.`, `._` or `.A` to `.Z`. A function reports through a status: *ok*, *missing "
         "argument* (the result is missing because an argument was), *invalid argument* (an argument was out of its "
         "domain; list-form functions may mark the arguments they rejected), or *no scratch memory*. The result is "
         "written on every path; a failing call gives `.`.\n\n"
         "A statistic marked *over rows* can also be fed one value at a time (`qvh_agg_*` in the host library, "
         "`--by` in qvfnc, aggregates and window functions in SQL); its result is bit for bit that of one call over "
         "the values in the order they came.\n\n";
    o << "## Contents\n\n"
         "Each function with the package's source file that defines it.\n\n"
         "| Function | Family | What it gives | Source |\n|---|---|---|---|\n";
    for (const std::string fam : qvhost::families()) {
        for (std::size_t i = 0; i < qvh_function_count(); ++i) {
            const qvh_info &f = *qvh_function_at(i);
            if (f.family != fam) continue;
            o << "| [" << f.name << "](#" << anchor(f.name) << ") | [" << fam << "](#" << anchor(fam) << ") | "
              << f.summary << " | " << source_link(f) << " |\n";
        }
    }
    o << "\nThe routines the functions rest on: [Exported routines](#exported-routines).\n\n";
    for (const std::string fam : qvhost::families()) {
        o << "## " << fam << "\n\n";
        for (std::size_t i = 0; i < qvh_function_count(); ++i) {
            const qvh_info &f = *qvh_function_at(i);
            if (f.family != fam) continue;
            o << "### " << f.name << "\n\n`" << f.usage << "`: " << f.summary << ".\n\n";
            if (*f.reference) o << f.reference << "\n\n";
            o << "Statuses: " << statuses(f.statuses) << (f.marks ? "; may mark arguments invalid" : "") << ".";
            if (const char *how = feeding(f)) o << " Aggregate " << how << ".";
            o << " Source: " << source_link(f) << ".\n\n";
        }
    }
    o << "## Exported routines\n\n"
         "The package also exports the routines its functions rest on. Programs reach them with `qvh_symbol` (the "
         "package's names never enter the program's own namespace that way) or by linking `qvewumth::qvewumth`.\n\n";
    for (std::size_t i = 0; i < qvh_routine_count(); ++i) {
        const qvh_routine_info &r = *qvh_routine_at(i);
        o << "### " << r.name << "\n\n`" << r.prototype << "`: " << r.summary << ".\n\n";
        if (*r.reference) o << r.reference << "\n\n";
    }
    std::string text = o.str();
    while (text.size() > 1 && text[text.size() - 1] == '\n' && text[text.size() - 2] == '\n') text.pop_back();
    std::fputs(text.c_str(), stdout);
    return 0;
}

// Text for roff: a leading dot or quote would start a request, backslashes escape.
std::string roff(std::string_view s) {
    std::string out;
    for (char c : s) {
        if (c == '\\') out += "\\e";
        else if (c == '-') out += "\\-";
        else out.push_back(c);
    }
    if (!out.empty() && (out[0] == '.' || out[0] == '\'')) out.insert(0, "\\&");
    return out;
}

int man(const char *template_path) {
    std::ifstream in(template_path);
    if (!in) {
        std::fprintf(stderr, "qvdoc: cannot read %s\n", template_path);
        return 1;
    }
    std::ostringstream list;
    for (std::size_t i = 0; i < qvh_function_count(); ++i) {
        const qvh_info &f = *qvh_function_at(i);
        list << ".TP\n.B " << roff(f.usage) << "\n" << roff(f.summary) << "\n";
    }
    std::ostringstream ops;
    for (const qvcli::OwnOperator &op : qvcli::own_operators())
        ops << ".TP\n.B " << roff(op.usage) << "\n" << roff(op.reference) << "\n";
    std::string line;
    while (std::getline(in, line))
        std::cout << (line == "@FUNCTIONS@" ? list.str() : line == "@OPERATORS@" ? ops.str() : line + "\n");
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    const std::string what = argc > 1 ? argv[1] : "";
    if (what == "markdown") return markdown();
    if (what == "man" && argc > 2) return man(argv[2]);
    std::fputs("usage: qvdoc markdown | qvdoc man TEMPLATE\n", stderr);
    return 2;
}
