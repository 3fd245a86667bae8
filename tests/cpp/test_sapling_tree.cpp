// The wallet's tree: batches against zcashd's one-leaf-at-a-time algorithm,
// both against whole-tree roots and paths, and the byte forms' refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "sapling/extend.hpp"
#include "sapling/merkle.hpp"
#include "sapling/serial.hpp"
#include "test_support.hpp"

namespace {

using sapling::Node;
using sapling::Tree;
using sapling::Witness;

std::vector<Node> random_leaves(std::mt19937_64& rng, std::size_t n) {
    std::vector<Node> out(n);
    for (Node& leaf : out) {
        for (auto& b : leaf) b = static_cast<std::uint8_t>(rng());
        leaf[31] &= 0x3f;  // below q
    }
    return out;
}

// Appends `leaves` one at a time the way zcashd does: to the tree, then to
// every witness, taking a witness of the tree after each marked leaf.
void append_one_by_one(Tree& tree, std::vector<Witness>& witnesses, std::span<const Node> leaves,
                       const std::vector<std::uint64_t>& marks, unsigned depth, sapling::NodeHasher& hasher,
                       std::vector<Witness>& marked) {
    for (std::size_t i = 0; i < leaves.size(); ++i) {
        tree.append(leaves[i], depth, hasher);
        for (Witness& w : witnesses) w.append(leaves[i], depth, hasher);
        for (Witness& w : marked) w.append(leaves[i], depth, hasher);
        if (std::find(marks.begin(), marks.end(), i) != marks.end()) marked.push_back(Witness{tree, {}, {}});
    }
}

class TreeBatches : public ::testing::TestWithParam<unsigned> {};

// Cut into random batches with random marks, the tree and every witness equal
// zcashd's byte for byte after each batch, and their roots and paths are
// those of the whole list of leaves.
TEST_P(TreeBatches, EqualOneLeafAtATimeAndTheWholeTree) {
    const unsigned depth = GetParam();
    std::mt19937_64 rng(depth * 7919);
    sapling::NodeHasher hasher({.threads = 2, .vartime = true});
    for (int round = 0; round < 4; ++round) {
        const std::size_t total = (std::size_t{1} << depth) - (round == 0 ? 0 : rng() % 3);
        const std::vector<Node> leaves = random_leaves(rng, total);
        Tree slow;
        Tree fast;
        std::vector<Witness> slow_witnesses{Witness{}};  // the empty tree's
        std::vector<Witness> fast_witnesses{Witness{}};
        for (std::size_t at = 0; at < total;) {
            const std::size_t n = std::min<std::size_t>(total - at, 1 + rng() % (2 + total / 3));
            std::vector<std::uint64_t> marks;
            for (std::uint64_t j = 0; j < n; ++j) {
                if (rng() % 3 == 0) marks.push_back(j);
            }
            std::shuffle(marks.begin(), marks.end(), rng);
            const std::span<const Node> batch(leaves.data() + at, n);

            std::vector<Witness> slow_marked;
            append_one_by_one(slow, slow_witnesses, batch, marks, depth, hasher, slow_marked);

            std::vector<const Witness*> given;
            for (const Witness& w : fast_witnesses) given.push_back(&w);
            sapling::Extended result = sapling::extend(fast, depth, batch, given, marks, hasher);
            fast = result.tree;
            fast_witnesses = result.witnesses;
            // zcashd takes witnesses in leaf order; marks come in any order.
            std::vector<std::uint64_t> sorted = marks;
            std::sort(sorted.begin(), sorted.end());
            for (std::size_t m = 0; m < marks.size(); ++m) {
                const auto rank = std::find(sorted.begin(), sorted.end(), marks[m]) - sorted.begin();
                EXPECT_EQ(sapling::witness_to_bytes(result.marked[m]),
                          sapling::witness_to_bytes(slow_marked[static_cast<std::size_t>(rank)]));
            }
            fast_witnesses.insert(fast_witnesses.end(), result.marked.begin(), result.marked.end());
            for (std::size_t r = 0; r < sorted.size(); ++r) slow_witnesses.push_back(slow_marked[r]);
            at += n;

            ASSERT_EQ(sapling::tree_to_bytes(fast), sapling::tree_to_bytes(slow)) << "after " << at << " leaves";
            const std::span<const Node> so_far(leaves.data(), at);
            const Node root = sapling::merkle_root(so_far, depth, hasher);
            EXPECT_EQ(fast.root(depth, {}, hasher), root);
            if (result.root) {
                EXPECT_EQ(*result.root, root);
            }
            ASSERT_EQ(fast_witnesses.size(), slow_witnesses.size());
            // The witnesses are sorted alike: the empty tree's, then by position.
            std::vector<Witness> slow_sorted = slow_witnesses;
            std::vector<Witness> fast_sorted = fast_witnesses;
            const auto by_position = [](const Witness& a, const Witness& b) { return a.tree.size() < b.tree.size(); };
            std::stable_sort(slow_sorted.begin(), slow_sorted.end(), by_position);
            std::stable_sort(fast_sorted.begin(), fast_sorted.end(), by_position);
            for (std::size_t w = 0; w < fast_sorted.size(); ++w) {
                const Witness& witness = fast_sorted[w];
                ASSERT_EQ(sapling::witness_to_bytes(witness), sapling::witness_to_bytes(slow_sorted[w]));
                EXPECT_EQ(witness.tree_size(depth), at);
                EXPECT_EQ(witness.root(depth, hasher), root);
                if (!witness.of_empty_tree()) {
                    EXPECT_EQ(witness.path(depth, hasher),
                              sapling::merkle_path(so_far, witness.position(), depth, hasher));
                }
                const auto bytes = sapling::witness_to_bytes(witness);
                EXPECT_EQ(sapling::witness_from_bytes(bytes, depth), witness);
            }
        }
        Tree more = fast;
        if (total == (std::size_t{1} << depth)) {
            EXPECT_THROW(more.append(leaves[0], depth, hasher), sapling::TreeError);
        } else {
            more.append(leaves[0], depth, hasher);  // room for one more
            EXPECT_EQ(more.size(), total + 1);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Depths, TreeBatches, ::testing::Values(1u, 2u, 3u, 5u));

TEST(TreeBytes, RefusesWhatNoTreeWrites) {
    const std::string node(64, '0');
    const std::string big = "01" + std::string(62, 'f') + "7f";  // 2^255 - 1 > q
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "truncated"},
        {"01" + node + "0000ff", "trailing"},
        {"02", "Optional tag"},
        {"0001" + node + "00", "right leaf without a left"},
        {"000001"
         "01" +
             node,
         "parents without a left"},
        {"01" + node + "00fd0100", "non-canonical"},
        {"01" + node + "0003", "runs past"},
        {"01" + node +
             "0004"
             "00000001" +
             node,
         "more than"},
        {big + "0000", "not below q"},
    };
    for (const auto& [text, says] : cases) {
        std::vector<std::uint8_t> data(text.size() / 2);
        for (std::size_t i = 0; i < data.size(); ++i)
            data[i] = static_cast<std::uint8_t>(std::stoul(text.substr(2 * i, 2), nullptr, 16));
        try {
            sapling::tree_from_bytes(data, 4);
            ADD_FAILURE() << text << " was read";
        } catch (const sapling::TreeError& e) {
            EXPECT_NE(std::string(e.what()).find(says), std::string::npos) << e.what();
            EXPECT_NE(std::string(e.what()).find("at byte"), std::string::npos) << e.what();
        }
    }
}

TEST(TreeBytes, AbsentLastParentsReadAsZcashdWritesThem) {
    const std::string node = "07" + std::string(62, '0');
    const std::string zebrad = "01" + node +
                               "00"
                               "03"
                               "01" +
                               node +
                               "00"
                               "00";
    std::vector<std::uint8_t> data(zebrad.size() / 2);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(std::stoul(zebrad.substr(2 * i, 2), nullptr, 16));
    const Tree tree = sapling::tree_from_bytes(data, 32);
    EXPECT_EQ(tree.parents.size(), 1u);
    EXPECT_EQ(tree.size(), 3u);
    EXPECT_EQ(sapling::tree_to_bytes(tree).size(), data.size() - 2);
}

TEST(PathBytes, RoundTripAndRefusals) {
    std::mt19937_64 rng(5);
    const std::vector<Node> path = random_leaves(rng, 4);
    const auto bytes = sapling::encode_path(path, 9);
    ASSERT_EQ(bytes.size(), 1 + 4 * 33 + 8u);
    EXPECT_EQ(bytes[1], 32);
    EXPECT_TRUE(std::equal(path[3].begin(), path[3].end(), bytes.begin() + 2));  // root side first
    const auto [decoded, position] = sapling::decode_path(bytes);
    EXPECT_EQ(decoded, path);
    EXPECT_EQ(position, 9u);
    EXPECT_THROW(sapling::encode_path(path, 16), sapling::TreeError);
    EXPECT_THROW(sapling::encode_path({}, 0), sapling::TreeError);
    auto wrong_size = bytes;
    wrong_size[1] = 31;
    EXPECT_THROW(sapling::decode_path(wrong_size), sapling::TreeError);
    auto far = bytes;
    far[far.size() - 8] = 16;
    EXPECT_THROW(sapling::decode_path(far), sapling::TreeError);
    EXPECT_THROW(sapling::decode_path(std::span(bytes).first(bytes.size() - 1)), sapling::TreeError);
}

}  // namespace
