// qvfnc tables: the CSV reader on every buffer size, and the table job end to end.
#include <gtest/gtest.h>

#include <random>

#include "csv.hpp"
#include "qvfnc_fakes.hpp"

namespace {

// Reads text with the given buffer size; records as "line:field|field", joined by " / ".
std::string read_all(const std::string &text, std::size_t chunk) {
    std::FILE *in = fmemopen(const_cast<char *>(text.data()), text.size(), "rb");
    if (text.empty()) in = std::tmpfile();
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

struct ReadRow {
    const char *text, *expected;
};

class Read : public testing::TestWithParam<ReadRow> {};

TEST_P(Read, SameRecordsOnEveryBufferSize) {
    for (std::size_t chunk : {1, 2, 3, 5, 64 * 1024})
        EXPECT_EQ(read_all(GetParam().text, chunk), GetParam().expected) << GetParam().text << " chunk " << chunk;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Read,
    testing::Values(ReadRow{"a,b\n1,2\n", "1:a|b / 2:1|2"}, ReadRow{"a,b\r\n1,\r\n", "1:a|b / 2:1|"},
                    ReadRow{"a,b\n1,2", "1:a|b / 2:1|2"}, ReadRow{"\xEF\xBB\xBFx\n", "1:x"},
                    ReadRow{"\"a,b\",\"say \"\"hi\"\"\"\r\n", "1:a,b|say \"hi\""},
                    ReadRow{"\"two\nlines\",x\ny,z\n", "1:two\nlines|x / 3:y|z"}, ReadRow{"\"\",,\n", "1:||"},
                    ReadRow{"\"ab\"c,d\"e\n", "1:abc|d\"e"}, ReadRow{"a\n\nb\n", "1:a / 2: / 3:b"},
                    ReadRow{"\"\"\"\"\n", "1:\""}, ReadRow{"", ""},
                    ReadRow{"a\n\"open,1\n2\n", "1:a ! unterminated quoted field in the record starting at line 2"}));

// Random tables written with append_csv_field and random line ends read back field for field.
TEST(Read, RandomTablesRoundTrip) {
    std::mt19937 gen(11);
    const char alphabet[] = {'a', ' ', ',', '"', '\n', '\r', 'x'};
    for (int round = 0; round < 200; ++round) {
        std::string text, expected;
        const int rows = 1 + static_cast<int>(gen() % 6), width = 1 + static_cast<int>(gen() % 4);
        int line = 1;
        for (int r = 0; r < rows; ++r) {
            std::string record;
            expected += (r ? " / " : "") + std::to_string(line) + ":";
            for (int c = 0; c < width; ++c) {
                std::string field;
                for (unsigned n = gen() % 5; n > 0; --n) field.push_back(alphabet[gen() % sizeof alphabet]);
                if (width == 1 && field.empty()) field = "a";  // a blank line holds one empty field
                if (c) record.push_back(',');
                qvhost::append_csv_field(record, field);
                expected += (c ? "|" : "") + field;
                line += static_cast<int>(std::count(field.begin(), field.end(), '\n'));
            }
            text += record + (gen() % 2 ? "\r\n" : "\n");
            ++line;
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
    std::FILE *in = input.empty() ? std::tmpfile() : fmemopen(const_cast<char *>(input.data()), input.size(), "rb");
    char *out_text = nullptr, *err_text = nullptr;
    std::size_t out_size = 0, err_size = 0;
    std::FILE *out = open_memstream(&out_text, &out_size), *err = open_memstream(&err_text, &err_size);
    EXPECT_EQ(qvhost::run_table({r.assignments, "t.csv"}, fakes::lookup, nullptr, in, out, err), r.status);
    std::fclose(in);
    std::fclose(out);
    std::fclose(err);
    EXPECT_EQ(out_text, std::string(r.out)) << r.input;
    EXPECT_EQ(err_text, std::string(r.err)) << r.input;
    std::free(out_text);
    std::free(err_text);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Job,
    testing::Values(
        JobRow{"a,b\n", {"x=SUM(a,b)"}, "a,b,x\n", "", 0},
        JobRow{"a, b\r\n1,2\r\n\"3\",\"4\"\r\n", {"x=SUM(a,b)", "y=SQRT(x)"}, "a, b,x,y\n1,2,3,1.7320508075688772\n\"3\",\"4\",7,2.6457513110645907\n", "", 0},
        JobRow{"a\n.\n.B\n\n 2 \n", {"x=SUM(a)"}, "a,x\n.,.\n.B,.\n,.\n 2 ,2\n",
               "qvfnc: note: x: missing argument in SUM on 3 rows (first on line 2)\n", 0},
        JobRow{"a,b\n1,2\n\n-3,4\n", {"x=SUM(a,b)"}, "a,b,x\n1,2,3\n-3,4,.\n",
               "qvfnc: note: x: invalid argument in SUM on 1 row (first on line 4)\n", 0},
        JobRow{"n,s\nx,\"p,q\"\n", {"c=COALESCEC('', s)", "w=WHICHC(c, n, 'p,q')"}, "n,s,c,w\nx,\"p,q\",\"p,q\",2\n", "", 0},
        JobRow{"\"temp C\"\n9\n", {"r=SQRT(\"temp c\")"}, "\"temp C\",r\n9,3\n", "", 0},
        JobRow{"a,b\n1,2\n3\n", {"x=SUM(a)"}, "a,b,x\n1,2,1\n", "qvfnc: t.csv: line 3 has 1 field, the header has 2\n", 1},
        JobRow{"a,b\n1,2\nx1,2\n", {"x=SUM(a)"}, "a,b,x\n1,2,1\n", "qvfnc: t.csv: line 3, column a: cannot read 'x1' as a number\n", 1},
        JobRow{"a\n1\n\"2\n", {"x=SUM(a)"}, "a,x\n1,1\n", "qvfnc: t.csv: unterminated quoted field in the record starting at line 3\n", 1},
        JobRow{"", {"x=SUM(a)"}, "", "qvfnc: t.csv: no header line\n", 1},
        JobRow{"ab\n1\n", {"x=SUM(b)"}, "", "qvfnc: x: unknown column name b at column 5 (did you mean ab?)\n", 1},
        JobRow{"a\n1\n", {"x=SUM(a,"}, "", "qvfnc: x: syntax error at column 7: expression expected, found end of input\n", 1},
        JobRow{"a\n1\n", {"SUM(a)"}, "", "qvfnc: 'SUM(a)' is not of the form name=EXPRESSION\n", 1},
        JobRow{"a\n1\n", {"a=SUM(a)"}, "", "qvfnc: a: the table already has a column a\n", 1},
        JobRow{"a\n1\n", {"c=COALESCEC('x')", "y=SUM(c)"}, "", "qvfnc: y: column c holds character values, not numbers\n", 1},
        JobRow{"a\n1\n", {"x=SUM(a)", "y=WHICHC(x, 'a')"}, "", "qvfnc: y: column x holds numbers, not character values\n", 1}));

}  // namespace
