#include "tamarind/arguments.hpp"

#include <cassert>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tamarind/compatibility.hpp"
#include "tamarind/errors.hpp"

namespace tamarind {

namespace {

[[noreturn]] void raise_type_error(const std::string& message) { raise(PyExc_TypeError, message); }

// str(value) as UTF-8, for naming a keyword in a message.
std::string text_of(PyObject* value) {
    Ref text(PyObject_Str(value));
    if (!text) propagate_python_error();
    return utf8(text.get());
}

// The pending conversion error, relabelled with the parameter when it is a
// TypeError (exactly: subclasses say something more specific and are kept).
// The cause of the original error carries over to its replacement.
[[noreturn]] void relabel_conversion_error(std::string_view parameter) {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type != PyExc_TypeError) {
        PyErr_Restore(type, value, traceback);
        propagate_python_error();
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref original_type(type);
    Ref original(value);
    Ref original_traceback(traceback);

    const std::string message = messages::labelled(parameter, text_of(original.get()));
    Ref text = new_str(message);
    Ref relabelled(PyObject_CallFunctionObjArgs(PyExc_TypeError, text.get(), nullptr));
    if (!relabelled) propagate_python_error();
    // PyException_GetCause returns a new reference; SetCause steals one.
    PyException_SetCause(relabelled.get(), PyException_GetCause(original.get()));
    Py_IncRef(PyExc_TypeError);
    PyErr_Restore(PyExc_TypeError, relabelled.release(), nullptr);
    propagate_python_error();
}

// The qualified name of the type of `value`, or a placeholder if it cannot be
// read (a metaclass may make that fail, or return something other than a str).
std::string type_name_of(PyObject* value) {
    Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__qualname__"));
    if (!name || !PyUnicode_Check(name.get())) {
        PyErr_Clear();
        return std::string(UNKNOWN_TYPE_NAME);
    }
    try {
        return utf8(name.get());
    } catch (const PythonError&) {
        PyErr_Clear();
        return std::string(UNKNOWN_TYPE_NAME);
    }
}

}  // namespace

void parse_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, std::span<Ref> out) {
    assert(out.size() == signature.parameters.size());
    assert(signature.required <= signature.parameters.size());

    const Py_ssize_t given = PyTuple_Size(args);
    if (given < 0) propagate_python_error();
    const auto positional = static_cast<std::size_t>(given);
    if (positional > signature.parameters.size()) {
        raise_type_error(messages::too_many_positional(signature, positional));
    }
    for (std::size_t i = 0; i < positional; ++i) {
        out[i] = Ref::borrowed(PyTuple_GetItem(args, static_cast<Py_ssize_t>(i)));
    }

    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            // Keywords of a call are str; anything else can match no parameter.
            const bool is_str = PyUnicode_Check(key);
            const std::string keyword = is_str ? utf8(key) : text_of(key);
            std::size_t index = 0;
            while (index < signature.parameters.size() && !(is_str && keyword == signature.parameters[index])) {
                ++index;
            }
            if (index == signature.parameters.size()) {
                raise_type_error(messages::unexpected_keyword(signature, keyword));
            }
            if (out[index]) {
                raise_type_error(messages::multiple_values(signature, signature.parameters[index]));
            }
            // An own reference: converting one argument may run Python code
            // that changes the keyword dict and drops the others.
            out[index] = Ref::borrowed(value);
        }
    }

    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < signature.required; ++i) {
        if (!out[i]) missing.push_back(signature.parameters[i]);
    }
    if (!missing.empty()) raise_type_error(messages::missing_required(signature, missing));
}

std::uint64_t extract_u64(PyObject* value, std::string_view parameter) {
    Ref integer = PyLong_Check(value) ? Ref::borrowed(value) : Ref(PyNumber_Index(value));
    if (!integer) relabel_conversion_error(parameter);
    const unsigned long long result = PyLong_AsUnsignedLongLong(integer.get());
    if (result == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
        relabel_conversion_error(parameter);
    }
    return result;
}

std::span<const std::uint8_t> extract_bytes(PyObject* value, std::string_view parameter) {
    if (!PyBytes_Check(value)) {
        raise_type_error(messages::labelled(parameter, messages::cannot_convert(type_name_of(value), "PyBytes")));
    }
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(value, &data, &size) != 0) propagate_python_error();
    return {reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size)};
}

namespace {

// A copy through a memoryview; null with a TypeError kept pending when
// `value` has no buffer protocol, any other error propagated.
Ref copy_through_memoryview(PyObject* value) {
    Ref view(PyMemoryView_FromObject(value));
    if (!view) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) propagate_python_error();
        PyErr_Clear();
        return Ref();
    }
    Ref copy(PyObject_CallMethod(view.get(), "tobytes", nullptr));
    if (!copy) propagate_python_error();
    if (!PyBytes_Check(copy.get())) raise_type_error("memoryview.tobytes() did not return bytes");
    return copy;
}

std::string not_bytes_like(PyObject* value) { return messages::not_bytes_like(type_name_of(value)); }

BytesLike read_bytes_like(Ref holder) {
    const std::span<const std::uint8_t> data = extract_bytes(holder.get(), "");
    return {std::move(holder), data};
}

}  // namespace

BytesLike extract_bytes_like(PyObject* value, std::string_view parameter) {
    if (PyBytes_Check(value)) return read_bytes_like(Ref::borrowed(value));
    Ref copy = copy_through_memoryview(value);
    if (!copy) raise_type_error(messages::labelled(parameter, not_bytes_like(value)));
    return read_bytes_like(std::move(copy));
}

BytesLike extract_item_bytes_like(PyObject* value, std::size_t index) {
    if (PyBytes_Check(value)) return read_bytes_like(Ref::borrowed(value));
    Ref copy = copy_through_memoryview(value);
    if (!copy) raise_type_error("item " + std::to_string(index) + ": " + not_bytes_like(value));
    return read_bytes_like(std::move(copy));
}

Ref iterate(PyObject* value, std::string_view parameter) {
    Ref iterator(PyObject_GetIter(value));
    if (!iterator) relabel_conversion_error(parameter);
    return iterator;
}

std::optional<std::uint64_t> extract_count(PyObject* value, std::string_view parameter) {
    if (value == nullptr || value == Py_None) return std::nullopt;
    Ref integer = PyLong_Check(value) ? Ref::borrowed(value) : Ref(PyNumber_Index(value));
    if (!integer) relabel_conversion_error(parameter);
    int overflow = 0;
    const long long result = PyLong_AsLongLongAndOverflow(integer.get(), &overflow);
    if (result == -1 && PyErr_Occurred() != nullptr) propagate_python_error();
    if (overflow < 0 || (overflow == 0 && result < 1)) {
        raise(PyExc_ValueError, std::string(parameter) + " must be at least 1, not " + text_of(integer.get()));
    }
    // From 2^64 on, the interpreter's OverflowError, as for every other count.
    return extract_u64(integer.get(), parameter);
}

bool extract_flag(PyObject* value, std::string_view parameter) {
    if (value == nullptr) return false;
    if (value != Py_True && value != Py_False)
        raise_type_error(std::string(parameter) + " must be True or False, not '" + type_name_of(value) + "'");
    return value == Py_True;
}

}  // namespace tamarind
