// The build identification record through qvvercn1, and the two marker strings in the file.
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>

#include "qvtest.hpp"

namespace {

const std::string HOTFIX = "KYR_VERSION_HOTFIX_NUMBER=" + std::string(39, ' ');
const std::string DESCRIPTION = "VERCON_IMAGE_DESCRIPTION=" + std::string(40, ' ');

TEST(BuildInfo, CopyOfTheRecord) {
    const auto copy = qvt::package().fn<decltype(&qvvercn1)>("qvvercn1");
    const auto *record = qvt::package().fn<const BuildInfo *>("qvvercon");
    ASSERT_TRUE(copy != nullptr && record != nullptr);
    // The destination lies between 16 guard bytes on each side, which must stay untouched.
    unsigned char buffer[16 + sizeof(BuildInfo) + 16];
    std::memset(buffer, 0xA5, sizeof buffer);
    copy(reinterpret_cast<BuildInfo *>(buffer + 16));
    EXPECT_EQ(std::memcmp(buffer + 16, record, sizeof(BuildInfo)), 0);
    for (std::size_t i : {0, 15, 16 + 208, 16 + 208 + 15}) EXPECT_EQ(buffer[i], 0xA5) << "guard byte " << i;
    BuildInfo info;
    std::memcpy(&info, buffer + 16, sizeof info);
    for (std::size_t i = 0; i < sizeof info.zero128; ++i) EXPECT_EQ(info.zero128[i], 0) << "byte " << 128 + i;

    const struct {
        const char *value, *expected;  // null: any non-empty string
    } fields[] = {
        {info.productVersion, nullptr}, {info.track, nullptr}, {info.setting16, ""}, {info.prodName, "qvfnc"},
        {info.name, "qvewumth"}, {info.dvd, "qvext"}, {info.build, nullptr}, {info.setting64, ""},
        {info.version, "version"}, {info.setting80, "::"}, {info.setting88, ""}, {info.hotfixMarker, HOTFIX.c_str()},
        {info.setting104, ""}, {info.descriptionMarker, DESCRIPTION.c_str()}, {info.box, nullptr},
    };
    for (const auto &f : fields) {
        ASSERT_NE(f.value, nullptr);
        EXPECT_STREQ(f.value, f.expected ? f.expected : (*f.value ? f.value : "(non-empty)"));
    }
    EXPECT_GT(info.utime, 1600000000);  // 2020
    EXPECT_LE(info.utime, static_cast<std::int64_t>(std::time(nullptr)));
}

// Each marker is in the image file as a whole string: 65 characters between zero bytes.
TEST(BuildInfo, MarkersInTheImage) {
    const char *path = std::getenv("QV_LIB");
    ASSERT_NE(path, nullptr) << "QV_LIB is not set";
    std::ifstream file(path, std::ios::binary);
    ASSERT_TRUE(file) << path;
    const std::string image((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    for (const std::string &marker : {HOTFIX, DESCRIPTION}) {
        ASSERT_EQ(marker.size(), 65u);
        EXPECT_NE(image.find('\0' + marker + '\0'), std::string::npos) << marker;
    }
}

}  // namespace
