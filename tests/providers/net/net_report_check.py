#!/usr/bin/env python3
"""The network provider's non-delivery reports on their way to the
sender's mailbox: two deliverers at once, a mailbox that refuses them, a
server without SASL, and one that accepts connections and never answers.
Mail is refused by an aiosmtpd server of the tests' own; reports go to the
Dovecot that mail_servers.py starts, or to an IMAP fault server of the
tests' own (ReportImap), and are read back independently of the provider.

usage: net_report_check.py LIB_DIR BIN_DIR
Outside CI (CI unset) a missing package or privilege skips with a reason;
in CI it fails.
"""
import collections
import ctypes
import os
import re
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import net_provider_check as t  # noqa: E402  (takes LIB_DIR and BIN_DIR off argv)
from net_delivery_check import spool_in_child  # noqa: E402

from imap_servers import FaultImap  # noqa: E402
from net_provider_check import (DOMAIN, USERS, FaultServer, NetTest, logoff, logon, send,  # noqa: E402
                                status_output, wait_until)

NOBODY = "nobody@" + DOMAIN
REFUSED = "550 5.1.1 no such user here"


def flush(config, user="ops"):
    """velnet-flush for user: (exit status, standard output, standard error, seconds taken)."""
    began = time.monotonic()
    done = subprocess.run([os.path.join(t.BIN_DIR, "velnet-flush"), user],
                          input=USERS[user] + "\n", text=True, capture_output=True,
                          env=dict(os.environ, VELNET_CONFIG=str(config)), timeout=120)
    return done.returncode, done.stdout, done.stderr, time.monotonic() - began


def waiting_reports(config):
    """velnet-status's report lines: {id: {"user": .., "attempts": .., "next": .., "error": ..}}."""
    out = status_output(config)
    head = re.search(r"^reports: (\d+)$", out, re.M)
    if head is None:
        return None
    found = {}
    for line in out[head.end():].splitlines()[1:int(head.group(1)) + 1]:
        m = re.match(r"  (\S+) user=(\S+) attempts=(\d+)(?: next=(\S+) error=(.*))?$", line)
        if m:
            found[m.group(1)] = {"user": m.group(2), "attempts": int(m.group(3)),
                                 "next": m.group(4), "error": m.group(5)}
    return found


class OutboxRow(ctypes.Structure):
    _fields_ = [("id", ctypes.c_char_p), ("state", ctypes.c_char_p), ("user", ctypes.c_char_p),
                ("sender", ctypes.c_char_p), ("recipients", ctypes.c_char_p),
                ("subject", ctypes.c_char_p), ("attempts", ctypes.c_uint32),
                ("last_reply", ctypes.c_char_p), ("queued_at", ctypes.c_int64),
                ("next_attempt", ctypes.c_int64), ("done_at", ctypes.c_int64)]


class Outbox(ctypes.Structure):
    _fields_ = [("count", ctypes.c_size_t), ("rows", ctypes.POINTER(OutboxRow)),
                ("error", ctypes.c_char_p)]


def outbox_rows(config):
    """The rows of velnet_outbox_list, as dicts."""
    cmc = t.Provider.load()
    cmc.velnet_outbox_list.restype = ctypes.POINTER(Outbox)
    listed = cmc.velnet_outbox_list(str(config).encode())
    try:
        box = listed.contents
        assert box.error is None, box.error
        rows = []
        for i in range(box.count):
            r = box.rows[i]
            rows.append({name: getattr(r, name) for name, _ in OutboxRow._fields_})
        return rows
    finally:
        cmc.velnet_outbox_free(listed)


class ReportImap(FaultImap):
    """The IMAP fault server (IMAP's LOGIN only, no SASL) taking APPEND too,
    or refusing it with append_reply; once `answered` connections have been
    answered, it accepts the next ones and never says a word."""

    def __init__(self):
        super().__init__()
        self.append_reply = None  # e.g. "NO [TRYCREATE] no such mailbox"; None: taken
        self.appends = 0          # APPEND commands received
        self.answered = None      # connections still to be answered; None: every one
        self.unanswered = 0       # connections accepted and never answered

    def session(self, rfile, wfile):
        with self.lock:
            silent = self.answered is not None and self.answered <= 0
            if self.answered is not None:
                self.answered -= 1
            self.unanswered += silent
        if silent:
            while rfile.read(1):  # until the client gives up
                pass
            return
        server = self

        class Appending:
            """The session's input, with its APPEND commands taken here."""

            def readline(self, limit=-1):
                while True:
                    line = rfile.readline(limit)
                    m = re.match(rb"(\S+) APPEND \S+ \(([^)]*)\) \{(\d+)\}\r\n$", line, re.I)
                    if m is None:
                        return line
                    tag = m.group(1)
                    with server.lock:
                        server.appends += 1
                        reply = server.append_reply
                    if reply:
                        wfile.write(tag + b" " + reply.encode() + b"\r\n")
                        wfile.flush()
                        continue
                    wfile.write(b"+ go ahead\r\n")
                    wfile.flush()
                    raw = rfile.read(int(m.group(3)))
                    rfile.readline()
                    with server.lock:
                        uid = max([msg[0] for msg in server.messages] + [0]) + 1
                        flags = set(m.group(2).decode().split())
                        server.messages.append([uid, flags, raw])
                    wfile.write(tag + b" OK APPEND done\r\n")
                    wfile.flush()

        super().session(Appending(), wfile)


class Reports(NetTest):
    """Mail refused by a programmed server; the IMAP logons in plain text."""

    def configure(self, *, connect_timeout=None, **kw):
        kw.setdefault("tls", "none")
        kw.setdefault("ca_file", "")
        super().configure(**kw)
        if connect_timeout is not None:
            text = self.config.read_text()
            self.config.write_text(text.replace("connect_timeout = 8",
                                                "connect_timeout = %d" % connect_timeout))

    def spooled_reports(self):
        return sorted(p.name for p in (self.spool / "reports").iterdir()
                      if not p.name.endswith(".state"))

    def test_two_deliverers_at_once_append_each_report_once(self):
        box = self.imap("ops")
        box.uid("STORE", "1:*", "+FLAGS", "(\\Deleted)")
        box.expunge()
        box.logout()
        down = t.mail_servers.free_port()
        with FaultServer() as server:
            server.rcpt_replies[NOBODY] = REFUSED
            # Queued while no server answers; then failed for good by a flush
            # while the mailbox cannot be reached: the reports wait.
            self.configure(smtp_urls=["smtp://127.0.0.1:%d" % down], retry_delay=3600, drain=0)
            spool_in_child([("twice? %d" % i, "x\n") for i in range(12)], [("nobody", 0)])
            self.configure(imap_port=down, smtp_urls=[server.url()], retry_delay=3600)
            self.assertEqual(flush(self.config)[0], 1)
            self.assertEqual(len(self.spooled_reports()), 12, self.log_text())
            # Two deliverers at once, as a cron run beside a logged-on host.
            self.configure(smtp_urls=[server.url()], retry_delay=3600)
            env = dict(os.environ, VELNET_CONFIG=str(self.config))
            runs = [subprocess.Popen([os.path.join(t.BIN_DIR, "velnet-flush"), "ops"],
                                     stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL, env=env) for _ in range(2)]
            for run in runs:  # both given their password before either is waited for
                run.stdin.write(USERS["ops"].encode() + b"\n")
                run.stdin.close()
            for run in runs:
                run.wait(timeout=60)
        ids = collections.Counter(m["Message-ID"] for _, m in self.mailbox("ops")
                                  if m.get_content_type() == "multipart/report")
        self.assertEqual(len(ids), 12, self.log_text())
        self.assertEqual({n for n in ids.values()}, {1}, ids)
        self.assertEqual(self.spooled_reports(), [])
        self.assertEqual(waiting_reports(self.config), {})
        box = self.imap("ops")
        box.uid("STORE", "1:*", "+FLAGS", "(\\Deleted)")
        box.expunge()
        box.logout()

    def test_a_report_refused_waits_its_turn_is_shown_and_expires(self):
        with ReportImap() as imap, FaultServer() as server:
            server.rcpt_replies[NOBODY] = REFUSED
            imap.append_reply = "NO [TRYCREATE] no such mailbox"
            self.configure(imap_port=imap.port, smtp_urls=[server.url()], retry_delay=60,
                           extra="retry_for = 1h\n")
            rc, session = logon("ops", USERS["ops"])
            self.assertEqual(rc, 0)
            self.assertEqual(send(session, [("nobody", 0)], "refused", "x\n"), 0)
            # Logged on through IMAP's LOGIN (the server has no SASL), the
            # append was refused: the report waits, with its state shown.
            wait_until(lambda: imap.appends == 1 and (waiting_reports(self.config) or {}),
                       what="a refused append")
            (report_id, shown), = waiting_reports(self.config).items()
            self.assertEqual((shown["user"], shown["attempts"]), ("ops", 1))
            self.assertIn("no such mailbox", shown["error"])
            row, = [r for r in outbox_rows(self.config) if r["state"] == b"report"]
            self.assertEqual((row["id"].decode(), row["user"], row["attempts"]),
                             (report_id, b"ops", 1))
            self.assertIn(b"no such mailbox", row["last_reply"])
            self.assertGreaterEqual(row["next_attempt"], time.time() + 50)
            # Not tried again before its time, though passes come every 2 s.
            time.sleep(2.5)
            self.assertEqual(imap.appends, 1)
            logoff(session)

            # A flush tries it now, and says it still waits.
            status, out, err, _ = flush(self.config)
            self.assertEqual(status, 1, out + err)
            self.assertIn("1 report(s) to ops not appended yet", err)
            self.assertEqual(imap.appends, 2)
            self.assertEqual(waiting_reports(self.config)[report_id]["attempts"], 2)
            # Taken: appended unread, and gone from the spool.
            imap.append_reply = None
            status, out, err, _ = flush(self.config)
            self.assertEqual(status, 0, out + err)
            self.assertEqual(len(imap.messages), 1)
            uid, flags, raw = imap.messages[0]
            self.assertEqual(flags, set())
            self.assertIn(b"Content-Type: multipart/report", raw)
            self.assertIn(b"report." + report_id.encode(), raw)
            self.assertEqual(list((self.spool / "reports").iterdir()), [])

            # Refused until it is older than retry_for: then it goes, logged.
            imap.append_reply = "NO [TRYCREATE] no such mailbox"
            self.configure(imap_port=imap.port, smtp_urls=[server.url()], retry_delay=60,
                           extra="retry_for = 2\n")
            rc, session = logon("ops", USERS["ops"])
            self.assertEqual(send(session, [("nobody", 0)], "refused again", "x\n"), 0)
            wait_until(lambda: imap.appends == 3, what="the second report's first attempt")
            logoff(session)
            (late_id, shown), = waiting_reports(self.config).items()
            time.sleep(2.2)
            status, out, err, _ = flush(self.config)
            self.assertEqual(status, 1, out + err)
            self.assertIn("expired", err)
            self.assertIn("report %s for ops expired" % late_id, self.log_text())
            self.assertEqual(waiting_reports(self.config), {})
            self.assertEqual(list((self.spool / "reports").iterdir()), [])

    def test_a_silent_server_costs_one_time_out_per_user_and_holds_no_mail(self):
        down = t.mail_servers.free_port()
        with ReportImap() as imap, FaultServer() as server:
            server.rcpt_replies[NOBODY] = REFUSED
            self.configure(imap_port=imap.port, smtp_urls=["smtp://127.0.0.1:%d" % down],
                           retry_delay=1, drain=0)
            spool_in_child([("silent %d" % i, "x\n") for i in range(3)], [("nobody", 0)])
            # Three reports for a server that accepts and never answers: one
            # connection, one time-out, for all three.
            imap.answered = 0
            self.configure(imap_port=imap.port, smtp_urls=[server.url()], retry_delay=1,
                           connect_timeout=2)
            status, out, err, took = flush(self.config)
            self.assertEqual(status, 1, out + err)
            self.assertEqual(imap.unanswered, 1)
            # (One time-out of 2 s and the program's start; three would be 6 s.)
            self.assertLess(took, 5.5)
            shown = waiting_reports(self.config)
            self.assertEqual([r["attempts"] for r in shown.values()], [1, 1, 1], shown)

            # Logged on (its two connections answered: the SASL login refused,
            # then IMAP's LOGIN), the reports are due again and the delivery's
            # own thread sends mail while they wait.
            imap.answered = 2
            rc, session = logon("ops", USERS["ops"])
            self.assertEqual(rc, 0)
            wait_until(lambda: imap.unanswered == 2, what="the reports' second round")
            self.assertEqual(send(session, [("dba", 0)], "not held up", "x\n"), 0)
            # (Behind the round, it would wait for the round's 4 s left.)
            wait_until(lambda: "not held up" in server.subjects(), seconds=3,
                       what="mail sent while the reports wait")
            wait_until(lambda: [r["attempts"] for r in waiting_reports(self.config).values()]
                       == [2, 2, 2], what="the round's end")
            self.assertEqual(imap.unanswered, 2, self.log_text())
            logoff(session)


if __name__ == "__main__":
    unittest.main(verbosity=2)
