// The borrow counter: which combinations of borrows may coexist, and that
// every guard gives its borrow back.

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "tamarind/borrow.hpp"

namespace {

using tamarind::BorrowFlag;
using tamarind::BorrowGuard;
using tamarind::BorrowKind;

constexpr BorrowKind Shared = BorrowKind::Shared;
constexpr BorrowKind Exclusive = BorrowKind::Exclusive;

struct Conflict {
    BorrowKind held;
    BorrowKind requested;
    bool granted;
};

class BorrowConflict : public ::testing::TestWithParam<Conflict> {};

// Only shared with shared coexist; the state is unchanged by a refusal and
// fully restored once everything is released.
TEST_P(BorrowConflict, SecondBorrowWhileFirstHeld) {
    const Conflict c = GetParam();
    BorrowFlag flag;
    {
        auto first = BorrowGuard::acquire(flag, c.held);
        ASSERT_TRUE(first.has_value());
        const auto before = flag.load();
        {
            auto second = BorrowGuard::acquire(flag, c.requested);
            EXPECT_EQ(second.has_value(), c.granted);
            if (!c.granted) {
                EXPECT_EQ(flag.load(), before);
            }
        }
        EXPECT_EQ(flag.load(), before);
    }
    EXPECT_EQ(flag.load(), 0u);
    EXPECT_TRUE(BorrowGuard::acquire(flag, Exclusive).has_value());
}

INSTANTIATE_TEST_SUITE_P(AllPairs, BorrowConflict,
                         ::testing::Values(Conflict{Shared, Shared, true}, Conflict{Shared, Exclusive, false},
                                           Conflict{Exclusive, Shared, false}, Conflict{Exclusive, Exclusive, false}));

// A moved guard releases exactly once, from its new owner; an exclusive borrow
// waits for the last of several shared ones.
TEST(BorrowGuard, MovedGuardReleasesOnceAndExclusiveWaitsForTheLastShared) {
    BorrowFlag flag;
    auto first = BorrowGuard::acquire(flag, Shared);
    auto other = BorrowGuard::acquire(flag, Shared);
    {
        std::optional<BorrowGuard> moved(std::move(*first));
        first.reset();  // the moved-from guard must not release
        EXPECT_EQ(flag.load(), 2u);
    }
    EXPECT_EQ(flag.load(), 1u);
    EXPECT_FALSE(BorrowGuard::acquire(flag, Exclusive).has_value());
    other.reset();
    EXPECT_EQ(flag.load(), 0u);
    EXPECT_TRUE(BorrowGuard::acquire(flag, Exclusive).has_value());
}

// The guard releases when its scope is left by an exception too.
TEST(BorrowGuard, ReleasedWhenUnwinding) {
    BorrowFlag flag;
    for (const BorrowKind kind : {Shared, Exclusive}) {
        try {
            auto guard = BorrowGuard::acquire(flag, kind);
            ASSERT_TRUE(guard.has_value());
            throw std::runtime_error("fault while borrowed");
        } catch (const std::runtime_error&) {}
        EXPECT_EQ(flag.load(), 0u);
    }
}

// Threads racing for both kinds of borrow: an exclusive holder never
// overlaps any other holder, and the counter ends free. Each holder counts
// itself in and out while it holds its borrow.
TEST(BorrowFlag, ExclusiveAcrossThreads) {
    BorrowFlag flag;
    std::atomic<int> shared_holders{0}, exclusive_holders{0}, overlaps{0};
    std::atomic<long> exclusive_granted{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20000; ++i) {
                const BorrowKind kind = ((i + t) % 3 == 0) ? Exclusive : Shared;
                auto guard = BorrowGuard::acquire(flag, kind);
                if (!guard) continue;
                std::atomic<int>& mine = kind == Exclusive ? exclusive_holders : shared_holders;
                const int others_of_my_kind = mine.fetch_add(1);
                if (exclusive_holders.load() > (kind == Exclusive) ||
                    (kind == Exclusive && (others_of_my_kind != 0 || shared_holders.load() != 0)))
                    ++overlaps;
                exclusive_granted += kind == Exclusive;
                mine.fetch_sub(1);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_GT(exclusive_granted.load(), 0);
    EXPECT_EQ(flag.load(), 0u);
}

}  // namespace
