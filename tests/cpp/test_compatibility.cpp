// The texts callers rely on: the TypeError texts for calls that do not fit a
// parameter list, including the cases no class of the module can produce from
// Python (three or more missing names, a one-parameter "takes" message), and
// the messages of a refused borrow.

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "tamarind/compatibility.hpp"

namespace {

using tamarind::Signature;
namespace messages = tamarind::messages;

constexpr std::array<std::string_view, 3> THREE{"x", "y", "z"};

struct ListCase {
    std::vector<std::string_view> names;
    std::string expected;
};

class QuotedList : public ::testing::TestWithParam<ListCase> {};

TEST_P(QuotedList, JoinsLikeTheInterpreter) { EXPECT_EQ(messages::quoted_list(GetParam().names), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(Lengths, QuotedList,
                         ::testing::Values(ListCase{{"x"}, "'x'"}, ListCase{{"x", "y"}, "'x' and 'y'"},
                                           ListCase{{"x", "y", "z"}, "'x', 'y', and 'z'"},
                                           ListCase{{"a", "b", "c", "d"}, "'a', 'b', 'c', and 'd'"}));

struct TooManyCase {
    std::size_t parameters;
    std::size_t required;
    std::size_t given;
    std::string expected;
};

class TooManyPositional : public ::testing::TestWithParam<TooManyCase> {};

TEST_P(TooManyPositional, Message) {
    const TooManyCase c = GetParam();
    const Signature sig{"Klass", "method", std::span(THREE).first(c.parameters), c.required};
    EXPECT_EQ(messages::too_many_positional(sig, c.given), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Counts, TooManyPositional,
    ::testing::Values(
        // "arguments" stays plural for a single parameter; the verb follows the count given.
        TooManyCase{0, 0, 1, "Klass.method() takes 0 positional arguments but 1 was given"},
        TooManyCase{1, 1, 2, "Klass.method() takes 1 positional arguments but 2 were given"},
        TooManyCase{2, 2, 3, "Klass.method() takes 2 positional arguments but 3 were given"},
        TooManyCase{1, 0, 2, "Klass.method() takes from 0 to 1 positional arguments but 2 were given"},
        TooManyCase{3, 1, 5, "Klass.method() takes from 1 to 3 positional arguments but 5 were given"}));

TEST(Signature, MissingMessages) {
    const Signature sig{"K", "hash", THREE, 3};
    const std::array<std::string_view, 1> one{"y"};
    EXPECT_EQ(messages::missing_required(sig, one), "K.hash() missing 1 required positional argument: 'y'");
    EXPECT_EQ(messages::missing_required(sig, THREE),
              "K.hash() missing 3 required positional arguments: 'x', 'y', and 'z'");
}

TEST(Borrow, RefusalMessages) {
    // A shared request can only be refused by an exclusive holder.
    EXPECT_EQ(tamarind::borrow_conflict_message(tamarind::BorrowKind::Shared), "Already mutably borrowed");
    EXPECT_EQ(tamarind::borrow_conflict_message(tamarind::BorrowKind::Exclusive), "Already borrowed");
}

}  // namespace
