// What the engine entries share: the interrupt check a call or aggregate consults as it goes.
#pragma once

#include <cstddef>

#include "qvhost.h"

namespace qvhost {

// The program's interrupt check, consulted once per QVH_CHECK_EVERY units of work (values laid
// out or passed to the package, rows written).
class Interrupt {
public:
    void set(qvh_interrupt_fn check, void *ctx) noexcept {
        check_ = check;
        ctx_ = ctx;
        left_ = QVH_CHECK_EVERY;
    }
    // True when units more of work bring the next check due and the check asks to stop.
    bool due(std::size_t units) noexcept {
        if (check_ == nullptr) return false;
        if (units < left_) {
            left_ -= units;
            return false;
        }
        left_ = QVH_CHECK_EVERY;
        return check_(ctx_) != 0;
    }

private:
    qvh_interrupt_fn check_ = nullptr;
    void *ctx_ = nullptr;
    std::size_t left_ = QVH_CHECK_EVERY;
};

}  // namespace qvhost
