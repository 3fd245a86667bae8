// The process's table cache: instances with the same generators share one
// copy of their tables, the limit bounds what it holds whatever the inputs,
// and what it drops never changes a result. Every test runs in a process of
// its own (one ctest per test), so the process cache starts empty.

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <optional>
#include <thread>
#include <vector>

#include "constructions/circom.hpp"
#include "constructions/configurable.hpp"
#include "constructions/zcash.hpp"
#include "pedersen/many.hpp"
#include "pedersen/table_cache.hpp"
#include "test_support.hpp"

namespace {

using pedersen::TableCache;
using pedersen::ZcashPedersen;
using test_support::random_bytes;

constexpr std::array<std::uint8_t, 8> OTHER = {'T', 'e', 's', 't', '_', 'P', 'H', '1'};

// The digest from an instance with a large cache of its own (every path of
// that regime is checked against independent sums elsewhere).
algebra::Bytes32 own_cache_digest(const std::array<std::uint8_t, 8>& personalization,
                                  const std::vector<std::uint8_t>& data) {
    ZcashPedersen own(personalization, std::size_t{1} << 30);
    return own.hash(data);
}

TEST(TableCache, InstancesWithTheSameGeneratorsShareOneCopy) {
    TableCache& cache = TableCache::process();
    const auto data = random_bytes(1024, 1);
    ZcashPedersen first;
    first.hash(data);
    EXPECT_EQ(cache.bytes(), 0u);  // nothing is built for a single input
    first.hash(data);
    const std::size_t after_first = cache.bytes();
    EXPECT_GT(after_first, 0u);
    EXPECT_EQ(first.cached_bytes(), after_first);

    // A new instance, and one made after every other is gone, build nothing.
    std::optional<ZcashPedersen> second(std::in_place);
    EXPECT_EQ(second->tabled_end(), first.tabled_end());
    EXPECT_EQ(second->hash(data), first.hash(data));
    EXPECT_EQ(cache.bytes(), after_first);
    second.reset();
    { ZcashPedersen gone; }
    ZcashPedersen later;
    EXPECT_EQ(later.tabled_end(), first.tabled_end());

    // Other generators have tables of their own.
    ZcashPedersen other(OTHER);
    EXPECT_EQ(other.tabled_end(), 0u);
    EXPECT_EQ(other.hash(data), own_cache_digest(OTHER, data));
    EXPECT_EQ(other.hash(data), own_cache_digest(OTHER, data));
    EXPECT_GT(cache.bytes(), after_first);
    EXPECT_EQ(cache.blocks(), 2u);
}

TEST(TableCache, TheLimitBoundsWhatInputsGrow) {
    TableCache& cache = TableCache::process();
    cache.set_limit(ZcashPedersen::table_bytes_per_segment * 5);
    ZcashPedersen a, b(OTHER);
    for (const std::size_t n : {200, 3000, 40'000}) {
        const auto data = random_bytes(n, n);
        EXPECT_EQ(a.hash(data), own_cache_digest(pedersen::SAPLING_PERSONALIZATION, data)) << n;
        EXPECT_EQ(b.hash(data), own_cache_digest(OTHER, data)) << n;
        EXPECT_LE(cache.bytes(), cache.limit()) << n;
        EXPECT_LE(cache.held_bytes(), cache.limit()) << n;
    }
    EXPECT_GT(a.cached_end(), a.tabled_end());  // multiples tables fill the last quarter
}

TEST(TableCache, UnusedBlocksGoFirstAndBlocksInUseStay) {
    TableCache& cache = TableCache::process();
    const auto data = random_bytes(2000, 2);
    std::optional<ZcashPedersen> unused(std::in_place, OTHER);
    unused->hash(data);
    unused->hash(data);
    unused.reset();  // kept for the next instance while it fits
    EXPECT_EQ(cache.blocks(), 1u);

    ZcashPedersen used;
    used.hash(data);
    used.hash(data);
    EXPECT_EQ(cache.blocks(), 2u);
    // Room for more of `used` comes from the block no instance holds.
    cache.set_limit(cache.bytes() + ZcashPedersen::table_bytes_per_segment);
    const auto longer = random_bytes(2200, 3);
    used.hash(longer);
    EXPECT_EQ(cache.blocks(), 2u);  // a first input of this length builds nothing
    used.hash(longer);
    EXPECT_EQ(cache.blocks(), 1u);
    EXPECT_EQ(cache.bytes(), used.cached_bytes());

    // A limit below what instances use drops nothing they use, and the
    // tables go with their last instance.
    cache.set_limit(0);
    EXPECT_EQ(cache.blocks(), 1u);
    EXPECT_EQ(used.hash(data), own_cache_digest(pedersen::SAPLING_PERSONALIZATION, data));
    {
        ZcashPedersen moved = std::move(used);
        EXPECT_EQ(cache.blocks(), 1u);
    }
    EXPECT_EQ(cache.blocks(), 0u);
    EXPECT_EQ(cache.bytes(), 0u);
}

TEST(TableCache, ConfigurableTablesAreSharedAndKeptWhileTheyFit) {
    using pedersen::BabyJubjubPedersen;
    TableCache& cache = TableCache::process();
    const auto data = random_bytes(40, 4);
    std::optional<BabyJubjubPedersen> a(BabyJubjubPedersen::build(4, 100));
    const BabyJubjubPedersen b = BabyJubjubPedersen::build(4, 100);
    const BabyJubjubPedersen c = BabyJubjubPedersen::build(5, 100);
    EXPECT_EQ(a->table(0).data(), b.table(0).data());
    EXPECT_NE(a->table(0).data(), c.table(0).data());
    EXPECT_EQ(cache.bytes(), 0u);  // in use: held by their instances, not counted
    const auto digest = a->hash(data);
    a.reset();
    EXPECT_EQ(b.hash(data), digest);

    { const BabyJubjubPedersen d = BabyJubjubPedersen::build(6, 100); }
    EXPECT_EQ(cache.bytes(), 6 * BabyJubjubPedersen::Tables::segment_entries(100) * sizeof(BabyJubjubPedersen::Entry));
    cache.set_limit(0);
    EXPECT_EQ(cache.blocks(), 2u);  // (4, 100) and (5, 100) are in use
    EXPECT_EQ(cache.bytes(), 0u);
    EXPECT_EQ(BabyJubjubPedersen::build(6, 100).hash(data), BabyJubjubPedersen::build(4, 100).hash(data));
}

TEST(TableCache, ThreadsGrowingOneBlockAgree) {
    const auto data = random_bytes(3000, 5);
    const auto want = own_cache_digest(pedersen::SAPLING_PERSONALIZATION, data);
    std::array<std::optional<algebra::Bytes32>, 4> got;
    std::vector<std::thread> threads;
    for (auto& slot : got)
        threads.emplace_back([&slot, &data] {
            ZcashPedersen h;
            slot = h.hash(data);
        });
    for (auto& t : threads) t.join();
    for (const auto& digest : got) EXPECT_EQ(digest, want);
}

TEST(TableCache, WideTablesStayWhileACallReadsThemWhateverTheLimit) {
    // A thread lowers the limit to nothing and raises it again while others
    // hash in variable time, one call at a time and many items on two threads:
    // a table dropped under a reader would change its digests (or trip the
    // sanitizers).
    TableCache& cache = TableCache::process();
    const auto zcash_data = random_bytes(64, 6);   // 3 segments of wide tables
    const auto circom_data = random_bytes(25, 7);  // 1 segment of the widest
    const auto zcash_want = own_cache_digest(pedersen::SAPLING_PERSONALIZATION, zcash_data);
    const auto circom_want = pedersen::CircomPedersen(std::size_t{1} << 30).hash(circom_data);
    std::atomic<bool> done{false};
    std::thread limiter([&] {
        while (!done.load()) {
            cache.set_limit(0);
            std::this_thread::yield();
            cache.set_limit(TableCache::default_limit);
            std::this_thread::yield();
        }
    });
    std::array<bool, 3> wrong{};
    constexpr int rounds = 16;
    std::thread zcash([&] {
        ZcashPedersen h;
        for (int i = 0; i < rounds; ++i) wrong[0] |= h.hash_vartime(zcash_data) != zcash_want;
    });
    std::thread circom([&] {
        pedersen::CircomPedersen h;
        for (int i = 0; i < rounds; ++i) wrong[1] |= h.hash_vartime(circom_data) != circom_want;
    });
    std::thread many([&] {
        ZcashPedersen h;
        pedersen::ManyInputs<ZcashPedersen> inputs(h, std::nullopt);
        for (int i = 0; i < 4; ++i) (void)inputs.add(zcash_data);
        for (int i = 0; i < rounds; ++i)
            for (const auto& digest : inputs.hash(h, 2, {}, true)) wrong[2] |= digest != zcash_want;
    });
    zcash.join();
    circom.join();
    many.join();
    done.store(true);
    limiter.join();
    EXPECT_EQ(wrong, (std::array<bool, 3>{}));  // no call saw a wrong digest

    // With room, the tables are built again, counted, and the limit holds.
    ZcashPedersen h;
    EXPECT_EQ(h.hash_vartime(zcash_data), zcash_want);
    EXPECT_GT(cache.bytes(), 0u);
    EXPECT_LE(cache.held_bytes(), cache.limit());
}

}  // namespace
