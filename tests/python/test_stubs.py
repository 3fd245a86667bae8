"""The `_tamarind` stub passes stubtest, and mypy finds it and the `tamarind` package's types where users do."""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import _tamarind
import pytest

pytestmark = pytest.mark.typing

SOURCE_DIR = Path(__file__).resolve().parents[2] / "python"


def installed() -> bool:
    # Whether the module under test is an installed one, rather than a build on PYTHONPATH.
    site = {Path(sysconfig.get_path(key)).resolve() for key in ("purelib", "platlib")}
    return Path(_tamarind.__file__).resolve().parent in site


def shipped_stub() -> Path:
    # The stub that belongs to the imported module: the installed copy when there is one.
    beside = Path(_tamarind.__file__).resolve().parent
    for candidate in (beside / "_tamarind-stubs" / "__init__.pyi", beside / "_tamarind.pyi"):
        if candidate.is_file():
            return candidate
    return SOURCE_DIR / "_tamarind.pyi"


def python_m(args: list[str], cwd: Path, mypypath: Path | None) -> subprocess.CompletedProcess[str]:
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"} | (
        {} if mypypath is None else {"MYPYPATH": str(mypypath)}
    )
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, cwd=cwd, env=env, timeout=600)


def test_stubtest_passes(tmp_path: Path) -> None:
    # mypy refuses site-packages on MYPYPATH, so the stub is looked at from a copy.
    (stubs := tmp_path / "stubs").mkdir()
    shutil.copyfile(shipped_stub(), stubs / "_tamarind.pyi")
    proc = python_m(["mypy.stubtest", "_tamarind"], tmp_path, stubs)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert "Success" in proc.stdout


USER_CODE = """
import _tamarind
from tamarind import BabyJubjubPedersen, PanicException, ZcashPedersen

reveal_type(ZcashPedersen().hash(b"abc"))
reveal_type(_tamarind.__all__)
BabyJubjubPedersen(4, 64).hash("abc")
ZcashPedersen("Zcash_PH")
JubjubBoweHopwood = _tamarind.JubjubBoweHopwood
JubjubBoweHopwood(1, 3, 5)

class Derived(_tamarind.CircomPedersen):
    pass

try:
    BabyJubjubPedersen(0, 0).hash(b"x")
except PanicException as exc:
    reveal_type(exc)
"""


def test_user_code_is_checked_against_the_stub(tmp_path: Path) -> None:
    (tmp_path / "user.py").write_text(USER_CODE)
    # Installed: found as users find it, through site-packages. Otherwise the source tree.
    proc = python_m(["mypy", "--no-error-summary", "user.py"], tmp_path, None if installed() else SOURCE_DIR)
    out = proc.stdout
    assert "import-not-found" not in out and "import-untyped" not in out, out
    # Older mypy releases qualify builtin names ("builtins.bytes"), newer ones do not.
    for pattern in [
        r'Revealed type is "(builtins\.)?bytes"',
        r'Revealed type is "(builtins\.)?list\[(builtins\.)?str\]"',
    ]:
        assert re.search(pattern, out), out
    for message in [
        'Argument 1 to "hash" of "BabyJubjubPedersen" has incompatible type "str"; expected "bytes"',
        'Argument 1 to "ZcashPedersen" has incompatible type "str"',
        'Too many arguments for "JubjubBoweHopwood"',
        'Cannot inherit from final class "CircomPedersen"',
        'Revealed type is "tamarind.PanicException"',
    ]:
        assert message in out, out
    assert proc.returncode == 1  # the deliberate errors above, and nothing worse


def test_package_is_strictly_typed(tmp_path: Path) -> None:
    proc = python_m(["mypy", "--strict", "-p", "tamarind"], tmp_path, SOURCE_DIR)
    assert proc.returncode == 0, proc.stdout + proc.stderr
