// Borrows: which nest on one thread and which are refused, that another
// thread waits for a state lock, and that every borrow is given back.

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "tamarind/borrow.hpp"

namespace {

using tamarind::BorrowKind;
using tamarind::StateBorrow;
using tamarind::StateLock;
using tamarind::ThreadBorrow;

constexpr BorrowKind Shared = BorrowKind::Shared;
constexpr BorrowKind Exclusive = BorrowKind::Exclusive;

struct Refused {
    BorrowKind kind;
};
void refuse(BorrowKind kind) { throw Refused{kind}; }
// A wait that must not happen: the lock is free or this thread's.
constexpr auto never_wait = [](auto&&) { throw std::logic_error("waited"); };
constexpr auto just_wait = [](auto&& acquire) { acquire(); };

// Whether another thread takes `lock` at once (it is free).
bool free_for_another_thread(StateLock& lock) {
    bool waited = false;
    std::thread([&] {
        const StateBorrow borrow(lock, Exclusive, [&](auto&& acquire) { waited = true, acquire(); }, refuse);
    }).join();
    return !waited;
}

struct Nesting {
    BorrowKind held;
    BorrowKind requested;
    bool granted;
};

class SameThread : public ::testing::TestWithParam<Nesting> {};

// On one thread only shared in shared nest; a refusal names what was asked
// for, and the lock is free again once the outer borrow ends.
TEST_P(SameThread, SecondBorrowWhileFirstHeld) {
    const Nesting n = GetParam();
    StateLock lock;
    {
        const StateBorrow outer(lock, n.held, never_wait, refuse);
        try {
            const StateBorrow inner(lock, n.requested, never_wait, refuse);
            EXPECT_TRUE(n.granted);
        } catch (const Refused& refused) {
            EXPECT_FALSE(n.granted);
            EXPECT_EQ(refused.kind, n.requested);
        }
        EXPECT_TRUE(ThreadBorrow::held(&lock));
    }
    EXPECT_FALSE(ThreadBorrow::held(&lock));
    EXPECT_TRUE(free_for_another_thread(lock));
}

INSTANTIATE_TEST_SUITE_P(AllPairs, SameThread,
                         ::testing::Values(Nesting{Shared, Shared, true}, Nesting{Shared, Exclusive, false},
                                           Nesting{Exclusive, Shared, false}, Nesting{Exclusive, Exclusive, false}));

// A hasher's borrow is the thread entry alone: the same rule, no lock.
TEST(ThreadBorrow, ConflictsFollowTheKindsAndEndWithTheEntry) {
    int object = 0;
    EXPECT_FALSE(ThreadBorrow::conflicts(&object, Exclusive));
    {
        const ThreadBorrow entry(&object, Shared);
        EXPECT_FALSE(ThreadBorrow::conflicts(&object, Shared));
        EXPECT_TRUE(ThreadBorrow::conflicts(&object, Exclusive));
        int other = 0;
        EXPECT_FALSE(ThreadBorrow::conflicts(&other, Exclusive));
        std::thread([&] { EXPECT_FALSE(ThreadBorrow::conflicts(&object, Exclusive)); }).join();
    }
    EXPECT_FALSE(ThreadBorrow::conflicts(&object, Exclusive));
}

// Borrows taken together (a call's witnesses) may end in any order.
TEST(ThreadBorrow, EntriesEndInAnyOrder) {
    int a = 0, b = 0, c = 0;
    auto first = std::make_unique<ThreadBorrow>(&a, Exclusive);
    auto second = std::make_unique<ThreadBorrow>(&b, Exclusive);
    auto third = std::make_unique<ThreadBorrow>(&c, Exclusive);
    second.reset();
    EXPECT_TRUE(ThreadBorrow::held(&a) && !ThreadBorrow::held(&b) && ThreadBorrow::held(&c));
    first.reset();
    EXPECT_TRUE(!ThreadBorrow::held(&a) && ThreadBorrow::held(&c));
    third.reset();
    EXPECT_FALSE(ThreadBorrow::held(&c));
}

// The lock is given back when its scope is left by an exception too.
TEST(StateBorrow, ReleasedWhenUnwinding) {
    StateLock lock;
    for (const BorrowKind kind : {Shared, Exclusive}) {
        try {
            const StateBorrow borrow(lock, kind, never_wait, refuse);
            throw std::runtime_error("fault while borrowed");
        } catch (const std::runtime_error&) {}
        EXPECT_FALSE(ThreadBorrow::held(&lock));
        EXPECT_TRUE(free_for_another_thread(lock));
    }
}

// Another thread's borrow, of either kind, goes through `wait` while this
// thread's is held, and gets the lock once it ends.
TEST(StateBorrow, AnotherThreadWaitsForTheHolder) {
    for (const BorrowKind kind : {Shared, Exclusive}) {
        StateLock lock;
        std::atomic<bool> waiting{false}, entered{false};
        std::thread other;
        {
            const StateBorrow held(lock, Shared, never_wait, refuse);
            other = std::thread([&] {
                const StateBorrow borrow(lock, kind, [&](auto&& acquire) { waiting = true, acquire(); }, refuse);
                entered = true;
            });
            while (!waiting && !entered) std::this_thread::yield();
            EXPECT_FALSE(entered);
        }
        other.join();
        EXPECT_TRUE(entered);
    }
}

// Threads taking both kinds: none is refused, and no two ever hold the lock
// at once.
TEST(StateBorrow, ThreadsTakeTurns) {
    StateLock lock;
    std::atomic<int> holders{0}, overlaps{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 5000; ++i) {
                const BorrowKind kind = (i + t) % 2 == 0 ? Exclusive : Shared;
                const StateBorrow borrow(lock, kind, just_wait, refuse);
                if (holders.fetch_add(1) != 0) ++overlaps;
                std::this_thread::yield();
                holders.fetch_sub(1);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_TRUE(free_for_another_thread(lock));
}

}  // namespace
