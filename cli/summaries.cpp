#include "summaries.hpp"

#include <algorithm>
#include <cstring>

namespace qvcli {

namespace {

// The most values one call of the package takes: a group's statistic holds no more.
constexpr std::uint64_t MAX_VALUES = QVH_MAX_ARGS;
// A group's values over an argument that only one-pass statistics use are handed to aggregates
// of fixed size once there are as many as one of them folds at a time.
constexpr std::size_t STREAM_AT = QVH_FOLD_BLOCK;

// A group's values over one argument list, in chunks that never move once written.
class ValueStore {
public:
    std::size_t size() const { return size_; }
    void add(double x) {
        if (chunks_.empty() || chunks_.back().size() == chunks_.back().capacity()) {
            const std::size_t room = chunks_.empty() ? 8 : std::min<std::size_t>(chunks_.back().capacity() * 2, 8192);
            chunks_.emplace_back();
            chunks_.back().reserve(room);
        }
        chunks_.back().push_back(x);
        ++size_;
    }
    // Adds every value to a; false when the host library refuses (its message says why).
    bool feed(qvh_agg *a) const {
        for (const auto &c : chunks_)
            if (qvh_agg_add_n(a, c.data(), c.size()) != QVH_OK) return false;
        return true;
    }
    void clear() {
        std::vector<std::vector<double>>().swap(chunks_);
        size_ = 0;
    }

private:
    std::vector<std::vector<double>> chunks_;
    std::size_t size_ = 0;
};

struct AggDeleter {
    void operator()(qvh_agg *a) const { qvh_agg_free(a); }
};
using AggPtr = std::unique_ptr<qvh_agg, AggDeleter>;

// A new aggregate of the statistic with its parameter set; null with the host's message.
AggPtr new_agg(qvh_package *pkg, const Aggregate &agg) {
    qvh_agg *a = nullptr;
    if (qvh_agg_new(pkg, agg.info->name, 0, &a) != QVH_OK) return nullptr;
    if (agg.has_param) qvh_agg_param(a, agg.param);
    return AggPtr(a);
}

}  // namespace

// A statistic of one assignment.
struct Summaries::AggUse {
    std::size_t assignment, index;
    const Aggregate *agg;
    AggPtr finisher;  // computes the statistic over a group's stored values
};

// Argument values that statistics share: computed once per row, stored once per group.
struct Summaries::Input {
    Aggregate *first;               // whose argument programs compute the values
    std::size_t column;             // the assignment whose notes they are
    bool keep_values = false;       // a statistic over them must select: the values are kept
    std::vector<std::size_t> uses;  // into uses_
};

struct Summaries::InputState {
    ValueStore values;
    std::vector<AggPtr> aggs;  // once streaming: one per use, in the order of Input::uses
};

struct Summaries::Group {
    const std::string *key;
    std::size_t line;
    std::vector<InputState> inputs;
};

Summaries::Summaries(const TableJob &job, qvh_package *pkg, TablePlan &plan, std::vector<Value> &vars, Tallies &tallies,
                     Reporter &report, RecordWriter &writer)
    : job_(job), pkg_(pkg), plan_(plan), vars_(vars), tallies_(tallies), report_(report), writer_(writer) {}

Summaries::~Summaries() = default;

bool Summaries::start() {
    std::unordered_map<std::string, std::size_t> by_key;
    for (std::size_t j = 0; j < plan_.compiled.size(); ++j) {
        std::vector<Aggregate> &aggs = plan_.compiled[j].aggregates;
        agg_values_.emplace_back(aggs.size());
        for (std::size_t a = 0; a < aggs.size(); ++a) {
            AggUse use{j, a, &aggs[a], new_agg(pkg_, aggs[a])};
            if (!use.finisher) {
                report_.fail(plan_.labels[j] + ": " + qvh_errmsg());
                return false;
            }
            const auto [it, fresh] = by_key.emplace(aggs[a].input_key, inputs_.size());
            if (fresh) inputs_.push_back({&aggs[a], j, false, {}});
            Input &in = inputs_[it->second];
            in.keep_values = in.keep_values || aggs[a].info->aggregate == QVH_AGG_VALUES;
            in.uses.push_back(uses_.size());
            uses_.push_back(std::move(use));
        }
    }
    return true;
}

// The --by cells, each with its length in front, as one string.
const std::string &Summaries::group_key(const std::vector<std::string_view> &fields) {
    key_.clear();
    for (std::size_t i : plan_.by) {
        const std::uint32_t n = static_cast<std::uint32_t>(fields[i].size());
        key_.append(reinterpret_cast<const char *>(&n), sizeof n);
        key_ += fields[i];
    }
    return key_;
}

bool Summaries::start_streaming(const Input &in, InputState &s, std::size_t line) {
    for (std::size_t u : in.uses) {
        AggPtr a = new_agg(pkg_, *uses_[u].agg);
        if (!a || !s.values.feed(a.get())) {
            report_.fail_at(line, plan_.labels[in.column] + ": " + qvh_errmsg());
            return false;
        }
        s.aggs.push_back(std::move(a));
    }
    s.values.clear();
    return true;
}

bool Summaries::add(const Input &in, InputState &s, const Group &g, double x, std::size_t line) {
    if (!s.aggs.empty()) {
        for (const AggPtr &a : s.aggs)
            if (qvh_agg_add(a.get(), x) != QVH_OK) {
                report_.fail_at(line, plan_.labels[in.column] + ": " + qvh_errmsg());
                return false;
            }
        return true;
    }
    if (s.values.size() + 1 >= MAX_VALUES) {
        report_.fail_at(line, plan_.labels[in.column] + ": the group of line " + std::to_string(g.line) + " has more than " +
                                  std::to_string(MAX_VALUES - 1) + " values for " + in.first->info->name +
                                  ", the most one call of the package takes");
        return false;
    }
    s.values.add(x);
    return in.keep_values || s.values.size() < STREAM_AT || start_streaming(in, s, line);
}

bool Summaries::feed(const std::vector<std::string_view> &fields, std::size_t line) {
    const std::string &key = group_key(fields);
    auto it = groups_by_key_.find(key);
    if (it == groups_by_key_.end()) {
        it = groups_by_key_.emplace(key, groups_.size()).first;
        groups_.push_back({&it->first, line, std::vector<InputState>(inputs_.size())});
    }
    Group &g = groups_[it->second];
    for (std::size_t k = 0; k < inputs_.size(); ++k) {
        const Input &in = inputs_[k];
        for (Program &p : in.first->args) {
            if (!p.run(vars_.data())) {
                report_.fail_at(line, plan_.labels[in.column] + ": " + p.error());
                return false;
            }
            if (!p.notes().empty()) tallies_.add_notes(p, plan_.names[in.column], line, line, false);
            if (!add(in, g.inputs[k], g, p.result().num, line)) return false;
        }
    }
    return true;
}

bool Summaries::finish() {
    if (groups_.empty() && plan_.by.empty()) groups_.push_back({&empty_key_, 0, std::vector<InputState>(inputs_.size())});
    for (std::size_t gi = 0; gi < groups_.size(); ++gi)
        if (!results(groups_[gi], gi) || !write_group(groups_[gi], gi)) return false;
    return true;
}

// The results of the group's statistics, its stored values given up once used.
bool Summaries::results(Group &g, std::size_t gi) {
    for (std::size_t k = 0; k < inputs_.size(); ++k) {
        for (std::size_t u = 0; u < inputs_[k].uses.size(); ++u)
            if (!result(uses_[inputs_[k].uses[u]], g.inputs[k], u, g, gi)) return false;
        g.inputs[k] = InputState();
    }
    return true;
}

// One statistic over the group: its own aggregate once the values streamed, else the finisher
// fed the stored values. A memory status is an error: there is no result to write.
bool Summaries::result(AggUse &use, InputState &s, std::size_t u, const Group &g, std::size_t gi) {
    const std::string &label = plan_.labels[use.assignment];
    const bool stored = s.aggs.empty();
    qvh_agg *a = stored ? use.finisher.get() : s.aggs[u].get();
    if (stored) {
        qvh_agg_reset(a);
        if (use.agg->has_param) qvh_agg_param(a, use.agg->param);
        if (!s.values.feed(a)) {
            report_.fail_at(g.line, label + ": " + qvh_errmsg());
            return false;
        }
    }
    double r = qvh_dot();
    std::int32_t status = QVH_STATUS_OK;
    const int rc = qvh_agg_result(a, &r, &status);
    if (stored) qvh_agg_reset(a);
    if (rc != QVH_OK || qvh_status_is_memory(status)) {
        char message[256];
        if (rc == QVH_OK) qvh_nomem_message(use.agg->info->name, 0, 0, qvh_agg_asked(a), message, sizeof message);
        report_.fail_at(g.line, label + ": " + (rc != QVH_OK ? qvh_errmsg() : message));
        return false;
    }
    agg_values_[use.assignment][use.index].num = r;
    if (status != QVH_STATUS_OK) tallies_.add(plan_.names[use.assignment], use.agg->info->name, status, gi, g.line, true);
    return true;
}

// The expressions over the group's results, and the group's row.
bool Summaries::write_group(const Group &g, std::size_t gi) {
    const std::size_t h = plan_.header.size();
    std::vector<std::string_view> keys, cells(h);
    for (std::size_t i = 0; i < g.key->size();) {
        std::uint32_t n;
        std::memcpy(&n, g.key->data() + i, sizeof n);
        keys.emplace_back(g.key->data() + i + sizeof n, n);
        i += sizeof n + n;
    }
    for (std::size_t b = 0; b < plan_.by.size(); ++b) cells[plan_.by[b]] = keys[b];
    if (!read_cells(job_, cells, g.line, plan_.group_num, plan_.group_chr, plan_.header, vars_, tallies_, report_))
        return false;
    for (std::size_t j = 0; j < plan_.compiled.size(); ++j) {
        Program &p = plan_.compiled[j].program;
        if (!p.run(vars_.data(), agg_values_[j].data())) {
            report_.fail_at(g.line, plan_.labels[j] + ": " + p.error());
            return false;
        }
        vars_[h + j] = p.result();
        if (!p.notes().empty()) tallies_.add_notes(p, plan_.names[j], gi, g.line, true);
    }
    for (std::size_t k = 0; k < plan_.out_cols.size(); ++k) {
        if (k > 0) writer_.separator();
        const OutColumn &c = plan_.out_cols[k];
        if (c.computed) {
            writer_.value(vars_[h + c.index], plan_.compiled[c.index].program.kind());
        } else {
            const auto b = std::find(plan_.by.begin(), plan_.by.end(), c.index) - plan_.by.begin();
            writer_.field(keys[static_cast<std::size_t>(b)]);
        }
    }
    return writer_.end_record();
}

}  // namespace qvcli
