"""Pure-Python BLAKE-256 (14 rounds, zero salt), written for the tests only
from the published algorithm description. Padding is done at the bit level
and the counter is computed per block, unlike the streaming C++ code."""

M32 = 0xFFFFFFFF
IV = [0x6A09E667, 0xBB67AE85, 0x3C6EF372, 0xA54FF53A, 0x510E527F, 0x9B05688C, 0x1F83D9AB, 0x5BE0CD19]
C = [
    0x243F6A88,
    0x85A308D3,
    0x13198A2E,
    0x03707344,
    0xA4093822,
    0x299F31D0,
    0x082EFA98,
    0xEC4E6C89,
    0x452821E6,
    0x38D01377,
    0xBE5466CF,
    0x34E90C6C,
    0xC0AC29B7,
    0xC97C50DD,
    0x3F84D5B5,
    0xB5470917,
]
SIGMA = [
    [0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15],
    [14, 10, 4, 8, 9, 15, 13, 6, 1, 12, 0, 2, 11, 7, 5, 3],
    [11, 8, 12, 0, 5, 2, 15, 13, 10, 14, 3, 6, 7, 1, 9, 4],
    [7, 9, 3, 1, 13, 12, 11, 14, 2, 6, 5, 10, 4, 0, 15, 8],
    [9, 0, 5, 7, 2, 4, 10, 15, 14, 1, 11, 12, 6, 8, 3, 13],
    [2, 12, 6, 10, 0, 11, 8, 3, 4, 13, 7, 5, 15, 14, 1, 9],
    [12, 5, 1, 15, 14, 13, 4, 10, 0, 7, 6, 3, 9, 2, 8, 11],
    [13, 11, 7, 14, 12, 1, 3, 9, 5, 0, 15, 4, 8, 6, 2, 10],
    [6, 15, 14, 9, 11, 3, 0, 8, 12, 2, 13, 7, 1, 4, 10, 5],
    [10, 2, 8, 4, 7, 6, 1, 5, 15, 11, 9, 14, 3, 12, 13, 0],
]


def rotr(x, n):
    return ((x >> n) | (x << (32 - n))) & M32


def compress(h, m, t, s=(0, 0, 0, 0)):
    v = (
        list(h)
        + [s[i] ^ C[i] for i in range(4)]
        + [C[4] ^ (t & M32), C[5] ^ (t & M32), C[6] ^ (t >> 32), C[7] ^ (t >> 32)]
    )

    def G(r, i, a, b, c, d):
        p = SIGMA[r % 10]
        j, k = p[2 * i], p[2 * i + 1]
        v[a] = (v[a] + v[b] + (m[j] ^ C[k])) & M32
        v[d] = rotr(v[d] ^ v[a], 16)
        v[c] = (v[c] + v[d]) & M32
        v[b] = rotr(v[b] ^ v[c], 12)
        v[a] = (v[a] + v[b] + (m[k] ^ C[j])) & M32
        v[d] = rotr(v[d] ^ v[a], 8)
        v[c] = (v[c] + v[d]) & M32
        v[b] = rotr(v[b] ^ v[c], 7)

    for r in range(14):
        for i, (a, b, c, d) in enumerate(
            [
                (0, 4, 8, 12),
                (1, 5, 9, 13),
                (2, 6, 10, 14),
                (3, 7, 11, 15),
                (0, 5, 10, 15),
                (1, 6, 11, 12),
                (2, 7, 8, 13),
                (3, 4, 9, 14),
            ]
        ):
            G(r, i, a, b, c, d)
    return [h[i] ^ s[i % 4] ^ v[i] ^ v[i + 8] for i in range(8)]


def blake256(msg: bytes) -> bytes:
    L = 8 * len(msg)
    # Bit string: message, a 1, zeros until length = 447 mod 512, a 1, 64-bit length.
    bits = "".join(f"{b:08b}" for b in msg) + "1"
    bits += "0" * ((447 - len(bits)) % 512) + "1" + f"{L:064b}"
    assert len(bits) % 512 == 0
    h = list(IV)
    nblocks = len(bits) // 512
    for n in range(nblocks):
        block = bits[512 * n : 512 * (n + 1)]
        m = [int(block[32 * i : 32 * (i + 1)], 2) for i in range(16)]
        # Message bits covered up to the end of this block; 0 if the block has none.
        t = 0 if 512 * n >= L else min(L, 512 * (n + 1))
        h = compress(h, m, t)
    return b"".join(x.to_bytes(4, "big") for x in h)
