// The summary job (--by, --summary): each row feeds the statistics of its group; at the end every
// group's statistics give their results, the expressions run over them, and one row per group is
// written, groups in the order they first appear.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "plan.hpp"
#include "writer.hpp"

namespace qvcli {

class Summaries {
public:
    Summaries(const TableJob &job, qvh_package *pkg, TablePlan &plan, std::vector<Value> &vars, Tallies &tallies,
              Reporter &report, RecordWriter &writer);
    ~Summaries();

    // Prepares the statistics; false once the error is reported.
    bool start();
    // Adds the row whose cells vars holds to its group.
    bool feed(const std::vector<std::string_view> &fields, std::size_t line);
    // Writes the row of every group.
    bool finish();

private:
    struct AggUse;
    struct Input;
    struct InputState;
    struct Group;

    const std::string &group_key(const std::vector<std::string_view> &fields);
    bool start_streaming(const Input &in, InputState &s, std::size_t line);
    bool add(const Input &in, InputState &s, const Group &g, double x, std::size_t line);
    bool results(Group &g, std::size_t gi);
    bool result(AggUse &use, InputState &s, std::size_t u, const Group &g, std::size_t gi);
    bool write_group(const Group &g, std::size_t gi);

    const TableJob &job_;
    qvh_package *pkg_;
    TablePlan &plan_;
    std::vector<Value> &vars_;
    Tallies &tallies_;
    Reporter &report_;
    RecordWriter &writer_;

    std::vector<Input> inputs_;
    std::vector<AggUse> uses_;
    std::vector<std::vector<Value>> agg_values_;  // per assignment, the results of its statistics
    std::unordered_map<std::string, std::size_t> groups_by_key_;
    std::vector<Group> groups_;
    std::string key_;
    const std::string empty_key_;
};

}  // namespace qvcli
