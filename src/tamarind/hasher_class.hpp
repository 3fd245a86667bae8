#pragma once
// One Python class around one hasher type: a heap type whose instances hold
// the hasher value and a borrow counter, with a constructor and `hash`.
// Everything that differs between the classes comes from a traits type:
//
//   using Hasher;                                   the value each instance holds
//   static constexpr std::string_view name;         the class name
//   static constexpr std::string_view signature;    the constructor's text signature
//   static constexpr std::string_view doc;          the class doc
//   static constexpr const char* hash_doc;          the doc of `hash`, signature included
//   static constexpr std::array<std::string_view, N> parameters;
//   static constexpr std::size_t required;          leading parameters without default
//   static constexpr BorrowKind borrow;             how `hash` borrows the hasher
//   static Hasher construct(std::span<const Ref>);  converts the arguments, builds
//   static Ref arguments(const Hasher&);            the constructor arguments, as a tuple
//
// Besides `hash`, every class has `hash_many` (many inputs on native threads),
// `incremental` (one input in pieces) and `__reduce__` (pickling by the
// constructor arguments). Long calls check for signals between slices of
// work, so Ctrl-C interrupts them within milliseconds.

#include <algorithm>
#include <array>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "algebra/encoding.hpp"
#include "fault/fault.hpp"
#include "pedersen/incremental.hpp"
#include "pedersen/many.hpp"
#include "tamarind/arguments.hpp"
#include "tamarind/borrow.hpp"
#include "tamarind/errors.hpp"
#include "tamarind/heap_type.hpp"
#include "tamarind/incremental_class.hpp"
#include "tamarind/python.hpp"
#include "tamarind/results.hpp"
#include "tamarind/signature.hpp"

namespace tamarind {

inline constexpr std::array<std::string_view, 1> HASH_PARAMETERS{"data"};
inline constexpr std::array<std::string_view, 2> HASH_MANY_PARAMETERS{"items", "threads"};
inline constexpr std::array<std::string_view, 1> INCREMENTAL_PARAMETERS{"data"};

inline constexpr const char* HASH_MANY_DOC =
    "hash_many($self, items, threads=None)\n--\n\n"
    "Hash every bytes object of the iterable `items`, returning the list of\n"
    "digests: the same as [self.hash(x) for x in items], computed on `threads`\n"
    "native threads (default: the usable CPUs; 1 runs on the calling thread).\n"
    "A bad item raises what hash() would, naming its index; nothing is returned then.";
inline constexpr const char* INCREMENTAL_DOC =
    "incremental($self, data=b'')\n--\n\n"
    "A new IncrementalHash over this hasher: feed it pieces with update(), then\n"
    "read digest(), equal to self.hash() of the pieces joined.";
inline constexpr const char* REDUCE_DOC = "__reduce__($self, /)\n--\n\nPickled by its constructor arguments.";

// Turns a pending signal into the exception its handler raises; run between
// slices of long work on the calling thread. Cheap when none is pending.
struct SignalCheck {
    void operator()() const {
        if (PyErr_CheckSignals() != 0) propagate_python_error();
    }
};

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

    // Instance layout: object header, hasher, borrow counter, construction flag.
    // Invariant: when `constructed` is set, `storage` holds a live Hasher and
    // `borrow` a live counter, from the end of tp_new until tp_dealloc; the
    // counter is 0 whenever no call is running. Memory from tp_alloc arrives
    // zeroed, so an instance made by any other `__new__` (replacing it is
    // possible where the type cannot be made immutable) reads as unconstructed.
    struct Object {
        PyObject header;
        alignas(Hasher) std::byte storage[sizeof(Hasher)];
        BorrowFlag borrow;
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

    static PyObject* create_type() {
        // The interpreter keeps pointers to the name (as tp_name) and to the
        // methods, so both live as long as the process.
        static const std::string qualified_name = "builtins." + std::string(Traits::name);
        // "Name(signature)\n--\n\n" ahead of the doc lets the interpreter split
        // it into __text_signature__ and __doc__ itself.
        static const std::string doc =
            std::string(Traits::name) + std::string(Traits::signature) + "\n--\n\n" + std::string(Traits::doc);
        static PyMethodDef methods[] = {
            {"hash", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&hash)), METH_VARARGS | METH_KEYWORDS,
             Traits::hash_doc},
            {"hash_many", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&hash_many)),
             METH_VARARGS | METH_KEYWORDS, HASH_MANY_DOC},
            {"incremental", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&incremental)),
             METH_VARARGS | METH_KEYWORDS, INCREMENTAL_DOC},
            {"__reduce__", &reduce, METH_NOARGS, REDUCE_DOC},
            {nullptr, nullptr, 0, nullptr},
        };
        // Instances reference no Python objects; no __dict__ or weak-reference slots.
        return new_heap_type(qualified_name.c_str(), sizeof(Object),
                             {
                                 {Py_tp_new, reinterpret_cast<void*>(&tp_new)},
                                 {Py_tp_dealloc, reinterpret_cast<void*>(&tp_dealloc)},
                                 {Py_tp_methods, static_cast<void*>(methods)},
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
        ::new (static_cast<void*>(&object->borrow)) BorrowFlag();
        object->constructed = true;
        return self;
    }

    static void tp_dealloc(PyObject* self) {
        if (as_object(self)->constructed) {
            assert(as_object(self)->borrow.load() == 0);
            hasher_of(self).~Hasher();  // noexcept, as every destructor
            as_object(self)->borrow.~BorrowFlag();
        }
        free_instance(self);
    }

    // Runs `body` on the hasher of `self` under its borrow, passing it as
    // const for a shared borrow: shared borrows only ever reach it so.
    template <class Body>
    static decltype(auto) with_hasher(PyObject* self, Body&& body) {
        Hasher& hasher = constructed_hasher(self);
        // Held until the body is done, whichever way it ends.
        const auto borrow = BorrowGuard::acquire(as_object(self)->borrow, Traits::borrow);
        if (!borrow) raise(PyExc_RuntimeError, borrow_conflict_message(Traits::borrow));
        if constexpr (Traits::borrow == BorrowKind::Shared) {
            return body(std::as_const(hasher));
        } else {
            return body(hasher);
        }
    }

    static PyObject* hash(PyObject* self, PyObject* args, PyObject* kwargs) {
        return guarded([&]() -> PyObject* {
            std::array<Ref, HASH_PARAMETERS.size()> arguments;
            parse_arguments(hash_signature(), args, kwargs, arguments);
            return with_hasher(self, [&](auto& hasher) {
                const std::span<const std::uint8_t> data = extract_bytes(arguments[0].get(), "data");
                SignalCheck check;
                return new_bytes(hasher.hash(data, pedersen::Checkpoint(check)));
            });
        });
    }

    static PyObject* hash_many(PyObject* self, PyObject* args, PyObject* kwargs) {
        return guarded([&]() -> PyObject* {
            std::array<Ref, HASH_MANY_PARAMETERS.size()> arguments;
            parse_arguments({Traits::name, "hash_many", HASH_MANY_PARAMETERS, 1}, args, kwargs, arguments);
            const std::uint64_t threads =
                extract_count(arguments[1].get(), "threads").value_or(pedersen::usable_cpus());
            // The items are held until the end, so that their bytes stay put.
            std::vector<Ref> held;
            std::vector<std::span<const std::uint8_t>> items;
            const Ref iterator = iterate(arguments[0].get(), "items");
            while (Ref item{PyIter_Next(iterator.get())}) {
                items.push_back(extract_item_bytes(item.get(), items.size()));
                held.push_back(std::move(item));
            }
            if (PyErr_Occurred() != nullptr) propagate_python_error();

            std::vector<algebra::Bytes32> digests(items.size());
            with_hasher(self, [&](auto& hasher) {
                std::uint64_t longest = 0;
                for (std::size_t i = 0; i < items.size(); ++i) {
                    try {
                        hasher.check_capacity(items[i].size());
                    } catch (const fault::Fault& fault) {
                        fault::raise("item " + std::to_string(i) + ": " + fault.what());
                    }
                    longest = std::max<std::uint64_t>(longest, items[i].size());
                }
                SignalCheck check;
                const pedersen::Checkpoint checkpoint(check);
                hasher.prepare(0, longest, checkpoint);  // grows once, for every item
                const auto size = static_cast<unsigned>(std::min<std::uint64_t>(threads, 1u << 16));
                pedersen::hash_many(std::as_const(hasher), std::span<const std::span<const std::uint8_t>>(items),
                                    std::span<algebra::Bytes32>(digests), {size, checkpoint});
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
        explicit State(const Hasher& hasher) : state_(hasher) {}

        void update(PyObject* owner, std::span<const std::uint8_t> data) override {
            with_hasher(owner, [&](auto& hasher) {
                SignalCheck check;
                state_.update(hasher, data, pedersen::Checkpoint(check));
            });
        }
        algebra::Bytes32 digest(PyObject* owner) const override {
            return with_hasher(owner, [&](auto& hasher) {
                SignalCheck check;
                return state_.digest(hasher, pedersen::Checkpoint(check));
            });
        }
        std::unique_ptr<IncrementalState> clone() const override { return std::make_unique<State>(*this); }
        std::string_view name() const override { return Traits::name; }

      private:
        pedersen::Incremental<Hasher> state_;
    };

    static PyObject* incremental(PyObject* self, PyObject* args, PyObject* kwargs) {
        return guarded([&]() -> PyObject* {
            std::array<Ref, INCREMENTAL_PARAMETERS.size()> arguments;
            parse_arguments({Traits::name, "incremental", INCREMENTAL_PARAMETERS, 0}, args, kwargs, arguments);
            auto state = std::make_unique<State>(constructed_hasher(self));
            if (arguments[0]) state->update(self, extract_bytes(arguments[0].get(), "data"));
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
