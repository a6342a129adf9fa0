// Part of the shared library only. The C++ runtime and unwinder linked into libqvhost.so refer to
// two C library functions that are newer than the oldest C library the library supports (2.34):
// arc4random (2.36, for std::random_device, which this library never makes) and _dl_find_object
// (2.35, the unwinder's lookup of the unwind tables of an address). Defined here, hidden, those
// references bind inside the library, so it loads where the C library lacks them. The static
// archive leaves them out: a program that links it keeps its C library's own.
#include <dlfcn.h>
#include <link.h>
#include <sys/random.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>

#define QV_HIDDEN __attribute__((visibility("hidden")))

namespace {

// Where dl_iterate_phdr looks for the object that holds pc.
struct Lookup {
    const char *pc;
    const char *start = nullptr, *end = nullptr;  // the object's loaded segments
    void *eh_frame = nullptr;                     // its PT_GNU_EH_FRAME segment
    bool found = false;
};

int visit(dl_phdr_info *info, std::size_t, void *data) {
    auto *f = static_cast<Lookup *>(data);
    const char *start = nullptr, *end = nullptr;
    void *eh_frame = nullptr;
    bool inside = false;
    for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr) &ph = info->dlpi_phdr[i];
        const char *at = reinterpret_cast<const char *>(info->dlpi_addr + ph.p_vaddr);
        if (ph.p_type == PT_LOAD) {
            inside = inside || (f->pc >= at && f->pc < at + ph.p_memsz);
            if (start == nullptr || at < start) start = at;
            if (at + ph.p_memsz > end) end = at + ph.p_memsz;
        } else if (ph.p_type == PT_GNU_EH_FRAME) {
            eh_frame = const_cast<char *>(at);
        }
    }
    if (!inside) return 0;
    *f = Lookup{f->pc, start, end, eh_frame, true};
    return 1;
}

}  // namespace

extern "C" {

QV_HIDDEN int _dl_find_object(void *pc, struct dl_find_object *result) noexcept {
    Lookup f{static_cast<const char *>(pc)};
    dl_iterate_phdr(visit, &f);
    if (!f.found) return -1;
    std::memset(result, 0, sizeof *result);
    result->dlfo_map_start = const_cast<char *>(f.start);
    result->dlfo_map_end = const_cast<char *>(f.end);
    result->dlfo_eh_frame = f.eh_frame;
    Dl_info info;
    void *map = nullptr;
    if (dladdr1(pc, &info, &map, RTLD_DL_LINKMAP) != 0) result->dlfo_link_map = static_cast<struct link_map *>(map);
    return 0;
}

// Random bits from the kernel's generator (getrandom, C library 2.25), as arc4random gives them.
QV_HIDDEN std::uint32_t arc4random(void) noexcept {
    std::uint32_t x = 0;
    for (;;) {
        const ssize_t n = getrandom(&x, sizeof x, 0);
        if (n == static_cast<ssize_t>(sizeof x)) return x;
        if (n < 0 && errno != EINTR) break;
    }
    // No generator to be had (a kernel before 3.17): the clock, which is all that is left.
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::uint32_t>(t.tv_nsec) ^ static_cast<std::uint32_t>(t.tv_sec * 2654435761u);
}

}  // extern "C"
