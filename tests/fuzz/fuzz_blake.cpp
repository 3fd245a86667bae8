// BLAKE2s and BLAKE-256: the same message fed in pieces (cut where the input
// says, across and on block boundaries) must give the one-shot digest, and so
// must a state finished midway and then extended, or copied and continued.
// Unpersonalized 32-byte BLAKE2s is also compared with OpenSSL's, a second
// implementation (OpenSSL's digest takes no personalization, and its MAC form
// that does insists on a key, which this BLAKE2s never has).

#include <fuzzer/FuzzedDataProvider.h>
#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

#include "hashes/blake256.hpp"
#include "hashes/blake2s.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;

void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "digest mismatch: %s\n", what);
        std::abort();
    }
}

// Ascending cut positions, read from the input; those past the message's end cut at its end.
std::vector<std::size_t> cuts(FuzzedDataProvider& input) {
    std::vector<std::size_t> positions;
    const int count = input.ConsumeIntegralInRange<int>(0, 8);
    std::size_t at = 0;
    for (int i = 0; i < count; ++i) {
        // Steps of up to 130 bytes reach two block boundaries and both sides of each.
        at += input.ConsumeIntegralInRange<std::size_t>(0, 130);
        positions.push_back(at);
    }
    return positions;
}

// Feeds `message` to `state` in the pieces `positions` cut it into, checking
// the digest of every prefix on the way against `digest_of_prefix`.
template <class State, class Finish, class Prefix>
void feed_in_pieces(State state, std::span<const std::uint8_t> message, const std::vector<std::size_t>& positions,
                    Finish finish, Prefix digest_of_prefix, const char* name) {
    std::size_t done = 0;
    for (const std::size_t position : positions) {
        const std::size_t end = std::min(position, message.size());
        state.update(message.subspan(done, end - done));
        done = end;
        require(finish(state) == digest_of_prefix(message.first(done)), name);
    }
    State fork = state;  // a copy continues on its own
    state.update(message.subspan(done));
    require(finish(state) == digest_of_prefix(message), name);
    fork.update(message.subspan(done));
    require(finish(fork) == digest_of_prefix(message), name);
}

void fuzz_blake2s(FuzzedDataProvider& input) {
    namespace b2 = hashes::blake2s;
    const Bytes personal = input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegralInRange<std::size_t>(0, 8));
    const std::size_t length = input.ConsumeIntegralInRange<std::size_t>(1, b2::max_hash_bytes);
    const std::vector<std::size_t> positions = cuts(input);
    const Bytes message = input.ConsumeRemainingBytes<std::uint8_t>();

    const auto params = b2::Params{}.hash_length(length).personal(personal);
    const auto one_shot = [&](std::span<const std::uint8_t> data) {
        auto state = params.to_state();
        state.update(data);
        return state.finalize();
    };
    const auto finish = [](const b2::State& state) { return state.finalize(); };
    feed_in_pieces(params.to_state(), message, positions, finish, one_shot, "BLAKE2s in pieces");
    require(one_shot(message).as_bytes().size() == length, "BLAKE2s digest length");

    if (length != b2::max_hash_bytes) return;
    const auto digest = b2::hash(personal, message);
    require(std::ranges::equal(digest, one_shot(message).as_bytes()), "BLAKE2s one-shot function");
    // Zero bytes pad a short personalization, so all-zero ones are no personalization at all.
    if (std::ranges::any_of(personal, [](std::uint8_t b) { return b != 0; })) return;
    std::array<std::uint8_t, EVP_MAX_MD_SIZE> theirs{};
    unsigned int theirs_length = 0;
    require(EVP_Digest(message.data(), message.size(), theirs.data(), &theirs_length, EVP_blake2s256(), nullptr) == 1,
            "OpenSSL BLAKE2s256 ran");
    require(theirs_length == 32 && std::equal(digest.begin(), digest.end(), theirs.begin()), "BLAKE2s against OpenSSL");
}

void fuzz_blake256(FuzzedDataProvider& input) {
    const std::vector<std::size_t> positions = cuts(input);
    const Bytes message = input.ConsumeRemainingBytes<std::uint8_t>();
    const auto one_shot = [](std::span<const std::uint8_t> data) { return hashes::blake256(data); };
    const auto finish = [](const hashes::Blake256& state) {
        std::array<std::uint8_t, hashes::Blake256::digest_bytes> into{};
        state.finalize_into(into);
        require(into == state.finalize(), "BLAKE-256 finalize_into and finalize");
        return into;
    };
    feed_in_pieces(hashes::Blake256{}, message, positions, finish, one_shot, "BLAKE-256 in pieces");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    if (input.ConsumeBool()) {
        fuzz_blake2s(input);
    } else {
        fuzz_blake256(input);
    }
    return 0;
}
