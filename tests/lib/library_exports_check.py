#!/usr/bin/env python3
"""Checks that the library exports DllMain, the six procedures and
xp_srv_set_mailprofile and nothing else, and that it carries no copy of the
functions the host's libraries serve: those stay undefined, to be bound to
whichever libraries the host process supplies.

usage: library_exports_check.py LIBRARY
"""
import subprocess
import sys

EXPORTS = {"DllMain", "xp_startmail", "xp_stopmail", "xp_sendmail", "xp_findnextmsg",
           "xp_readmail", "xp_deletemail", "xp_srv_set_mailprofile"}
IMPORTED_PREFIXES = ("srv_", "ct_", "cs_", "com_")

path = sys.argv[1]
defined = subprocess.run(["nm", "-D", "--defined-only", path], check=True,
                         capture_output=True, text=True).stdout
exported = {line.split()[-1] for line in defined.splitlines()
            if len(line.split()) == 3 and line.split()[1] in "TDBRVWiu"}
undefined = subprocess.run(["nm", "-D", "--undefined-only", path], check=True,
                           capture_output=True, text=True).stdout
imported = {line.split()[-1] for line in undefined.splitlines()}

problems = []
if exported != EXPORTS:
    problems.append("exports: extra %s, missing %s" % (sorted(exported - EXPORTS),
                                                      sorted(EXPORTS - exported)))
own_copies = sorted(name for name in exported if name.startswith(IMPORTED_PREFIXES))
if own_copies:
    problems.append("defines host functions itself: %s" % own_copies)
for needed in ("srv_alloc", "srv_log", "ct_init", "cs_time", "com_uninitialize_tds_text"):
    if needed not in imported:
        problems.append("%s is not imported" % needed)
if "xp_srv_route_err" in imported:
    problems.append("xp_srv_route_err must be looked up, not linked")
for problem in problems:
    print("FAIL " + problem)
print("%d passed, %d failed" % (0 if problems else 1, 1 if problems else 0))
sys.exit(1 if problems else 0)
