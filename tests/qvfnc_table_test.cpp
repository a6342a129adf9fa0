// qvfnc tables through the real package: the reader on every buffer size and separator, the
// row job and the summary job end to end, summaries bit for bit against one call of the
// function over each group's values, results that are no number, and memory refused.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <sstream>

#include <unistd.h>

#include "csv.hpp"
#include "lines.hpp"
#include "program.hpp"
#include "table.hpp"
#include "host_package.hpp"

namespace {

qvh_package *package() { return qvt::host_package(); }

std::FILE *open_text(const std::string &text) {
    std::FILE *f = std::tmpfile();
    std::fwrite(text.data(), 1, text.size(), f);
    std::rewind(f);
    return f;
}

// Reads text with the given buffer size; records as "line:field|field", joined by " / ".
std::string read_all(const std::string &text, std::size_t chunk, char sep = ',') {
    std::FILE *in = open_text(text);
    qvcli::CsvReader reader(in, sep, chunk);
    std::string out;
    while (reader.next()) {
        out += (out.empty() ? "" : " / ") + std::to_string(reader.line()) + ":";
        for (std::size_t i = 0; i < reader.fields().size(); ++i) {
            if (i > 0) out += '|';
            out += reader.fields()[i];
        }
        if (reader.raw().ends_with('\r')) out += "<CR ends raw>";
    }
    if (!reader.error().empty()) out += " ! " + reader.error();
    std::fclose(in);
    return out;
}

TEST(Read, SameRecordsOnEveryBufferSize) {
    const std::tuple<const char *, char, const char *> rows[] = {
        {"a,b\n1,2\n", ',', "1:a|b / 2:1|2"},
        {"a,b\r\n1,\r\n", ',', "1:a|b / 2:1|"},
        {"a,b\n1,2", ',', "1:a|b / 2:1|2"},
        {"\xEF\xBB\xBFx\n", ',', "1:x"},
        {"\"\",,\n", ',', "1:||"},
        {"\"ab\"c,d\"e\n", ',', "1:abc|d\"e"},
        {"a\n\nb\n", ',', "1:a / 2: / 3:b"},
        {"", ',', ""},
        {"\"a,b\",\"say \"\"hi\"\"\"\r\n", ',', "1:a,b|say \"hi\""},
        {"\"two\nlines\",x\ny,z\n", ',', "1:two\nlines|x / 3:y|z"},
        {"a\n\"open,1\n2\n", ',', "1:a ! unterminated quoted field in the record starting at line 2"},
        {"a\tb,c\n\"x\ty\"\t2\n", '\t', "1:a|b,c / 2:x\ty|2"},
        {"a;b\n1,5;2\n", ';', "1:a|b / 2:1,5|2"}};
    for (const auto &[text, sep, expected] : rows)
        for (std::size_t chunk : {1, 2, 3, 5, 64 * 1024})
            EXPECT_EQ(read_all(text, chunk, sep), expected) << text << " chunk " << chunk;
}

struct JobRow {
    std::string input;
    std::vector<std::string> assignments;
    std::function<void(qvcli::TableJob &)> options;
    const char *out, *err;
    int status;
};

std::pair<std::string, std::string> run_job(const std::string &input, qvcli::TableJob job, qvcli::TableOutcome &outcome) {
    job.input_name = "t.csv";
    std::FILE *in = open_text(input);
    char *text[2] = {};
    std::size_t size[2] = {};
    std::FILE *out = open_memstream(&text[0], &size[0]), *err = open_memstream(&text[1], &size[1]);
    outcome = qvcli::run_table(job, package(), in, out, err);
    for (std::FILE *f : {in, out, err}) std::fclose(f);
    std::pair<std::string, std::string> result(text[0], text[1]);
    for (char *t : text) std::free(t);
    return result;
}

void PrintTo(const JobRow &r, std::ostream *os) { *os << '"' << r.input.substr(0, 40) << '"'; }

const auto none = [](qvcli::TableJob &) {};

class Job : public testing::TestWithParam<JobRow> {};

TEST_P(Job, OutputErrorsAndStatus) {
    const JobRow &r = GetParam();
    qvcli::TableJob job;
    job.assignments = r.assignments;
    r.options(job);
    qvcli::TableOutcome outcome;
    const auto [out, err] = run_job(r.input, job, outcome);
    EXPECT_EQ(out, r.out);
    EXPECT_EQ(err, r.err);
    EXPECT_EQ(outcome.status, r.status);
    EXPECT_EQ(outcome.notes, outcome.status == 0 && !std::string(r.err).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Job,
    testing::Values(
        JobRow{"a,b\n", {"x=SUM(a,b)"}, none, "a,b,x\n", "", 0},
        JobRow{"a, b\r\n1,2\r\n\"3\",\"4\"\r\n", {"x=a+b", "y=SQRT(x)"}, none,
               "a, b,x,y\n1,2,3,1.7320508075688772\n\"3\",\"4\",7,2.6457513110645907\n", "", 0},
        JobRow{"t06,t12\n3.3,7.0\n,1\n", {"d=t12-t06", "f=t12*1.8+32", "s=SUM(t12, -t06)"}, none,
               "t06,t12,d,f,s\n3.3,7.0,3.7,44.6,3.7\n,1,.,33.8,1\n",
               "qvfnc: note: d: missing operand in - on 1 row (first on line 3)\n"
               "qvfnc: note: s: missing operand in - on 1 row (first on line 3)\n", 0},
        JobRow{"a\n.\n.B\n\n 2 \n-1\n", {"x=SQRT(a)"}, none, "a,x\n.,.\n.B,.\n,.\n 2 ,1.4142135623730951\n-1,.\n",
               "qvfnc: note: x: missing argument in SQRT on 3 rows (first on line 2)\n"
               "qvfnc: note: x: invalid argument in SQRT on 1 row (first on line 6)\n", 0},
        JobRow{"n,s\nx,\"p,q\"\n", {"c=COALESCEC('', s)", "w=COALESCEC(n, c)", "\"my \"\"w\"\"\"=w"}, none,
               "n,s,c,w,\"my \"\"w\"\"\"\nx,\"p,q\",\"p,q\",x,x\n", "", 0},
        JobRow{"\"temp C\"\n9\n", {"r=SQRT(\"temp c\")"}, none, "\"temp C\",r\n9,3\n", "", 0},
        JobRow{"a,b\nNA,inf\nnull,-inf\nnan,1e999\n", {"x=a", "y=b*2"}, [](auto &j) { j.na = {"NA", "null"}; },
               "a,b,x,y\nNA,inf,.,inf\nnull,-inf,.,-inf\nnan,1e999,.,inf\n", "", 0},
        JobRow{"a\tb\n1\t\"x\ty\"\n", {"n=a*2", "s=COALESCEC(b)"}, [](auto &j) { j.sep = '\t'; j.ofs = ';'; },
               "a;b;n;s\n1;x\ty;2;x\ty\n", "", 0},
        JobRow{"1,2\n3,4\n", {"s=c1+c2"}, [](auto &j) { j.header = false; }, "1,2,3\n3,4,7\n", "", 0},
        JobRow{"a,b\n1,2\n", {"x=a/3", "y=SQRT(-b)"},
               [](auto &j) { j.format.digits = 3; j.format.missing_set = true; j.format.missing_token = "NA"; j.keep = {"y", "X"}; },
               "x,y\n0.333,NA\n", "qvfnc: note: y: invalid argument in SQRT on 1 row (first on line 2)\n", 0},
        JobRow{"a,b,c\n1,2,3\n", {"x=a"}, [](auto &j) { j.drop = {"b"}; }, "a,c,x\n1,3,1\n", "", 0},
        JobRow{"a,b\n1,x\n2\n3,4,5\n", {"s=a+b"}, [](auto &j) { j.lenient = true; }, "a,b,s\n1,x,.\n2,,.\n3,4,7\n",
               "qvfnc: note: cells of column b that are no number, read as .: 1 (first on line 2)\n"
               "qvfnc: note: s: missing operand in + on 2 rows (first on line 2)\n"
               "qvfnc: note: rows with fewer fields than the header, padded with empty cells: 1 (first on line 3)\n"
               "qvfnc: note: rows with more fields than the header, cut to its 2: 1 (first on line 4)\n", 0},
        JobRow{"a,b\n1,2\n3\n", {"x=a+1"}, none, "a,b,x\n1,2,2\n",
               "qvfnc: t.csv: line 3: the row has 1 field, the header 2 (--lenient reads it all the same)\n", 1},
        JobRow{"s\nab\n" + std::string(65536, 'x') + "\n", {"c=COALESCEC(s)"}, none, "s,c\nab,ab\n",
               "qvfnc: t.csv: line 3: expression 1: COALESCEC: argument 1 holds 65536 characters; a character value "
               "holds at most 65535\n", 1},
        // The output separator follows the input's unless --ofs is given.
        JobRow{"a\tb\n1\t2\n", {"s=a+b", "t=inf - b"}, [](auto &j) { j.sep = '\t'; }, "a\tb\ts\tt\n1\t2\t3\tinf\n", "", 0},
        // A name that is not a plain word, written bare, reads as something else: the hint quotes it.
        JobRow{"Solar.R,mean-temp\n1,2\n", {"a=Solar.R+1"}, none, "",
               "qvfnc: syntax error at character 8 of expression 1: operator expected, found '.' (write it as "
               "\"Solar.R\")\n", 1},
        JobRow{"Solar.R,mean-temp\n1,2\n", {"a=1", "b=2*MEAN-temp"}, [](auto &j) { j.labels = {"", "line 4 of f"}; }, "",
               "qvfnc: unknown column MEAN at character 5 of line 4 of f (write it as \"mean-temp\")\n", 1},
        JobRow{"a\n\"x\ny\"\n", {"z=a+1"}, none, "a,z\n",
               "qvfnc: t.csv: line 2: column a: cannot read 'x\\ny' as a number (--na x\\ny reads it as missing, --lenient "
               "any cell that is no number)\n", 1},
        JobRow{"\"a\nb\"\n1\n", {"x=c"}, none, "",
               "qvfnc: unknown column c at character 3 of expression 1; the header read has 1 column: a\\nb\n", 1},
        // A column compared with quoted text is compared as text, trailing blanks aside ('2' is after '10').
        JobRow{"x,s\n2,a \n10,b\n", {"e=s = 'a'", "l=x < '10'", "n=s ^= 'b'"}, none, "x,s,e,l,n\n2,a ,1,0,1\n10,b,0,0,0\n", "", 0},
        // A record that ends in a carriage return keeps it when nothing is written after it.
        JobRow{"a\r\r\nx\r\r\ny\n", {}, none, "\"a\r\"\n\"x\r\"\ny\n", "", 0},
        // Numbers are quoted when the separator is a character they are written with.
        JobRow{"a\n1\n.\n", {"x=a-3", "y=a*1e-9"}, [](auto &j) { j.ofs = '-'; }, "a-x-y\n1-\"-2\"-\"1e-09\"\n.-.-.\n",
               "qvfnc: note: x: missing operand in - on 1 row (first on line 3)\n"
               "qvfnc: note: y: missing operand in * on 1 row (first on line 3)\n", 0},
        JobRow{"a\n1\n\"2\n", {"x=a"}, none, "a,x\n1,1\n",
               "qvfnc: t.csv: unterminated quoted field in the record starting at line 3\n", 1},
        JobRow{"", {"x=a"}, none, "", "qvfnc: t.csv: no header line: the input is empty\n", 1},
        JobRow{"ab,cd\n1\n", {"x=b+1"}, none, "",
               "qvfnc: unknown column b at character 3 of expression 1 (did you mean ab?); the header read has 2 "
               "columns: ab, cd\n", 1},
        JobRow{"a\tb\n1\t2\n", {"x=a"}, none, "",
               "qvfnc: unknown column a at character 3 of expression 1; the header read has 1 column: a\\tb (it holds "
               "tabs: try --tsv)\n", 1},
        JobRow{"a,b,a\n1,2,3\n", {"x=b"}, none, "a,b,a,x\n1,2,3,2\n", "", 0},
        JobRow{"a,b,a\n1,2,3\n", {"x=A"}, none, "",
               "qvfnc: the header has the column name a 2 times (columns 1, 3); rename them apart to use it (character "
               "3 of expression 1)\n", 1},
        JobRow{"a\n1\n", {"x=SUM(a,"}, none, "", "qvfnc: syntax error at character 9 of expression 1: expression expected, found end of input\n", 1},
        JobRow{"a\n1\n", {"SUM(a)"}, none, "", "qvfnc: expression 1, 'SUM(a)', is not of the form NAME=EXPRESSION\n", 1},
        JobRow{"a\n1\n", {"a=a+1"}, none, "", "qvfnc: expression 1: the table already has a column a\n", 1},
        JobRow{"a\n1\n", {"c=COALESCEC('x')", "y=c+1"}, none, "",
               "qvfnc: column c holds character values, not numbers (character 3 of expression 2)\n", 1},
        JobRow{"a\n1\n", {"x=a"}, [](auto &j) { j.keep = {"zz"}; }, "", "qvfnc: --keep zz: the output has no such column\n", 1},
        // Summaries: one row per group in order of first appearance.
        JobRow{"g,x\nb,1\na,5\nb,3\nb,.\n", {"n=N(x)", "m=MEDIAN(x)", "p=PCTL(50, x * 2)", "r=ROUND(MEAN(x), 1) + 1"},
               [](auto &j) { j.by = {"g"}; }, "g,n,m,p,r\nb,2,2,4,3\na,1,5,10,6\n",
               "qvfnc: note: p: missing operand in * on 1 row (first on line 5)\n", 0},
        JobRow{"g,h,x\n1,a,1\n1,b,2\n1,a,4\n", {"s=SUM(x)", "k=g * 10"}, [](auto &j) { j.by = {"g", "h"}; },
               "g,h,s,k\n1,a,5,10\n1,b,2,10\n", "", 0},
        JobRow{"x\n1\n2\n", {"n=N(x)", "v=MEAN(x, -x)", "c=N()"}, [](auto &j) { j.summary = true; }, "n,v,c\n2,0,0\n", "", 0},
        // Statistics over expressions that differ only in a number keep their own values.
        JobRow{"x\n1\n2\n", {"a=MEAN(x + 1)", "b=MEAN(x + 2)", "c=MEAN(x * 2)"}, [](auto &j) { j.summary = true; },
               "a,b,c\n2.5,3.5,3\n", "", 0},
        JobRow{"x\n", {"n=N(x)", "m=MEAN(x)"}, [](auto &j) { j.summary = true; }, "n,m\n0,.\n",
               "qvfnc: note: m: missing argument in MEAN\n", 0},
        JobRow{"g,x\n1,2\n", {"y=x"}, [](auto &j) { j.by = {"g"}; }, "",
               "qvfnc: column x must be inside a statistic such as MEAN(x) (character 3 of expression 1); only the --by "
               "columns stand alone in a summary\n", 1},
        JobRow{"g,x\n1,2\n", {"p=PCTL(x, x)"}, [](auto &j) { j.by = {"g"}; }, "",
               "qvfnc: the percentile of PCTL must be the same for every row; it cannot use a column (character 8 of "
               "expression 1)\n", 1},
        JobRow{"g,x\n1,2\n", {"m=MEAN(x)", "n=MEAN(m)"}, [](auto &j) { j.by = {"g"}; }, "",
               "qvfnc: column m is a result of the summary, not a column of the table; it cannot be inside a statistic "
               "(character 8 of expression 2)\n", 1},
        JobRow{"g,x\n1,2\n", {"m=MEAN(x)"}, [](auto &j) { j.by = {"G", "y"}; }, "",
               "qvfnc: --by y: no such column; the header read has 2 columns: g, x\n", 1}));

double parse(const std::string &text) {
    double x = 0;
    EXPECT_TRUE(qvh_parse_number(text.data(), text.size(), &x)) << text;
    return x;
}

// Every statistic, by group, equals one call over the group's values in file order, bit for
// bit: for a column, for a per-row expression, for two arguments taken row by row, and for
// groups long enough that one-pass statistics stream into fixed-size states.
TEST(Summary, BitIdenticalToOneCallOverTheGroup) {
    std::mt19937_64 gen(5);
    std::string input = "g,x,y\n";
    std::map<std::string, std::vector<double>> xs, diffs, pairs;
    std::vector<std::string> order;
    const char *missing[] = {".", ".A", "._", ""};
    for (int row = 0; row < 12000; ++row) {
        // One large group and a few small ones.
        const std::string g = row % 3 == 0 ? std::string("big") : 's' + std::to_string(gen() % 7);
        if (!xs.count(g)) order.push_back(g);
        std::string x = gen() % 10 == 0 ? missing[gen() % 4] : std::to_string(static_cast<double>(gen() % 2000000) / 1000 - 1000);
        std::string y = std::to_string(static_cast<double>(gen() % 100000) / 7);
        input += g + "," + x + "," + y + "\n";
        const double vx = x.empty() ? parse(".") : parse(x), vy = parse(y);
        xs[g].push_back(vx);
        pairs[g].push_back(vx);
        pairs[g].push_back(vy);
        // The per-row expression y - x, missing when x is.
        diffs[g].push_back(qvh_is_missing(vx) ? parse(".") : vy - vx);
    }
    std::vector<const qvh_info *> stats;
    qvcli::TableJob job;
    job.by = {"g"};
    for (std::size_t i = 0; i < qvh_function_count(); ++i) {
        const qvh_info *f = qvh_function_at(i);
        if (f->aggregate == QVH_AGG_NONE) continue;
        stats.push_back(f);
        const std::string lead = f->leading_param ? "2, " : "";
        job.assignments.push_back(std::string("a") + f->name + "=" + f->name + "(" + lead + "x)");
        job.assignments.push_back(std::string("b") + f->name + "=" + f->name + "(" + lead + "y - x)");
        job.assignments.push_back(std::string("c") + f->name + "=" + f->name + "(" + lead + "x, y)");
    }
    qvcli::TableOutcome outcome;
    const auto [out, err] = run_job(input, job, outcome);
    ASSERT_EQ(outcome.status, 0) << err;
    std::FILE *result = open_text(out);
    qvcli::CsvReader reader(result);
    ASSERT_TRUE(reader.next());
    for (const std::string &g : order) {
        ASSERT_TRUE(reader.next());
        ASSERT_EQ(reader.fields()[0], g);
        for (std::size_t k = 0; k < stats.size(); ++k) {
            const std::map<std::string, std::vector<double>> *sources[] = {&xs, &diffs, &pairs};
            for (int s = 0; s < 3; ++s) {
                std::vector<double> args = sources[s]->at(g);
                if (stats[k]->leading_param) args.insert(args.begin(), 2.0);
                double expected = 0;
                std::int32_t status = 0;
                ASSERT_EQ(qvh_eval(package(), stats[k]->name, args.data(), args.size(), &expected, &status), QVH_OK);
                const std::string cell(reader.fields()[1 + 3 * k + static_cast<std::size_t>(s)]);
                EXPECT_EQ(std::bit_cast<std::uint64_t>(parse(cell)), std::bit_cast<std::uint64_t>(expected))
                    << stats[k]->name << " source " << s << " group " << g << ": " << cell;
            }
        }
    }
    EXPECT_FALSE(reader.next());
    std::fclose(result);
}

// A result that is no number is delivered as . with the note "not a number" in line mode, in the
// row job and in a summary, as the host library gives it; every other result as it gives it.
TEST(Job, NotANumberAsTheHostLibraryGivesIt) {
    const std::pair<std::string, std::vector<double>> rows[] = {
        {"KURTOSIS", {1, 2, 3, 1e155}}, {"KURTOSIS", {1, 2, 3, 2e154}}, {"SKEWNESS", {1, 2, HUGE_VAL}},
        {"STD", {1, 2, HUGE_VAL}},      {"CSS", {-HUGE_VAL, 1, 2}},     {"MEDIAN", {HUGE_VAL, -HUGE_VAL}}};
    char buf[QVH_FORMAT_MAX];
    int noted = 0;
    for (const auto &[name, xs] : rows) {
        double r = 0;
        std::int32_t status = 0;
        ASSERT_EQ(qvh_eval(package(), name.c_str(), xs.data(), xs.size(), &r, &status), QVH_OK);
        const std::string cell(buf, qvh_format(r, buf, sizeof buf)), note = std::string(qvh_status_name(status)) + " in " + name;
        std::string column, row, args;
        for (std::size_t i = 0; i < xs.size(); ++i) {
            const std::string x(buf, qvh_format(xs[i], buf, sizeof buf));
            column += x + "\n";
            row += (i ? "," : "") + x;
            args += (i ? ",c" : "c") + std::to_string(i + 1);
        }
        const bool nan = status == QVH_STATUS_NOT_A_NUMBER;
        noted += nan;
        char *text = nullptr;
        std::size_t size = 0;
        std::FILE *line = open_memstream(&text, &size);
        qvcli::LineRunner(package(), qvcli::NumberFormat{}).run(name + "(" + row + ")", "expression 1", line, stderr);
        std::fclose(line);
        EXPECT_EQ(std::string(text), cell + (status != QVH_STATUS_OK ? "  (" + note + ")\n" : "\n"));
        std::free(text);
        qvcli::TableJob by_row, summary;
        by_row.header = summary.header = false;
        by_row.assignments = {"r=" + name + "(" + args + ")"};
        summary.assignments = {"r=" + name + "(c1)"};
        summary.summary = true;
        qvcli::TableOutcome outcome;
        EXPECT_EQ(run_job(row + "\n", by_row, outcome),
                  std::make_pair(row + "," + cell + "\n", nan ? "qvfnc: note: r: " + note + " on 1 row (first on line 1)\n" : ""));
        EXPECT_EQ(run_job(column, summary, outcome), std::make_pair(cell + "\n", nan ? "qvfnc: note: r: " + note + "\n" : ""));
    }
    EXPECT_EQ(noted, 5);  // every row but KURTOSIS below the overflow
}

// Memory refused by the host library's allocator, one request later on each run until nothing is
// refused: each run stops with one line (naming the row or the group when the package ran out),
// the --out target keeps its old text, no temporary file stays; then the table is the whole one.
struct Refusal {
    long left;
    std::vector<std::size_t> refused;  // the sizes asked for and refused
};
void *refuse(void *ctx, std::size_t n) {
    auto *r = static_cast<Refusal *>(ctx);
    if (r->left-- > 0) return std::malloc(n);
    r->refused.push_back(n);
    return nullptr;
}
void release(void *, void *p, std::size_t) { std::free(p); }

TEST(Job, RefusedMemoryStopsTheJobAndKeepsTheTarget) {
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / ("qvfnc-memory-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string csv = (dir / "in.csv").string(), target = (dir / "out.csv").string();
    // A call of 300 arguments, and groups of 300 values: enough that the package needs scratch memory.
    std::string many, rows;
    for (int i = 0; i < 300; ++i) many += ", x", rows += (i % 2 ? "a," : "b,") + std::to_string(i % 7) + "\n";
    const std::pair<std::string, std::vector<std::string>> jobs[] = {
        {"g,x\na,1\nb,2\na,3\n", {"m=MEDIAN(x * 2" + many + ")"}}, {"g,x\n" + rows + rows, {"m=MEDIAN(x)", "p=PCTL(90, x)", "n=N(x)"}}};
    auto written = [&] { return (std::stringstream() << std::ifstream(target).rdbuf()).str(); };
    for (const auto &[input, assignments] : jobs) {
        std::ofstream(csv) << input;
        qvcli::TableJob job;
        job.assignments = assignments;
        if (assignments.size() > 1) job.by = {"g"};
        ASSERT_EQ(qvcli::run_table_file(job, package(), csv, target, false, stderr), 0);
        const std::string whole = written();
        bool package_status = false;
        for (long allowed = 0, status = 1; status != 0 && allowed < 1000; ++allowed) {
            qvh_package *pkg = nullptr;
            ASSERT_EQ(qvh_open(nullptr, &pkg), QVH_OK);
            Refusal r{allowed, {}};
            const qvh_allocator a{refuse, nullptr, release, &r};
            qvh_set_allocator(pkg, &a);
            std::ofstream(target) << "old\n";
            char *text = nullptr;
            std::size_t size = 0;
            std::FILE *err = open_memstream(&text, &size);
            status = qvcli::run_table_file(job, pkg, csv, target, false, err);
            std::fclose(err);
            const std::string message(text);
            std::free(text);
            qvh_close(pkg);
            EXPECT_EQ(written(), status == 0 ? whole : "old\n") << message;
            EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 2) << "a temporary file stays";
            if (status == 0) continue;
            EXPECT_TRUE(status == 1 && message.find("out of memory") != std::string::npos && message.find('\n') == message.size() - 1)
                << message;
            // The message says how much the refused request asked for.
            bool named = false;
            for (const std::size_t n : r.refused) named = named || message.find("asking for " + std::to_string(n) + " bytes") != std::string::npos;
            EXPECT_TRUE(named) << message;
            package_status = package_status || message.rfind("qvfnc: " + csv + ": line ", 0) == 0;
        }
        EXPECT_TRUE(package_status) << "no run met a memory status";
        EXPECT_EQ(written(), whole) << "memory still refused after 1000 requests";
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
