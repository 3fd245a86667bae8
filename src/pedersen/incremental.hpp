#pragma once
// One long input fed in pieces. Segments are summed as soon as all their
// bytes are known, so an instance holds one point and less than a unit of
// input: the shortest run of whole bytes that is also whole segments
// (lcm(segment bits, 8) bits). The digest equals the hasher's hash of the
// pieces joined.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <numeric>
#include <span>
#include <vector>

#include "algebra/ct.hpp"
#include "algebra/encoding.hpp"
#include "pedersen/engine.hpp"

namespace pedersen {

// Input bytes are secret: a buffer that held them is wiped before it goes
// back to the heap, whether it is outgrown, copied from or destroyed.
template <class T>
struct WipingAllocator {
    using value_type = T;

    WipingAllocator() = default;
    template <class U>
    WipingAllocator(const WipingAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) { return std::allocator<T>{}.allocate(n); }
    void deallocate(T* p, std::size_t n) noexcept {
        algebra::ct::wipe(p, n * sizeof(T));
        std::allocator<T>{}.deallocate(p, n);
    }

    template <class U>
    bool operator==(const WipingAllocator<U>&) const noexcept {
        return true;
    }
};

using SecretBytes = std::vector<std::uint8_t, WipingAllocator<std::uint8_t>>;

// Hasher: a ConfigurablePedersen or a CachingPedersen. The methods take the
// hasher each time (const where it never grows) instead of holding it, so
// that its owner decides how it is shared.
template <class Hasher>
class Incremental {
  public:
    using Point = typename Hasher::Point;

    explicit Incremental(const Hasher& hasher) {
        const std::uint64_t bits = hasher.segment_bits();
        if (bits == 0) return;  // no input fits; update() refuses every byte
        const std::uint64_t common = std::gcd(bits, std::uint64_t{8});
        unit_bytes_ = bits / common;
        unit_segments_ = 8 / common;
    }

    // Bytes fed so far.
    std::uint64_t size() const { return total_; }

    // All or nothing: when it throws (the capacity fault, an interruption,
    // memory), the state is as before the call.
    template <class H>
    void update(H& hasher, std::span<const std::uint8_t> data, Checkpoint checkpoint = {}) {
        if (data.empty()) return;
        hasher.check_capacity(total_ + data.size());  // the fault hash() gives the joined input
        if (pending_.size() + data.size() < unit_bytes_) {
            pending_.insert(pending_.end(), data.begin(), data.end());
            total_ += data.size();
            return;
        }
        pending_.reserve(static_cast<std::size_t>(unit_bytes_));  // so that the commit cannot fail
        Point acc = acc_;
        std::uint64_t segment = segment_;
        std::size_t at = 0;
        if (!pending_.empty()) {
            at = static_cast<std::size_t>(unit_bytes_) - pending_.size();
            SecretBytes unit(pending_);
            unit.insert(unit.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(at));
            add(hasher, acc, segment, unit, checkpoint);
        }
        const std::size_t whole = (data.size() - at) / unit_bytes_ * unit_bytes_;
        if (whole != 0) add(hasher, acc, segment, data.subspan(at, whole), checkpoint);
        at += whole;
        acc_ = acc;
        segment_ = segment;
        total_ += data.size();
        // Within capacity; wiped first, so that no byte of the old unit
        // outlives it past the new end.
        algebra::ct::wipe(pending_.data(), pending_.size());
        pending_.assign(data.begin() + static_cast<std::ptrdiff_t>(at), data.end());
    }

    // The hash of everything fed so far; the state does not change.
    template <class H>
    algebra::Bytes32 digest(H& hasher, Checkpoint checkpoint = {}) const {
        Point acc = acc_;
        if (!pending_.empty()) {
            hasher.prepare(segment_, pending_.size(), checkpoint);
            acc.add_assign(hasher.sum(pending_, segment_, checkpoint));
        }
        return Hasher::Definition::encode(acc.to_affine());
    }

  private:
    // acc += whole units `bytes` at `segment`, which moves past them.
    template <class H>
    void add(H& hasher, Point& acc, std::uint64_t& segment, std::span<const std::uint8_t> bytes,
             Checkpoint checkpoint) const {
        hasher.prepare(segment, bytes.size(), checkpoint);
        acc.add_assign(hasher.sum(bytes, segment, checkpoint));
        segment += bytes.size() / unit_bytes_ * unit_segments_;
    }

    Point acc_ = Point::identity();
    SecretBytes pending_;  // fewer than unit_bytes_ bytes, from segment segment_ on
    std::uint64_t segment_ = 0;
    std::uint64_t total_ = 0;
    std::uint64_t unit_bytes_ = ~std::uint64_t{0};
    std::uint64_t unit_segments_ = 0;
};

}  // namespace pedersen
