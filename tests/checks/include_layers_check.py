#!/usr/bin/env python3
"""The library's layers point one way.

Lists, for each folder of the library, the folders its files include from,
and fails on any include that points up or sideways:

    library.cc          the wiring, above everything
    send/  read/        the procedures that send and read mail (siblings)
    mapi/               the provider binding, the worker, the session
    frame/              error reporting, start-up, parameters
    platform/, include/ the operating system and the binary contract

    include_layers_check.py SOURCE_DIR   (the tree's root; the library is lib/)
"""
import pathlib
import re
import sys

RANK = {"platform": 0, "include": 0, "frame": 1, "mapi": 2, "send": 3, "read": 3, "": 4}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)
# Headers found through include directories rather than by folder.
BY_NAME = {"platform.h": "platform"}


def folder_of(included, source_dir):
    if included in BY_NAME:
        return BY_NAME[included]
    if "/" in included:
        return included.split("/", 1)[0]
    if (source_dir.parent / "include" / included).exists():
        return "include"
    return None


def main():
    source_dir = pathlib.Path(sys.argv[1]) / "lib"
    files = [source_dir / "library.cc"]
    for folder in ("frame", "mapi", "send", "read"):
        files += sorted((source_dir / folder).glob("*.[ch]*"))
    edges, bad = {}, []
    for path in files:
        layer = path.parent.name if path.parent != source_dir else ""
        for included in INCLUDE.findall(path.read_text()):
            target = folder_of(included, source_dir)
            if target is None or target not in RANK:
                bad.append(f"{path.relative_to(source_dir)}: includes {included} from outside the library")
                continue
            edges.setdefault(layer or "library.cc", set()).add(target)
            if target != layer and RANK[target] >= RANK[layer]:
                bad.append(f"{path.relative_to(source_dir)}: includes {included}, "
                           f"which is not below {layer or 'library.cc'}")
    for layer in sorted(edges):
        print(f"{layer}: {' '.join(sorted(edges[layer]))}")
    if bad:
        print("\n".join(bad))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
