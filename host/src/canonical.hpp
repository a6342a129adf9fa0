// The canonical order of an aggregate's values: ascending by the IEEE total order of their bit
// patterns, so the missing values (negative NaNs) come first, in descending bit patterns, and -0
// comes before +0. A frame whose values are summed in this order gives the same bits in every
// engine, however the engine hands the rows over.
#pragma once

#include <cstddef>
#include <cstdint>

#include "memory.hpp"

namespace qvhost {

// A key whose unsigned order is the canonical order: a negative pattern has every bit flipped, a
// positive one its sign bit set.
std::uint64_t canonical_key(double x) noexcept;

// The values of a frame in the canonical order, in one array. A value that comes or goes is found
// by binary search and the values after it move by one place: a frame that moves costs O(n)
// moves a row (what the call over its values costs anyway), not a sort. values_[0, size_) ascend
// by canonical_key.
class CanonicalFrame {
public:
    explicit CanonicalFrame(const Memory &m) : mem_(m) {}
    ~CanonicalFrame() { stop(); }
    CanonicalFrame(const CanonicalFrame &) = delete;
    CanonicalFrame &operator=(const CanonicalFrame &) = delete;

    // Whether the frame follows its aggregate's values (start() was called, and stop() not since).
    bool on() const { return on_; }
    // Takes in the values of store, sorted once. False where the memory is refused (then off).
    bool start(const ValueStore &store) noexcept;
    // Gives the memory back; the frame is off.
    void stop() noexcept;
    // A value joins or leaves. insert is false where the memory is refused (then off).
    bool insert(double x) noexcept;
    void erase(double x) noexcept;

    std::size_t size() const { return size_; }
    const double *data() const { return values_; }

private:
    bool grow(std::size_t n) noexcept;
    std::size_t lower(std::uint64_t key) const noexcept;

    Memory mem_;
    double *values_ = nullptr;
    std::size_t size_ = 0, room_ = 0;
    bool on_ = false;
};

}  // namespace qvhost
