#include "help.hpp"

#include <cstdio>
#include <ctime>

#include "names.hpp"
#include "qvfnc.h"

namespace qvcli {

namespace {

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

}  // namespace

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
        std::printf("  source:    %s\n", *f->source ? f->source : "- (not in this package)");
        print_reference(f->reference);
        return 0;
    }
    if (const OwnOperator *op = find_own_operator(name); op != nullptr) {
        std::printf("%s\n  %s\n\n  an operator of the command line, evaluated by qvfnc itself\n", op->usage, op->summary);
        print_reference(op->reference);
        return 0;
    }
    const std::string hint = suggest_function(name);
    std::fprintf(stderr, "qvfnc: --help: no function or operator %s%s\n", name.c_str(),
                 hint.empty() ? "" : (" (did you mean " + hint + "?)").c_str());
    return 2;
}

void list_functions(qvh_package *pkg) {
    std::printf("Functions of the package:\n");
    for (std::size_t i = 0; i < qvh_function_count(); ++i) {
        const qvh_info *f = qvh_function_at(i);
        std::printf("  %-26s %s%s\n", f->usage, f->summary, qvh_package_has(pkg, f) ? "" : "  [not in this package]");
    }
    std::printf("\nOperators of the command line (evaluated by qvfnc itself):\n");
    for (const OwnOperator &op : own_operators()) std::printf("  %-26s %s\n", op.usage, op.summary);
}

void print_version(qvh_package *pkg) {
    std::printf("qvfnc %s\npackage  %s\n", QV_VERSION, qvh_package_path(pkg));
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

}  // namespace qvcli
