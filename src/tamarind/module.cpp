// The module entry: creates `_tamarind` once per interpreter lifetime and
// registers the hasher classes on it. A program that embeds Python may
// finalize the interpreter and initialize a new one; the objects of the first
// then belong to no interpreter, so finalization makes the module forget them
// and the next import creates everything afresh.

#include <atomic>
#include <cstdlib>
#include <cstdint>
#include <string>
#include <string_view>

#include "pedersen/lanes.hpp"
#include "tamarind/cache_functions.hpp"
#include "tamarind/classes.hpp"
#include "tamarind/errors.hpp"
#include "tamarind/gil.hpp"
#include "tamarind/incremental_class.hpp"
#include "tamarind/python.hpp"
#include "tamarind/sapling_functions.hpp"
#include "tamarind/sapling_tree.hpp"

namespace tamarind {

namespace {

PyObject* rebuild(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject* name = nullptr;
        PyObject* arguments = nullptr;
        if (!PyArg_UnpackTuple(args, "_rebuild", 2, 2, &name, &arguments)) propagate_python_error();
        PyObject* result = rebuild_hasher(name, arguments);
        if (result == nullptr) propagate_python_error();
        return result;
    });
}

// The type of internal faults, for the package and the tests: it is not an
// attribute of the module, and provoking a fault to catch it would write a
// report to stderr.
PyObject* panic_exception(PyObject*, PyObject*) {
    return guarded([]() -> PyObject* {
        PyObject* type = panic_exception_type();
        if (type == nullptr) propagate_python_error();
        Py_IncRef(type);
        return type;
    });
}

constexpr const char* LANE_KERNEL_DOC =
    "lane_kernel()\n--\n\n"
    "The kernel that runs variable-time batches (hash_many with vartime=True,\n"
    "the Sapling trees and roots): \"avx512ifma\" when eight hashes run at once\n"
    "on AVX-512 IFMA, \"scalar\" otherwise (a processor or system without it,\n"
    "or TAMARIND_LANES=0 in the environment at import). Digests never depend\n"
    "on it.";

PyObject* lane_kernel(PyObject*, PyObject*) {
    return guarded([]() -> PyObject* {
        return new_str(pedersen::lane_kernel() == pedersen::LaneKernel::Ifma ? "avx512ifma" : "scalar").release();
    });
}

// Pickles of the hasher classes name _rebuild: the classes themselves live
// under "builtins", where pickle cannot find them.
PyMethodDef module_functions[] = {
    {"_rebuild", &rebuild, METH_VARARGS,
     "_rebuild(name, arguments, /)\n--\n\nThe hasher class `name` called with the tuple `arguments` (unpickling)."},
    {"_panic_exception", &panic_exception, METH_NOARGS,
     "_panic_exception()\n--\n\nThe exception type raised for internal faults (pyo3_runtime.PanicException); the "
     "same object on every call."},
    {"_sapling_note_commitment", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&sapling_note_commitment)),
     METH_VARARGS | METH_KEYWORDS, SAPLING_NOTE_COMMITMENT_DOC},
#define TAMARIND_KEYWORDS(f) \
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&f)), METH_VARARGS | METH_KEYWORDS
    {"_sapling_merkle_root", TAMARIND_KEYWORDS(sapling_merkle_root), SAPLING_MERKLE_ROOT_DOC},
    {"_sapling_merkle_path", TAMARIND_KEYWORDS(sapling_merkle_path), SAPLING_MERKLE_PATH_DOC},
    {"_sapling_merkle_hash", TAMARIND_KEYWORDS(sapling_merkle_hash), SAPLING_MERKLE_HASH_DOC},
    {"_sapling_verify_path", TAMARIND_KEYWORDS(sapling_verify_path), SAPLING_VERIFY_PATH_DOC},
    {"_sapling_encode_path", TAMARIND_KEYWORDS(sapling_encode_path), SAPLING_ENCODE_PATH_DOC},
#undef TAMARIND_KEYWORDS
    {"_sapling_decode_path", &sapling_decode_path, METH_O, SAPLING_DECODE_PATH_DOC},
    {"_sapling_empty_roots", &sapling_empty_roots, METH_NOARGS, SAPLING_EMPTY_ROOTS_DOC},
    {"lane_kernel", &lane_kernel, METH_NOARGS, LANE_KERNEL_DOC},
    {"table_cache_info", &table_cache_info, METH_NOARGS, TABLE_CACHE_INFO_DOC},
    {"set_table_cache_limit", &set_table_cache_limit, METH_O, SET_TABLE_CACHE_LIMIT_DOC},
    {nullptr, nullptr, 0, nullptr},
};

// No per-module state, single-phase initialisation.
PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_tamarind",       // m_name
    "",                // m_doc
    0,                 // m_size
    module_functions,  // m_methods
    nullptr,           // m_slots
    nullptr,           // m_traverse
    nullptr,           // m_clear
    nullptr,           // m_free
};

// The interpreter that imported the module first; -1 until then. The type
// objects are shared by the whole interpreter lifetime, so no other
// interpreter may use them.
std::atomic<std::int64_t> owner_interpreter{-1};

// The module object, created once per interpreter lifetime and never freed,
// so that every import yields the same object.
PyObject* module_object = nullptr;

// Whether forget_interpreter is registered to run at this lifetime's end.
bool forgetting_registered = false;

// Run by Py_FinalizeEx after the interpreter is gone, so it may only drop
// pointers: the objects themselves went with the interpreter's memory.
void forget_interpreter() {
    forgetting_registered = false;
    module_object = nullptr;
    for (const RegisteredClass& entry : registered_classes()) entry.forget_type();
    forget_incremental_hash_type();
    forget_sapling_tree_types();
    forget_panic_exception_type();
    gil::forget_main_thread();
    owner_interpreter.store(-1);
}

void claim_interpreter() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) propagate_python_error();
    std::int64_t owner = -1;
    if (!owner_interpreter.compare_exchange_strong(owner, id) && owner != id) {
        raise(PyExc_ImportError,
              "_tamarind does not support sub-interpreters yet: it can only be imported by the interpreter "
              "that imported it first; see the tamarind issue tracker");
    }
}

void add_to_all(PyObject* module, std::string_view name) {
    Ref all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) propagate_python_error();
        PyErr_Clear();
        all = Ref(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) propagate_python_error();
    }
    Ref text = new_str(name);
    if (PyList_Append(all.get(), text.get()) != 0) propagate_python_error();
}

PyObject* create_module() {
    claim_interpreter();
    if (module_object != nullptr) {
        Py_IncRef(module_object);
        return module_object;
    }

    // Once per lifetime: the interpreter empties its list of exit functions
    // as it runs them.
    if (!forgetting_registered) {
        if (Py_AtExit(forget_interpreter) != 0) {
            raise(PyExc_ImportError, "_tamarind cannot register its finalization hook: too many exit functions");
        }
        forgetting_registered = true;
    }
    // The one variable the module reads, once per import: TAMARIND_LANES=0
    // keeps variable-time batches on the scalar kernel (for comparisons).
    if (const char* lanes = std::getenv("TAMARIND_LANES"); lanes != nullptr && std::string_view(lanes) == "0")
        pedersen::set_lane_kernel(pedersen::LaneKernel::Scalar);
    Ref module(PyModule_Create2(&module_definition, PYTHON_ABI_VERSION));
    if (!module) propagate_python_error();
    for (const RegisteredClass& entry : registered_classes()) {
        PyObject* type = entry.type_object();
        add_to_all(module.get(), entry.name);
        const std::string name(entry.name);
        if (PyObject_SetAttrString(module.get(), name.c_str(), type) != 0) propagate_python_error();
    }
    // Made by the hashers' incremental(), exposed for isinstance and typing
    // but not part of __all__.
    if (PyObject_SetAttrString(module.get(), "IncrementalHash", incremental_hash_type()) != 0) propagate_python_error();
    // tamarind.sapling's classes, named for it (so that pickle finds them there).
    if (PyObject_SetAttrString(module.get(), "CommitmentTree", commitment_tree_type()) != 0 ||
        PyObject_SetAttrString(module.get(), "IncrementalWitness", incremental_witness_type()) != 0)
        propagate_python_error();

    module_object = module.get();
    Py_IncRef(module_object);  // the reference held for the interpreter's lifetime
    return module.release();
}

}  // namespace

}  // namespace tamarind

PyMODINIT_FUNC PyInit__tamarind() {
    return tamarind::guarded([] { return tamarind::create_module(); });
}
