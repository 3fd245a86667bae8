// Prepared affine points: the batch conversion keeps every point, and mixed
// addition agrees with the general formula on random multiples, negations and
// the identity.

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "algebra/curves.hpp"
#include "algebra/precomputed.hpp"

namespace {

template <class Config>
class PrecomputedTest : public testing::Test {};

using Configs = testing::Types<algebra::JubjubConfig, algebra::EdwardsConfig>;
TYPED_TEST_SUITE(PrecomputedTest, Configs);

template <class Config>
std::vector<algebra::Projective<Config>> random_points(std::size_t count) {
    std::mt19937_64 rng(count);
    std::vector<algebra::Projective<Config>> points = {algebra::Projective<Config>::identity()};
    while (points.size() < count) {
        auto p = algebra::Projective<Config>::generator();
        p.mul_assign(Config::ScalarField::from(rng()));
        points.push_back(p);
        points.push_back(p.double_());  // a representative with Z != 1
        points.push_back(-p);
    }
    return points;
}

TYPED_TEST(PrecomputedTest, BatchConversionKeepsEveryPoint) {
    using Config = TypeParam;
    const auto points = random_points<Config>(40);
    std::vector<algebra::Precomputed<Config>> prepared(points.size());
    algebra::precompute_batch<Config>(points, prepared);
    for (std::size_t i = 0; i < points.size(); ++i) {
        EXPECT_EQ(prepared[i], points[i]) << i;
        EXPECT_EQ(prepared[i].dt, Config::COEFF_D * prepared[i].x * prepared[i].y) << i;
        EXPECT_EQ(-prepared[i], -points[i]) << i;
    }
}

TYPED_TEST(PrecomputedTest, MixedAdditionAgreesWithTheGeneralFormula) {
    using Config = TypeParam;
    const auto points = random_points<Config>(25);
    std::vector<algebra::Precomputed<Config>> prepared(points.size());
    algebra::precompute_batch<Config>(points, prepared);
    for (std::size_t i = 0; i < points.size(); ++i) {
        for (std::size_t j = 0; j < points.size(); j += 3) {
            auto mixed = points[j];
            add_assign(mixed, prepared[i]);
            EXPECT_EQ(mixed, points[j] + points[i]) << i << "," << j;
            EXPECT_TRUE(mixed.has_valid_representation());
        }
        auto cancelled = points[i];
        add_assign(cancelled, -prepared[i]);
        EXPECT_TRUE(cancelled.is_identity()) << i;
    }
}

}  // namespace
