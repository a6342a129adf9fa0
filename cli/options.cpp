#include "options.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string_view>

#include "csv.hpp"
#include "lines.hpp"
#include "names.hpp"

namespace qvcli {

namespace {

int usage_error(const std::string &message) {
    std::fprintf(stderr, "qvfnc: %s (see qvfnc --help)\n", message.c_str());
    return 2;
}

constexpr int OK = -1;

// A separator: one character, or "tab" or "\t".
int separator(const char *option, const std::string &text, char &out) {
    if (text == "tab" || text == "\\t") {
        out = '\t';
        return OK;
    }
    if (text.size() != 1 || text[0] == '"' || text[0] == '\n' || text[0] == '\r')
        return usage_error(std::string(option) + " takes one character (or tab), not '" + text + "'");
    out = text[0];
    return OK;
}

std::vector<std::string> column_list(const std::string &text) {
    std::vector<std::string> out;
    std::size_t from = 0;
    for (;;) {
        const auto comma = text.find(',', from);
        const std::string_view item = trim_blanks(std::string_view(text).substr(from, comma - from));
        if (!item.empty()) out.emplace_back(item);
        if (comma == std::string::npos) return out;
        from = comma + 1;
    }
}

int digits(Options &o, const std::string &value) {
    char *end = nullptr;
    errno = 0;
    const long n = std::strtol(value.c_str(), &end, 10);
    if (value.empty() || *end != '\0' || errno != 0 || n < 1 || n > 17)
        return usage_error("--digits takes a number of significant digits from 1 to 17, not '" + value + "'");
    o.job.format.digits = static_cast<int>(n);
    return OK;
}

struct OptionRow {
    const char *name;   // "--sep"
    const char *alias;  // "-f", or null
    const char *arg;    // "CHAR"; "[NAME]" when it may be left out; null for a flag
    bool table;         // goes with --csv only
    const char *help;   // one line of the usage text
    int (*apply)(Options &o, const std::string &value);  // OK, or the exit status of an error
};

// clang-format off
const OptionRow OPTIONS[] = {
    {"--lib", nullptr, "PATH", false, "the package to open",
     [](Options &o, const std::string &v) { o.lib = v; return OK; }},
    {"--csv", nullptr, "FILE", false, "read a table (- for standard input)",
     [](Options &o, const std::string &v) { o.csv = v; return OK; }},
    {"--file", "-f", "FILE", true, "read NAME=EXPRESSION lines from FILE (# comments, blank lines)",
     [](Options &o, const std::string &v) { o.sources.push_back({true, v}); return OK; }},
    {"--out", nullptr, "FILE", true, "write the table to FILE, replacing it only once the whole table is written",
     [](Options &o, const std::string &v) { o.out = v; return OK; }},
    {"--sep", nullptr, "CHAR", true, "field separator of the input (default ,)",
     [](Options &o, const std::string &v) { return separator("--sep", v, o.job.sep); }},
    {"--tsv", nullptr, nullptr, true, "the same as --sep tab",
     [](Options &o, const std::string &) { o.job.sep = '\t'; return OK; }},
    {"--no-header", nullptr, nullptr, true, "the input has no header line: its columns are c1, c2, ...",
     [](Options &o, const std::string &) { o.job.header = false; return OK; }},
    {"--na", nullptr, "TOKEN", true, "read cells holding TOKEN as missing (repeatable)",
     [](Options &o, const std::string &v) { o.job.na.push_back(v); return OK; }},
    {"--lenient", nullptr, nullptr, true, "read unreadable cells as . and pad or cut ragged rows, with a note",
     [](Options &o, const std::string &) { o.job.lenient = true; return OK; }},
    {"--by", nullptr, "COL,...", true, "one output row per group of equal values in these columns",
     [](Options &o, const std::string &v) {
         o.job.by = column_list(v);
         return o.job.by.empty() ? usage_error("--by needs at least one column name") : OK;
     }},
    {"--summary", nullptr, nullptr, true, "one output row for the whole table (or per --by group)",
     [](Options &o, const std::string &) { o.job.summary = true; return OK; }},
    {"--digits", nullptr, "N", false, "write results with N significant digits (default: shortest exact form)", digits},
    {"--keep", nullptr, "COL,...", true, "write only these columns",
     [](Options &o, const std::string &v) { o.job.keep = column_list(v); return OK; }},
    {"--drop", nullptr, "COL,...", true, "write every column but these",
     [](Options &o, const std::string &v) { o.job.drop = column_list(v); return OK; }},
    {"--missing", nullptr, "TOKEN", false, "write TOKEN for every missing result (for example NA, or '')",
     [](Options &o, const std::string &v) {
         o.job.format.missing_set = true;
         o.job.format.missing_token = v;
         return OK;
     }},
    {"--ofs", nullptr, "CHAR", true, "field separator of the output (default: that of the input)",
     [](Options &o, const std::string &v) { return separator("--ofs", v, o.job.ofs); }},
    {"--strict", nullptr, nullptr, false, "exit with status 3 when any status other than OK or any note came up",
     [](Options &o, const std::string &) { o.strict = true; return OK; }},
    {"--progress", nullptr, nullptr, false, "show rows read and rows per second on a terminal",
     [](Options &o, const std::string &) { o.progress = true; return OK; }},
    {"--list", nullptr, nullptr, false, "list the package's functions and the command line's operators",
     [](Options &o, const std::string &) { o.list = true; return OK; }},
    {"--help", "-h", "[NAME]", false, "show this text, or a function's or an operator's reference",
     [](Options &o, const std::string &v) { o.help = true, o.help_name = v; return OK; }},
    {"--version", nullptr, nullptr, false, "show the package's build identification",
     [](Options &o, const std::string &) { o.version = true; return OK; }},
};
// clang-format on

const OptionRow *find_option(std::string_view name) {
    for (const OptionRow &opt : OPTIONS)
        if (name == opt.name || (opt.alias != nullptr && name == opt.alias)) return &opt;
    return nullptr;
}

// An argument that is an option: --name, --name=value, or a short alias.
bool is_option(const std::string &a) {
    return (a.size() >= 3 && a.compare(0, 2, "--") == 0) || (a.size() == 2 && a[0] == '-' && find_option(a) != nullptr);
}

}  // namespace

int parse_options(int argc, char **argv, Options &o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i], value;
        if (a == "--") {
            for (int k = i + 1; k < argc; ++k) o.rest.push_back(argv[k]), o.sources.push_back({false, argv[k]});
            break;
        }
        if (!is_option(a)) {
            o.rest.push_back(a);
            o.sources.push_back({false, a});
            continue;
        }
        const auto eq = a.find('=');
        const bool has_value = eq != std::string::npos;
        if (has_value) value = a.substr(eq + 1), a.resize(eq);
        const OptionRow *opt = find_option(a);
        if (opt == nullptr) return usage_error("unknown option " + a);
        const bool optional = opt->arg != nullptr && opt->arg[0] == '[';
        if (opt->arg == nullptr && has_value) return usage_error(a + " takes no value");
        if (opt->arg != nullptr && !optional && !has_value) {
            if (i + 1 >= argc) return usage_error(a + " needs a value");
            value = argv[++i];
        }
        // An optional value follows unless it looks like an option; an operator may: --help -
        if (optional && !has_value && i + 1 < argc && (argv[i + 1][0] != '-' || find_own_operator(argv[i + 1]) != nullptr))
            value = argv[++i];
        if (opt->table && !o.table_option) o.table_option = true, o.table_option_name = a;
        if (const int status = opt->apply(o, value); status != OK) return status;
    }
    if (o.help || o.list || o.version) return OK;
    if (o.csv.empty() && o.table_option) return usage_error(o.table_option_name + " goes with --csv");
    if (!o.csv.empty() && o.sources.empty()) return usage_error("--csv needs at least one NAME=EXPRESSION");
    return OK;
}

void usage(std::FILE *to) {
    std::fputs(
        "usage: qvfnc [OPTIONS] EXPRESSION ...\n"
        "       qvfnc [OPTIONS]                     (one expression per line of standard input)\n"
        "       qvfnc [OPTIONS] --csv FILE [--out FILE] NAME=EXPRESSION ... | -f FILE\n"
        "       qvfnc [OPTIONS] --csv FILE --by COL[,COL...] | --summary NAME=EXPRESSION ...\n"
        "       qvfnc --list | --help [NAME] | --version\n"
        "\n"
        "Evaluates expressions through the function package (by default the libqvewumth.so next to\n"
        "this program; QV_LIB or --lib name another) and prints each result.\n"
        "\n"
        "Expressions: calls of the package's functions, possibly nested, over numbers (1, -2.5, 6.02e23,\n"
        "inf), missing values (., ._, .A to .Z) and character values in single quotes ('it''s'); the\n"
        "operators + - * / ** = ^= < <= > >= (also == !=), and, or, not, parentheses, and IFN(condition,\n"
        "then, else). Function names may be written in any case. A result that is not OK carries its\n"
        "status in parentheses. In line mode '#' starts a comment and an error does not stop the\n"
        "following lines.\n"
        "\n"
        "Tables (--csv FILE, - for standard input): every NAME=EXPRESSION is evaluated once per row, the\n"
        "columns being its variables (write \"a column\" in double quotes when its name is not a plain\n"
        "word); the table goes out with the new columns. With --by or --summary there is one row per group\n"
        "instead, and a statistic such as MEAN(t12) or PCTL(90, t18 - t06) takes its argument's values\n"
        "over the group's rows. An empty cell, '.', '._', '.A' to '.Z' and nan are missing values.\n"
        "\n"
        "options:\n",
        to);
    for (const OptionRow &opt : OPTIONS) {
        std::string left = opt.alias != nullptr ? std::string(opt.alias) + ", " + opt.name : opt.name;
        if (opt.arg != nullptr) left += std::string(" ") + opt.arg;
        std::fprintf(to, "  %-18s %s\n", left.c_str(), opt.help);
    }
    std::fputs(
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

bool gather_assignments(const Options &o, TableJob &job, std::string &error) {
    std::size_t arguments = 0;
    for (const Options::Source &s : o.sources) {
        if (!s.file) {
            job.assignments.push_back(s.text);
            job.labels.push_back("expression " + std::to_string(++arguments));
            continue;
        }
        std::ifstream in(s.text, std::ios::binary);
        if (!in) {
            error = "cannot read " + s.text + ": " + std::strerror(errno);
            return false;
        }
        std::string line;
        for (std::size_t n = 1; std::getline(in, line); ++n) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            const std::string_view text = trim_blanks(strip_comment(line));
            if (text.empty()) continue;
            job.assignments.emplace_back(text);
            job.labels.push_back("line " + std::to_string(n) + " of " + s.text);
        }
        if (in.bad()) {
            error = "cannot read " + s.text + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

}  // namespace qvcli
