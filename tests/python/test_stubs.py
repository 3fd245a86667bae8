"""The `_tamarind` stub passes stubtest and repeats the module's docstrings and signatures exactly; mypy finds it and
the `tamarind` package's types where users do."""

from __future__ import annotations

import ast
import inspect
import os
import re
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path
from typing import Any, Callable, Union

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


# The docstrings and parameter lists are written once, in the C++ sources. The stub repeats them for its readers
# (editors, the API page's signatures), so it is held to them: every class, method, property and function.
# Its module docstring is its own (the module has none).
Parameter = tuple[str, inspect._ParameterKind, object]  # name, kind, default


def stub_parameters(node: ast.FunctionDef) -> list[Parameter]:
    args = node.args
    positional: list[tuple[str, inspect._ParameterKind]] = [
        (a.arg, inspect.Parameter.POSITIONAL_ONLY) for a in args.posonlyargs
    ]
    positional += [(a.arg, inspect.Parameter.POSITIONAL_OR_KEYWORD) for a in args.args]
    defaults = [inspect.Parameter.empty] * (len(positional) - len(args.defaults))
    defaults += [ast.literal_eval(d) for d in args.defaults]
    found: list[Parameter] = [(name, kind, default) for (name, kind), default in zip(positional, defaults)]
    if args.vararg is not None:
        found.append((args.vararg.arg, inspect.Parameter.VAR_POSITIONAL, inspect.Parameter.empty))
    for a, d in zip(args.kwonlyargs, args.kw_defaults):
        default = inspect.Parameter.empty if d is None else ast.literal_eval(d)
        found.append((a.arg, inspect.Parameter.KEYWORD_ONLY, default))
    if args.kwarg is not None:
        found.append((args.kwarg.arg, inspect.Parameter.VAR_KEYWORD, inspect.Parameter.empty))
    return found


def runtime_parameters(runtime: Callable[..., object]) -> list[Parameter]:
    signature = inspect.signature(runtime)
    return [(p.name, p.kind, p.default) for p in signature.parameters.values()]


def shown(parameters: list[Parameter]) -> str:
    return str(inspect.Signature([inspect.Parameter(name, kind, default=d) for name, kind, d in parameters]))


def stub_entries() -> list[tuple[str, Union[ast.FunctionDef, ast.ClassDef], Any, bool]]:
    # (name, stub node, runtime object, whether the stub's first parameter is self or cls).
    tree = ast.parse(shipped_stub().read_text(encoding="utf-8"))
    entries: list[tuple[str, Union[ast.FunctionDef, ast.ClassDef], Any, bool]] = []
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            entries.append((node.name, node, getattr(_tamarind, node.name), False))
        if isinstance(node, ast.ClassDef):
            cls = getattr(_tamarind, node.name)
            for member in node.body:
                if isinstance(member, ast.FunctionDef):
                    # The constructor's docstring and signature are the class's.
                    runtime = cls if member.name == "__new__" else vars(cls)[member.name]
                    entries.append((f"{node.name}.{member.name}", member, runtime, True))
    return entries


def test_stub_docstrings_and_signatures_equal_the_modules() -> None:
    differences = []
    for name, node, runtime, bound in stub_entries():
        stub_doc, runtime_doc = ast.get_docstring(node), getattr(runtime, "__doc__", None)
        if name.endswith(".__new__"):
            runtime_doc = None  # said once, on the class
        if stub_doc != runtime_doc:
            differences.append(f"{name}, docstring:\n  stub:    {stub_doc!r}\n  runtime: {runtime_doc!r}")
        if not isinstance(node, ast.FunctionDef) or inspect.isgetsetdescriptor(runtime):
            continue  # classes are checked through __new__, properties have no parameters
        if getattr(runtime, "__text_signature__", None) is None:
            # Only the copy protocol's methods go without one (their parameters are the protocol's).
            if not name.endswith(("__copy__", "__deepcopy__")):
                differences.append(f"{name}: no text signature at runtime")
            continue
        stub, found = stub_parameters(node), runtime_parameters(runtime)
        if bound:  # self or cls; a class's signature has none
            stub, found = stub[1:], found if isinstance(runtime, type) else found[1:]
        if stub != found:
            differences.append(f"{name}, parameters:\n  stub:    {shown(stub)}\n  runtime: {shown(found)}")
    assert not differences, "\n".join(differences)


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
