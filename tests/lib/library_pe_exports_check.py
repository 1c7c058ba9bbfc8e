#!/usr/bin/env python3
"""Checks velmail.dll's export and import tables, as objdump -p shows them:
it exports DllMain, the six procedures and xp_srv_set_mailprofile by their
plain names and nothing else; it imports the srv_ functions from velsrv.dll
and the ct_, cs_ and com_ functions from velct.dll (so that the host's own
libraries serve them), keeps no copy of any of them, and needs no DLL
besides those two and the system's own (the C and C++ runtimes are linked
in).

usage: library_pe_exports_check.py OBJDUMP LIBRARY
"""
import re
import subprocess
import sys

EXPORTS = {"DllMain", "xp_startmail", "xp_stopmail", "xp_sendmail", "xp_findnextmsg",
           "xp_readmail", "xp_deletemail", "xp_srv_set_mailprofile"}
# Where each prefix must come from.
IMPORTED_FROM = {"srv_": "velsrv.dll", "ct_": "velct.dll", "cs_": "velct.dll",
                 "com_": "velct.dll"}
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll"}
NEEDED = ("srv_alloc", "srv_log", "srv_props", "ct_init", "ct_callback", "cs_ctx_alloc",
          "cs_time", "com_uninitialize_tds_text")

objdump, path = sys.argv[1], sys.argv[2]
text = subprocess.run([objdump, "-p", path], check=True, capture_output=True,
                      text=True).stdout

# Exports: the lines of the name pointer table, "[   n] Name".
exported = set()
in_names = False
for line in text.splitlines():
    if line.startswith("[Ordinal/Name Pointer] Table"):
        in_names = True
        continue
    if in_names:
        match = re.match(r"\s+\[\s*\d+\]\s+(\S+)$", line)
        if not match:
            break
        exported.add(match.group(1))

# Imports: "DLL Name: X" followed by "hint name" rows.
imports = {}
current = None
for line in text.splitlines():
    match = re.match(r"\s+DLL Name: (\S+)", line)
    if match:
        current = match.group(1).lower()
        imports.setdefault(current, set())
        continue
    if current is not None:
        row = re.match(r"\s+[0-9a-f]+\s+(\d+)\s+(\S+)$", line)
        if row:
            imports[current].add(row.group(2))
        elif not line.strip():
            current = None

problems = []
if not exported:
    problems.append("no export table found")
if exported != EXPORTS:
    problems.append("exports: extra %s, missing %s" % (sorted(exported - EXPORTS),
                                                      sorted(EXPORTS - exported)))
own_copies = sorted(name for name in exported if name.startswith(tuple(IMPORTED_FROM)))
if own_copies:
    problems.append("defines host functions itself: %s" % own_copies)
for dll in sorted(imports):
    if dll not in SYSTEM_DLLS and dll not in IMPORTED_FROM.values():
        problems.append("imports from %s, which a host does not supply" % dll)
for dll, names in sorted(imports.items()):
    for name in sorted(names):
        for prefix, home in IMPORTED_FROM.items():
            if name.startswith(prefix) and dll != home:
                problems.append("%s is imported from %s, not %s" % (name, dll, home))
        if dll in IMPORTED_FROM.values() and not name.startswith(tuple(IMPORTED_FROM)):
            problems.append("%s is imported from %s" % (name, dll))
all_imported = set().union(*imports.values()) if imports else set()
for needed in NEEDED:
    if needed not in all_imported:
        problems.append("%s is not imported" % needed)
if "xp_srv_route_err" in all_imported:
    problems.append("xp_srv_route_err must be looked up, not linked")
for problem in problems:
    print("FAIL " + problem)
print("%d passed, %d failed" % (0 if problems else 1, 1 if problems else 0))
sys.exit(1 if problems else 0)
