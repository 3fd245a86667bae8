"""Argument matching and conversion for every constructor and `hash`: TypeError texts, precedence, conversion."""

import operator
import re

import _tamarind
import pytest
from conftest import small_instance

B = _tamarind.BabyJubjubPedersen
J = _tamarind.JubjubBoweHopwood
C = _tamarind.CircomPedersen
Z = _tamarind.ZcashPedersen


def _raises_exactly(exception, message):
    return pytest.raises(exception, match=f"^{re.escape(message)}$")


SHAPE_ERRORS = [
    # too many positional arguments: all required, optional, none
    (lambda: B(1, 2, 3), "BabyJubjubPedersen.__new__() takes 2 positional arguments but 3 were given"),
    (lambda: C(1), "CircomPedersen.__new__() takes 0 positional arguments but 1 was given"),
    (lambda: C(1, 2), "CircomPedersen.__new__() takes 0 positional arguments but 2 were given"),
    (lambda: Z(1, 2), "ZcashPedersen.__new__() takes from 0 to 1 positional arguments but 2 were given"),
    (lambda: C().hash(b"", b""), "CircomPedersen.hash() takes 1 positional arguments but 2 were given"),
    # keywords
    (
        lambda: J(segments=1, chunks_per_segment=2, extra=3),
        "JubjubBoweHopwood.__new__() got an unexpected keyword argument 'extra'",
    ),
    (lambda: C(personalization=None), "CircomPedersen.__new__() got an unexpected keyword argument 'personalization'"),
    (lambda: J(1, segments=2), "JubjubBoweHopwood.__new__() got multiple values for argument 'segments'"),
    (
        lambda: Z(b"Zcash_PH", personalization=b"Zcash_PH"),
        "ZcashPedersen.__new__() got multiple values for argument 'personalization'",
    ),
    (lambda: Z().hash(b"", data=b""), "ZcashPedersen.hash() got multiple values for argument 'data'"),
    (lambda: J(1, 3).hash(data=b"", Data=b""), "JubjubBoweHopwood.hash() got an unexpected keyword argument 'Data'"),
    # missing required arguments
    (lambda: B(1), "BabyJubjubPedersen.__new__() missing 1 required positional argument: 'bits_per_window'"),
    (lambda: B(bits_per_window=1), "BabyJubjubPedersen.__new__() missing 1 required positional argument: 'segments'"),
    (
        lambda: B(),
        "BabyJubjubPedersen.__new__() missing 2 required positional arguments: 'segments' and 'bits_per_window'",
    ),
    (
        lambda: J(),
        "JubjubBoweHopwood.__new__() missing 2 required positional arguments: 'segments' and 'chunks_per_segment'",
    ),
    (lambda: B(1, 8).hash(), "BabyJubjubPedersen.hash() missing 1 required positional argument: 'data'"),
    # precedence: count before keywords, keywords in the order given, both before missing
    (lambda: B(1, 2, 3, extra=4), "BabyJubjubPedersen.__new__() takes 2 positional arguments but 3 were given"),
    (lambda: J(1, extra=1, segments=2), "JubjubBoweHopwood.__new__() got an unexpected keyword argument 'extra'"),
    (lambda: J(1, segments=2, extra=1), "JubjubBoweHopwood.__new__() got multiple values for argument 'segments'"),
    (lambda: B(extra=1), "BabyJubjubPedersen.__new__() got an unexpected keyword argument 'extra'"),
    # shape errors come before any conversion
    (lambda: B(1.5), "BabyJubjubPedersen.__new__() missing 1 required positional argument: 'bits_per_window'"),
    (lambda: Z(b"short", extra=1), "ZcashPedersen.__new__() got an unexpected keyword argument 'extra'"),
]


@pytest.mark.parametrize("call, message", SHAPE_ERRORS)
def test_argument_shape_errors(call, message):
    with _raises_exactly(TypeError, message):
        call()


def test_arguments_by_keyword_match_positional():
    assert B(segments=1, bits_per_window=8).hash(b"\x5a") == B(1, 8).hash(b"\x5a")
    assert J(chunks_per_segment=3, segments=1).hash(data=b"\x5a") == J(1, 3).hash(b"\x5a")


def index(value=None, error=None):
    def __index__(self):
        if error is not None:
            raise error
        return value

    return type("Index", (), {"__index__": __index__})()


@pytest.mark.parametrize("factory", [B, J], ids=["BabyJubjubPedersen", "JubjubBoweHopwood"])
@pytest.mark.parametrize(
    "segments", [True, index(1), type("IntSubclass", (int,), {})(1)], ids=["bool", "index", "int-subclass"]
)
def test_integers_through_index(factory, segments):
    assert factory(segments, 8).hash(b"\x81") == factory(1, 8).hash(b"\x81")


def test_full_unsigned_range_is_accepted():
    # Zero segments hold nothing however large a segment would be.
    assert len(B(0, 2**64 - 1).hash(b"")) == len(J(0, 2**64 - 1).hash(b"")) == 32


@pytest.mark.parametrize("value", [-1, 2**64, -(2**70), index(-1), index(2**64)])
@pytest.mark.parametrize("position", [0, 1])
def test_out_of_range_integers_raise_the_interpreters_overflow_error(value, position):
    arguments = [1, 8]
    arguments[position] = value
    with pytest.raises(OverflowError) as caught:
        B(*arguments)
    assert not str(caught.value).startswith("argument")


@pytest.mark.parametrize(
    "factory, position, parameter",
    [(B, 0, "segments"), (B, 1, "bits_per_window"), (J, 0, "segments"), (J, 1, "chunks_per_segment")],
)
@pytest.mark.parametrize(
    "value", [1.0, "3", None, b"\x01", index("1")], ids=["float", "str", "None", "bytes", "bad-index"]
)
def test_non_integers_are_labelled_type_errors(factory, position, parameter, value):
    with pytest.raises(TypeError) as interpreter:
        operator.index(value)
    arguments = [1, 8]
    arguments[position] = value
    with _raises_exactly(TypeError, f"argument '{parameter}': {interpreter.value}") as caught:
        factory(*arguments)
    assert caught.value.__cause__ is None


def test_first_bad_argument_is_reported():
    with pytest.raises(TypeError, match="^argument 'segments'"):
        B(1.0, -1)
    with pytest.raises(OverflowError):
        B(-1, 1.0)


Root = type("Root", (Exception,), {})


@pytest.mark.parametrize("make", [TypeError, ValueError, type("TypeErrorSubclass", (TypeError,), {}), Root])
def test_only_plain_type_errors_are_relabelled_keeping_the_cause(make):
    cause, original = Root("root"), make("no integer here")
    original.__cause__ = cause
    with pytest.raises(make) as caught:
        B(1, index(error=original))
    if make is TypeError:
        assert str(caught.value) == "argument 'bits_per_window': no integer here" and caught.value is not original
    else:
        assert caught.value is original
    assert type(caught.value) is make and caught.value.__cause__ is cause


class Outer:
    class Inner: ...


BytesSubclass = type("BytesSubclass", (bytes,), {})


NOT_BYTES = [
    (bytearray(b"\x01"), "bytearray"),
    (memoryview(b"\x01"), "memoryview"),
    ("\x01", "str"),
    (1, "int"),
    ([1], "list"),
    (Outer.Inner(), "Outer.Inner"),  # the qualified name
]


def _not_bytes(argument, type_name):
    return _raises_exactly(TypeError, f"argument '{argument}': '{type_name}' object cannot be converted to 'PyBytes'")


@pytest.mark.parametrize("value, type_name", NOT_BYTES, ids=[t for _, t in NOT_BYTES])
def test_data_and_personalization_must_be_bytes(class_name, value, type_name):
    instance = small_instance(class_name)
    for call, name in [
        (lambda: instance.hash(value), type_name),
        (lambda: instance.hash(data=value), type_name),
        (lambda: instance.hash(None), "NoneType"),
    ]:
        with _not_bytes("data", name):
            call()
    with _not_bytes("personalization", type_name):
        Z(value)
    assert instance.hash(BytesSubclass(b"\x01\x02")) == instance.hash(b"\x01\x02")


class BadNameMeta(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise RuntimeError("no name today")
        return super().__getattribute__(name)


def test_unreadable_type_name_has_a_placeholder():
    with _not_bytes("data", "<failed to extract type name>"):
        small_instance("CircomPedersen").hash(BadNameMeta("Nameless", (), {})())


@pytest.mark.parametrize("length", [0, 1, 7, 9, 32])
def test_personalization_must_have_eight_bytes(length):
    for call in (lambda: Z(bytes(length)), lambda: Z(personalization=BytesSubclass(bytes(length)))):
        with _raises_exactly(ValueError, "personalization must be exactly 8 bytes"):
            call()


def test_default_personalization_spellings_agree():
    spellings = [Z(None), Z(personalization=None), Z(b"Zcash_PH"), Z(personalization=BytesSubclass(b"Zcash_PH"))]
    assert {instance.hash(data=b"abc") for instance in spellings} == {Z().hash(b"abc")}
