// A compiled expression: every call checked once against the host's signature table and bound
// to its table row, with its FuncArgList built once and refilled on each run. Running it again
// with new variable values allocates nothing, so a table of a million rows costs two calls per
// row and nothing more.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "expr.hpp"
#include "qvfnc.h"
#include "qvhost.h"

namespace qvhost {

enum class Kind { Num = QVH_KIND_NUM, Chr = QVH_KIND_CHR, Any = QVH_KIND_ANY };

// Finds a function's row by its upper-case name; null when the table has no such row.
using Lookup = std::function<const FuncTableRow *(std::string_view upper_name)>;

// The value of one variable for a run. A variable used where a number is wanted reads num; one
// used where a character value is wanted reads chars and length.
struct VarValue {
    double num = 0.0;
    const char32_t *chars = nullptr;
    std::size_t length = 0;
};

// How a program uses a variable: as a number, as a character value, or both.
enum VarUse : unsigned { USE_NUM = 1, USE_CHR = 2 };

// A call that did not return OK on the last run.
struct Note {
    std::string function;
    QvStatus status = STATUS_OK;
    std::vector<int> marked;  // 1-based arguments it marked invalid
};

class Program {
public:
    Program();
    ~Program();
    Program(Program &&) noexcept;
    Program &operator=(Program &&) noexcept;

    // Checks every call of the expression (known name, present in the package, number and kinds
    // of its arguments) and binds each variable name to its index in variables, exact spelling
    // first, then any case. Returns false with a one-line error.
    bool compile(const Node &root, const Lookup &lookup, const std::vector<std::string> &variables,
                 HostPool *pool, Error &error);

    // Evaluates with vars[i] the value of variable i.
    void run(const VarValue *vars = nullptr);

    // The result of the last run; a character result stays valid until the next run.
    bool is_char() const;
    double number() const { return result_num_; }
    std::u32string_view text() const { return result_text_; }

    // uses()[i] is a mask of VarUse for variable i.
    const std::vector<unsigned> &uses() const { return uses_; }

    // The calls of the last run that did not return OK, innermost first.
    std::vector<Note> notes() const;

private:
    struct Step;
    struct Operand;
    bool bind(const Node &node, Kind want, Operand &out, Error &error);
    void evaluate(Operand &operand, const VarValue *vars);

    const Lookup *lookup_ = nullptr;
    const std::vector<std::string> *variables_ = nullptr;
    HostPool *pool_ = nullptr;
    std::unique_ptr<Operand> root_;
    std::vector<std::unique_ptr<Step>> steps_;  // in evaluation order, innermost first
    std::vector<unsigned> uses_;
    double result_num_ = 0.0;
    std::u32string_view result_text_;
};

// "1.5", "'text'", or ".  (invalid argument in LOG; argument 2 of ROUND marked invalid)".
std::string describe_result(const Program &program);

// The names of every function in the signature table, for suggestions.
const std::vector<std::string_view> &function_names();

}  // namespace qvhost
