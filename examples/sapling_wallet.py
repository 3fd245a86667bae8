"""A wallet's Sapling tree: from a tree state to a spend's path, block by block.

A wallet does not hold the chain's leaves. It starts from the tree state that
zcashd's `z_gettreestate` answers (`sapling.commitments.finalState`) or
lightwalletd serves (`TreeState.saplingTree`), appends each block's note
commitments, keeps a witness of each of its own notes, and turns a witness
into an authentication path when it spends. It keeps the serialized tree and
witnesses of recent blocks to roll back a reorganisation.

    python examples/sapling_wallet.py
"""

from __future__ import annotations

from tamarind import sapling

BLOCKS = 6
PER_BLOCK = 40
# (block, index in the block) of the notes this wallet receives.
MINE = {(1, 7), (3, 0), (3, 39), (5, 12)}
# The block that replaces the last one in the reorganisation.
REPLACEMENT = 100


def block_cmus(block: int) -> list[bytes]:
    """Stand-ins for a block's note commitments (32-byte values below q)."""
    return [
        (1_000_003 * (block * PER_BLOCK + i) + 7).to_bytes(32, "little")
        for i in range(PER_BLOCK)
    ]


def chain_start() -> bytes:
    """The tree state before block 0: here, 1,000 earlier leaves."""
    tree = sapling.CommitmentTree()
    tree.extend((i.to_bytes(32, "little") for i in range(1_000)), vartime=True)
    return tree.to_bytes()


def main() -> None:
    # bytes.fromhex(answer["sapling"]["commitments"]["finalState"]) in a real wallet
    tree = sapling.CommitmentTree.from_bytes(chain_start())
    print(f"start: {tree.size} leaves")
    witnesses: list[sapling.IncrementalWitness] = []
    snapshots = []
    for block in range(BLOCKS):
        mark = [i for i in range(PER_BLOCK) if (block, i) in MINE]
        # One call per block: every witness is brought up to date, and new ones
        # are taken for the notes found in it. The chain is public data, so
        # variable time is safe here.
        found = tree.extend(
            block_cmus(block), witnesses=witnesses, mark=mark, vartime=True
        )
        witnesses += found
        snapshots.append((tree.to_bytes(), [w.to_bytes() for w in witnesses]))
        print(f"block {block}: {tree.size} leaves, {len(found)} notes found")

    # A reorganisation replaces the last block: roll back to the one before.
    state, kept = snapshots[-2]
    tree = sapling.CommitmentTree.from_bytes(state)
    witnesses = [sapling.IncrementalWitness.from_bytes(w) for w in kept]
    tree.extend(block_cmus(REPLACEMENT), witnesses=witnesses, vartime=True)
    print(f"after the reorganisation: {tree.size} leaves, {len(witnesses)} notes")

    root = tree.root()
    print(f"root (as zcash-cli shows it): {root[::-1].hex()}")
    for witness in witnesses:
        path = witness.path()
        assert witness.root() == root
        assert sapling.verify_path(witness.leaf, witness.position, path, root)
        print(f"note at {witness.position}: path verifies: True")
    # zcashd's MerklePath bytes, as a spend's proof takes them.
    encoded = sapling.encode_path(witnesses[0].path(), witnesses[0].position)
    print(f"first path: {len(encoded)} bytes")


if __name__ == "__main__":
    main()
