// Twisted Edwards points against an affine reference computed with GMP from the
// published curve parameters, plus the group laws and the compressed encoding.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "algebra/curves.hpp"
#include "algebra/encoding.hpp"
#include "fault/fault.hpp"
#include "algebra_reference.hpp"
#include "test_support.hpp"

namespace {

using reference::modulus, reference::to_bigint, reference::value, reference::Values;

// Published parameters, kept apart from the code under test.
struct JubjubPublished {
    using Config = algebra::JubjubConfig;
    static mpz_class a() { return modulus<algebra::JubjubFq>() - 1; }
    static mpz_class d() {
        return mpz_class("19257038036680949359750312669786877991949435402254120286184196891950884077233");
    }
    static mpz_class gx() {
        return mpz_class("8076246640662884909881801758704306714034609987455869804520522091855516602923");
    }
    static mpz_class gy() {
        return mpz_class("13262374693698910701929044844600465831413122818447359594527400194675274060458");
    }
    static mpz_class order() {
        return mpz_class("6554484396890773809930967563523245729705921265872317281365359162392183254199");
    }
};

struct BabyJubjubPublished {
    using Config = algebra::BabyJubjubConfig;
    static mpz_class a() { return 168700; }
    static mpz_class d() { return 168696; }
    static mpz_class gx() {
        return mpz_class("5299619240641551281634865583518297030282874472190772894086521144482721001553");
    }
    static mpz_class gy() {
        return mpz_class("16950150798460657717958625567821834550301663161624707787222815936182638968203");
    }
    static mpz_class order() {
        return mpz_class("2736030358979909402780800718157159386076813972158567259200215660948447373041");
    }
};

// The a = -1 model of Baby Jubjub: x' = s·x with s² = -168700, d' = -d/a.
struct BabyJubjubMinusOnePublished {
    using Config = algebra::BabyJubjubMinusOneConfig;
    static mpz_class p() { return modulus<algebra::BabyJubjubFq>(); }
    static mpz_class s() {
        return mpz_class("6360561867910373094066688120553762416144456282423235903351243436111059670888");
    }
    static mpz_class a() { return p() - 1; }
    static mpz_class d() { return reference::mod(-168696 * reference::inverse(168700, p()), p()); }
    static mpz_class gx() { return BabyJubjubPublished::gx() * s() % p(); }
    static mpz_class gy() { return BabyJubjubPublished::gy(); }
    static mpz_class order() { return BabyJubjubPublished::order(); }
};

// Affine twisted Edwards arithmetic with explicit inversions.
template <class Curve>
struct Reference {
    using F = typename Curve::Config::BaseField;
    struct Point {
        mpz_class x, y;
        bool operator==(const Point&) const = default;
    };
    static mpz_class p() { return modulus<F>(); }

    static Point add(const Point& P, const Point& Q) {
        const mpz_class m = p();
        const mpz_class t = Curve::d() * P.x % m * Q.x % m * P.y % m * Q.y % m;
        const mpz_class x = (P.x * Q.y + P.y * Q.x) % m * reference::inverse(1 + t, m) % m;
        const mpz_class y =
            reference::mod(P.y * Q.y - Curve::a() * P.x * Q.x, m) * reference::inverse(reference::mod(1 - t, m), m) % m;
        return {x, y};
    }

    // Right to left, unlike the code under test.
    static Point mul(mpz_class k, Point P) {
        Point r{0, 1};
        while (k > 0) {
            if (mpz_odd_p(k.get_mpz_t())) r = add(r, P);
            P = add(P, P);
            k >>= 1;
        }
        return r;
    }

    static bool on_curve(const Point& P) {
        const mpz_class m = p();
        const mpz_class x2 = P.x * P.x % m, y2 = P.y * P.y % m;
        return reference::mod(Curve::a() * x2 + y2 - 1 - Curve::d() * x2 % m * y2, m) == 0;
    }

    static Point of(const algebra::Affine<typename Curve::Config>& a) { return {value(a.x), value(a.y)}; }
    static Point of(const algebra::Projective<typename Curve::Config>& p) { return of(p.to_affine()); }
    static Point generator() { return {Curve::gx(), Curve::gy()}; }
};

template <class Curve>
class Curves : public ::testing::Test {
  protected:
    using Config = typename Curve::Config;
    using Point = algebra::Projective<Config>;
    using Affine = algebra::Affine<Config>;
    using F = typename Config::BaseField;
    using Fr = typename Config::ScalarField;
    using Ref = Reference<Curve>;

    Values values{42};

    // k·G with k a reduced scalar, together with k.
    static Point times_g(const mpz_class& k) {
        Point p = Point::generator();
        p.mul_assign(*Fr::from_bigint(to_bigint(k)));
        return p;
    }
    std::pair<Point, mpz_class> random_multiple() {
        const mpz_class k = values.below(Curve::order());
        return {times_g(k), k};
    }

    // Another representative of the same point: every coordinate times lambda.
    static Point scaled(const Point& p, const F& lambda) {
        return Point{p.x * lambda, p.y * lambda, p.t * lambda, p.z * lambda};
    }
};
using CurveTypes = ::testing::Types<JubjubPublished, BabyJubjubPublished, BabyJubjubMinusOnePublished>;
TYPED_TEST_SUITE(Curves, CurveTypes);

TYPED_TEST(Curves, GeneratorIsThePublishedPointOfPrimeOrder) {
    using Point = typename TestFixture::Point;
    using Ref = typename TestFixture::Ref;
    ASSERT_TRUE(Ref::on_curve(Ref::generator()));
    EXPECT_EQ(Ref::of(Point::generator()), Ref::generator());

    Point order_times_g = Point::generator();
    order_times_g.mul_bigint(to_bigint(TypeParam::order()));
    EXPECT_TRUE(order_times_g.is_identity());

    // (r - 1)·G + G, with r - 1 the largest scalar there is.
    Point p = Point::generator();
    p.mul_assign(-TestFixture::Fr::one());
    EXPECT_EQ(p, -Point::generator());
    EXPECT_EQ((p + Point::generator()).to_affine(), TestFixture::Affine::identity());
}

TYPED_TEST(Curves, ScalarMultiplicationMatchesTheAffineReference) {
    using Point = typename TestFixture::Point;
    using Ref = typename TestFixture::Ref;
    std::vector<mpz_class> scalars = {0, 1, 2, 3, 8, 255, TypeParam::order() - 1, TypeParam::order() - 2};
    for (int i = 0; i < 12; ++i) scalars.push_back(this->values.below(TypeParam::order()));
    for (const mpz_class& k : scalars) {
        const Point p = TestFixture::times_g(k);
        EXPECT_TRUE(p.has_valid_representation());
        EXPECT_EQ(Ref::of(p), Ref::mul(k, Ref::generator())) << k;
    }
}

// Together with the group laws on the same random multiples.
TYPED_TEST(Curves, AddAndDoubleMatchTheAffineReferenceAndTheGroupLaws) {
    using Point = typename TestFixture::Point;
    using Ref = typename TestFixture::Ref;
    const Point identity = Point::identity();
    EXPECT_TRUE(identity.double_().is_identity());
    for (int i = 0; i < 10; ++i) {
        const auto [p, k] = this->random_multiple();
        const auto [q, l] = this->random_multiple();
        const Point r = this->random_multiple().first;
        EXPECT_EQ((p + q) + r, p + (q + r));
        EXPECT_EQ(p + q, q + p);
        EXPECT_EQ(identity + p, p);
        EXPECT_EQ((p + (-p)).to_affine(), TestFixture::Affine::identity());
        EXPECT_EQ((p + q) - q, p);
        const auto rp = Ref::of(p), rq = Ref::of(q);
        EXPECT_EQ(Ref::of(p + q), Ref::add(rp, rq));
        // A representative with Z != 1 must not change the sum.
        EXPECT_EQ(Ref::of(TestFixture::scaled(p, reference::element<typename TestFixture::F>(k + 5)) + q),
                  Ref::add(rp, rq));

        Point doubled = p, self_added = p;
        doubled.double_in_place();
        self_added.add_assign(self_added);  // aliasing: reads and writes the same point
        EXPECT_EQ(Ref::of(doubled), Ref::add(rp, rp));
        EXPECT_EQ(doubled, self_added);
        EXPECT_EQ(p.double_(), doubled);
        EXPECT_TRUE(doubled.has_valid_representation() && self_added.has_valid_representation());
    }
}

TYPED_TEST(Curves, EqualityIsProjectiveAndToAffineNormalizes) {
    using Point = typename TestFixture::Point;
    using F = typename TestFixture::F;
    const Point p = this->random_multiple().first, q = this->random_multiple().first;
    const F lambda = reference::element<F>(this->values.below(reference::modulus<F>() - 2) + 2);
    EXPECT_EQ(TestFixture::scaled(p, lambda), p);
    EXPECT_EQ(TestFixture::scaled(p, lambda).to_affine(), p.to_affine());
    EXPECT_NE(TestFixture::scaled(p, lambda), q);
    EXPECT_NE(p, -p);  // same y, other x
    // Same x, other y: -P plus the point (0, -1) of order two is (x, -y).
    const Point two_torsion{F::zero(), -F::one(), F::zero(), F::one()};
    const Point mirrored = -p + two_torsion;
    EXPECT_EQ(mirrored.to_affine().x, p.to_affine().x);
    EXPECT_NE(mirrored, p);

    const Point identity_representative{F::zero(), lambda, F::zero(), lambda};
    EXPECT_TRUE(identity_representative.is_identity());
    EXPECT_EQ(identity_representative, Point::identity());
    EXPECT_NE(p, identity_representative);

    // An affine point comes back limb for limb.
    const typename TestFixture::Affine a = p.to_affine();
    const typename TestFixture::Affine back = Point::from_affine(a).to_affine();
    EXPECT_EQ(back.x.montgomery(), a.x.montgomery());
    EXPECT_EQ(back.y.montgomery(), a.y.montgomery());

    // Z = 0 breaks the representation invariant only through an outside edit; it is a fault, not a result.
    const Point broken{F::zero(), F::one(), F::zero(), F::zero()};
    EXPECT_THROW((void)broken.to_affine_vartime(), fault::Fault);
    EXPECT_EQ(p.to_affine_vartime(), p.to_affine());
}

TYPED_TEST(Curves, CompressedEncodingIsYWithTheSignOfX) {
    using Ref = typename TestFixture::Ref;
    const mpz_class half = (Ref::p() - 1) / 2;
    std::array<std::uint8_t, 32> identity_bytes{};
    identity_bytes[0] = 0x01;
    EXPECT_EQ(algebra::compressed_point(TestFixture::Affine::identity()), identity_bytes);

    for (int i = 0; i < 10; ++i) {
        const auto p = this->random_multiple().first;
        for (const auto& point : {p, -p}) {
            const typename TestFixture::Affine a = point.to_affine();
            auto expected = reference::to_le_bytes(value(a.y));
            if (value(a.x) > half) expected[31] |= 0x80;
            EXPECT_EQ(algebra::compressed_point(a), expected);
        }
    }
}

TEST(BabyJubjubEncoding, PublishedGeneratorBytes) {
    using Point = algebra::Projective<algebra::BabyJubjubConfig>;
    auto expected = test_support::unhex<32>("8b7d2d877a253c4b7733e1b91f05e0fcedf96bd11c2e572549b2a0f703727925");
    EXPECT_EQ(algebra::compressed_point(Point::generator().to_affine()), expected);
    expected[31] = 0xa5;
    EXPECT_EQ(algebra::compressed_point((-Point::generator()).to_affine()), expected);
}

TYPED_TEST(Curves, RecoverXFindsThePointsOfTheCurve) {
    using Config = typename TestFixture::Config;
    using Point = typename TestFixture::Point;
    using F = typename TestFixture::F;
    using Ref = typename TestFixture::Ref;
    const mpz_class m = Ref::p();
    // For arbitrary y, presence follows the Legendre symbol of (1 - y²)/(a - d·y²), and every
    // point found lies on the curve with order dividing cofactor · r.
    std::size_t found = 0;
    for (int i = 0; i < 60; ++i) {
        const mpz_class y = this->values.below(m);
        const mpz_class y2 = y * y % m;
        const mpz_class x2 = reference::mod(1 - y2, m) *
                             reference::inverse(reference::mod(TypeParam::a() - TypeParam::d() * y2, m), m) % m;
        const std::optional<F> x = algebra::recover_x_vartime<Config>(reference::element<F>(y));
        ASSERT_EQ(x.has_value(), mpz_legendre(x2.get_mpz_t(), m.get_mpz_t()) >= 0) << y;
        if (!x) continue;
        ++found;
        ASSERT_TRUE(Ref::on_curve({value(*x), y}));
        Point p = Point::from_affine({*x, reference::element<F>(y)});
        p.mul_bigint(to_bigint(TypeParam::order() * Config::COFACTOR));
        EXPECT_TRUE(p.is_identity());
    }
    EXPECT_GT(found, 10u);
}

}  // namespace

namespace {

// The a = -1 model is an isomorphism: it maps the generator to the
// generator, sums to sums, and back.
TEST(BabyJubjubModels, MapPointsAndSumsBothWays) {
    using Standard = algebra::Projective<algebra::BabyJubjubConfig>;
    using MinusOne = algebra::BabyJubjubMinusOneConfig;
    const Standard g = Standard::generator();
    EXPECT_EQ(MinusOne::from_standard(g), algebra::Projective<MinusOne>::generator());
    Standard p = g;
    for (int i = 0; i < 20; ++i) {
        const Standard q = p + g.double_();
        const auto mapped = MinusOne::from_standard(p) + MinusOne::from_standard(q);
        EXPECT_EQ(MinusOne::to_standard(mapped.to_affine()), (p + q).to_affine()) << i;
        EXPECT_EQ(MinusOne::to_standard(MinusOne::from_standard(p.to_affine())), p.to_affine()) << i;
        p = q;
    }
}

}  // namespace
