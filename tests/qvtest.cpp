// The row tests' calls and checks (declared, with what they check, in qvtest.hpp).
#include "qvtest.hpp"

#include <cmath>
#include <cstdio>
#include <sstream>

namespace qvt {

qvhost::Package &package() {
    static qvhost::Package p;
    return p;
}

std::string show(double x) {
    char buf[80];
    std::snprintf(buf, sizeof buf, "0x%016llX (%.17g)", static_cast<unsigned long long>(bits_of(x)), x);
    return buf;
}

Result call(std::string_view name, const std::vector<Arg> &args, qvhost::CountingPool *pool) {
    Result r;
    const FuncTableRow *fr = package().find(name);
    const qvh_info *info = qvhost::find_function(name);
    if (fr == nullptr || fr->entry.scalar == nullptr || info == nullptr || info->form == QVH_FORM_CHAR_LIST) {
        ADD_FAILURE() << name << " is no function of the package returning a number";
        return r;
    }
    qvhost::CountingPool own;
    qvhost::CountingPool &p = pool ? *pool : own;
    qvhost::ArgList list(p.host());
    for (const Arg &a : args) a.numeric ? list.num(a.x) : list.chr(a.s);
    std::vector<std::uint64_t> before;
    for (std::size_t i = 0; i < args.size(); ++i) before.push_back(list.flags(i));
    double out = from_bits(UNWRITTEN);
    if (info->form == QVH_FORM_SCALAR) {
        EXPECT_EQ(args.size(), 1u) << name << " takes one number";
        r.status = fr->entry.scalar(&out, args.at(0).x);
    } else {
        r.status = fr->entry.list(list.get(), &out);
    }
    EXPECT_NE(bits_of(out), UNWRITTEN) << name << " wrote no result";
    r.value = out;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const CharValue *cv = args[i].numeric ? nullptr : &list.char_value(i);
        EXPECT_TRUE(cv ? std::u32string(reinterpret_cast<const char32_t *>(cv->chars), cv->length) == args[i].s
                       : bits_of(list.value(i)) == bits_of(args[i].x)) << name << " changed argument " << i + 1;
        EXPECT_EQ(list.flags(i) & ~FUNCARG_INVALID, before[i] & ~FUNCARG_INVALID)
            << name << " changed descriptor bits of argument " << i + 1;
        if (list.marked(i)) r.marked.push_back(static_cast<int>(i + 1));
    }
    EXPECT_EQ(p.outstanding(), 0u) << name << " kept a scratch block";
    // What the catalogue promises about every call of the function.
    const unsigned may = r.status == STATUS_OK           ? unsigned{QVH_MAY_OK}
                       : r.status == STATUS_MISSING_ARG  ? unsigned{QVH_MAY_MISSING_ARG}
                       : r.status == STATUS_INVALID_ARG  ? unsigned{QVH_MAY_INVALID_ARG}
                       : r.status == STATUS_NO_SCRATCH   ? unsigned{QVH_MAY_NO_SCRATCH} : 0u;
    EXPECT_NE(info->statuses & may, 0u) << name << " gave status " << std::hex << r.status;
    EXPECT_TRUE(info->marks != 0 || r.marked.empty()) << name << " marked an argument";
    return r;
}

Result callc(const std::vector<Arg> &args, std::uint16_t capacity) {
    Result r;
    qvhost::CountingPool pool;
    qvhost::ArgList list(pool.host());
    for (const Arg &a : args) list.chr(a.s);
    std::u32string buffer(capacity + 4u, U'#');
    CharValue out{capacity, 0xBEEF, {}, reinterpret_cast<std::uint32_t *>(buffer.data())};
    r.status = package().find("COALESCEC")->entry.charList(list.get(), &out);
    EXPECT_TRUE(out.capacity == capacity && reinterpret_cast<char32_t *>(out.chars) == buffer.data());
    EXPECT_LE(out.length, capacity);
    EXPECT_EQ(buffer.substr(capacity), U"####") << "COALESCEC wrote past the capacity";
    r.text = buffer.substr(0, std::min<std::size_t>(out.length, capacity));
    return r;
}

void append(const std::string &t, std::vector<double> &v) {
    const std::size_t run = t.find(".."), copies = t.find('*');
    if (copies != std::string::npos) {
        std::vector<double> one;
        append(t.substr(copies + 1), one);
        return v.resize(v.size() + std::stoul(t), one.at(0));
    }
    if (t[0] == '.') return v.push_back(miss(t.size() > 1 ? t[1] : '.'));
    if (t[0] == '#') return v.push_back(from_bits(std::stoull(t.substr(1), nullptr, 16)));
    if (run != std::string::npos) {
        for (int i = std::stoi(t); i <= std::stoi(t.substr(run + 2)); ++i) v.push_back(i);
        return;
    }
    char *end = nullptr;
    double x = std::strtod(t.c_str(), &end);
    for (; *end == '>' || *end == '<'; ++end) x = std::nextafter(x, *end == '>' ? INFINITY : -INFINITY);
    v.push_back(x);
}

double value(const std::string &token) {
    std::vector<double> v;
    append(token, v);
    return v.at(0);
}

void check_row(const std::string &text) {
    SCOPED_TRACE(text);
    std::istringstream in(text);
    std::string name, t, want, st = "ok", at = "@0";
    std::vector<double> args, expected;
    for (in >> name; in >> t && t != "=";) append(t, args);
    in >> want;
    for (std::string tok; in >> tok;) (tok[0] == '@' ? at : st) = tok;
    const std::size_t tilde = want.find('~');
    append(want == "*" ? "0" : want.substr(0, tilde), expected);
    std::vector<int> marks;
    for (std::size_t i = 1; st[0] == '!' && i < st.size(); i += 2) marks.push_back(st[i] - '0');
    qvhost::CountingPool pool;
    const Result r = call(name, nums(args), &pool);
    if (want == "*") {
        EXPECT_FALSE(qv::is_missing(r.value)) << show(r.value);
    } else if (tilde == std::string::npos) {
        EXPECT_SAME(r.value, expected[0]);
    } else {
        const double ulp = std::nextafter(std::fabs(expected[0]), INFINITY) - std::fabs(expected[0]);
        EXPECT_NEAR(r.value, expected[0], std::stod(want.substr(tilde + 1)) * ulp);
    }
    EXPECT_EQ(r.status, st[0] == '?' ? STATUS_MISSING_ARG : st[0] == '!' ? STATUS_INVALID_ARG : STATUS_OK);
    EXPECT_EQ(r.marked, marks);
    const std::uint64_t block = std::stoull(at.substr(1));
    ASSERT_EQ(pool.requests().size(), block ? 1u : 0u);
    if (block == 0) return;
    EXPECT_TRUE(pool.requests()[0].size == block && pool.requests()[0].flags == 0);
    pool.refuse_all(true);
    const Result refused = call(name, nums(args), &pool);
    EXPECT_EQ(refused.status, STATUS_NO_SCRATCH);
    EXPECT_SAME(refused.value, DOT);
}

TEST_P(Rows, ResultStatusMarksAndScratch) { check_row(GetParam()); }
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(Rows);  // programs without rows link this too

}  // namespace qvt
