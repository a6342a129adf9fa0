// Fuzz target: the command line's expressions, from text to results. The input is expression text,
// optionally followed by a zero byte and parameters:
//
//   text        the expression; when it holds two bytes 0x01, it is PREFIX 0x01 MIDDLE 0x01 SUFFIX
//               and the expression is PREFIX repeated k times, MIDDLE, SUFFIX repeated k times,
//               so that a few bytes reach the nesting, call and length limits
//   0x00        then, all optional:
//   2 bytes     k: the first byte (default 1), times 1024 when the second is 'L' (long runs are
//               slow, so they come seldom)
//   the rest    one byte per cell of the small table below, row by row: an index into CELLS
//
// The expression is parsed, compiled against a table of eight columns (one name twice, names
// that differ in case only, a computed number and a computed character value), run on its
// three rows and on the first again, and compiled as a summary too, its statistics fed from the
// rows and its result computed from theirs.
//
// Checked: no sanitizer report; a syntax error is one line at a position inside the text; a
// compile or run error is one line; every number literal reads back from its shortest form to
// the same bits; the first row run again gives the same bits and notes; and for up to eight
// calls whose arguments are all literals, the call compiled by itself gives the result, status
// and error of the same call made directly through the host library.
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "expr.hpp"
#include "program.hpp"
#include "qvhost.h"
#include "table.hpp"

namespace {

using qvfuzz::fail;

constexpr std::size_t ROWS = 3;
constexpr std::size_t SPOT_CHECKS = 8;

// The table: a column of the input is read as whichever kind is wanted; a computed one has its kind.
struct Column {
    const char *name;
    qvcli::Kind kind;
};
constexpr Column COLUMNS[] = {{"x", qvcli::Kind::Flexible},     {"y", qvcli::Kind::Flexible},
                              {"X", qvcli::Kind::Flexible},     {"n a", qvcli::Kind::Flexible},
                              {"dup", qvcli::Kind::Flexible},   {"dup", qvcli::Kind::Flexible},
                              {"z", qvcli::Kind::Num},          {"t", qvcli::Kind::Chr}};
constexpr std::size_t NCOLS = sizeof COLUMNS / sizeof COLUMNS[0];

const char *const CELLS[] = {"1",     "-0",      "2.5",     "",       ".",      ".A",     "._",   "inf",
                             "-inf",  "nan",     "1e308",   "5e-324", "abc",    " 7 ",    "-3",   "100",
                             "0.1",   "1e-300",  "-1.7976931348623157e308", "\xC3\xA9", "'q'", "2e5", ".Z", "50"};
constexpr std::size_t NCELLS = sizeof CELLS / sizeof CELLS[0];

qvh_package *package() {
    static qvcli::Package *p = [] {
        auto *pkg = new qvcli::Package;
        std::string error;
        if (!pkg->open("", error)) fail("%s", error.c_str());
        return pkg;
    }();
    return p->get();
}

void check_one_line(const std::string &message, const char *what, const std::string &text) {
    if (message.empty()) fail("%s: empty message for '%s'", what, text.c_str());
    if (message.find_first_of("\n\r") != std::string::npos)
        fail("%s: message of more than one line: '%s'", what, message.c_str());
}

// A run's outcome, copied before the next run overwrites the result.
struct Outcome {
    bool ok = false;
    qvcli::Kind kind = qvcli::Kind::Num;
    std::uint64_t bits = 0;
    std::string str;
    std::vector<qvcli::Note> notes;

    bool operator==(const Outcome &o) const {
        if (ok != o.ok || kind != o.kind || bits != o.bits || str != o.str || notes.size() != o.notes.size()) return false;
        for (std::size_t i = 0; i < notes.size(); ++i)
            if (notes[i].site != o.notes[i].site || notes[i].status != o.notes[i].status) return false;
        return true;
    }
};

Outcome run(qvcli::Program &p, const qvcli::Value *vars, const qvcli::Value *aggs, const std::string &text) {
    Outcome out;
    out.ok = p.run(vars, aggs);
    out.kind = p.kind();
    if (!out.ok) {
        check_one_line(p.error(), "run error", text);
        return out;
    }
    if (p.kind() == qvcli::Kind::Chr) out.str.assign(p.result().str, p.result().len);
    else out.bits = std::bit_cast<std::uint64_t>(p.result().num);
    out.notes = p.notes();
    p.describe_notes();
    return out;
}

// The value of every variable on one row, as the table job reads its cells.
std::vector<qvcli::Value> row_values(const std::vector<std::uint8_t> &cells, std::size_t row) {
    static const std::vector<std::string> na;
    std::vector<qvcli::Value> vars(NCOLS);
    for (std::size_t c = 0; c < NCOLS; ++c) {
        const std::size_t k = row * NCOLS + c;
        const char *cell = CELLS[(k < cells.size() ? cells[k] : k * 7 + 3) % NCELLS];
        qvcli::Value &v = vars[c];
        v.str = cell;
        v.len = std::strlen(cell);
        if (!qvcli::read_cell(cell, na, v.num)) v.num = qvh_dot();
    }
    return vars;
}

qvcli::Scope table_scope(bool summary) {
    qvcli::Scope scope;
    scope.summary = summary;
    for (std::size_t c = 0; c < NCOLS; ++c) {
        const bool computed = COLUMNS[c].kind != qvcli::Kind::Flexible;
        // In a summary, x is the --by column and the computed columns are results of the summary.
        scope.add({COLUMNS[c].name, COLUMNS[c].kind, !(summary && computed), summary && (c == 0 || computed),
                   computed ? 0 : c + 1});
    }
    return scope;
}

// The call at node i by itself, as an expression of its own.
qvcli::Expr lone_call(const qvcli::Expr &e, std::uint32_t i) {
    qvcli::Expr sub;
    sub.source = e.source;
    const std::uint32_t base = e.nodes[i].start;
    for (std::uint32_t j = base; j <= i; ++j) {
        qvcli::Node n = e.nodes[j];
        n.start -= base;
        const std::uint32_t first = n.first_kid;
        n.first_kid = static_cast<std::uint32_t>(sub.kids.size());
        for (std::uint32_t k = 0; k < n.nkids; ++k) sub.kids.push_back(e.kids[first + k] - base);
        if (n.type != qvcli::NodeType::Number) {
            sub.texts.push_back(e.texts[n.text]);
            n.text = static_cast<std::uint32_t>(sub.texts.size() - 1);
        }
        sub.nodes.push_back(n);
    }
    return sub;
}

// The call at node i, whose arguments are all literals, compiled by itself and made directly.
void spot_check(const qvcli::Expr &e, std::uint32_t i, const std::string &text) {
    const qvcli::Node &n = e.nodes[i];
    const std::string &name = e.text_of(n);
    const qvcli::Expr sub = lone_call(e, i);
    qvcli::Scope none;
    none.line_mode = true;
    qvcli::Compiled compiled;
    std::string error;
    const bool compiled_ok = qvcli::compile(sub, none, package(), "spot check", compiled, error);
    if (!compiled_ok) check_one_line(error, "compile error", text);

    qvh_call *call = nullptr;
    int rc = qvh_call_new(package(), name.c_str(), &call);
    for (std::uint32_t k = 0; rc == QVH_OK && k < n.nkids; ++k) {
        const qvcli::Node &arg = e.nodes[e.kid(n, k)];
        rc = arg.type == qvcli::NodeType::Number ? qvh_call_add_num(call, arg.num)
                                                 : qvh_call_add_str(call, e.text_of(arg).data(), e.text_of(arg).size());
    }
    if (rc == QVH_OK) rc = qvh_call_invoke(call);
    if (compiled_ok != (rc == QVH_OK)) {
        const std::string host = rc == QVH_OK ? "ok" : qvh_errmsg();
        qvh_call_free(call);
        fail("%s in '%s': the command line says '%s', the host library '%s'", name.c_str(), text.c_str(),
             compiled_ok ? "ok" : error.c_str(), host.c_str());
    }
    if (compiled_ok) {
        const Outcome got = run(compiled.program, nullptr, nullptr, text);
        if (!got.ok) fail("%s in '%s': compiled, then failed: %s", name.c_str(), text.c_str(), compiled.program.error().c_str());
        const std::int32_t status = qvh_call_status(call);
        const bool noted = !got.notes.empty();
        if (noted != (status != QVH_STATUS_OK) || (noted && (got.notes.size() != 1 || got.notes[0].status != status)))
            fail("%s in '%s': notes differ from the status %s", name.c_str(), text.c_str(), qvh_status_name(status));
        if (got.kind == qvcli::Kind::Chr) {
            std::size_t len = 0;
            const char *s = qvh_call_result_str(call, &len);
            if (got.str != std::string_view(s != nullptr ? s : "", len))
                fail("%s in '%s': '%s' here, '%.*s' directly", name.c_str(), text.c_str(), got.str.c_str(), static_cast<int>(len), s);
        } else {
            const std::uint64_t direct = std::bit_cast<std::uint64_t>(qvh_call_result(call));
            if (got.bits != direct)
                fail("%s in '%s': 0x%016llX here, 0x%016llX directly", name.c_str(), text.c_str(),
                     static_cast<unsigned long long>(got.bits), static_cast<unsigned long long>(direct));
        }
    }
    qvh_call_free(call);
}

// The statistics of a summary fed from the rows, then the expression over their results.
void summary(const qvcli::Expr &e, const std::vector<std::vector<qvcli::Value>> &rows, const std::string &text) {
    const qvcli::Scope scope = table_scope(true);
    qvcli::Compiled c;
    std::string error;
    if (!qvcli::compile(e, scope, package(), "expression 1", c, error)) {
        check_one_line(error, "summary compile error", text);
        return;
    }
    std::vector<qvcli::Value> results;
    for (qvcli::Aggregate &a : c.aggregates) {
        qvh_call *call = nullptr;
        if (qvh_call_new(package(), a.info->name, &call) != QVH_OK) fail("%s: %s", a.info->name, qvh_errmsg());
        if (a.has_param) qvh_call_add_num(call, a.param);
        for (const std::vector<qvcli::Value> &vars : rows)
            for (qvcli::Program &p : a.args) {
                const Outcome got = run(p, vars.data(), nullptr, text);
                if (got.ok) qvh_call_add_num(call, std::bit_cast<double>(got.bits));
            }
        qvcli::Value v;
        v.num = qvh_call_invoke(call) == QVH_OK ? qvh_call_result(call) : qvh_dot();
        results.push_back(v);
        qvh_call_free(call);
    }
    run(c.program, rows[0].data(), results.data(), text);
}

void check_number(double x, const std::string &text) {
    char buf[QVH_FORMAT_MAX];
    const std::size_t n = qvh_format(x, buf, sizeof buf);
    double back = 0.0;
    if (qvh_parse_number(buf, n, &back) != 1 || std::bit_cast<std::uint64_t>(back) != std::bit_cast<std::uint64_t>(x))
        fail("the number 0x%016llX of '%s' is written '%s', which does not read back",
             static_cast<unsigned long long>(std::bit_cast<std::uint64_t>(x)), text.c_str(), buf);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    package();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char *>(data), size);
    const std::size_t zero = input.find('\0');
    const std::string_view written = input.substr(0, zero);
    std::vector<std::uint8_t> params;
    if (zero != std::string_view::npos) params.assign(data + zero + 1, data + size);
    const std::size_t k = params.empty() ? 1 : params[0] * (params.size() >= 2 && params[1] == 'L' ? 1024 : 1);
    const std::vector<std::uint8_t> cells(params.size() > 2 ? params.begin() + 2 : params.end(), params.end());

    std::string text;
    const std::size_t m1 = written.find('\x01'), m2 = m1 == std::string_view::npos ? m1 : written.find('\x01', m1 + 1);
    if (m2 != std::string_view::npos) {
        const std::string_view prefix = written.substr(0, m1), middle = written.substr(m1 + 1, m2 - m1 - 1),
                               suffix = written.substr(m2 + 1);
        // Beyond the longest expression by a little at most: the length check needs no more.
        const std::size_t cap = qvcli::MAX_EXPRESSION + 64;
        for (std::size_t i = 0; i < k && text.size() < cap; ++i) text += prefix;
        text += middle;
        for (std::size_t i = 0; i < k && text.size() < 2 * cap; ++i) text += suffix;
    } else {
        text = written;
    }

    qvcli::Expr e;
    qvcli::SyntaxError syntax;
    if (!qvcli::parse_expression(text, 0, e, syntax)) {
        if (syntax.pos > text.size())
            fail("syntax error at byte %zu of a text of %zu bytes: %s", syntax.pos, text.size(), syntax.message.c_str());
        check_one_line(syntax.message, "syntax error", text);
        qvcli::character_at(text, syntax.pos);
        return 0;
    }
    if (e.nodes.empty() || e.nodes[e.root()].start != 0) fail("'%s' parsed into a tree whose root does not span it", text.c_str());
    std::size_t spots = 0;
    for (std::uint32_t i = 0; i < e.nodes.size(); ++i) {
        const qvcli::Node &n = e.nodes[i];
        if (n.pos > text.size()) fail("node %u of '%s' at byte %u, past the text", i, text.c_str(), n.pos);
        if (n.type == qvcli::NodeType::Number) check_number(n.num, text);
        if (n.type != qvcli::NodeType::Call || spots >= SPOT_CHECKS || e.text_of(n) == "IFN") continue;
        bool literal = true;
        for (std::uint32_t a = 0; a < n.nkids && literal; ++a) {
            const qvcli::NodeType t = e.nodes[e.kid(n, a)].type;
            literal = t == qvcli::NodeType::Number || t == qvcli::NodeType::Text;
        }
        if (literal) spot_check(e, i, text), ++spots;
    }

    std::vector<std::vector<qvcli::Value>> rows;
    for (std::size_t r = 0; r < ROWS; ++r) rows.push_back(row_values(cells, r));
    const qvcli::Scope scope = table_scope(false);
    qvcli::Compiled c;
    std::string error;
    if (!qvcli::compile(e, scope, package(), "expression 1", c, error)) {
        check_one_line(error, "compile error", text);
    } else {
        const Outcome first = run(c.program, rows[0].data(), nullptr, text);
        for (std::size_t r = 1; r < ROWS; ++r) run(c.program, rows[r].data(), nullptr, text);
        if (!(run(c.program, rows[0].data(), nullptr, text) == first))
            fail("'%s' on the first row again gave another result or other notes", text.c_str());
    }
    summary(e, rows, text);
    return 0;
}
