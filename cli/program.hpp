// Compiled expressions. Every call of a package function is checked once against the catalogue
// and prepared once as a qvh_call whose constant arguments are set for good; a run sets the other
// arguments and invokes. The code is a flat list of instructions over a value stack, so running
// it is a loop whatever the nesting, and a run allocates nothing.
//
// In a summary (--by, --summary) the outermost statistics over columns become aggregates: their
// arguments compile to programs run on every row, and the expression itself to a program run once
// per group that reads the statistics' results.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "expr.hpp"
#include "qvhost.h"
#include "scope.hpp"

namespace qvcli {

// A value while an expression runs: a number, or a character value as UTF-8 bytes.
struct Value {
    double num = 0.0;
    const char *str = "";
    std::size_t len = 0;
};

// Statuses of the command line's own operators, beside the package's statuses.
constexpr std::int32_t NOTE_MISSING_OPERAND = 1;
constexpr std::int32_t NOTE_DIVISION_BY_ZERO = 2;
constexpr std::int32_t NOTE_INVALID_OPERATION = 3;
// "missing argument", "division by zero", "not a number", ...
const char *status_text(std::int32_t status);

// The package, opened privately through the host library.
class Package {
public:
    Package() = default;
    ~Package();
    Package(const Package &) = delete;
    Package &operator=(const Package &) = delete;
    // path empty: the default package. False with a one-line message.
    bool open(const std::string &path, std::string &error);
    qvh_package *get() const { return pkg_; }

private:
    qvh_package *pkg_ = nullptr;
};

// A status other than OK met by the last run: at a call of the package or at an operator.
struct Note {
    std::uint32_t site;
    std::int32_t status;
};

class Program {
public:
    Program();
    ~Program();
    Program(Program &&) noexcept;
    Program &operator=(Program &&) noexcept;

    // Runs with vars[i] the value of variable i and aggs[k] the result of statistic k. False when
    // a value cannot be passed to the package or the package ran out of memory (error() says
    // why); the notes are then partial.
    bool run(const Value *vars, const Value *aggs = nullptr);

    Kind kind() const { return kind_; }
    const Value &result() const { return result_; }
    const std::vector<Note> &notes() const { return notes_; }
    const std::string &error() const { return error_; }

    // What a note's site is called: "SUM", or an operator: "-".
    std::string site_name(std::uint32_t site) const;
    // ".  (invalid argument; argument 3 of SUM marked invalid; missing operand in -)": the notes of
    // the last run as the line mode shows them; empty without notes.
    std::string describe_notes() const;

    // uses()[i]: 1 when variable i is read as a number, 2 as a character value, 3 both.
    const std::vector<unsigned> &uses() const { return uses_; }

private:
    friend class Compiler;
    struct Impl;
    bool invoke(std::uint32_t site, const Value *vars, Value *&sp);
    void arithmetic(Op op, std::uint32_t site, double &a, double b);
    bool fail(std::string message);

    std::unique_ptr<Impl> impl_;
    Kind kind_ = Kind::Num;
    Value result_;
    std::vector<Note> notes_;
    std::string error_;
    std::vector<unsigned> uses_;
};

// A statistic over the rows of a group.
struct Aggregate {
    const qvh_info *info = nullptr;
    bool has_param = false;
    double param = 0.0;        // the percentile or rank, the same for every group
    std::string input_key;     // equal for statistics over the same argument values
    std::vector<Program> args; // the values it takes from each row, argument by argument
};

struct Compiled {
    Program program;
    std::vector<Aggregate> aggregates;  // in a summary
};

// The most calls of the package one expression makes: each holds a prepared argument list.
constexpr std::size_t MAX_CALLS = 50000;

// Checks and compiles an expression. label names it in messages ("expression 2", "line 7").
// Returns false with a one-line message.
bool compile(const Expr &expr, const Scope &scope, qvh_package *pkg, const std::string &label, Compiled &out,
             std::string &error);

}  // namespace qvcli
