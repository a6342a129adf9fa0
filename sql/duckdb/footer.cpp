// qvduckfoot: makes a DuckDB extension file from a shared object by appending the metadata
// footer DuckDB reads before it loads an extension.
//
//   qvduckfoot IN.so OUT.duckdb_extension PLATFORM CAPI_VERSION EXTENSION_VERSION [ABI_TYPE]
//
// The footer is 534 bytes: a WebAssembly custom section header (section id 0, the section's length
// 531 and the name "duckdb_signature" with their LEB128 lengths, then the payload length 512),
// eight fields of 32 bytes padded with NUL, and 256 bytes where a signature goes (NUL: unsigned).
// The fields, in file order: three unused, the ABI type, the extension's version, the C API
// version, the platform, and the magic value "4". DuckDB reads the eight fields backwards from the
// end, so their order is part of the format.
//
// OUT is written beside itself under a temporary name and renamed over OUT when complete, so a
// failed run never leaves a half-written extension behind.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr std::size_t FIELD = 32;
constexpr std::size_t SIGNATURE = 256;

bool read_all(const char *path, std::vector<char> &out) {
    std::FILE *f = std::fopen(path, "rb");
    if (f == nullptr) return false;
    char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
    const bool ok = std::ferror(f) == 0;
    std::fclose(f);
    return ok;
}

// Appends s padded with NUL to one field; false when s does not fit (the last byte stays NUL).
bool field(std::vector<char> &out, const std::string &s) {
    if (s.size() >= FIELD) return false;
    out.insert(out.end(), s.begin(), s.end());
    out.insert(out.end(), FIELD - s.size(), '\0');
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 6 && argc != 7) {
        std::fprintf(stderr, "usage: qvduckfoot IN.so OUT.duckdb_extension PLATFORM CAPI_VERSION EXTENSION_VERSION [ABI_TYPE]\n");
        return 2;
    }
    const std::string abi = argc == 7 ? argv[6] : "C_STRUCT";
    std::vector<char> file;
    if (!read_all(argv[1], file)) {
        std::fprintf(stderr, "qvduckfoot: cannot read %s: %s\n", argv[1], std::strerror(errno));
        return 1;
    }
    // Section id 0 (custom), length 531 = 1 + 16 + 2 + 8 * 32 + 256 as LEB128 (0x93 0x04), the
    // name's length 16 and the name, then the payload length 512 as LEB128 (0x80 0x04).
    static const char head[] = "\x00\x93\x04\x10" "duckdb_signature" "\x80\x04";
    file.insert(file.end(), head, head + sizeof head - 1);
    const std::string fields[8] = {"", "", "", abi, argv[5], argv[4], argv[3], "4"};
    for (const std::string &f : fields)
        if (!field(file, f)) {
            std::fprintf(stderr, "qvduckfoot: '%s' is longer than %zu bytes\n", f.c_str(), FIELD - 1);
            return 2;
        }
    file.insert(file.end(), SIGNATURE, '\0');

    const std::string out = argv[2], tmp = out + ".tmp";
    std::FILE *f = std::fopen(tmp.c_str(), "wb");
    bool ok = f != nullptr && std::fwrite(file.data(), 1, file.size(), f) == file.size();
    if (f != nullptr) ok = std::fclose(f) == 0 && ok;
    if (ok) ok = std::rename(tmp.c_str(), out.c_str()) == 0;
    if (!ok) {
        std::fprintf(stderr, "qvduckfoot: cannot write %s: %s\n", out.c_str(), std::strerror(errno));
        std::remove(tmp.c_str());
        return 1;
    }
    return 0;
}
