"""Sphinx configuration for tamarind's documentation (MyST Markdown, furo theme).

The API page documents the installed `_tamarind` module with autodoc. An extension module carries docstrings and
parameter names but no annotations, so the signatures shown are taken from its typing stub, `_tamarind.pyi`.
"""

from __future__ import annotations

import ast
import re
from pathlib import Path

# The built module itself, imported before autodoc looks for it: Sphinx 9 would otherwise execute the stub beside it
# as if it were the module. The signatures still come from the stub, below.
import _tamarind  # noqa: F401

ROOT = Path(__file__).resolve().parents[1]
VERSION_LINE = re.compile(r'^__version__ = "([^"]+)"$', re.M)

project = "tamarind"
author = "the tamarind developers"
copyright = "the tamarind developers"
release = VERSION_LINE.search((ROOT / "python" / "tamarind" / "__init__.py").read_text(encoding="utf-8")).group(1)
version = release

extensions = ["myst_parser", "sphinx.ext.autodoc"]
source_suffix = {".md": "markdown"}
myst_enable_extensions = ["colon_fence", "deflist"]
myst_heading_anchors = 3
exclude_patterns = ["_build"]

html_theme = "furo"
html_title = f"tamarind {release}"
html_static_path = ["_static"]

autodoc_member_order = "bysource"
autodoc_default_options = {"members": True, "special-members": False}


def stub_signatures(path: Path) -> dict[str, tuple[str, str | None]]:
    """Qualified name -> (parameters, return annotation) for every function and method of the stub."""
    signatures: dict[str, tuple[str, str | None]] = {}

    def record(node: ast.FunctionDef, prefix: str) -> None:
        arguments = node.args
        # The stub writes methods with `self` and constructors as `__new__(cls, ...)`; the page shows neither.
        if prefix:
            if arguments.posonlyargs:
                arguments.posonlyargs = arguments.posonlyargs[1:]
            else:
                arguments.args = arguments.args[1:]
        returns = ast.unparse(node.returns) if node.returns is not None else None
        signatures[prefix + node.name] = (f"({ast.unparse(arguments)})", returns)

    tree = ast.parse(path.read_text(encoding="utf-8"))
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            record(node, "")
        elif isinstance(node, ast.ClassDef):
            for member in node.body:
                if isinstance(member, ast.FunctionDef):
                    record(member, f"{node.name}.")
    return signatures


STUB = stub_signatures(ROOT / "python" / "_tamarind.pyi")


def signature_from_stub(app, what, name, obj, options, signature, return_annotation):
    key = name.removeprefix("_tamarind.")
    if what == "class":
        key += ".__new__"
    if what not in ("class", "method", "function") or key not in STUB:
        return None
    parameters, returns = STUB[key]
    return parameters, None if what == "class" else returns


def setup(app):
    app.connect("autodoc-process-signature", signature_from_stub)
