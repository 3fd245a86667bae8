#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fault/fault.hpp"
#include "hashes/blake2s.hpp"
#include "test_support.hpp"

namespace {

using namespace test_support;
namespace b2 = hashes::blake2s;

const Bytes personalizations[] = {
    {}, bytes_of("Z"), bytes_of("Zcash_PH"), {0x00, 0xff, 0x10, 0x80, 0x7f, 0x01, 0xfe, 0x42}};

std::string digest_hex(const Bytes& personal, std::span<const std::uint8_t> data) {
    return hex(b2::Params{}.personal(personal).to_state().update(data).finalize().as_bytes());
}

TEST(Blake2s, Rfc7693Abc) {
    EXPECT_EQ(hex(b2::Params{}.to_state().update("abc").finalize().as_bytes()),
              "508c5e8c327c14e2e1a72ba34eeb452f37458b209ed63a294d999b4c86675982");
}

// Produced by CPython's hashlib.blake2s(pattern(length), digest_size=32,
// person=personalizations[index]).hexdigest(), with pattern(n)[i] = (7*i + 3) mod 256.
struct HashlibCase {
    int personal;
    std::size_t length;
    const char* digest;
};

const HashlibCase hashlib_cases[] = {
    {0, 0, "69217a3079908094e11121d042354a7c1f55b6482ca1a51e1b250dfd1ed0eef9"},
    {0, 1, "a28ac19d6bcbe2cd1d7de183485768d598e996b07889b9b11f418cb1b4a4fb0d"},
    {0, 55, "691697264a9ff7f6f5605335fc509f137845246ce7169d30fbf71574102ffb63"},
    {0, 63, "de27df0e375d83c49f1af9ca8270f9f2fe7b70bf800fc01672db0e9746021ebf"},
    {0, 64, "5377e4ff957bda4d4535f4879876b71a61056c4cec31e78397c66ec47a86a130"},
    {0, 65, "19b1b26fba093f4a670d8913e1b71cbb2916dfa701018cc6b05785c966593374"},
    {0, 127, "6846f99493436241d0a6f289c9a911b1d0f4860db8f2b5df5295ffd37d03a3c4"},
    {0, 128, "83470c75afa23d90cd7659906e4b47daa278131fbb225241dd37a40fd5355ac7"},
    {0, 129, "26fd8892ab0a5f12d4acbff1efd7dcd92b99e2d377f888f07e3cb81b232b11cf"},
    {0, 200, "46c215f5ea995be7077ae5b9e0ef1c28b2111fc213d0867ddc8f1b339362f5fc"},
    {1, 0, "c60bb3fbc7a4b1525e5b7e9db9ad9b6a057940b9ea030e4036144207f7784ebc"},
    {1, 1, "2a85875e23f0baf7fbc2e3afb298a01e5cffd4e3dda1bb59536bc9e1d0307a23"},
    {1, 55, "06f181e7bb82ec2598a423881e27ae6f402243ac3b3f2640f50252f23ffc675d"},
    {1, 63, "61f297e8012d1ad32fe7b74c3d2120590f2fc5d88ece2f5ee0fd6d3f902eebbd"},
    {1, 64, "f90a526bc28a96e1bb2b30e37c9d99818760e4e9fc15d9cd607689f73d546255"},
    {1, 65, "23fc8608ca830f1c9eebdad6a51c57d7bea9fe939752a2c16cd1ad8f6cf89af2"},
    {1, 127, "99cffe7277584c118468870c9fbf7573e8d0b2a21eb55ed04ff9602f28c0f2ac"},
    {1, 128, "2229a414da98d2f3e647d8826ee9653a662f2a2d6adf6bfddf90dd682ea7e1b6"},
    {1, 129, "257ff2acfb26a68bf99dc3594375e8eda1d2b2da0524fbbf1f02c490dd01fea4"},
    {1, 200, "5c5b08f6f80f99198f878b824e2c323a66b580f0aaeb39dd8fbb9cd66a33e046"},
    {2, 0, "479cbfb374ecacb5f567b8185ddabb6d1ee703df40fc0dc9fe34d0c9f9e2b6b5"},
    {2, 1, "ea5309b076cb1548da91a497e6fa49c4eb4d12404cb920fff0bf759b3c5fe1b9"},
    {2, 55, "21ed9de52308f991bbfbd99f663a747e15085252c1d39428680d2e260adb00d8"},
    {2, 63, "ea47bae12789c5e36e9cd4b41dd127940679346e1e33425c27c29ce23aa7281c"},
    {2, 64, "f2c31a59a8a88c79c5b019e186f6c08bb8f0eb9bd2cc656e420aeb49c1e37b58"},
    {2, 65, "a615e4cd811e479caf0aec1a406d4c687618ea4a7c60338340d4f7fbbc8033ea"},
    {2, 127, "f14489c7a168efd288082341c369105f17010146b29bba3e8ec24d96575d6a98"},
    {2, 128, "4f5b48c26cd9429faa21aed31f5bb206eb1c401d49dbb28b1a136da6d5089370"},
    {2, 129, "95610a219eec68b6698802e8744f743dfeaefb38330aacdd051657adc6d29028"},
    {2, 200, "58648fab4ee57d3f16ba10a7a550cf80af8c99fc492a3ea45efec49f0fffc488"},
    {3, 0, "4f5838f03ac2acdbef70e4b58099a96cfd5a59b15f897cd9c06bec5afe6f6018"},
    {3, 1, "7258c66613cd7a2118074fb2e01841a90dc0eaf503700b44c45e267604c52e41"},
    {3, 55, "87a9b31a6e4d413739691f7fba91a5e0bce9f8a45a222fbfe60fef8becf314aa"},
    {3, 63, "4fc62898d01157726ca7f4b2bba09e9ebae1b2b9e3e8ac11afc5478ef4a8ad02"},
    {3, 64, "6dc4111a9e136cc3db987e0afb6055f4a1e3a9bff7e28b05af22476e3bca89a6"},
    {3, 65, "9e62dd084cc883e3876e9180e7ca3a5b2afafb778e56cf452892a15c0fc8e270"},
    {3, 127, "dd19077097981a4ef550e10c61abffb31b710301cef78aed3e2f4d2ecb9952ae"},
    {3, 128, "839b79e410882e870940b35510c4cd4d39889ead8fdcf7eafbd22e8796ba5c06"},
    {3, 129, "b78cfe7d2554a3f4384cf1ce1399019b9decc5015187913a29b93406a5687816"},
    {3, 200, "a8de0eff0826b0adbe25b3ed515ca12fdd2732c68280a103d3ea96954fb7d08a"},
};

class Blake2sHashlib : public testing::TestWithParam<HashlibCase> {};

TEST_P(Blake2sHashlib, StreamedAndOneShotMatch) {
    const auto& c = GetParam();
    EXPECT_EQ(digest_hex(personalizations[c.personal], pattern(c.length)), c.digest);
    EXPECT_EQ(hex(b2::hash(personalizations[c.personal], pattern(c.length))), c.digest);
}

INSTANTIATE_TEST_SUITE_P(Table, Blake2sHashlib, testing::ValuesIn(hashlib_cases), [](const auto& info) {
    return "pers" + std::to_string(info.param.personal) + "_len" + std::to_string(info.param.length);
});

// The group hash feeds the 64-character URS text, then tag and counter byte.
// Expected: hashlib.blake2s(urs + b"\0\0\0\0\x05", digest_size=32, person=b"Zcash_PH").
TEST(Blake2s, UrsThenTagAndCounter) {
    auto state = b2::Params{}.hash_length(32).personal("Zcash_PH").to_state();
    state.update("096b36a5804bfacef1691e173c366a47ff5ba84a44f26ddd7e8d9f79d5b42df0").update(Bytes{0, 0, 0, 0, 5});
    EXPECT_EQ(hex(state.finalize().as_bytes()), "43167a709b9d448118ce0657f7bddd52c59874b0f188c268eba245573e58e994");
}

// Expected: hashlib.blake2s(b"abc", digest_size=16, person=b"Zcash_PH"). The
// length lives in the parameter block, so this is not a truncated 32-byte digest.
TEST(Blake2s, ShorterDigestLength) {
    EXPECT_EQ(hex(b2::Params{}.hash_length(16).personal("Zcash_PH").to_state().update("abc").finalize().as_bytes()),
              "fa4de4592de5f4f5d7541ba00e4b679e");
}

TEST(Blake2s, SplitUpdatesMatchOneUpdate) {
    const Bytes data = pattern(200);
    const Bytes& personal = personalizations[2];
    auto fresh = [&] { return b2::Params{}.personal(personal).to_state(); };
    for (std::size_t total : {63u, 64u, 65u, 128u, 129u, 200u}) {
        const std::span<const std::uint8_t> whole(data.data(), total);
        const std::string expected = digest_hex(personal, whole);
        for (std::size_t cut = 0; cut <= total; ++cut)
            EXPECT_EQ(hex(fresh().update(whole.first(cut)).update(whole.subspan(cut)).finalize().as_bytes()), expected)
                << "total " << total << " cut " << cut;
        // Byte by byte, with empty updates mixed in.
        auto state = fresh();
        for (auto b : whole) state.update(std::span(&b, 1)).update(std::span<const std::uint8_t>{});
        EXPECT_EQ(hex(state.finalize().as_bytes()), expected) << "total " << total << " bytewise";
    }
}

TEST(Blake2s, FinalizeLeavesStateUsable) {
    const Bytes data = pattern(130);
    auto state = b2::Params{}.to_state();
    state.update(std::span(data).first(64));
    EXPECT_EQ(hex(state.finalize().as_bytes()), digest_hex({}, std::span(data).first(64)));
    state.update(std::span(data).subspan(64));
    EXPECT_EQ(hex(state.finalize().as_bytes()), digest_hex({}, data));
}

// Short personalizations are zero-padded (the "Z" rows above); setting a
// shorter one over a longer one leaves no stale bytes.
TEST(Blake2s, ShorterPersonalizationLeavesNoStaleBytes) {
    const Bytes data = pattern(77);
    EXPECT_EQ(hex(b2::Params{}.personal("Zcash_PH").personal("Z").to_state().update(data).finalize().as_bytes()),
              digest_hex(bytes_of("Z"), data));
}

TEST(Blake2s, OverlongParametersFault) {
    const Bytes nine(9, 'x');
    EXPECT_EQ(fault_of([&] { b2::Params{}.personal(nine); }), "Bad personalization length: 9");
    EXPECT_THROW(b2::hash(nine, {}), fault::Fault);
    EXPECT_THROW(b2::Params{}.hash_length(0), fault::Fault);
    EXPECT_THROW(b2::Params{}.hash_length(33), fault::Fault);
}

}  // namespace
