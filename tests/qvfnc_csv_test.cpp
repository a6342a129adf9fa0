// qvfnc tables: the CSV reader on every buffer size, and the table job end to end.
#include <gtest/gtest.h>

#include <random>

#include "csv.hpp"
#include "qvfnc_fakes.hpp"

namespace {

std::FILE *open_text(const std::string &text) {
    return text.empty() ? std::tmpfile() : fmemopen(const_cast<char *>(text.data()), text.size(), "rb");
}

// Reads text with the given buffer size; records as "line:field|field", joined by " / ".
std::string read_all(const std::string &text, std::size_t chunk) {
    std::FILE *in = open_text(text);
    qvhost::CsvReader reader(in, chunk);
    std::string out;
    while (reader.next()) {
        out += (out.empty() ? "" : " / ") + std::to_string(reader.line()) + ":";
        for (std::size_t i = 0; i < reader.fields().size(); ++i) out += (i ? "|" : "") + std::string(reader.fields()[i]);
        if (reader.raw().ends_with('\r')) out += "<CR ends raw>";
    }
    if (!reader.error().empty()) out += " ! " + reader.error();
    std::fclose(in);
    return out;
}

TEST(Read, SameRecordsOnEveryBufferSize) {
    const std::pair<const char *, const char *> rows[] = {
        {"a,b\n1,2\n", "1:a|b / 2:1|2"},  {"a,b\r\n1,\r\n", "1:a|b / 2:1|"},
        {"a,b\n1,2", "1:a|b / 2:1|2"},    {"\xEF\xBB\xBFx\n", "1:x"},
        {"\"\",,\n", "1:||"},              {"\"ab\"c,d\"e\n", "1:abc|d\"e"},
        {"a\n\nb\n", "1:a / 2: / 3:b"},   {"", ""},
        {"\"a,b\",\"say \"\"hi\"\"\"\r\n", "1:a,b|say \"hi\""},
        {"\"two\nlines\",x\ny,z\n", "1:two\nlines|x / 3:y|z"},
        {"a\n\"open,1\n2\n", "1:a ! unterminated quoted field in the record starting at line 2"}};
    for (const auto &[text, expected] : rows)
        for (std::size_t chunk : {1, 2, 3, 5, 64 * 1024})
            EXPECT_EQ(read_all(text, chunk), expected) << text << " chunk " << chunk;
}

// Random tables written with append_csv_field and random line ends read back field for field.
TEST(Read, RandomTablesRoundTrip) {
    std::mt19937 gen(11);
    const char alphabet[] = {'a', ' ', ',', '"', '\n', '\r', 'x'};
    for (int round = 0; round < 200; ++round) {
        std::string text, expected;
        const unsigned rows = 1 + gen() % 6, width = 1 + gen() % 4;
        std::size_t line = 1;
        for (unsigned r = 0; r < rows; ++r, ++line) {
            expected += (r ? " / " : "") + std::to_string(line) + ":";
            for (unsigned c = 0; c < width; ++c) {
                std::string field(gen() % 5, 'a');
                for (char &ch : field) ch = alphabet[gen() % sizeof alphabet];
                if (width == 1 && field.empty()) field = "a";  // a blank line holds one empty field
                text += c ? "," : "";
                qvhost::append_csv_field(text, field);
                expected += (c ? "|" : "") + field;
                line += std::count(field.begin(), field.end(), '\n');
            }
            text += gen() % 2 ? "\r\n" : "\n";
        }
        ASSERT_EQ(read_all(text, 1 + gen() % 13), expected) << text;
    }
}

struct JobRow {
    const char *input;
    std::vector<std::string> assignments;
    const char *out, *err;
    int status;
};

class Job : public testing::TestWithParam<JobRow> {};

TEST_P(Job, OutputErrorsAndStatus) {
    const JobRow &r = GetParam();
    const std::string input = r.input;
    std::FILE *in = open_text(input);
    char *text[2] = {};
    std::size_t size[2] = {};
    std::FILE *out = open_memstream(&text[0], &size[0]), *err = open_memstream(&text[1], &size[1]);
    EXPECT_EQ(qvhost::run_table({r.assignments, "t.csv"}, fakes::lookup, nullptr, in, out, err), r.status);
    for (std::FILE *f : {in, out, err}) std::fclose(f);
    EXPECT_EQ(text[0], std::string(r.out)) << r.input;
    EXPECT_EQ(text[1], std::string(r.err)) << r.input;
    for (char *t : text) std::free(t);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Job,
    testing::Values(
        JobRow{"a,b\n", {"x=SUM(a,b)"}, "a,b,x\n", "", 0},
        JobRow{"a, b\r\n1,2\r\n\"3\",\"4\"\r\n", {"x=SUM(a,b)", "y=SQRT(x)"},
               "a, b,x,y\n1,2,3,1.7320508075688772\n\"3\",\"4\",7,2.6457513110645907\n", "", 0},
        JobRow{"a\n.\n.B\n\n 2 \n-1\n", {"x=SUM(a)"}, "a,x\n.,.\n.B,.\n,.\n 2 ,2\n-1,.\n",
               "qvfnc: note: x: missing argument in SUM on 3 rows (first on line 2)\n"
               "qvfnc: note: x: invalid argument in SUM on 1 row (first on line 6)\n", 0},
        // Marks from one row must not leak into the next.
        JobRow{"a,b\n1,2\n\n-3,4\n5,6\n", {"x=SUM(a,b)"}, "a,b,x\n1,2,3\n-3,4,.\n5,6,11\n",
               "qvfnc: note: x: invalid argument in SUM on 1 row (first on line 4)\n", 0},
        JobRow{"n,s\nx,\"p,q\"\n", {"c=COALESCEC('', s)", "w=COALESCEC(n, c)"}, "n,s,c,w\nx,\"p,q\",\"p,q\",x\n", "", 0},
        JobRow{"\"temp C\"\n9\n", {"r=SQRT(\"temp c\")"}, "\"temp C\",r\n9,3\n", "", 0},
        JobRow{"a,b\n1,2\n3\n", {"x=SUM(a)"}, "a,b,x\n1,2,1\n", "qvfnc: t.csv: line 3 has 1 field, the header has 2\n", 1},
        JobRow{"a,b\n1,2\nx1,2\n", {"x=SUM(a)"}, "a,b,x\n1,2,1\n",
               "qvfnc: t.csv: line 3, column a: cannot read 'x1' as a number\n", 1},
        JobRow{"a\n1\n\"2\n", {"x=SUM(a)"}, "a,x\n1,1\n",
               "qvfnc: t.csv: unterminated quoted field in the record starting at line 3\n", 1},
        JobRow{"", {"x=SUM(a)"}, "", "qvfnc: t.csv: no header line\n", 1},
        JobRow{"ab\n1\n", {"x=SUM(b)"}, "", "qvfnc: x: unknown column name b at column 5 (did you mean ab?)\n", 1},
        JobRow{"a\n1\n", {"x=SUM(a,"}, "", "qvfnc: x: syntax error at column 7: expression expected, found end of input\n", 1},
        JobRow{"a\n1\n", {"SUM(a)"}, "", "qvfnc: 'SUM(a)' is not of the form name=EXPRESSION\n", 1},
        JobRow{"a\n1\n", {"a=SUM(a)"}, "", "qvfnc: a: the table already has a column a\n", 1},
        JobRow{"a\n1\n", {"c=COALESCEC('x')", "y=SUM(c)"}, "", "qvfnc: y: column c holds character values, not numbers\n", 1},
        JobRow{"a\n1\n", {"x=SUM(a)", "y=COALESCEC(x)"}, "", "qvfnc: y: column x holds numbers, not character values\n", 1}));

}  // namespace
