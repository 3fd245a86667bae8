#pragma once
// One Python class around one hasher type: a heap type whose instances hold
// the hasher value, with a constructor and `hash`.
// Everything that differs between the classes comes from a traits type:
//
//   using Hasher;                                   the value each instance holds
//   static constexpr std::string_view name;         the class name
//   static constexpr std::string_view signature;    the constructor's text signature
//   static constexpr std::string_view doc;          the class doc
//   static constexpr const char* hash_doc;          the doc of `hash`, signature included
//   static constexpr std::string_view output;       what a digest is, for the docs of
//                                                   hash_bits and hash_many
//   static constexpr std::string_view point_model;  the curve model point() answers in
//   static constexpr std::array<std::string_view, N> parameters;
//   static constexpr std::size_t required;          leading parameters without default
//   static constexpr BorrowKind borrow;             how `hash` borrows the hasher: an
//                                                   exclusive borrow refuses a signal
//                                                   handler's call during one
//   static Hasher construct(std::span<const Ref>);  converts the arguments, builds
//   static Ref arguments(const Hasher&);            the constructor arguments, as a tuple
//
// Besides `hash`, every class has `hash_bits` (an input of any number of
// bits), `hash_vartime` (the same digests in variable time, for public data),
// `point` (the hash point as integers), `hash_many` (many inputs on native
// threads), `incremental` (one input in pieces), the properties
// `capacity` and `capacity_bits`, and `__reduce__` (pickling by the
// constructor arguments). What we add takes any bytes-like object; `hash`
// keeps to bytes. Calls on RELEASE_BYTES of input or more compute without
// the interpreter lock (gil.hpp); any number of threads may use one instance
// at once. Long calls check for signals between slices of work, so Ctrl-C
// interrupts them within milliseconds.

#include <algorithm>
#include <array>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <numeric>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "algebra/bigint.hpp"
#include "algebra/encoding.hpp"
#include "fault/fault.hpp"
#include "pedersen/bits.hpp"
#include "pedersen/incremental.hpp"
#include "pedersen/many.hpp"
#include "tamarind/arguments.hpp"
#include "tamarind/borrow.hpp"
#include "tamarind/compatibility.hpp"
#include "tamarind/errors.hpp"
#include "tamarind/gil.hpp"
#include "tamarind/heap_type.hpp"
#include "tamarind/incremental_class.hpp"
#include "tamarind/python.hpp"
#include "tamarind/results.hpp"
#include "tamarind/signature.hpp"

namespace tamarind {

inline constexpr std::array<std::string_view, 1> HASH_PARAMETERS{"data"};
inline constexpr std::array<std::string_view, 2> HASH_BITS_PARAMETERS{"data", "bit_length"};
inline constexpr std::array<std::string_view, 2> POINT_PARAMETERS{"data", "bit_length"};
inline constexpr std::array<std::string_view, 2> HASH_VARTIME_PARAMETERS{"data", "bit_length"};
inline constexpr std::array<std::string_view, 4> HASH_MANY_PARAMETERS{"items", "threads", "bit_length", "vartime"};
inline constexpr std::array<std::string_view, 1> INCREMENTAL_PARAMETERS{"data"};

// What hash_many counts for each item besides its bytes, when it weighs its
// work against RELEASE_BYTES: an item's normalisation and encoding cost
// about as much as hashing a byte (under a microsecond), so that many empty
// items count too.
inline constexpr std::uint64_t MANY_ITEM_COST = 1;

inline constexpr std::string_view HASH_BITS_DOC =
    "hash_bits($self, data, bit_length)\n--\n\n"
    "Hash the first `bit_length` bits of `data` (any bytes-like object): message\n"
    "bit i is bit i % 8 of data[i // 8], least significant first, exactly as\n"
    "hash() reads bytes, so hash_bits(d, 8 * len(d)) == hash(d). Chunks and\n"
    "segments follow bit_length, not the bytes: this is the hash of a bit string,\n"
    "as Zcash defines PedersenHash and circom's Pedersen(n) template hashes n bits.\n"
    "`data` must have exactly ceil(bit_length / 8) bytes and every bit from\n"
    "bit_length on must be zero, else ValueError. Constant time in the bits.\n"
    "\nReturns ";
inline constexpr std::string_view POINT_DOC =
    "point($self, data, bit_length=None)\n--\n\n"
    "The hash point of `data` (any bytes-like object) as a tuple (x, y) of ints in\n"
    "[0, p): the affine coordinates of the point whose encoding hash() returns,\n"
    "before encoding. With `bit_length`, of the first bit_length bits, read as\n"
    "hash_bits() reads them.\n\nCoordinates are in ";
inline constexpr std::string_view HASH_VARTIME_DOC =
    "hash_vartime($self, data, bit_length=None)\n--\n\n"
    "The digest hash(data) returns (with `bit_length`, hash_bits(data, bit_length)),\n"
    "bit for bit, computed in VARIABLE TIME: table entries are loaded at addresses\n"
    "the input picks, so the time taken and the memory touched leak the input to\n"
    "anyone who can observe them (a co-tenant sharing the machine, its caches).\n"
    "For data that is public anyway only (tree nodes over on-chain commitments,\n"
    "published data sets); never for secrets, nullifiers or note contents.\n"
    "`data` is any bytes-like object, checked as hash_bits() checks it.\n\nReturns ";
inline constexpr std::string_view HASH_MANY_DOC =
    "hash_many($self, items, threads=None, bit_length=None, vartime=False)\n--\n\n"
    "Hash every bytes-like object of the iterable `items`, returning the list of\n"
    "digests: the same as [self.hash(x) for x in items] (or, with `bit_length`,\n"
    "[self.hash_bits(x, bit_length) for x in items]), computed on `threads`\n"
    "native threads (default: the usable CPUs; 1 runs on the calling thread).\n"
    "Items are checked in order: the first bad one raises what hash() or\n"
    "hash_bits() would, naming its index; nothing is returned then.\n"
    "With a true `vartime`, the items are hashed as hash_vartime() hashes them:\n"
    "the same digests, faster, but leaking the items through timing; for public\n"
    "data only. The default is constant time.\n\nEach digest is ";
inline constexpr const char* INCREMENTAL_DOC =
    "incremental($self, data=b'')\n--\n\n"
    "A new IncrementalHash over this hasher: feed it pieces (any bytes-like\n"
    "objects) with update(), then read digest(), equal to self.hash() of the\n"
    "pieces joined. hashlib.file_digest(f, self.incremental) hashes a file.";
inline constexpr const char* CAPACITY_DOC =
    "The longest input in bytes, or None when any length fits (the caching hashers).";
inline constexpr const char* CAPACITY_BITS_DOC =
    "The longest input in bits (hash_bits), or None when any length fits (the caching hashers).";
inline constexpr const char* REDUCE_DOC = "__reduce__($self, /)\n--\n\nPickled by its constructor arguments.";

template <class Traits>
class HasherClass {
  public:
    using Hasher = typename Traits::Hasher;

    // The class object, created on first use and kept until the interpreter
    // is finalized. Borrowed; throws PythonError if it cannot be created.
    static PyObject* type_object() {
        if (type_ == nullptr) type_ = create_type();
        return type_;
    }

    // Drops the pointer once the interpreter that owned the object is gone;
    // the next interpreter creates its own. No Python call may run here.
    static void forget_type() noexcept { type_ = nullptr; }

  private:
    static inline PyObject* type_ = nullptr;  // guarded by the interpreter lock

    // Instance layout: object header, hasher, construction flag.
    // Invariant: when `constructed` is set, `storage` holds a live Hasher,
    // from the end of tp_new until tp_dealloc. Memory from tp_alloc arrives
    // zeroed, so an instance made by any other `__new__` (replacing it is
    // possible where the type cannot be made immutable) reads as unconstructed.
    // Calls of several threads share the hasher (its tables are the table
    // cache's, grown under its own lock); each call counts in ThreadBorrow
    // on its thread alone.
    struct Object {
        PyObject header;
        alignas(Hasher) std::byte storage[sizeof(Hasher)];
        bool constructed;
    };
    static_assert(std::is_standard_layout_v<Object>, "the header must be at offset 0");
    // The interpreter's allocator aligns objects to 16 bytes.
    static_assert(alignof(Object) <= 16);

    static Object* as_object(PyObject* self) { return reinterpret_cast<Object*>(self); }
    static Hasher& hasher_of(PyObject* self) {
        return *std::launder(reinterpret_cast<Hasher*>(as_object(self)->storage));
    }

    // Refuses an instance that no tp_new of this class built.
    static Hasher& constructed_hasher(PyObject* self) {
        if (!as_object(self)->constructed) {
            raise(PyExc_TypeError, "'" + std::string(Traits::name) + "' object was not initialised by its constructor");
        }
        return hasher_of(self);
    }

    static Signature constructor_signature() { return {Traits::name, "__new__", Traits::parameters, Traits::required}; }
    static Signature hash_signature() { return {Traits::name, "hash", HASH_PARAMETERS, 1}; }

    // bit_length, absent for None or a missing argument.
    static std::optional<std::uint64_t> optional_bit_length(PyObject* value) {
        if (value == nullptr || value == Py_None) return std::nullopt;
        return extract_u64(value, "bit_length");
    }

    // The bits hash_bits and point read: all of `data`, or the first
    // `bit_length` if it fits them (else ValueError).
    static pedersen::BitString bits_of(std::span<const std::uint8_t> data, std::optional<std::uint64_t> bit_length) {
        if (!bit_length) return pedersen::BitString(data);
        if (auto error = pedersen::bit_input_error(data, *bit_length)) raise(PyExc_ValueError, *error);
        return pedersen::BitString(data, *bit_length);
    }

    static PyObject* create_type() {
        // The interpreter keeps pointers to the name (as tp_name) and to the
        // methods, so both live as long as the process.
        static const std::string qualified_name = "builtins." + std::string(Traits::name);
        // "Name(signature)\n--\n\n" ahead of the doc lets the interpreter split
        // it into __text_signature__ and __doc__ itself.
        static const std::string doc =
            std::string(Traits::name) + std::string(Traits::signature) + "\n--\n\n" + std::string(Traits::doc);
        static const std::string hash_bits_doc = std::string(HASH_BITS_DOC) + std::string(Traits::output) + ".";
        static const std::string point_doc = std::string(POINT_DOC) + std::string(Traits::point_model) + ".";
        static const std::string hash_many_doc = std::string(HASH_MANY_DOC) + std::string(Traits::output) + ".";
        static const std::string hash_vartime_doc = std::string(HASH_VARTIME_DOC) + std::string(Traits::output) + ".";
        static PyMethodDef methods[] = {
            {"hash", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&hash)), METH_VARARGS | METH_KEYWORDS,
             Traits::hash_doc},
            {"hash_bits", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&hash_bits)),
             METH_VARARGS | METH_KEYWORDS, hash_bits_doc.c_str()},
            {"hash_vartime", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&hash_vartime)),
             METH_VARARGS | METH_KEYWORDS, hash_vartime_doc.c_str()},
            {"point", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&point)), METH_VARARGS | METH_KEYWORDS,
             point_doc.c_str()},
            {"hash_many", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&hash_many)),
             METH_VARARGS | METH_KEYWORDS, hash_many_doc.c_str()},
            {"incremental", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&incremental)),
             METH_VARARGS | METH_KEYWORDS, INCREMENTAL_DOC},
            {"__reduce__", &reduce, METH_NOARGS, REDUCE_DOC},
            {nullptr, nullptr, 0, nullptr},
        };
        static PyGetSetDef getset[] = {
            {"capacity", &get_capacity, nullptr, CAPACITY_DOC, nullptr},
            {"capacity_bits", &get_capacity_bits, nullptr, CAPACITY_BITS_DOC, nullptr},
            {nullptr, nullptr, nullptr, nullptr, nullptr},
        };
        // Instances reference no Python objects; no __dict__ or weak-reference slots.
        return new_heap_type(qualified_name.c_str(), sizeof(Object),
                             {
                                 {Py_tp_new, reinterpret_cast<void*>(&tp_new)},
                                 {Py_tp_dealloc, reinterpret_cast<void*>(&tp_dealloc)},
                                 {Py_tp_methods, static_cast<void*>(methods)},
                                 {Py_tp_getset, static_cast<void*>(getset)},
                                 {Py_tp_doc, const_cast<char*>(doc.c_str())},
                             });
    }

    // Builds the hasher first, then the object around it, so that a failed
    // build leaves nothing to clean up.
    static PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
        return guarded([&]() -> PyObject* {
            std::array<Ref, Traits::parameters.size()> arguments;
            parse_arguments(constructor_signature(), args, kwargs, arguments);
            Hasher hasher = Traits::construct(arguments);
            return wrap(type, std::move(hasher));
        });
    }

    static PyObject* wrap(PyTypeObject* type, Hasher&& hasher) {
        PyObject* self = allocate_instance(type);  // on failure the hasher is dropped on the way out
        Object* object = as_object(self);
        try {
            ::new (static_cast<void*>(object->storage)) Hasher(std::move(hasher));
        } catch (...) {
            free_instance(self);
            throw;
        }
        object->constructed = true;
        return self;
    }

    static void tp_dealloc(PyObject* self) {
        if (as_object(self)->constructed) hasher_of(self).~Hasher();  // noexcept, as every destructor
        free_instance(self);
    }

    // The hasher of `self`, borrowed by a call from construction to scope
    // exit. Other threads' calls run alongside; a call of this thread that
    // holds an exclusive borrow of it (the one a signal handler interrupted)
    // refuses this one.
    class Borrowed {
      public:
        explicit Borrowed(PyObject* self) : hasher_(checked(self)), entry_(self, Traits::borrow) {}

        // body(hasher, checkpoint) through compute(long_work, ...), the hasher
        // passed as const for a shared borrow: shared borrows only ever reach
        // it so.
        template <class Body>
        decltype(auto) compute(bool long_work, Body&& body) const {
            return tamarind::compute(long_work, [&](pedersen::Checkpoint checkpoint) -> decltype(auto) {
                if constexpr (Traits::borrow == BorrowKind::Shared) {
                    return body(std::as_const(hasher_), checkpoint);
                } else {
                    return body(hasher_, checkpoint);
                }
            });
        }

      private:
        static Hasher& checked(PyObject* self) {
            Hasher& hasher = constructed_hasher(self);
            if (ThreadBorrow::conflicts(self, Traits::borrow))
                raise(PyExc_RuntimeError, borrow_conflict_message(Traits::borrow));
            return hasher;
        }

        Hasher& hasher_;
        ThreadBorrow entry_;
    };

    template <class Body>
    static decltype(auto) with_hasher(PyObject* self, bool long_work, Body&& body) {
        const Borrowed borrowed(self);
        return borrowed.compute(long_work, body);
    }

    // Whether hashing `bits` is long enough to let the interpreter lock go.
    static bool long_input(std::uint64_t bits) { return bits >= std::uint64_t{RELEASE_BYTES} * 8; }

    // Whether a variable-time call would build a configurable hasher's wide
    // tables first: up to a second of work, whatever the input.
    static bool builds_wide_tables(PyObject* self) {
        const Hasher& hasher = constructed_hasher(self);
        if constexpr (requires { hasher.wide_fits(); }) {
            return hasher.wide_fits() && hasher.wide_table_bytes() == 0;
        } else {
            return false;
        }
    }

    static PyObject* hash(PyObject* self, PyObject* args, PyObject* kwargs) {
        return guarded([&]() -> PyObject* {
            std::array<Ref, HASH_PARAMETERS.size()> arguments;
            parse_arguments(hash_signature(), args, kwargs, arguments);
            const Borrowed borrowed(self);
            // Read in place: the argument holds the bytes object, which cannot change.
            const std::span<const std::uint8_t> data = extract_bytes(arguments[0].get(), "data");
            const algebra::Bytes32 digest = borrowed.compute(
                data.size() >= RELEASE_BYTES,
                [&](auto& hasher, pedersen::Checkpoint checkpoint) { return hasher.hash(data, checkpoint); });
            return new_bytes(digest);
        });
    }

    static PyObject* hash_bits(PyObject* self, PyObject* args, PyObject* kwargs) {
        return guarded([&]() -> PyObject* {
            std::array<Ref, HASH_BITS_PARAMETERS.size()> arguments;
            parse_arguments({Traits::name, "hash_bits", HASH_BITS_PARAMETERS, 2}, args, kwargs, arguments);
            const BytesLike data = extract_bytes_like(arguments[0].get(), "data");
            const pedersen::BitString bits = bits_of(data.data, extract_u64(arguments[1].get(), "bit_length"));
            const algebra::Bytes32 digest = with_hasher(
                self, long_input(bits.size()),
                [&](auto& hasher, pedersen::Checkpoint checkpoint) { return hasher.hash_bits(bits, checkpoint); });
            return new_bytes(digest);
        });
    }

    static PyObject* hash_vartime(PyObject* self, PyObject* args, PyObject* kwargs) {
        return guarded([&]() -> PyObject* {
            std::array<Ref, HASH_VARTIME_PARAMETERS.size()> arguments;
            parse_arguments({Traits::name, "hash_vartime", HASH_VARTIME_PARAMETERS, 1}, args, kwargs, arguments);
            const BytesLike data = extract_bytes_like(arguments[0].get(), "data");
            const pedersen::BitString bits = bits_of(data.data, optional_bit_length(arguments[1].get()));
            const algebra::Bytes32 digest = with_hasher(self, long_input(bits.size()) || builds_wide_tables(self),
                                                        [&](auto& hasher, pedersen::Checkpoint checkpoint) {
                                                            return hasher.hash_bits_vartime(bits, checkpoint);
                                                        });
            return new_bytes(digest);
        });
    }

    static PyObject* point(PyObject* self, PyObject* args, PyObject* kwargs) {
        return guarded([&]() -> PyObject* {
            std::array<Ref, POINT_PARAMETERS.size()> arguments;
            parse_arguments({Traits::name, "point", POINT_PARAMETERS, 1}, args, kwargs, arguments);
            const BytesLike data = extract_bytes_like(arguments[0].get(), "data");
            const pedersen::BitString bits = bits_of(data.data, optional_bit_length(arguments[1].get()));
            const auto affine = with_hasher(
                self, long_input(bits.size()),
                [&](auto& hasher, pedersen::Checkpoint checkpoint) { return hasher.point(bits, checkpoint); });
            Ref x = new_int(affine.x.into_bigint());
            Ref y = new_int(affine.y.into_bigint());
            PyObject* result = PyTuple_Pack(2, x.get(), y.get());
            if (result == nullptr) propagate_python_error();
            return result;
        });
    }

    // A non-negative int from its limbs, through hex text: the limited API
    // has no call that takes an integer's bytes.
    static Ref new_int(const algebra::BigInt<4>& value) {
        static constexpr char HEX[] = "0123456789abcdef";
        char text[65];
        for (std::size_t i = 0; i < 64; ++i) text[63 - i] = HEX[(value.limbs[i / 16] >> (4 * (i % 16))) & 15];
        text[64] = '\0';
        Ref result(PyLong_FromString(text, nullptr, 16));
        if (!result) propagate_python_error();
        return result;
    }

    static PyObject* get_capacity_bits(PyObject* self, void*) {
        return guarded([&]() -> PyObject* {
            const std::optional<std::uint64_t> bits = constructed_hasher(self).capacity_bits();
            if (!bits) {
                Py_IncRef(Py_None);
                return Py_None;
            }
            PyObject* result = PyLong_FromUnsignedLongLong(*bits);
            if (result == nullptr) propagate_python_error();
            return result;
        });
    }

    static PyObject* get_capacity(PyObject* self, void*) {
        return guarded([&]() -> PyObject* {
            const std::optional<std::uint64_t> bits = constructed_hasher(self).capacity_bits();
            if (!bits) {
                Py_IncRef(Py_None);
                return Py_None;
            }
            PyObject* result = PyLong_FromUnsignedLongLong(*bits / 8);
            if (result == nullptr) propagate_python_error();
            return result;
        });
    }

    static PyObject* hash_many(PyObject* self, PyObject* args, PyObject* kwargs) {
        return guarded([&]() -> PyObject* {
            std::array<Ref, HASH_MANY_PARAMETERS.size()> arguments;
            parse_arguments({Traits::name, "hash_many", HASH_MANY_PARAMETERS, 1}, args, kwargs, arguments);
            const std::optional<std::uint64_t> threads = extract_count(arguments[1].get(), "threads");
            // Checked item by item as they arrive, against the capacity only,
            // which never changes: the hasher is borrowed for the hashing alone.
            pedersen::ManyInputs<Hasher> inputs(constructed_hasher(self), optional_bit_length(arguments[2].get()));
            const bool vartime = extract_flag(arguments[3].get(), "vartime");
            // The items' bytes (bytes objects, which cannot change) are held
            // until the end, so that they stay put whatever happens to the
            // iterable meanwhile.
            std::vector<Ref> held;
            std::uint64_t work = 0;
            const Ref iterator = iterate(arguments[0].get(), "items");
            while (Ref item{PyIter_Next(iterator.get())}) {
                BytesLike bytes = extract_item_bytes_like(item.get(), inputs.size());
                if (auto error = inputs.add(bytes.data)) raise(PyExc_ValueError, *error);
                work += bytes.data.size() + MANY_ITEM_COST;
                held.push_back(std::move(bytes.holder));
            }
            if (PyErr_Occurred() != nullptr) propagate_python_error();

            const std::vector<algebra::Bytes32> digests =
                with_hasher(self, work >= RELEASE_BYTES || (vartime && builds_wide_tables(self)),
                            [&](auto& hasher, pedersen::Checkpoint checkpoint) {
                                return inputs.hash(hasher, threads, checkpoint, vartime);
                            });

            Ref list(PyList_New(static_cast<Py_ssize_t>(digests.size())));
            if (!list) propagate_python_error();
            for (std::size_t i = 0; i < digests.size(); ++i)
                PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), new_bytes(digests[i]));  // steals
            return list.release();
        });
    }

    // One input in pieces, bound to the instance it came from.
    class State final : public IncrementalState {
      public:
        explicit State(const Hasher& hasher) : state_(hasher), unit_(unit_bytes(hasher.segment_bits())) {}

        // The piece and the bytes still buffered from earlier ones are hashed
        // together, once they make whole units.
        void update(PyObject* owner, std::span<const std::uint8_t> data) override {
            with_hasher(
                owner, buffered() + data.size() >= RELEASE_BYTES,
                [&](auto& hasher, pedersen::Checkpoint checkpoint) { state_.update(hasher, data, checkpoint); });
        }
        algebra::Bytes32 digest(PyObject* owner) const override {
            return with_hasher(owner, buffered() >= RELEASE_BYTES, [&](auto& hasher, pedersen::Checkpoint checkpoint) {
                return state_.digest(hasher, checkpoint);
            });
        }
        std::unique_ptr<IncrementalState> clone() const override { return std::make_unique<State>(*this); }
        std::string_view name() const override { return Traits::name; }

      private:
        // The bytes of the shortest run that is whole bytes and whole
        // segments, as pedersen::Incremental buffers them (0: no segment
        // holds a bit, and no byte is ever buffered).
        static std::uint64_t unit_bytes(std::uint64_t segment_bits) {
            return segment_bits / std::gcd(segment_bits, std::uint64_t{8});
        }
        std::uint64_t buffered() const { return unit_ != 0 ? state_.size() % unit_ : 0; }

        pedersen::Incremental<Hasher> state_;
        std::uint64_t unit_;
    };

    static PyObject* incremental(PyObject* self, PyObject* args, PyObject* kwargs) {
        return guarded([&]() -> PyObject* {
            std::array<Ref, INCREMENTAL_PARAMETERS.size()> arguments;
            parse_arguments({Traits::name, "incremental", INCREMENTAL_PARAMETERS, 0}, args, kwargs, arguments);
            auto state = std::make_unique<State>(constructed_hasher(self));
            if (arguments[0]) state->update(self, extract_bytes_like(arguments[0].get(), "data").data);
            return new_incremental_hash(std::move(state), self);
        });
    }

    static PyObject* reduce(PyObject* self, PyObject*) {
        return guarded([&]() -> PyObject* {
            Ref rebuild = rebuild_function();
            Ref name = new_str(Traits::name);
            Ref arguments = Traits::arguments(constructed_hasher(self));
            PyObject* result = Py_BuildValue("(O(OO))", rebuild.get(), name.get(), arguments.get());
            if (result == nullptr) propagate_python_error();
            return result;
        });
    }

    // The module's _rebuild, by which pickles find their way back.
    static Ref rebuild_function() {
        Ref module(PyImport_ImportModule("_tamarind"));
        if (!module) propagate_python_error();
        Ref function(PyObject_GetAttrString(module.get(), "_rebuild"));
        if (!function) propagate_python_error();
        return function;
    }
};

}  // namespace tamarind
