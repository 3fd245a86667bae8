"""hash_vartime and hash_many(vartime=True) against the constant-time calls, which the other tests hold to published
values and plain-integer sums: the same digests, the same refusals."""

import os
import random
import re
import subprocess
import sys
from pathlib import Path

import pytest
from conftest import panic_exception_type
from test_bulk import FACTORIES, expected, mixed_items, reference

import tamarind


@pytest.mark.parametrize("name", FACTORIES)
def test_vartime_gives_the_constant_time_digests(name):
    hasher = reference(name)
    items = mixed_items()
    assert [hasher.hash_vartime(item) for item in items] == expected(name, 1)
    assert hasher.hash_many(items, threads=2, vartime=True) == expected(name, 1)
    # Bit lengths ending inside a chunk, a lookup group and a segment; all zeros and all ones among them.
    rng = random.Random(18)
    for bits in [1, 2, 4, 5, 7, 9, 13, 190, 516, 582, 1511]:
        for data in (rng.randbytes((bits + 7) // 8), bytes((bits + 7) // 8), b"\xff" * ((bits + 7) // 8)):
            data = data[:-1] + bytes([data[-1] & (1 << (bits % 8 or 8)) - 1])
            want = hasher.hash_bits(data, bits)
            assert hasher.hash_vartime(bytearray(data), bit_length=bits) == want, (bits, data)
            assert hasher.hash_many([data], bit_length=bits, vartime=True) == [want]


@pytest.mark.parametrize("data, bits", [(b"\x01\x02", 9), (b"\x01", 9), (b"", 1), (b"\x80", 7)])
def test_vartime_refuses_bad_bit_inputs_as_hash_bits_does(data, bits):
    hasher = reference("ZcashPedersen")
    with pytest.raises(ValueError) as constant:
        hasher.hash_bits(data, bits)
    with pytest.raises(ValueError) as variable:
        hasher.hash_vartime(data, bits)
    assert str(variable.value) == str(constant.value)
    with pytest.raises(ValueError, match=re.escape(f"item 0: {constant.value}")):
        hasher.hash_many([data], bit_length=bits, vartime=True)


def test_vartime_past_a_configurable_capacity_faults_as_hash_does():
    hasher = reference("JubjubBoweHopwood")
    too_long = bytes(hasher.capacity + 1)
    with pytest.raises(panic_exception_type()) as constant:
        hasher.hash(too_long)
    with pytest.raises(panic_exception_type()) as variable:
        hasher.hash_vartime(too_long)
    assert str(variable.value) == str(constant.value)


@pytest.mark.parametrize("flag, type_name", [(1, "int"), ("False", "str"), (None, "NoneType")])
def test_vartime_flag_is_true_or_false_only(flag, type_name):
    with pytest.raises(TypeError, match=f"^vartime must be True or False, not '{type_name}'$"):
        reference("CircomPedersen").hash_many([b""], vartime=flag)


def cpu_has_ifma():
    """What Linux says of this processor's AVX-512 IFMA (None elsewhere)."""
    try:
        with open("/proc/cpuinfo") as info:
            flags = next(line for line in info if line.startswith("flags")).split()
    except (OSError, StopIteration):
        return None
    return "avx512f" in flags and "avx512ifma" in flags


def test_lane_kernel_is_the_one_the_processor_allows_and_the_environment_can_turn_off():
    expected_kernel = {True: "avx512ifma", False: "scalar", None: tamarind.lane_kernel()}[cpu_has_ifma()]
    assert tamarind.lane_kernel() == expected_kernel
    # The scalar kernel, forced at import, gives the digests the lanes give here.
    script = (
        "import sys, tamarind\n"
        "from test_bulk import FACTORIES, mixed_items, reference\n"
        "print(tamarind.lane_kernel())\n"
        "for name in FACTORIES:\n"
        "    print(b''.join(reference(name).hash_many(mixed_items(), threads=2, vartime=True)).hex())\n"
    )
    env = {**os.environ, "TAMARIND_LANES": "0"}
    lines = subprocess.run(
        [sys.executable, "-c", script], env=env, cwd=Path(__file__).parent, check=True, capture_output=True, text=True
    ).stdout.split()
    assert lines[0] == "scalar"
    for name, digests in zip(FACTORIES, lines[1:]):
        assert bytes.fromhex(digests) == b"".join(expected(name, 1)), name
