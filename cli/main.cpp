// qvfnc: the host for people. Opens the function package through the host library, evaluates
// expressions given as arguments or one per line of standard input, adds computed columns to a
// delimited table, or sums a table up by groups.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <new>
#include <string>
#include <vector>

#include "csv.hpp"
#include "lines.hpp"
#include "names.hpp"
#include "output.hpp"
#include "program.hpp"
#include "qvfnc.h"
#include "table.hpp"

namespace {

constexpr const char *HOST_VERSION = "1.1";

void usage(std::FILE *to) {
    std::fputs(
        "usage: qvfnc [OPTIONS] EXPRESSION ...\n"
        "       qvfnc [OPTIONS]                     (one expression per line of standard input)\n"
        "       qvfnc [OPTIONS] --csv FILE [--out FILE] NAME=EXPRESSION ...\n"
        "       qvfnc [OPTIONS] --csv FILE --by COL[,COL...] | --summary NAME=EXPRESSION ...\n"
        "       qvfnc --list | --help [NAME] | --version\n"
        "\n"
        "Evaluates expressions through the function package (by default the libqvewumth.so next to\n"
        "this program; QV_LIB or --lib name another) and prints each result.\n"
        "\n"
        "Expressions: calls of the package's functions, possibly nested, over numbers (1, -2.5, 6.02e23),\n"
        "missing values (., ._, .A to .Z) and character values in single quotes ('it''s'); the operators\n"
        "+ - * / ** = ^= < <= > >= (also == !=), and, or, not, parentheses, and IFN(condition, then,\n"
        "else). Function names may be written in any case. A result that is not OK carries its status in\n"
        "parentheses. In line mode '#' starts a comment and an error does not stop the following lines.\n"
        "\n"
        "Tables (--csv FILE, - for standard input): every NAME=EXPRESSION is evaluated once per row, the\n"
        "columns being its variables (write \"a column\" in double quotes when its name is not a plain\n"
        "word); the table goes out with the new columns. With --by or --summary there is one row per group\n"
        "instead, and a statistic such as MEAN(t12) or PCTL(90, t18 - t06) takes its argument's values\n"
        "over the group's rows. An empty cell, '.', '._', '.A' to '.Z' and nan are missing values.\n"
        "\n"
        "options:\n"
        "  --lib PATH         the package to open\n"
        "  --csv FILE         read a table\n"
        "  --out FILE         write the table to FILE, replacing it only once the whole table is written\n"
        "  --sep CHAR         field separator of the input (default ,); --tsv is --sep tab\n"
        "  --no-header        the input has no header line: its columns are c1, c2, ...\n"
        "  --na TOKEN         read cells holding TOKEN as missing (repeatable)\n"
        "  --lenient          read unreadable cells as . and pad or cut ragged rows, with a note\n"
        "  --by COL,...       one output row per group of equal values in these columns\n"
        "  --summary          one output row for the whole table (or per --by group)\n"
        "  --digits N         write results with N significant digits (default: shortest exact form)\n"
        "  --keep COL,...     write only these columns; --drop COL,... all but these\n"
        "  --missing TOKEN    write TOKEN for every missing result (for example NA, or '')\n"
        "  --ofs CHAR         field separator of the output (default: that of the input)\n"
        "  --strict           exit with status 3 when any status other than OK or any note came up\n"
        "  --progress         show rows read and rows per second on a terminal\n"
        "  --list             list the package's functions and the command line's operators\n"
        "  --help NAME        show a function's or an operator's reference\n"
        "  --version          show the package's build identification\n"
        "\n"
        "examples:\n"
        "  qvfnc 'ATAN2(1, 2)' 'ROUND(MEAN(1.1, 2.2, 3.3), 0.1)' '2 ** 10 - 1'\n"
        "  echo \"COALESCEC('', 'x')\" | qvfnc\n"
        "  qvfnc --csv examples/weather.csv 'mean=MEAN(t06, t12, t18)' 'f=t12 * 1.8 + 32'\n"
        "  qvfnc --csv examples/weather.csv --by station 'n=N(t12)' 'med=MEDIAN(t12)' 'p90=PCTL(90, t12)'\n"
        "\n"
        "exit status: 0 success, 1 an expression or the table had an error, 2 bad usage or no package,\n"
        "3 --strict and a status other than OK or a note\n",
        to);
}

struct Options {
    std::string lib, csv, out;
    bool list = false, version = false, help = false;
    std::string help_name;
    bool strict = false, progress = false;
    qvcli::TableJob job;
    bool table_option = false;  // an option that only a table takes was given
    std::string table_option_name;
    std::vector<std::string> rest;
};

int usage_error(const std::string &message) {
    std::fprintf(stderr, "qvfnc: %s (see qvfnc --help)\n", message.c_str());
    return 2;
}

// A separator: one character, or "tab" or "\t".
bool separator(const std::string &text, char &out) {
    if (text == "tab" || text == "\\t") {
        out = '\t';
        return true;
    }
    if (text.size() != 1 || text[0] == '"' || text[0] == '\n' || text[0] == '\r') return false;
    out = text[0];
    return true;
}

std::vector<std::string> column_list(const std::string &text) {
    std::vector<std::string> out;
    std::size_t from = 0;
    for (;;) {
        const auto comma = text.find(',', from);
        const std::string_view item = qvcli::trim_blanks(std::string_view(text).substr(from, comma - from));
        if (!item.empty()) out.emplace_back(item);
        if (comma == std::string::npos) return out;
        from = comma + 1;
    }
}

// Returns -1 when the options are fine, else the exit status.
int parse_options(int argc, char **argv, Options &o) {
    static const char *const WITH_VALUE[] = {"--lib", "--csv", "--out", "--sep", "--ofs", "--na", "--by",
                                             "--digits", "--keep", "--drop", "--missing"};
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i], value;
        if (a == "--") {
            o.rest.insert(o.rest.end(), argv + i + 1, argv + argc);
            break;
        }
        if (a.size() < 3 || a.compare(0, 2, "--") != 0) {
            if (a == "-h") a = "--help";
            else {
                o.rest.push_back(a);
                continue;
            }
        }
        bool has_value = false;
        if (const auto eq = a.find('='); eq != std::string::npos) {
            value = a.substr(eq + 1);
            a.resize(eq);
            has_value = true;
        }
        const bool wants = std::find(std::begin(WITH_VALUE), std::end(WITH_VALUE), a) != std::end(WITH_VALUE);
        if (wants && !has_value) {
            if (i + 1 >= argc) return usage_error(a + " needs a value");
            value = argv[++i];
        } else if (!wants && has_value && a != "--help") {
            return usage_error(a + " takes no value");
        }
        auto table_only = [&] {
            if (!o.table_option) o.table_option_name = a;
            o.table_option = true;
        };
        if (a == "--lib") o.lib = value;
        else if (a == "--csv") o.csv = value;
        else if (a == "--out") o.out = value, table_only();
        else if (a == "--sep" || a == "--ofs") {
            char c = 0;
            if (!separator(value, c)) return usage_error(a + " takes one character (or tab), not '" + value + "'");
            (a == "--sep" ? o.job.sep : o.job.ofs) = c;
            table_only();
        } else if (a == "--tsv") o.job.sep = '\t', table_only();
        else if (a == "--no-header") o.job.header = false, table_only();
        else if (a == "--na") o.job.na.push_back(value), table_only();
        else if (a == "--lenient") o.job.lenient = true, table_only();
        else if (a == "--by") {
            o.job.by = column_list(value);
            if (o.job.by.empty()) return usage_error("--by needs at least one column name");
            table_only();
        } else if (a == "--summary") o.job.summary = true, table_only();
        else if (a == "--keep" || a == "--drop") {
            (a == "--keep" ? o.job.keep : o.job.drop) = column_list(value);
            table_only();
        } else if (a == "--digits") {
            char *end = nullptr;
            errno = 0;
            const long n = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || errno != 0 || n < 1 || n > 17)
                return usage_error("--digits takes a number of significant digits from 1 to 17, not '" + value + "'");
            o.job.format.digits = static_cast<int>(n);
        } else if (a == "--missing") {
            o.job.format.missing_set = true;
            o.job.format.missing_token = value;
        } else if (a == "--strict") o.strict = true;
        else if (a == "--progress") o.progress = true;
        else if (a == "--list") o.list = true;
        else if (a == "--version") o.version = true;
        else if (a == "--help") {
            o.help = true;
            if (has_value) o.help_name = value;
            // The name may be an operator that looks like an option: --help -
            else if (i + 1 < argc && (argv[i + 1][0] != '-' || qvcli::find_own_operator(argv[i + 1]) != nullptr))
                o.help_name = argv[++i];
        } else {
            return usage_error("unknown option " + a);
        }
    }
    if (o.help || o.list || o.version) return -1;
    if (o.csv.empty() && o.table_option) return usage_error(o.table_option_name + " goes with --csv");
    if (!o.csv.empty() && o.rest.empty()) return usage_error("--csv needs at least one NAME=EXPRESSION");
    return -1;
}

std::string statuses_text(unsigned bits) {
    std::string out;
    const std::pair<unsigned, const char *> names[] = {{QVH_MAY_OK, "ok"},
                                                      {QVH_MAY_MISSING_ARG, "missing argument"},
                                                      {QVH_MAY_INVALID_ARG, "invalid argument"},
                                                      {QVH_MAY_NO_SCRATCH, "no scratch memory"}};
    for (const auto &[bit, name] : names)
        if (bits & bit) out += (out.empty() ? "" : ", ") + std::string(name);
    return out.empty() ? "-" : out;
}

// Paragraphs of a reference text, indented.
void print_reference(const char *text) {
    if (text == nullptr || *text == '\0') return;
    std::printf("\n");
    std::string line = "  ";
    for (const char *p = text; *p != '\0'; ++p) {
        if (*p == '\n') {
            std::printf("%s\n", line.c_str());
            line = "  ";
        } else {
            line.push_back(*p);
        }
    }
    if (line.size() > 2) std::printf("%s\n", line.c_str());
}

int help_entry(const std::string &name) {
    if (const qvh_info *f = qvh_function_find(name.c_str()); f != nullptr) {
        std::printf("%s\n  %s\n\n  family:    %s\n  statuses:  %s%s\n", f->usage, f->summary, f->family,
                    statuses_text(f->statuses).c_str(), f->marks ? "; may mark arguments invalid" : "");
        if (f->aggregate == QVH_AGG_NONE)
            std::printf("  summaries: not a statistic over rows; with --by it works on each group's values\n");
        else
            std::printf("  summaries: with --by or --summary a statistic over each group's rows, %s\n",
                        f->aggregate == QVH_AGG_FIXED ? "with a state of fixed size"
                                                      : "keeping the values (8 bytes each)");
        if (f->leading_param) std::printf("  parameter: the first argument, the same for every row of a summary\n");
        print_reference(f->reference);
        return 0;
    }
    if (const qvcli::OwnOperator *op = qvcli::find_own_operator(name); op != nullptr) {
        std::printf("%s\n  %s\n\n  an operator of the command line, evaluated by qvfnc itself\n", op->usage, op->summary);
        print_reference(op->reference);
        return 0;
    }
    const std::string hint = qvcli::suggest_function(name);
    std::fprintf(stderr, "qvfnc: --help: no function or operator %s%s\n", name.c_str(),
                 hint.empty() ? "" : (" (did you mean " + hint + "?)").c_str());
    return 2;
}

void list_functions(qvh_package *pkg) {
    std::printf("Functions of the package:\n");
    for (std::size_t i = 0; i < qvh_function_count(); ++i) {
        const qvh_info *f = qvh_function_at(i);
        qvh_call *call = nullptr;
        const bool present = qvh_call_new(pkg, f->name, &call) == QVH_OK;
        qvh_call_free(call);
        std::printf("  %-26s %s%s\n", f->usage, f->summary, present ? "" : "  [not in this package]");
    }
    std::printf("\nOperators of the command line (evaluated by qvfnc itself):\n");
    for (const qvcli::OwnOperator &op : qvcli::own_operators()) std::printf("  %-26s %s\n", op.usage, op.summary);
}

void print_version(qvh_package *pkg) {
    std::printf("qvfnc %s\npackage  %s\n", HOST_VERSION, qvh_package_path(pkg));
    auto vercon = reinterpret_cast<void (*)(BuildInfo *)>(qvh_symbol(pkg, "qvvercn1"));
    if (vercon == nullptr) {
        std::printf("         (the package carries no build identification record)\n");
        return;
    }
    BuildInfo info{};
    vercon(&info);
    auto text = [](const char *s) { return s != nullptr && *s != '\0' ? s : "-"; };
    char when[64] = "-";
    const std::time_t t = static_cast<std::time_t>(info.utime);
    if (std::tm tm{}; info.utime > 0 && gmtime_r(&t, &tm) != nullptr) std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S UTC", &tm);
    std::printf("product  %s %s\nmodule   %s (%s)\nbuilt    %s on %s\ntracks   %s\nroot     %s\n", text(info.prodName),
                text(info.productVersion), text(info.name), text(info.dvd), when, text(info.box), text(info.track),
                text(info.build));
}

int run_table(const Options &o, qvh_package *pkg) {
    std::FILE *in = o.csv == "-" ? stdin : std::fopen(o.csv.c_str(), "rb");
    if (in == nullptr) {
        std::fprintf(stderr, "qvfnc: cannot read %s: %s\n", o.csv.c_str(), std::strerror(errno));
        return 1;
    }
    qvcli::Output output;
    std::string error;
    if (!output.open(o.out, error)) {
        std::fprintf(stderr, "qvfnc: %s\n", error.c_str());
        if (in != stdin) std::fclose(in);
        return 1;
    }
    qvcli::TableJob job = o.job;
    job.assignments = o.rest;
    job.input_name = o.csv == "-" ? "standard input" : o.csv;
    job.progress = o.progress && isatty(STDERR_FILENO);
    const qvcli::TableOutcome outcome = qvcli::run_table(job, pkg, in, output.file(), stderr);
    if (in != stdin) std::fclose(in);
    if (outcome.status != 0) {
        output.abandon();
        return 1;
    }
    if (!output.commit(error)) {
        std::fprintf(stderr, "qvfnc: %s\n", error.c_str());
        return 1;
    }
    return o.strict && outcome.notes ? 3 : 0;
}

int run(int argc, char **argv) {
    Options o;
    if (const int status = parse_options(argc, argv, o); status >= 0) return status;
    if (o.help && o.help_name.empty()) {
        usage(stdout);
        return 0;
    }
    if (o.help) return help_entry(o.help_name);

    qvcli::Package package;
    std::string error;
    if (!package.open(o.lib, error)) {
        std::fprintf(stderr, "qvfnc: %s\n", error.c_str());
        return 2;
    }
    if (o.version) print_version(package.get());
    if (o.list) list_functions(package.get());
    if (o.version || o.list) return 0;
    if (!o.csv.empty()) return run_table(o, package.get());

    qvcli::LineRunner lines(package.get(), o.job.format);
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
