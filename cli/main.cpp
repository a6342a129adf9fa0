// qvfnc: the host for people. Loads the function package, evaluates expressions given as
// arguments or one per line of standard input, or adds computed columns to a CSV table.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <string>
#include <vector>

#include "csv.hpp"
#include "loader.hpp"
#include "program.hpp"

namespace {

constexpr const char *HOST_VERSION = "1.0";

void usage(std::FILE *to) {
    std::fputs(
        "usage: qvfnc [--lib PATH] EXPRESSION ...\n"
        "       qvfnc [--lib PATH]                       (one expression per line of standard input)\n"
        "       qvfnc [--lib PATH] --csv FILE [--out FILE] NAME=EXPRESSION ...\n"
        "       qvfnc [--lib PATH] --list | --version | --help\n"
        "\n"
        "Evaluates expressions through the function package loaded from PATH (by default the\n"
        "libqvewumth.so next to this program; QV_LIB also names one) and prints each result.\n"
        "\n"
        "Expressions are calls, possibly nested, over numbers (1, -2.5, 6.02e23), missing values\n"
        "(., ._, .A to .Z) and character values in single quotes ('it''s'). Function names may be\n"
        "written in any case. A result that is not OK carries its status in parentheses. In line\n"
        "mode '#' starts a comment and an error does not stop the following lines.\n"
        "\n"
        "With --csv, every NAME=EXPRESSION is evaluated once per row of the table, the columns\n"
        "being its variables (write \"a column\" in double quotes when its name is not a plain\n"
        "word), and the table is written with the new columns to standard output or to --out.\n"
        "An empty cell, '.', '._' or '.A' to '.Z' is a missing value; FILE - reads standard input.\n"
        "\n"
        "examples:\n"
        "  qvfnc 'ATAN2(1, 2)'\n"
        "  qvfnc 'PCTL(25, 1, 2, ., 4)' 'ROUND(MEAN(1.1, 2.2, 3.3), 0.1)'\n"
        "  echo \"COALESCEC('', 'x')\" | qvfnc\n"
        "  qvfnc --csv examples/weather.csv 'mean=MEAN(t06, t12, t18)' 'p90=PCTL(90, t06, t12, t18)'\n"
        "  qvfnc --list\n"
        "\n"
        "exit status: 0 success, 1 an expression or the table had an error, 2 bad usage or no package\n",
        to);
}

// A line without its comment: '#' outside quotes starts one.
std::string strip_comment(const std::string &line) {
    char quote = 0;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quote != 0) {
            if (c == quote) quote = 0;
        } else if (c == '\'' || c == '"') {
            quote = c;
        } else if (c == '#') {
            return line.substr(0, i);
        }
    }
    return line;
}

class LineMode {
public:
    explicit LineMode(qvhost::Package &package)
        : lookup_([&package](std::string_view name) { return package.find(name); }) {}

    // Evaluates one expression; prints the result or a one-line error. Returns false on error.
    bool run(const std::string &line) {
        const std::string text = strip_comment(line);
        if (text.find_first_not_of(" \t\r\n") == std::string::npos) return true;
        const qvhost::ParseResult parsed = qvhost::parse_expression(text);
        qvhost::Error error;
        if (parsed.error) error = *parsed.error;
        qvhost::Program program;
        if (parsed.error || !program.compile(*parsed.node, lookup_, no_variables_, pool_.host(), error)) {
            std::fflush(stdout);
            std::fprintf(stderr, "qvfnc: %s\n", error.message.c_str());
            return false;
        }
        program.run();
        std::printf("%s\n", qvhost::describe_result(program).c_str());
        return true;
    }

private:
    qvhost::Lookup lookup_;
    const std::vector<std::string> no_variables_;
    qvhost::CountingPool pool_{"qvfnc call pool"};
};

void list_functions(const qvhost::Package &package) {
    for (std::size_t i = 0; i < qvh_function_count(); ++i) {
        const qvh_info *f = qvh_function_at(i);
        const FuncTableRow *row = package.find(f->name);
        const bool present = row != nullptr && row->entry.scalar != nullptr;
        std::printf("%-28s %s%s\n", f->usage, f->summary, present ? "" : "  [not in this package]");
    }
}

void print_version(const qvhost::Package &package) {
    std::printf("qvfnc %s\npackage  %s\n", HOST_VERSION, package.path().c_str());
    auto vercon = package.fn<void (*)(BuildInfo *)>("qvvercn1");
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

bool need_value(int argc, char **argv, int i) {
    if (i + 1 < argc) return true;
    std::fprintf(stderr, "qvfnc: %s needs a value (see qvfnc --help)\n", argv[i]);
    return false;
}

}  // namespace

int main(int argc, char **argv) {
    std::string lib, csv, out;
    bool list = false, version = false;
    std::vector<std::string> rest;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            usage(stdout);
            return 0;
        }
        if (a == "--lib" || a == "--csv" || a == "--out") {
            if (!need_value(argc, argv, i)) return 2;
            (a == "--lib" ? lib : a == "--csv" ? csv : out) = argv[++i];
        } else if (a == "--list") {
            list = true;
        } else if (a == "--version") {
            version = true;
        } else if (a == "--") {
            rest.insert(rest.end(), argv + i + 1, argv + argc);
            break;
        } else if (a.size() > 2 && a.compare(0, 2, "--") == 0) {
            std::fprintf(stderr, "qvfnc: unknown option %s (see qvfnc --help)\n", a.c_str());
            return 2;
        } else {
            rest.push_back(a);
        }
    }
    if (!out.empty() && csv.empty()) {
        std::fputs("qvfnc: --out goes with --csv (see qvfnc --help)\n", stderr);
        return 2;
    }
    if (!csv.empty() && rest.empty()) {
        std::fputs("qvfnc: --csv needs at least one NAME=EXPRESSION (see qvfnc --help)\n", stderr);
        return 2;
    }

    qvhost::Package package(lib);
    if (!package.ok()) {
        std::fprintf(stderr, "qvfnc: %s\n", package.error().c_str());
        return 2;
    }
    if (version) print_version(package);
    if (list) list_functions(package);
    if (version || list) return 0;

    if (!csv.empty()) {
        std::FILE *in = csv == "-" ? stdin : std::fopen(csv.c_str(), "rb");
        if (in == nullptr) {
            std::fprintf(stderr, "qvfnc: cannot read %s: %s\n", csv.c_str(), std::strerror(errno));
            return 1;
        }
        std::FILE *to = out.empty() ? stdout : std::fopen(out.c_str(), "wb");
        if (to == nullptr) {
            std::fprintf(stderr, "qvfnc: cannot write %s: %s\n", out.c_str(), std::strerror(errno));
            return 1;
        }
        qvhost::CountingPool pool("qvfnc table pool");
        const qvhost::TableJob job{rest, csv == "-" ? "standard input" : csv};
        const int status = qvhost::run_table(job, [&](std::string_view name) { return package.find(name); },
                                             pool.host(), in, to, stderr);
        if (in != stdin) std::fclose(in);
        if (to != stdout && std::fclose(to) != 0) {
            std::fprintf(stderr, "qvfnc: cannot write %s\n", out.c_str());
            return 1;
        }
        return status;
    }

    LineMode lines(package);
    bool all_ok = true;
    if (!rest.empty()) {
        for (const std::string &e : rest) all_ok = lines.run(e) && all_ok;
    } else {
        std::string line;
        while (std::getline(std::cin, line)) {
            all_ok = lines.run(line) && all_ok;
            std::fflush(stdout);
        }
    }
    return all_ok ? 0 : 1;
}
