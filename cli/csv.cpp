#include "csv.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "qv/values.hpp"

namespace qvhost {

// ---- reader ----------------------------------------------------------------------------------

CsvReader::CsvReader(std::FILE *in, std::size_t chunk) : in_(in), buf_(chunk > 0 ? chunk : 1), chunk_(buf_.size()) {}

bool CsvReader::fill() {
    if (begin_ > 0) {
        std::memmove(buf_.data(), buf_.data() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
    // Only a record longer than the buffer makes it grow.
    if (end_ == buf_.size()) buf_.resize(buf_.size() + std::max(buf_.size(), chunk_));
    const std::size_t n = std::fread(buf_.data() + end_, 1, buf_.size() - end_, in_);
    end_ += n;
    if (n == 0) {
        eof_ = true;
        if (std::ferror(in_)) error_ = "read error";
    }
    return n > 0;
}

// Finds the record that starts at begin_. Returns false when the buffer ends before the record
// does and more input may follow.
bool CsvReader::scan(std::size_t &record_end, std::size_t &next_begin) {
    enum class State { FieldStart, Unquoted, Quoted, AfterQuote } state = State::FieldStart;
    spans_.clear();
    unquoted_.clear();
    std::size_t field_start = begin_, quoted_start = 0, newlines = 0;
    auto end_field = [&](std::size_t at) {
        if (state == State::Quoted || state == State::AfterQuote)
            spans_.push_back({false, quoted_start, unquoted_.size() - quoted_start});
        else
            spans_.push_back({true, field_start, at - field_start});
    };
    std::size_t i = begin_;
    for (; i < end_; ++i) {
        const char c = buf_[i];
        if (state == State::Quoted) {
            if (c != '"') {
                newlines += c == '\n';
                unquoted_.push_back(c);
            } else if (i + 1 < end_ && buf_[i + 1] == '"') {
                unquoted_.push_back('"');
                ++i;
            } else {
                // At the end of the buffer this may be half a doubled quote; the record is then
                // scanned again once more input is in.
                state = State::AfterQuote;
            }
            continue;
        }
        if (c == '\n') break;
        if (c == ',') {
            end_field(i);
            state = State::FieldStart;
            field_start = i + 1;
        } else if (state == State::FieldStart && c == '"') {
            state = State::Quoted;
            quoted_start = unquoted_.size();
        } else if (state == State::AfterQuote) {
            if (c != '\r') unquoted_.push_back(c);  // text after the closing quote is kept
        } else {
            state = State::Unquoted;
        }
    }
    if (i == end_ && !eof_) return false;
    if (state == State::Quoted) {
        error_ = "unterminated quoted field in the record starting at line " + std::to_string(next_line_);
        return false;
    }
    record_end = i;
    next_begin = i < end_ ? i + 1 : i;
    if (record_end > begin_ && buf_[record_end - 1] == '\r') --record_end;
    end_field(state == State::AfterQuote ? i : record_end);
    line_ = next_line_;
    next_line_ += newlines + 1;
    return true;
}

bool CsvReader::next() {
    if (!error_.empty()) return false;
    if (!started_) {
        started_ = true;
        while (end_ < 3 && !eof_) fill();
        if (end_ >= 3 && std::memcmp(buf_.data(), "\xEF\xBB\xBF", 3) == 0) begin_ = 3;
    }
    std::size_t record_end = 0, next_begin = 0;
    for (;;) {
        if (begin_ == end_ && !eof_) fill();
        if (!error_.empty() || (begin_ == end_ && eof_)) return false;
        if (scan(record_end, next_begin)) break;
        if (!error_.empty()) return false;
        fill();
    }
    fields_.clear();
    for (const Span &s : spans_)
        fields_.emplace_back(s.unquoted ? buf_.data() + s.offset : unquoted_.data() + s.offset, s.length);
    raw_ = std::string_view(buf_.data() + begin_, record_end - begin_);
    begin_ = next_begin;
    return true;
}

// ---- fields ------------------------------------------------------------------------

void append_csv_field(std::string &line, std::string_view field) {
    if (field.find_first_of(",\"\r\n") == std::string_view::npos) {
        line += field;
        return;
    }
    line.push_back('"');
    for (char c : field) {
        if (c == '"') line.push_back('"');
        line.push_back(c);
    }
    line.push_back('"');
}

// ---- the table job ---------------------------------------------------------------------------

namespace {

struct Column {
    std::string name;
    Program program;
    std::u32string text;  // a character result, kept for later columns
};

// Statuses other than OK met while the job ran, summed per column, function and status.
struct Tally {
    std::size_t column;
    std::string function;
    QvStatus status;
    std::size_t rows;
    std::size_t first_line;
};

class TableRun {
public:
    TableRun(const TableJob &job, std::FILE *out, std::FILE *err) : job_(job), out_(out), err_(err) {}

    int run(const Lookup &lookup, HostPool *pool, std::FILE *in) {
        // The rows done before an error are written out all the same.
        const int status = rows(lookup, pool, in);
        if (!flush()) return 1;
        if (status == 0) report();
        return status;
    }

private:
    int rows(const Lookup &lookup, HostPool *pool, std::FILE *in) {
        CsvReader reader(in);
        if (!reader.next()) {
            fail(reader.error().empty() ? "no header line" : reader.error());
            return 1;
        }
        // Names are matched without the blanks that often follow the commas of a header.
        for (std::string_view f : reader.fields()) header_.emplace_back(trim_blanks(f));
        if (!compile(lookup, pool)) return 1;

        block_ += reader.raw();
        for (const Column &c : columns_) {
            block_.push_back(',');
            append_csv_field(block_, c.name);
        }
        block_.push_back('\n');
        if (!write()) return 1;

        const std::size_t width = header_.size();
        while (reader.next()) {
            const auto &fields = reader.fields();
            if (fields.size() != width) {
                if (width > 1 && reader.raw().empty()) continue;  // a blank line is no row
                fail("line " + std::to_string(reader.line()) + " has " + std::to_string(fields.size()) + " field" +
                     (fields.size() == 1 ? "" : "s") + ", the header has " + std::to_string(width));
                return 1;
            }
            if (!row(fields, reader.line())) return 1;
            block_ += reader.raw();
            for (std::size_t j = 0; j < columns_.size(); ++j) {
                block_.push_back(',');
                if (columns_[j].program.is_char())
                    append_csv_field(block_, to_utf8(columns_[j].program.text()));
                else
                    append_number(block_, columns_[j].program.number());
            }
            block_.push_back('\n');
            if (!write()) return 1;
        }
        if (!reader.error().empty()) {
            fail(reader.error());
            return 1;
        }
        return 0;
    }

    void fail(const std::string &message) {
        std::fprintf(err_, "qvfnc: %s: %s\n", job_.input_name.c_str(), message.c_str());
    }

    bool compile(const Lookup &lookup, HostPool *pool) {
        std::vector<std::string> names(header_.begin(), header_.end());
        use_.assign(header_.size(), 0);
        columns_.reserve(job_.assignments.size());
        for (const std::string &a : job_.assignments) {
            const auto eq = a.find('=');
            const std::string name(trim_blanks(std::string_view(a).substr(0, eq == std::string::npos ? 0 : eq)));
            if (name.empty()) {
                std::fprintf(err_, "qvfnc: '%s' is not of the form name=EXPRESSION\n", a.c_str());
                return false;
            }
            if (std::find(names.begin(), names.end(), name) != names.end()) {
                std::fprintf(err_, "qvfnc: %s: the table already has a column %s\n", name.c_str(), name.c_str());
                return false;
            }
            const ParseResult parsed = parse_expression(std::string_view(a).substr(eq + 1));
            Error error;
            Column column{name, Program{}, {}};
            if (parsed.error) error = *parsed.error;
            if (parsed.error || !column.program.compile(*parsed.node, lookup, names, pool, error)) {
                std::fprintf(err_, "qvfnc: %s: %s\n", name.c_str(), error.message.c_str());
                return false;
            }
            // An earlier new column has one kind of value for every row.
            const auto &uses = column.program.uses();
            for (std::size_t j = 0; j < columns_.size(); ++j) {
                const unsigned use = uses[header_.size() + j];
                const bool chr = columns_[j].program.is_char();
                if ((chr && (use & USE_NUM)) || (!chr && (use & USE_CHR))) {
                    std::fprintf(err_, "qvfnc: %s: column %s holds %s\n", name.c_str(), columns_[j].name.c_str(),
                                 chr ? "character values, not numbers" : "numbers, not character values");
                    return false;
                }
            }
            for (std::size_t i = 0; i < header_.size(); ++i) use_[i] |= uses[i];
            names.push_back(name);
            columns_.push_back(std::move(column));
        }
        vars_.assign(names.size(), VarValue{});
        texts_.assign(header_.size(), std::u32string());
        return true;
    }

    bool row(const std::vector<std::string_view> &fields, std::size_t line) {
        for (std::size_t i = 0; i < header_.size(); ++i) {
            if (use_[i] & USE_NUM && !read_cell(fields[i], vars_[i].num)) {
                fail("line " + std::to_string(line) + ", column " + header_[i] + ": cannot read '" +
                     std::string(fields[i]) + "' as a number");
                return false;
            }
            if (use_[i] & USE_CHR) {
                texts_[i].clear();
                append_u32(texts_[i], fields[i]);
                vars_[i].chars = texts_[i].data();
                vars_[i].length = texts_[i].size();
            }
        }
        for (std::size_t j = 0; j < columns_.size(); ++j) {
            Column &c = columns_[j];
            c.program.run(vars_.data());
            VarValue &v = vars_[header_.size() + j];
            if (c.program.is_char()) {
                c.text.assign(c.program.text());
                v.chars = c.text.data();
                v.length = c.text.size();
            } else {
                v.num = c.program.number();
            }
            for (const Note &note : c.program.notes()) count(j, note, line);
        }
        return true;
    }

    void count(std::size_t column, const Note &note, std::size_t line) {
        for (Tally &t : tallies_) {
            if (t.column == column && t.status == note.status && t.function == note.function) {
                ++t.rows;
                return;
            }
        }
        tallies_.push_back({column, note.function, note.status, 1, line});
    }

    void report() {
        for (const Tally &t : tallies_)
            std::fprintf(err_, "qvfnc: note: %s: %s in %s on %zu row%s (first on line %zu)\n",
                         columns_[t.column].name.c_str(), status_name(t.status).c_str(), t.function.c_str(), t.rows,
                         t.rows == 1 ? "" : "s", t.first_line);
    }

    // Output lines gather in a block that goes out once it is large.
    bool write() {
        return block_.size() < (1u << 16) || flush();
    }
    bool flush() {
        const bool ok = std::fwrite(block_.data(), 1, block_.size(), out_) == block_.size() && std::fflush(out_) == 0;
        block_.clear();
        if (!ok) std::fprintf(err_, "qvfnc: cannot write the output: %s\n", std::strerror(errno));
        return ok;
    }

    const TableJob &job_;
    std::FILE *out_;
    std::FILE *err_;
    std::vector<std::string> header_;
    std::vector<Column> columns_;
    std::vector<unsigned> use_;
    std::vector<VarValue> vars_;
    std::vector<std::u32string> texts_;
    std::vector<Tally> tallies_;
    std::string block_;
};

}  // namespace

int run_table(const TableJob &job, const Lookup &lookup, HostPool *pool, std::FILE *in, std::FILE *out,
              std::FILE *err) {
    return TableRun(job, out, err).run(lookup, pool, in);
}

}  // namespace qvhost
