#include "table.hpp"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <unordered_map>

#include "csv.hpp"
#include "expr.hpp"
#include "names.hpp"
#include "program.hpp"

namespace qvcli {

void append_number(std::string &out, double x, const NumberFormat &format) {
    if (format.missing_set && qvh_is_missing(x)) {
        out += format.missing_token;
        return;
    }
    char buf[QVH_FORMAT_MAX];
    std::size_t n = 0;
    if (format.digits > 0 && std::isfinite(x)) {
        n = static_cast<std::size_t>(std::snprintf(buf, sizeof buf, "%.*g", format.digits, x));
    } else {
        n = qvh_format(x, buf, sizeof buf);
    }
    out.append(buf, std::min(n, sizeof buf - 1));
}

bool read_cell(std::string_view cell, const std::vector<std::string> &na, double &value) {
    cell = trim_blanks(cell);
    if (cell.empty()) {
        value = dot();
        return true;
    }
    for (const std::string &token : na)
        if (cell == token) {
            value = dot();
            return true;
        }
    if (!qvh_parse_number(cell.data(), cell.size(), &value)) return false;
    if (std::isnan(value) && !qvh_is_missing(value)) value = dot();
    return true;
}

namespace {

// The most columns a table may have.
constexpr std::size_t MAX_COLUMNS = std::size_t{1} << 21;
// The most values one call of the package takes: a group's statistic holds no more.
constexpr std::uint64_t MAX_VALUES = 0x7FFFFFFF;
// A group's values over an argument that only one-pass statistics use are handed to aggregates
// of fixed size once there are this many.
constexpr std::size_t STREAM_AT = 4096;

// Statuses other than OK and the reader's notes, summed per column, cause and status.
class Tallies {
public:
    void add(const std::string &column, const std::string &what, std::int32_t status, std::uint64_t unit,
             std::size_t line, bool group) {
        for (Tally &t : list_) {
            if (t.status != status || t.group != group || t.what != what || t.column != column) continue;
            if (t.last != unit) ++t.count;
            t.last = unit;
            return;
        }
        list_.push_back({column, what, status, group, 1, unit, line});
    }
    // A note of the reader itself: text says what happened to how many.
    void reader(const std::string &key, std::size_t line) {
        for (Tally &t : list_)
            if (t.what == key && t.status == 0) {
                ++t.count;
                return;
            }
        list_.push_back({"", key, 0, false, 1, 0, line});
    }
    bool any() const { return !list_.empty(); }
    // whole_table: the groups are the one group of a summary without --by.
    void report(std::FILE *err, bool whole_table) const {
        for (const Tally &t : list_) {
            const std::string column = one_line(t.column), what = one_line(t.what);
            if (t.status == 0) {
                std::fprintf(err, "qvfnc: note: %s: %llu (first on line %zu)\n", what.c_str(),
                             static_cast<unsigned long long>(t.count), t.line);
                continue;
            }
            if (t.group && whole_table) {
                std::fprintf(err, "qvfnc: note: %s: %s in %s\n", column.c_str(), status_text(t.status), what.c_str());
                continue;
            }
            std::fprintf(err, "qvfnc: note: %s: %s in %s on %llu %s%s (first %s line %zu)\n", column.c_str(),
                         status_text(t.status), what.c_str(), static_cast<unsigned long long>(t.count),
                         t.group ? "group" : "row", t.count == 1 ? "" : "s", t.group ? "the group of" : "on", t.line);
        }
    }

private:
    struct Tally {
        std::string column, what;
        std::int32_t status;
        bool group;
        std::uint64_t count, last;
        std::size_t line;
    };
    std::vector<Tally> list_;
};

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
    template <class F>
    bool each_chunk(F &&f) const {
        for (const auto &c : chunks_)
            if (!f(c.data(), c.size())) return false;
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

// A statistic of one assignment.
struct AggUse {
    std::size_t assignment, index;
    const Aggregate *agg;
    AggPtr finisher;  // computes the statistic over a group's stored values
};

// Argument values that statistics share: computed once per row, stored once per group.
struct Input {
    Aggregate *first;             // whose argument programs compute the values
    std::size_t column;           // the assignment whose notes they are
    bool keep_values = false;     // a statistic over them must select: the values are kept
    std::vector<std::size_t> uses;  // into AggUse
};

struct InputState {
    ValueStore values;
    std::vector<AggPtr> aggs;  // once streaming: one per use, in the order of Input::uses
};

struct Group {
    const std::string *key;
    std::size_t line;
    std::vector<InputState> inputs;
};

// Output columns: a column of the input, or a computed one.
struct OutColumn {
    bool computed;
    std::size_t index;
};

class Progress {
public:
    explicit Progress(bool on, std::FILE *err) : on_(on), err_(err), start_(Clock::now()), last_(start_) {}
    void tick(std::uint64_t rows) {
        if (!on_ || (rows & 0xFFFF) != 0) return;
        const auto now = Clock::now();
        if (now - last_ < std::chrono::seconds(1)) return;
        last_ = now;
        print(rows, now);
    }
    void done(std::uint64_t rows) {
        if (!on_) return;
        print(rows, Clock::now());
        std::fputc('\n', err_);
    }

private:
    using Clock = std::chrono::steady_clock;
    void print(std::uint64_t rows, Clock::time_point now) {
        const double s = std::chrono::duration<double>(now - start_).count();
        std::fprintf(err_, "\rqvfnc: %llu rows read, %.0f rows/s ", static_cast<unsigned long long>(rows),
                     s > 0 ? static_cast<double>(rows) / s : 0.0);
        std::fflush(err_);
    }
    bool on_;
    std::FILE *err_;
    Clock::time_point start_, last_;
};

std::string shown(std::string_view name) {
    std::string out;
    for (char c : excerpt(name)) out += c == '\t' ? std::string("\\t") : std::string(1, c);
    return out;
}

class TableRun {
public:
    TableRun(const TableJob &job, qvh_package *pkg, std::FILE *out, std::FILE *err)
        : job_(job), pkg_(pkg), out_(out), err_(err), ofs_(job.ofs != 0 ? job.ofs : job.sep),
          summary_(job.summary || !job.by.empty()), progress_(job.progress, err),
          number_quoted_(std::isalnum(static_cast<unsigned char>(ofs_)) ||
                         std::string_view("+-._").find(ofs_) != std::string_view::npos) {}

    TableOutcome run(std::FILE *in) {
        TableOutcome outcome;
        CsvReader reader(in, job_.sep, job_.chunk);
        outcome.status = rows(reader) ? 0 : 1;
        progress_.done(rows_);
        // The rows done before an error stay written on a stream; --out drops them.
        if (!flush()) outcome.status = 1;
        if (outcome.status == 0) tallies_.report(err_, summary_ && by_.empty());
        outcome.notes = tallies_.any();
        return outcome;
    }

private:
    // Names and cells in a message may hold line ends: they are written escaped.
    void fail(const std::string &message) { std::fprintf(err_, "qvfnc: %s\n", one_line(message).c_str()); }
    void fail_at(std::size_t line, const std::string &message) {
        std::fprintf(err_, "qvfnc: %s: line %zu: %s\n", job_.input_name.c_str(), line, one_line(message).c_str());
    }

    bool rows(CsvReader &reader) {
        if (!reader.next()) {
            fail(job_.input_name + ": " + (reader.error().empty() ? "no header line: the input is empty" : reader.error()));
            return false;
        }
        if (reader.fields().size() > MAX_COLUMNS) {
            fail(job_.input_name + ": the first line has " + std::to_string(reader.fields().size()) + " fields; qvfnc reads at most " +
                 std::to_string(MAX_COLUMNS) + " columns");
            return false;
        }
        bool pending = false;  // without a header the first record is a row
        if (job_.header) {
            // Names are matched without the blanks that often follow the separators of a header.
            for (std::string_view f : reader.fields()) header_.emplace_back(trim_blanks(f));
        } else {
            for (std::size_t i = 1; i <= reader.fields().size(); ++i) header_.push_back('c' + std::to_string(i));
            pending = true;
        }
        if (!compile() || !choose_columns()) return false;
        if (job_.header) write_header(reader.raw());

        const std::size_t width = header_.size();
        for (bool more = pending || reader.next(); more; more = reader.next()) {
            const std::vector<std::string_view> *fields = &reader.fields();
            if (fields->size() != width) {
                if (width > 1 && reader.raw().empty()) continue;  // a blank line is no row
                if (!job_.lenient) {
                    fail_at(reader.line(), "the row has " + std::to_string(fields->size()) + " field" +
                                               (fields->size() == 1 ? "" : "s") + ", the header " +
                                               std::to_string(width) + " (--lenient reads it all the same)");
                    return false;
                }
                ragged_.assign(fields->begin(), fields->begin() + static_cast<std::ptrdiff_t>(std::min(width, fields->size())));
                ragged_.resize(width, std::string_view());
                tallies_.reader(fields->size() < width
                                    ? "rows with fewer fields than the header, padded with empty cells"
                                    : "rows with more fields than the header, cut to its " + std::to_string(width),
                                reader.line());
                fields = &ragged_;
            }
            const bool raw_ok = fields == &reader.fields();
            if (!cells(*fields, reader.line())) return false;
            if (!(summary_ ? feed(*fields, reader.line()) : row(*fields, raw_ok ? reader.raw() : std::string_view(), raw_ok, reader.line())))
                return false;
            progress_.tick(++rows_);
        }
        if (!reader.error().empty()) {
            fail(job_.input_name + ": " + reader.error());
            return false;
        }
        return !summary_ || finish();
    }

    // ---- expressions ---------------------------------------------------------------------------

    std::string header_hint() const {
        std::string list;
        for (std::size_t i = 0; i < header_.size() && i < 8; ++i) list += (i ? ", " : "") + shown(header_[i]);
        if (header_.size() > 8) list += ", ...";
        std::string hint = "; the header read has " + std::to_string(header_.size()) + " column" +
                           (header_.size() == 1 ? "" : "s") + ": " + list;
        const std::pair<char, const char *> usual[] = {{'\t', "tabs: try --tsv"}, {',', "commas: try --sep ','"},
                                                       {';', "semicolons: try --sep ';'"}, {'|', "bars: try --sep '|'"}};
        for (const auto &[c, what] : usual) {
            if (c == job_.sep) continue;
            for (const std::string &h : header_)
                if (h.find(c) != std::string::npos) return hint + " (it holds " + what + ")";
        }
        return hint;
    }

    // Splits NAME=EXPRESSION; the name may be written in double quotes.
    bool split(const std::string &a, std::size_t k, std::string &name, std::size_t &from) {
        std::size_t i = 0;
        while (i < a.size() && (a[i] == ' ' || a[i] == '\t')) ++i;
        if (i < a.size() && a[i] == '"') {
            for (++i; i < a.size(); ++i) {
                if (a[i] == '"' && (i + 1 >= a.size() || a[i + 1] != '"')) break;
                if (a[i] == '"') ++i;
                name.push_back(a[i]);
            }
            ++i;
            while (i < a.size() && (a[i] == ' ' || a[i] == '\t')) ++i;
            from = i + 1;
            if (i < a.size() && a[i] == '=' && !name.empty()) return true;
        } else if (const auto eq = a.find('='); eq != std::string::npos) {
            name = std::string(trim_blanks(std::string_view(a).substr(0, eq)));
            from = eq + 1;
            if (!name.empty()) return true;
        }
        fail("expression " + std::to_string(k + 1) + ", '" + excerpt(a) + "', is not of the form NAME=EXPRESSION");
        return false;
    }

    bool compile() {
        scope_.summary = summary_;
        scope_.unknown_hint = header_hint();
        for (std::size_t i = 0; i < header_.size(); ++i) scope_.add({header_[i], Kind::Flexible, true, false, i + 1});
        for (const std::string &name : job_.by) {
            std::string problem;
            const long v = scope_.find(name, problem);
            if (v < 0) {
                fail("--by " + name + ": " + (problem.empty() ? "no such column" + header_hint() : problem));
                return false;
            }
            scope_.var(static_cast<std::size_t>(v)).per_group = true;
            by_.push_back(static_cast<std::size_t>(v));
        }
        for (std::size_t k = 0; k < job_.assignments.size(); ++k) {
            const std::string &a = job_.assignments[k];
            std::string name, problem;
            std::size_t from = 0;
            if (!split(a, k, name, from)) return false;
            if (scope_.has(name)) {
                fail("expression " + std::to_string(k + 1) + ": the table already has a column " + name);
                return false;
            }
            Expr expr;
            SyntaxError syntax;
            if (!parse_expression(a, from, expr, syntax)) {
                fail("syntax error at character " + std::to_string(character_at(a, syntax.pos)) + " of expression " +
                     std::to_string(k + 1) + ": " + syntax.message);
                return false;
            }
            Compiled c;
            std::string error;
            if (!qvcli::compile(expr, scope_, pkg_, "expression " + std::to_string(k + 1), c, error)) {
                fail(error);
                return false;
            }
            names_.push_back(name);
            const Kind kind = c.program.kind();
            scope_.add({name, kind, !summary_, summary_, 0});
            compiled_.push_back(std::move(c));
        }
        vars_.assign(scope_.size(), Value{});
        uses_.assign(header_.size(), 0);
        auto gather = [&](const Program &p) {
            for (std::size_t i = 0; i < header_.size(); ++i) uses_[i] |= p.uses()[i];
        };
        group_uses_.assign(header_.size(), 0);
        for (const Compiled &c : compiled_) {
            if (!summary_) gather(c.program);
            for (std::size_t i = 0; summary_ && i < header_.size(); ++i) group_uses_[i] |= c.program.uses()[i];
            for (const Aggregate &a : c.aggregates)
                for (const Program &p : a.args) gather(p);
        }
        for (std::size_t i = 0; i < header_.size(); ++i) {
            if (uses_[i] & 1u) num_cols_.push_back(i);
            if (uses_[i] & 2u) chr_cols_.push_back(i);
        }
        return !summary_ || plan_inputs();
    }

    // ---- output --------------------------------------------------------------------------------

    bool choose_columns() {
        std::vector<std::string_view> names;
        std::vector<OutColumn> all;
        if (summary_) {
            for (std::size_t i : by_) names.push_back(header_[i]), all.push_back({false, i});
        } else {
            for (std::size_t i = 0; i < header_.size(); ++i) names.push_back(header_[i]), all.push_back({false, i});
        }
        for (std::size_t j = 0; j < names_.size(); ++j) names.push_back(names_[j]), all.push_back({true, j});
        if (!job_.keep.empty() && !job_.drop.empty()) {
            fail("--keep and --drop do not go together");
            return false;
        }
        const bool keeping = !job_.keep.empty();
        const std::vector<std::string> &listed = keeping ? job_.keep : job_.drop;
        std::vector<bool> chosen(all.size(), false);
        for (const std::string &name : listed) {
            auto it = std::find(names.begin(), names.end(), name);
            if (it == names.end())
                it = std::find_if(names.begin(), names.end(), [&](std::string_view n) { return same_letters(n, name); });
            if (it == names.end()) {
                const std::string hint = nearest_name(name, names);
                fail(std::string(keeping ? "--keep " : "--drop ") + name + ": the output has no such column" +
                     (hint.empty() ? "" : " (did you mean " + hint + "?)"));
                return false;
            }
            chosen[static_cast<std::size_t>(it - names.begin())] = true;
        }
        for (std::size_t i = 0; i < all.size(); ++i)
            if (listed.empty() || chosen[i] == keeping) out_cols_.push_back(all[i]), out_names_.emplace_back(names[i]);
        // The record can go out as it came when every input column is kept in place.
        fast_ = !summary_ && ofs_ == job_.sep && listed.empty();
        return true;
    }

    // A record goes out as it came, unless it ends in a carriage return with nothing written after
    // it: the line end would take that in, and the last field would lose it.
    bool copies(std::string_view raw) const { return fast_ && (!names_.empty() || !raw.ends_with('\r')); }

    void write_header(std::string_view raw) {
        if (copies(raw)) {
            block_ += raw;
            for (const std::string &n : names_) {
                block_.push_back(ofs_);
                append_field(block_, n, ofs_);
            }
        } else {
            for (std::size_t i = 0; i < out_names_.size(); ++i) {
                if (i > 0) block_.push_back(ofs_);
                append_field(block_, out_names_[i], ofs_);
            }
        }
        block_.push_back('\n');
    }

    void append_value(const Value &v, Kind kind) {
        if (kind == Kind::Chr) {
            append_field(block_, std::string_view(v.str, v.len), ofs_);
        } else if (job_.format.missing_set && qvh_is_missing(v.num)) {
            append_field(block_, job_.format.missing_token, ofs_);
        } else if (number_quoted_) {
            number_.clear();
            append_number(number_, v.num, job_.format);
            append_field(block_, number_, ofs_);
        } else {
            append_number(block_, v.num, job_.format);
        }
    }

    // Output lines gather in a block that goes out once it is large.
    bool write() { return block_.size() < (1u << 16) || flush(); }
    bool flush() {
        if (write_failed_) return false;
        const bool ok = std::fwrite(block_.data(), 1, block_.size(), out_) == block_.size() && std::fflush(out_) == 0;
        block_.clear();
        if (!ok) {
            write_failed_ = true;
            fail(std::string("cannot write the output: ") + std::strerror(errno));
        }
        return ok;
    }

    // ---- rows ----------------------------------------------------------------------------------

    // The --by columns as the group has them, read as numbers where that is wanted.
    bool group_cells(const std::vector<std::string_view> &fields, std::size_t line) {
        std::vector<std::size_t> nums, chrs;
        for (std::size_t i : by_) {
            if (group_uses_[i] & 1u) nums.push_back(i);
            if (group_uses_[i] & 2u) chrs.push_back(i);
        }
        return cells(fields, line, nums, chrs);
    }

    bool cells(const std::vector<std::string_view> &fields, std::size_t line) {
        return cells(fields, line, num_cols_, chr_cols_);
    }

    bool cells(const std::vector<std::string_view> &fields, std::size_t line, const std::vector<std::size_t> &num_cols,
               const std::vector<std::size_t> &chr_cols) {
        for (std::size_t i : num_cols) {
            if (read_cell(fields[i], job_.na, vars_[i].num)) continue;
            if (!job_.lenient) {
                const std::string cell(trim_blanks(fields[i]));
                fail_at(line, "column " + header_[i] + ": cannot read '" + excerpt(cell) + "' as a number (--na " +
                                  (cell.size() <= 40 ? cell : std::string("TOKEN")) +
                                  " reads it as missing, --lenient any cell that is no number)");
                return false;
            }
            vars_[i].num = dot();
            tallies_.reader("cells of column " + header_[i] + " that are no number, read as .", line);
        }
        for (std::size_t i : chr_cols) {
            std::string_view cell = fields[i];
            for (const std::string &token : job_.na)
                if (trim_blanks(cell) == token) cell = std::string_view();
            vars_[i].str = cell.data() != nullptr ? cell.data() : "";
            vars_[i].len = cell.size();
        }
        return true;
    }

    void count_notes(const Program &p, std::size_t column, std::uint64_t unit, std::size_t line, bool group) {
        for (const Note &n : p.notes()) tallies_.add(names_[column], p.site_name(n.site), n.status, unit, line, group);
    }

    bool row(const std::vector<std::string_view> &fields, std::string_view raw, bool raw_ok, std::size_t line) {
        const std::size_t h = header_.size();
        for (std::size_t j = 0; j < compiled_.size(); ++j) {
            Program &p = compiled_[j].program;
            if (!p.run(vars_.data())) {
                fail_at(line, "expression " + std::to_string(j + 1) + ": " + p.error());
                return false;
            }
            vars_[h + j] = p.result();
            if (!p.notes().empty()) count_notes(p, j, line, line, false);
        }
        if (raw_ok && copies(raw)) {
            block_ += raw;
            for (std::size_t j = 0; j < compiled_.size(); ++j) {
                block_.push_back(ofs_);
                append_value(vars_[h + j], compiled_[j].program.kind());
            }
        } else {
            for (std::size_t k = 0; k < out_cols_.size(); ++k) {
                if (k > 0) block_.push_back(ofs_);
                const OutColumn &c = out_cols_[k];
                if (c.computed) append_value(vars_[h + c.index], compiled_[c.index].program.kind());
                else append_field(block_, fields[c.index], ofs_);
            }
        }
        block_.push_back('\n');
        return write();
    }

    // ---- summaries -----------------------------------------------------------------------------

    bool plan_inputs() {
        std::unordered_map<std::string, std::size_t> by_key;
        for (std::size_t j = 0; j < compiled_.size(); ++j) {
            agg_values_.emplace_back(compiled_[j].aggregates.size());
            for (std::size_t a = 0; a < compiled_[j].aggregates.size(); ++a) {
                Aggregate &agg = compiled_[j].aggregates[a];
                AggUse use{j, a, &agg, nullptr};
                qvh_agg *finisher = nullptr;
                if (qvh_agg_new(pkg_, agg.info->name, 0, &finisher) != QVH_OK) {
                    fail(std::string("expression ") + std::to_string(j + 1) + ": " + qvh_errmsg());
                    return false;
                }
                use.finisher.reset(finisher);
                const auto [it, fresh] = by_key.emplace(agg.input_key, inputs_.size());
                if (fresh) inputs_.push_back({&agg, j, false, {}});
                Input &in = inputs_[it->second];
                in.keep_values = in.keep_values || agg.info->aggregate == QVH_AGG_VALUES;
                in.uses.push_back(uses_list_.size());
                uses_list_.push_back(std::move(use));
            }
        }
        return true;
    }

    const std::string &group_key(const std::vector<std::string_view> &fields) {
        key_.clear();
        for (std::size_t i : by_) {
            const std::uint32_t n = static_cast<std::uint32_t>(fields[i].size());
            key_.append(reinterpret_cast<const char *>(&n), sizeof n);
            key_ += fields[i];
        }
        return key_;
    }

    static std::vector<std::string_view> key_fields(const std::string &key) {
        std::vector<std::string_view> out;
        for (std::size_t i = 0; i < key.size();) {
            std::uint32_t n;
            std::memcpy(&n, key.data() + i, sizeof n);
            out.emplace_back(key.data() + i + sizeof n, n);
            i += sizeof n + n;
        }
        return out;
    }

    bool start_streaming(const Input &in, InputState &s, std::size_t line) {
        for (std::size_t u : in.uses) {
            const AggUse &use = uses_list_[u];
            qvh_agg *a = nullptr;
            if (qvh_agg_new(pkg_, use.agg->info->name, 0, &a) != QVH_OK) {
                fail_at(line, qvh_errmsg());
                return false;
            }
            s.aggs.emplace_back(a);
            if (use.agg->has_param) qvh_agg_param(a, use.agg->param);
            const bool ok = s.values.each_chunk([&](const double *xs, std::size_t n) { return qvh_agg_add_n(a, xs, n) == QVH_OK; });
            if (!ok) {
                fail_at(line, qvh_errmsg());
                return false;
            }
        }
        s.values.clear();
        return true;
    }

    bool feed(const std::vector<std::string_view> &fields, std::size_t line) {
        const std::string &key = group_key(fields);
        auto it = groups_by_key_.find(key);
        if (it == groups_by_key_.end()) {
            it = groups_by_key_.emplace(key, groups_.size()).first;
            groups_.push_back({&it->first, line, std::vector<InputState>(inputs_.size())});
        }
        Group &g = groups_[it->second];
        for (std::size_t k = 0; k < inputs_.size(); ++k) {
            const Input &in = inputs_[k];
            InputState &s = g.inputs[k];
            for (Program &p : in.first->args) {
                if (!p.run(vars_.data())) {
                    fail_at(line, "expression " + std::to_string(in.column + 1) + ": " + p.error());
                    return false;
                }
                if (!p.notes().empty()) count_notes(p, in.column, line, line, false);
                const double x = p.result().num;
                if (!s.aggs.empty()) {
                    for (const AggPtr &a : s.aggs)
                        if (qvh_agg_add(a.get(), x) != QVH_OK) {
                            fail_at(line, "expression " + std::to_string(in.column + 1) + ": " + qvh_errmsg());
                            return false;
                        }
                    continue;
                }
                if (s.values.size() + 1 >= MAX_VALUES) {
                    fail_at(line, "expression " + std::to_string(in.column + 1) + ": the group of line " +
                                      std::to_string(g.line) + " has more than " + std::to_string(MAX_VALUES - 1) +
                                      " values for " + in.first->info->name + ", the most one call of the package takes");
                    return false;
                }
                s.values.add(x);
                if (!in.keep_values && s.values.size() >= STREAM_AT && !start_streaming(in, s, line)) return false;
            }
        }
        return true;
    }

    bool finish() {
        if (groups_.empty() && by_.empty()) groups_.push_back({&empty_key_, 0, std::vector<InputState>(inputs_.size())});
        const std::size_t h = header_.size();
        for (std::size_t gi = 0; gi < groups_.size(); ++gi) {
            Group &g = groups_[gi];
            for (std::size_t k = 0; k < inputs_.size(); ++k) {
                const Input &in = inputs_[k];
                InputState &s = g.inputs[k];
                for (std::size_t u = 0; u < in.uses.size(); ++u) {
                    AggUse &use = uses_list_[in.uses[u]];
                    qvh_agg *a = s.aggs.empty() ? use.finisher.get() : s.aggs[u].get();
                    if (s.aggs.empty()) {
                        qvh_agg_reset(a);
                        if (use.agg->has_param) qvh_agg_param(a, use.agg->param);
                        if (!s.values.each_chunk([&](const double *xs, std::size_t n) { return qvh_agg_add_n(a, xs, n) == QVH_OK; })) {
                            fail(qvh_errmsg());
                            return false;
                        }
                    }
                    double r = dot();
                    std::int32_t status = QVH_STATUS_OK;
                    if (qvh_agg_result(a, &r, &status) != QVH_OK) {
                        fail(std::string("expression ") + std::to_string(use.assignment + 1) + ": " + qvh_errmsg());
                        return false;
                    }
                    if (s.aggs.empty()) qvh_agg_reset(a);
                    agg_values_[use.assignment][use.index].num = r;
                    if (status != QVH_STATUS_OK)
                        tallies_.add(names_[use.assignment], use.agg->info->name, status, gi, g.line, true);
                }
                s = InputState();
            }
            // The --by columns as the group has them, read as numbers where that is wanted.
            const std::vector<std::string_view> keys = key_fields(*g.key);
            std::vector<std::string_view> cells(header_.size());
            for (std::size_t b = 0; b < by_.size(); ++b) cells[by_[b]] = keys[b];
            if (!group_cells(cells, g.line)) return false;
            for (std::size_t j = 0; j < compiled_.size(); ++j) {
                Program &p = compiled_[j].program;
                if (!p.run(vars_.data(), agg_values_[j].data())) {
                    fail_at(g.line, "expression " + std::to_string(j + 1) + ": " + p.error());
                    return false;
                }
                vars_[h + j] = p.result();
                if (!p.notes().empty()) count_notes(p, j, gi, g.line, true);
            }
            for (std::size_t k = 0; k < out_cols_.size(); ++k) {
                if (k > 0) block_.push_back(ofs_);
                const OutColumn &c = out_cols_[k];
                if (c.computed) {
                    append_value(vars_[h + c.index], compiled_[c.index].program.kind());
                } else {
                    const std::size_t b = static_cast<std::size_t>(std::find(by_.begin(), by_.end(), c.index) - by_.begin());
                    append_field(block_, keys[b], ofs_);
                }
            }
            block_.push_back('\n');
            if (!write()) return false;
        }
        return true;
    }

    const TableJob &job_;
    qvh_package *pkg_;
    std::FILE *out_;
    std::FILE *err_;
    const char ofs_;
    const bool summary_;
    Progress progress_;
    // The output separator is a character numbers are written with ("1e-5", "inf", ".A"): every
    // number goes out through append_field, quoted where it holds the separator.
    const bool number_quoted_;
    std::string number_;
    std::uint64_t rows_ = 0;
    Tallies tallies_;

    std::vector<std::string> header_;
    std::vector<std::size_t> by_;
    Scope scope_;
    std::vector<std::string> names_;  // of the computed columns
    std::vector<Compiled> compiled_;
    std::vector<Value> vars_;
    std::vector<unsigned> uses_, group_uses_;
    std::vector<std::size_t> num_cols_, chr_cols_;
    std::vector<std::string_view> ragged_;

    std::vector<OutColumn> out_cols_;
    std::vector<std::string> out_names_;
    bool fast_ = false;
    std::string block_;
    bool write_failed_ = false;

    std::vector<Input> inputs_;
    std::vector<AggUse> uses_list_;
    std::vector<std::vector<Value>> agg_values_;
    std::unordered_map<std::string, std::size_t> groups_by_key_;
    std::vector<Group> groups_;
    std::string key_;
    const std::string empty_key_;
};

}  // namespace

TableOutcome run_table(const TableJob &job, qvh_package *pkg, std::FILE *in, std::FILE *out, std::FILE *err) {
    return TableRun(job, pkg, out, err).run(in);
}

}  // namespace qvcli
