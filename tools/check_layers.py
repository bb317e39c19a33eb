#!/usr/bin/env python3
"""Fails when a source file includes a header from a layer above its own.

The layers, top to bottom:
    app
    csmi, download, identify   (one layer: they may use each other's headers)
    transport
    platform                   (platform/linux and platform/windows are part of it)
and sim/, the simulated world, stands in for platform: it implements the platform seam and may
use platform's headers and its own, nothing above. platform in turn knows nothing of sim.

One file is let through on purpose: sim/sim_main.cpp is the simulator's program entry. It links
the whole tool against the simulated platform, so it calls the application's entry point and
includes app/entry.h; nothing in sim/ includes it.

Usage: check_layers.py [source-root]   (default: the repository this script lives in)
Prints one line per upward include and exits 1 when there is any, 0 otherwise.
"""

import pathlib
import re
import sys

LEVEL = {
    "platform": 0,
    "sim": 0,
    "transport": 1,
    "csmi": 2,
    "download": 2,
    "identify": 2,
    "app": 3,
}

# Files allowed to reach above their layer, with the reason kept next to the name.
EXCEPTIONS = {
    "sim/sim_main.cpp": "the simulator's program entry calls the application's entry point",
}

INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')


def layer_of(path):
    """The layer of a header or source path such as "csmi/csmi.h" or "platform/linux/x.cpp"."""
    return path.split("/", 1)[0] if "/" in path else None


def check(root):
    problems = []
    files = [p for d in ("src", "sim") for p in sorted((root / d).rglob("*")) if p.suffix in (".h", ".cpp")]
    for path in files:
        rel = path.relative_to(root).as_posix()
        own_path = rel[len("src/"):] if rel.startswith("src/") else rel
        own = layer_of(own_path)
        if own not in LEVEL:
            problems.append(f"{rel}: directory '{own}' has no layer in tools/check_layers.py")
            continue
        if rel in EXCEPTIONS:
            continue
        for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
            match = INCLUDE.match(line)
            if not match:
                continue
            header = match.group(1)
            target = layer_of(header)
            if target is None:
                continue  # a header beside the file, in its own directory
            if target not in LEVEL:
                problems.append(f"{rel}:{number}: includes \"{header}\", whose directory has no layer")
            elif LEVEL[target] > LEVEL[own]:
                problems.append(f"{rel}:{number}: {own} includes \"{header}\" from the layer above ({target})")
            elif own == "platform" and target == "sim":
                problems.append(f"{rel}:{number}: platform includes \"{header}\" from the simulator")
    return problems


def main():
    root = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else pathlib.Path(__file__).resolve().parent.parent
    problems = check(root)
    for problem in problems:
        print(problem)
    if problems:
        print(f"check_layers: {len(problems)} include(s) against the layers")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
