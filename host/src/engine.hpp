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

// The values qvh_call_over laid its list out for last, when that list points at them and at
// nothing else: a call over the same values finds its list laid out.
struct OverKey {
    const double *xs = nullptr;
    std::size_t n = 0;
    std::ptrdiff_t stride = 0;
    std::size_t nlead = 0;
    bool valid = false;
    bool operator==(const OverKey &o) const {
        return valid && o.valid && xs == o.xs && n == o.n && stride == o.stride && nlead == o.nlead;
    }
};

}  // namespace qvhost
