#!/usr/bin/env python3
"""Checks that both names of the maildir provider module export the eight
CMC entry points and nothing else, that the network provider exports them
and its outbox listing (velnet_outbox.h) and nothing else, and that none
depends on another module of the project but libvelmime.so, the message
library every provider shares (found beside it).

usage: maildir_exports_check.py LIB_DIR
"""
import os
import re
import subprocess
import sys

ENTRY_POINTS = {"cmc_logon", "cmc_logoff", "cmc_free", "cmc_send", "cmc_look_up",
                "cmc_list", "cmc_read", "cmc_act_on"}

MODULES = {"libvelcmc.so": ENTRY_POINTS, "libmapi32.so": ENTRY_POINTS,
           "libvelnet.so": ENTRY_POINTS | {"velnet_outbox_list", "velnet_outbox_free"}}

failed = 0
for name, expected in MODULES.items():
    path = os.path.join(sys.argv[1], name)
    symbols = subprocess.run(["nm", "-D", "--defined-only", path], check=True,
                             capture_output=True, text=True).stdout
    exported = {line.split()[-1] for line in symbols.splitlines()
                if len(line.split()) == 3 and line.split()[1] in "TDBRVWiu"}
    needed = subprocess.run(["readelf", "-d", path], check=True, capture_output=True,
                            text=True).stdout
    project_deps = [line for line in needed.splitlines()
                    if "NEEDED" in line and ("libvel" in line or "testcmc" in line)
                    and not re.search(r"\[libvelmime\.so(\.\d+)*\]", line)]
    if exported != expected or project_deps:
        failed += 1
        print("FAIL %s: extra %s, missing %s, depends on %s" % (
            name, sorted(exported - expected), sorted(expected - exported), project_deps))
    else:
        print("ok %s" % name)
print("%d passed, %d failed" % (len(MODULES) - failed, failed))
sys.exit(1 if failed else 0)
