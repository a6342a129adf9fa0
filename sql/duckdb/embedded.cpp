// The package inside the extension: libqvewumth.so's bytes are part of this file (put there when
// the extension is built), so that one file is all a DuckDB user installs. The bytes are written
// to an anonymous in-memory file and opened from there; the package's own file is used instead
// when QV_LIB names one, or when the in-memory file cannot be made.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "extension.hpp"

// The bytes of libqvewumth.so, between qv_package_begin and qv_package_end.
__asm__(".section .rodata.qvpackage,\"a\"\n"
        ".balign 64\n"
        ".globl qv_package_begin\n.hidden qv_package_begin\nqv_package_begin:\n"
        ".incbin \"" QV_PACKAGE_FILE "\"\n"
        ".globl qv_package_end\n.hidden qv_package_end\nqv_package_end:\n"
        ".previous\n");
extern "C" const unsigned char qv_package_begin[], qv_package_end[];

namespace qvduck {

namespace {

bool write_all(int fd, const unsigned char *p, std::size_t n) {
    while (n > 0) {
        const ssize_t k = ::write(fd, p, n);
        if (k <= 0) return false;
        p += k;
        n -= static_cast<std::size_t>(k);
    }
    return true;
}

int open_embedded(qvh_package **out) {
    const int fd = memfd_create("libqvewumth.so", MFD_CLOEXEC);
    if (fd < 0) return qvh_open(nullptr, out);
    int rc = QVH_E_OPEN;
    if (write_all(fd, qv_package_begin, static_cast<std::size_t>(qv_package_end - qv_package_begin))) {
        const std::string path = "/proc/self/fd/" + std::to_string(fd);
        rc = qvh_open(path.c_str(), out);  // the loader keeps its own mapping; the descriptor may go
    }
    ::close(fd);
    return rc == QVH_OK ? rc : qvh_open(nullptr, out);
}

}  // namespace

int open_package(qvh_package **out) {
    const char *lib = std::getenv("QV_LIB");
    return lib != nullptr && *lib != '\0' ? qvh_open(nullptr, out) : open_embedded(out);
}

}  // namespace qvduck
