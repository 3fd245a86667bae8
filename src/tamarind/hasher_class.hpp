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

#include <array>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "tamarind/arguments.hpp"
#include "tamarind/borrow.hpp"
#include "tamarind/errors.hpp"
#include "tamarind/python.hpp"
#include "tamarind/signature.hpp"

namespace tamarind {

inline constexpr std::array<std::string_view, 1> HASH_PARAMETERS{"data"};

// Every hash result is this long, whatever the construction.
inline constexpr std::size_t DIGEST_SIZE = 32;

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
            {"hash", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&hash)),
             METH_VARARGS | METH_KEYWORDS, Traits::hash_doc},
            {nullptr, nullptr, 0, nullptr},
        };
        PyType_Slot slots[] = {
            {Py_tp_new, reinterpret_cast<void*>(&tp_new)},
            {Py_tp_dealloc, reinterpret_cast<void*>(&tp_dealloc)},
            {Py_tp_methods, static_cast<void*>(methods)},
            {Py_tp_doc, const_cast<char*>(doc.c_str())},
            {0, nullptr},
        };
        // No Py_TPFLAGS_BASETYPE (final), no GC (instances reference no Python
        // objects), no __dict__ or weak-reference slots; immutable where the
        // running interpreter knows the flag, so `__new__` cannot be replaced.
        const unsigned int flags = Py_TPFLAGS_DEFAULT | immutable_type_flag();
        PyType_Spec type_spec = {qualified_name.c_str(), static_cast<int>(sizeof(Object)), 0, flags, slots};
        PyObject* type = PyType_FromSpec(&type_spec);
        if (type == nullptr) propagate_python_error();
        return type;
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
        const auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        PyObject* self = alloc(type, 0);
        if (self == nullptr) propagate_python_error();  // the hasher is dropped on the way out
        Object* object = as_object(self);
        try {
            ::new (static_cast<void*>(object->storage)) Hasher(std::move(hasher));
        } catch (...) {
            free_object(self);
            throw;
        }
        ::new (static_cast<void*>(&object->borrow)) BorrowFlag();
        object->constructed = true;
        return self;
    }

    // Frees the memory and the reference to the heap type that every
    // instance holds.
    static void free_object(PyObject* self) {
        PyTypeObject* type = Py_TYPE(self);
        const auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
        free(self);
        Py_DecRef(reinterpret_cast<PyObject*>(type));
    }

    static void tp_dealloc(PyObject* self) {
        if (as_object(self)->constructed) {
            assert(as_object(self)->borrow.load() == 0);
            guarded_dealloc(self, [&] { hasher_of(self).~Hasher(); });
            as_object(self)->borrow.~BorrowFlag();
        }
        free_object(self);
    }

    static PyObject* hash(PyObject* self, PyObject* args, PyObject* kwargs) {
        return guarded([&]() -> PyObject* {
            std::array<Ref, HASH_PARAMETERS.size()> arguments;
            parse_arguments(hash_signature(), args, kwargs, arguments);
            Hasher& hasher = constructed_hasher(self);
            // Held until the result exists, whichever way this returns.
            const auto borrow = BorrowGuard::acquire(as_object(self)->borrow, Traits::borrow);
            if (!borrow) raise(PyExc_RuntimeError, borrow_conflict_message(Traits::borrow));

            const std::span<const std::uint8_t> data = extract_bytes(arguments[0].get(), "data");
            const std::array<std::uint8_t, DIGEST_SIZE> bytes = [&] {
                // Shared borrows only ever reach the hasher through const.
                if constexpr (Traits::borrow == BorrowKind::Shared) {
                    return std::as_const(hasher).hash(data);
                } else {
                    return hasher.hash(data);
                }
            }();
            const auto* first = reinterpret_cast<const char*>(bytes.data());
            PyObject* result = PyBytes_FromStringAndSize(first, static_cast<Py_ssize_t>(bytes.size()));
            if (result == nullptr) propagate_python_error();
            return result;
        });
    }
};

}  // namespace tamarind
