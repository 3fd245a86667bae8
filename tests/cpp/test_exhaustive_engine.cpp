// The hash engine over the a = -1 toy curve of toy_curves.hpp, against brute
// force: each chunk's digit times its weight, summed as integers modulo the
// subgroup order, then multiplied out by repeated addition in the integer
// group table. Every input of up to two bytes (sampled under the sanitizers), the three encodings, lookups of
// one, two and three chunks, the eager tables of the configurable hasher, and
// every path of the caching one (shared tables, its own full tables,
// multiples tables, Horner's rule over bases derived during the call), each
// in constant and in variable time.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "algebra/encoding.hpp"
#include "algebra/niels.hpp"
#include "pedersen/caching_pedersen.hpp"
#include "pedersen/configurable_pedersen.hpp"
#include "pedersen/table.hpp"
#include "test_support.hpp"
#include "toy_curves.hpp"

namespace {

using toy::MinusOneCurve, toy::u64;
using Bytes = std::vector<std::uint8_t>;
using Point = algebra::Projective<MinusOneCurve>;
using Entry = algebra::Niels<MinusOneCurve>;

constexpr std::uint64_t CHUNKS_PER_SEGMENT = 3;

template <class E, unsigned K>
struct ToyDefinition {
    using Curve = MinusOneCurve;
    using Encoding = E;
    static constexpr unsigned chunks_per_lookup = K;
    // Variable-time hashes of the configurable hasher use groups one chunk wider.
    static constexpr unsigned wide_chunks_per_lookup = K + 1;
    // No base point of the segments used below is the identity under this seed (checked).
    static constexpr std::uint64_t seed = 0x71;
    static constexpr std::uint64_t chunks_per_segment = CHUNKS_PER_SEGMENT;
    static constexpr algebra::Bytes32 encode(const algebra::Affine<Curve>& p) { return algebra::compressed_point(p); }
};

// Unsigned chunks whose groups are read as signed digits.
template <unsigned K>
struct ToySignedDigitsDefinition : ToyDefinition<pedersen::Unsigned, K> {
    using TableGroup = pedersen::SignedDigits<pedersen::Unsigned>;
};

// ---- brute force -----------------------------------------------------------

const toy::Group<MinusOneCurve>& group() { return toy::group<MinusOneCurve>(); }

std::size_t generator_index() {
    static const std::size_t index = group().index(toy::to_point(Point::generator()));
    return index;
}

// The compressed point, from the integer coordinates.
algebra::Bytes32 encoded(std::uint32_t index) {
    const toy::Point& point = group().points[index];
    algebra::Bytes32 bytes{};
    bytes[0] = static_cast<std::uint8_t>(point.y);
    bytes[31] = point.x > (MinusOneCurve::p - 1) / 2 ? 0x80 : 0;
    return bytes;
}

// Σ over chunks of value·2^(step·j)·base(segment), j the chunk's place in its segment.
template <class E, class Base>
algebra::Bytes32 brute_force(std::span<const std::uint8_t> data, std::uint64_t per_segment, Base base) {
    constexpr u64 q = MinusOneCurve::q;
    const std::uint64_t bits = 8 * data.size();
    const std::uint64_t chunks = (bits + E::chunk_bits - 1) / E::chunk_bits;
    std::vector<u64> scalars;
    for (std::uint64_t c = 0; c < chunks; ++c) {
        std::uint32_t chunk = 0;
        for (unsigned b = 0; b < E::chunk_bits; ++b) {
            const std::uint64_t at = c * E::chunk_bits + b;
            if (at < bits && ((data[at / 8] >> (at % 8)) & 1) != 0) chunk |= 1u << b;
        }
        const std::uint64_t segment = c / per_segment, place = c % per_segment;
        if (scalars.size() <= segment) scalars.resize(segment + 1, 0);
        const int value = E::value(chunk);
        const u64 weight = toy::power(2, E::power_step * place, q);
        const u64 magnitude = static_cast<u64>(value < 0 ? -value : value) * weight % q;
        scalars[segment] = (scalars[segment] + (value < 0 ? q - magnitude : magnitude)) % q;
    }
    std::uint32_t sum = 0;
    for (std::uint64_t s = 0; s < scalars.size(); ++s) sum = group().plus(sum, group().times(base(s), scalars[s]));
    return encoded(sum);
}

// ---- the configurable hasher ---------------------------------------------

template <class Def>
std::size_t configurable_base(std::uint64_t segment) {
    const u64 scalar = ((segment + Def::seed) * 0x9E3779B97F4A7C15ull) | 1;
    return group().times(generator_index(), scalar % MinusOneCurve::q);
}

// Every input of up to two bytes, in order of length. Unoptimized builds under
// the sanitizers are some thirty times slower, so there every input of up to
// one byte and every STRIDE-th two-byte one (all byte values still appear in
// each position).
#if defined(NDEBUG) && !defined(__SANITIZE_ADDRESS__)
constexpr std::uint64_t STRIDE = 1;
#else
constexpr std::uint64_t STRIDE = 17;
#endif

template <class Check>
void for_every_short_input(Check check) {
    for (std::size_t length = 0; length <= 2; ++length) {
        Bytes data(length);
        const std::uint64_t step = length == 2 ? STRIDE : 1;
        for (std::uint64_t n = 0; n < (std::uint64_t{1} << (8 * length)); n += step) {
            for (std::size_t i = 0; i < length; ++i) data[i] = static_cast<std::uint8_t>(n >> (8 * i));
            check(data);
            if (::testing::Test::HasFatalFailure()) return;  // one report, not thousands
        }
    }
}

template <class Def>
void check_configurable(std::uint64_t segments, std::uint64_t per_segment) {
    using Hasher = pedersen::ConfigurablePedersen<Def>;
    using E = typename Def::Encoding;
    const Hasher hasher = Hasher::build(segments, per_segment);
    const Hasher narrow = Hasher::build(segments, per_segment);  // never builds its wide tables
    // An identity base point would hide any mistake in its segment.
    for (std::uint64_t s = 0; s < segments; ++s) ASSERT_NE(configurable_base<Def>(s), 0u) << s;
    const std::uint64_t powers = segments * per_segment;
    for_every_short_input([&](const Bytes& data) {
        const std::uint64_t chunks = (8 * data.size() + E::chunk_bits - 1) / E::chunk_bits;
        if (chunks > powers) {
            const std::string message = "input of " + std::to_string(8 * data.size()) + " bits needs " +
                                        std::to_string(chunks) + " chunks but only " + std::to_string(powers) +
                                        " generator powers are available";
            ASSERT_EQ(test_support::fault_of([&] { (void)hasher.hash(data); }), message);
            ASSERT_EQ(test_support::fault_of([&] { (void)hasher.hash_vartime(data); }), message);
            return;
        }
        const algebra::Bytes32 expected = brute_force<E>(data, per_segment, configurable_base<Def>);
        ASSERT_EQ(hasher.hash(data), expected)
            << test_support::hex(data) << " with " << segments << " x " << per_segment;
        ASSERT_EQ(hasher.hash_vartime(data), expected)
            << "variable time, " << test_support::hex(data) << " with " << segments << " x " << per_segment;
        ASSERT_EQ(Def::encode(narrow.template sum<pedersen::VariableTime>(pedersen::BitString(data), 0).to_affine()),
                  expected)
            << "variable time on the constant-time tables, " << test_support::hex(data);
    });
}

TEST(ExhaustiveEngine, ConfigurableUnsignedThreeChunksPerLookup) {
    // 3 x 5 bits: one-byte inputs fit, two-byte ones are refused.
    check_configurable<ToyDefinition<pedersen::Unsigned, 3>>(3, 5);
    check_configurable<ToyDefinition<pedersen::Unsigned, 3>>(4, 4);
}

TEST(ExhaustiveEngine, ConfigurableSignedDigits) {
    // Inputs ending on a segment's end, on a group's end inside a segment
    // (a carry into a group never read) and inside a group; all-ones inputs
    // carry through every group.
    check_configurable<ToySignedDigitsDefinition<3>>(3, 5);
    check_configurable<ToySignedDigitsDefinition<3>>(4, 4);
    check_configurable<ToySignedDigitsDefinition<4>>(1, 16);
    check_configurable<ToySignedDigitsDefinition<4>>(2, 6);
    check_configurable<ToySignedDigitsDefinition<5>>(3, 6);
    check_configurable<ToySignedDigitsDefinition<5>>(1, 16);
}

TEST(ExhaustiveEngine, ConfigurableBoweHopwoodTwoChunksPerLookup) {
    // Segments of 3 chunks: a group of two, then a group of one, each possibly cut short.
    check_configurable<ToyDefinition<pedersen::BoweHopwood, 2>>(2, 3);
    check_configurable<ToyDefinition<pedersen::BoweHopwood, 2>>(1, 5);
}

TEST(ExhaustiveEngine, ConfigurableCircomOneAndTwoChunksPerLookup) {
    check_configurable<ToyDefinition<pedersen::Circom, 1>>(2, 2);
    // Odd segments: the second one starts inside what would be a group of two.
    check_configurable<ToyDefinition<pedersen::Circom, 2>>(2, 3);
}

// ---- the caching hasher ----------------------------------------------------

// Base points (1 + s mod (q - 1))·G; the first `shared` segments have tables
// built ahead, as the built-in ones are.
template <class Def>
class ToyBases {
  public:
    using Tables = pedersen::Layout<MinusOneCurve, typename Def::Encoding, Def::chunks_per_lookup>;

    explicit ToyBases(std::uint64_t shared) {
        for (std::uint64_t s = 0; s < shared; ++s)
            tables_.push_back(Tables::build_segment(base_vartime(s), CHUNKS_PER_SEGMENT));
    }

    static std::size_t base_index(std::uint64_t segment) {
        return group().times(generator_index(), 1 + segment % (MinusOneCurve::q - 1));
    }
    Point base_vartime(std::uint64_t segment) const {
        return toy::affine_point<MinusOneCurve>(group().points[base_index(segment)]);
    }
    std::uint64_t shared_segments() const { return tables_.size(); }
    std::span<const Entry> shared_table(std::uint64_t segment) const { return tables_[segment]; }

  private:
    std::vector<std::vector<Entry>> tables_;
};

template <class Def>
using Caching = pedersen::CachingPedersen<Def, ToyBases<Def>>;

// Caps that leave room for nothing, for multiples tables only, for one full
// table and some multiples, and for everything.
template <class Def>
std::vector<std::size_t> caps() {
    const std::size_t table = Caching<Def>::table_bytes_per_segment + sizeof(std::vector<Entry>);
    const std::size_t multiples = Caching<Def>::multiples_per_segment * sizeof(Entry);
    return {0, 4 * multiples, table / 3 * 4 + 8 * multiples, Caching<Def>::default_cap};
}

// Each cap once, with and without a shared table ahead of the instance's own.
template <class Def>
void check_caching_on_every_short_input() {
    using E = typename Def::Encoding;
    const std::vector<std::size_t> all_caps = caps<Def>();
    for (std::size_t c = 0; c < all_caps.size(); ++c) {
        const std::uint64_t shared = c % 2;
        Caching<Def> reused(ToyBases<Def>(shared), all_caps[c]);
        for_every_short_input([&](const Bytes& data) {
            const algebra::Bytes32 expected = brute_force<E>(data, CHUNKS_PER_SEGMENT, ToyBases<Def>::base_index);
            ASSERT_EQ(reused.hash(data), expected) << test_support::hex(data) << " cap " << all_caps[c];
            ASSERT_EQ(reused.hash_vartime(data), expected)
                << "variable time, " << test_support::hex(data) << " cap " << all_caps[c];
        });
    }
}

// Longer inputs in random order of length, on one instance that keeps what it
// built and on a fresh one per input: neither may differ from brute force.
template <class Def>
void check_caching_on_long_inputs() {
    using E = typename Def::Encoding;
    std::mt19937_64 rng(20261208);
    for (const std::uint64_t shared : {0, 2}) {
        for (const std::size_t cap : caps<Def>()) {
            Caching<Def> reused(ToyBases<Def>(shared), cap);
            for (int round = 0; round < (STRIDE == 1 ? 40 : 6); ++round) {
                const Bytes data = test_support::random_bytes(rng() % 200, rng());
                const algebra::Bytes32 expected = brute_force<E>(data, CHUNKS_PER_SEGMENT, ToyBases<Def>::base_index);
                ASSERT_EQ(reused.hash(data), expected) << data.size() << " bytes, cap " << cap;
                ASSERT_LE(reused.cached_bytes(), cap);
                Caching<Def> fresh(ToyBases<Def>(shared), cap);
                ASSERT_EQ(fresh.hash(data), expected) << data.size() << " bytes, cap " << cap;
                Caching<Def> fresh_vartime(ToyBases<Def>(shared), cap);
                ASSERT_EQ(fresh_vartime.hash_vartime(data), expected) << data.size() << " bytes, cap " << cap;
            }
        }
    }
}

TEST(ExhaustiveEngine, CachingBoweHopwoodEveryShortInput) {
    check_caching_on_every_short_input<ToyDefinition<pedersen::BoweHopwood, 2>>();
}
TEST(ExhaustiveEngine, CachingCircomEveryShortInput) {
    check_caching_on_every_short_input<ToyDefinition<pedersen::Circom, 2>>();
}
TEST(ExhaustiveEngine, CachingBoweHopwoodLongInputs) {
    check_caching_on_long_inputs<ToyDefinition<pedersen::BoweHopwood, 2>>();
}
TEST(ExhaustiveEngine, CachingCircomLongInputs) { check_caching_on_long_inputs<ToyDefinition<pedersen::Circom, 1>>(); }

}  // namespace
