"""Plain-integer twisted Edwards arithmetic, written for the tests only.

It shares nothing with the C++ core (affine formulas, Python integers, modular
inverse through pow), so hash values computed with it are an independent check.
"""

from __future__ import annotations

from dataclasses import dataclass

Point = tuple[int, int]


@dataclass(frozen=True)
class Curve:
    p: int  # base field modulus
    a: int
    d: int
    order: int  # prime subgroup order
    generator: Point

    def on_curve(self, point: Point) -> bool:
        x, y = point
        p = self.p
        return (self.a * x * x + y * y - 1 - self.d * x * x * y * y) % p == 0

    def add(self, u: Point, v: Point) -> Point:
        (x1, y1), (x2, y2) = u, v
        p = self.p
        t = self.d * x1 * x2 * y1 * y2 % p
        x3 = (x1 * y2 + y1 * x2) * pow(1 + t, -1, p) % p
        y3 = (y1 * y2 - self.a * x1 * x2) * pow(1 - t, -1, p) % p
        return (x3, y3)

    def neg(self, u: Point) -> Point:
        return (-u[0] % self.p, u[1])

    def mul(self, u: Point, k: int) -> Point:
        if k < 0:
            return self.mul(self.neg(u), -k)
        result: Point = (0, 1)
        while k:
            if k & 1:
                result = self.add(result, u)
            u = self.add(u, u)
            k >>= 1
        return result

    def compress(self, u: Point) -> bytes:
        """y little-endian, bit 7 of byte 31 set when x > (p - 1) / 2."""
        x, y = u
        out = bytearray(y.to_bytes(32, "little"))
        if x > (self.p - 1) // 2:
            out[31] |= 0x80
        return bytes(out)

    def sqrt(self, w: int) -> int | None:
        """Some square root of w, or None (Tonelli-Shanks on plain integers)."""
        p = self.p
        w %= p
        if w == 0:
            return 0
        if pow(w, (p - 1) // 2, p) != 1:
            return None
        q, s = p - 1, 0
        while q % 2 == 0:
            q, s = q // 2, s + 1
        z = 2
        while pow(z, (p - 1) // 2, p) != p - 1:
            z += 1
        m, c, t, r = s, pow(z, q, p), pow(w, q, p), pow(w, (q + 1) // 2, p)
        while t != 1:
            i, t2 = 0, t
            while t2 != 1:
                t2, i = t2 * t2 % p, i + 1
            b = pow(c, 1 << (m - i - 1), p)
            m, c, t, r = i, b * b % p, t * b * b % p, r * b % p
        return r

    def x_squared(self, y: int) -> int | None:
        """x² for a point with this y, or None when the denominator vanishes."""
        p = self.p
        denominator = (self.a - self.d * y * y) % p
        if denominator == 0:
            return None
        return (1 - y * y) * pow(denominator, -1, p) % p


JUBJUB_Q = 0x73EDA753299D7D483339D80809A1D80553BDA402FFFE5BFEFFFFFFFF00000001
JUBJUB = Curve(
    p=JUBJUB_Q,
    a=JUBJUB_Q - 1,
    d=-10240 * pow(10241, -1, JUBJUB_Q) % JUBJUB_Q,
    order=0x0E7DB4EA6533AFA906673B0101343B00A6682093CCC81082D0970E5ED6F72CB7,
    generator=(
        8076246640662884909881801758704306714034609987455869804520522091855516602923,
        13262374693698910701929044844600465831413122818447359594527400194675274060458,
    ),
)

BABYJUBJUB_P = 21888242871839275222246405745257275088548364400416034343698204186575808495617
BABYJUBJUB = Curve(
    p=BABYJUBJUB_P,
    a=168700,
    d=168696,
    order=2736030358979909402780800718157159386076813972158567259200215660948447373041,
    generator=(
        5299619240641551281634865583518297030282874472190772894086521144482721001553,
        16950150798460657717958625567821834550301663161624707787222815936182638968203,
    ),
)


def bits_lsb_first(data: bytes) -> list[int]:
    return [(byte >> i) & 1 for byte in data for i in range(8)]


def to_le32(value: int) -> bytes:
    return value.to_bytes(32, "little")
