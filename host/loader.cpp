#include "loader.hpp"

#include <dlfcn.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdlib>

namespace qvhost {

namespace {

bool readable(const std::string &path) { return !path.empty() && access(path.c_str(), R_OK) == 0; }

std::string executable_dir() {
    char buf[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return {};
    std::string path(buf, static_cast<std::size_t>(n));
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string{} : path.substr(0, slash);
}

}  // namespace

std::string default_library_path() {
    if (const char *env = std::getenv("QV_LIB"); env != nullptr && *env != '\0') return env;
    const std::string dir = executable_dir();
    for (const char *rel : {"/libqvewumth.so", "/../libqvewumth.so", "/../lib/libqvewumth.so"}) {
        if (std::string candidate = dir + rel; !dir.empty() && readable(candidate)) return candidate;
    }
#ifdef QV_DEFAULT_LIB
    return QV_DEFAULT_LIB;
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

Package::Package(const std::string &path, bool with_locale) : path_(path.empty() ? default_library_path() : path) {
    handle_ = dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char *why = dlerror();
        error_ = "cannot load " + path_ + ": " + (why ? why : "unknown error");
        return;
    }
    auto entry = fn<ExtInstance *(*)(HostKernel *, HostLocale *)>("qvewumth");
    if (entry == nullptr) {
        error_ = path_ + " has no entry point qvewumth";
        return;
    }
    instance_ = entry(kernel_.host(), with_locale ? messages_.host() : nullptr);
    if (instance_ == nullptr) error_ = "the package could not create its instance (no memory)";
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
