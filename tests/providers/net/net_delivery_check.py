#!/usr/bin/env python3
"""The network provider's delivery when things go wrong: a full disk, an
outage, a refused login, permanent refusals, damaged spool files and
broken configurations. Delivery goes to SMTP servers of the tests' own
(aiosmtpd, programmed with faults) and reading to the Dovecot that
mail_servers.py starts; what arrives is read with Python's imaplib and
email, independently of the provider.

usage: net_delivery_check.py LIB_DIR BIN_DIR
Outside CI (CI unset) a missing package or privilege skips with a reason;
in CI it fails.
"""
import asyncio
import ctypes
import email
import email.policy
import os
import pathlib
import shutil
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import net_provider_check as t  # noqa: E402  (takes LIB_DIR and BIN_DIR off argv)

from net_provider_check import (DOMAIN, USERS, FaultServer, NetTest, logoff, logon, send,  # noqa: E402
                                status_output, wait_until)

CMC_E_INVALID_CONFIGURATION = 10


def flush(config, user="ops", password=None):
    """velnet-flush for user: (exit status, standard output, standard error)."""
    done = subprocess.run([os.path.join(t.BIN_DIR, "velnet-flush"), user],
                          input=(password or USERS[user]) + "\n", text=True, capture_output=True,
                          env=dict(os.environ, VELNET_CONFIG=str(config)), timeout=120)
    return done.returncode, done.stdout, done.stderr


def spool_in_child(messages, recipients=(("dba", 0),)):
    """Spools messages of ops to recipients in another process, which ends
    without a logoff, so that this process's delivery thread never takes up
    that spool."""
    script = (
        "import os, sys\n"
        "sys.path.insert(0, %r)\n"
        "sys.argv[1:] = [%r, %r]\n"
        "import net_provider_check as t\n"
        "rc, s = t.logon('ops', %r)\n"
        "assert rc == 0, rc\n"
        "for subject, text in %r:\n"
        "    assert t.send(s, %r, subject, text) == 0\n"
        "os._exit(0)\n"
    ) % (os.path.dirname(os.path.abspath(__file__)), t.LIB_DIR, t.BIN_DIR, USERS["ops"],
         list(messages), list(recipients))
    subprocess.run([sys.executable, "-c", script], env=dict(os.environ), check=True, timeout=60)


class DroppingAtData:
    """An SMTP server of the test's own, scripted line by line: it refuses
    one recipient (550) and, on the first connection, closes it when DATA
    comes; on later ones it takes the message. received: each taken
    message's recipients."""

    def __init__(self, refused):
        import socket
        self.refused = refused
        self.received = []
        self.dropped = 0
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(8)
        self.port = self.listener.getsockname()[1]
        self.thread = threading.Thread(target=self.serve, daemon=True)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.listener.close()
        self.thread.join(5)

    def serve(self):
        connections = 0
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            connections += 1
            with conn, conn.makefile("rwb") as f:
                self.converse(f, drop_at_data=connections == 1)

    def converse(self, f, drop_at_data):
        def say(line):
            f.write(line.encode() + b"\r\n")
            f.flush()
        say("220 test ESMTP")
        recipients = []
        for raw in f:
            line = raw.decode(errors="replace").rstrip("\r\n")
            verb = line[:4].upper()
            if verb in ("EHLO", "HELO"):
                say("250 test")
            elif verb == "MAIL":
                recipients = []
                say("250 OK")
            elif verb == "RCPT":
                address = line[line.find("<") + 1:line.find(">")]
                if address == self.refused:
                    say("550 5.1.1 no such user nobody")
                else:
                    recipients.append(address)
                    say("250 OK")
            elif verb == "DATA":
                if drop_at_data:
                    self.dropped += 1
                    return
                say("354 go on")
                for body in f:
                    if body in (b".\r\n", b".\n"):
                        break
                self.received.append(recipients)
                say("250 2.0.0 accepted")
            elif verb == "QUIT":
                say("221 bye")
                return
            else:
                say("250 OK")


class ProgrammedServer(FaultServer):
    """A fault server that can also refuse MAIL FROM and the login, and take
    one transaction at a time (one_at_a_time: MAIL is refused for now while
    another session's transaction goes on)."""

    def __init__(self, port=None, *, mail_reply=None, refuse_login=False):
        super().__init__(port)
        self.mail_replies = []
        if mail_reply:
            self.mail_replies.append(mail_reply)
        self.mail_commands = 0
        self.logins = 0
        self.one_at_a_time = False
        self.in_transaction = None  # the session whose transaction goes on
        self.refused_for_now = 0
        server = self
        handler = self.controller.handler

        async def handle_MAIL(srv, session, envelope, address, options):
            server.mail_commands += 1
            if server.mail_replies:
                return server.mail_replies.pop(0)
            if server.one_at_a_time:
                if server.in_transaction not in (None, session):
                    server.refused_for_now += 1
                    return "421 4.7.0 one session at a time"
                server.in_transaction = session
            envelope.mail_from = address
            return "250 OK"

        data = handler.handle_DATA

        async def handle_DATA(srv, session, envelope):
            try:
                return await data(srv, session, envelope)
            finally:
                if server.in_transaction is session:
                    server.in_transaction = None

        handler.handle_MAIL = handle_MAIL
        handler.handle_DATA = handle_DATA
        if refuse_login:
            from aiosmtpd.controller import Controller
            from aiosmtpd.smtp import AuthResult

            def authenticator(srv, session, envelope, mechanism, auth_data):
                server.logins += 1
                return AuthResult(success=False, handled=False)

            self.controller = Controller(handler, hostname="127.0.0.1", port=self.port,
                                         authenticator=authenticator, auth_require_tls=False)


class Delivery(NetTest):
    """Delivery to programmed servers; the IMAP logon is Dovecot's, in plain text."""

    def configure(self, **kw):
        kw.setdefault("tls", "none")
        kw.setdefault("ca_file", "")
        super().configure(**kw)

    def setUp(self):
        super().setUp()
        for user in ("ops", "dba"):
            box = self.imap(user)
            box.uid("STORE", "1:*", "+FLAGS", "(\\Deleted)")
            box.expunge()
            box.logout()

    def queue(self):
        return sorted(p.name for p in (self.spool / "queue").glob("*.msg"))

    def spooled_for_one_server(self, connections, subjects):
        """Configures one server on a free port (returned), delivering over
        that many connections, and has another process spool a message of
        ops to dba for each subject."""
        port = t.mail_servers.free_port()
        self.configure(smtp_urls=["smtp://127.0.0.1:%d" % port], retry_delay=3600, drain=0,
                       extra="connections = %d\n" % connections)
        spool_in_child((subject, "x\n") for subject in subjects)
        return port

    def test_a_full_disk_never_sends_delivered_mail_again(self):
        if os.geteuid() != 0:
            if os.environ.get("CI"):
                self.fail("CI must run this test as root")
            self.skipTest("mounting a small file system needs root")
        self.spool.mkdir()
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m,mode=0700", "tmpfs",
                        str(self.spool)], check=True)
        self.addCleanup(subprocess.run, ["umount", "-l", str(self.spool)])
        down = t.mail_servers.free_port()
        self.configure(smtp_urls=["smtp://127.0.0.1:%d" % down], retry_delay=1, drain=0)
        rc, session = logon("ops", USERS["ops"])
        self.assertEqual(rc, 0, self.log_text())
        for i in range(4):
            self.assertEqual(send(session, [("dba", 0)], "full %d" % i, "x\n"), 0)
        wait_until(lambda: "attempts=1" in status_output(self.config), what="a failed attempt")
        # Nothing more fits: neither a state, nor a sent.log line, nor a report.
        with open(self.spool / "filler", "wb") as f:
            try:
                while True:
                    f.write(b"\0" * 65536)
                    f.flush()
            except OSError:
                pass
        with ProgrammedServer(down) as server:
            wait_until(lambda: len(server.received) >= 4, what="delivery on a full disk")
            time.sleep(5)  # two more passes of the delivery thread
            self.assertEqual(sorted(m[2].split(b"Subject: ")[1][:6] for m in server.received),
                             [b"full 0", b"full 1", b"full 2", b"full 3"])
            self.assertEqual(self.queue(), [])
            logoff(session)
            for _ in range(3):
                status, out, err = flush(self.config)
                self.assertEqual(status, 0, out + err)
            self.assertEqual(len(server.received), 4)
        self.assertIn("sent.log could not be written", self.log_text())

    def test_an_outage_or_a_refused_login_never_fails_mail_early(self):
        down = t.mail_servers.free_port()
        self.configure(smtp_urls=["smtp://127.0.0.1:%d" % down], retry_delay=3600, drain=0)
        rc, session = logon("ops", USERS["ops"])
        self.assertEqual(send(session, [("dba", 0)], "patient", "x\n"), 0)
        logoff(session)
        # Many cron runs without a server: still queued, and each run says so.
        for _ in range(6):
            status, out, err = flush(self.config)
            self.assertEqual(status, 1)
            self.assertIn("still queued", err)
            self.assertEqual(err.count("\n"), 1, err)
        self.assertEqual(len(self.queue()), 1)
        self.assertIn("failed: 0", status_output(self.config))

        # The server refuses the login: the queue is held, and says so.
        with ProgrammedServer(down, refuse_login=True) as server:
            status, out, err = flush(self.config)
            self.assertEqual(status, 1)
            self.assertIn("login refused", err)
            self.assertEqual(server.received, [])
            self.assertGreater(server.logins, 0)
        shown = status_output(self.config)
        self.assertIn("held: 1", shown)
        self.assertIn("user=ops", shown)
        self.assertIn("login refused", shown)
        self.assertIn("failed: 0", shown)
        self.assertIn("held", self.log_text())

        # 4xx answers keep it queued too.
        with ProgrammedServer(down) as server:
            server.data_replies = ["451 4.3.0 try again later"] * 3
            for _ in range(3):
                self.assertEqual(flush(self.config)[0], 1)
            status, out, err = flush(self.config)
            self.assertEqual(status, 0, out + err)
            self.assertEqual(len(server.received), 1)
        shown = status_output(self.config)
        self.assertNotIn("held:", shown)
        self.assertIn("queued: 0", shown)
        self.assertIn("failed: 0", shown)

        # Only the end of retry_for fails it.
        self.configure(smtp_urls=["smtp://127.0.0.1:%d" % down], retry_delay=3600, drain=0,
                       extra="retry_for = 2s\n")
        rc, session = logon("ops", USERS["ops"])
        self.assertEqual(send(session, [("dba", 0)], "too late", "x\n"), 0)
        logoff(session)
        self.assertEqual(flush(self.config)[0], 1)
        self.assertEqual(len(self.queue()), 1)
        time.sleep(2.5)
        status, out, err = flush(self.config)
        self.assertEqual(status, 1)
        self.assertIn("failed for good", err)
        self.assertEqual(self.queue(), [])
        self.assertIn("not delivered in 2 seconds", status_output(self.config))

    def test_a_permanent_failure_is_reported_to_the_sender(self):
        with ProgrammedServer() as server:
            server.rcpt_replies["nobody@" + DOMAIN] = "550 5.1.1 no such user here"
            self.configure(smtp_urls=[server.url()])
            rc, session = logon("ops", USERS["ops"])
            self.assertEqual(send(session, [("dba", 0), ("nobody", 1)], "partly \u00e9", "x\n"), 0)
            self.assertEqual(logoff(session), 0)
            self.assertEqual(server.received[0][1], ["dba@" + DOMAIN])
        self.assertIn("failed: 1", status_output(self.config))
        self.assertIn("nobody@%s failed: 550 5.1.1" % DOMAIN, self.log_text())
        # The report is in the sender's own mailbox (appended apart from the
        # delivery, perhaps after the logoff), as RFC 3464 lays it out.
        reports = wait_until(lambda: [(flags, m) for flags, m in self.mailbox("ops")
                                      if m.get_content_type() == "multipart/report"],
                             what="the report")
        self.assertEqual(len(reports), 1, self.log_text())
        flags, report = reports[0]
        self.assertNotIn(b"\\Seen", flags)  # unread, for xp_findnextmsg to find
        self.assertEqual(report.get_param("report-type"), "delivery-status")
        self.assertEqual(report["To"], "ops@" + DOMAIN)
        parts = list(report.iter_parts())
        self.assertEqual([p.get_content_type() for p in parts],
                         ["text/plain", "message/delivery-status", "text/rfc822-headers"])
        self.assertIn("nobody@" + DOMAIN, parts[0].get_content())
        blocks = parts[1].get_payload()
        fields = [dict(b.items()) for b in blocks]
        self.assertIn("Reporting-MTA", fields[0])
        self.assertEqual(len(fields), 2, fields)
        self.assertEqual(fields[1]["Final-Recipient"], "rfc822; nobody@" + DOMAIN)
        self.assertEqual(fields[1]["Action"], "failed")
        self.assertEqual(fields[1]["Status"], "5.1.1")
        self.assertIn("550 5.1.1 no such user here", fields[1]["Diagnostic-Code"])
        headers = email.message_from_string(parts[2].get_payload(decode=True).decode(),
                                            policy=email.policy.default)
        self.assertEqual(headers["Subject"], "partly \u00e9")
        self.assertIn("dba@" + DOMAIN, headers["To"])
        box = self.imap("ops")
        box.uid("STORE", "1:*", "+FLAGS", "(\\Deleted)")
        box.expunge()
        box.logout()

    def test_a_connection_lost_after_a_refused_recipient_fails_only_that_recipient(self):
        # dba taken, nobody refused, the connection lost at DATA: nobody
        # failed on its own reply; dba is still to deliver, and the report
        # names nobody only.
        with DroppingAtData("nobody@" + DOMAIN) as server:
            self.configure(smtp_urls=["smtp://127.0.0.1:%d" % server.port], retry_delay=3600,
                           drain=0)
            spool_in_child([("dropped", "x\n")], [("dba", 0), ("nobody", 0)])
            # The first attempt loses the connection: dba is still to deliver.
            status, out, err = flush(self.config)
            self.assertEqual(server.dropped, 1, self.log_text())
            self.assertEqual(len(self.queue()), 1, self.log_text())
            self.assertEqual(list((self.spool / "failed").glob("*.msg")), [])
            self.assertNotIn("dba@%s failed" % DOMAIN, self.log_text())
            # The next one delivers to dba.
            status, out, err = flush(self.config)
            self.assertEqual(server.received, [["dba@" + DOMAIN]], self.log_text())
            self.assertEqual(self.queue(), [])
            self.assertEqual(len(list((self.spool / "failed").glob("*.msg"))), 1)
        self.assertNotIn("dba@%s failed" % DOMAIN, self.log_text())

        def reports():
            return [m for _, m in self.mailbox("ops")
                    if m.get_content_type() == "multipart/report"]
        wait_until(reports, what="the report in the sender's mailbox")
        self.assertEqual(len(reports()), 1, self.log_text())
        parts = list(reports()[0].iter_parts())
        text = parts[0].get_content()
        self.assertIn("nobody@%s: 550 5.1.1 no such user nobody" % DOMAIN, text)
        self.assertNotIn("dba@%s:" % DOMAIN, text)
        self.assertIn("delivered to:\r\n  dba@" + DOMAIN, text)
        failed = [dict(b.items()).get("Final-Recipient") for b in parts[1].get_payload()][1:]
        self.assertEqual(failed, ["rfc822; nobody@" + DOMAIN])
        box = self.imap("ops")
        box.uid("STORE", "1:*", "+FLAGS", "(\\Deleted)")
        box.expunge()
        box.logout()

    def test_a_refused_sender_fails_at_once_and_sent_log_keeps_the_accepting_reply(self):
        with ProgrammedServer(mail_reply="553 5.7.1 sender not allowed") as first, \
                ProgrammedServer() as second:
            self.configure(smtp_urls=[first.url(), second.url()], retry_delay=1)
            rc, session = logon("ops", USERS["ops"])
            self.assertEqual(send(session, [("dba", 0)], "refused sender", "x\n"), 0)
            self.assertEqual(logoff(session), 0)
            self.assertEqual(first.mail_commands, 1)
            self.assertEqual(second.mail_commands, 0)  # a refusal, not an outage
            self.assertEqual(self.queue(), [])
            shown = status_output(self.config)
            self.assertIn("failed: 1", shown)
            self.assertIn("553 5.7.1 sender not allowed", shown)
            self.assertIn("attempts=1", shown)  # the attempt that failed it

            # One recipient taken in the first attempt, the other refused
            # for good in the second: sent.log keeps the reply that took it.
            first.mail_replies = []
            first.rcpt_replies["later@" + DOMAIN] = "450 4.2.0 mailbox busy"
            rc, session = logon("ops", USERS["ops"])
            self.assertEqual(send(session, [("dba", 0), ("later", 0)], "split", "x\n"), 0)
            wait_until(lambda: first.received, what="the first recipient")
            first.rcpt_replies["later@" + DOMAIN] = "550 5.1.1 gone for good"
            wait_until(lambda: not self.queue(), what="the second attempt")
            logoff(session)
        sent = (self.spool / "sent.log").read_text()
        # The line says at which attempt, with the message's sender and
        # subject (velmail.outbox reads them).
        self.assertIn("from=ops@%s to=dba@%s attempts=1 subject=split reply=250 2.0.0 accepted"
                      % (DOMAIN, DOMAIN), sent)
        self.assertNotIn("gone for good", sent)  # (an id may hold the digits 550)

    def test_one_session_carries_many_messages_and_a_drop_resends_nothing_taken(self):
        port = self.spooled_for_one_server(1, ("batch %d" % i for i in range(4)))
        with ProgrammedServer(port) as server:
            # One pass: four messages on one connection until the server
            # drops it at the second's DATA. The first is done with; the
            # second waits for its retry; the third and fourth go over a
            # new connection in the same pass.
            server.stalls = [None, "drop"]
            status, out, err = flush(self.config)
            self.assertEqual(status, 1, out + err)
            self.assertEqual(server.subjects(), ["batch 0", "batch 2", "batch 3"])
            self.assertEqual(server.received_on, [0, 1, 1])
            self.assertEqual(len(self.queue()), 1)
            self.assertEqual(len((self.spool / "sent.log").read_text().splitlines()), 3)
            # The next pass sends the second only.
            status, out, err = flush(self.config)
            self.assertEqual(status, 0, out + err)
            self.assertEqual(server.subjects(), ["batch 0", "batch 2", "batch 3", "batch 1"])
            self.assertEqual(self.queue(), [])

            # The delivery thread keeps its connection from one pass to the
            # next: messages sent one at a time share it ...
            server.received.clear()
            server.received_on.clear()
            server.connections.clear()
            logged = len(self.log_text())
            rc, session = logon("ops", USERS["ops"])
            self.assertEqual(rc, 0, self.log_text())
            for i in range(3):
                self.assertEqual(send(session, [("dba", 0)], "kept %d" % i, "x\n"), 0)
                wait_until(lambda: len(server.received) == i + 1, what="message %d" % i)
            self.assertEqual(server.received_on, [0, 0, 0], self.log_text()[logged:])
            # ... and when the server has closed it meanwhile (as an idle
            # time-out does), the next message goes over a new one at once,
            # not after its retry delay.
            server.close_connections()
            time.sleep(0.5)
            self.assertEqual(send(session, [("dba", 0)], "after the close", "x\n"), 0)
            wait_until(lambda: len(server.received) == 4, what="delivery after the close")
            self.assertEqual(server.received_on, [0, 0, 0, 1])
            self.assertEqual(logoff(session), 0)
        self.assertNotIn("deferred", self.log_text()[logged:])
        self.assertEqual(self.queue(), [])

    def test_sessions_at_once_each_send_their_own_messages_and_a_drop_resends_nothing_taken(self):
        port = self.spooled_for_one_server(3, ("many %d" % i for i in range(12)))
        with ProgrammedServer(port) as server:
            # Three sessions, each waiting on the server's answer to DATA at
            # the same time; the third message's DATA drops its connection.
            server.data_delay = 0.2
            server.stalls = [None, None, "drop"]
            status, out, err = flush(self.config)
            self.assertEqual(status, 1, out + err)
            self.assertEqual(server.most_in_data, 3)
            # Every message but the dropped one was taken, each once, and
            # has its line in sent.log; the dropped one waits for its retry.
            subjects = server.subjects()
            self.assertEqual(len(subjects), 11, subjects)
            self.assertEqual(len(set(subjects)), 11, subjects)
            self.assertEqual(len(self.queue()), 1)
            self.assertEqual(len((self.spool / "sent.log").read_text().splitlines()), 11)
            # The next pass sends that one only.
            status, out, err = flush(self.config)
            self.assertEqual(status, 0, out + err)
            self.assertEqual(sorted(server.subjects()), sorted("many %d" % i for i in range(12)))
            self.assertEqual(self.queue(), [])

    def test_a_server_taking_one_session_at_a_time_delays_no_message(self):
        subjects = ["one at a time %d" % i for i in range(6)]
        port = self.spooled_for_one_server(3, subjects)
        with ProgrammedServer(port) as server:
            # While one session's transaction goes on, the others' MAIL is
            # refused for now: they hand their messages to the session that
            # goes on, instead of deferring them to a later attempt.
            server.one_at_a_time = True
            server.data_delay = 0.2
            status, out, err = flush(self.config)
            self.assertEqual(status, 0, out + err + self.log_text())
            self.assertGreater(server.refused_for_now, 0)
            self.assertEqual(sorted(server.subjects()), sorted(subjects))
            self.assertEqual(self.queue(), [])
            self.assertNotIn("deferred", self.log_text())
            self.assertIn("handed to another delivery session", self.log_text())

    def test_mail_spooled_without_a_pause_is_delivered_while_the_spooling_goes_on(self):
        # The delivery thread lets a run of sends finish before it delivers
        # (so that it does not compete with them), but never waits long for
        # a pause: a stream of sends is delivered as it goes.
        port = t.mail_servers.free_port()
        self.configure(smtp_urls=["smtp://127.0.0.1:%d" % port], retry_delay=3600, drain=30)
        with ProgrammedServer(port) as server:
            rc, session = logon("ops", USERS["ops"])
            self.assertEqual(rc, 0, self.log_text())
            started = time.monotonic()
            first_seen = None
            sent = 0
            while time.monotonic() - started < 3:
                self.assertEqual(send(session, [("dba", 0)], "stream %d" % sent, "x\n"), 0)
                sent += 1
                if first_seen is None and server.received:
                    first_seen = time.monotonic() - started
                time.sleep(0.005)
            self.assertIsNotNone(first_seen, "nothing was delivered while %d were spooled" % sent)
            self.assertLess(first_seen, 2.5)
            # A single send after a pause goes at once.
            wait_until(lambda: len(server.received) == sent, what="the stream's delivery")
            sent_alone = time.monotonic()
            self.assertEqual(send(session, [("dba", 0)], "alone", "x\n"), 0)
            wait_until(lambda: len(server.received) == sent + 1, what="the single mail")
            self.assertLess(time.monotonic() - sent_alone, 1)
            self.assertEqual(logoff(session), 0)
        self.assertEqual(self.queue(), [])

    def test_both_providers_compose_and_parse_in_one_process(self):
        # The maildir provider beside the network one, as a host that
        # switches providers has them: both stand on one GMime.
        root = self.work / "mail"
        for name in ("alice", "bob"):
            subprocess.run([os.path.join(t.BIN_DIR, "velcmc-passwd"), str(root), name],
                           input=b"pw\n", check=True)
        os.environ["VELCMC_ROOT"] = str(root)
        maildir = ctypes.CDLL(os.path.join(t.LIB_DIR, "libvelcmc.so"))
        session = ctypes.c_uint32()
        self.assertEqual(maildir.cmc_logon(None, b"alice", b"pw", None, 0, 100, 0,
                                           ctypes.byref(session), None), 0)
        recipient = (t.Recipient * 1)(t.Recipient(b"alice", 1, None, 0, t.LAST, None))
        message = t.Message(None, b"CMC: IPM", b"through maildir", t.Time(), b"one\n",
                            recipient, None, 0, None)
        self.assertEqual(maildir.cmc_send(session, ctypes.byref(message), 0, 0, None), 0)
        # Reading it parses with GMime's streams in the maildir provider.
        count, listed = ctypes.c_uint32(0), ctypes.POINTER(t.Summary)()
        self.assertEqual(maildir.cmc_list(session, None, 0, None, ctypes.byref(count), 0,
                                          ctypes.byref(listed), None), 0)
        self.assertEqual(count.value, 1)
        read = ctypes.POINTER(t.Message)()
        self.assertEqual(maildir.cmc_read(session, listed[0].reference, 0, ctypes.byref(read), 0,
                                          None), 0)
        self.assertEqual(read.contents.text, b"one\n")
        maildir.cmc_free(read)
        maildir.cmc_free(listed)
        maildir.cmc_logoff(session, 0, 0, None)
        with ProgrammedServer() as server:
            self.configure(smtp_urls=[server.url()])
            rc, net_session = logon("ops", USERS["ops"])
            self.assertEqual(rc, 0)
            self.assertEqual(send(net_session, [("dba", 0)], "through the network", "two\n"), 0)
            self.assertEqual(logoff(net_session), 0)
            self.assertEqual(len(server.received), 1)
            self.assertIn(b"Subject: through the network", server.received[0][2])

    def test_one_user_whatever_the_case_of_its_name(self):
        # Mail servers take OPS and ops for one user: so does the spool, and
        # velnet-flush ops delivers what a session of OPS spooled.
        down = t.mail_servers.free_port()
        self.configure(smtp_urls=["smtp://127.0.0.1:%d" % down], retry_delay=3600, drain=0)
        rc, session = logon("OPS", USERS["ops"])
        self.assertEqual(rc, 0, self.log_text())
        self.assertEqual(send(session, [("dba", 0)], "upper case", "x\n"), 0)
        self.assertEqual(logoff(session), 0)
        with ProgrammedServer(down) as server:
            status, out, err = flush(self.config)
            self.assertEqual(status, 0, out + err)
            self.assertEqual(len(server.received), 1, self.log_text())
        self.assertEqual(self.queue(), [])

    def test_a_flush_waits_for_what_another_deliverer_has_in_hand(self):
        # Another velnet-flush delivers the message this one would count as
        # still queued: this one waits for it, and both end well.
        port = self.spooled_for_one_server(1, ("in hand %d" % i for i in range(4)))
        with ProgrammedServer(port) as server:
            server.data_delay = 0.6
            first = subprocess.Popen([os.path.join(t.BIN_DIR, "velnet-flush"), "ops"],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True,
                                     env=dict(os.environ, VELNET_CONFIG=str(self.config)))
            first.stdin.write(USERS["ops"] + "\n")
            first.stdin.close()
            wait_until(lambda: server.in_data > 0, what="the first flush's transaction")
            status, out, err = flush(self.config)
            first.wait(60)
            first_out, first_err = first.stdout.read(), first.stderr.read()
            self.assertEqual(status, 0, out + err)
            self.assertEqual(first.returncode, 0, first_out + first_err)
            self.assertEqual(len(server.received), 4)
        self.assertEqual(self.queue(), [])

    def test_a_clock_set_back_leaves_mail_waiting_no_longer_than_the_longest_delay(self):
        # An attempt recorded for a day ahead, as a clock set back by a day
        # would leave it: the delivery thread tries it within
        # retry_max_delay (2 s here), not a day later.
        port = t.mail_servers.free_port()
        self.configure(smtp_urls=["smtp://127.0.0.1:%d" % port], retry_delay=1, drain=0,
                       extra="retry_max_delay = 2\n")
        spool_in_child([("set back", "x\n")])
        (queued,) = self.queue()
        state = self.spool / "queue" / queued.replace(".msg", ".state")
        state.write_text("attempts 1\nnext %d\nreply 451 try later\n" % (time.time() + 86400))
        with ProgrammedServer(port) as server:
            rc, session = logon("ops", USERS["ops"])
            self.assertEqual(rc, 0, self.log_text())
            wait_until(lambda: server.received, what="the attempt of a day ahead", seconds=10)
            logoff(session)
        self.assertEqual(self.queue(), [])

    def test_damaged_spool_files_are_put_aside_and_never_sent(self):
        down = t.mail_servers.free_port()
        self.configure(smtp_urls=["smtp://127.0.0.1:%d" % down], retry_delay=3600, drain=0)
        body = "line\n" * 2000
        spool_in_child((name, body) for name in
                       ("cut body", "cut envelope", "garbled envelope", "flipped byte", "whole"))
        files = [self.spool / "queue" / n for n in self.queue()]
        self.assertEqual(len(files), 5)
        data = files[0].read_bytes()
        files[0].write_bytes(data[:len(data) - 3000])  # cut inside the body
        files[1].write_bytes(files[1].read_bytes()[:120])  # cut inside the envelope
        data = files[2].read_bytes()
        files[2].write_bytes(data.replace(b"To: dba@", b"To: eve@", 1))  # garbled envelope
        data = bytearray(files[3].read_bytes())
        data[-100] ^= 0x20  # one byte of the body
        files[3].write_bytes(bytes(data))
        # A file a crash while spooling left in tmp/, and a fresh one.
        stale, fresh = self.spool / "tmp" / "left.by.crash", self.spool / "tmp" / "being.written"
        stale.write_text("half")
        fresh.write_text("half")
        os.utime(stale, (time.time() - 7200, time.time() - 7200))

        with ProgrammedServer(down) as server:
            status, out, err = flush(self.config)
            self.assertEqual(status, 1)
            self.assertIn("quarantine", err)
            self.assertEqual(len(server.received), 1)
            self.assertIn(b"Subject: whole", server.received[0][2])
            self.assertIn(body.replace("\n", "\r\n").encode(), server.received[0][2])
        shown = status_output(self.config)
        self.assertIn("quarantined: 4", shown)
        self.assertIn("queued: 0", shown)
        self.assertIn("bytes where", shown)
        self.assertIn("checksum does not match", shown)
        self.assertEqual(len(list((self.spool / "quarantine").glob("*.msg"))), 4)
        self.assertIn("put in quarantine", self.log_text())
        self.assertFalse(stale.exists())
        self.assertTrue(fresh.exists())
        # The sender of each damaged message whose envelope could still be
        # read is told it will never go.
        reports = [m for _, m in self.mailbox("ops") if m.get_content_type() == "multipart/report"]
        damaged = sorted(str(email.message_from_string(
            list(r.iter_parts())[2].get_payload(decode=True).decode(errors="replace"),
            policy=email.policy.default)["Subject"]) for r in reports)
        self.assertEqual(damaged, ["flipped byte", "garbled envelope"], self.log_text())
        for r in reports:
            self.assertIn("queued copy is damaged", list(r.iter_parts())[0].get_content())
        box = self.imap("ops")
        box.uid("STORE", "1:*", "+FLAGS", "(\\Deleted)")
        box.expunge()
        box.logout()


class Configuration(NetTest):
    """What the configuration check and the spool's set-up refuse."""

    def configure(self, **kw):
        kw.setdefault("tls", "none")
        kw.setdefault("ca_file", "")
        super().configure(**kw)

    def refused(self, why):
        self.assertEqual(logon("ops", USERS["ops"])[0], CMC_E_INVALID_CONFIGURATION)
        self.assertIn(why, self.log_text())

    def test_what_the_configuration_check_refuses_and_accepts(self):
        # Plain text only to this machine: a name starting with "127." is not.
        self.configure()
        text = self.config.read_text()
        self.config.write_text(text.replace("imap://127.0.0.1:", "imap://127.mail.example.org:"))
        self.refused("tls.mode none is allowed for this machine only")

        # A byte-order mark is no error.
        self.config.write_bytes(b"\xef\xbb\xbf" + text.encode())
        rc, session = logon("ops", USERS["ops"])
        self.assertEqual(rc, 0, self.log_text())
        logoff(session)

        # Caught by the check, with file, line and key.
        self.configure(extra="")
        self.config.write_text(self.config.read_text().replace(
            "log = %s" % self.log, "log = %s" % self.work))
        self.assertEqual(logon("ops", USERS["ops"])[0], CMC_E_INVALID_CONFIGURATION)
        self.configure(tls="required", ca_file=self.work / "no-such-ca.crt")
        self.refused("tls.ca_file")
        self.assertRegex(self.log_text(), r"line \d+: tls.ca_file")
        for sender in ("%u@example.org>", "ops @example.org"):
            self.configure()
            self.config.write_text(self.config.read_text().replace(
                "from = %u@" + DOMAIN, "from = " + sender))
            self.refused("must be one address")

        # A FIFO would hang the logon: refused at once.
        fifo = self.work / "fifo.ini"
        os.mkfifo(fifo)
        os.environ["VELNET_CONFIG"] = str(fifo)
        result = []
        thread = threading.Thread(target=lambda: result.append(logon("ops", USERS["ops"])[0]),
                                  daemon=True)
        thread.start()
        thread.join(10)
        self.assertEqual(result, [CMC_E_INVALID_CONFIGURATION])

    def test_the_log_as_a_directory_is_refused(self):
        # Its own case: with the log a directory, the reason goes to standard error.
        self.configure()
        self.config.write_text(self.config.read_text().replace(
            "log = %s" % self.log, "log = %s" % self.work))
        done = subprocess.run([os.path.join(t.BIN_DIR, "velnet-status")], capture_output=True,
                              text=True, env=dict(os.environ, VELNET_CONFIG=str(self.config)))
        self.assertEqual(done.returncode, 2)
        self.assertRegex(done.stderr, r"line \d+: delivery.log .* is not a regular file")

    def test_the_spool_is_made_owner_only_and_another_users_is_refused(self):
        self.configure()
        self.spool.mkdir(mode=0o777)
        os.chmod(self.spool, 0o777)
        rc, session = logon("ops", USERS["ops"])
        self.assertEqual(rc, 0, self.log_text())
        logoff(session)
        self.assertEqual(os.stat(self.spool).st_mode & 0o777, 0o700)
        self.assertEqual(os.stat(self.spool / "queue").st_mode & 0o777, 0o700)
        if os.geteuid() == 0:
            shutil.chown(self.spool / "queue", "nobody")
            self.refused("belongs to another user")

    def test_a_user_with_a_domain_sends_from_that_address(self):
        with ProgrammedServer() as server:
            self.configure(smtp_urls=[server.url()], drain=30)
            rc, session = logon("ops@" + DOMAIN, USERS["ops"])
            self.assertEqual(rc, 0, self.log_text())
            self.assertEqual(send(session, [("dba", 0)], "with domain", "x\n"), 0)
            self.assertEqual(logoff(session), 0)
            self.assertEqual(server.received[0][0], "ops@" + DOMAIN)

    def test_a_logoff_never_outlasts_the_library_time_out(self):
        with ProgrammedServer() as server:
            server.stalls = [7]
            self.configure(smtp_urls=[server.url()], drain=600, transfer_timeout=5)
            os.environ["VELMAIL_TIMEOUT"] = "4000"
            self.addCleanup(os.environ.pop, "VELMAIL_TIMEOUT", None)
            rc, session = logon("ops", USERS["ops"])
            self.assertEqual(send(session, [("dba", 0)], "slow", "x\n"), 0)
            started = time.time()
            self.assertEqual(logoff(session), 0)
            self.assertLess(time.time() - started, 4)
            self.assertIn("mail still due after 3 seconds", self.log_text())


if __name__ == "__main__":
    unittest.main(verbosity=2)
