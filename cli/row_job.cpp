// The table job's loop: the header read and planned, then every record read, its cells taken,
// and either a row written with the computed columns (the row job) or the row handed to its
// group (a summary).
#include <memory>

#include "csv.hpp"
#include "plan.hpp"
#include "summaries.hpp"
#include "writer.hpp"

namespace qvcli {

namespace {

class TableRun {
public:
    TableRun(const TableJob &job, qvh_package *pkg, std::FILE *out, std::FILE *err)
        : job_(job), pkg_(pkg), err_(err), report_(err, job.input_name), progress_(job.progress, err),
          writer_(out, job.ofs != 0 ? job.ofs : job.sep, job.format, report_) {}

    TableOutcome run(std::FILE *in) {
        TableOutcome outcome;
        CsvReader reader(in, job_.sep, job_.chunk);
        outcome.status = rows(reader) ? 0 : 1;
        progress_.done(rows_);
        // The rows done before an error stay written on a stream; --out drops them.
        if (!writer_.flush()) outcome.status = 1;
        if (outcome.status == 0) tallies_.report(err_, plan_.summary && plan_.by.empty());
        outcome.notes = tallies_.any();
        return outcome;
    }

private:
    bool start(CsvReader &reader) {
        if (!reader.next()) {
            report_.fail(job_.input_name + ": " +
                         (reader.error().empty() ? "no header line: the input is empty" : reader.error()));
            return false;
        }
        if (!make_plan(job_, pkg_, reader.fields(), plan_, report_)) return false;
        vars_.assign(plan_.scope.size(), Value{});
        if (plan_.summary) {
            summaries_ = std::make_unique<Summaries>(job_, pkg_, plan_, vars_, tallies_, report_, writer_);
            if (!summaries_->start()) return false;
        }
        if (job_.header) write_header(reader.raw());
        return true;
    }

    bool rows(CsvReader &reader) {
        if (!start(reader)) return false;
        const std::size_t width = plan_.header.size();
        // Without a header the first record is a row.
        for (bool more = !job_.header || reader.next(); more; more = reader.next()) {
            const std::vector<std::string_view> *fields = &reader.fields();
            if (fields->size() != width) {
                if (width > 1 && reader.raw().empty()) continue;  // a blank line is no row
                if ((fields = ragged(reader)) == nullptr) return false;
            }
            const bool raw_ok = fields == &reader.fields();
            const std::size_t line = reader.line();
            if (!read_cells(job_, *fields, line, plan_.num_cols, plan_.chr_cols, plan_.header, vars_, tallies_, report_))
                return false;
            if (!(summaries_ ? summaries_->feed(*fields, line) : row(*fields, raw_ok ? reader.raw() : "", raw_ok, line)))
                return false;
            progress_.tick(++rows_);
        }
        if (!reader.error().empty()) {
            report_.fail(job_.input_name + ": " + reader.error());
            return false;
        }
        return !summaries_ || summaries_->finish();
    }

    // A record with another number of fields than the header: an error, or with --lenient
    // padded with empty cells or cut, and counted.
    const std::vector<std::string_view> *ragged(const CsvReader &reader) {
        const std::vector<std::string_view> &fields = reader.fields();
        const std::size_t width = plan_.header.size(), n = fields.size();
        if (!job_.lenient) {
            report_.fail_at(reader.line(), "the row has " + std::to_string(n) + " field" + (n == 1 ? "" : "s") +
                                               ", the header " + std::to_string(width) + " (--lenient reads it all the same)");
            return nullptr;
        }
        ragged_.assign(fields.begin(), fields.begin() + static_cast<std::ptrdiff_t>(std::min(width, n)));
        ragged_.resize(width, std::string_view());
        tallies_.reader(n < width ? "rows with fewer fields than the header, padded with empty cells"
                                  : "rows with more fields than the header, cut to its " + std::to_string(width),
                        reader.line());
        return &ragged_;
    }

    // A record goes out as it came, unless it ends in a carriage return with nothing written after
    // it: the line end would take that in, and the last field would lose it.
    bool copies(std::string_view raw) const { return plan_.fast && (!plan_.names.empty() || !raw.ends_with('\r')); }

    void write_header(std::string_view raw) {
        if (copies(raw)) {
            writer_.raw(raw);
            for (const std::string &n : plan_.names) writer_.separator(), writer_.field(n);
        } else {
            for (std::size_t i = 0; i < plan_.out_names.size(); ++i) {
                if (i > 0) writer_.separator();
                writer_.field(plan_.out_names[i]);
            }
        }
        writer_.end_record();
    }

    bool row(const std::vector<std::string_view> &fields, std::string_view raw, bool raw_ok, std::size_t line) {
        const std::size_t h = plan_.header.size();
        for (std::size_t j = 0; j < plan_.compiled.size(); ++j) {
            Program &p = plan_.compiled[j].program;
            if (!p.run(vars_.data())) {
                report_.fail_at(line, plan_.labels[j] + ": " + p.error());
                return false;
            }
            vars_[h + j] = p.result();
            if (!p.notes().empty()) tallies_.add_notes(p, plan_.names[j], line, line, false);
        }
        if (raw_ok && copies(raw)) {
            writer_.raw(raw);
            for (std::size_t j = 0; j < plan_.compiled.size(); ++j) {
                writer_.separator();
                writer_.value(vars_[h + j], plan_.compiled[j].program.kind());
            }
        } else {
            for (std::size_t k = 0; k < plan_.out_cols.size(); ++k) {
                if (k > 0) writer_.separator();
                const OutColumn &c = plan_.out_cols[k];
                if (c.computed) writer_.value(vars_[h + c.index], plan_.compiled[c.index].program.kind());
                else writer_.field(fields[c.index]);
            }
        }
        return writer_.end_record();
    }

    const TableJob &job_;
    qvh_package *pkg_;
    std::FILE *err_;
    Reporter report_;
    Tallies tallies_;
    Progress progress_;
    RecordWriter writer_;
    TablePlan plan_;
    std::vector<Value> vars_;  // the columns of the row, then the computed columns
    std::vector<std::string_view> ragged_;
    std::unique_ptr<Summaries> summaries_;
    std::uint64_t rows_ = 0;
};

}  // namespace

TableOutcome run_table(const TableJob &job, qvh_package *pkg, std::FILE *in, std::FILE *out, std::FILE *err) {
    return TableRun(job, pkg, out, err).run(in);
}

}  // namespace qvcli
