// The variable-time lanes against the scalar path: the field arithmetic on
// every backend this machine runs, and whole batches of every hasher.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iostream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "algebra/fields.hpp"
#include "algebra/lanes.hpp"
#include "constructions/circom.hpp"
#include "constructions/configurable.hpp"
#include "constructions/zcash.hpp"
#include "pedersen/lanes.hpp"
#include "pedersen/many.hpp"
#include "test_support.hpp"

namespace {

using test_support::Bytes;

// The lane backends that run here; the output names them.
std::vector<pedersen::LaneKernel> lane_kernels() {
    std::vector<pedersen::LaneKernel> out{pedersen::LaneKernel::Portable};
    if (pedersen::ifma_lanes_available()) out.push_back(pedersen::LaneKernel::Ifma);
    return out;
}

const char* name(pedersen::LaneKernel k) {
    return k == pedersen::LaneKernel::Ifma ? "avx512ifma" : k == pedersen::LaneKernel::Portable ? "portable" : "scalar";
}

// Restores the kernel chosen at start-up.
struct KernelScope {
    pedersen::LaneKernel saved = pedersen::lane_kernel();
    explicit KernelScope(pedersen::LaneKernel k) { EXPECT_EQ(pedersen::set_lane_kernel(k), k); }
    ~KernelScope() { pedersen::set_lane_kernel(saved); }
};

template <class F>
F random_element(std::mt19937_64& rng) {
    algebra::BigInt<4> v;
    for (auto& limb : v.limbs) limb = rng();
    v.limbs[3] >>= 2;
    while (v >= F::MODULUS) v.sub_with_borrow(F::MODULUS);
    return F::from_montgomery(v);
}

template <class F>
using Results = std::array<std::array<algebra::BigInt<4>, 8>, 3>;

// a·b/16, 8(a + b)·(a - b)/16, and (a - a·b/16)·(a·b/16 + b)/16 from the
// unnormalized a·b/16, on eight lanes.
template <class B, class F>
[[gnu::always_inline]] inline Results<F> lane_results(const std::array<F, 8>& a, const std::array<F, 8>& b) {
    using L = algebra::lanes::Field<B, F>;
    typename L::Element ea, eb;
    for (int i = 0; i < 5; ++i) {
        alignas(64) std::uint64_t wa[8], wb[8];
        for (std::size_t l = 0; l < 8; ++l) {
            wa[l] = algebra::lanes::split52(a[l].montgomery())[i];
            wb[l] = algebra::lanes::split52(b[l].montgomery())[i];
        }
        ea.limb[i] = B::load(wa);
        eb.limb[i] = B::load(wb);
    }
    const auto lazy = L::mul_lazy(ea, eb);
    Results<F> out;
    L::extract(L::mul(ea, eb), out[0]);
    L::extract(L::mul(L::template shift_up<3>(L::add(ea, eb)), L::template sub<2>(ea, eb)), out[1]);
    L::extract(L::mul(L::template sub<2>(ea, lazy), L::add(lazy, eb)), out[2]);
    return out;
}

#if ALGEBRA_LANES_IFMA
// Vectors cross no call boundary: all of it compiled for AVX-512.
template <class F>
[[ALGEBRA_IFMA_TARGET, gnu::flatten]] Results<F> ifma_results(const std::array<F, 8>& a, const std::array<F, 8>& b) {
    return lane_results<algebra::lanes::Ifma, F>(a, b);
}
#endif

// Against Fp, on random elements and on 0, 1 and p - 1.
template <class F>
void check_field(std::mt19937_64& rng, const char* field) {
    const F sixteenth = *F::from(16).inverse_vartime();
    for (int round = 0; round < 200; ++round) {
        std::array<F, 8> a, b;
        for (std::size_t l = 0; l < 8; ++l) {
            a[l] = random_element<F>(rng);
            b[l] = random_element<F>(rng);
        }
        if (round == 0) a = {F::zero(), -F::one(), F::one(), -F::one(), a[4], a[5], a[6], a[7]};
        if (round == 0) b[1] = -F::one();
        std::vector<std::pair<const char*, Results<F>>> results{
            {"portable", lane_results<algebra::lanes::Portable, F>(a, b)}};
#if ALGEBRA_LANES_IFMA
        if (pedersen::ifma_lanes_available()) results.emplace_back("avx512ifma", ifma_results<F>(a, b));
#endif
        for (const auto& [backend, r] : results) {
            for (std::size_t l = 0; l < 8; ++l) {
                const auto where = std::string(field) + " on " + backend + ", lane " + std::to_string(l);
                const F ab = a[l] * b[l] * sixteenth;
                EXPECT_EQ(r[0][l], ab.montgomery()) << where;
                EXPECT_EQ(r[1][l], ((a[l] + b[l]) * (a[l] - b[l]) * F::from(8) * sixteenth).montgomery()) << where;
                EXPECT_EQ(r[2][l], ((a[l] - ab) * (ab + b[l]) * sixteenth).montgomery()) << where;
            }
        }
    }
}

TEST(Lanes, FieldArithmeticEqualsFpOnEveryBackend) {
    std::mt19937_64 rng(5);
    check_field<algebra::JubjubFq>(rng, "Jubjub");
    check_field<algebra::BabyJubjubFq>(rng, "BabyJubjub");
    std::cout << "lane backends checked: portable" << (pedersen::ifma_lanes_available() ? ", avx512ifma" : "") << "\n";
}

template <class H>
std::vector<algebra::Bytes32> many_vartime(H& hasher, const std::vector<Bytes>& items, unsigned threads) {
    pedersen::ManyInputs<H> inputs(hasher, std::nullopt);
    for (const Bytes& item : items) EXPECT_EQ(inputs.add(item), std::nullopt);
    return inputs.hash(hasher, threads, {}, true);
}

// Every shape of instance: shared, wide and grown tables, caps so small that
// segments are summed by Horner's rule beside the lanes, the configurable
// kinds; items of mixed lengths, so lanes take new items at different steps,
// the empty item included.
TEST(Lanes, BatchesEqualTheScalarPathForEveryHasher) {
    pedersen::ZcashPedersen zcash;
    pedersen::ZcashPedersen zcash_small{{'T', 'a', 'm', 'a', 'r', 'i', 'n', 'd'}, 60'000};
    pedersen::CircomPedersen circom;
    pedersen::CircomPedersen circom_small{40'000};
    const auto baby = pedersen::BabyJubjubPedersen::build(300, 13);
    const auto bowe = pedersen::JubjubBoweHopwood::build(60, 7);
    std::mt19937_64 rng(17);
    std::vector<Bytes> all_items;
    for (int i = 0; i < 75; ++i)
        all_items.push_back(test_support::random_bytes(i % 19 == 0 ? 300 : i == 3 ? 0 : rng() % 90, rng()));
    const auto check = [&](auto& hasher, const char* what) {
        std::vector<Bytes> items = all_items;  // cut to what the hasher takes
        if (const auto bits = hasher.capacity_bits())
            for (Bytes& item : items) item.resize(std::min<std::size_t>(item.size(), *bits / 8));
        std::vector<algebra::Bytes32> want;
        for (const Bytes& item : items) want.push_back(hasher.hash(item));
        for (const auto kernel : lane_kernels()) {
            KernelScope scope(kernel);
            // One thread: the team is tested elsewhere, and qemu-user runs no second one.
            EXPECT_EQ(many_vartime(hasher, items, 1), want) << what << " on " << name(kernel);
            // Two items: the fewest that go to the lanes.
            EXPECT_EQ(many_vartime(hasher, {items[1], items[2]}, 1), (std::vector<algebra::Bytes32>{want[1], want[2]}))
                << what << " on " << name(kernel);
        }
    };
    check(zcash, "zcash");
    check(zcash_small, "zcash with a small cap");
    check(circom, "circom");
    check(circom_small, "circom with a small cap");
    check(baby, "BabyJubjubPedersen");
    check(bowe, "JubjubBoweHopwood");
    std::cout << "lane kernels checked:";
    for (const auto kernel : lane_kernels()) std::cout << " " << name(kernel);
    std::cout << "\n";
}

TEST(Lanes, IfmaIsRefusedWhereItCannotRun) {
    KernelScope scope(pedersen::lane_kernel());
    const auto in_force = pedersen::set_lane_kernel(pedersen::LaneKernel::Ifma);
    EXPECT_EQ(in_force, pedersen::ifma_lanes_available() ? pedersen::LaneKernel::Ifma : pedersen::LaneKernel::Scalar);
}

}  // namespace
