// The build identification record and the two marker strings that tools inspecting the image
// find, and fill in, without rebuilding.
#include <cstdint>
#include <cstring>

#include "qv/export.hpp"
#include "qvbuild.h"
#include "qvfnc.h"

namespace {

// 65 characters each: the name, '=' and a value area of blanks. The width never changes, so a
// value written into the area later does not move or lengthen the string.
constexpr char HOTFIX_MARKER[] = "KYR_VERSION_HOTFIX_NUMBER=                                       ";
constexpr char DESCRIPTION_MARKER[] = "VERCON_IMAGE_DESCRIPTION=                                        ";
static_assert(sizeof HOTFIX_MARKER == 66 && sizeof DESCRIPTION_MARKER == 66);

}  // namespace

// A const object needs extern "C" on its definition for the visibility attribute to hold.
extern "C" QV_EXPORT_DATA const BuildInfo qvvercon = {
    .productVersion = QVREV_PRODVER,
    .track = QVREV_TRACK,
    .setting16 = "",
    .utime = QVREV_UTIME,
    .prodName = "qvfnc",
    .name = "qvewumth",
    .dvd = "qvext",
    .build = QVREV_BUILD,
    .setting64 = "",
    .version = "version",
    .setting80 = "::",
    .setting88 = "",
    .hotfixMarker = HOTFIX_MARKER,
    .setting104 = "",
    .descriptionMarker = DESCRIPTION_MARKER,
    .box = QVREV_BOX,
    .zero128 = {},
};

// The copy's pointers still point into the library.
QV_EXPORT void qvvercn1(BuildInfo *destination) {
    auto *to = reinterpret_cast<unsigned char *>(destination);
    const auto *from = reinterpret_cast<const unsigned char *>(&qvvercon);
    for (std::size_t word = 0; word < sizeof(BuildInfo) / 8; ++word) std::memcpy(to + 8 * word, from + 8 * word, 8);
}
