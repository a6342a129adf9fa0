// The package for a database engine's extension: opened once per process when the first database
// or connection loads the extension, and closed when the last one lets it go.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>

#include "qvhost.h"

namespace qvsql {

class SharedPackage {
public:
    // heap: the allocator every call and aggregate of the package takes its memory from (null:
    // the C library's), set before the package is used.
    // open: how the package is opened (null: qvh_open's default, $QV_LIB or the file beside).
    using Opener = int (*)(qvh_package **out);
    explicit constexpr SharedPackage(const qvh_allocator *heap = nullptr, Opener open = nullptr)
        : heap_(heap), open_(open) {}
    SharedPackage(const SharedPackage &) = delete;
    SharedPackage &operator=(const SharedPackage &) = delete;

    // The package, opened on first use; null, with why, when it cannot be opened.
    qvh_package *acquire(std::string &why) {
        std::lock_guard lock(mutex_);
        if (pkg_ == nullptr) {
            if ((open_ != nullptr ? open_(&pkg_) : qvh_open(nullptr, &pkg_)) != QVH_OK) {
                why = qvh_errmsg();
                pkg_ = nullptr;
                return nullptr;
            }
            if (heap_ != nullptr) qvh_set_allocator(pkg_, heap_);
        }
        ++users_;
        return pkg_;
    }

    void release() noexcept {
        std::lock_guard lock(mutex_);
        if (users_ > 0 && --users_ == 0) {
            qvh_close(pkg_);
            pkg_ = nullptr;
        }
    }

private:
    std::mutex mutex_;
    qvh_package *pkg_ = nullptr;
    std::size_t users_ = 0;
    const qvh_allocator *heap_;
    Opener open_;
};

}  // namespace qvsql
