// Each hasher's entry point, its variable-time one, and an incremental state
// fed the same input in pieces, against the slow reference of
// pedersen_reference.hpp. The caching hashers are checked on an instance that
// lives across inputs (so its cache has grown from inputs of every length the
// fuzzer tried) and on a fresh one, under memory caps that leave room for no
// tables of their own, for a few, and the default; the configurable ones on
// sizes from the input, including the inputs they must refuse.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <memory>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "fault/fault.hpp"
#include "constructions/circom.hpp"
#include "constructions/configurable.hpp"
#include "pedersen/incremental.hpp"
#include "constructions/zcash.hpp"
#include "pedersen_reference.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Bytes32 = std::array<std::uint8_t, 32>;

// Long enough for nine Sapling segments and eight circom ones; the reference costs a scalar
// multiplication per segment.
constexpr std::size_t LONGEST_INPUT = 200;

void require(bool condition, const std::string& what) {
    if (!condition) {
        std::fprintf(stderr, "hasher mismatch: %s\n", what.c_str());
        std::abort();
    }
}

// `data` fed to an incremental state in pieces of sizes drawn from `cuts`.
template <class H>
Bytes32 in_pieces(H& hasher, const Bytes& data, std::uint64_t cuts) {
    pedersen::Incremental<std::remove_const_t<H>> state(hasher);
    std::mt19937_64 sizes(cuts);
    for (std::size_t at = 0; at < data.size();) {
        const std::size_t n = std::min<std::size_t>(data.size() - at, sizes() % 70);
        state.update(hasher, std::span(data).subspan(at, n));
        at += n;
    }
    return state.digest(hasher);
}

// No room for tables of the instance's own, room for one table and the
// multiples of many segments, and the default.
constexpr std::array<std::size_t, 3> CAPS = {0, 160 << 10, pedersen::ZcashPedersen::default_cap};

constexpr std::array<std::array<std::uint8_t, 8>, 3> PERSONALIZATIONS = {
    pedersen::SAPLING_PERSONALIZATION,
    std::array<std::uint8_t, 8>{'T', 'a', 'm', 'a', 'r', 'i', 'n', 'd'},
    std::array<std::uint8_t, 8>{},
};

void fuzz_zcash(FuzzedDataProvider& input) {
    static std::map<std::pair<std::size_t, std::size_t>, std::unique_ptr<pedersen::ZcashPedersen>> reused;
    const std::size_t personal = input.ConsumeIntegralInRange<std::size_t>(0, PERSONALIZATIONS.size() - 1);
    const std::size_t cap = input.ConsumeIntegralInRange<std::size_t>(0, CAPS.size() - 1);
    const std::uint64_t cuts = input.ConsumeIntegral<std::uint64_t>();
    const Bytes data = input.ConsumeBytes<std::uint8_t>(LONGEST_INPUT);
    auto& kept = reused[{personal, cap}];
    if (!kept) kept = std::make_unique<pedersen::ZcashPedersen>(PERSONALIZATIONS[personal], CAPS[cap]);
    const Bytes32 expected = reference_hash::zcash(PERSONALIZATIONS[personal], data);
    require(kept->hash(data) == expected, "ZcashPedersen, reused instance, " + std::to_string(data.size()) + " bytes");
    require(kept->hash_vartime(data) == expected,
            "ZcashPedersen, variable time, " + std::to_string(data.size()) + " bytes");
    require(in_pieces(*kept, data, cuts) == expected,
            "ZcashPedersen, in pieces, " + std::to_string(data.size()) + " bytes");
    require(kept->cached_bytes() <= CAPS[cap], "ZcashPedersen holds more than its cap");
    pedersen::ZcashPedersen fresh(PERSONALIZATIONS[personal], CAPS[cap]);
    require(fresh.hash(data) == expected, "ZcashPedersen, fresh instance, " + std::to_string(data.size()) + " bytes");
    pedersen::ZcashPedersen fresh_vartime(PERSONALIZATIONS[personal], CAPS[cap]);
    require(fresh_vartime.hash_vartime(data) == expected,
            "ZcashPedersen, fresh instance, variable time, " + std::to_string(data.size()) + " bytes");
}

void fuzz_circom(FuzzedDataProvider& input) {
    static std::map<std::size_t, std::unique_ptr<pedersen::CircomPedersen>> reused;
    const std::size_t cap = input.ConsumeIntegralInRange<std::size_t>(0, CAPS.size() - 1);
    const std::uint64_t cuts = input.ConsumeIntegral<std::uint64_t>();
    const Bytes data = input.ConsumeBytes<std::uint8_t>(LONGEST_INPUT);
    auto& kept = reused[cap];
    if (!kept) kept = std::make_unique<pedersen::CircomPedersen>(CAPS[cap]);
    const Bytes32 expected = reference_hash::circom(data);
    require(kept->hash(data) == expected, "CircomPedersen, reused instance, " + std::to_string(data.size()) + " bytes");
    require(kept->hash_vartime(data) == expected,
            "CircomPedersen, variable time, " + std::to_string(data.size()) + " bytes");
    require(in_pieces(*kept, data, cuts) == expected,
            "CircomPedersen, in pieces, " + std::to_string(data.size()) + " bytes");
    require(kept->cached_bytes() <= CAPS[cap], "CircomPedersen holds more than its cap");
    pedersen::CircomPedersen fresh(CAPS[cap]);
    require(fresh.hash(data) == expected, "CircomPedersen, fresh instance, " + std::to_string(data.size()) + " bytes");
    pedersen::CircomPedersen fresh_vartime(CAPS[cap]);
    require(fresh_vartime.hash_vartime(data) == expected,
            "CircomPedersen, fresh instance, variable time, " + std::to_string(data.size()) + " bytes");
}

// The configurable hashers: an instance built for these sizes earlier and a
// new one must agree with the reference, or both refuse with the capacity fault.
template <class Hasher, class Reference>
void fuzz_configurable(FuzzedDataProvider& input, unsigned chunk_bits, Reference reference, const char* name) {
    static std::map<std::pair<std::uint64_t, std::uint64_t>, std::unique_ptr<Hasher>> reused;
    const std::uint64_t segments = input.ConsumeIntegralInRange<std::uint64_t>(0, 4);
    const std::uint64_t per_segment = input.ConsumeIntegralInRange<std::uint64_t>(0, 90);
    const std::uint64_t cuts = input.ConsumeIntegral<std::uint64_t>();
    const Bytes data = input.ConsumeBytes<std::uint8_t>(48);
    auto& kept = reused[{segments, per_segment}];
    if (!kept) kept = std::make_unique<Hasher>(Hasher::build(segments, per_segment));
    const Hasher fresh = Hasher::build(segments, per_segment);

    const std::string where = std::string(name) + "(" + std::to_string(segments) + ", " + std::to_string(per_segment) +
                              ") on " + std::to_string(data.size()) + " bytes";
    const std::uint64_t chunks = (8 * data.size() + chunk_bits - 1) / chunk_bits;
    const std::uint64_t powers = segments * per_segment;
    if (chunks > powers) {
        const std::string message = "input of " + std::to_string(8 * data.size()) + " bits needs " +
                                    std::to_string(chunks) + " chunks but only " + std::to_string(powers) +
                                    " generator powers are available";
        for (const Hasher* hasher : {static_cast<const Hasher*>(kept.get()), &fresh}) {
            for (const bool vartime : {false, true}) {
                std::string got = "no fault";
                try {
                    (void)(vartime ? hasher->hash_vartime(data) : hasher->hash(data));
                } catch (const fault::Fault& refused) {
                    got = refused.what();
                }
                require(got == message, where + (vartime ? ", variable time" : "") + ": refusal '" + got + "'");
            }
        }
        return;
    }
    const Bytes32 expected = reference(per_segment, data);
    require(kept->hash(data) == expected, where + ", reused instance");
    require(fresh.hash(data) == expected, where + ", fresh instance");
    require(kept->hash_vartime(data) == expected, where + ", variable time");
    require(in_pieces(fresh, data, cuts) == expected, where + ", in pieces");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    switch (input.ConsumeIntegralInRange<int>(0, 3)) {
        case 0:
            fuzz_zcash(input);
            break;
        case 1:
            fuzz_circom(input);
            break;
        case 2:
            fuzz_configurable<pedersen::BabyJubjubPedersen>(input, 1, reference_hash::baby_jubjub_pedersen,
                                                            "BabyJubjubPedersen");
            break;
        default:
            fuzz_configurable<pedersen::JubjubBoweHopwood>(input, 3, reference_hash::jubjub_bowe_hopwood,
                                                           "JubjubBoweHopwood");
            break;
    }
    return 0;
}
