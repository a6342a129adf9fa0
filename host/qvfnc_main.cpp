// qvfnc: evaluates expressions through the function package, one per argument or one per line
// of standard input.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "expr.hpp"
#include "loader.hpp"

namespace {

void usage(std::FILE *to) {
    std::fputs(
        "usage: qvfnc [--lib PATH] [EXPRESSION ...]\n"
        "Evaluates each expression through the function package and prints its result;\n"
        "without expressions, reads one per line from standard input ('#' starts a comment).\n"
        "  qvfnc 'ATAN2(1, 2)'\n"
        "  qvfnc 'PCTL(25, 1, 2, ., 4)' 'ROUND(MEAN(1.1, 2.2, 3.3), 0.1)'\n"
        "  echo \"COALESCEC('', 'x')\" | qvfnc\n",
        to);
}

// Evaluates one line; prints the result or a one-line error. Returns false on error.
bool run_line(qvhost::Evaluator &eval, const std::string &line) {
    std::string text = line;
    if (const auto hash = text.find('#'); hash != std::string::npos) {
        // A '#' inside a quoted literal is text, not a comment.
        bool quoted = false;
        std::size_t cut = std::string::npos;
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '\'') quoted = !quoted;
            if (text[i] == '#' && !quoted) {
                cut = i;
                break;
            }
        }
        if (cut != std::string::npos) text.resize(cut);
    }
    if (text.find_first_not_of(" \t\r\n") == std::string::npos) return true;
    const qvhost::ParseResult parsed = qvhost::parse_expression(text);
    if (parsed.error) {
        std::fprintf(stderr, "qvfnc: %s\n", parsed.error->message.c_str());
        return false;
    }
    qvhost::Outcome out;
    qvhost::Error error;
    if (!eval.evaluate(*parsed.node, out, error)) {
        std::fprintf(stderr, "qvfnc: %s\n", error.message.c_str());
        return false;
    }
    std::printf("%s\n", qvhost::format_outcome(out).c_str());
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    std::string lib;
    std::vector<std::string> expressions;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            usage(stdout);
            return 0;
        }
        if (a == "--lib") {
            if (i + 1 >= argc) {
                std::fputs("qvfnc: --lib needs a path\n", stderr);
                return 2;
            }
            lib = argv[++i];
        } else {
            expressions.push_back(a);
        }
    }
    qvhost::Package package(lib);
    if (!package.ok()) {
        std::fprintf(stderr, "qvfnc: %s\n", package.error().c_str());
        return 2;
    }
    qvhost::Evaluator eval(package);
    bool all_ok = true;
    if (!expressions.empty()) {
        for (const std::string &e : expressions) all_ok = run_line(eval, e) && all_ok;
    } else {
        std::string line;
        while (std::getline(std::cin, line)) {
            all_ok = run_line(eval, line) && all_ok;
            std::fflush(stdout);
        }
    }
    return all_ok ? 0 : 1;
}
