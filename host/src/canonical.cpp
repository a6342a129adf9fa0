#include "canonical.hpp"

#include <algorithm>
#include <cstring>

namespace qvhost {

std::uint64_t canonical_key(double x) noexcept {
    std::uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    return qvh_canonical_key(bits);
}

bool CanonicalFrame::grow(std::size_t n) noexcept {
    if (n <= room_) return true;
    const std::size_t room = std::max({n, room_ * 2, std::size_t{16}});
    auto *grown = static_cast<double *>(mem_.alloc(room * sizeof(double)));
    if (grown == nullptr) return false;
    if (size_ > 0) std::memcpy(grown, values_, size_ * sizeof(double));
    if (values_ != nullptr) mem_.release(values_, room_ * sizeof(double));
    values_ = grown;
    room_ = room;
    return true;
}

bool CanonicalFrame::start(const ValueStore &store) noexcept {
    size_ = 0;
    if (!grow(store.size() + 1)) {
        stop();
        return false;
    }
    store.each(0, store.size(), [&](double x) { values_[size_++] = x; });
    std::sort(values_, values_ + size_, [](double a, double b) { return canonical_key(a) < canonical_key(b); });
    on_ = true;
    return true;
}

void CanonicalFrame::stop() noexcept {
    if (values_ != nullptr) mem_.release(values_, room_ * sizeof(double));
    values_ = nullptr;
    size_ = room_ = 0;
    on_ = false;
}

std::size_t CanonicalFrame::lower(std::uint64_t key) const noexcept {
    std::size_t lo = 0, hi = size_;
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (canonical_key(values_[mid]) < key) lo = mid + 1;
        else hi = mid;
    }
    return lo;
}

bool CanonicalFrame::insert(double x) noexcept {
    if (!grow(size_ + 1)) {
        stop();
        return false;
    }
    const std::size_t at = lower(canonical_key(x));
    std::memmove(values_ + at + 1, values_ + at, (size_ - at) * sizeof(double));
    values_[at] = x;
    ++size_;
    return true;
}

void CanonicalFrame::erase(double x) noexcept {
    const std::size_t at = lower(canonical_key(x));
    if (at == size_ || canonical_key(values_[at]) != canonical_key(x)) return;
    std::memmove(values_ + at, values_ + at + 1, (size_ - at - 1) * sizeof(double));
    --size_;
}

}  // namespace qvhost
