#include "tamarind/classes.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>

#include "constructions/circom.hpp"
#include "constructions/configurable.hpp"
#include "constructions/zcash.hpp"
#include "tamarind/arguments.hpp"
#include "tamarind/errors.hpp"
#include "tamarind/gil.hpp"
#include "tamarind/hasher_class.hpp"

namespace tamarind {

namespace {

// The two configurable hashers take the same two sizes; only the name of the
// second one differs.
// (segments, second size) as given to the constructor.
template <class H>
Ref configurable_arguments(const H& hasher) {
    Ref tuple(Py_BuildValue("(KK)", static_cast<unsigned long long>(hasher.segments()),
                            static_cast<unsigned long long>(hasher.requested_per_segment())));
    if (!tuple) propagate_python_error();
    return tuple;
}

template <class H, const std::array<std::string_view, 2>& Parameters>
H build_configurable(std::span<const Ref> arguments) {
    // Converted in order, so the first bad argument is the one reported.
    const std::uint64_t segments = extract_u64(arguments[0].get(), Parameters[0]);
    const std::uint64_t per_segment = extract_u64(arguments[1].get(), Parameters[1]);
    // Building can take minutes (and any pickle can ask for it): Ctrl-C
    // stops it as it stops a hash, and nothing built survives. From a build
    // slice of chunks on, it runs without the interpreter lock.
    const bool long_work = segments != 0 && per_segment >= pedersen::build_slice_chunks / segments +
                                                               (pedersen::build_slice_chunks % segments != 0);
    return compute(long_work,
                   [&](pedersen::Checkpoint checkpoint) { return H::build(segments, per_segment, checkpoint); });
}

inline constexpr std::array<std::string_view, 2> BABY_JUBJUB_PARAMETERS{"segments", "bits_per_window"};
inline constexpr std::array<std::string_view, 2> BOWE_HOPWOOD_PARAMETERS{"segments", "chunks_per_segment"};
inline constexpr std::array<std::string_view, 1> ZCASH_PARAMETERS{"personalization"};
inline constexpr std::array<std::string_view, 0> NO_PARAMETERS{};

struct BabyJubjubPedersenClass {
    using Hasher = pedersen::BabyJubjubPedersen;
    static constexpr std::string_view name = "BabyJubjubPedersen";
    static constexpr std::string_view signature = "(segments, bits_per_window)";
    static constexpr std::string_view doc =
        "Unsigned-window Pedersen hash over the ERC-2494 Baby Jubjub curve\n"
        "(arkworks `pedersen::CRH` construction). Output is the compressed curve point.";
    static constexpr const char* hash_doc =
        "hash($self, data)\n--\n\nHash `data`, returning the compressed point as bytes.";
    static constexpr std::string_view output =
        "the compressed point: 32 bytes, y little-endian with\n"
        "bit 7 of byte 31 set when x > (p - 1) / 2";
    static constexpr std::string_view point_model =
        "the EIP-2494 model of Baby Jubjub\n"
        "(a = 168700, d = 168696): the point that hash() compresses";
    static constexpr const auto& parameters = BABY_JUBJUB_PARAMETERS;
    static constexpr std::size_t required = 2;
    static constexpr BorrowKind borrow = BorrowKind::Shared;
    static Hasher construct(std::span<const Ref> arguments) {
        return build_configurable<Hasher, BABY_JUBJUB_PARAMETERS>(arguments);
    }
    static Ref arguments(const Hasher& hasher) { return configurable_arguments(hasher); }
};

struct JubjubBoweHopwoodClass {
    using Hasher = pedersen::JubjubBoweHopwood;
    static constexpr std::string_view name = "JubjubBoweHopwood";
    static constexpr std::string_view signature = "(segments, chunks_per_segment)";
    // The dash is U+2013, spelled out as UTF-8 so the source encoding cannot change it.
    static constexpr std::string_view doc =
        "Bowe\xE2\x80\x93Hopwood / Zcash-Sapling Pedersen hash over Jubjub\n"
        "(arkworks `bowe_hopwood::CRH` construction). Output is the x-coordinate.";
    static constexpr const char* hash_doc =
        "hash($self, data)\n--\n\nHash `data`, returning the x-coordinate as bytes.";
    static constexpr std::string_view output = "the x-coordinate, 32 bytes little-endian";
    static constexpr std::string_view point_model =
        "Jubjub's model (a = -1, d = -10240/10241):\n"
        "(u, v), u being what hash() returns";
    static constexpr const auto& parameters = BOWE_HOPWOOD_PARAMETERS;
    static constexpr std::size_t required = 2;
    static constexpr BorrowKind borrow = BorrowKind::Shared;
    static Hasher construct(std::span<const Ref> arguments) {
        return build_configurable<Hasher, BOWE_HOPWOOD_PARAMETERS>(arguments);
    }
    static Ref arguments(const Hasher& hasher) { return configurable_arguments(hasher); }
};

struct CircomPedersenClass {
    using Hasher = pedersen::CircomPedersen;
    static constexpr std::string_view name = "CircomPedersen";
    static constexpr std::string_view signature = "()";
    static constexpr std::string_view doc =
        "circom / iden3-compatible Baby Jubjub Pedersen hash (`circomlibjs pedersenHash`).\n"
        "\n"
        "`hash(data)` returns the 32-byte packed point, byte-identical to circomlibjs.\n"
        "Reusable: generators are derived once and cached across calls, so reuse the\n"
        "same instance for repeated hashing.";
    static constexpr const char* hash_doc =
        "hash($self, data)\n--\n\nHash `data`, returning the 32-byte packed point (circomlibjs `packPoint`).";
    static constexpr std::string_view output =
        "the 32-byte packed point, byte-identical to\n"
        "circomlibjs's packPoint";
    static constexpr std::string_view point_model =
        "the EIP-2494 model of Baby Jubjub\n"
        "(a = 168700, d = 168696), as circomlibjs's babyJub.unpackPoint returns them\n"
        "for hash()'s packed output and as circom's Pedersen(n) template outputs them;\n"
        "x is what Tornado-style commitments and nullifier hashes take";
    static constexpr const auto& parameters = NO_PARAMETERS;
    static constexpr std::size_t required = 0;
    // hash() grows the cached tables, under a lock that a signal handler's call
    // on the same thread would wait for forever: such a call is refused.
    static constexpr BorrowKind borrow = BorrowKind::Exclusive;
    static Hasher construct(std::span<const Ref>) { return Hasher(); }
    static Ref arguments(const Hasher&) {
        Ref tuple(PyTuple_New(0));
        if (!tuple) propagate_python_error();
        return tuple;
    }
};

struct ZcashPedersenClass {
    using Hasher = pedersen::ZcashPedersen;
    static constexpr std::string_view name = "ZcashPedersen";
    static constexpr std::string_view signature = "(personalization=None)";
    static constexpr std::string_view doc =
        "Zcash Sapling Pedersen hash over Jubjub.\n"
        "\n"
        "`hash(data)` returns the 32-byte little-endian u-coordinate. The optional\n"
        "8-byte `personalization` defaults to `b\"Zcash_PH\"`. Reusable: generators are\n"
        "derived once and cached across calls.";
    static constexpr const char* hash_doc =
        "hash($self, data)\n--\n\nHash `data`, returning the 32-byte little-endian u-coordinate.";
    static constexpr std::string_view output =
        "the u-coordinate, 32 bytes little-endian: Zcash's\n"
        "PedersenHash (under the default personalization; e.g. MerkleCRH hashes a\n"
        "6-bit height, then the low 255 bits of each child)";
    static constexpr std::string_view point_model =
        "Jubjub's model (a = -1, d = -10240/10241):\n"
        "(u, v) as Zcash's PedersenHashToPoint gives them; u is what hash() returns";
    static constexpr const auto& parameters = ZCASH_PARAMETERS;
    static constexpr std::size_t required = 0;
    // hash() grows the cached tables, under a lock that a signal handler's call
    // on the same thread would wait for forever: such a call is refused.
    static constexpr BorrowKind borrow = BorrowKind::Exclusive;
    static Hasher construct(std::span<const Ref> arguments) {
        PyObject* given = arguments[0].get();
        if (given == nullptr || given == Py_None) return Hasher(pedersen::SAPLING_PERSONALIZATION);
        const std::span<const std::uint8_t> bytes = extract_bytes(given, "personalization");
        std::array<std::uint8_t, 8> personalization{};
        if (bytes.size() != personalization.size()) {
            raise(PyExc_ValueError, "personalization must be exactly 8 bytes");
        }
        std::copy(bytes.begin(), bytes.end(), personalization.begin());
        return Hasher(personalization);
    }
    static Ref arguments(const Hasher& hasher) {
        const auto& personalization = hasher.personalization();
        Ref tuple(Py_BuildValue("(y#)", reinterpret_cast<const char*>(personalization.data()),
                                static_cast<Py_ssize_t>(personalization.size())));
        if (!tuple) propagate_python_error();
        return tuple;
    }
};

template <class Traits>
constexpr RegisteredClass registered() {
    return {Traits::name, &HasherClass<Traits>::type_object, &HasherClass<Traits>::forget_type};
}

constexpr std::array<RegisteredClass, 4> CLASSES{
    registered<BabyJubjubPedersenClass>(),
    registered<JubjubBoweHopwoodClass>(),
    registered<CircomPedersenClass>(),
    registered<ZcashPedersenClass>(),
};

}  // namespace

std::span<const RegisteredClass> registered_classes() { return CLASSES; }

PyObject* rebuild_hasher(PyObject* name, PyObject* arguments) {
    if (!PyUnicode_Check(name)) raise(PyExc_TypeError, "_rebuild() needs a class name (str)");
    if (!PyTuple_Check(arguments)) raise(PyExc_TypeError, "_rebuild() needs the constructor arguments as a tuple");
    const std::string wanted = utf8(name);
    for (const RegisteredClass& entry : CLASSES) {
        if (entry.name == wanted) return PyObject_Call(entry.type_object(), arguments, nullptr);
    }
    raise(PyExc_ValueError, "_rebuild(): no hasher class is named '" + wanted + "'");
}

}  // namespace tamarind
