#!/usr/bin/env python3
"""Reading mail with the network provider, through its C entry points,
against an IMAP server of the tests' own programmed with faults
(imap_servers.FaultImap) and against GNU Mailutils' imap4d started for
the run (imap_servers.Imap4d): credentials that would inject commands,
SASL mechanisms offered that cannot work, deleting without UIDPLUS,
hostile and interrupted listings, a UID 0.

usage: imap_read_check.py LIB_DIR BIN_DIR
Outside CI (CI unset) a missing package or privilege skips with a reason;
in CI it fails.
"""
import base64
import ctypes
import imaplib
import os
import pathlib
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import net_provider_check as net  # noqa: E402  (takes LIB_DIR and BIN_DIR from argv)
import imap_servers  # noqa: E402

CMC_E_FAILURE = 8
PASSWORD = "ops-secret"


def memory_kib(field):
    for line in pathlib.Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1])
    raise AssertionError("no %s in /proc/self/status" % field)


def list_measured(session):
    """cmc_list's summaries (raw subject bytes), and how far this process's
    peak memory rose above what it held when the listing began."""
    pathlib.Path("/proc/self/clear_refs").write_text("5")  # the peak starts again from now
    before = memory_kib("VmRSS")
    cmc = net.Provider.load()
    count = ctypes.c_uint32(0)
    result = ctypes.POINTER(net.Summary)()
    rc = cmc.cmc_list(session, None, 0, None, ctypes.byref(count), 0, ctypes.byref(result), None)
    grown = memory_kib("VmHWM") - before
    subjects = [result[i].subject or b"" for i in range(count.value)]
    if count.value:
        cmc.cmc_free(result)
    return rc, subjects, grown * 1024


def long_message(uid):
    """A message whose subject field is about 60,000 bytes: three-byte
    characters after "n<uid> " (nine bytes), raw UTF-8 (even UIDs) or RFC
    2047 encoded words (odd). Its bytes, and the subject as a reader should
    decode it."""
    subject = "n%07d " % uid + "\u20ac" * (20000 if uid % 2 == 0 else 12000)
    if uid % 2 == 0:
        field = subject.encode()
    else:
        words = [subject[i:i + 15] for i in range(0, len(subject), 15)]
        field = b"\r\n ".join(b"=?UTF-8?B?%s?=" % base64.b64encode(w.encode()) for w in words)
    return (b"From: x@y\r\nSubject: " + field + b"\r\n\r\nbody\r\n"), subject


class Reading(unittest.TestCase):
    def setUp(self):
        self.work = pathlib.Path(tempfile.mkdtemp(prefix="velnet-read-"))
        os.chmod(self.work, 0o755)
        self.log = self.work / "velnet.log"
        self.config = self.work / "velnet.ini"
        os.environ["VELNET_CONFIG"] = str(self.config)

    def configure(self, port, imap="", **kw):
        kw.setdefault("transfer_timeout", 10)
        net.write_config(self.config, imap_port=port, smtp_urls=["smtp://127.0.0.1:1"],
                         spool=self.work / "spool", log=self.log, tls="none", ca_file="",
                         extra="[imap]\n" + imap if imap else "", **kw)

    def log_text(self):
        return self.log.read_text() if self.log.exists() else ""


class FaultServer(Reading):
    def test_a_password_with_a_line_break_never_reaches_the_server(self):
        with imap_servers.FaultImap(password=PASSWORD) as server:
            self.configure(server.port)
            for password in (PASSWORD + "\r\nX DELETE INBOX", PASSWORD + "\nX DELETE INBOX"):
                self.assertEqual(net.logon("ops", password)[0], net.CMC_E_LOGON_FAILURE)
            self.assertEqual(server.connections, 0)
            self.assertIn("password holds a line break", self.log_text())
            self.assertNotIn("DELETE", self.log_text())
            # The same server takes the right password with IMAP's LOGIN
            # command: it offers no SASL mechanism.
            rc, session = net.logon("ops", PASSWORD)
            self.assertEqual(rc, 0, self.log_text())
            self.assertTrue(any(" LOGIN " in c for c in server.commands))
            net.logoff(session)

    def test_uid_zero_is_left_out_and_the_others_read(self):
        with imap_servers.FaultImap(password=PASSWORD) as server:
            server.add(0, "zero")
            server.add(1, "one")
            server.add(2, "two")
            self.configure(server.port)
            rc, session = net.logon("ops", PASSWORD)
            rc, listed = net.list_messages(session)
            self.assertEqual(rc, 0, self.log_text())
            self.assertEqual([s for _, s, _ in listed], ["one", "two"])
            for reference, subject, _ in listed:
                rc, m = net.read_message(session, reference, peek=True)
                self.assertEqual(rc, 0)
                self.assertEqual(m["text"], ("body of %s\n" % subject).encode())
            net.logoff(session)

    def test_a_listing_seeded_with_a_message_deleted_since_goes_on_after_it(self):
        with imap_servers.FaultImap(password=PASSWORD) as server:
            for uid in (1, 2, 3):
                server.add(uid, "m%d" % uid)
            self.configure(server.port)
            rc, session = net.logon("ops", PASSWORD)
            self.assertEqual(rc, 0, self.log_text())
            rc, listed = net.list_messages(session)
            self.assertEqual([s for _, s, _ in listed], ["m1", "m2", "m3"])
            gone = listed[1][0]
            self.assertEqual(net.delete_message(session, gone), 0, self.log_text())
            cmc = net.Provider.load()
            seed = net.Reference(len(gone), gone)
            count = ctypes.c_uint32(0)
            result = ctypes.POINTER(net.Summary)()
            rc = cmc.cmc_list(session, None, 0, ctypes.byref(seed), ctypes.byref(count), 0,
                              ctypes.byref(result), None)
            self.assertEqual(rc, 0, self.log_text())
            self.assertEqual([result[i].subject for i in range(count.value)], [b"m3"])
            if count.value:
                cmc.cmc_free(result)
            net.logoff(session)

    def test_a_mailbox_too_large_or_endless_fails_its_listing_promptly(self):
        with imap_servers.FaultImap(password=PASSWORD) as server:
            server.add(1, "one")
            # A mailbox that claims 4,294,967,295 messages: refused at once.
            server.claimed = 4294967295
            self.configure(server.port)
            rc, session = net.logon("ops", PASSWORD)
            start = time.monotonic()
            self.assertEqual(net.list_messages(session)[0], CMC_E_FAILURE)
            self.assertLess(time.monotonic() - start, 2)
            self.assertIn("4294967295 messages, more than imap.max_messages (200000)",
                          self.log_text())
            self.assertFalse(any("FETCH" in c for c in server.commands))
            net.logoff(session)

            # A small claim, and FETCH responses without end: the listing
            # ends at the configured count.
            server.claimed = None
            server.endless = 1
            self.configure(server.port, imap="max_messages = 500\n")
            rc, session = net.logon("ops", PASSWORD)
            start = time.monotonic()
            self.assertEqual(net.list_messages(session)[0], CMC_E_FAILURE)
            self.assertLess(time.monotonic() - start, 5)
            self.assertIn("more than imap.max_messages (500)", self.log_text())
            net.logoff(session)
            net.wait_until(lambda: server.open == 0, what="the endless response to end")

    def test_a_newer_call_stops_the_one_given_up_on(self):
        with imap_servers.FaultImap(password=PASSWORD) as server:
            server.add(1, "one")
            server.endless = 1
            self.configure(server.port, transfer_timeout=60)
            rc, session = net.logon("ops", PASSWORD)
            first = {}
            worker = threading.Thread(
                target=lambda: first.update(rc=net.list_messages(session)[0], at=time.monotonic()))
            worker.start()
            time.sleep(1)  # the first listing is deep in its endless FETCH
            self.assertTrue(worker.is_alive())
            rc, listed = net.list_messages(session)
            done = time.monotonic()
            worker.join(5)
            self.assertFalse(worker.is_alive())
            self.assertEqual(first["rc"], CMC_E_FAILURE)
            self.assertEqual(rc, 0, self.log_text())
            self.assertEqual([s for _, s, _ in listed], ["one"])
            self.assertLess(done - first["at"], 5)
            self.assertIn("stopped: a newer call", self.log_text())
            # The given-up call's connection is gone; only the session's own is left.
            net.wait_until(lambda: server.open == 1, what="the stopped call's connection to close")
            net.logoff(session)

    def test_a_listing_of_long_subjects_keeps_a_bounded_prefix_of_each(self):
        # 3,000 messages with subjects of 60,000 bytes (which a mail server
        # takes from anyone): each summary keeps the subject's first KiB,
        # cut on a whole character, and the listing's memory stays small
        # (the rise of this process's peak, the fault server included).
        count = 3000
        with imap_servers.FaultImap(password=PASSWORD) as server:
            for uid in range(1, count + 1):
                server.add_made(uid, lambda uid=uid: long_message(uid)[0])
            # 180 MB of header to go through: time enough under a sanitizer.
            self.configure(server.port, transfer_timeout=120)
            rc, session = net.logon("ops", PASSWORD)
            self.assertEqual(rc, 0, self.log_text())
            rc, subjects, grown = list_measured(session)
            self.assertEqual(rc, 0, self.log_text())
            self.assertEqual(len(subjects), count)
            # Before: 60,000 bytes a message, twice over (about 350 MiB here).
            # (The address sanitizer holds freed memory back: no bound to
            # hold there.)
            if "libasan" not in os.environ.get("LD_PRELOAD", ""):
                self.assertLess(grown, 32 << 20,
                                "the listing's peak memory grew by %d bytes" % grown)
            for uid, got in zip(range(1, count + 1), subjects):
                whole = long_message(uid)[1].encode()
                # The longest prefix of at most 1,024 bytes that ends on a
                # character: "n<uid> " and 338 whole three-byte characters.
                self.assertEqual(got, whole[:1023], "UID %d" % uid)
            net.logoff(session)

        # Past 16 MiB of text in a session's summaries, each further one
        # keeps 64 bytes of subject.
        count = 17000
        with imap_servers.FaultImap(password=PASSWORD) as server:
            for uid in range(1, count + 1):
                server.add(uid, "n%07d " % uid + "s" * 1100)
            self.configure(server.port, imap="max_messages = %d\n" % count)
            rc, session = net.logon("ops", PASSWORD)
            rc, subjects, _ = list_measured(session)
            self.assertEqual(rc, 0, self.log_text())
            full = sum(1 for s in subjects if len(s) == 1024)
            self.assertTrue(15 << 10 < full < 16 << 10, full)
            self.assertEqual(subjects, [("n%07d " % uid + "s" * 1100).encode()[:1024 if uid <= full else 64]
                                        for uid in range(1, count + 1)])
            net.logoff(session)

    def test_a_call_the_library_gave_up_on_ends_though_data_keeps_coming(self):
        # A literal without end, sent as fast as it is taken: a listing the
        # library gives up on (VELMAIL_TIMEOUT) ends, and its connection is
        # closed, soon after, though transfer_timeout is far off.
        os.environ["VELMAIL_TIMEOUT"] = "2000"
        self.addCleanup(os.environ.pop, "VELMAIL_TIMEOUT", None)
        with imap_servers.FaultImap(password=PASSWORD) as server:
            server.add(1, "one")
            server.endless_literal = True
            self.configure(server.port, transfer_timeout=120)
            rc, session = net.logon("ops", PASSWORD)
            self.assertEqual(rc, 0, self.log_text())
            done = {}

            def listing():
                cpu = time.thread_time()
                done["rc"] = net.list_messages(session)[0]
                done["cpu"] = time.thread_time() - cpu

            start = time.monotonic()
            worker = threading.Thread(target=listing, daemon=True)
            worker.start()
            worker.join(2 + 1.5)
            self.assertFalse(worker.is_alive(), "the listing went on after it was given up")
            self.assertEqual(done["rc"], CMC_E_FAILURE)
            net.wait_until(lambda: server.open == 0, seconds=2, what="the connection to close")
            self.assertLess(server.closed_at - start, 2 + 1.5)
            self.assertLess(done["cpu"], 2 + 1.5)
            self.assertIn("the library gave up on the call (VELMAIL_TIMEOUT, 2000 ms)",
                          self.log_text())
            net.logoff(session)

    def test_a_listing_cut_short_is_continued_by_the_next(self):
        with imap_servers.FaultImap(password=PASSWORD) as server:
            for uid in range(1, 2501):
                server.add(uid, "n%d" % uid)
            server.stall_at = 3  # the third window of summaries gets no answer
            self.configure(server.port, transfer_timeout=3)
            rc, session = net.logon("ops", PASSWORD)
            self.assertNotEqual(net.list_messages(session)[0], 0)
            self.assertIn("listing stopped after 2000 summaries", self.log_text())
            rc, listed = net.list_messages(session)
            self.assertEqual(rc, 0, self.log_text())
            self.assertEqual([s for _, s, _ in listed], ["n%d" % u for u in range(1, 2501)])
            # The retry asked only for what the first listing had not.
            self.assertEqual(server.summary_fetches, ["1:1000", "1001:2000", "2001:2500", "2001:2500"])
            net.logoff(session)

    def test_mail_told_of_in_the_answer_to_another_command_is_listed_next(self):
        # A server tells a session of an arrival once, in whatever answer
        # comes next: here the listing's own fetch of the flags, then a
        # read. The next listing has the message though its NOOP hears of
        # nothing more.
        with imap_servers.FaultImap(password=PASSWORD) as server:
            server.add(1, "one")
            server.arrivals = [("UID FETCH 1:* (UID FLAGS)", 2, "two"),
                               ("BODY.PEEK[]", 3, "three")]
            self.configure(server.port)
            rc, session = net.logon("ops", PASSWORD)
            self.assertEqual(rc, 0, self.log_text())
            rc, listed = net.list_messages(session)
            self.assertEqual([s for _, s, _ in listed], ["one"])
            rc, listed = net.list_messages(session)
            self.assertEqual(rc, 0, self.log_text())
            self.assertEqual([s for _, s, _ in listed], ["one", "two"])
            self.assertEqual(net.read_message(session, listed[0][0], peek=True)[0], 0)
            rc, listed = net.list_messages(session)
            self.assertEqual([s for _, s, _ in listed], ["one", "two", "three"])
            # Nothing told since: the listing stands, one NOOP asked.
            before = len(server.commands)
            self.assertEqual([s for _, s, _ in net.list_messages(session)[1]],
                             ["one", "two", "three"])
            self.assertEqual([c.split(" ", 1)[1] for c in server.commands[before:]], ["NOOP"])
            net.logoff(session)

    def test_without_uidplus_another_deleted_mark_stops_the_delete(self):
        # (imap4d, which lacks UIDPLUS too, shows one session's flags to
        # another only when it rewrites its mbox, so this is set up here.)
        with imap_servers.FaultImap(password=PASSWORD) as server:
            server.capabilities = "IMAP4rev1"
            server.add(1, "keep", flags=["\\Deleted"])  # marked by another client
            server.add(2, "drop")
            self.configure(server.port)
            rc, session = net.logon("ops", PASSWORD)
            listed = {s: r for r, s, _ in net.list_messages(session)[1]}
            self.assertEqual(net.delete_message(session, listed["drop"]), CMC_E_FAILURE)
            self.assertIn("no UIDPLUS and 1 other message(s) are marked deleted", self.log_text())
            self.assertEqual([(m[0], m[1]) for m in server.messages],
                             [(1, {"\\Deleted"}), (2, set())])
            self.assertFalse(any("EXPUNGE" in c for c in server.commands))
            # Once the other mark is gone, that one message is expunged.
            server.messages[0][1].clear()
            self.assertEqual(net.delete_message(session, listed["drop"]), 0)
            self.assertEqual([m[0] for m in server.messages], [1])
            net.logoff(session)

    def test_a_refused_expunge_takes_the_deleted_mark_off_again(self):
        with imap_servers.FaultImap(password=PASSWORD) as server:
            server.add(1, "one")
            server.expunge_reply = "NO expunge refused"
            self.configure(server.port)
            rc, session = net.logon("ops", PASSWORD)
            reference = net.list_messages(session)[1][0][0]
            self.assertNotEqual(net.delete_message(session, reference), 0)
            self.assertEqual(server.messages[0][1], set())
            self.assertIn("expunge refused", self.log_text())
            server.expunge_reply = None
            self.assertEqual(net.delete_message(session, reference), 0)
            self.assertEqual(server.messages, [])
            net.logoff(session)


class Imap4d(Reading):
    """Against imap4d: SASL mechanisms that cannot work offered first, and no UIDPLUS."""

    @classmethod
    def setUpClass(cls):
        why = imap_servers.imap4d_missing()
        if why:
            if os.environ.get("CI"):
                raise RuntimeError("CI must run these tests: " + why)
            raise unittest.SkipTest(why)
        cls.temp = tempfile.TemporaryDirectory(prefix="velnet-imap4d-")
        os.chmod(cls.temp.name, 0o755)
        cls.server = imap_servers.Imap4d(pathlib.Path(cls.temp.name) / "imap4d",
                                         {"ops": PASSWORD}).start()
        cls.user = cls.server.login("ops")

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        cls.temp.cleanup()

    def client(self):
        box = imaplib.IMAP4("127.0.0.1", self.server.port)
        box.login(self.user, PASSWORD)
        box.select("INBOX")
        return box

    def flags(self):
        box = self.client()
        _, data = box.uid("FETCH", "1:*", "(FLAGS BODY.PEEK[HEADER.FIELDS (SUBJECT)])")
        box.logout()
        return {item[1].decode().strip().lower(): b"\\Deleted" in item[0]
                for item in data if isinstance(item, tuple)}

    def test_a_right_password_logs_on_though_gssapi_is_offered_first(self):
        self.configure(self.server.port)
        rc, session = net.logon(self.user, PASSWORD)
        self.assertEqual(rc, 0, self.log_text())
        self.assertEqual(net.list_messages(session)[0], 0)
        net.logoff(session)
        self.assertEqual(net.logon(self.user, "wrong")[0], net.CMC_E_LOGON_FAILURE)
        # Left to choose, libcurl tries GSSAPI, is refused and gives up.
        self.configure(self.server.port, imap="auth = *\n")
        self.assertEqual(net.logon(self.user, PASSWORD)[0], net.CMC_E_LOGON_FAILURE)

    def test_delete_without_uidplus_takes_that_message_only(self):
        self.server.write_inbox("ops", [b"From: x@y\nSubject: %s\n\nbody\n" % s.encode()
                                        for s in ("keep", "drop")])
        self.configure(self.server.port)
        rc, session = net.logon(self.user, PASSWORD)
        self.assertEqual(rc, 0, self.log_text())
        rc, listed = net.list_messages(session)
        self.assertEqual(rc, 0, self.log_text())
        listed = {s: r for r, s, _ in listed}
        self.assertEqual(net.delete_message(session, listed["drop"]), 0, self.log_text())
        self.assertEqual(self.flags(), {"subject: keep": False})
        self.assertEqual([s for _, s, _ in net.list_messages(session)[1]], ["keep"])
        net.logoff(session)


if __name__ == "__main__":
    unittest.main(verbosity=2)
