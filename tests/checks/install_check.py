#!/usr/bin/env python3
"""The installed tree works from wherever it is: installed with the build's
own rule into a fresh prefix (a path with a space in it), then moved
elsewhere, velhost runs its tour from there on a fresh data directory and
writes the same transcript as the build's velhost. Also checked: the
installation writes nothing outside its prefix, every installed ELF file's
run path is relative to itself ($ORIGIN), every program reports the
project's version, and the modules hosts load by name are there under
those names.

    install_check.py BUILD_DIR SOURCE_DIR VERSION MODULE_DIR  (relative to the prefix)
"""
import os
import shutil
import subprocess
import sys
import tempfile

FAILURES = []


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what, flush=True)
    if not condition:
        FAILURES.append(what)


def elf_files(root):
    for base, _, files in os.walk(root):
        for name in files:
            path = os.path.join(base, name)
            if os.path.islink(path):
                continue
            with open(path, "rb") as f:
                if f.read(4) == b"\x7fELF":
                    yield path


def run_paths(path):
    out = subprocess.run(["readelf", "-d", path], capture_output=True, text=True).stdout
    paths = []
    for line in out.splitlines():
        if "(RUNPATH)" in line or "(RPATH)" in line:
            paths += line.split("[", 1)[1].rstrip("]").split(":")
    return paths


def main():
    build, source, version, module_dir = sys.argv[1:5]
    tmp = tempfile.mkdtemp(prefix="velinstall-")
    try:
        first = os.path.join(tmp, "first prefix")
        # DESTDIR catches anything written to an absolute path outside the
        # prefix: it would land in the stray directory.
        stray = os.path.join(tmp, "stray")
        run = subprocess.run(["cmake", "--install", build, "--prefix", first],
                             env=dict(os.environ, DESTDIR=stray), capture_output=True, text=True)
        check(run.returncode == 0, "cmake --install succeeds: " + run.stderr.strip()[-300:])
        staged = stray + first
        outside = []
        for base, _, files in os.walk(stray):
            for name in files:
                path = os.path.join(base, name)
                if not path.startswith(staged + os.sep):
                    outside.append(path[len(stray):])
        check(not outside, "nothing is installed outside the prefix: %s" % outside[:5])

        # Moved: nothing may point back at where it was installed.
        moved = os.path.join(tmp, "moved", "elsewhere")
        os.makedirs(os.path.dirname(moved))
        shutil.move(staged, moved)
        shutil.rmtree(stray)

        bad_paths = {}
        for path in elf_files(moved):
            bad = [p for p in run_paths(path) if not p.startswith("$ORIGIN")]
            if bad:
                bad_paths[os.path.relpath(path, moved)] = bad
        check(not bad_paths, "run paths are relative to the file: %s" % bad_paths)

        modules = os.path.join(moved, module_dir)
        for name in ("libvelmail.so", "libvelsrv.so", "libvelmsgs.so", "libvelct.so",
                     "libvelmime.so", "libvelcmc.so", "libmapi32.so", "libvelnet.so"):
            check(os.path.exists(os.path.join(modules, name)), "module " + name + " installed")
        for page in ("man1/velhost.1.gz", "man8/velcmc-passwd.8.gz", "man8/velnet-flush.8.gz",
                     "man8/velnet-status.8.gz", "man5/velnet.ini.5.gz"):
            check(os.path.exists(os.path.join(moved, "share", "man", page)), "manual " + page)
        check(os.path.exists(os.path.join(moved, "etc", "velmail", "velnet.ini")),
              "sample configuration installed")
        check(os.path.exists(os.path.join(moved, "include", "velmail", "velsrv.h")),
              "contract headers installed")

        for program in ("bin/velhost", "sbin/velcmc-passwd", "sbin/velnet-flush",
                        "sbin/velnet-status"):
            run = subprocess.run([os.path.join(moved, program), "--version"],
                                 capture_output=True, text=True)
            expected = "%s %s\n" % (os.path.basename(program), version)
            check(run.returncode == 0 and run.stdout == expected,
                  "%s --version says %r (got %r)" % (program, expected, run.stdout + run.stderr))

        # The tour from the moved tree, on a fresh data directory, with no
        # hint of where the modules are: the transcript the build's velhost
        # writes (tests/hosts/velhost/transcripts/demo.expected).
        env = {k: v for k, v in os.environ.items() if k not in ("VEL_LIB_DIR", "VELCMC_ROOT")}
        run = subprocess.run(
            ["cmake", "-DVELHOST=" + os.path.join(moved, "bin", "velhost"),
             "-DEXPECTED=" + os.path.join(source, "tests", "hosts", "velhost", "transcripts", "demo.expected"),
             "-DWORK=" + os.path.join(tmp, "demo"), "-DARGS=--demo",
             "-P", os.path.join(source, "tests", "hosts", "velhost", "transcripts", "run_transcript.cmake")],
            env=env, capture_output=True, text=True)
        check(run.returncode == 0, "velhost --demo from the moved tree: the expected transcript"
              + ("" if run.returncode == 0 else "\n" + run.stdout + run.stderr))
        win_ini = os.path.join(tmp, "demo", "data", "win.ini")
        provider = open(win_ini).read() if os.path.exists(win_ini) else ""
        check(os.path.join(modules, "libvelcmc.so") in provider,
              "the data directory names the moved tree's provider: %r" % provider)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
