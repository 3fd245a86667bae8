"""The module and its classes: registration, docs, type flags, PanicException, re-import, sub-interpreters."""

import gc
import importlib
import inspect
import os
import subprocess
import sys
import weakref

import _tamarind
import pytest
from conftest import CLASS_NAMES, panic_exception_type, small_instance

# The texts the classes' surface fixes, pinned here once as the outside anchor: per class, the constructor's
# signature and the class docstring. The module's other docstrings and signatures are written once, in the C++
# sources, and the stub is held to all of them (test_stubs.py).
SURFACE = {
    "BabyJubjubPedersen": (
        "(segments, bits_per_window)",
        "Unsigned-window Pedersen hash over the ERC-2494 Baby Jubjub curve\n"
        "(arkworks `pedersen::CRH` construction). Output is the compressed curve point.",
    ),
    "JubjubBoweHopwood": (
        "(segments, chunks_per_segment)",
        "Bowe–Hopwood / Zcash-Sapling Pedersen hash over Jubjub\n"
        "(arkworks `bowe_hopwood::CRH` construction). Output is the x-coordinate.",
    ),
    "CircomPedersen": (
        "()",
        "circom / iden3-compatible Baby Jubjub Pedersen hash (`circomlibjs pedersenHash`).\n\n"
        "`hash(data)` returns the 32-byte packed point, byte-identical to circomlibjs.\n"
        "Reusable: generators are derived once and cached across calls, so reuse the\n"
        "same instance for repeated hashing.",
    ),
    "ZcashPedersen": (
        "(personalization=None)",
        "Zcash Sapling Pedersen hash over Jubjub.\n\n"
        "`hash(data)` returns the 32-byte little-endian u-coordinate. The optional\n"
        '8-byte `personalization` defaults to `b"Zcash_PH"`. Reusable: generators are\n'
        "derived once and cached across calls.",
    ),
}


def test_module_attributes():
    assert _tamarind.__all__ == CLASS_NAMES
    assert _tamarind.__doc__ == ""
    # Beyond __all__: the incremental state's class, the function pickles name, the
    # internal-fault type's getter, the Sapling functions and classes that
    # tamarind.sapling wraps, the table cache's functions and the lane kernel's name.
    assert {name for name in vars(_tamarind) if not name.startswith("__")} == set(CLASS_NAMES) | {
        "CommitmentTree",
        "IncrementalWitness",
        "IncrementalHash",
        "_panic_exception",
        "_rebuild",
        "_sapling_decode_path",
        "_sapling_empty_roots",
        "_sapling_encode_path",
        "_sapling_merkle_hash",
        "_sapling_merkle_path",
        "_sapling_merkle_root",
        "_sapling_note_commitment",
        "_sapling_verify_path",
        "lane_kernel",
        "table_cache_info",
        "set_table_cache_limit",
    }


def test_class_identity_docs_and_members(class_name, cls):
    assert repr(cls) == f"<class 'builtins.{class_name}'>"
    assert (cls.__module__, cls.__name__, cls.__qualname__, cls.__bases__) == (
        "builtins",
        class_name,
        class_name,
        (object,),
    )
    assert cls.__doc__ == SURFACE[class_name][1]
    assert set(vars(cls)) - {"__doc__", "__module__", "__new__", "__text_signature__"} == {
        "hash",
        "hash_bits",
        "hash_vartime",
        "point",
        "hash_many",
        "incremental",
        "capacity",
        "capacity_bits",
        "__reduce__",
    }
    assert cls.__init__ is object.__init__
    with pytest.raises(TypeError, match=f"type 'builtins.{class_name}' is not an acceptable base type"):
        type("Derived", (cls,), {})


@pytest.mark.skipif(
    sys.version_info < (3, 10), reason="Python 3.9's PyType_FromSpec keeps no text signature for the class"
)
def test_class_signature(class_name, cls):
    assert str(inspect.signature(cls)) == SURFACE[class_name][0]


def test_instances_have_no_dict_no_weakref_and_no_gc(class_name):
    instance = small_instance(class_name)
    assert not hasattr(instance, "__dict__")
    with pytest.raises(AttributeError):
        instance.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(instance)
    assert not gc.is_tracked(instance)


def test_no_cross_class_construction_or_hashing(cls):
    # No instance whose hasher was never built, or built for another class.
    other_name = next(n for n in CLASS_NAMES if n != cls.__name__)
    with pytest.raises(TypeError):
        object.__new__(cls)
    with pytest.raises(TypeError, match="is not a subtype of"):
        cls.__new__(getattr(_tamarind, other_name))
    with pytest.raises(TypeError, match="doesn't apply to"):
        cls.hash(small_instance(other_name), b"")


def test_instances_release_their_type_reference(class_name, cls):
    # Each instance holds its heap type and drops it when deallocated; failed constructions hold none.
    small_instance(class_name)  # warm up anything created lazily
    # Garbage from earlier tests (frames of old tracebacks) may also hold the type; a collection
    # in the middle of the count would release it, so collect first and none during the count.
    gc.collect()
    gc.disable()
    try:
        before = sys.getrefcount(cls)
        instances = [small_instance(class_name) for _ in range(50)]
        assert sys.getrefcount(cls) == before + 50
        del instances
        for _ in range(50):
            with pytest.raises(TypeError):
                cls(1, 2, 3)
        assert sys.getrefcount(cls) == before
    finally:
        gc.enable()


# Run in a child: the attack changes the class for the rest of the process. On interpreters
# whose types can be immutable it first clears that flag through raw memory, as an attacker
# with ctypes could, to reach the check that stands behind it.
UNCONSTRUCTED_INSTANCE = """
import ctypes, sys
import _tamarind
cls = getattr(_tamarind, sys.argv[1])
IMMUTABLE = 1 << 8
flags = cls.__flags__
if flags & IMMUTABLE:
    words = (ctypes.c_ulong * 64).from_address(id(cls))
    [offset] = [i for i in range(64) if words[i] == flags]
    words[offset] = flags & ~IMMUTABLE
cls.__new__ = staticmethod(lambda c, *a: object.__new__(c))
instance = cls()
try:
    instance.hash(b"")
    print("hashed")
except TypeError as error:
    print(error)
del instance
print("released")
"""


def test_types_are_immutable_where_the_interpreter_allows(class_name, cls):
    if sys.version_info < (3, 10):
        pytest.skip("types cannot be made immutable before Python 3.10")
    for attack in (
        lambda: setattr(cls, "__new__", staticmethod(lambda c: object.__new__(c))),
        lambda: setattr(cls, "hash", None),
        lambda: delattr(cls, "hash"),
    ):
        with pytest.raises(TypeError, match=f"immutable type 'builtins.{cls.__name__}'"):
            attack()
    assert len(small_instance(class_name).hash(b"\x01")) == 32  # the refusals changed nothing


def test_an_instance_its_constructor_did_not_build_is_refused(class_name):
    proc = subprocess.run(
        [sys.executable, "-c", UNCONSTRUCTED_INSTANCE, class_name], capture_output=True, text=True, timeout=120
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [f"'{class_name}' object was not initialised by its constructor", "released"]


def test_reimport_yields_the_same_module():
    assert importlib.import_module("_tamarind") is _tamarind
    saved = sys.modules.pop("_tamarind")
    try:
        again = importlib.import_module("_tamarind")
        assert again is saved and again.BabyJubjubPedersen is saved.BabyJubjubPedersen
        assert again.__all__ == CLASS_NAMES  # not appended to a second time
    finally:
        sys.modules["_tamarind"] = saved


def test_panic_exception_type():
    panic = panic_exception_type()
    assert f"{panic.__module__}.{panic.__qualname__}" == "pyo3_runtime.PanicException"
    assert panic.__bases__ == (BaseException,)
    assert panic.__doc__
    assert panic_exception_type() is panic  # created once
    assert not any(value is panic for value in vars(_tamarind).values())


def test_panic_is_reported_on_stderr(capfd):
    message = "input of 16 bits needs 6 chunks but only 3 generator powers are available"
    with pytest.raises(BaseException) as caught:
        _tamarind.JubjubBoweHopwood(1, 3).hash(b"\x00\x00")
    assert caught.value.args == (message,)
    report = capfd.readouterr().err
    assert message in report
    assert report.count("\n") == 1  # one line per fault


def _run_in_subinterpreter(source):
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "run_in_subinterp"):
        pytest.skip("this interpreter cannot start sub-interpreters for tests")
    read_end, write_end = os.pipe()
    try:
        code = f"import os, sys\nsys.path[:] = {sys.path!r}\n{source}\nos.write({write_end}, outcome.encode())\n"
        assert testcapi.run_in_subinterp(code) == 0
    finally:
        os.close(write_end)
    with os.fdopen(read_end, "rb") as pipe:
        return pipe.read().decode()


def test_import_from_a_subinterpreter_is_refused():
    outcome = _run_in_subinterpreter(
        "try:\n    import _tamarind\n    outcome = 'imported'\n"
        "except ImportError as error:\n    outcome = 'ImportError: ' + str(error)\n"
    )
    assert outcome.startswith("ImportError: ") and "sub-interpreter" in outcome
    # The owning interpreter is unaffected.
    assert len(_tamarind.CircomPedersen().hash(b"")) == 32
