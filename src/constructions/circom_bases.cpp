#include <algorithm>
#include <cassert>
#include <optional>
#include <string_view>

#include "fault/fault.hpp"
#include "hashes/blake256.hpp"
#include "constructions/circom.hpp"

namespace pedersen {

namespace {

using Fq = algebra::BabyJubjubFq;
using AffinePoint = algebra::Affine<algebra::BabyJubjubConfig>;

constexpr std::string_view generator_prefix = "PedersenGenerator_";
constexpr std::size_t number_width = 32;  // both numbers, zero-filled on the left
constexpr std::size_t generator_string_bytes = generator_prefix.size() + number_width + 1 + number_width;
static_assert(generator_string_bytes == 83);

using GeneratorString = std::array<char, generator_string_bytes>;

// Writes `value` right-aligned into `field`, zero-filled. A 64-bit value has
// at most 20 digits, so the width is always reached by filling.
void write_decimal(std::uint64_t value, std::span<char, number_width> field) {
    std::fill(field.begin(), field.end(), '0');
    for (std::size_t i = number_width; value != 0; value /= 10) field[--i] = static_cast<char>('0' + value % 10);
}

// The generator string without a heap allocation: the derivation builds one
// per try.
GeneratorString make_generator_string(std::uint64_t index, std::uint64_t attempt) {
    GeneratorString s{};
    auto out = std::span<char, generator_string_bytes>(s);
    std::copy(generator_prefix.begin(), generator_prefix.end(), out.begin());
    write_decimal(index, out.subspan<generator_prefix.size(), number_width>());
    out[generator_prefix.size() + number_width] = '_';
    write_decimal(attempt, out.subspan<generator_prefix.size() + number_width + 1, number_width>());
    return s;
}

algebra::BigInt<4> from_bytes_le(const std::array<std::uint8_t, 32>& bytes) {
    algebra::BigInt<4> n;
    for (std::size_t i = 0; i < 32; ++i) n.limbs[i / 8] |= std::uint64_t{bytes[i]} << (8 * (i % 8));
    return n;
}

// One try of the derivation: the cofactor-cleared point, or nothing when the
// digest does not decode to a curve point.
std::optional<BabyJubjubStandardPoint> try_generator(std::uint64_t index, std::uint64_t attempt) {
    const GeneratorString text = make_generator_string(index, attempt);
    std::array<std::uint8_t, 32> digest =
        hashes::Blake256().update(std::string_view(text.data(), text.size())).finalize();

    const bool sign = (digest[31] & 0x80) != 0;
    digest[31] &= 0x3F;
    // The masked value is below 2^254 < 2p, so one subtraction reduces it.
    // circomlibjs reads it modulo p instead of rejecting values at or above
    // p, and its base points are the ones this hash must reproduce.
    algebra::BigInt<4> value = from_bytes_le(digest);
    if (value >= Fq::MODULUS) value.sub_with_borrow(Fq::MODULUS);
    const std::optional<Fq> y = Fq::from_bigint(value);
    if (!y) fault::raise("circom base point: reduced y is not below the modulus");

    // x² = (1 − y²)/(a − d·y²); absent when the denominator vanishes or x² is
    // not a square.
    std::optional<Fq> x = algebra::recover_x_vartime<algebra::BabyJubjubConfig>(*y);
    if (!x) return std::nullopt;
    // Take the root not above (p − 1)/2 whichever one sqrt gave, then apply the sign.
    if (x->is_greater_than_negation()) x = -*x;
    if (sign) x = -*x;

    const AffinePoint affine{*x, *y};
    assert(affine.is_on_curve());
    BabyJubjubStandardPoint point = BabyJubjubStandardPoint::from_affine(affine);
    for (int i = 0; i < 3; ++i) point.double_in_place();  // the cofactor 8
    return point;
}

// Rows 0 to 5 of the derivation, already multiplied by the cofactor. Parsed by
// the compiler, so a mistyped digit cannot reach run time.
constexpr std::size_t builtin_rows = 6;
constexpr std::array<AffinePoint, builtin_rows> builtin_base_points = {{
    {Fq::constant("10457101036533406547632367118273992217979173478358440826365724437999023779287"),
     Fq::constant("19824078218392094440610104313265183977899662750282163392862422243483260492317")},
    {Fq::constant("2671756056509184035029146175565761955751135805354291559563293617232983272177"),
     Fq::constant("2663205510731142763556352975002641716101654201788071096152948830924149045094")},
    {Fq::constant("5802099305472655231388284418920769829666717045250560929368476121199858275951"),
     Fq::constant("5980429700218124965372158798884772646841287887664001482443826541541529227896")},
    {Fq::constant("7107336197374528537877327281242680114152313102022415488494307685842428166594"),
     Fq::constant("2857869773864086953506483169737724679646433914307247183624878062391496185654")},
    {Fq::constant("20265828622013100949498132415626198973119240347465898028410217039057588424236"),
     Fq::constant("1160461593266035632937973507065134938065359936056410650153315956301179689506")},
    {Fq::constant("1487999857809287756929114517587739322941449154962237464737694709326309567994"),
     Fq::constant("14017256862867289575056460215526364897734808720610101650676790868051368668003")},
}};

}  // namespace

BabyJubjubStandardPoint derive_base_point(std::uint64_t index) {
    // Rejected tries move on to the next counter; there is no limit.
    for (std::uint64_t attempt = 0;; ++attempt)
        if (std::optional<BabyJubjubStandardPoint> point = try_generator(index, attempt)) return *point;
}

BabyJubjubStandardPoint base_point(std::uint64_t index) {
    if (index < builtin_rows) return BabyJubjubStandardPoint::from_affine(builtin_base_points[index]);
    return derive_base_point(index);
}

BabyJubjubPoint CircomBases::base_vartime(std::uint64_t segment) const {
    return algebra::BabyJubjubMinusOneConfig::from_standard(base_point(segment));
}

}  // namespace pedersen
