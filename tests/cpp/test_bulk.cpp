// hash_many, incremental states and checkpoints, each against the hasher's
// own hash(), which the other suites check against independent references.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <new>
#include <optional>
#include <random>
#include <span>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <vector>

#include "algebra/ct.hpp"
#include "constructions/circom.hpp"
#include "constructions/configurable.hpp"
#include "pedersen/incremental.hpp"
#include "pedersen/many.hpp"
#include "constructions/zcash.hpp"
#include "test_support.hpp"

namespace {

using test_support::Bytes;

// Every shape of instance: shared tables, a custom personalization (no
// shared tables), caps too small for one full table (multiples tables, then
// base points derived per call), and the two configurable kinds.
struct Instances {
    pedersen::ZcashPedersen zcash;
    pedersen::ZcashPedersen zcash_small{{'T', 'a', 'm', 'a', 'r', 'i', 'n', 'd'}, 60'000};
    pedersen::CircomPedersen circom;
    pedersen::CircomPedersen circom_small{40'000};
    pedersen::BabyJubjubPedersen baby = pedersen::BabyJubjubPedersen::build(300, 13);  // 13-bit segments
    pedersen::JubjubBoweHopwood bowe = pedersen::JubjubBoweHopwood::build(60, 7);      // 21-bit segments

    template <class F>
    void each(F&& f) {
        f(zcash, "zcash");
        f(zcash_small, "zcash_small");
        f(circom, "circom");
        f(circom_small, "circom_small");
        f(baby, "baby");
        f(bowe, "bowe");
    }
};

// Lengths around the byte/segment units of every instance, and a few long ones.
std::vector<std::size_t> lengths() {
    std::vector<std::size_t> out;
    for (std::size_t n = 0; n <= 60; ++n) out.push_back(n);
    for (const std::size_t n : {188, 189, 190, 378, 379, 400, 487}) out.push_back(n);
    return out;
}

template <class H>
std::size_t capacity_bytes(const H& hasher) {
    if constexpr (requires { hasher.segments(); }) {
        return hasher.segments() * hasher.segment_bits() / 8;
    } else {
        return 3000;
    }
}

TEST(Incremental, AnyCutGivesTheHashOfTheWhole) {
    Instances all;
    std::mt19937_64 rng(7);
    all.each([&](auto& hasher, const char* name) {
        for (const std::size_t n : lengths()) {
            if (n > capacity_bytes(hasher)) continue;
            const Bytes data = test_support::random_bytes(n, n + 1000);
            const auto want = hasher.hash(data);
            for (int round = 0; round < 3; ++round) {
                pedersen::Incremental<std::remove_cvref_t<decltype(hasher)>> state(hasher);
                std::size_t at = 0;
                while (at < n) {
                    const std::size_t step = std::min<std::size_t>(n - at, rng() % (round == 0 ? 4 : 90));
                    state.update(hasher, std::span(data).subspan(at, step));
                    at += step;
                }
                ASSERT_EQ(state.size(), n);
                ASSERT_EQ(state.digest(hasher), want) << name << " length " << n << " round " << round;
                ASSERT_EQ(state.digest(hasher), want) << "digest must not change the state";
            }
        }
    });
}

TEST(Incremental, LongInputsPastEveryCacheRegime) {
    Instances all;
    const Bytes data = test_support::random_bytes(2500, 99);
    for (auto* hasher : {&all.zcash_small, &all.zcash}) {
        pedersen::Incremental<pedersen::ZcashPedersen> state(*hasher);
        for (std::size_t at = 0; at < data.size(); at += 301)
            state.update(*hasher, std::span(data).subspan(at, std::min<std::size_t>(301, data.size() - at)));
        EXPECT_EQ(state.digest(*hasher), hasher->hash(data));
    }
    pedersen::Incremental<pedersen::CircomPedersen> state(all.circom_small);
    state.update(all.circom_small, data);
    EXPECT_EQ(state.digest(all.circom_small), all.circom_small.hash(data));
}

TEST(Incremental, CapacityFaultLeavesTheStateAsItWas) {
    const auto baby = pedersen::BabyJubjubPedersen::build(2, 8);  // 2 bytes fit
    pedersen::Incremental<pedersen::BabyJubjubPedersen> state(baby);
    state.update(baby, test_support::bytes_of("a"));
    const Bytes two = test_support::bytes_of("bc");
    EXPECT_EQ(test_support::fault_of([&] { state.update(baby, two); }),
              test_support::fault_of([&] { baby.hash(test_support::bytes_of("abc")); }));
    EXPECT_EQ(state.size(), 1u);
    state.update(baby, test_support::bytes_of("b"));
    EXPECT_EQ(state.digest(baby), baby.hash(test_support::bytes_of("ab")));

    const auto none = pedersen::JubjubBoweHopwood::build(0, 5);
    pedersen::Incremental<pedersen::JubjubBoweHopwood> empty(none);
    EXPECT_NE(test_support::fault_of([&] { empty.update(none, two); }), "no fault");
    EXPECT_EQ(empty.digest(none), none.hash({}));
}

struct Interrupted : std::runtime_error {
    Interrupted() : std::runtime_error("interrupted") {}
};

// Throws on its n-th call, counting from 1; 0 never throws.
struct ThrowOnCall {
    mutable std::atomic<int> calls{0};
    int at;
    explicit ThrowOnCall(int n) : at(n) {}
    void operator()() const {
        if (++calls == at) throw Interrupted();
    }
};

TEST(Checkpoint, LongHashesReachItOftenAndAnInterruptionKeepsTheInstanceSound) {
    const Bytes data = test_support::random_bytes(40'000, 5);
    pedersen::ZcashPedersen reference({'T', 'a', 'm', 'a', 'r', 'i', 'n', 'd'}, 2'000'000);
    const auto want = reference.hash(data);
    ThrowOnCall count(0);
    pedersen::ZcashPedersen counted({'T', 'a', 'm', 'a', 'r', 'i', 'n', 'd'}, 2'000'000);
    counted.hash(data);  // a second input of this length builds tables
    counted.hash(data, pedersen::Checkpoint(count));
    // Table building (one per segment up to the cap), then about one per 4096 chunks.
    const int calls = count.calls;
    EXPECT_GE(calls, 20);

    for (const int at : {1, 3, calls / 2, calls}) {
        pedersen::ZcashPedersen hasher({'T', 'a', 'm', 'a', 'r', 'i', 'n', 'd'}, 2'000'000);
        hasher.hash(data);
        ThrowOnCall stop(at);
        EXPECT_THROW(hasher.hash(data, pedersen::Checkpoint(stop)), Interrupted) << at;
        EXPECT_LE(hasher.cached_bytes(), 2'000'000u);
        EXPECT_EQ(hasher.hash(data), want) << "after an interruption at call " << at;
    }

    const auto bowe = pedersen::JubjubBoweHopwood::build(1, 30'000);  // one long segment, sliced
    const Bytes short_data = test_support::random_bytes(10'000, 6);
    ThrowOnCall sliced(0);
    bowe.hash(short_data, pedersen::Checkpoint(sliced));
    EXPECT_GE(sliced.calls, 6);
}

// Within one long segment and between short ones; a throw stops the build
// there and leaves nothing (the sanitized build checks for leaks).
TEST(Checkpoint, AnInterruptedConstructionStopsAtOnceAndKeepsNothing) {
    for (const auto& [segments, per_segment] :
         std::vector<std::pair<std::uint64_t, std::uint64_t>>{{1, 8 * pedersen::build_slice_chunks}, {64, 1}}) {
        ThrowOnCall baby(3), bowe(3);
        EXPECT_THROW(pedersen::BabyJubjubPedersen::build(segments, per_segment, pedersen::Checkpoint(baby)),
                     Interrupted);
        EXPECT_THROW(pedersen::JubjubBoweHopwood::build(segments, per_segment, pedersen::Checkpoint(bowe)),
                     Interrupted);
        EXPECT_EQ(baby.calls, 3);
        EXPECT_EQ(bowe.calls, 3);
    }
}

TEST(Wipe, ZeroesExactlyTheBytesItIsGiven) {
    for (const std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{37}, std::size_t{4096}}) {
        std::vector<std::uint8_t> buffer(size + 2, 0xA5);
        algebra::ct::wipe(buffer.data() + 1, size);
        EXPECT_EQ(buffer.front(), 0xA5);
        EXPECT_EQ(buffer.back(), 0xA5);
        EXPECT_EQ(std::count(buffer.begin() + 1, buffer.end() - 1, 0), static_cast<std::ptrdiff_t>(size)) << size;
    }
}

// Built in storage the test owns, so that its bytes can still be read once
// the Wiped is destroyed: they held the value until then, and are all zero
// after. An optimiser that took the destructor's stores for dead ones (they
// end the object's lifetime) would leave the value there.
template <class T>
void expect_wiped_when_destroyed() {
    using Secret = algebra::ct::Wiped<T>;
    alignas(Secret) unsigned char storage[sizeof(Secret)];
    T value;
    std::memset(static_cast<void*>(&value), 0xA5, sizeof value);  // raw bytes: any T will do
    Secret* secret = new (storage) Secret(value);
    ASSERT_EQ(std::memcmp(&**secret, &value, sizeof value), 0);
    secret->~Secret();
    EXPECT_EQ(std::count(std::begin(storage), std::end(storage), 0), static_cast<std::ptrdiff_t>(sizeof storage));
}

TEST(Wipe, AWipedValueIsZeroOnceDestroyed) {
    expect_wiped_when_destroyed<std::array<std::uint8_t, 32>>();  // rcm, g_d, pk_d as the binding holds them
    expect_wiped_when_destroyed<algebra::BigInt<4>>();            // rcm as a scalar
    expect_wiped_when_destroyed<std::array<std::uint8_t, 73>>();  // a note commitment's 582 message bits
}

TEST(Checkpoint, AnInterruptedUpdateChangesNothing) {
    pedersen::ZcashPedersen hasher({'T', 'a', 'm', 'a', 'r', 'i', 'n', 'd'}, 100'000);
    const Bytes data = test_support::random_bytes(30'000, 8);
    pedersen::Incremental<pedersen::ZcashPedersen> state(hasher);
    state.update(hasher, std::span(data).subspan(0, 100));
    ThrowOnCall stop(2);
    EXPECT_THROW(state.update(hasher, std::span(data).subspan(100), pedersen::Checkpoint(stop)), Interrupted);
    EXPECT_EQ(state.size(), 100u);
    state.update(hasher, std::span(data).subspan(100));
    EXPECT_EQ(state.digest(hasher), hasher.hash(data));
}

template <class H>
std::vector<algebra::Bytes32> many(H& hasher, const std::vector<Bytes>& items, unsigned threads,
                                   pedersen::Checkpoint checkpoint = {},
                                   std::optional<std::uint64_t> bit_length = std::nullopt) {
    pedersen::ManyInputs<H> inputs(hasher, bit_length);
    for (const Bytes& item : items) EXPECT_EQ(inputs.add(item), std::nullopt);
    return inputs.hash(hasher, threads, checkpoint);
}

TEST(HashMany, EqualsHashItemByItemOnAnyNumberOfThreads) {
    Instances all;
    std::mt19937_64 rng(11);
    all.each([&](auto& hasher, const char* name) {
        std::vector<Bytes> items;
        // Batches end on item counts and on bytes; long items make batches of their own.
        for (int i = 0; i < 150; ++i) {
            const std::size_t n = std::min<std::size_t>(capacity_bytes(hasher), i % 37 == 0 ? 2000 : rng() % 70);
            items.push_back(test_support::random_bytes(n, rng()));
        }
        std::vector<algebra::Bytes32> want;
        for (const Bytes& item : items) want.push_back(hasher.hash(item));
        for (const unsigned threads : {1u, 2u, 5u, 200u}) EXPECT_EQ(many(hasher, items, threads), want) << name;
        EXPECT_TRUE(many(hasher, {}, 3).empty());

        // One bit length for all: the last byte of each item keeps 5 bits.
        std::vector<Bytes> cut;
        std::vector<algebra::Bytes32> cut_want;
        for (const Bytes& item : items) {
            if (item.empty() || item.size() > 60) continue;
            cut.push_back(Bytes(item.begin(), item.begin() + std::min<std::ptrdiff_t>(item.size(), 9)));
            cut.back().resize(9);
            cut.back()[8] &= 0x1f;
            cut_want.push_back(hasher.hash_bits(pedersen::BitString(cut.back(), 69)));
        }
        EXPECT_EQ(many(hasher, cut, 2, {}, 69), cut_want) << name;
    });
}

TEST(HashMany, ACheckpointThatThrowsStopsTheTeamAndIsRethrown) {
    pedersen::ZcashPedersen hasher;
    std::vector<Bytes> items;
    for (int i = 0; i < 400; ++i) items.push_back(test_support::random_bytes(64, i));
    // The calling thread checks before its first batch, after the team has
    // started; later calls depend on how the batches fall between threads.
    ThrowOnCall stop(1);
    EXPECT_THROW(many(hasher, items, 3, pedersen::Checkpoint(stop)), Interrupted);
    EXPECT_EQ(many(hasher, items, 3)[399], hasher.hash(items[399]));
}

TEST(HashMany, AWorkersFailureReachesTheCallerAsWhatItWas) {
    const auto carried = [](auto&& thrown) {
        pedersen::detail::Failure failure;
        try {
            throw thrown;
        } catch (...) {
            failure.take_current();
        }
        return failure;
    };
    EXPECT_THROW(carried(std::bad_alloc()).rethrow_if_any(), std::bad_alloc);
    EXPECT_EQ(test_support::fault_of([&] { carried(fault::Fault("broken")).rethrow_if_any(); }), "broken");
    EXPECT_EQ(test_support::fault_of([&] { carried(42).rethrow_if_any(); }), "a hashing thread failed");
    EXPECT_NO_THROW(pedersen::detail::Failure{}.rethrow_if_any());
}

TEST(HashMany, BatchesCoverEveryItemOnce) {
    std::vector<Bytes> storage{Bytes(20'000), Bytes(3), Bytes(16'384), Bytes(1)};
    for (int i = 0; i < 70; ++i) storage.emplace_back(10);
    std::vector<pedersen::BitString> items;
    for (const Bytes& item : storage) items.emplace_back(item);
    const std::vector<std::size_t> starts = pedersen::detail::batch_starts(items);
    ASSERT_EQ(starts.front(), 0u);
    ASSERT_EQ(starts.back(), items.size());
    for (std::size_t b = 0; b + 1 < starts.size(); ++b) {
        ASSERT_LT(starts[b], starts[b + 1]);
        std::size_t bytes = 0;
        for (std::size_t i = starts[b]; i < starts[b + 1]; ++i) bytes += items[i].bytes();
        EXPECT_TRUE(starts[b + 1] - starts[b] == 1 || bytes <= pedersen::detail::batch_bytes);
        EXPECT_LE(starts[b + 1] - starts[b], pedersen::detail::batch_items);
    }
}

}  // namespace

// The variable-time paths give the constant-time digests: bit lengths that
// end inside a chunk, a lookup group, a segment and a byte, inputs of all
// zeros and all ones (the identity and the last entries), long ones through
// every cache regime, alone and in bulk.
TEST(Vartime, EqualsConstantTimeOnEveryLengthClassAndInBulk) {
    Instances all;
    std::mt19937_64 rng(18);
    all.each([&](auto& hasher, const char* name) {
        const std::uint64_t most = 8 * capacity_bytes(hasher);
        for (const std::uint64_t bits : {0,  1,  2,  3,  4,  5,   6,   7,   8,   9,   12,  13,  14,   20,
                                         21, 22, 63, 64, 65, 188, 189, 190, 378, 379, 516, 582, 1512, 12000}) {
            if (bits > most) continue;
            for (const int fill : {-1, 0x00, 0xff}) {
                const std::size_t bytes = static_cast<std::size_t>((bits + 7) / 8);
                Bytes data =
                    fill < 0 ? test_support::random_bytes(bytes, rng()) : Bytes(bytes, static_cast<std::uint8_t>(fill));
                if (bits % 8 != 0) data.back() &= static_cast<std::uint8_t>((1u << (bits % 8)) - 1);
                const pedersen::BitString input(data, bits);
                EXPECT_EQ(hasher.hash_bits_vartime(input), hasher.hash_bits(input))
                    << name << ", " << bits << " bits, fill " << fill;
            }
        }
        std::vector<Bytes> items;
        std::vector<algebra::Bytes32> want;
        for (const std::size_t n : lengths()) {
            if (n > capacity_bytes(hasher)) continue;
            items.push_back(test_support::random_bytes(n, rng()));
            want.push_back(hasher.hash(items.back()));
            EXPECT_EQ(hasher.hash_vartime(items.back()), want.back()) << name << ", " << n << " bytes";
        }
        pedersen::ManyInputs<std::remove_cvref_t<decltype(hasher)>> inputs(hasher, std::nullopt);
        for (const Bytes& item : items) EXPECT_EQ(inputs.add(item), std::nullopt);
        // On the calling thread alone: the threaded path is HashMany's to test,
        // and qemu-user, which runs the aarch64 suite, never starts a thread.
        EXPECT_EQ(inputs.hash(hasher, 1, {}, true), want) << name;
    });
}
