// The compiler of expressions, in passes over the flat tree: names (columns and functions), kinds
// (what each node gives and what its parent wants), the summary's statistics, then the code.
// compiler.cpp holds the checking passes, codegen.cpp the code.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "code.hpp"

namespace qvcli {

class Compiler {
public:
    Compiler(const Expr &e, const Scope &scope, qvh_package *pkg, const std::string &label)
        : e_(e), scope_(scope), pkg_(pkg), label_(label), n_(static_cast<std::uint32_t>(e.nodes.size())) {}

    bool run(Compiled &out, std::string &error);

private:
    static constexpr std::uint32_t NONE = 0xFFFFFFFFu;
    enum Want : std::uint8_t { WANT_ANY = 0, WANT_NUM = 1, WANT_CHR = 2 };

    std::string where(std::uint32_t pos) const;
    bool fail(const std::string &message);

    // compiler.cpp: the checks.
    void link();
    bool resolve();
    bool function(std::uint32_t i);
    bool column(std::uint32_t i);
    bool kinds();
    void natural_kind(std::uint32_t i);
    bool wanted_kinds(std::uint32_t i);
    bool mismatch(std::uint32_t i);
    bool classify();
    bool find_statistics();

    // codegen.cpp: the code.
    void mark_presets();
    bool aggregate(std::uint32_t i, std::vector<Aggregate> &list);
    bool emit(std::uint32_t first, std::uint32_t last, Program &out);
    bool emit_node(std::uint32_t i, Program &out, std::size_t &height);
    void push(Program::Impl &m, Ins in, long delta, std::size_t &height);
    void after(std::uint32_t i, Program::Impl &m, std::size_t &height);
    bool call(std::uint32_t i, Program::Impl &m);

    const Expr &e_;
    const Scope &scope_;
    qvh_package *pkg_;
    const std::string &label_;
    const std::uint32_t n_;
    std::string error_;
    std::vector<long> var_;                 // Column: its variable
    std::vector<const qvh_info *> fn_;      // Call: its function (null for IFN)
    std::vector<bool> ifn_;
    std::vector<Kind> nat_, fin_;           // the kind a node gives by itself, and in the end
    std::vector<std::uint8_t> want_;        // what its parent wants
    std::vector<std::uint32_t> parent_, arg_;
    std::vector<bool> has_col_, inside_;    // uses a column; inside a statistic of a summary
    std::vector<std::uint32_t> agg_, agg_at_start_;
    std::vector<bool> preset_, direct_;     // an argument set once; a column read into its argument
    std::vector<std::uint32_t> jump_;
};

}  // namespace qvcli
