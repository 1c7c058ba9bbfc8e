#!/usr/bin/env python3
"""Each program's --help and its manual page agree: the same options, the
same version. The options of --help are its lines that start with an
option; those of the page are the tags of its OPTIONS section.

    man_options_check.py VERSION MAN_DIR PROGRAM:PAGE...
"""
import os
import re
import subprocess
import sys

OPTION = re.compile(r"(?<![\w-])(--?[a-z][a-z-]*)")


def help_options(program):
    out = subprocess.run([program, "--help"], capture_output=True, text=True, timeout=30)
    found = set()
    for line in out.stdout.splitlines():
        if line.lstrip().startswith("-"):
            # Only the option column: up to two spaces after the options.
            head = re.split(r"\s{2,}", line.strip())[0]
            found |= set(OPTION.findall(head))
    return out.returncode, found


def page_options(page):
    text = open(page).read()
    section = re.search(r"^\.SH OPTIONS\n(.*?)(?=^\.SH )", text, re.S | re.M)
    if not section:
        return set()
    lines = section.group(1).splitlines()
    found = set()
    for i, line in enumerate(lines[:-1]):
        if line.startswith(".TP"):
            # The tag: a font macro, the option(s) and an argument.
            tag = re.sub(r"^\.\w+\s*", "", lines[i + 1]).replace("\\-", "-").replace('"', " ")
            found |= set(OPTION.findall(tag))
    return found


def main():
    version, man_dir = sys.argv[1:3]
    failures = 0
    for pair in sys.argv[3:]:
        program, page = pair.rsplit(":", 1)
        name = os.path.basename(program)
        rc, from_help = help_options(program)
        from_page = page_options(os.path.join(man_dir, page))
        ok = rc == 0 and from_help and from_help == from_page
        print(("ok   " if ok else "FAIL ") + "%s --help %s, %s %s" %
              (name, sorted(from_help), page, sorted(from_page)))
        failures += not ok
        out = subprocess.run([program, "--version"], capture_output=True, text=True).stdout
        header = open(os.path.join(man_dir, page)).readline()
        ok = out == "%s %s\n" % (name, version) and ('"velmail %s"' % version) in header
        print(("ok   " if ok else "FAIL ") + "%s --version %r, page %s" % (name, out, header.strip()))
        failures += not ok
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
