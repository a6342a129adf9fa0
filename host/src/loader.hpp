// Loads the function package privately with dlopen, creates one instance through its entry
// point, finds rows by name in the instance's table copy and destroys the instance when done.
#pragma once

#include <string>
#include <string_view>

#include "qvfnc.h"
#include "standin.hpp"

namespace qvhost {

// $QV_LIB when set; else libqvewumth.so beside the host library (or beside the program when the
// host library is linked statically), in the library folder beside the program's folder, or in
// the folder it was installed to. When it is the installed one because none was found beside,
// *passed_over (when not null) names the file it was looked for beside.
std::string default_library_path(std::string *passed_over = nullptr);

class Package {
public:
    // An empty path means default_library_path().
    explicit Package(const std::string &path = {}, bool with_locale = true);
    ~Package();
    Package(const Package &) = delete;
    Package &operator=(const Package &) = delete;

    bool ok() const { return instance_ != nullptr; }
    const std::string &error() const { return error_; }
    const std::string &path() const { return path_; }

    ExtInstance *instance() const { return instance_; }
    Kernel &kernel() { return kernel_; }
    MessageService &messages() { return messages_; }

    // The row of a function by its name, in any case; null when the table has no such name.
    const FuncTableRow *find(std::string_view name) const;

    // An exported symbol of the package, or null.
    void *symbol(const char *name) const;
    template <class T>
    T fn(const char *name) const { return reinterpret_cast<T>(symbol(name)); }

private:
    bool load();
    std::string passed_over_;  // the file the package was looked for beside before path_ (none: empty)
    std::string path_;         // (after passed_over_, which its default sets)
    std::string error_;
    void *handle_ = nullptr;
    Kernel kernel_;
    MessageService messages_;
    ExtInstance *instance_ = nullptr;
    bool with_locale_;
};

// The upper-case name held in a table row, without its blank padding.
std::string row_name(const FuncTableRow &row);

}  // namespace qvhost
