#!/usr/bin/env python3
"""Checks that both names of the maildir provider module export the eight
CMC entry points and nothing else, and depend on no other module of the
project.

usage: maildir_exports_check.py LIB_DIR
"""
import os
import subprocess
import sys

ENTRY_POINTS = {"cmc_logon", "cmc_logoff", "cmc_free", "cmc_send", "cmc_look_up",
                "cmc_list", "cmc_read", "cmc_act_on"}

failed = 0
for name in ("libvelcmc.so", "libmapi32.so"):
    path = os.path.join(sys.argv[1], name)
    symbols = subprocess.run(["nm", "-D", "--defined-only", path], check=True,
                             capture_output=True, text=True).stdout
    exported = {line.split()[-1] for line in symbols.splitlines()
                if len(line.split()) == 3 and line.split()[1] in "TDBRVWiu"}
    needed = subprocess.run(["readelf", "-d", path], check=True, capture_output=True,
                            text=True).stdout
    project_deps = [line for line in needed.splitlines()
                    if "NEEDED" in line and ("libvel" in line or "testcmc" in line)]
    if exported != ENTRY_POINTS or project_deps:
        failed += 1
        print("FAIL %s: extra %s, missing %s, depends on %s" % (
            name, sorted(exported - ENTRY_POINTS), sorted(ENTRY_POINTS - exported), project_deps))
    else:
        print("ok %s" % name)
print("%d passed, %d failed" % (2 - failed, failed))
sys.exit(1 if failed else 0)
