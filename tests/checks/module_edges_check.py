#!/usr/bin/env python3
"""Which module may include which: the whole tree against one table.

Every #include "..." of every C++ file in the tree is resolved to the file
it names (beside the including file, from the tree's root, from lib/ or
providers/, or from the folders of include directories: include/,
platform/, hosts/runtime/, client/) and so to the module that holds it. An edge
the table below does not allow fails the check, and so does an include
that names no file of the tree (system headers use <...>). The edges
found are printed, one line per module.

    module_edges_check.py SOURCE_DIR
"""
import pathlib
import re
import sys

# Module of a file: the first of these prefixes its path starts with.
MODULES = [
    ("providers/common/", "providers/common"),
    ("providers/mime/", "providers/mime"),
    ("providers/maildir/", "providers/maildir"),
    ("providers/net/", "providers/net"),
    ("providers/testcmc/", "providers/testcmc"),
    ("hosts/velhost/", "hosts/velhost"),
    ("hosts/pgext/", "hosts/pgext"),
    ("hosts/runtime/", "hosts/runtime"),
    ("messages/", "messages"),
    ("client/", "client"),
    ("platform/", "platform"),
    ("include/", "include"),
    ("lib/", "lib"),
    ("tools/", "tools"),
    ("tests/", "tests"),
    ("bench/", "bench"),
]

BASE = {"include", "platform"}  # the contract and the operating system
PROVIDER_BASE = BASE | {"providers/common", "providers/mime"}
# What each module may include besides itself. The library never reaches
# a host, the client library, a provider or a tool but through the
# contract; providers never reach each other; hosts, tools, tests and
# benchmarks stand on the rest.
ALLOWED = {
    "include": set(),
    "platform": {"include"},
    "lib": BASE,
    "hosts/runtime": BASE,
    "messages": BASE | {"hosts/runtime"},
    "client": BASE,
    "providers/common": BASE,
    "providers/mime": BASE | {"providers/common"},
    "providers/maildir": PROVIDER_BASE,
    "providers/net": PROVIDER_BASE,
    "providers/testcmc": BASE | {"providers/common"},
    # The host program: the host runtime, the client library, the maildir
    # provider's accounts (its demo data) and the network provider's
    # sample configuration.
    "hosts/velhost": BASE | {"hosts/runtime", "client", "providers/maildir", "providers/net"},
    # PostgreSQL as the host: the host runtime and the host program's
    # profile password, the client library's host backend, the network
    # provider's outbox listing, and (its test module) the test provider.
    "hosts/pgext": BASE | {"hosts/runtime", "hosts/velhost", "client", "providers/net",
                           "providers/testcmc"},
    # The operators' commands: the providers they serve.
    "tools": PROVIDER_BASE | {"providers/maildir", "providers/net"},
}
ANYTHING = None  # tests and benchmarks
ALLOWED["tests"] = ANYTHING
ALLOWED["bench"] = ANYTHING

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)
SEARCH = ["", "lib", "providers", "include", "platform", "hosts/runtime", "client",
          "hosts/velhost", "hosts/pgext", "tests/support"]
# Files that include a third party's headers with quotes, as its own
# convention has them (PostgreSQL's server headers).
THIRD_PARTY_QUOTED = {"hosts/pgext/pg_headers.h"}
# Headers the build generates (from cmake/NAME.in), which any module may
# include: they hold facts of the build, such as its version.
GENERATED = {"velmail_version.h"}


def module_of(relative):
    for prefix, module in MODULES:
        if relative.startswith(prefix):
            return module
    return None


def resolve(root, including, name):
    candidates = [including.parent / name] + [root / d / name for d in SEARCH]
    for candidate in candidates:
        if candidate.is_file():
            return candidate.resolve().relative_to(root.resolve()).as_posix()
    return None


def main():
    root = pathlib.Path(sys.argv[1]).resolve()
    files = [p for p in root.rglob("*") if p.suffix in (".cc", ".h", ".inc")
             and not any(part.startswith("build") or part.startswith(".") for part in
                         p.relative_to(root).parts)]
    edges, bad = {}, []
    for path in sorted(files):
        relative = path.relative_to(root).as_posix()
        source = module_of(relative)
        if source is None:
            bad.append(f"{relative}: in no module of the table")
            continue
        for name in INCLUDE.findall(path.read_text(errors="replace")):
            if name in GENERATED and (root / "cmake" / (name + ".in")).is_file():
                continue
            target_file = resolve(root, path, name)
            if target_file is None and relative in THIRD_PARTY_QUOTED:
                continue
            if target_file is None:
                bad.append(f'{relative}: "{name}" names no file of the tree')
                continue
            target = module_of(target_file)
            if target == source:
                continue
            edges.setdefault(source, set()).add(target)
            allowed = ALLOWED.get(source, set())
            if allowed is not ANYTHING and target not in allowed:
                bad.append(f'{relative}: includes "{name}" of {target}, which {source} may not use')
    for module in sorted(edges):
        print(f"{module}: {' '.join(sorted(edges[module]))}")
    if bad:
        print("\n".join(bad))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
