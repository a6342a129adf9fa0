#include "lines.hpp"

#include "expr.hpp"
#include "program.hpp"

namespace qvcli {

std::string_view strip_comment(std::string_view line) {
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

bool LineRunner::run(std::string_view text, const std::string &label, std::FILE *out, std::FILE *err) {
    text = strip_comment(text);
    if (text.find_first_not_of(" \t\r\n") == std::string_view::npos) return true;
    auto error = [&](const std::string &message) {
        std::fflush(out);
        std::fprintf(err, "qvfnc: %s\n", message.c_str());
        return false;
    };
    Expr expr;
    SyntaxError syntax;
    if (!parse_expression(text, 0, expr, syntax))
        return error("syntax error at character " + std::to_string(character_at(text, syntax.pos)) + " of " + label + ": " +
                     syntax.message);
    Scope none;
    none.line_mode = true;
    Compiled compiled;
    std::string message;
    if (!compile(expr, none, pkg_, label, compiled, message)) return error(message);
    Program &p = compiled.program;
    if (!p.run(nullptr)) return error(label + ": " + p.error());
    std::string line;
    if (p.kind() == Kind::Chr) {
        line.push_back('\'');
        for (std::size_t i = 0; i < p.result().len; ++i) {
            const char c = p.result().str[i];
            line.push_back(c);
            if (c == '\'') line.push_back('\'');
        }
        line.push_back('\'');
    } else {
        append_number(line, p.result().num, format_);
    }
    line += p.describe_notes();
    noted_ = noted_ || !p.notes().empty();
    line.push_back('\n');
    std::fwrite(line.data(), 1, line.size(), out);
    return true;
}

}  // namespace qvcli
