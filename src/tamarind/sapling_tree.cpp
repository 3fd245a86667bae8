#include "tamarind/sapling_tree.hpp"

#include <algorithm>
#include <array>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "sapling/extend.hpp"
#include "sapling/serial.hpp"
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

using sapling::Node;

std::string type_name_of(PyObject* value) {
    Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__name__"));
    if (!name) propagate_python_error();
    return utf8(name.get());
}

// The tree's depth: an integer in [1, MAX_DEPTH].
unsigned depth_argument(PyObject* value) {
    if (value == nullptr) return 32;
    Ref index(PyNumber_Index(value));
    if (!index) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) propagate_python_error();
        PyErr_Clear();
        raise(PyExc_TypeError, "depth must be an integer, not '" + type_name_of(value) + "'");
    }
    int overflow = 0;
    const long long depth = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (depth == -1 && PyErr_Occurred() != nullptr) propagate_python_error();
    if (overflow != 0 || depth < 1 || depth > sapling::MAX_DEPTH) {
        Ref text(PyObject_Str(index.get()));
        if (!text) propagate_python_error();
        raise(PyExc_ValueError, "depth must be in [1, 62], not " + utf8(text.get()));
    }
    return static_cast<unsigned>(depth);
}

Ref bytes_of(const std::vector<std::uint8_t>& data) {
    Ref out(
        PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()), static_cast<Py_ssize_t>(data.size())));
    if (!out) propagate_python_error();
    return out;
}

// What an instance holds: the state, its depth, its root once computed (the
// same whichever way it was computed), and the lock that makes other
// threads' calls wait while one runs and refuses a signal handler's call
// during one. Calls hash without the interpreter lock, reading the state;
// they change it only once they have it back, so that the getters, which
// take no lock, read it under the interpreter lock alone.
template <class Value>
struct Holder {
    Value value;
    unsigned depth;
    std::optional<Node> root;
    StateLock lock;

    Holder(Value v, unsigned d, std::optional<Node> r = std::nullopt) : value(std::move(v)), depth(d), root(r) {}
};
using TreeHolder = Holder<sapling::Tree>;
using WitnessHolder = Holder<sapling::Witness>;

template <class Value>
struct Object {
    PyObject header;
    Holder<Value>* holder;
};

PyObject* tree_type_ = nullptr;     // guarded by the interpreter lock
PyObject* witness_type_ = nullptr;  // guarded by the interpreter lock

template <class Value>
Holder<Value>& holder_of(PyObject* self) {
    return *reinterpret_cast<Object<Value>*>(self)->holder;
}

template <class Value>
PyObject* wrap(PyObject* type, std::unique_ptr<Holder<Value>> holder) {
    PyObject* self = allocate_instance(reinterpret_cast<PyTypeObject*>(type));
    reinterpret_cast<Object<Value>*>(self)->holder = holder.release();
    return self;
}
PyObject* new_tree(std::unique_ptr<TreeHolder> holder) { return wrap(commitment_tree_type(), std::move(holder)); }
PyObject* new_witness(std::unique_ptr<WitnessHolder> holder) {
    return wrap(incremental_witness_type(), std::move(holder));
}

template <class Value>
void dealloc(PyObject* self) {
    delete std::exchange(reinterpret_cast<Object<Value>*>(self)->holder, nullptr);
    free_instance(self);
}

[[noreturn]] void refuse(BorrowKind kind) { raise(PyExc_RuntimeError, borrow_conflict_message(kind)); }

// Held for the call; another thread's call is waited for without the
// interpreter lock.
StateBorrow borrow(StateLock& lock, BorrowKind kind) { return StateBorrow(lock, kind, gil::wait_for_state, refuse); }

// The root of the state, hashed now (without the interpreter lock).
template <class Value>
Node hash_root(const Holder<Value>& h, bool vartime, pedersen::Checkpoint checkpoint) {
    sapling::NodeHasher hasher(hash_options(std::nullopt, vartime, checkpoint));
    if constexpr (std::is_same_v<Value, sapling::Tree>) {
        return h.value.root(h.depth, {}, hasher);
    } else {
        return h.value.root(h.depth, hasher);
    }
}

// The root, cached; the caller borrows `h` exclusively.
template <class Value>
Node root_of(Holder<Value>& h, bool vartime) {
    if (!h.root)
        h.root = compute(true, [&](pedersen::Checkpoint checkpoint) { return hash_root(h, vartime, checkpoint); });
    return *h.root;
}

PyObject* none() {
    Py_IncRef(Py_None);
    return Py_None;
}

template <class Value>
PyObject* richcompare(PyObject* self, PyObject* other, int op) {
    return guarded([&]() -> PyObject* {
        if ((op != Py_EQ && op != Py_NE) || Py_TYPE(other) != Py_TYPE(self)) {
            Py_IncRef(Py_NotImplemented);
            return Py_NotImplemented;
        }
        const Holder<Value>& a = holder_of<Value>(self);
        const Holder<Value>& b = holder_of<Value>(other);
        const bool equal = a.depth == b.depth && a.value == b.value;
        PyObject* result = (equal == (op == Py_EQ)) ? Py_True : Py_False;
        Py_IncRef(result);
        return result;
    });
}

// (type.from_bytes, (bytes, depth)): pickles through the byte form.
PyObject* reduce_to(PyObject* self, const std::vector<std::uint8_t>& data, unsigned depth) {
    Ref from_bytes(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "from_bytes"));
    if (!from_bytes) propagate_python_error();
    Ref bytes = bytes_of(data);
    Ref arguments(Py_BuildValue("(OI)", bytes.get(), depth));
    if (!arguments) propagate_python_error();
    PyObject* result = Py_BuildValue("(OO)", from_bytes.get(), arguments.get());
    if (result == nullptr) propagate_python_error();
    return result;
}

// --- CommitmentTree ----------------------------------------------------------

constexpr std::string_view TREE = "CommitmentTree";
constexpr std::array<std::string_view, 1> DEPTH_PARAMETERS{"depth"};
constexpr std::array<std::string_view, 2> FROM_BYTES_PARAMETERS{"data", "depth"};
constexpr std::array<std::string_view, 1> CMU_PARAMETERS{"cmu"};
constexpr std::array<std::string_view, 1> ROOT_PARAMETERS{"vartime"};
constexpr std::array<std::string_view, 5> EXTEND_PARAMETERS{"cmus", "witnesses", "mark", "threads", "vartime"};

PyObject* tree_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        std::array<Ref, 1> arguments;
        parse_arguments({TREE, "__new__", DEPTH_PARAMETERS, 0}, args, kwargs, arguments);
        return new_tree(std::make_unique<TreeHolder>(sapling::Tree{}, depth_argument(arguments[0].get())));
    });
}

PyObject* tree_from_bytes(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        std::array<Ref, 2> arguments;
        parse_arguments({TREE, "from_bytes", FROM_BYTES_PARAMETERS, 1}, args, kwargs, arguments);
        const BytesLike data = extract_bytes_like(arguments[0].get(), "data");
        const unsigned depth = depth_argument(arguments[1].get());
        sapling::Tree tree = refusing_tree_errors([&] { return sapling::tree_from_bytes(data.data, depth); });
        return new_tree(std::make_unique<TreeHolder>(std::move(tree), depth));
    });
}

PyObject* tree_to_bytes(PyObject* self, PyObject*) {
    return guarded([&] {
        TreeHolder& h = holder_of<sapling::Tree>(self);
        const StateBorrow guard = borrow(h.lock, BorrowKind::Shared);
        return bytes_of(sapling::tree_to_bytes(h.value)).release();
    });
}

PyObject* tree_append(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        std::array<Ref, 1> arguments;
        parse_arguments({TREE, "append", CMU_PARAMETERS, 1}, args, kwargs, arguments);
        const Node cmu = node_argument(arguments[0].get(), "cmu");
        TreeHolder& h = holder_of<sapling::Tree>(self);
        const StateBorrow guard = borrow(h.lock, BorrowKind::Exclusive);
        // Appended to a copy: a fault or Ctrl-C changes nothing.
        sapling::Tree tree = refusing_tree_errors([&] {
            return compute(true, [&](pedersen::Checkpoint checkpoint) {
                sapling::Tree appended = h.value;
                sapling::NodeHasher hasher(hash_options(1, false, checkpoint));
                appended.append(cmu, h.depth, hasher);
                return appended;
            });
        });
        h.value = std::move(tree);
        h.root.reset();
        return none();
    });
}

PyObject* tree_root(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        std::array<Ref, 1> arguments;
        parse_arguments({TREE, "root", ROOT_PARAMETERS, 0}, args, kwargs, arguments);
        const bool vartime = extract_flag(arguments[0].get(), "vartime");
        TreeHolder& h = holder_of<sapling::Tree>(self);
        const StateBorrow guard = borrow(h.lock, BorrowKind::Exclusive);  // fills the cached root
        return new_bytes(root_of(h, vartime));
    });
}

PyObject* tree_witness(PyObject* self, PyObject*) {
    return guarded([&] {
        TreeHolder& h = holder_of<sapling::Tree>(self);
        const StateBorrow guard = borrow(h.lock, BorrowKind::Shared);
        return new_witness(std::make_unique<WitnessHolder>(sapling::Witness{h.value, {}, {}}, h.depth, h.root));
    });
}

PyObject* tree_copy(PyObject* self, PyObject*) {
    return guarded([&] {
        TreeHolder& h = holder_of<sapling::Tree>(self);
        const StateBorrow guard = borrow(h.lock, BorrowKind::Shared);
        return new_tree(std::make_unique<TreeHolder>(h.value, h.depth, h.root));
    });
}

PyObject* tree_deep_copy(PyObject* self, PyObject*) { return tree_copy(self, nullptr); }

PyObject* tree_reduce(PyObject* self, PyObject*) {
    return guarded([&] {
        TreeHolder& h = holder_of<sapling::Tree>(self);
        const StateBorrow guard = borrow(h.lock, BorrowKind::Shared);
        return reduce_to(self, sapling::tree_to_bytes(h.value), h.depth);
    });
}

Py_ssize_t tree_length(PyObject* self) { return static_cast<Py_ssize_t>(holder_of<sapling::Tree>(self).value.size()); }

PyObject* tree_size(PyObject* self, void*) {
    return guarded([&] {
        PyObject* result = PyLong_FromUnsignedLongLong(holder_of<sapling::Tree>(self).value.size());
        if (result == nullptr) propagate_python_error();
        return result;
    });
}

template <class Value>
PyObject* get_depth(PyObject* self, void*) {
    return PyLong_FromUnsignedLong(holder_of<Value>(self).depth);
}

PyObject* tree_repr(PyObject* self) {
    return guarded([&] {
        const TreeHolder& h = holder_of<sapling::Tree>(self);
        return new_str("<tamarind.sapling.CommitmentTree depth=" + std::to_string(h.depth) +
                       " size=" + std::to_string(h.value.size()) + ">")
            .release();
    });
}

// extend's leaves, each checked as it comes.
std::vector<Node> leaves_argument(PyObject* cmus, std::uint64_t room, unsigned depth) {
    std::vector<Node> leaves;
    const Ref iterator = iterate(cmus, "cmus");
    while (Ref item{PyIter_Next(iterator.get())}) {
        const std::string name = "cmus item " + std::to_string(leaves.size());
        if (leaves.size() == room) {
            raise(PyExc_ValueError, name + ": the tree is full (a tree of depth " + std::to_string(depth) +
                                        " holds 2**" + std::to_string(depth) + " leaves)");
        }
        leaves.push_back(node_argument(item.get(), name));
    }
    if (PyErr_Occurred() != nullptr) propagate_python_error();
    return leaves;
}

// Distinct indexes into the batch, in the caller's order.
std::vector<std::uint64_t> marks_argument(PyObject* mark, std::size_t count) {
    std::vector<std::uint64_t> marks;
    if (mark == nullptr) return marks;
    const Ref iterator = iterate(mark, "mark");
    std::vector<bool> seen(count);
    while (Ref item{PyIter_Next(iterator.get())}) {
        const std::string name = "mark item " + std::to_string(marks.size());
        if (PyBool_Check(item.get()) || !PyLong_Check(item.get())) {
            Ref index(PyBool_Check(item.get()) ? nullptr : PyNumber_Index(item.get()));
            if (!index) {
                PyErr_Clear();
                raise(PyExc_TypeError, name + ": an integer is required, not '" + type_name_of(item.get()) + "'");
            }
            item = std::move(index);
        }
        int overflow = 0;
        const long long j = PyLong_AsLongLongAndOverflow(item.get(), &overflow);
        if (j == -1 && PyErr_Occurred() != nullptr) propagate_python_error();
        if (overflow != 0 || j < 0 || static_cast<unsigned long long>(j) >= count) {
            Ref text(PyObject_Str(item.get()));
            if (!text) propagate_python_error();
            raise(PyExc_ValueError,
                  name + ": index " + utf8(text.get()) + " is out of range for " + std::to_string(count) + " cmus");
        }
        if (seen[static_cast<std::size_t>(j)])
            raise(PyExc_ValueError, name + ": index " + std::to_string(j) + " is repeated");
        seen[static_cast<std::size_t>(j)] = true;
        marks.push_back(static_cast<std::uint64_t>(j));
    }
    if (PyErr_Occurred() != nullptr) propagate_python_error();
    return marks;
}

// A Python exception taken out of the error indicator, to be raised later.
class PendingError {
  public:
    // Takes the exception that is set.
    void take() {
        PyObject* type = nullptr;
        PyObject* value = nullptr;
        PyObject* traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        type_ = Ref(type);
        value_ = Ref(value);
        traceback_ = Ref(traceback);
    }
    // Sets it again and throws, if there is one.
    void raise_if_any() {
        if (!type_) return;
        PyErr_Restore(type_.release(), value_.release(), traceback_.release());  // steals
        propagate_python_error();
    }

  private:
    Ref type_, value_, traceback_;
};

// The witnesses to bring up to date, each borrowed for the call, each up to
// date with `tree` (checked: depth, size, root; the root alone cannot tell
// a tree from one with UNCOMMITTED leaves appended).
struct GivenWitnesses {
    std::vector<Ref> objects;
    std::vector<std::unique_ptr<StateBorrow>> borrows;
    std::vector<WitnessHolder*> holders;
};

// The witnesses are all read before any is borrowed, and borrowed in one
// order (their addresses), so that calls borrowing some of the same
// witnesses never wait for each other in a circle. A bad item ends the
// reading; its error is raised once the items before it are checked, as
// when each item was checked as it came.
GivenWitnesses witnesses_argument(PyObject* witnesses, TreeHolder& tree, bool vartime) {
    GivenWitnesses given;
    if (witnesses == nullptr) return given;
    PendingError pending;
    const Ref iterator = iterate(witnesses, "witnesses");
    try {
        while (Ref item{PyIter_Next(iterator.get())}) {
            const std::string name = "witnesses item " + std::to_string(given.objects.size());
            if (Py_TYPE(item.get()) != reinterpret_cast<PyTypeObject*>(incremental_witness_type()))
                raise(PyExc_TypeError,
                      name + ": an IncrementalWitness is required, not '" + type_name_of(item.get()) + "'");
            for (std::size_t i = 0; i < given.objects.size(); ++i) {
                if (given.objects[i].get() == item.get())
                    raise(PyExc_ValueError, name + ": the same witness as item " + std::to_string(i));
            }
            given.holders.push_back(&holder_of<sapling::Witness>(item.get()));
            given.objects.push_back(std::move(item));
        }
        if (PyErr_Occurred() != nullptr) propagate_python_error();
    } catch (const PythonError&) {
        pending.take();
    }

    std::vector<WitnessHolder*> by_address = given.holders;
    std::sort(by_address.begin(), by_address.end(), std::less<>());
    for (WitnessHolder* w : by_address)
        given.borrows.push_back(
            std::make_unique<StateBorrow>(w->lock, BorrowKind::Exclusive, gil::wait_for_state, refuse));

    // The roots the checks need, hashed in one go.
    const auto sized_as_tree = [&](const WitnessHolder& w) {
        return w.depth == tree.depth && w.value.tree_size(w.depth) == tree.value.size();
    };
    const bool roots_needed = std::any_of(given.holders.begin(), given.holders.end(), [&](const WitnessHolder* w) {
        return sized_as_tree(*w) && (!w->root || !tree.root);
    });
    if (roots_needed) {
        std::vector<std::optional<Node>> roots = compute(true, [&](pedersen::Checkpoint checkpoint) {
            std::vector<std::optional<Node>> out(given.holders.size() + 1);
            if (!tree.root) out.back() = hash_root(tree, vartime, checkpoint);
            for (std::size_t i = 0; i < given.holders.size(); ++i) {
                const WitnessHolder& w = *given.holders[i];
                if (sized_as_tree(w) && !w.root) out[i] = hash_root(w, vartime, checkpoint);
            }
            return out;
        });
        if (roots.back()) tree.root = roots.back();
        for (std::size_t i = 0; i < given.holders.size(); ++i)
            if (roots[i]) given.holders[i]->root = roots[i];
    }

    for (std::size_t i = 0; i < given.holders.size(); ++i) {
        const WitnessHolder& w = *given.holders[i];
        const std::string name = "witnesses item " + std::to_string(i);
        if (w.depth != tree.depth)
            raise(PyExc_ValueError, name + ": a witness of depth " + std::to_string(w.depth) + ", not the tree's " +
                                        std::to_string(tree.depth));
        const std::uint64_t size = w.value.tree_size(w.depth);
        if (size != tree.value.size())
            raise(PyExc_ValueError, name + ": a witness of a tree of " + std::to_string(size) +
                                        " leaves, not of this tree's " + std::to_string(tree.value.size()));
        if (*w.root != *tree.root)
            raise(PyExc_ValueError, name + ": its root is not the tree's (a witness of another tree)");
    }
    pending.raise_if_any();
    return given;
}

PyObject* tree_extend(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        if (PyTuple_Size(args) > 1) {
            raise(PyExc_TypeError, "CommitmentTree.extend() takes 1 positional argument but " +
                                       std::to_string(PyTuple_Size(args)) + " were given");
        }
        std::array<Ref, EXTEND_PARAMETERS.size()> arguments;
        parse_arguments({TREE, "extend", EXTEND_PARAMETERS, 1}, args, kwargs, arguments);
        const std::optional<std::uint64_t> threads = extract_count(arguments[3].get(), "threads");
        const bool vartime = extract_flag(arguments[4].get(), "vartime");
        TreeHolder& h = holder_of<sapling::Tree>(self);
        const StateBorrow guard = borrow(h.lock, BorrowKind::Exclusive);
        const std::vector<Node> leaves =
            leaves_argument(arguments[0].get(), sapling::room(h.value.size(), h.depth), h.depth);
        const std::vector<std::uint64_t> marks = marks_argument(arguments[2].get(), leaves.size());
        const GivenWitnesses given = witnesses_argument(arguments[1].get(), h, vartime);

        std::vector<const sapling::Witness*> witnesses;
        for (const WitnessHolder* w : given.holders) witnesses.push_back(&w->value);
        sapling::Extended result = compute(true, [&](pedersen::Checkpoint checkpoint) {
            sapling::NodeHasher hasher(hash_options(threads, vartime, checkpoint));
            return sapling::extend(h.value, h.depth, leaves, witnesses, marks, hasher);
        });

        // Everything is computed: the new objects first (which may fail), then
        // the states, which cannot.
        Ref list(PyList_New(static_cast<Py_ssize_t>(marks.size())));
        if (!list) propagate_python_error();
        for (std::size_t i = 0; i < result.marked.size(); ++i) {
            PyObject* w =
                new_witness(std::make_unique<WitnessHolder>(std::move(result.marked[i]), h.depth, result.root));
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), w);  // steals
        }
        const bool changed = !leaves.empty();
        for (std::size_t i = 0; i < given.holders.size(); ++i) {
            given.holders[i]->value = std::move(result.witnesses[i]);
            if (changed) given.holders[i]->root = result.root;
        }
        h.value = std::move(result.tree);
        if (changed) h.root = result.root;
        return list.release();
    });
}

// --- IncrementalWitness ------------------------------------------------------

constexpr std::string_view WITNESS = "IncrementalWitness";

PyObject* witness_new(PyTypeObject*, PyObject*, PyObject*) {
    return guarded([]() -> PyObject* {
        raise(PyExc_TypeError,
              "cannot create 'IncrementalWitness' instances; use CommitmentTree.witness(), CommitmentTree.extend() "
              "or IncrementalWitness.from_bytes()");
    });
}

PyObject* witness_from_bytes(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        std::array<Ref, 2> arguments;
        parse_arguments({WITNESS, "from_bytes", FROM_BYTES_PARAMETERS, 1}, args, kwargs, arguments);
        const BytesLike data = extract_bytes_like(arguments[0].get(), "data");
        const unsigned depth = depth_argument(arguments[1].get());
        sapling::Witness witness = refusing_tree_errors([&] { return sapling::witness_from_bytes(data.data, depth); });
        return new_witness(std::make_unique<WitnessHolder>(std::move(witness), depth));
    });
}

PyObject* witness_to_bytes(PyObject* self, PyObject*) {
    return guarded([&] {
        WitnessHolder& h = holder_of<sapling::Witness>(self);
        const StateBorrow guard = borrow(h.lock, BorrowKind::Shared);
        return bytes_of(sapling::witness_to_bytes(h.value)).release();
    });
}

PyObject* witness_append(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        std::array<Ref, 1> arguments;
        parse_arguments({WITNESS, "append", CMU_PARAMETERS, 1}, args, kwargs, arguments);
        const Node cmu = node_argument(arguments[0].get(), "cmu");
        WitnessHolder& h = holder_of<sapling::Witness>(self);
        const StateBorrow guard = borrow(h.lock, BorrowKind::Exclusive);
        sapling::Witness witness = refusing_tree_errors([&] {
            return compute(true, [&](pedersen::Checkpoint checkpoint) {
                sapling::Witness appended = h.value;
                sapling::NodeHasher hasher(hash_options(1, false, checkpoint));
                appended.append(cmu, h.depth, hasher);
                return appended;
            });
        });
        h.value = std::move(witness);
        h.root.reset();
        return none();
    });
}

PyObject* witness_root(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        std::array<Ref, 1> arguments;
        parse_arguments({WITNESS, "root", ROOT_PARAMETERS, 0}, args, kwargs, arguments);
        const bool vartime = extract_flag(arguments[0].get(), "vartime");
        WitnessHolder& h = holder_of<sapling::Witness>(self);
        const StateBorrow guard = borrow(h.lock, BorrowKind::Exclusive);  // fills the cached root
        return new_bytes(root_of(h, vartime));
    });
}

PyObject* witness_path(PyObject* self, PyObject*) {
    return guarded([&] {
        WitnessHolder& h = holder_of<sapling::Witness>(self);
        const StateBorrow guard = borrow(h.lock, BorrowKind::Shared);
        const std::vector<Node> path = refusing_tree_errors([&] {
            return compute(true, [&](pedersen::Checkpoint checkpoint) {
                sapling::NodeHasher hasher(hash_options(1, false, checkpoint));
                return h.value.path(h.depth, hasher);
            });
        });
        Ref list(PyList_New(static_cast<Py_ssize_t>(path.size())));
        if (!list) propagate_python_error();
        for (std::size_t i = 0; i < path.size(); ++i)
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), new_bytes(path[i]));
        return list.release();
    });
}

PyObject* witness_copy(PyObject* self, PyObject*) {
    return guarded([&] {
        WitnessHolder& h = holder_of<sapling::Witness>(self);
        const StateBorrow guard = borrow(h.lock, BorrowKind::Shared);
        return new_witness(std::make_unique<WitnessHolder>(h.value, h.depth, h.root));
    });
}

PyObject* witness_deep_copy(PyObject* self, PyObject*) { return witness_copy(self, nullptr); }

PyObject* witness_reduce(PyObject* self, PyObject*) {
    return guarded([&] {
        WitnessHolder& h = holder_of<sapling::Witness>(self);
        const StateBorrow guard = borrow(h.lock, BorrowKind::Shared);
        return reduce_to(self, sapling::witness_to_bytes(h.value), h.depth);
    });
}

// The witnessed leaf's position and value: the empty tree's witness has none.
const sapling::Witness& witnessed(PyObject* self, const char* what) {
    const sapling::Witness& w = holder_of<sapling::Witness>(self).value;
    if (w.of_empty_tree()) raise(PyExc_ValueError, std::string("the empty tree's witness has no ") + what);
    return w;
}

PyObject* witness_position(PyObject* self, void*) {
    return guarded([&] {
        PyObject* result = PyLong_FromUnsignedLongLong(witnessed(self, "position").position());
        if (result == nullptr) propagate_python_error();
        return result;
    });
}

PyObject* witness_leaf(PyObject* self, void*) {
    return guarded([&] { return new_bytes(witnessed(self, "leaf").tree.last()); });
}

PyObject* witness_tree_size(PyObject* self, void*) {
    return guarded([&] {
        const WitnessHolder& h = holder_of<sapling::Witness>(self);
        PyObject* result = PyLong_FromUnsignedLongLong(h.value.tree_size(h.depth));
        if (result == nullptr) propagate_python_error();
        return result;
    });
}

PyObject* witness_repr(PyObject* self) {
    return guarded([&] {
        const WitnessHolder& h = holder_of<sapling::Witness>(self);
        const std::string position =
            h.value.of_empty_tree() ? "none (the empty tree's)" : std::to_string(h.value.position());
        return new_str("<tamarind.sapling.IncrementalWitness depth=" + std::to_string(h.depth) +
                       " position=" + position + " tree_size=" + std::to_string(h.value.tree_size(h.depth)) + ">")
            .release();
    });
}

#define TAMARIND_METHOD(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&f))

PyObject* create_tree_type() {
    static PyMethodDef methods[] = {
        {"from_bytes", TAMARIND_METHOD(tree_from_bytes), METH_VARARGS | METH_KEYWORDS | METH_CLASS,
         "from_bytes($type, data, depth=32)\n--\n\n"
         "The tree in zcashd's serialized form (z_gettreestate's finalState,\n"
         "lightwalletd's saplingTree, as bytes). Absent last parents, which zebrad\n"
         "writes, are read too. Anything no tree could have written is a ValueError\n"
         "that says what and at which byte."},
        {"to_bytes", &tree_to_bytes, METH_NOARGS, "to_bytes($self, /)\n--\n\nThe tree in zcashd's serialized form."},
        {"append", TAMARIND_METHOD(tree_append), METH_VARARGS | METH_KEYWORDS,
         "append($self, cmu)\n--\n\n"
         "Appends one leaf (32 bytes little-endian, below q). ValueError for a full tree."},
        {"extend", TAMARIND_METHOD(tree_extend), METH_VARARGS | METH_KEYWORDS,
         "extend($self, cmus, *, witnesses=(), mark=(), threads=None, vartime=False)\n--\n\n"
         "Appends every cmu of `cmus` (32-byte bytes-like values) in one call and\n"
         "brings each witness of `witnesses` up to date with them; returns new\n"
         "witnesses, in the order of `mark`, of the leaves at the batch indexes\n"
         "`mark` lists, up to date with the whole batch. The same, byte for byte, as\n"
         "appending the cmus one at a time to the tree and every witness and taking\n"
         "a witness after each marked cmu, but each level of the batch is hashed as\n"
         "one batch on `threads` threads, and witnesses cost O(depth) each. All or\n"
         "nothing: a refused argument changes no tree and no witness."},
        {"root", TAMARIND_METHOD(tree_root), METH_VARARGS | METH_KEYWORDS,
         "root($self, vartime=False)\n--\n\n"
         "The root (32 bytes little-endian). vartime=True hashes in variable time:\n"
         "public leaves only."},
        {"witness", &tree_witness, METH_NOARGS,
         "witness($self, /)\n--\n\nA witness of the last leaf (of the empty tree: one that never gives a path)."},
        {"copy", &tree_copy, METH_NOARGS, "copy($self, /)\n--\n\nAn independent copy of the tree."},
        {"__copy__", &tree_copy, METH_NOARGS, nullptr},
        {"__deepcopy__", &tree_deep_copy, METH_O, nullptr},
        {"__reduce__", &tree_reduce, METH_NOARGS, nullptr},
        {nullptr, nullptr, 0, nullptr},
    };
    static PyGetSetDef getset[] = {
        {"size", &tree_size, nullptr, "The number of leaves appended.", nullptr},
        {"depth", &get_depth<sapling::Tree>, nullptr, "The tree's depth (32 for Zcash's).", nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static const char doc[] =
        "CommitmentTree(depth=32)\n--\n\n"
        "zcashd's incremental Sapling note commitment tree (IncrementalMerkleTree),\n"
        "empty when made: the frontier of the leaves appended so far, from which\n"
        "roots and witnesses follow. Reads and writes zcashd's serialized form.";
    return new_heap_type("tamarind.sapling.CommitmentTree", sizeof(Object<sapling::Tree>),
                         {
                             {Py_tp_new, reinterpret_cast<void*>(&tree_new)},
                             {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<sapling::Tree>)},
                             {Py_tp_methods, static_cast<void*>(methods)},
                             {Py_tp_getset, static_cast<void*>(getset)},
                             {Py_tp_richcompare, reinterpret_cast<void*>(&richcompare<sapling::Tree>)},
                             {Py_tp_hash, reinterpret_cast<void*>(&PyObject_HashNotImplemented)},
                             {Py_tp_repr, reinterpret_cast<void*>(&tree_repr)},
                             {Py_mp_length, reinterpret_cast<void*>(&tree_length)},
                             {Py_tp_doc, const_cast<char*>(doc)},
                         });
}

PyObject* create_witness_type() {
    static PyMethodDef methods[] = {
        {"from_bytes", TAMARIND_METHOD(witness_from_bytes), METH_VARARGS | METH_KEYWORDS | METH_CLASS,
         "from_bytes($type, data, depth=32)\n--\n\n"
         "The witness in zcashd's serialized form. Anything no witness could have\n"
         "written is a ValueError that says what and at which byte."},
        {"to_bytes", &witness_to_bytes, METH_NOARGS,
         "to_bytes($self, /)\n--\n\nThe witness in zcashd's serialized form."},
        {"append", TAMARIND_METHOD(witness_append), METH_VARARGS | METH_KEYWORDS,
         "append($self, cmu)\n--\n\nBrings the witness up to date with one more leaf of its tree."},
        {"root", TAMARIND_METHOD(witness_root), METH_VARARGS | METH_KEYWORDS,
         "root($self, vartime=False)\n--\n\nThe root of the tree the witness is up to date with."},
        {"path", &witness_path, METH_NOARGS,
         "path($self, /)\n--\n\n"
         "The witnessed leaf's siblings, bottom up, as merkle_path returns them\n"
         "(verify_path takes them). ValueError for the empty tree's witness."},
        {"copy", &witness_copy, METH_NOARGS, "copy($self, /)\n--\n\nAn independent copy of the witness."},
        {"__copy__", &witness_copy, METH_NOARGS, nullptr},
        {"__deepcopy__", &witness_deep_copy, METH_O, nullptr},
        {"__reduce__", &witness_reduce, METH_NOARGS, nullptr},
        {nullptr, nullptr, 0, nullptr},
    };
    static PyGetSetDef getset[] = {
        {"position", &witness_position, nullptr, "The witnessed leaf's position (none for the empty tree's witness).",
         nullptr},
        {"leaf", &witness_leaf, nullptr, "The witnessed leaf (none for the empty tree's witness).", nullptr},
        {"tree_size", &witness_tree_size, nullptr, "The size of the tree the witness is up to date with.", nullptr},
        {"depth", &get_depth<sapling::Witness>, nullptr, "The tree's depth.", nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static const char doc[] =
        "zcashd's IncrementalWitness: what a wallet keeps of a note's leaf to give\n"
        "its authentication path at any later size of the tree. Made by\n"
        "CommitmentTree.witness() or extend(mark=...), or read with from_bytes().";
    return new_heap_type("tamarind.sapling.IncrementalWitness", sizeof(Object<sapling::Witness>),
                         {
                             {Py_tp_new, reinterpret_cast<void*>(&witness_new)},
                             {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<sapling::Witness>)},
                             {Py_tp_methods, static_cast<void*>(methods)},
                             {Py_tp_getset, static_cast<void*>(getset)},
                             {Py_tp_richcompare, reinterpret_cast<void*>(&richcompare<sapling::Witness>)},
                             {Py_tp_hash, reinterpret_cast<void*>(&PyObject_HashNotImplemented)},
                             {Py_tp_repr, reinterpret_cast<void*>(&witness_repr)},
                             {Py_tp_doc, const_cast<char*>(doc)},
                         });
}

}  // namespace

PyObject* commitment_tree_type() {
    if (tree_type_ == nullptr) tree_type_ = create_tree_type();
    return tree_type_;
}

PyObject* incremental_witness_type() {
    if (witness_type_ == nullptr) witness_type_ = create_witness_type();
    return witness_type_;
}

void forget_sapling_tree_types() noexcept {
    tree_type_ = nullptr;
    witness_type_ = nullptr;
}

sapling::Node node_argument(PyObject* value, std::string_view name) {
    BytesLike bytes;
    try {
        bytes = extract_bytes_like(value, name);
    } catch (const PythonError&) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw;
        PyErr_Clear();
        raise(PyExc_TypeError, std::string(name) + " must be a bytes-like object, not '" + type_name_of(value) + "'");
    }
    if (bytes.data.size() != 32)
        raise(PyExc_ValueError, std::string(name) + " must be 32 bytes, not " + std::to_string(bytes.data.size()));
    sapling::Node node;
    std::copy(bytes.data.begin(), bytes.data.end(), node.begin());
    if (!sapling::is_canonical(node))
        raise(PyExc_ValueError,
              std::string(name) + " is not a canonical field element (not below the Jubjub base-field modulus)");
    return node;
}

sapling::HashOptions hash_options(std::optional<std::uint64_t> threads, bool vartime, pedersen::Checkpoint checkpoint) {
    return {threads, vartime, checkpoint};
}

}  // namespace tamarind
