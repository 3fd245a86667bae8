#include "tamarind/incremental_class.hpp"

#include <array>
#include <new>
#include <string>
#include <utility>

#include "tamarind/arguments.hpp"
#include "tamarind/borrow.hpp"
#include "tamarind/errors.hpp"
#include "tamarind/signature.hpp"

namespace tamarind {

namespace {

constexpr std::string_view NAME = "IncrementalHash";
constexpr std::array<std::string_view, 1> UPDATE_PARAMETERS{"data"};

// Invariant: state, owner and borrow are live from creation to dealloc.
// Instances hold one Python reference (to a hasher instance, which holds
// none), so they cannot be part of a cycle and need no GC support. The
// borrow keeps code that runs inside a call (a signal handler, another
// thread while the handler runs) from changing the state under the call.
struct Object {
    PyObject header;
    IncrementalState* state;
    PyObject* owner;
    BorrowFlag borrow;
    bool constructed;  // set once borrow is constructed
};

PyObject* type_ = nullptr;  // guarded by the interpreter lock

Object* as_object(PyObject* self) { return reinterpret_cast<Object*>(self); }

// Held for the call: exclusive to change the state, shared to read it.
BorrowGuard borrow_state(PyObject* self, BorrowKind kind) {
    auto guard = BorrowGuard::acquire(as_object(self)->borrow, kind);
    if (!guard) raise(PyExc_RuntimeError, borrow_conflict_message(kind));
    return std::move(*guard);
}

PyObject* bytes_of(const std::array<std::uint8_t, 32>& digest) {
    PyObject* result =
        PyBytes_FromStringAndSize(reinterpret_cast<const char*>(digest.data()), static_cast<Py_ssize_t>(digest.size()));
    if (result == nullptr) propagate_python_error();
    return result;
}

PyObject* update(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        std::array<Ref, 1> arguments;
        parse_arguments({NAME, "update", UPDATE_PARAMETERS, 1}, args, kwargs, arguments);
        const BytesLike data = extract_bytes_like(arguments[0].get(), "data");
        const BorrowGuard borrow = borrow_state(self, BorrowKind::Exclusive);
        as_object(self)->state->update(as_object(self)->owner, data.data);
        Py_IncRef(Py_None);
        return Py_None;
    });
}

PyObject* digest(PyObject* self, PyObject*) {
    return guarded([&] {
        const BorrowGuard borrow = borrow_state(self, BorrowKind::Shared);
        return bytes_of(as_object(self)->state->digest(as_object(self)->owner));
    });
}

PyObject* hexdigest(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const BorrowGuard borrow = borrow_state(self, BorrowKind::Shared);
        const std::array<std::uint8_t, 32> digest = as_object(self)->state->digest(as_object(self)->owner);
        static constexpr char HEX[] = "0123456789abcdef";
        std::string text;
        for (const std::uint8_t byte : digest) {
            text += HEX[byte >> 4];
            text += HEX[byte & 15];
        }
        return new_str(text).release();
    });
}

PyObject* copy(PyObject* self, PyObject*) {
    return guarded([&] {
        const BorrowGuard borrow = borrow_state(self, BorrowKind::Shared);
        return new_incremental_hash(as_object(self)->state->clone(), as_object(self)->owner);
    });
}

// copy.deepcopy passes a memo; a copy shares nothing mutable with its source
// but the hasher, which is shared as copy() does.
PyObject* deep_copy(PyObject* self, PyObject*) { return copy(self, nullptr); }

PyObject* get_name(PyObject* self, void*) {
    return guarded([&] { return new_str(as_object(self)->state->name()).release(); });
}

PyObject* get_digest_size(PyObject*, void*) { return PyLong_FromLong(32); }

PyObject* tp_new(PyTypeObject*, PyObject*, PyObject*) {
    return guarded([]() -> PyObject* {
        raise(PyExc_TypeError, "cannot create 'IncrementalHash' instances; use the incremental() method of a hasher");
    });
}

void tp_dealloc(PyObject* self) {
    Object* object = as_object(self);
    guarded_dealloc(self, [&] { delete std::exchange(object->state, nullptr); });
    Py_DecRef(std::exchange(object->owner, nullptr));
    if (object->constructed) object->borrow.~BorrowFlag();
    PyTypeObject* type = Py_TYPE(self);
    const auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free(self);
    Py_DecRef(reinterpret_cast<PyObject*>(type));
}

PyObject* create_type() {
    static PyMethodDef methods[] = {
        {"update", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&update)), METH_VARARGS | METH_KEYWORDS,
         "update($self, data)\n--\n\nFeed `data` (any bytes-like object), the next piece of the input."},
        {"digest", &digest, METH_NOARGS,
         "digest($self, /)\n--\n\nThe hash of the pieces fed so far, as the hasher's hash() of them joined."},
        {"hexdigest", &hexdigest, METH_NOARGS, "hexdigest($self, /)\n--\n\nThe digest as 64 lowercase hex digits."},
        {"copy", &copy, METH_NOARGS,
         "copy($self, /)\n--\n\nAn independent copy of this state, bound to the same hasher."},
        {"__copy__", &copy, METH_NOARGS, nullptr},
        {"__deepcopy__", &deep_copy, METH_O, nullptr},
        {nullptr, nullptr, 0, nullptr},
    };
    static PyGetSetDef getset[] = {
        {"name", &get_name, nullptr, "The name of the hasher class.", nullptr},
        {"digest_size", &get_digest_size, nullptr, "The size of a digest in bytes: 32.", nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static const char doc[] =
        "One input fed in pieces to a hasher, made by its incremental() method.\n"
        "\n"
        "update() any number of times, then digest() or hexdigest(); the digest\n"
        "equals the hasher's hash() of the pieces joined. Memory does not grow\n"
        "with the input. Calls borrow the hasher as hash() does.";
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(&tp_new)}, {Py_tp_dealloc, reinterpret_cast<void*>(&tp_dealloc)},
        {Py_tp_methods, static_cast<void*>(methods)},  {Py_tp_getset, static_cast<void*>(getset)},
        {Py_tp_doc, const_cast<char*>(doc)},           {0, nullptr},
    };
    PyType_Spec type_spec = {"_tamarind.IncrementalHash", static_cast<int>(sizeof(Object)), 0,
                             Py_TPFLAGS_DEFAULT | immutable_type_flag(), slots};
    PyObject* type = PyType_FromSpec(&type_spec);
    if (type == nullptr) propagate_python_error();
    return type;
}

}  // namespace

PyObject* incremental_hash_type() {
    if (type_ == nullptr) type_ = create_type();
    return type_;
}

void forget_incremental_hash_type() noexcept { type_ = nullptr; }

PyObject* new_incremental_hash(std::unique_ptr<IncrementalState> state, PyObject* owner) {
    auto* type = reinterpret_cast<PyTypeObject*>(incremental_hash_type());
    const auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) propagate_python_error();
    ::new (static_cast<void*>(&as_object(self)->borrow)) BorrowFlag();
    as_object(self)->constructed = true;
    as_object(self)->state = state.release();
    Py_IncRef(owner);
    as_object(self)->owner = owner;
    return self;
}

}  // namespace tamarind
