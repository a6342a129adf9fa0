#include "loader.hpp"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "catalogue.hpp"

namespace qvhost {

namespace {

bool readable(const std::string &path) { return !path.empty() && access(path.c_str(), R_OK) == 0; }

std::string folder_of(const std::string &path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string{} : path.substr(0, slash);
}

// The file this code was loaded from: the shared host library, or the program itself.
std::string own_file() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void *>(&default_library_path), &info) != 0 && info.dli_fname != nullptr &&
        std::strchr(info.dli_fname, '/') != nullptr) {
        char buf[PATH_MAX];
        if (realpath(info.dli_fname, buf) != nullptr) return buf;
    }
    char buf[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string{};
}

#if defined(__x86_64__)
constexpr unsigned MACHINE = EM_X86_64;
#elif defined(__aarch64__)
constexpr unsigned MACHINE = EM_AARCH64;
#else
constexpr unsigned MACHINE = EM_NONE;
#endif

// Checks that path is a 64-bit shared object of this machine whose loadable segments lie
// inside the file, so that mapping it cannot fault on a truncated copy. Returns an empty
// string when it is, else what is wrong.
std::string check_image(const std::string &path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::strerror(errno);
    struct stat st{};
    Elf64_Ehdr eh{};
    std::string why;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        why = "not a regular file";
    } else if (pread(fd, &eh, sizeof eh, 0) != static_cast<ssize_t>(sizeof eh) ||
               std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0) {
        why = "not a shared library (no ELF header)";
    } else if (eh.e_ident[EI_CLASS] != ELFCLASS64 || eh.e_ident[EI_DATA] != ELFDATA2LSB || eh.e_type != ET_DYN ||
               (MACHINE != EM_NONE && eh.e_machine != MACHINE) || eh.e_phentsize != sizeof(Elf64_Phdr)) {
        why = "not a 64-bit shared library for this machine";
    } else {
        const auto size = static_cast<std::uint64_t>(st.st_size);
        if (eh.e_phoff > size || eh.e_phnum * sizeof(Elf64_Phdr) > size - eh.e_phoff) {
            why = "truncated (program headers past the end of the file)";
        } else {
            for (unsigned i = 0; i < eh.e_phnum && why.empty(); ++i) {
                Elf64_Phdr ph{};
                if (pread(fd, &ph, sizeof ph, static_cast<off_t>(eh.e_phoff + i * sizeof ph)) != static_cast<ssize_t>(sizeof ph)) {
                    why = "unreadable program header";
                } else if (ph.p_type == PT_LOAD && (ph.p_offset > size || ph.p_filesz > size - ph.p_offset)) {
                    why = "truncated (a segment reaches past the end of the file)";
                }
            }
        }
    }
    close(fd);
    return why;
}

}  // namespace

std::string default_library_path(std::string *passed_over) {
    if (const char *env = std::getenv("QV_LIB"); env != nullptr && *env != '\0') return env;
    const std::string own = own_file(), dir = folder_of(own);
    if (!dir.empty()) {
        for (const char *rel : {"/libqvewumth.so", "/../libqvewumth.so", "/../lib/libqvewumth.so"
#ifdef QV_RELATIVE_LIBDIR
                                ,
                                "/" QV_RELATIVE_LIBDIR "/libqvewumth.so"
#endif
             }) {
            if (std::string candidate = dir + rel; readable(candidate)) return candidate;
        }
        if (passed_over != nullptr) *passed_over = own;
    }
#ifdef QV_INSTALL_LIBDIR
    return QV_INSTALL_LIBDIR "/libqvewumth.so";
#else
    return "libqvewumth.so";
#endif
}

std::string row_name(const FuncTableRow &row) {
    std::string name;
    for (std::uint32_t c : row.name) {
        if (c == U' ') break;
        name.push_back(static_cast<char>(c));
    }
    return name;
}

Package::Package(const std::string &path, bool with_locale)
    : path_(path.empty() ? default_library_path(&passed_over_) : path), with_locale_(with_locale) {
    if (!load() && handle_ != nullptr) {
        if (instance_ != nullptr) instance_->destroy(instance_);
        instance_ = nullptr;
        dlclose(handle_);
        handle_ = nullptr;
    }
}

bool Package::load() {
    if (const std::string why = check_image(path_); !why.empty()) {
        // Both places: beside the library or program that looked, and where it was installed.
        error_ = "cannot load " + path_ + ": " + why;
        if (!passed_over_.empty()) error_ += " (and there is no libqvewumth.so beside " + passed_over_ + ")";
        return false;
    }
    handle_ = dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char *why = dlerror();
        error_ = "cannot load " + path_ + ": " + (why ? why : "unknown error");
        return false;
    }
    auto entry = fn<ExtInstance *(*)(HostKernel *, HostLocale *)>("qvewumth");
    if (entry == nullptr || symbol("funclist") == nullptr || symbol("qvewumthDestroy") == nullptr) {
        error_ = path_ + " is not the function package (it has no entry point qvewumth)";
        return false;
    }
    instance_ = entry(kernel_.host(), with_locale_ ? messages_.host() : nullptr);
    if (instance_ == nullptr) {
        error_ = "the package could not create its instance (no memory)";
        return false;
    }
    // The table must hold the rows this host knows, in its order.
    const FuncTableRow *row = instance_->funcTable;
    for (const qvh_info &f : functions()) {
        if (row == nullptr || row_name(*row) != f.name) {
            error_ = path_ + " is not this version of the function package (its table has " +
                     (row ? row_name(*row) : std::string("no rows")) + " where " + f.name + " belongs)";
            return false;
        }
        ++row;
    }
    return true;
}

Package::~Package() {
    if (instance_ != nullptr) instance_->destroy(instance_);
    if (handle_ != nullptr) dlclose(handle_);
}

void *Package::symbol(const char *name) const { return handle_ ? dlsym(handle_, name) : nullptr; }

const FuncTableRow *Package::find(std::string_view name) const {
    if (instance_ == nullptr || name.empty() || name.size() > QV_NAME_CHARS) return nullptr;
    std::uint32_t key[QV_NAME_CHARS];
    for (std::size_t i = 0; i < QV_NAME_CHARS; ++i)
        key[i] = i < name.size() ? static_cast<std::uint32_t>(std::toupper(static_cast<unsigned char>(name[i]))) : U' ';
    for (const FuncTableRow *row = instance_->funcTable;; ++row) {
        bool end = true;
        for (std::uint32_t c : row->name) end = end && c == U' ';
        if (end) return nullptr;
        bool same = true;
        for (std::size_t i = 0; i < QV_NAME_CHARS && same; ++i) same = row->name[i] == key[i];
        if (same) return row;
    }
}

}  // namespace qvhost
