#!/usr/bin/env python3
"""A 100,000-row query mailed as an attachment from SQL (velmail extension,
maildir provider) against COPY (query) TO a file, in the same run on the
same cluster: min and median of 3.

    bench/pgext_bench.py BUILD-DIR
"""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "host", "pgext", "test"))
import pgext_test  # noqa: E402

QUERY = "select g as id, md5(g::text) as name, g * 1.5 as price from generate_series(1, 100000) g"


def timed(cluster, sql):
    runs = []
    for _ in range(3):
        started = time.perf_counter()
        cluster.psql(sql, db="bench")
        runs.append(time.perf_counter() - started)
    return min(runs), statistics.median(runs)


def main():
    build = sys.argv[1]
    bindir = "/usr/lib/postgresql/15/bin"
    tmp = tempfile.mkdtemp(prefix="velpgbench-", dir="/tmp")
    os.chmod(tmp, 0o755)
    cluster = None
    try:
        staged = pgext_test.stage(build, os.path.join(tmp, "root"), bindir)
        accounts = os.path.join(tmp, "accounts")
        subprocess.check_call([os.path.join(build, "bin", "velhost"), "--data", accounts,
                               "--init"], stderr=subprocess.DEVNULL)
        pgext_test.chown_to_server(os.path.join(accounts, "mail"))
        cluster = pgext_test.Cluster(tmp, staged,
                                     {"velmail.maildir_root": os.path.join(accounts, "mail")})
        cluster.psql("create database bench")
        cluster.psql("create extension velmail", db="bench")
        out = os.path.join(cluster.data, "copy.out")
        copy = timed(cluster, "copy (%s) to '%s'" % (QUERY, out))
        mail = timed(cluster, "call velmail.xp_startmail('ops', 'ops-demo'); "
                     "call velmail.xp_sendmail(recipient => 'dba', subject => 'big', "
                     "query => '%s', attach_result => true, width => 200)" % QUERY)
        print("COPY TO file        min %.3f s  median %.3f s" % copy)
        print("xp_sendmail attach  min %.3f s  median %.3f s" % mail)
        print("ratio (median)      %.2fx (goal <= 1.5x)" % (mail[1] / copy[1]))
    finally:
        if cluster:
            cluster.stop()
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
