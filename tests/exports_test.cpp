// The package's dynamic interface: exactly the interface names are exported, and it needs
// nothing at run time beyond libc and libm.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

namespace {

const std::set<std::string> INTERFACE = {
    // extension frame
    "qvewumth", "qvewumthReqVersion", "qvewumthVersion", "qvewumthDestroy", "qvextent", "Exported_QVHandle",
    "funclist", "_lib_version", "qvlMessageToBuf", "qvlMessageToJnl", "qvlStatusToBuf", "qvlStatusToJnl",
    "qvlGetLocale", "qvvercn1", "qvvercon",
    // missing values
    "pqMissVal", "pqMissArray", "pqmissv_struct", "qvmissv_table",
    // memory and string utilities
    "pqUnsup", "pqStrLen", "pqStrTLen", "pqStrCpy", "pqStrTCpy", "pqStrUp", "pqStrLow", "pqMemNot", "pqMemTNot",
    "pqMemSet", "pqMemTSet", "pqMemCmp", "pqWMemCmp", "pqMemCpy", "pqMemSCpy", "pqMemDup", "pqMemScan",
    "pqMemNScan", "pqMemTNScan",
    // small arithmetic and byte-image helpers
    "qvzcftrc", "qvzrftrc", "i32div", "intmdiv", "max", "min", "log2",
    // special functions
    "zgamma", "zlgamma", "zlgbern", "zlgammaMV", "zdigama", "ztigama", "zdigamadiff", "zln1px", "zlnSumOfExp",
    // table functions
    "qvfncabs", "qvfncacos", "qvfncasin", "qvfncatan", "qvfncata2", "qvfncceil", "qvfncceilz", "qvfnccoal",
    "qvfnccoac", "qvfnccos", "qvfnccosh", "qvfnccss", "qvfnccv", "qvfncdgam", "qvfncdiv", "qvfncexp", "qvfncflr",
    "qvfncflrz", "qvfncfuzz", "qvfncgam", "qvfncgcd", "qvfncgeom", "qvfncgeoz", "qvfncharm", "qvfncharz",
    "qvfncint", "qvfncintz", "qvfnciqr", "qvfnckurt", "qvfnclarg", "qvfnclcm", "qvfnclgam", "qvfnclg",
    "qvfnclg10", "qvfnclg2", "qvfncmad", "qvfncmax", "qvfncmean", "qvfncmed", "qvfncmin", "qvfncmis", "qvfncmod",
    "qvfncmodz", "qvfncn", "qvfncnmis", "qvfncord", "qvfncpctl", "qvfncpctl1", "qvfncpctl2", "qvfncpctl3",
    "qvfncpctl4", "qvfncrang", "qvfncrcp", "qvfncrms", "qvfncrnd", "qvfncrnde", "qvfncrndz", "qvfncsign",
    "qvfncsin", "qvfncsinh", "qvfncskew", "qvfncsmal", "qvfncsqrt", "qvfncstd", "qvfncstde", "qvfncsum",
    "qvfnctan", "qvfnctanh", "qvfnctgam", "qvfnctrnc", "qvfncuss", "qvfncvar", "qvfncwhich", "qvfncwhin",
};

std::set<std::string> lines_of(const std::string &command) {
    std::set<std::string> out;
    FILE *p = popen(command.c_str(), "r");
    if (p == nullptr) return out;
    char buf[512];
    while (std::fgets(buf, sizeof buf, p) != nullptr) {
        std::string s(buf);
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
        if (!s.empty()) out.insert(s);
    }
    pclose(p);
    return out;
}

// A sanitized build links the sanitizer runtimes and exports their markers beside the package's
// own names, so the symbol set and the dependencies are checked on plain builds only.
#ifdef __SANITIZE_ADDRESS__
#define SKIP_WHEN_SANITIZED() GTEST_SKIP() << "sanitized build"
#else
#define SKIP_WHEN_SANITIZED() (void)0
#endif

std::string library() {
    const char *lib = std::getenv("QV_LIB");
    return lib ? lib : "libqvewumth.so";
}

TEST(Exports, ExactlyTheInterfaceNames) {
    SKIP_WHEN_SANITIZED();
    const auto exported = lines_of("nm -D --defined-only " + library() + " | awk '{print $3}'");
    ASSERT_FALSE(exported.empty()) << "nm printed nothing for " << library();
    for (const std::string &name : exported) EXPECT_TRUE(INTERFACE.count(name)) << name << " is exported";
    for (const std::string &name : INTERFACE) EXPECT_TRUE(exported.count(name)) << name << " is not exported";
}

TEST(Exports, NeedsOnlyLibcAndLibm) {
    SKIP_WHEN_SANITIZED();
    const auto needed = lines_of("readelf -d " + library() + " | sed -n 's/.*(NEEDED).*\\[\\(.*\\)\\]/\\1/p'");
    ASSERT_FALSE(needed.empty());
    for (const std::string &lib : needed) EXPECT_TRUE(lib == "libc.so.6" || lib == "libm.so.6") << lib;
}

}  // namespace
