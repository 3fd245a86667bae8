// Nanoseconds per field and curve operation. Each measurement runs a dependency
// chain (every result feeds the next operation) so the CPU cannot overlap
// iterations, unless its name says otherwise, and ends in a volatile sink so
// the compiler cannot drop the work. Each line is the median of five batches
// of about 0.04 s: the machine is shared, and a median shrugs off the batches
// that another process slowed down.

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "algebra/cpu.hpp"
#include "algebra/curves.hpp"
#include "algebra/fields.hpp"

namespace {

volatile std::uint64_t sink;

using Clock = std::chrono::steady_clock;

// Calibrates an iteration count to ~0.04 s, then times five batches of it;
// returns the median in ns per iteration.
template <class Body>
double measure(Body&& body) {
    constexpr double batch_seconds = 0.04;
    std::uint64_t iterations = 1000;
    std::array<double, 5> ns{};
    std::size_t batches = 0;
    while (batches < ns.size()) {
        const auto start = Clock::now();
        body(iterations);
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        if (batches > 0 || seconds >= batch_seconds) {
            ns[batches++] = seconds * 1e9 / static_cast<double>(iterations);
            continue;
        }
        const double scale = seconds > 0 ? batch_seconds * 1.1 / seconds : 100.0;
        iterations = static_cast<std::uint64_t>(static_cast<double>(iterations) * (scale > 100 ? 100 : scale)) + 1;
    }
    std::nth_element(ns.begin(), ns.begin() + 2, ns.end());
    return ns[2];
}

void report(const std::string& name, double ns) { std::printf("%-40s %10.1f ns\n", name.c_str(), ns); }

template <class F>
F full_width_seed() {
    return F::from(0x123456789abcdefULL).inverse_vartime().value();
}

// Latency (one chain) and throughput (four independent chains, as in a point
// addition, whose products mostly do not wait for each other).
template <class F>
void bench_multiply(const std::string& name) {
    const F seed = full_width_seed<F>();
    report(name + " mul", measure([&](std::uint64_t n) {
               F x = seed, y = seed.square();
               for (std::uint64_t i = 0; i < n; ++i) x *= y;
               sink = x.montgomery().limbs[0];
           }));
    report(name + " mul (4 independent, per mul)", measure([&](std::uint64_t n) {
               F x0 = seed, x1 = seed + seed, x2 = seed + F::one(), x3 = seed.double_() + F::one(), y = seed.square();
               for (std::uint64_t i = 0; i < n; i += 4) {
                   x0 *= y;
                   x1 *= y;
                   x2 *= y;
                   x3 *= y;
               }
               sink = x0.montgomery().limbs[0] ^ x1.montgomery().limbs[0] ^ x2.montgomery().limbs[0] ^
                      x3.montgomery().limbs[0];
           }));
    report(name + " square", measure([&](std::uint64_t n) {
               F x = seed;
               for (std::uint64_t i = 0; i < n; ++i) x.square_in_place();
               sink = x.montgomery().limbs[0];
           }));
}

template <class F>
void bench_field(const std::string& name) {
    const F seed = full_width_seed<F>();
    bench_multiply<F>(name);
    report(name + " add", measure([&](std::uint64_t n) {
               F x = seed, y = seed.square();
               for (std::uint64_t i = 0; i < n; ++i) x += y;
               sink = x.montgomery().limbs[0];
           }));
    report(name + " inverse", measure([&](std::uint64_t n) {
               F x = seed;
               // + one keeps the chain away from zero; its cost is noise next to an inversion.
               for (std::uint64_t i = 0; i < n; ++i) x = x.inverse_vartime().value_or(F::one()) + F::one();
               sink = x.montgomery().limbs[0];
           }));
    report(name + " sqrt (of a square)", measure([&](std::uint64_t n) {
               F x = seed;
               for (std::uint64_t i = 0; i < n; ++i) x = x.square().sqrt_vartime().value_or(F::one()) + F::one();
               sink = x.montgomery().limbs[0];
           }));
    report(name + " sqrt (of a non-square)", measure([&](std::uint64_t n) {
               const F nonresidue = F::from(5);  // a non-residue in both base fields
               F x = seed;
               std::uint64_t absent = 0;
               // x² times a non-residue is never a square.
               for (std::uint64_t i = 0; i < n; ++i) {
                   absent += !(x.square() * nonresidue).sqrt_vartime().has_value();
                   x += F::one();
               }
               sink = absent + x.montgomery().limbs[0];
           }));
}

template <class Config>
void bench_curve(const std::string& name) {
    using Point = algebra::Projective<Config>;
    Point g = Point::generator();
    g.double_in_place();  // Z != 1, as in the middle of a real computation
    report(name + " add", measure([&](std::uint64_t n) {
               Point p = g.double_();
               for (std::uint64_t i = 0; i < n; ++i) p.add_assign(g);
               sink = p.x.montgomery().limbs[0];
           }));
    report(name + " double", measure([&](std::uint64_t n) {
               Point p = g;
               for (std::uint64_t i = 0; i < n; ++i) p.double_in_place();
               sink = p.x.montgomery().limbs[0];
           }));
    report(name + " mul_by_a", measure([&](std::uint64_t n) {
               typename Config::BaseField x = g.x;
               for (std::uint64_t i = 0; i < n; ++i) x = Config::mul_by_a(x);
               sink = x.montgomery().limbs[0];
           }));
    report(name + " scalar mul (full-size scalar)", measure([&](std::uint64_t n) {
               Point p = g;
               const auto k = Config::ScalarField::from(0xfeedfacecafebeefULL).inverse_vartime().value();
               for (std::uint64_t i = 0; i < n; ++i) p.mul_assign(k);
               sink = p.x.montgomery().limbs[0];
           }));
}

}  // namespace

int main() {
    std::printf("field multiply: %s\n", algebra::fast_multiply() ? "MULX/ADX assembly" : "portable C++");
    bench_field<algebra::JubjubFq>("JubjubFq");
    bench_field<algebra::BabyJubjubFq>("BabyJubjubFq");
    bench_curve<algebra::JubjubConfig>("Jubjub");
    bench_curve<algebra::BabyJubjubConfig>("BabyJubjub");
    // The fallback, for comparison, where the processor has the assembly.
    if (algebra::fast_multiply()) {
        algebra::set_fast_multiply(false);
        std::printf("field multiply: portable C++\n");
        bench_multiply<algebra::JubjubFq>("JubjubFq");
        bench_multiply<algebra::BabyJubjubFq>("BabyJubjubFq");
        bench_curve<algebra::JubjubConfig>("Jubjub");
        bench_curve<algebra::BabyJubjubConfig>("BabyJubjub");
        algebra::set_fast_multiply(true);
    }
    return 0;
}
