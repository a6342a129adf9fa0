// The part array's layout: its block, how its values are spread over the parts, each part put in
// order, and the check of its invariants.
#include "parts.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "audit.hpp"

namespace qvhost {

// The array grows at least twice over, so a growing frame lays it out again a few times only. Past
// 2 * PART values it has twice the room it is asked for, the parts' room to spare.
bool PartArray::reserve(std::size_t n) noexcept {
    const AuditOnExit<PartArray> audited(*this, audits_, "part array");
    if (n <= room_ && (n <= 2 * PART || 2 * n <= room_)) return true;
    std::size_t room = room_ < 16 ? 16 : 2 * room_;
    const std::size_t want = n <= 2 * PART ? std::bit_ceil(n) : (2 * n + 2 * PART - 1) / (2 * PART) * (2 * PART);
    if (room < want) room = want;
    if (room > 2 * MOST) room = 2 * MOST;
    if (room > 2 * PART) room = room / (2 * PART) * (2 * PART);  // whole parts
    auto *p = static_cast<double *>(mem_.alloc(block_bytes(room)));
    if (p == nullptr) return false;
    sort_parts();
    std::size_t at = 0;  // the parts one after another: one sorted run (which keeps no numbers)
    for (std::size_t k = 0; count_ > 0 && k < parts_; ++k) {
        std::memcpy(p + at, part(k), part_count_[k] * sizeof(double));
        at += part_count_[k];
    }
    mem_.release(values_, block_bytes(room_));
    values_ = p;
    room_ = room;
    seqs_ = reinterpret_cast<std::uint32_t *>(p + room);
    where_ = reinterpret_cast<std::uint16_t *>(seqs_ + room);
    where_mask_ = std::bit_ceil(room) - 1;
    std::fill(seqs_, seqs_ + room, UNKNOWN);
    std::fill(where_, where_ + where_mask_ + 1, UINT16_MAX);  // no room: nothing put anywhere yet
    parts_ = 1;
    part_count_[0] = static_cast<std::uint32_t>(count_);
    part_room_ = room;
    if (parts_for(count_) > 1) relayout();
    else pad_run();
    return true;
}

std::size_t PartArray::parts_for(std::size_t count) const noexcept {
    std::size_t parts = count / PART;
    if (parts > room_ / (2 * PART)) parts = room_ / (2 * PART);
    if (parts > PARTS) parts = PARTS;
    return parts < 1 ? 1 : parts;
}

// The parts gathered into one sorted run at the start (each moves down or stays), then spread
// evenly from the last (each moves up or stays: a part's room is at least its share). A part's
// room past its values holds infinities, so that a search reads the whole room and never
// branches on the part's count.
void PartArray::relayout(bool fix) noexcept {
    sort_parts();
    // Bags pay for themselves only while a part seldom fills or empties: each such layout puts
    // every part in order first. A window whose values drift (a trend, a random walk) fills and
    // empties parts every hundred rows or so; it keeps every part in order instead, until a
    // stretch of twice its count of changes passes with no part filled or emptied (allow_bags).
    // The numbers go with the values while there may be bags; the one run keeps none.
    const bool numbered = bags_ && parts_ > 1;
    if (fix) {
        bags_ = changes_ - last_fix_ >= 2 * count_;
        last_fix_ = changes_;
    }
    std::size_t at = 0;
    for (std::size_t k = 0; k < parts_; ++k) {
        std::memmove(values_ + at, part(k), part_count_[k] * sizeof(double));
        if (numbered && bags_) std::memmove(seqs_ + at, seqs_of(k), part_count_[k] * sizeof(std::uint32_t));
        at += part_count_[k];
    }
    if (!numbered && bags_) std::fill(seqs_, seqs_ + count_, UNKNOWN);
    parts_ = parts_for(count_);
    part_room_ = parts_ == 1 ? room_ : 2 * PART;
    for (std::size_t k = parts_; k-- > 0;) {
        const std::size_t lo = k * count_ / parts_, hi = (k + 1) * count_ / parts_;
        std::memmove(part(k), values_ + lo, (hi - lo) * sizeof(double));
        if (bags_) std::memmove(seqs_of(k), seqs_ + lo, (hi - lo) * sizeof(std::uint32_t));
        part_count_[k] = static_cast<std::uint32_t>(hi - lo);
        if (parts_ > 1) std::fill(part(k) + (hi - lo), part(k) + part_room_, HUGE_VAL);
    }
    pad_run();
    count_parts();
    sorted_ = ALL_PARTS;
}

// The values of a part in order, each with its number (a part holds 2 * PART at most).
void PartArray::sort_part(std::size_t p) const noexcept {
    struct Numbered {
        double v;
        std::uint32_t seq;
    } pairs[2 * PART];
    double *values = part(p);
    std::uint32_t *seqs = seqs_of(p);
    const std::size_t n = part_count_[p];
    for (std::size_t k = 0; k < n; ++k) pairs[k] = {values[k], seqs[k]};
    std::sort(pairs, pairs + n, [](const Numbered &a, const Numbered &b) { return a.v < b.v; });
    for (std::size_t k = 0; k < n; ++k) {
        values[k] = pairs[k].v;
        seqs[k] = pairs[k].seq;
    }
    sorted_ |= PartMask{1} << p;
}

void PartArray::sort_parts() const noexcept {
    for (std::size_t p = 0; p < parts_; ++p)
        if (!in_order(p)) sort_part(p);
}

void PartArray::pad_run() noexcept {
    if (parts_ == 1 && count_ < run_room()) std::fill(values_ + count_, values_ + run_room(), HUGE_VAL);
}

void PartArray::count_parts() noexcept {
    std::size_t end = 0;
    for (std::size_t k = 0; k < PARTS; ++k) {
        if (k < parts_) {
            end += part_count_[k];
            part_ends_[k] = static_cast<std::uint32_t>(end);
            part_last_[k] = part_count_[k] > 0 ? part(k)[part_count_[k] - 1] : -HUGE_VAL;
        } else {
            part_count_[k] = 0;
            part_ends_[k] = UINT32_MAX / 2;
            part_last_[k] = HUGE_VAL;
        }
    }
}

// No part filled or emptied for a while: parts may be bags again, their values' numbers unknown.
void PartArray::allow_bags() noexcept {
    bags_ = true;
    for (std::size_t p = 0; p < parts_; ++p) std::fill(seqs_of(p), seqs_of(p) + part_count_[p], UNKNOWN);
}

void PartArray::clear() noexcept {
    parts_ = 1;
    part_room_ = room_;
    part_count_[0] = 0;
    count_ = 0;
    sorted_ = ALL_PARTS;
    bags_ = true;
    last_fix_ = changes_;
    if (values_ != nullptr) pad_run();
}

void PartArray::release() noexcept {
    mem_.release(values_, block_bytes(room_));
    values_ = nullptr;
    seqs_ = nullptr;
    where_ = nullptr;
    room_ = part_room_ = count_ = 0;
    parts_ = 1;
    part_count_[0] = 0;
    sorted_ = ALL_PARTS;
}

// Part p's own invariants: its values in its bound, in order where they are kept so, and
// infinities past them.
const char *PartArray::check_part(std::size_t p) const noexcept {
    const double *values = part(p);
    const std::size_t n = part_count_[p];
    const std::size_t room = parts_ == 1 ? run_room() : part_room_;
    for (std::size_t k = n; k < room; ++k)
        if (values[k] != HUGE_VAL) return "a place past a part's values is not infinity";
    if (parts_ == 1) {
        for (std::size_t k = 1; k < n; ++k)
            if (values[k] < values[k - 1]) return "the one run is out of order";
        return nullptr;
    }
    if (n == 0) return "a part is empty";
    const double floor = p > 0 ? part_last_[p - 1] : -HUGE_VAL;
    for (std::size_t k = 0; k < n; ++k) {
        if (values[k] > part_last_[p]) return "a value is above its part's bound";
        if (values[k] < floor) return "a value is below the bound of the part before";
        if (in_order(p) && k > 0 && values[k] < values[k - 1]) return "a part in order is out of order";
    }
    return nullptr;
}

const char *PartArray::check() const noexcept {
    if (room_ == 0) return values_ == nullptr && count_ == 0 ? nullptr : "values without a block";
    if (room_ > 2 * MOST || (room_ <= 2 * PART ? !std::has_single_bit(room_) : room_ % (2 * PART) != 0))
        return "the room is neither a power of two nor whole parts";
    if (where_mask_ + 1 != std::bit_ceil(room_)) return "the places by number do not cover the room";
    if (parts_ < 1 || parts_ > PARTS) return "the parts are too many or none";
    if (parts_ == 1 ? part_room_ != room_ : part_room_ != 2 * PART || parts_ * part_room_ > room_)
        return "the parts' room does not fit the block";
    std::size_t total = 0;
    for (std::size_t p = 0; p < parts_; ++p) {
        if (part_count_[p] > part_room_) return "a part holds more than its room";
        total += part_count_[p];
        if (parts_ > 1 && part_ends_[p] != total) return "a part's end is not the running count";
        if (const char *fault = check_part(p)) return fault;
    }
    if (total != count_) return "the parts' counts do not add up to the count";
    for (std::size_t p = parts_; parts_ > 1 && p < PARTS; ++p)
        if (part_ends_[p] <= count_ || part_last_[p] != HUGE_VAL) return "a part past the last is not above every rank";
    return nullptr;
}

}  // namespace qvhost
