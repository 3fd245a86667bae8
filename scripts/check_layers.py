"""Fails when a folder of src/ includes a header of a layer above it.

The layers, lowest first; a folder may include its own headers and those of
any layer below it. `fault`, `algebra` and `hashes` are the foundations,
`tamarind` (the Python extension) the top:

    python3 scripts/check_layers.py [ROOT]
"""

from __future__ import annotations

import re
import sys
from pathlib import Path

# Each folder with the layer it sits on; folders on one level may not include
# each other.
LAYERS = {
    "fault": 0,
    "algebra": 1,
    "hashes": 1,
    "pedersen": 2,
    "constructions": 3,
    "sapling": 4,
    "tamarind": 5,
}

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"/]+)/[^"]+"', re.MULTILINE)


def violations(src: Path) -> list[str]:
    found = []
    for folder in sorted(p for p in src.iterdir() if p.is_dir()):
        if folder.name not in LAYERS:
            found.append(f"{folder.relative_to(src.parent)}: a folder with no layer (add it to {Path(__file__).name})")
            continue
        level = LAYERS[folder.name]
        for source in sorted(folder.rglob("*")):
            if source.suffix not in (".hpp", ".cpp", ".h", ".c"):
                continue
            text = source.read_text(encoding="utf-8")
            for match in INCLUDE.finditer(text):
                target = match.group(1)
                line = text.count("\n", 0, match.start()) + 1
                where = f"{source.relative_to(src.parent)}:{line}"
                if target not in LAYERS:
                    found.append(f'{where}: includes "{match.group(1)}/...", a folder with no layer')
                elif target != folder.name and LAYERS[target] >= level:
                    found.append(f"{where}: {folder.name} (layer {level}) includes {target} (layer {LAYERS[target]})")
    return found


def main(argv: list[str]) -> int:
    root = Path(argv[1]) if len(argv) > 1 else Path(__file__).resolve().parent.parent
    found = violations(root / "src")
    for line in found:
        print(line)
    print(f"summary: layers: {len(found)} violations" if found else "summary: layers: every include points down")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
