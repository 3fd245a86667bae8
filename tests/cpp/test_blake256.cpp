#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "hashes/blake256.hpp"
#include "test_support.hpp"

namespace {

using namespace test_support;

std::string digest_hex(std::span<const std::uint8_t> data) { return hex(hashes::blake256(data)); }

// Published known-answer values of BLAKE-256.
TEST(Blake256, KnownAnswers) {
    EXPECT_EQ(digest_hex(Bytes(1, 0)), "0ce8d4ef4dd7cd8d62dfded9d4edb0a774ae6a41929a74da23109e8f11139c87");
    EXPECT_EQ(digest_hex(Bytes(72, 0)), "d419bad32d504fb7d44d460c42c5593fe544fa4c135dec31e21bd9abdcc22d41");
    EXPECT_EQ(hex(hashes::Blake256{}.update("").finalize()),
              "716f6e863f744b9ac22c97ec7b76ea5f5908bc5b2f67c61510bfc4751384ea7a");
    EXPECT_EQ(hex(hashes::Blake256{}.update("The quick brown fox jumps over the lazy dog").finalize()),
              "7576698ee9cad30173080678e5965916adbb11cb5245d386bf1ffda1cb26c9d7");
}

// Produced by a separate pure-Python BLAKE-256 written from the published
// algorithm description (bit-level padding, per-block counters), which
// reproduces the known answers above; message bytes are (7*i + 3) mod 256.
// The lengths straddle each padding case: length field fits after the message
// (0, 55: single 0x81 pad byte), does not fit (56, 63, 119, 120), and
// padding-only final block with counter 0 (64, 128).
struct Case {
    std::size_t length;
    const char* digest;
};

const Case padding_cases[] = {
    {0, "716f6e863f744b9ac22c97ec7b76ea5f5908bc5b2f67c61510bfc4751384ea7a"},
    {55, "bd5241d172e5ee176179fa886b2a15742c734a4973620ddd6b5f47fca74e4aee"},
    {56, "2344df8e5b842f20951adcecd18f561c46498f1f8e9cba4119988fb3dcd723c9"},
    {63, "f013d70db3be7ac666ece615fc77740a2de3bdd7091872b6f2e226cc72248a09"},
    {64, "6d4e371d3366e12bca113bf3346655dfb017fdc784a58284752aa8101318590b"},
    {65, "79631e6e9c4faf67e46c647b8cf77ce2716113d9a76a255ed4f6b05ceae66b35"},
    {119, "342625129a2d6ba760dc8351109bc158db97868f8599d8de152dd5f72fcc19a3"},
    {120, "bbb8749bd617a96e266418d8b9ec752a50e08dedc4ccc2da001358cbb152d113"},
    {128, "cbb02d67f49c7f9785df20fa68614774ff7322f43a511de6af4db97ff97d3a3c"},
};

class Blake256Padding : public testing::TestWithParam<Case> {};

TEST_P(Blake256Padding, MatchesReference) {
    const auto& c = GetParam();
    EXPECT_EQ(digest_hex(pattern(c.length)), c.digest);
    std::array<std::uint8_t, 32> out{};
    hashes::Blake256{}.update(pattern(c.length)).finalize_into(out);
    EXPECT_EQ(hex(out), c.digest);
}

INSTANTIATE_TEST_SUITE_P(Lengths, Blake256Padding, testing::ValuesIn(padding_cases),
                         [](const auto& info) { return "len" + std::to_string(info.param.length); });

// The first derived circom generator string; expected value from the same pure-Python reference.
TEST(Blake256, FirstCircomGeneratorString) {
    EXPECT_EQ(hex(hashes::Blake256{}
                      .update("PedersenGenerator_" + std::string(31, '0') + "6_" + std::string(32, '0'))
                      .finalize()),
              "4028231ab173961fb928d8c9e3c3a224c2d5200b0e5ab1d993d24613d4941669");
}

TEST(Blake256, SplitUpdatesMatchOneUpdate) {
    const Bytes data = pattern(150);
    for (std::size_t total : {55u, 56u, 64u, 65u, 83u, 128u, 150u}) {
        const std::span<const std::uint8_t> whole(data.data(), total);
        const std::string expected = digest_hex(whole);
        for (std::size_t cut = 0; cut <= total; ++cut)
            EXPECT_EQ(hex(hashes::Blake256{}.update(whole.first(cut)).update(whole.subspan(cut)).finalize()), expected)
                << "total " << total << " cut " << cut;
        hashes::Blake256 h;
        for (auto b : whole) h.update(std::span(&b, 1));
        EXPECT_EQ(hex(h.finalize()), expected) << "total " << total << " bytewise";
    }
}

TEST(Blake256, FinalizeLeavesStateUsable) {
    const Bytes data = pattern(100);
    hashes::Blake256 h;
    h.update(std::span(data).first(64));
    EXPECT_EQ(hex(h.finalize()), digest_hex(std::span(data).first(64)));
    h.update(std::span(data).subspan(64));
    EXPECT_EQ(hex(h.finalize()), digest_hex(data));
}

// The compressor on its own: one padded block of the 1-byte zero message,
// counter 8 bits, must give the published digest.
TEST(Blake256, CompressorSingleBlock) {
    std::array<std::uint8_t, 64> block{};
    block[1] = 0x80;
    block[55] = 0x01;
    block[63] = 8;
    hashes::Compressor256 c;
    c.put_block(block, 8, 0);
    EXPECT_EQ(hex(c.output()), "0ce8d4ef4dd7cd8d62dfded9d4edb0a774ae6a41929a74da23109e8f11139c87");
}

}  // namespace
