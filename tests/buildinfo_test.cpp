// The build identification record through qvvercn1, and the two marker strings in the file.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>

#include "qvtest.hpp"

namespace {

const std::string HOTFIX = "KYR_VERSION_HOTFIX_NUMBER=" + std::string(39, ' ');
const std::string DESCRIPTION = "VERCON_IMAGE_DESCRIPTION=" + std::string(40, ' ');

TEST(BuildInfo, CopyOfTheRecord) {
    const auto copy = qvt::package().fn<decltype(&qvvercn1)>("qvvercn1");
    const auto *record = qvt::package().fn<const BuildInfo *>("qvvercon");
    ASSERT_TRUE(copy != nullptr && record != nullptr);
    // The copy lands between 16 guard bytes on each side, which must stay untouched.
    struct {
        unsigned char before[16];
        BuildInfo info;
        unsigned char after[16];
    } g;
    std::memset(&g, 0xA5, sizeof g);
    copy(&g.info);
    EXPECT_EQ(std::memcmp(&g.info, record, 208), 0);
    EXPECT_EQ(std::count(g.before, g.before + 16, 0xA5) + std::count(g.after, g.after + 16, 0xA5), 32);
    EXPECT_EQ(std::count(g.info.zero128, g.info.zero128 + 80, 0), 80) << "bytes 128-207";

    const BuildInfo &info = g.info;
    for (const char *s : {info.productVersion, info.track, info.build, info.box}) EXPECT_TRUE(s != nullptr && *s);
    const std::pair<const char *, const char *> fields[] = {
        {info.setting16, ""},   {info.prodName, "qvfnc"},         {info.name, "qvewumth"},
        {info.dvd, "qvext"},    {info.setting64, ""},             {info.version, "version"},
        {info.setting80, "::"}, {info.setting88, ""},             {info.hotfixMarker, HOTFIX.c_str()},
        {info.setting104, ""},  {info.descriptionMarker, DESCRIPTION.c_str()},
    };
    for (const auto &[value, expected] : fields) EXPECT_STREQ(value ? value : "(null)", expected);
    EXPECT_GT(info.utime, 1600000000);  // 2020
    EXPECT_LE(info.utime, static_cast<std::int64_t>(std::time(nullptr)));
}

// Each marker is in the image file as a whole string: 65 characters between zero bytes.
TEST(BuildInfo, MarkersInTheImage) {
    const char *path = std::getenv("QV_LIB");
    ASSERT_NE(path, nullptr) << "QV_LIB is not set";
    std::ifstream file(path, std::ios::binary);
    const std::string image((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    for (const std::string &marker : {HOTFIX, DESCRIPTION})
        EXPECT_NE(image.find('\0' + marker + '\0'), std::string::npos) << marker;
}

}  // namespace
