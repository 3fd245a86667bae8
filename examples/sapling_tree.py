"""A Zcash Sapling note commitment tree: note commitments, the root, a witness.

Four notes to the same payment address are committed to (cmu, the value a
Sapling output publishes) and appended to a depth-32 tree, as a wallet's copy
of the chain's tree; the wallet then proves the third note is in the tree with
its authentication path, as a spend does.

    python examples/sapling_tree.py
"""

from __future__ import annotations

from tamarind import sapling

# A payment address's diversified base g_d and transmission key pk_d, and the
# trapdoor rcm of the first note (values from Zcash's test data).
G_D = bytes.fromhex("3a71e348169e0cedbc4f3633a260d0e785ea8f8927ce4501cef3216ed075cea2")
PK_D = bytes.fromhex("db4cd2b0aac4f7eb8ca131f16567c445a9555126d3c29f14e3d776e841ae7415")
RCM = bytes.fromhex("39176dac39ace4980ecc8d778e89860255ec3615060000000000000000000000")


def main() -> None:
    print(f"empty tree root: {sapling.empty_root(32).hex()}")

    # Notes of 0, 1, 2 and 3 ZEC; a real wallet draws each rcm at random below
    # the Jubjub subgroup order.
    first_rcm = int.from_bytes(RCM, "little")
    notes = [
        (zec * 100_000_000, (first_rcm + zec).to_bytes(32, "little"))
        for zec in range(4)
    ]
    leaves = [sapling.note_commitment(G_D, PK_D, value, rcm) for value, rcm in notes]
    for position, cmu in enumerate(leaves):
        print(f"cmu {position}: {cmu.hex()}")

    root = sapling.merkle_root(leaves)
    print(f"root: {root.hex()}")

    position = 2
    path = sapling.merkle_path(leaves, position)
    print(f"path of leaf {position}: {len(path)} siblings, bottom up")
    for height in (0, 1):
        print(f"sibling {height}: {path[height].hex()}")
    verified = sapling.verify_path(leaves[position], position, path, root)
    print(f"path verifies: {verified}")
    misplaced = sapling.verify_path(leaves[3], position, path, root)
    print(f"path verifies for another leaf: {misplaced}")


if __name__ == "__main__":
    main()
