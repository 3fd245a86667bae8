// Runs every hasher under valgrind's memcheck with its input marked
// undefined: memcheck then reports any branch or memory address that depends
// on the input, which would leak it through timing. Only the length may
// shape the work, so lengths and table state are public here; the output is
// marked defined again once computed. Decisions the code declassifies on
// purpose (are the spare bits zero, is the scalar in range) go through
// algebra::ct::declassify, which this check points at memcheck. Exits
// non-zero through valgrind's --error-exitcode when memcheck reports anything.
//
// With "--vartime" it runs the variable-time paths instead, each of which
// must draw reports: the proof that the check sees a leak when there is one.

#include <valgrind/memcheck.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "algebra/cpu.hpp"
#include "algebra/ct.hpp"
#include "pedersen/bits.hpp"
#include "constructions/circom.hpp"
#include "constructions/configurable.hpp"
#include "pedersen/incremental.hpp"
#include "pedersen/lanes.hpp"
#include "pedersen/many.hpp"
#include "sapling/note_commitment.hpp"
#include "test_support.hpp"
#include "constructions/zcash.hpp"

namespace {

std::size_t hashed = 0;

template <class Hasher>
void hash_secret(Hasher& hasher, std::vector<std::uint8_t> data) {
    VALGRIND_MAKE_MEM_UNDEFINED(data.data(), data.size());
    std::array<std::uint8_t, 32> out = hasher.hash(data);
    VALGRIND_MAKE_MEM_DEFINED(out.data(), out.size());
    ++hashed;
}

// The first `bits` bits of `data` (the spare bits cleared while still
// public), checked as the module checks them, hashed and taken as a point.
template <class Hasher>
void hash_secret_bits(Hasher& hasher, std::vector<std::uint8_t> data, std::uint64_t bits) {
    data.resize(static_cast<std::size_t>((bits + 7) / 8));
    if (bits % 8 != 0) data.back() &= static_cast<std::uint8_t>((1u << (bits % 8)) - 1);
    VALGRIND_MAKE_MEM_UNDEFINED(data.data(), data.size());
    if (pedersen::bit_input_error(data, bits)) std::abort();
    std::array<std::uint8_t, 32> out = hasher.hash_bits(pedersen::BitString(data, bits));
    VALGRIND_MAKE_MEM_DEFINED(out.data(), out.size());
    auto point = hasher.point(pedersen::BitString(data, bits));
    VALGRIND_MAKE_MEM_DEFINED(&point, sizeof point);
    hashed += 2;
}

void declassify_to_memcheck(void* value, std::size_t size) { VALGRIND_MAKE_MEM_DEFINED(value, size); }

// The same inputs through hash_many (one thread: valgrind serialises threads
// anyway, and the per-item work is the same) and through an incremental
// state fed in uneven pieces.
template <class Hasher>
void hash_secret_in_bulk_and_pieces(Hasher& hasher, std::vector<std::vector<std::uint8_t>> items) {
    for (auto& item : items) VALGRIND_MAKE_MEM_UNDEFINED(item.data(), item.size());
    pedersen::ManyInputs<std::remove_const_t<Hasher>> inputs(hasher, std::nullopt);
    for (const auto& item : items)
        if (inputs.add(item)) std::abort();
    std::vector<algebra::Bytes32> out = inputs.hash(hasher, 1);
    for (auto& digest : out) VALGRIND_MAKE_MEM_DEFINED(digest.data(), digest.size());
    for (const auto& item : items) {
        pedersen::Incremental<std::remove_const_t<Hasher>> state(hasher);
        for (std::size_t at = 0, step = 1; at < item.size(); at += step, step = step * 3 % 61 + 1)
            state.update(hasher, std::span(item).subspan(at, std::min(step, item.size() - at)));
        algebra::Bytes32 digest = state.digest(hasher);
        VALGRIND_MAKE_MEM_DEFINED(digest.data(), digest.size());
    }
    hashed += 2 * items.size();
}

std::vector<std::uint8_t> random_bytes(std::size_t n, std::mt19937_64& rng) {
    std::vector<std::uint8_t> out(n);
    for (auto& b : out) b = static_cast<std::uint8_t>(rng());
    return out;
}

void run_all(std::mt19937_64& rng) {
    // Small caps send long inputs through every path: shared tables, own
    // tables, kept multiples and base points derived in the call.
    pedersen::ZcashPedersen zcash;
    pedersen::ZcashPedersen zcash_small({'T', 'a', 'm', 'a', 'r', 'i', 'n', 'd'}, 100'000);
    pedersen::CircomPedersen circom;
    pedersen::CircomPedersen circom_small(150'000);
    const auto baby = pedersen::BabyJubjubPedersen::build(9, 64);
    const auto bowe = pedersen::JubjubBoweHopwood::build(5, 63);
    for (const std::size_t n : {0, 1, 2, 3, 5, 23, 24, 25, 26, 64, 72}) {
        hash_secret(zcash, random_bytes(n, rng));
        hash_secret(circom, random_bytes(n, rng));
        hash_secret(baby, random_bytes(n, rng));
        hash_secret(bowe, random_bytes(n, rng));
    }
    for (const std::size_t n : {142, 500, 2000}) {
        hash_secret(zcash, random_bytes(n, rng));
        hash_secret(circom, random_bytes(n, rng));
        hash_secret(zcash_small, random_bytes(n, rng));
        hash_secret(circom_small, random_bytes(n, rng));
    }
    const auto batch = [&](std::initializer_list<std::size_t> lengths) {
        std::vector<std::vector<std::uint8_t>> items;
        for (const std::size_t n : lengths) items.push_back(random_bytes(n, rng));
        return items;
    };
    hash_secret_in_bulk_and_pieces(zcash, batch({0, 1, 64, 200, 500}));
    hash_secret_in_bulk_and_pieces(circom_small, batch({0, 3, 64, 500, 2000}));
    hash_secret_in_bulk_and_pieces(baby, batch({0, 7, 64, 72}));
    hash_secret_in_bulk_and_pieces(bowe, batch({0, 5, 64, 118}));

    // Bit lengths that end inside a chunk, a lookup group and a segment.
    for (const std::uint64_t bits : {1, 7, 9, 190, 516, 582}) {
        hash_secret_bits(zcash, random_bytes(73, rng), bits);
        hash_secret_bits(circom, random_bytes(73, rng), bits);
        hash_secret_bits(baby, random_bytes(73, rng), std::min<std::uint64_t>(bits, 9 * 64));
        hash_secret_bits(bowe, random_bytes(73, rng), std::min<std::uint64_t>(bits, 5 * 63 * 3));
    }
    hash_secret_bits(zcash_small, random_bytes(300, rng), 2395);

    // Note commitments: all four inputs secret. A published address (g_d,
    // pk_d) with rcm below the order (its top byte keeps it so); then the
    // largest rcm, refused; then random bytes as g_d, refused as no point.
    const auto address_g_d =
        test_support::unhex<32>("3a71e348169e0cedbc4f3633a260d0e785ea8f8927ce4501cef3216ed075cea2");
    const auto address_pk_d =
        test_support::unhex<32>("db4cd2b0aac4f7eb8ca131f16567c445a9555126d3c29f14e3d776e841ae7415");
    for (int round = 0; round < 4; ++round) {
        auto g_d =
            round == 3 ? random_bytes(32, rng) : std::vector<std::uint8_t>(address_g_d.begin(), address_g_d.end());
        auto pk_d = std::vector<std::uint8_t>(address_pk_d.begin(), address_pk_d.end());
        auto rcm = random_bytes(32, rng);
        rcm[31] &= 0x0d;
        if (round == 2) std::fill(rcm.begin(), rcm.end(), 0xff);
        std::uint64_t value = rng();
        VALGRIND_MAKE_MEM_UNDEFINED(g_d.data(), 32);
        VALGRIND_MAKE_MEM_UNDEFINED(pk_d.data(), 32);
        VALGRIND_MAKE_MEM_UNDEFINED(rcm.data(), 32);
        VALGRIND_MAKE_MEM_UNDEFINED(&value, sizeof value);
        auto note = pedersen::sapling_note_commitment(std::span<const std::uint8_t, 32>(g_d.data(), 32),
                                                      std::span<const std::uint8_t, 32>(pk_d.data(), 32), value,
                                                      std::span<const std::uint8_t, 32>(rcm.data(), 32));
        using Refused = pedersen::NoteCommitment::Refused;
        const Refused expected = round == 2 ? Refused::rcm : round == 3 ? Refused::g_d : Refused::none;
        if (note.refused != expected) std::abort();
        if (note.refused == Refused::none) VALGRIND_MAKE_MEM_DEFINED(note.cmu.data(), note.cmu.size());
        ++hashed;
    }
}

// Each variable-time path on secret input, counting memcheck's reports
// around it; says which ones drew none. Returns whether all did.
bool run_vartime(std::mt19937_64& rng) {
    pedersen::ZcashPedersen zcash;
    pedersen::ZcashPedersen zcash_small({'T', 'a', 'm', 'a', 'r', 'i', 'n', 'd'}, 0);
    pedersen::CircomPedersen circom;
    pedersen::CircomPedersen circom_small(0);
    const auto baby = pedersen::BabyJubjubPedersen::build(9, 64);
    const auto bowe = pedersen::JubjubBoweHopwood::build(5, 63);
    bool all = true;
    const auto seen = [&](const char* path, auto&& run) {
        const unsigned before = VALGRIND_COUNT_ERRORS;
        run();
        const bool flagged = VALGRIND_COUNT_ERRORS > before;
        std::printf("%s: %s\n", path, flagged ? "flagged" : "NOT flagged");
        all = all && flagged;
    };
    const auto hash_vartime = [&](auto& hasher, std::size_t n) {
        std::vector<std::uint8_t> data = random_bytes(n, rng);
        VALGRIND_MAKE_MEM_UNDEFINED(data.data(), data.size());
        algebra::Bytes32 out = hasher.hash_vartime(data);
        VALGRIND_MAKE_MEM_DEFINED(out.data(), out.size());
    };
    seen("ZcashPedersen.hash_vartime", [&] { hash_vartime(zcash, 64); });
    seen("ZcashPedersen.hash_vartime, untabled segments", [&] { hash_vartime(zcash_small, 64); });
    seen("CircomPedersen.hash_vartime", [&] { hash_vartime(circom, 64); });
    seen("CircomPedersen.hash_vartime, untabled segments", [&] { hash_vartime(circom_small, 200); });
    seen("BabyJubjubPedersen.hash_vartime", [&] { hash_vartime(baby, 64); });
    seen("JubjubBoweHopwood.hash_vartime", [&] { hash_vartime(bowe, 64); });
    seen("ZcashPedersen.hash_many(vartime)", [&] {
        std::vector<std::uint8_t> item = random_bytes(64, rng);
        VALGRIND_MAKE_MEM_UNDEFINED(item.data(), item.size());
        pedersen::ManyInputs<pedersen::ZcashPedersen> inputs(zcash, std::nullopt);
        if (inputs.add(item)) std::abort();
        std::vector<algebra::Bytes32> out = inputs.hash(zcash, 1, {}, true);
        VALGRIND_MAKE_MEM_DEFINED(out.data(), out.size() * sizeof(algebra::Bytes32));
    });
    // Valgrind runs no AVX-512, so the lanes it sees are the portable ones.
    seen("ZcashPedersen.hash_many(vartime) on the portable lanes", [&] {
        const pedersen::LaneKernel kernel = pedersen::set_lane_kernel(pedersen::LaneKernel::Portable);
        std::vector<std::vector<std::uint8_t>> items;
        pedersen::ManyInputs<pedersen::ZcashPedersen> inputs(zcash, std::nullopt);
        for (int i = 0; i < 3; ++i) {
            items.push_back(random_bytes(64, rng));
            VALGRIND_MAKE_MEM_UNDEFINED(items.back().data(), items.back().size());
        }
        for (const auto& item : items)
            if (inputs.add(item)) std::abort();
        std::vector<algebra::Bytes32> out = inputs.hash(zcash, 1, {}, true);
        VALGRIND_MAKE_MEM_DEFINED(out.data(), out.size() * sizeof(algebra::Bytes32));
        pedersen::set_lane_kernel(kernel);
    });
    return all;
}

}  // namespace

// With no argument: the portable multiply, with each table scan the
// processor offers. valgrind's virtual processor does not advertise MULX and
// ADX although it runs them, so "--has-mulx-adx" (run natively) tells whether
// the real processor has them, and "--mulx-adx" (run under valgrind) then
// forces the assembly multiply on.
int main(int argc, char** argv) {
    const std::string_view mode = argc > 1 ? argv[1] : "";
    if (mode == "--has-mulx-adx") return algebra::cpu::has_mulx_adx() ? 0 : 1;
    const bool assembly = mode == "--mulx-adx";
    std::mt19937_64 rng(20261208);
    algebra::ct::declassify_hook = declassify_to_memcheck;
    if (mode == "--vartime") {
        if (!RUNNING_ON_VALGRIND) {
            std::printf("--vartime needs valgrind\n");
            return 1;
        }
        const bool all = run_vartime(rng);
        std::printf(all ? "every variable-time path was flagged\n" : "some variable-time path was not flagged\n");
        return all ? 0 : 1;
    }
    for (const bool avx2 : {false, true}) {
        algebra::set_fast_multiply(false);
        if (assembly) algebra::detail::multiply_with_mulx_adx = true;
        if (algebra::set_avx2_scan(avx2) != avx2) continue;
        run_all(rng);
        std::printf("constant time: %s multiply, %s scan\n", assembly ? "MULX/ADX" : "portable",
                    avx2 ? "AVX2" : "portable");
    }
    std::printf("%zu hashes of secret inputs\n", hashed);
    return 0;
}
