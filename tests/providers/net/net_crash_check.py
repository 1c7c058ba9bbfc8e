#!/usr/bin/env python3
"""A crash during delivery on a slow disk: velnet-flush delivers a queue of
messages to an SMTP server of the tests' own while each of its flushes
takes milliseconds (a preloaded module of the tests', slow_sync.cc, named
by VELTEST_SLOW_SYNC), and is killed at random points; a last flush then
runs to its end. Every message arrives, and a kill repeats at most the
transactions under way: one per delivery session.

usage: net_crash_check.py LIB_DIR BIN_DIR
Outside CI (CI unset) a missing package or privilege skips with a reason;
in CI it fails.
"""
import collections
import os
import random
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import net_provider_check as t  # noqa: E402  (takes LIB_DIR and BIN_DIR off argv)
import net_delivery_check as d  # noqa: E402

MESSAGES = 300
SESSIONS = 2


class CrashDuringDelivery(t.NetTest):
    def configure(self, **kw):
        kw.setdefault("tls", "none")
        kw.setdefault("ca_file", "")
        super().configure(**kw)

    def flush_killed(self, flush_ms, after):
        """Starts velnet-flush on the slow disk and kills it (SIGKILL) after
        that many seconds; False when it ended by itself first."""
        env = dict(os.environ, VELNET_CONFIG=str(self.config), VELTEST_SYNC_MS=str(flush_ms))
        env["LD_PRELOAD"] = ":".join(p for p in (os.environ.get("LD_PRELOAD"),
                                                 os.environ["VELTEST_SLOW_SYNC"]) if p)
        flush = subprocess.Popen([os.path.join(t.BIN_DIR, "velnet-flush"), "ops"],
                                 stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL, env=env, text=True)
        flush.stdin.write(t.USERS["ops"] + "\n")
        flush.stdin.close()
        try:
            flush.wait(after)
            return False
        except subprocess.TimeoutExpired:
            flush.kill()
            flush.wait()
            return True

    def test_a_kill_on_a_slow_disk_repeats_at_most_the_transactions_under_way(self):
        if not os.environ.get("VELTEST_SLOW_SYNC"):
            self.fail("VELTEST_SLOW_SYNC names no module (run it through ctest)")
        seed = int(os.environ.get("VELTEST_SEED", time.time()))
        print("seed %d" % seed)
        chance = random.Random(seed)
        port = t.mail_servers.free_port()
        self.configure(smtp_urls=["smtp://127.0.0.1:%d" % port], retry_delay=3600, drain=0,
                       extra="connections = %d\n" % SESSIONS)
        subjects = ["crash %03d" % i for i in range(MESSAGES)]
        d.spool_in_child((subject, "x\n") for subject in subjects)
        with t.FaultServer(port) as server:
            kills = 0
            # Flushes of 1 to 20 ms; each run killed somewhere in its work.
            for flush_ms in (20, 5, 1, 5):
                if self.flush_killed(flush_ms, chance.uniform(0.2, 0.8)):
                    kills += 1
                print("flushes of %d ms: %d received" % (flush_ms, len(server.received)))
            status, out, err = d.flush(self.config)
            self.assertEqual(status, 0, out + err)
            received = collections.Counter()
            for _, _, content in server.received:
                subject = content.split(b"Subject: ", 1)[1].split(b"\r\n", 1)[0].split(b"\n")[0]
                received[subject.decode()] += 1
        lost = [s for s in subjects if received[s] == 0]
        again = sum(n - 1 for n in received.values())
        print("%d kills, %d messages received, %d again" % (kills, sum(received.values()), again))
        self.assertEqual(lost, [])
        self.assertGreater(kills, 0, "no run was killed during its work")
        self.assertLessEqual(again, kills * SESSIONS,
                             "sent again: %r" % {s: n for s, n in received.items() if n > 1})
        self.assertEqual(list((self.spool / "queue").glob("*.msg")), [])


if __name__ == "__main__":
    unittest.main(verbosity=2)
