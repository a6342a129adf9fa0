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

BuildInfo copy_of_record() {
    auto copy = qvt::package().fn<decltype(&qvvercn1)>("qvvercn1");
    EXPECT_NE(copy, nullptr);
    // The destination sits between guard bytes that must stay untouched.
    unsigned char buffer[16 + sizeof(BuildInfo) + 16];
    std::memset(buffer, 0xA5, sizeof buffer);
    if (copy != nullptr) copy(reinterpret_cast<BuildInfo *>(buffer + 16));
    for (std::size_t i = 0; i < 16; ++i) {
        EXPECT_EQ(buffer[i], 0xA5) << "byte " << i << " before the record";
        EXPECT_EQ(buffer[16 + sizeof(BuildInfo) + i], 0xA5) << "byte " << i << " after the record";
    }
    BuildInfo info;
    std::memcpy(&info, buffer + 16, sizeof info);
    return info;
}

TEST(BuildInfo, CopyIsTheExportedRecord) {
    const BuildInfo info = copy_of_record();
    const auto *record = qvt::package().fn<const BuildInfo *>("qvvercon");
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(std::memcmp(&info, record, sizeof info), 0);
    for (std::size_t i = 0; i < sizeof info.zero128; ++i) EXPECT_EQ(info.zero128[i], 0) << "byte " << 128 + i;
}

TEST(BuildInfo, Fields) {
    const BuildInfo info = copy_of_record();
    struct Field {
        const char *name;
        const char *value;
        const char *expected;  // null: any non-empty string
    } fields[] = {
        {"product version", info.productVersion, nullptr}, {"track", info.track, nullptr},
        {"byte 16", info.setting16, ""},                   {"product name", info.prodName, "qvfnc"},
        {"module name", info.name, "qvewumth"},            {"group", info.dvd, "qvext"},
        {"build root", info.build, nullptr},               {"byte 64", info.setting64, ""},
        {"version", info.version, "version"},              {"byte 80", info.setting80, "::"},
        {"byte 88", info.setting88, ""},                   {"hot-fix marker", info.hotfixMarker, HOTFIX.c_str()},
        {"byte 104", info.setting104, ""},                 {"description marker", info.descriptionMarker, DESCRIPTION.c_str()},
        {"platform", info.box, nullptr},
    };
    for (const Field &f : fields) {
        ASSERT_NE(f.value, nullptr) << f.name;
        if (f.expected != nullptr) {
            EXPECT_STREQ(f.value, f.expected) << f.name;
        } else {
            EXPECT_GT(std::strlen(f.value), 0u) << f.name;
        }
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
