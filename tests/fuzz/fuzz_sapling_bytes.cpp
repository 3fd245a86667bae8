// zcashd's byte forms of trees, witnesses and paths, read from anything: the
// readers either refuse with a TreeError or give a value that writes back to
// what was read (a tree's absent last parents aside, which zebrad writes and
// zcashd drops), and whose use (size, root, the next leaf) breaks nothing.
// The first byte picks the form (bits 0-1) and the depth (the rest, 1 to 62).

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

#include "sapling/serial.hpp"

namespace {

void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "broken: %s\n", what);
        std::abort();
    }
}

void check_tree(std::span<const std::uint8_t> data, unsigned depth) {
    sapling::Tree tree;
    try {
        tree = sapling::tree_from_bytes(data, depth);
    } catch (const sapling::TreeError&) {
        return;
    }
    const std::vector<std::uint8_t> written = sapling::tree_to_bytes(tree);
    require(sapling::tree_from_bytes(written, depth) == tree, "a tree reads back");
    require(written.size() <= data.size(), "writing adds nothing");
    require(tree.size() <= (std::uint64_t{1} << depth), "a tree within its depth");
    if (depth <= 10) {
        sapling::NodeHasher hasher({.threads = 1, .vartime = true});
        const sapling::Node root = tree.root(depth, {}, hasher);
        require(sapling::is_canonical(root), "a root below q");
        try {
            tree.append(sapling::UNCOMMITTED, depth, hasher);
        } catch (const sapling::TreeError&) {
            require(tree.size() == (std::uint64_t{1} << depth), "only a full tree refuses a leaf");
        }
    }
}

void check_witness(std::span<const std::uint8_t> data, unsigned depth) {
    sapling::Witness witness;
    try {
        witness = sapling::witness_from_bytes(data, depth);
    } catch (const sapling::TreeError&) {
        return;
    }
    require(sapling::witness_from_bytes(sapling::witness_to_bytes(witness), depth) == witness, "a witness reads back");
    const std::uint64_t size = witness.tree_size(depth);
    require(size <= (std::uint64_t{1} << depth), "a witness within its depth");
    require(witness.of_empty_tree() || witness.position() < size, "the witnessed leaf is in the tree");
    if (depth <= 10) {
        sapling::NodeHasher hasher({.threads = 1, .vartime = true});
        (void)witness.root(depth, hasher);
        if (!witness.of_empty_tree()) require(witness.path(depth, hasher).size() == depth, "a path of depth siblings");
        try {
            witness.append(sapling::UNCOMMITTED, depth, hasher);
            require(witness.tree_size(depth) == size + 1, "a leaf more");
        } catch (const sapling::TreeError&) {
            require(size == (std::uint64_t{1} << depth), "only a full tree refuses a leaf");
        }
    }
}

void check_path(std::span<const std::uint8_t> data) {
    try {
        const auto [path, position] = sapling::decode_path(data);
        const std::vector<std::uint8_t> written = sapling::encode_path(path, position);
        require(std::vector<std::uint8_t>(data.begin(), data.end()) == written, "a path writes back as read");
    } catch (const sapling::TreeError&) {}
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    if (size == 0) return 0;
    const std::span<const std::uint8_t> data(bytes + 1, size - 1);
    const unsigned depth = 1 + (bytes[0] >> 2) % sapling::MAX_DEPTH;
    switch (bytes[0] & 3) {
        case 0:
            check_tree(data, depth);
            break;
        case 1:
            check_witness(data, depth);
            break;
        default:
            check_path(data);
            break;
    }
    return 0;
}
