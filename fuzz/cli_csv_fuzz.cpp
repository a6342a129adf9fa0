// Fuzz target: the command line's delimited-table reader and the table jobs over what it reads.
// The input is the table, optionally followed by a zero byte and the job:
//
//   byte 0      the separator (a double quote, CR or LF reads as a comma, as --sep refuses them)
//   byte 1      the read size: 1 + byte % 64 bytes, so that records cross the ends of reads
//   byte 2      options: bit 0 no header, 1 --lenient, 2 --summary, 3 --by the first column,
//               4 --na NA --na -, 5 another output separator, 6 four significant digits,
//               7 missing values written as NULL
//   the rest    up to four assignments NAME=EXPRESSION, one a line; $1 to $9 stand for the name
//               of that column (modulo the width), in double quotes
//
// Without a job: commas, reads of 3 bytes, a header and two assignments.
//
// The reader is checked record by record: the records and their line ends make up the input
// exactly (after a byte-order mark); a record read again by itself, and its fields written again
// with append_field, give the same fields; each record starts on the line after the last one's
// line ends, counted with the line ends inside quotes; an error is one line. The table job, row
// by row or as a summary, writes to memory: every line of its messages is one "qvfnc: " message;
// a complete table reads back with the same number of fields in every record, and a row job gives
// one row per row of the input, starting with the input's fields.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "csv.hpp"
#include "program.hpp"
#include "table.hpp"

namespace {

using qvfuzz::fail;

constexpr std::string_view BOM = "\xEF\xBB\xBF";

qvh_package *package() {
    static qvcli::Package *p = [] {
        auto *pkg = new qvcli::Package;
        std::string error;
        if (!pkg->open("", error)) fail("%s", error.c_str());
        return pkg;
    }();
    return p->get();
}

// A stream over a copy of text with a file descriptor of its own, as the reader wants one.
std::FILE *open_text(std::string_view text) {
    const int fd = memfd_create("cli_csv_fuzz", 0);
    if (fd < 0) fail("memfd_create failed");
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n <= 0) fail("cannot write the input");
        done += static_cast<std::size_t>(n);
    }
    lseek(fd, 0, SEEK_SET);
    std::FILE *f = fdopen(fd, "r");
    if (f == nullptr) fail("fdopen failed");
    return f;
}

struct Record {
    std::size_t line;
    std::string raw;
    std::vector<std::string> fields;
};

// Every record of text; false with the error when the reader stops on one.
bool read_all(std::string_view text, char sep, std::size_t chunk, std::vector<Record> &records, std::string &error) {
    std::FILE *in = open_text(text);
    qvcli::CsvReader reader(in, sep, chunk);
    while (reader.next()) records.push_back({reader.line(), std::string(reader.raw()),
                                             std::vector<std::string>(reader.fields().begin(), reader.fields().end())});
    error = reader.error();
    std::fclose(in);
    return error.empty();
}

std::string show(const std::vector<std::string> &fields) {
    std::string s;
    for (std::size_t i = 0; i < fields.size(); ++i) s += (i ? "|" : "") + fields[i];
    return s;
}

// One record read again by itself from text, which holds nothing else.
void same_fields(const std::string &text, char sep, const Record &r, const char *how) {
    std::vector<Record> again;
    std::string error;
    if (!read_all(text, sep, 1 << 16, again, error) || again.size() != 1 || again[0].fields != r.fields)
        fail("the record of line %zu (%s) read %s gives %zu record(s)%s%s instead of '%s'", r.line, r.raw.c_str(), how,
             again.size(), again.empty() ? "" : ": ", again.empty() ? error.c_str() : show(again[0].fields).c_str(),
             show(r.fields).c_str());
}

void check_reader(std::string_view input, char sep, std::size_t chunk) {
    std::vector<Record> records;
    std::string error;
    const bool complete = read_all(input, sep, chunk, records, error);
    if (!complete && error.find_first_of("\r\n") != std::string::npos) fail("reader error of more than one line: %s", error.c_str());
    std::size_t at = input.substr(0, 3) == BOM ? 3 : 0, line = 1;
    for (const Record &r : records) {
        if (r.line != line) fail("a record read as line %zu starts on line %zu", r.line, line);
        if (input.substr(at, r.raw.size()) != r.raw) fail("the record of line %zu is not the input at byte %zu", r.line, at);
        at += r.raw.size();
        if (input.substr(at, 2) == "\r\n") at += 2;
        else if (input.substr(at, 1) == "\n" || input.substr(at) == "\r") at += 1;
        else if (at != input.size()) fail("the record of line %zu ends at byte %zu, before no line end", r.line, at);
        for (char c : r.raw) line += c == '\n';
        ++line;
        // The byte-order mark keeps a record that starts with one from losing it; CR LF, one that
        // ends in CR.
        same_fields(std::string(BOM) + r.raw + "\r\n", sep, r, "by itself");
        std::string written(BOM);
        for (std::size_t i = 0; i < r.fields.size(); ++i) {
            if (i > 0) written.push_back(sep);
            qvcli::append_field(written, r.fields[i], sep);
        }
        same_fields(written + "\r\n", sep, r, "as append_field writes it");
    }
    if (complete && at != input.size()) fail("the records end at byte %zu of %zu", at, input.size());
}

struct Job {
    qvcli::TableJob job;
    std::size_t chunk = 3;
    bool by_first = false;  // --by the first column, whose name is known once the header is read
};

char separator(std::uint8_t b) { return b == '"' || b == '\n' || b == '\r' ? ',' : static_cast<char>(b); }

// The name of column (d - 1) modulo the width, as the job reads it.
std::string column_name(const std::vector<Record> &records, const qvcli::TableJob &job, unsigned d) {
    const std::size_t width = records.empty() ? 1 : records[0].fields.size();
    const std::size_t c = (d - 1) % width;
    return job.header && !records.empty() ? std::string(qvcli::trim_blanks(records[0].fields[c])) : "c" + std::to_string(c + 1);
}

// The assignment with $1 to $9 replaced by those columns' names in double quotes.
std::string with_names(std::string_view a, const std::vector<Record> &records, const qvcli::TableJob &job) {
    std::string out;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i] != '$' || i + 1 >= a.size() || a[i + 1] < '1' || a[i + 1] > '9') {
            out.push_back(a[i]);
            continue;
        }
        out.push_back('"');
        for (char ch : column_name(records, job, static_cast<unsigned>(a[++i] - '0'))) out += ch == '"' ? "\"\"" : std::string(1, ch);
        out.push_back('"');
    }
    return out;
}

Job read_job(std::string_view trailer, bool given) {
    Job j;
    j.job.input_name = "t.csv";
    if (!given) {
        j.job.assignments = {"c=COALESCEC($1, 'none')", "n=NMISS($2, 0)"};
        return j;
    }
    auto byte = [&](std::size_t i) { return i < trailer.size() ? static_cast<std::uint8_t>(trailer[i]) : std::uint8_t{0}; };
    j.job.sep = separator(byte(0) == 0 ? ',' : byte(0));
    j.chunk = 1 + byte(1) % 64;
    const std::uint8_t o = byte(2);
    j.job.header = !(o & 1);
    j.job.lenient = o & 2;
    j.job.summary = o & 4;
    j.by_first = o & 8;
    if (o & 16) j.job.na = {"NA", "-"};
    if (o & 32) j.job.ofs = j.job.sep == ';' ? ',' : ';';
    if (o & 64) j.job.format.digits = 4;
    if (o & 128) j.job.format.missing_set = true, j.job.format.missing_token = "NULL";
    std::string_view rest = trailer.size() > 3 ? trailer.substr(3) : std::string_view();
    while (!rest.empty() && j.job.assignments.size() < 4) {
        const std::size_t nl = rest.find('\n');
        j.job.assignments.emplace_back(rest.substr(0, nl));
        rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
    }
    return j;
}

void check_job(std::string_view input, Job j, const std::vector<Record> &records, bool complete) {
    for (std::string &a : j.job.assignments) a = with_names(a, records, j.job);
    if (j.by_first) j.job.by = {column_name(records, j.job, 1)};
    j.job.chunk = j.chunk;
    std::FILE *in = open_text(input);
    char *text[2] = {};
    std::size_t size[2] = {};
    std::FILE *out = open_memstream(&text[0], &size[0]), *err = open_memstream(&text[1], &size[1]);
    const qvcli::TableOutcome outcome = qvcli::run_table(j.job, package(), in, out, err);
    for (std::FILE *f : {in, out, err}) std::fclose(f);
    const std::string written(text[0], size[0]), messages(text[1], size[1]);
    for (char *t : text) std::free(t);

    for (std::size_t at = 0; at < messages.size();) {
        const std::size_t nl = messages.find('\n', at);
        if (nl == std::string::npos) fail("the messages do not end in a line end: %s", messages.c_str());
        if (messages.compare(at, 7, "qvfnc: ") != 0) fail("a message of more than one line: %s", messages.c_str());
        at = nl + 1;
    }
    if (outcome.status != 0 && messages.empty()) fail("the job failed without a message");
    if (outcome.status != 0) return;
    if (!complete) fail("the job succeeded on an input the reader stops in");

    // The table written reads back with every record as wide as the first.
    const char ofs = j.job.ofs != 0 ? j.job.ofs : j.job.sep;
    std::vector<Record> table;
    std::string error;
    if (!read_all(std::string(BOM) + written, ofs, 1 << 16, table, error)) fail("the output does not read back: %s", error.c_str());
    const bool summary = j.job.summary || !j.job.by.empty();
    const std::size_t width = records[0].fields.size();
    // A summary of no columns writes blank lines, which read as one empty field.
    const std::size_t expected_width = std::max<std::size_t>((summary ? j.job.by.size() : width) + j.job.assignments.size(), 1);
    for (const Record &r : table)
        if (r.fields.size() != expected_width)
            fail("the output record of line %zu has %zu fields, not %zu: %s", r.line, r.fields.size(), expected_width, r.raw.c_str());
    if (summary) {
        if (table.size() > records.size() + 1) fail("a summary of %zu records wrote %zu", records.size(), table.size());
        return;
    }
    // One row per row of the input, each starting with its fields; blank lines are no rows.
    std::size_t next = j.job.header ? 1 : 0;
    for (std::size_t i = j.job.header ? 1 : 0; i < records.size(); ++i) {
        const Record &r = records[i];
        if (r.fields.size() != width && width > 1 && r.raw.empty()) continue;
        if (next >= table.size()) fail("the row of line %zu is missing from the output", r.line);
        std::vector<std::string> cells = r.fields;
        cells.resize(width);
        const std::vector<std::string> got(table[next].fields.begin(), table[next].fields.begin() + static_cast<std::ptrdiff_t>(width));
        if (got != cells) fail("the row of line %zu is written as '%s'", r.line, table[next].raw.c_str());
        ++next;
    }
    if (next != table.size()) fail("the output has %zu records, the input %zu rows", table.size(), next);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    package();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string_view whole(reinterpret_cast<const char *>(data), size);
    const std::size_t zero = whole.find('\0');
    const std::string_view input = whole.substr(0, zero);
    const bool given = zero != std::string_view::npos;
    const Job j = read_job(given ? whole.substr(zero + 1) : std::string_view(), given);

    check_reader(input, j.job.sep, j.chunk);

    std::vector<Record> records;
    std::string error;
    const bool complete = read_all(input, j.job.sep, 1 << 16, records, error);
    if (records.empty()) records.push_back({1, "", {""}});
    check_job(input, j, records, complete);
    return 0;
}
