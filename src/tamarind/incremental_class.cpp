#include "tamarind/incremental_class.hpp"

#include <array>
#include <new>
#include <string>
#include <utility>

#include "tamarind/arguments.hpp"
#include "tamarind/borrow.hpp"
#include "tamarind/compatibility.hpp"
#include "tamarind/errors.hpp"
#include "tamarind/gil.hpp"
#include "tamarind/heap_type.hpp"
#include "tamarind/results.hpp"
#include "tamarind/signature.hpp"

namespace tamarind {

namespace {

constexpr std::string_view NAME = "IncrementalHash";
constexpr std::array<std::string_view, 1> UPDATE_PARAMETERS{"data"};

// Invariant: state, owner and lock are live from creation to dealloc.
// Instances hold one Python reference (to a hasher instance, which holds
// none), so they cannot be part of a cycle and need no GC support. The lock
// keeps other threads' calls waiting while one runs (it may run without the
// interpreter lock), and refuses a call from code that runs during one on
// its own thread (a signal handler).
struct Object {
    PyObject header;
    IncrementalState* state;
    PyObject* owner;
    StateLock lock;
    bool constructed;  // set once lock is constructed
};

PyObject* type_ = nullptr;  // guarded by the interpreter lock

Object* as_object(PyObject* self) { return reinterpret_cast<Object*>(self); }

// Held for the call: exclusive to change the state, shared to read it.
// Another thread's call is waited for without the interpreter lock.
StateBorrow borrow_state(PyObject* self, BorrowKind kind) {
    return StateBorrow(as_object(self)->lock, kind, gil::wait_for_state,
                       [](BorrowKind refused) { raise(PyExc_RuntimeError, borrow_conflict_message(refused)); });
}

PyObject* update(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        std::array<Ref, 1> arguments;
        parse_arguments({NAME, "update", UPDATE_PARAMETERS, 1}, args, kwargs, arguments);
        const BytesLike data = extract_bytes_like(arguments[0].get(), "data");
        const StateBorrow borrow = borrow_state(self, BorrowKind::Exclusive);
        as_object(self)->state->update(as_object(self)->owner, data.data);
        Py_IncRef(Py_None);
        return Py_None;
    });
}

PyObject* digest(PyObject* self, PyObject*) {
    return guarded([&] {
        const StateBorrow borrow = borrow_state(self, BorrowKind::Shared);
        return new_bytes(as_object(self)->state->digest(as_object(self)->owner));
    });
}

PyObject* hexdigest(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const StateBorrow borrow = borrow_state(self, BorrowKind::Shared);
        const algebra::Bytes32 digest = as_object(self)->state->digest(as_object(self)->owner);
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
        const StateBorrow borrow = borrow_state(self, BorrowKind::Shared);
        return new_incremental_hash(as_object(self)->state->clone(), as_object(self)->owner);
    });
}

// copy.deepcopy passes a memo; a copy shares nothing mutable with its source
// but the hasher, which is shared as copy() does.
PyObject* deep_copy(PyObject* self, PyObject*) { return copy(self, nullptr); }

PyObject* get_name(PyObject* self, void*) {
    return guarded([&] { return new_str(as_object(self)->state->name()).release(); });
}

PyObject* get_digest_size(PyObject*, void*) { return PyLong_FromSize_t(DIGEST_SIZE); }

PyObject* tp_new(PyTypeObject*, PyObject*, PyObject*) {
    return guarded([]() -> PyObject* {
        raise(PyExc_TypeError, "cannot create 'IncrementalHash' instances; use the incremental() method of a hasher");
    });
}

void tp_dealloc(PyObject* self) {
    Object* object = as_object(self);
    delete std::exchange(object->state, nullptr);  // wipes the buffered input
    Py_DecRef(std::exchange(object->owner, nullptr));
    if (object->constructed) object->lock.~StateLock();
    free_instance(self);
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
        "with the input. Calls use the hasher as hash() does. A call from another\n"
        "thread while one runs waits for it.";
    return new_heap_type("_tamarind.IncrementalHash", sizeof(Object),
                         {
                             {Py_tp_new, reinterpret_cast<void*>(&tp_new)},
                             {Py_tp_dealloc, reinterpret_cast<void*>(&tp_dealloc)},
                             {Py_tp_methods, static_cast<void*>(methods)},
                             {Py_tp_getset, static_cast<void*>(getset)},
                             {Py_tp_doc, const_cast<char*>(doc)},
                         });
}

}  // namespace

PyObject* incremental_hash_type() {
    if (type_ == nullptr) type_ = create_type();
    return type_;
}

void forget_incremental_hash_type() noexcept { type_ = nullptr; }

PyObject* new_incremental_hash(std::unique_ptr<IncrementalState> state, PyObject* owner) {
    PyObject* self = allocate_instance(reinterpret_cast<PyTypeObject*>(incremental_hash_type()));
    ::new (static_cast<void*>(&as_object(self)->lock)) StateLock();
    as_object(self)->constructed = true;
    as_object(self)->state = state.release();
    Py_IncRef(owner);
    as_object(self)->owner = owner;
    return self;
}

}  // namespace tamarind
