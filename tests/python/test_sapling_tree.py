"""The wallet's tree: zcashd's own test data, batches against one leaf at a
time, and refusals that change nothing."""

import copy
import json
import pathlib
import pickle
import random
import time

import pytest
from test_incremental import Interrupted, sigint_during  # noqa: F401 (a fixture)

from tamarind import ZcashPedersen, sapling

DATA = pathlib.Path(__file__).resolve().parents[3] / "shared" / "data" / "sapling-tree"
Q = sapling.Q


def load(name):
    path = DATA / name
    if not path.exists():
        pytest.skip(f"zcashd's test data is not here: {path}")
    return json.loads(path.read_text())


@pytest.fixture(scope="module")
def zcashd():
    return {
        "cmus": [bytes.fromhex(h)[::-1] for h in load("merkle_commitments_sapling.json")],
        "roots": load("merkle_roots_sapling.json"),
        "trees": load("merkle_serialization_sapling.json"),
        "witnesses": load("merkle_witness_serialization_sapling.first10rounds.json"),
        "paths": load("merkle_path_sapling.first10rounds.json"),
    }


def rounds(zcashd, batch):
    """zcashd's test, round by round: yields (round, tree, witnesses); `batch`
    appends each leaf with extend() instead of append()."""
    tree, witnesses = sapling.CommitmentTree(depth=4), []
    for i, cmu in enumerate(zcashd["cmus"]):
        witnesses.append(tree.witness())
        if batch:
            assert tree.extend([cmu], witnesses=witnesses) == []
        else:
            tree.append(cmu)
            for w in witnesses:
                w.append(cmu)
        yield i, tree, witnesses


@pytest.mark.parametrize("batch", [False, True], ids=["append", "extend"])
def test_zcashd_roots_states_witnesses_and_paths(zcashd, batch):
    witness_bytes, path_bytes = iter(zcashd["witnesses"]), iter(zcashd["paths"])
    for i, tree, witnesses in rounds(zcashd, batch):
        assert tree.root().hex() == zcashd["roots"][i]
        assert tree.to_bytes().hex() == zcashd["trees"][i]
        assert len(tree) == tree.size == i + 1
        if i >= 10:
            continue
        for k, w in enumerate(witnesses):
            if k > 0:
                expected = next(path_bytes)
                assert sapling.encode_path(w.path(), w.position).hex() == expected
                assert sapling.decode_path(bytes.fromhex(expected)) == (w.path(), w.position)
            expected = next(witness_bytes)
            assert w.to_bytes().hex() == expected
            assert w.root(vartime=True) == tree.root()
            assert w.tree_size == i + 1
            read = sapling.IncrementalWitness.from_bytes(bytes.fromhex(expected), depth=4)
            assert read == w and read.root() == tree.root()


def test_zcashd_states_read_back(zcashd):
    for state, root in zip(zcashd["trees"], zcashd["roots"]):
        tree = sapling.CommitmentTree.from_bytes(bytes.fromhex(state), depth=4)
        assert tree.root().hex() == root
        assert tree.to_bytes().hex() == state


def leaves(rng, n):
    return [rng.getrandbits(254).to_bytes(32, "little") for _ in range(n)]


@pytest.mark.parametrize("seed", range(6))
def test_batches_equal_one_leaf_at_a_time_however_cut(seed):
    """Random sizes, cuts, kept witnesses and marks: every state equals
    zcashd's way byte for byte, and roots and paths equal the whole tree's."""
    rng = random.Random(seed)
    depth = rng.randint(1, 6)
    total = rng.randint(1, 1 << depth)
    cmus = leaves(rng, total)
    slow, fast = sapling.CommitmentTree(depth), sapling.CommitmentTree(depth)
    slow_kept, fast_kept = [slow.witness()], [fast.witness()]
    at = 0
    while at < total:
        batch = cmus[at : at + rng.randint(1, max(1, total // 3))]
        mark = rng.sample(range(len(batch)), rng.randint(0, len(batch)))
        marked = {}
        for j, cmu in enumerate(batch):
            slow.append(cmu)
            for w in slow_kept + list(marked.values()):
                w.append(cmu)
            if j in mark:
                marked[j] = slow.witness()
        new = fast.extend(iter(batch), witnesses=fast_kept, mark=mark, threads=rng.randint(1, 2), vartime=True)
        assert [w.to_bytes() for w in new] == [marked[j].to_bytes() for j in mark]
        slow_kept += [marked[j] for j in mark]
        fast_kept += new
        at += len(batch)
        assert fast == slow and fast.to_bytes() == slow.to_bytes()
        root = sapling.merkle_root(cmus[:at], depth=depth, vartime=True)
        assert fast.root() == root
        for s, f in zip(slow_kept, fast_kept):
            assert f == s and f.tree_size == at and f.root() == root
            if f is not fast_kept[0]:
                assert f.path() == sapling.merkle_path(cmus[:at], f.position, depth=depth, vartime=True)
                assert sapling.verify_path(f.leaf, f.position, f.path(), root)


def snapshot(tree, witnesses):
    return tree.to_bytes(), [w.to_bytes() for w in witnesses], tree.root(vartime=True)


GOOD = (5).to_bytes(32, "little")


@pytest.mark.parametrize(
    "change, error, message",
    [
        (lambda t, w, o: t.extend([GOOD, bytes(31)], witnesses=w), ValueError, "cmus item 1 must be 32 bytes, not 31"),
        (lambda t, w, o: t.extend([GOOD, Q.to_bytes(32, "little")]), ValueError, "cmus item 1 is not a canonical"),
        (lambda t, w, o: t.extend([GOOD, "x" * 32]), TypeError, "cmus item 1 must be a bytes-like object"),
        (lambda t, w, o: t.extend([GOOD] * 13), ValueError, r"cmus item 12: the tree is full"),
        (lambda t, w, o: t.extend([GOOD], mark=[True]), TypeError, "mark item 0: an integer is required"),
        (lambda t, w, o: t.extend([GOOD], mark=[1]), ValueError, "mark item 0: index 1 is out of range for 1 cmus"),
        (lambda t, w, o: t.extend([GOOD, GOOD], mark=[0, 0]), ValueError, "mark item 1: index 0 is repeated"),
        (lambda t, w, o: t.extend([GOOD], witnesses=[w[0], w[0]]), ValueError, "the same witness as item 0"),
        (lambda t, w, o: t.extend([GOOD], witnesses=[o["deep"]]), ValueError, "a witness of depth 5"),
        (lambda t, w, o: t.extend([GOOD], witnesses=[o["stale"]]), ValueError, "a witness of a tree of 3 leaves"),
        (lambda t, w, o: t.extend([GOOD], witnesses=[o["other"]]), ValueError, "its root is not the tree's"),
        (lambda t, w, o: t.extend([GOOD], witnesses=[1]), TypeError, "an IncrementalWitness is required"),
        (lambda t, w, o: t.extend([GOOD], [], []), TypeError, "takes 1 positional argument"),
    ],
)
def test_refused_extend_changes_nothing(change, error, message):
    tree = sapling.CommitmentTree(depth=4)
    tree.extend([GOOD] * 3)
    stale = tree.witness()
    tree.extend([GOOD], vartime=True)
    caught_up = stale.copy()
    caught_up.append(GOOD)
    kept = [tree.witness(), caught_up]
    # Same size as the tree, other leaves; and the tree with UNCOMMITTED appended has the same root.
    other = sapling.CommitmentTree(depth=4)
    other.extend([GOOD] * 3 + [sapling.UNCOMMITTED])
    deep = sapling.CommitmentTree(depth=5)
    deep.extend([GOOD] * 4)
    others = {"deep": deep.witness(), "stale": stale, "other": other.witness()}
    before = snapshot(tree, kept)
    with pytest.raises(error, match=message):
        change(tree, kept, others)
    assert snapshot(tree, kept) == before


def test_uncommitted_leaves_keep_the_root_but_not_the_size():
    tree = sapling.CommitmentTree(depth=4)
    tree.extend([GOOD] * 3)
    witness = tree.witness()
    tree.append(sapling.UNCOMMITTED)
    assert witness.root() == tree.root()
    with pytest.raises(ValueError, match="a witness of a tree of 3 leaves, not of this tree's 4"):
        tree.extend([GOOD], witnesses=[witness])


@pytest.mark.parametrize(
    "data, message",
    [
        ("", "truncated: 1 bytes needed, 0 left at byte 0"),
        ("01" + "00" * 32 + "0000" + "ff", "1 trailing bytes at byte 35"),
        ("03", "an Optional tag of 3, not 0 or 1 at byte 0"),
        ("0001" + "00" * 32 + "00", "a right leaf without a left one at byte 1"),
        ("000001" + "00", "parents without a left leaf at byte 0"),
        ("01" + "00" * 32 + "00" + "fd0300", "a non-canonical CompactSize at byte 34"),
        ("01" + "00" * 32 + "00" + "02" + "00", "a count of 2 that runs past the data at byte 34"),
        ("01" + "00" * 32 + "00" + "04" + "00" * 4, r"4 parents, more than the depth allows \(3\) at byte 34"),
        ("01" + "01" + "00" * 30 + "80" + "0000", "a node not below q .* at byte 1"),
    ],
)
def test_tree_bytes_refused_with_what_and_where(data, message):
    with pytest.raises(ValueError, match="tree state: " + message):
        sapling.CommitmentTree.from_bytes(bytes.fromhex(data), depth=4)


def test_witness_bytes_refuse_what_no_witness_holds():
    tree = sapling.CommitmentTree(depth=4)
    tree.extend([GOOD] * 2)
    witness = tree.witness().to_bytes()  # position 1: the right siblings at heights 1, 2, 3
    with pytest.raises(ValueError, match=r"witness: 4 filled nodes, more than the witness can hold \(3\)"):
        sapling.IncrementalWitness.from_bytes(witness[:-2] + b"\x04" + GOOD * 4 + b"\x00", depth=4)
    # A cursor at height 1 (below the third leaf) holding two leaves: complete, it should have been filled.
    cursor = b"\x01" + b"\x01" + GOOD + b"\x01" + GOOD + b"\x00"
    with pytest.raises(ValueError, match="a cursor that cannot belong to the witness"):
        sapling.IncrementalWitness.from_bytes(witness[:-1] + cursor, depth=4)
    one = sapling.CommitmentTree(depth=4)
    one.append(GOOD)  # position 0 needs the leaf at 1 first: no cursor can hold it
    with pytest.raises(ValueError, match="a cursor that cannot belong to the witness"):
        sapling.IncrementalWitness.from_bytes(one.witness().to_bytes()[:-1] + b"\x01\x01" + GOOD + b"\x00\x00", 4)


def test_absent_last_parents_as_zebrad_writes_them():
    tree = sapling.CommitmentTree(depth=32)
    tree.extend([GOOD] * 5)
    zcashd = tree.to_bytes()
    left_right, count, parents = zcashd[:34], zcashd[34], zcashd[35:]
    zebrad = left_right + bytes([31]) + parents + b"\x00" * (31 - count)
    read = sapling.CommitmentTree.from_bytes(zebrad)
    assert read == tree and read.to_bytes() == zcashd and read.root() == tree.root()


@pytest.mark.parametrize(
    "path, position, message",
    [
        ([GOOD] * 4, 16, "position 16 is out of range for a path of depth 4"),
        ([GOOD] * 4, -1, "position -1 is out of range for a path of depth 4"),
        ([], 0, "a path holds 1 to 62 siblings, not 0"),
        ([GOOD, bytes(31)], 0, r"path\[1\] must be 32 bytes, not 31"),
    ],
)
def test_encode_path_refusals(path, position, message):
    with pytest.raises(ValueError, match=message):
        sapling.encode_path(path, position)


@pytest.mark.parametrize(
    "change, message",
    [
        (lambda b: b[:-1], "truncated: 8 bytes needed, 7 left at byte 67"),
        (lambda b: b + b"\x00", "1 trailing bytes at byte 75"),
        (lambda b: b[:1] + b"\x1f" + b[2:], "an element of 31 bytes, not 32 at byte 1"),
        (lambda b: b"\x00" + b[1:], "a depth of 0, not in"),
        (lambda b: b"\x3f" + b[1:], "a count of 63 that runs past the data"),
        (lambda b: b[:-8] + (4).to_bytes(8, "little"), "position 4, not below 2\\*\\*2 at byte 67"),
    ],
)
def test_decode_path_refusals(change, message):
    data = sapling.encode_path([GOOD, sapling.UNCOMMITTED], 3)
    with pytest.raises(ValueError, match="path: " + message):
        sapling.decode_path(change(data))


def test_the_empty_trees_witness_has_no_leaf_and_no_path():
    witness = sapling.CommitmentTree(depth=4).witness()
    for attribute in ("position", "leaf"):
        with pytest.raises(ValueError, match=f"the empty tree's witness has no {attribute}"):
            getattr(witness, attribute)
    with pytest.raises(ValueError, match="the empty tree's witness has no path"):
        witness.path()
    witness.append(GOOD)
    assert witness.tree_size == 1 and witness.root() == sapling.merkle_root([GOOD], depth=4)


@pytest.mark.parametrize("make", [lambda t: t, lambda t: t.witness()], ids=["tree", "witness"])
def test_copies_and_pickles_are_equal_and_independent(make):
    tree = sapling.CommitmentTree(depth=8)
    tree.extend([GOOD] * 5)
    value = make(tree)
    for other in (value.copy(), copy.copy(value), copy.deepcopy(value), pickle.loads(pickle.dumps(value))):
        assert other == value and other is not value
        other.append(GOOD)
        assert other != value
    assert type(pickle.loads(pickle.dumps(value))).__module__ == "tamarind.sapling"


@pytest.mark.parametrize("depth", [0, 63, -1])
def test_depth_outside_1_to_62_refused(depth):
    with pytest.raises(ValueError, match=rf"depth must be in \[1, 62\], not {depth}"):
        sapling.CommitmentTree(depth)
    with pytest.raises(ValueError, match=rf"depth must be in \[1, 62\], not {depth}"):
        sapling.IncrementalWitness.from_bytes(b"\x00\x00\x00\x00\x00", depth)


def test_a_full_tree_refuses_a_leaf():
    tree = sapling.CommitmentTree(depth=2)
    tree.extend([GOOD] * 4)
    with pytest.raises(ValueError, match="the tree is full"):
        tree.append(GOOD)
    assert tree.size == 4


def test_sigint_interrupts_a_long_extend_and_changes_nothing(sigint_during):  # noqa: F811
    tree = sapling.CommitmentTree()
    tree.extend([GOOD] * 3)
    kept = [tree.witness()]
    before = snapshot(tree, kept)
    cmus = [GOOD] * (1 << 16)  # seconds of work, in constant time
    start = sigint_during()
    with pytest.raises(Interrupted):
        sent_at = start()
        tree.extend(cmus, witnesses=kept, threads=1)
    latency = time.monotonic() - sent_at()
    print(f"extend: interrupted {latency * 1000:.1f} ms after SIGINT")
    # Checks come every few milliseconds; only a call that missed the signal takes this long.
    assert latency < 30, f"extend ended {latency:.1f} s after SIGINT"
    assert snapshot(tree, kept) == before


@pytest.mark.parametrize(
    "leaf, path, root",
    [
        (b"\xff" * 32, [], b"\xff" * 32),  # depth 0 compared raw bytes once
        (GOOD, [], Q.to_bytes(32, "little")),
        (GOOD, [Q.to_bytes(32, "little")], GOOD),
    ],
)
def test_verify_path_refuses_non_canonical_nodes(leaf, path, root):
    with pytest.raises(ValueError, match="is not a canonical field element"):
        sapling.verify_path(leaf, 0, path, root)


def test_strided_views_are_read_in_order():
    spread = bytearray(64)
    spread[::2] = GOOD
    assert sapling.merkle_hash(0, memoryview(spread)[::2], GOOD) == sapling.merkle_hash(0, GOOD, GOOD)


def encode_point(u, v):
    return (v | (u & 1) << 255).to_bytes(32, "little")


def subgroup_point():
    u, v = ZcashPedersen().point(b"address")
    return u, v


@pytest.mark.parametrize(
    "point",
    [
        (2).to_bytes(32, "little"),  # no point has v = 2
        (Q + 1).to_bytes(32, "little"),  # v not below q
        (1 | 1 << 255).to_bytes(32, "little"),  # u = 0 with the sign bit set (ZIP 216)
        (1).to_bytes(32, "little"),  # the identity
        (Q - 1).to_bytes(32, "little"),  # (0, -1), of order 2
        encode_point(Q - subgroup_point()[0], Q - subgroup_point()[1]),  # on the curve, outside the subgroup
    ],
    ids=["off-curve", "v-not-below-q", "zero-u-with-sign", "identity", "order-2", "outside-subgroup"],
)
@pytest.mark.parametrize("argument", ["g_d", "pk_d"])
def test_note_commitment_refuses_what_no_address_holds(point, argument):
    good = encode_point(*subgroup_point())
    args = {"g_d": good, "pk_d": good, "value": 0, "rcm": bytes(32)}
    assert len(sapling.note_commitment(**args)) == 32
    args[argument] = point
    with pytest.raises(ValueError, match=f"{argument} is not a point a payment address can hold"):
        sapling.note_commitment(**args)
