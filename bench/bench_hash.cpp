// Microseconds per hash of the four hashers, on each field multiply and table
// scan the processor offers, and the cost per byte of the caching hashers
// from 64 B to 16 MiB (where the memory cap changes how segments are summed).
// CPU time; each figure is the median of five batches.
//
//   bench_hash            the table of hashers and scans
//   bench_hash --lengths  µs per byte against input length

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "algebra/cpu.hpp"
#include "constructions/circom.hpp"
#include "constructions/configurable.hpp"
#include "constructions/zcash.hpp"

namespace {

double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

volatile std::uint8_t sink;

// Median over five batches of at least `seconds` CPU time each, in µs per call.
template <class Call>
double micros(Call&& call, double seconds = 0.05) {
    std::array<double, 5> per_call{};
    for (auto& out : per_call) {
        std::uint64_t n = 0;
        const double start = cpu_seconds();
        double elapsed = 0;
        do {
            sink = call()[0];
            ++n;
            elapsed = cpu_seconds() - start;
        } while (elapsed < seconds);
        out = elapsed * 1e6 / static_cast<double>(n);
    }
    std::nth_element(per_call.begin(), per_call.begin() + 2, per_call.end());
    return per_call[2];
}

std::vector<std::uint8_t> random_bytes(std::size_t n) {
    std::mt19937_64 rng(n);
    std::vector<std::uint8_t> out(n);
    for (auto& b : out) b = static_cast<std::uint8_t>(rng());
    return out;
}

void table() {
    std::printf("%-22s%8s", "hasher", "input");
    struct Mode {
        bool fast, avx2;
        const char* name;
    };
    std::vector<Mode> modes;
    for (const Mode m : {Mode{true, true, "mulx+avx2"}, Mode{true, false, "mulx+u64"}, Mode{false, true, "port+avx2"},
                         Mode{false, false, "port+u64"}})
        if (algebra::set_fast_multiply(m.fast) == m.fast && algebra::set_avx2_scan(m.avx2) == m.avx2) {
            modes.push_back(m);
            std::printf("%12s", m.name);
        }
    std::printf("   (µs per hash)\n");
    for (const std::size_t size : {32, 64, 1024, 65536}) {
        const auto data = random_bytes(size);
        pedersen::ZcashPedersen zcash;
        pedersen::CircomPedersen circom;
        const auto baby = pedersen::BabyJubjubPedersen::build((size * 8 + 255) / 256, 256);
        const auto bowe = pedersen::JubjubBoweHopwood::build((size * 8 + 767) / 768, 256);
        const auto row = [&](const char* name, auto&& call) {
            std::printf("%-22s%8zu", name, size);
            for (const Mode m : modes) {
                algebra::set_fast_multiply(m.fast);
                algebra::set_avx2_scan(m.avx2);
                std::printf("%12.2f", micros(call));
            }
            std::printf("\n");
        };
        row("ZcashPedersen", [&] { return zcash.hash(data); });
        row("CircomPedersen", [&] { return circom.hash(data); });
        row("BabyJubjubPedersen", [&] { return baby.hash(data); });
        row("JubjubBoweHopwood", [&] { return bowe.hash(data); });
    }
    algebra::set_fast_multiply(true);
    algebra::set_avx2_scan(true);
}

void lengths() {
    std::printf("%10s%16s%16s%14s%14s   (warm; µs per byte)\n", "bytes", "ZcashPedersen", "CircomPedersen", "zcash MiB",
                "circom MiB");
    pedersen::ZcashPedersen zcash;
    pedersen::CircomPedersen circom;
    for (std::size_t size = 64; size <= (std::size_t{16} << 20); size *= 4) {
        const auto data = random_bytes(size);
        const double seconds = size >= (1 << 20) ? 0.0 : 0.05;  // one call per batch for the long ones
        const double z = micros([&] { return zcash.hash(data); }, seconds) / static_cast<double>(size);
        const double c = micros([&] { return circom.hash(data); }, seconds) / static_cast<double>(size);
        std::printf("%10zu%16.4f%16.4f%14.1f%14.1f\n", size, z, c,
                    static_cast<double>(zcash.cached_bytes()) / (1 << 20),
                    static_cast<double>(circom.cached_bytes()) / (1 << 20));
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string_view(argv[1]) == "--lengths") {
        lengths();
    } else {
        table();
    }
    return 0;
}
