#!/usr/bin/env python3
"""The network provider end to end, through its C entry points, against
Postfix and Dovecot started for the run (mail_servers.py) and against
aiosmtpd servers programmed with faults. What arrives is checked with
Python's own imaplib and email, independently of the provider.

usage: net_provider_check.py LIB_DIR BIN_DIR
Outside CI (CI unset) a missing package or privilege skips with a reason;
in CI it fails.
"""
import asyncio
import ctypes
import email
import email.policy
import imaplib
import os
import pathlib
import signal
import ssl
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import mail_servers  # noqa: E402

LIB_DIR, BIN_DIR = sys.argv[1], sys.argv[2]
del sys.argv[1:3]
LAST = 0x80000000
CMC_E_INVALID_CONFIGURATION = 10
CMC_E_INVALID_MESSAGE_REFERENCE = 15
CMC_E_LOGON_FAILURE = 19
CMC_E_SERVICE_UNAVAILABLE = 24
USERS = {"ops": "ops-secret", "dba": "dba-secret"}
DOMAIN = mail_servers.DOMAIN


class Recipient(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char_p), ("name_type", ctypes.c_uint32),
                ("address", ctypes.c_char_p), ("role", ctypes.c_uint32),
                ("flags", ctypes.c_uint32), ("extensions", ctypes.c_void_p)]


class Attachment(ctypes.Structure):
    _fields_ = [("title", ctypes.c_char_p), ("type", ctypes.c_char_p),
                ("filename", ctypes.c_char_p), ("flags", ctypes.c_uint32),
                ("extensions", ctypes.c_void_p)]


class Time(ctypes.Structure):
    _fields_ = [(n, ctypes.c_int8) for n in
                ("second", "minute", "hour", "day", "month", "year", "isdst", "unused1")] + \
               [("tmzone", ctypes.c_int16), ("unused2", ctypes.c_int16)]


class Reference(ctypes.Structure):
    _fields_ = [("length", ctypes.c_uint32), ("string", ctypes.c_char * 64)]


class Message(ctypes.Structure):
    _fields_ = [("reference", ctypes.POINTER(Reference)), ("type", ctypes.c_char_p),
                ("subject", ctypes.c_char_p), ("time", Time), ("text", ctypes.c_char_p),
                ("recipients", ctypes.POINTER(Recipient)),
                ("attachments", ctypes.POINTER(Attachment)), ("flags", ctypes.c_uint32),
                ("extensions", ctypes.c_void_p)]


class Summary(ctypes.Structure):
    _fields_ = [("reference", ctypes.POINTER(Reference)), ("type", ctypes.c_char_p),
                ("subject", ctypes.c_char_p), ("time", Time), ("byte_length", ctypes.c_uint32),
                ("originator", ctypes.POINTER(Recipient)), ("flags", ctypes.c_uint32),
                ("extensions", ctypes.c_void_p)]


def wait_until(condition, seconds=20, what="condition"):
    deadline = time.time() + seconds
    while time.time() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.1)
    raise AssertionError("timed out waiting for " + what)


def write_config(path, *, imap_port, smtp_urls, spool, log, tls="required", ca_file="",
                 imap_scheme="imap", retry_attempts=5, retry_delay=60, drain=5, transfer_timeout=10,
                 extra=""):
    path.write_text(f"""; written by the test
[imap]
url = {imap_scheme}://127.0.0.1:{imap_port}/INBOX
[smtp]
servers = {' '.join(smtp_urls)}
[tls]
mode = {tls}
ca_file = {ca_file}
[mail]
domain = {DOMAIN}
from = %u@{DOMAIN}
[delivery]
spool = {spool}
retry_attempts = {retry_attempts}
retry_delay = {retry_delay}
connect_timeout = 8
transfer_timeout = {transfer_timeout}
max_message_bytes = 8000000
drain_seconds = {drain}
log = {log}
{extra}""")


class Provider:
    """The provider's entry points, loaded once for the process."""
    cmc = None

    @classmethod
    def load(cls):
        if cls.cmc is None:
            cls.cmc = ctypes.CDLL(os.path.join(LIB_DIR, "libvelnet.so"))
        return cls.cmc


def logon(user, password):
    session = ctypes.c_uint32()
    rc = Provider.load().cmc_logon(None, user.encode(), password.encode(), None, 0, 100, 0,
                                   ctypes.byref(session), None)
    return rc, session.value


def send(session, recipients, subject, text, attachments=(), workdir=None):
    recs = (Recipient * len(recipients))()
    for i, (name, role) in enumerate(recipients):
        recs[i] = Recipient(name.encode(), 1, None, role, LAST if i == len(recipients) - 1 else 0,
                            None)
    atts = None
    if attachments:
        atts = (Attachment * len(attachments))()
        for i, (title, data) in enumerate(attachments):
            path = pathlib.Path(workdir) / ("attachment-%d" % i)
            path.write_bytes(data)
            atts[i] = Attachment(title.encode(), None, str(path).encode(),
                                 LAST if i == len(attachments) - 1 else 0, None)
    message = Message(None, b"CMC: IPM", subject.encode(), Time(), text.encode(), recs, atts, 0,
                      None)
    return Provider.load().cmc_send(session, ctypes.byref(message), 0, 0, None)


def list_messages(session):
    cmc = Provider.load()
    count = ctypes.c_uint32(0)
    result = ctypes.POINTER(Summary)()
    rc = cmc.cmc_list(session, None, 0, None, ctypes.byref(count), 0, ctypes.byref(result), None)
    out = []
    for i in range(count.value):
        s = result[i]
        out.append((s.reference.contents.string[:s.reference.contents.length],
                    (s.subject or b"").decode(), bool(s.flags & 1)))
    if count.value:
        cmc.cmc_free(result)
    return rc, out


def read_message(session, reference, peek):
    cmc = Provider.load()
    ref = Reference(len(reference), reference)
    message = ctypes.POINTER(Message)()
    rc = cmc.cmc_read(session, ctypes.byref(ref), 1 if peek else 0, ctypes.byref(message), 0, None)
    if rc:
        return rc, None
    m = message.contents
    out = {"subject": (m.subject or b"").decode(), "text": m.text, "attachments": [],
           "read": bool(m.flags & 1)}
    i = 0
    while m.attachments:
        a = m.attachments[i]
        out["attachments"].append((a.title.decode(errors="replace"), a.filename.decode()))
        if a.flags & LAST:
            break
        i += 1
    cmc.cmc_free(message)
    return rc, out


def delete_message(session, reference):
    ref = Reference(len(reference), reference)
    return Provider.load().cmc_act_on(session, ctypes.byref(ref), 1, 0, 0, None)


def logoff(session):
    return Provider.load().cmc_logoff(session, 0, 0, None)


class NetTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        why = mail_servers.missing()
        if why:
            if os.environ.get("CI"):
                raise RuntimeError("CI must run these tests: " + why)
            raise unittest.SkipTest(why)
        cls.temp = tempfile.TemporaryDirectory(prefix="velnet-")
        cls.base = pathlib.Path(cls.temp.name)
        os.chmod(cls.base, 0o755)
        cls.servers = mail_servers.MailServers(cls.base / "servers", USERS)
        (cls.base / "servers").mkdir()
        cls.servers.start()

    @classmethod
    def tearDownClass(cls):
        cls.servers.stop()
        cls.temp.cleanup()

    def setUp(self):
        self.work = pathlib.Path(tempfile.mkdtemp(dir=self.base))
        self.spool = self.work / "spool"
        self.log = self.work / "velnet.log"
        self.config = self.work / "velnet.ini"
        os.environ["VELNET_CONFIG"] = str(self.config)

    def configure(self, **kw):
        kw.setdefault("imap_port", self.servers.imap_port)
        kw.setdefault("smtp_urls", ["smtp://127.0.0.1:%d" % self.servers.smtp_port])
        kw.setdefault("ca_file", self.servers.ca_file)
        write_config(self.config, spool=self.spool, log=self.log, **kw)

    def log_text(self):
        return self.log.read_text() if self.log.exists() else ""

    def imap(self, user):
        context = ssl.create_default_context(cafile=str(self.servers.ca_file))
        box = imaplib.IMAP4("127.0.0.1", self.servers.imap_port)
        box.starttls(context)
        box.login(user, USERS[user])
        box.select("INBOX")
        return box

    def mailbox(self, user):
        """Every message in user's INBOX, with its flags, read with BODY.PEEK."""
        box = self.imap(user)
        try:
            typ, data = box.uid("FETCH", "1:*", "(FLAGS BODY.PEEK[])")
            out = []
            for item in data:
                if isinstance(item, tuple):
                    out.append((item[0], email.message_from_bytes(item[1], policy=email.policy.default)))
            return out
        finally:
            box.logout()


class RealServers(NetTest):
    def test_a_large_mailbox_is_listed_whole_and_stays_unread(self):
        # More messages than libcurl takes response lines in one command.
        box = self.imap("dba")
        for i in range(450):
            box.append("INBOX", None, None, b"From: x@y\r\nSubject: n%d\r\n\r\nbody\r\n" % i)
        box.logout()
        self.configure()
        rc, session = logon("dba", USERS["dba"])
        rc, listed = list_messages(session)
        self.assertEqual(rc, 0, self.log_text())
        self.assertEqual([s for _, s, _ in listed], ["n%d" % i for i in range(450)])
        self.assertFalse(any(read for _, _, read in listed))
        logoff(session)
        box = self.imap("dba")
        self.assertEqual(len(box.uid("SEARCH", "UNSEEN")[1][0].split()), 450)
        box.uid("STORE", "1:*", "+FLAGS", "(\\Deleted)")
        box.expunge()
        box.logout()

    def test_another_clients_changes_show_in_the_same_sessions_next_listing(self):
        box = self.imap("dba")
        for subject in (b"first", b"second", b"third"):
            box.append("INBOX", None, None, b"From: x@y\r\nSubject: " + subject + b"\r\n\r\nbody\r\n")
        self.configure()
        rc, session = logon("dba", USERS["dba"])
        try:
            rc, listed = list_messages(session)
            self.assertEqual(rc, 0, self.log_text())
            self.assertEqual([(s, r) for _, s, r in listed],
                             [("first", False), ("second", False), ("third", False)])
            # Unchanged: listed again from what the session holds.
            self.assertEqual(list_messages(session)[1], listed)
            # Another client: one message arrives, one goes, one is read.
            uids = box.uid("SEARCH", "ALL")[1][0].split()
            box.uid("STORE", uids[0], "+FLAGS", "(\\Deleted)")
            box.expunge()
            box.uid("STORE", uids[2], "+FLAGS", "(\\Seen)")
            box.append("INBOX", None, None, b"From: x@y\r\nSubject: fourth\r\n\r\nbody\r\n")
            rc, listed = list_messages(session)
            self.assertEqual(rc, 0, self.log_text())
            self.assertEqual([(s, r) for _, s, r in listed],
                             [("second", False), ("third", True), ("fourth", False)])
            # A flag changed alone shows too.
            box.uid("STORE", uids[1], "+FLAGS", "(\\Seen)")
            self.assertEqual([(s, r) for _, s, r in list_messages(session)[1]],
                             [("second", True), ("third", True), ("fourth", False)])
        finally:
            logoff(session)
            box.uid("STORE", "1:*", "+FLAGS", "(\\Deleted)")
            box.expunge()
            box.logout()

    def test_logon_is_refused_for_what_is_wrong_and_the_log_says_why(self):
        self.configure()
        rc, session = logon("ops", "wrong")
        self.assertEqual(rc, CMC_E_LOGON_FAILURE)
        self.assertNotIn("wrong", self.log_text().replace("wrong password", ""))

        # A certificate from an authority the configuration does not trust.
        self.configure(ca_file=self.servers.other_ca_file)
        rc, _ = logon("ops", USERS["ops"])
        self.assertNotEqual(rc, 0)
        self.assertNotEqual(rc, CMC_E_LOGON_FAILURE)
        self.assertIn("certificate", self.log_text().lower())

        # Nothing listening: a failure of its own.
        self.configure(imap_port=mail_servers.free_port())
        self.assertEqual(logon("ops", USERS["ops"])[0], CMC_E_SERVICE_UNAVAILABLE)

        # A wrong configuration: the code says so and the log says exactly what.
        self.configure(extra="colour = blue\n")
        self.assertEqual(logon("ops", USERS["ops"])[0], CMC_E_INVALID_CONFIGURATION)
        self.assertIn("unknown key colour in [delivery]", self.log_text())
        self.configure(retry_attempts="many")
        self.assertEqual(logon("ops", USERS["ops"])[0], CMC_E_INVALID_CONFIGURATION)
        self.assertIn("delivery.retry_attempts must be a whole number", self.log_text())
        self.configure(extra="connections = 0\n")
        self.assertEqual(logon("ops", USERS["ops"])[0], CMC_E_INVALID_CONFIGURATION)
        self.assertIn("delivery.connections must be a whole number from 1 to 16", self.log_text())
        self.assertNotIn(USERS["ops"], self.log_text())

    def test_mail_to_two_users_arrives_in_both_and_is_walked_and_deleted(self):
        self.configure()
        rc, session = logon("ops", USERS["ops"])
        self.assertEqual(rc, 0, self.log_text())
        payload = bytes(range(256)) * 40 + b"\r\nlast line\n"
        rc = send(session, [("dba", 0), ("ops", 1)], "Nightly report \u00e9t\u00e9",
                  "Rows attached.\n", [("report.csv", payload)], workdir=self.work)
        self.assertEqual(rc, 0)
        # Both mailboxes, read independently.
        for user in ("dba", "ops"):
            messages = wait_until(lambda: self.mailbox(user), what="mail for " + user)
            self.assertEqual(len(messages), 1)
            flags, m = messages[0]
            self.assertEqual(m["Subject"], "Nightly report \u00e9t\u00e9")
            self.assertEqual(m["From"], "ops@" + DOMAIN)
            self.assertIn("dba@" + DOMAIN, m["To"])
            self.assertIn("ops@" + DOMAIN, m["Cc"])
            self.assertTrue(m["Message-ID"])
            self.assertTrue(m["Date"])
            parts = list(m.iter_attachments())
            self.assertEqual(len(parts), 1)
            self.assertEqual(parts[0].get_filename(), "report.csv")
            self.assertEqual(parts[0].get_payload(decode=True), payload)
            self.assertEqual(m.get_body(("plain",)).get_content().replace("\r\n", "\n"), "Rows attached.\n")
        self.assertIn(" to=dba@%s,ops@%s " % (DOMAIN, DOMAIN), (self.spool / "sent.log").read_text())

        # Walk ops's mailbox: a peek leaves it unread, a read marks it.
        rc, listed = list_messages(session)
        self.assertEqual(rc, 0)
        self.assertEqual([(s, r) for _, s, r in listed], [("Nightly report \u00e9t\u00e9", False)])
        reference = listed[0][0]
        rc, m = read_message(session, reference, peek=True)
        self.assertEqual(rc, 0)
        self.assertEqual(m["text"], b"Rows attached.\n")
        self.assertEqual(pathlib.Path(m["attachments"][0][1]).read_bytes(), payload)
        self.assertNotIn(b"\\Seen", self.mailbox("ops")[0][0])
        rc, m = read_message(session, reference, peek=False)
        self.assertTrue(m["read"])
        self.assertIn(b"\\Seen", self.mailbox("ops")[0][0])
        self.assertTrue(list_messages(session)[1][0][2])

        # A reference of another UIDVALIDITY is not found.
        validity, uid = reference.split(b".")
        other = str(int(validity) + 1).encode() + b"." + uid
        self.assertEqual(read_message(session, other, True)[0], CMC_E_INVALID_MESSAGE_REFERENCE)

        # Delete removes that message only.
        self.assertEqual(delete_message(session, reference), 0)
        self.assertEqual(self.mailbox("ops"), [])
        self.assertEqual(len(self.mailbox("dba")), 1)
        self.assertEqual(list_messages(session)[1], [])
        self.assertEqual(delete_message(session, reference), CMC_E_INVALID_MESSAGE_REFERENCE)
        self.assertEqual(logoff(session), 0)
        self.assertNotIn(USERS["ops"], self.log_text())
        spooled = b"".join(p.read_bytes() for p in self.spool.rglob("*") if p.is_file())
        self.assertNotIn(USERS["ops"].encode(), spooled)

    def test_hostile_mail_is_read_safely(self):
        hostile = [
            b"From: x@y\r\nSubject: broken\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
            b"--b\r\nContent-Type: text/plain\r\n\r\nunfinished\r\n--b\r\nContent-Type: applic",
            b"From: x@y\r\nSubject: escape\r\nMIME-Version: 1.0\r\n"
            b"Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\nContent-Type: text/plain\r\n\r\n"
            b"hi\r\n--b\r\nContent-Type: application/octet-stream\r\n"
            b"Content-Disposition: attachment; filename=\"../../x\"\r\n"
            b"Content-Transfer-Encoding: base64\r\n\r\naGk=\r\n--b--\r\n",
            b"From: x@y\r\nSubject: huge\r\nX-Huge: " + b"a" * 3000000 + b"\r\n\r\nbody\r\n",
        ]
        box = self.imap("dba")
        for raw in hostile:
            box.append("INBOX", None, None, raw)
        box.logout()
        self.configure()
        rc, session = logon("dba", USERS["dba"])
        self.assertEqual(rc, 0)
        rc, listed = list_messages(session)
        self.assertEqual(rc, 0)
        self.assertEqual([s for _, s, _ in listed], ["broken", "escape", "huge"])
        for reference, subject, _ in listed:
            rc, m = read_message(session, reference, peek=True)
            self.assertEqual(rc, 0, subject)
            for title, path in m["attachments"]:
                self.assertTrue(pathlib.Path(path).resolve().is_relative_to(self.spool.resolve()), path)
                self.assertEqual(pathlib.Path(path).stat().st_mode & 0o077, 0)
        self.assertFalse((self.spool / "x").exists())
        self.assertFalse((self.spool.parent / "x").exists())
        # Deleted by another client after the listing: not found.
        box = self.imap("dba")
        box.uid("STORE", listed[0][0].split(b".")[1].decode(), "+FLAGS", "(\\Deleted)")
        box.expunge()
        box.logout()
        self.assertEqual(read_message(session, listed[0][0], True)[0],
                         CMC_E_INVALID_MESSAGE_REFERENCE)
        self.assertEqual([s for _, s, _ in list_messages(session)[1]], ["escape", "huge"])
        logoff(session)
        box = self.imap("dba")
        box.uid("STORE", "1:*", "+FLAGS", "(\\Deleted)")
        box.expunge()
        box.logout()

    def test_every_attachment_is_saved_as_a_file_of_its_own_under_a_short_name(self):
        # A name holding the separator of the reader's list of files, and two
        # long names alike up to their end (a character straddles the cut).
        corpus = pathlib.Path(__file__).resolve().parents[2] / "data" / "mail"
        expected = {
            "separator in a name": [("report_secret.txt", b"secret figures\n"),
                                    ("notes.txt", b"notes\n")],
            "two long names": [(".csv", b"disk,free\nc,1\n"), (".csv", b"disk,free\nc,2\n")],
        }
        box = self.imap("dba")
        for name in ("separator_in_name.eml", "long_names.eml"):
            box.append("INBOX", None, None, (corpus / name).read_bytes().replace(b"\n", b"\r\n"))
        box.logout()
        self.configure()
        rc, session = logon("dba", USERS["dba"])
        self.assertEqual(rc, 0)
        try:
            rc, listed = list_messages(session)
            self.assertEqual(rc, 0)
            self.assertEqual(sorted(s for _, s, _ in listed), sorted(expected))
            for reference, subject, _ in listed:
                with self.subTest(subject):
                    rc, m = read_message(session, reference, peek=True)  # paths decode as UTF-8
                    self.assertEqual(rc, 0)
                    paths = [path for _, path in m["attachments"]]
                    self.assertEqual(len(paths), len(expected[subject]), paths)
                    self.assertEqual(len(set(paths)), len(paths), paths)
                    for path, (ending, content) in zip(paths, expected[subject]):
                        self.assertNotIn(";", path)
                        self.assertTrue(os.path.isabs(path), path)
                        self.assertTrue(path.endswith(ending), path)
                        self.assertLessEqual(len(os.path.basename(path).encode()), 64, path)
                        self.assertEqual(pathlib.Path(path).read_bytes(), content, path)
        finally:
            logoff(session)
            box = self.imap("dba")
            box.uid("STORE", "1:*", "+FLAGS", "(\\Deleted)")
            box.expunge()
            box.logout()


class FaultServer:
    """An aiosmtpd server on a loopback port that answers as programmed."""

    def __init__(self, port=None):
        from aiosmtpd.controller import Controller
        self.port = port or mail_servers.free_port()
        self.rcpt_replies = {}   # address -> reply instead of accepting it
        self.data_replies = []   # replies to DATA before one is accepted
        self.stalls = []         # per DATA: "drop" the connection, seconds to wait, or None
        self.received = []       # (mail_from, recipients, content)
        self.received_on = []    # for each message received, its connection's number
        self.data_delay = 0      # seconds each DATA waits before its answer
        self.in_data = 0         # DATA commands waiting for their answer now
        self.most_in_data = 0    # ... and the most at any time
        self.connections = []    # the servers' ends of the connections, in order
        handler = self

        class Handler:
            async def handle_RCPT(self, server, session, envelope, address, options):
                if address in handler.rcpt_replies:
                    return handler.rcpt_replies[address]
                envelope.rcpt_tos.append(address)
                return "250 OK"

            async def handle_DATA(self, server, session, envelope):
                if server not in handler.connections:
                    handler.connections.append(server)
                stall = handler.stalls.pop(0) if handler.stalls else None
                if handler.data_delay:
                    handler.in_data += 1
                    handler.most_in_data = max(handler.most_in_data, handler.in_data)
                    await asyncio.sleep(handler.data_delay)
                    handler.in_data -= 1
                if stall is not None:
                    if stall == "drop":
                        server.transport.close()
                        return "421 closing"
                    await asyncio.sleep(stall)
                    return "451 4.4.2 too late"
                if handler.data_replies:
                    return handler.data_replies.pop(0)
                handler.received.append((envelope.mail_from, list(envelope.rcpt_tos),
                                         envelope.content))
                handler.received_on.append(handler.connections.index(server))
                return "250 2.0.0 accepted"

        self.controller = Controller(Handler(), hostname="127.0.0.1", port=self.port)

    def url(self):
        return "smtp://127.0.0.1:%d" % self.port

    def close_connections(self):
        """Ends every open connection from the server's side, as an idle time-out does."""
        for server in self.connections:
            if server.transport is not None:
                self.controller.loop.call_soon_threadsafe(server.transport.close)

    def subjects(self):
        return [m[2].split(b"Subject: ")[1].split(b"\r\n")[0].decode() for m in self.received]

    def __enter__(self):
        self.controller.start()
        return self

    def __exit__(self, *exc):
        self.controller.stop()


def status_output(config):
    return subprocess.run([os.path.join(BIN_DIR, "velnet-status")], capture_output=True, text=True,
                          env=dict(os.environ, VELNET_CONFIG=str(config)), check=True).stdout


class Faults(NetTest):
    """Delivery against programmed servers; the IMAP logon is Dovecot's, in plain text."""

    def configure(self, **kw):
        kw.setdefault("tls", "none")
        kw.setdefault("ca_file", "")
        super().configure(**kw)

    def test_failover_outage_and_temporary_refusal(self):
        down = mail_servers.free_port()
        with FaultServer() as second:
            # The first server is down: the second delivers.
            self.configure(smtp_urls=["smtp://127.0.0.1:%d" % down, second.url()], retry_delay=1)
            rc, session = logon("ops", USERS["ops"])
            self.assertEqual(rc, 0)
            self.assertEqual(send(session, [("dba", 0)], "one", "1\n"), 0)
            wait_until(lambda: second.received, what="delivery by the second server")
            self.assertEqual(second.received[0][1], ["dba@" + DOMAIN])

            # A 4xx is retried; the message is sent once.
            second.data_replies = ["451 4.3.0 try again later"]
            self.assertEqual(send(session, [("dba", 0)], "two", "2\n"), 0)
            wait_until(lambda: len(second.received) == 2, what="the retry")
            self.assertIn("451", self.log_text())
            logoff(session)

        # All servers down: queued, then delivered once one comes back.
        self.configure(smtp_urls=["smtp://127.0.0.1:%d" % down], retry_delay=1, drain=0)
        rc, session = logon("ops", USERS["ops"])
        self.assertEqual(send(session, [("dba", 0)], "three", "3\n"), 0)
        wait_until(lambda: "attempts=1" in status_output(self.config), what="a failed attempt")
        with FaultServer(down) as back:
            wait_until(lambda: back.received, what="delivery once the server is back")
        self.assertIn("queued: 0", status_output(self.config))
        logoff(session)

    def test_a_dropped_connection_and_a_slow_answer_are_retried(self):
        with FaultServer() as server:
            server.stalls = ["drop", 4]
            self.configure(smtp_urls=[server.url()], retry_delay=1, transfer_timeout=2)
            rc, session = logon("ops", USERS["ops"])
            self.assertEqual(send(session, [("dba", 0)], "persistent", "x\n"), 0)
            wait_until(lambda: server.received, seconds=30, what="delivery on the third attempt")
            self.assertEqual(len(server.received), 1)
            self.assertEqual(server.stalls, [])
            logoff(session)
        self.assertIn("queued: 0", status_output(self.config))
        self.assertIn("failed: 0", status_output(self.config))

    def test_permanent_refusal_of_one_recipient_is_recorded(self):
        with FaultServer() as server:
            server.rcpt_replies["nobody@" + DOMAIN] = "550 5.1.1 no such user here"
            self.configure(smtp_urls=[server.url()])
            rc, session = logon("ops", USERS["ops"])
            self.assertEqual(send(session, [("dba", 0), ("nobody", 1)], "partly", "x\n"), 0)
            self.assertEqual(logoff(session), 0)  # waits for the spool
            self.assertEqual(server.received[0][1], ["dba@" + DOMAIN])
        status = status_output(self.config)
        self.assertIn("failed: 1", status)
        self.assertIn("nobody@%s: 550 5.1.1 no such user here" % DOMAIN, status)
        self.assertIn("delivered to dba@" + DOMAIN, status)
        self.assertIn("to=dba@" + DOMAIN, status)

    def test_mail_spooled_before_a_crash_is_delivered_after_restart(self):
        down = mail_servers.free_port()
        self.configure(smtp_urls=["smtp://127.0.0.1:%d" % down], retry_delay=1)
        # Another process sends and is killed before anything is delivered.
        script = (
            "import ctypes, os, signal, sys\n"
            "sys.path.insert(0, %r)\n"
            "sys.argv[1:] = [%r, %r]\n"
            "import net_provider_check as t\n"
            "rc, s = t.logon('ops', %r)\n"
            "assert rc == 0 and t.send(s, [('dba', 0)], 'survivor', 'kept\\n') == 0\n"
            "os.kill(os.getpid(), signal.SIGKILL)\n"
        ) % (os.path.dirname(os.path.abspath(__file__)), LIB_DIR, BIN_DIR, USERS["ops"])
        child = subprocess.run([sys.executable, "-c", script], env=dict(os.environ))
        self.assertEqual(child.returncode, -signal.SIGKILL)
        self.assertIn("queued: 1", status_output(self.config))
        with FaultServer(down) as server:
            rc, session = logon("ops", USERS["ops"])
            self.assertEqual(rc, 0)
            wait_until(lambda: server.received, what="delivery after the restart")
            self.assertIn(b"Subject: survivor", server.received[0][2])
            logoff(session)
        self.assertIn("queued: 0", status_output(self.config))

    def test_flush_delivers_what_is_queued_now(self):
        down = mail_servers.free_port()
        self.configure(smtp_urls=["smtp://127.0.0.1:%d" % down], retry_delay=3600, drain=0)
        rc, session = logon("ops", USERS["ops"])
        self.assertEqual(send(session, [("dba", 0)], "for cron", "x\n"), 0)
        wait_until(lambda: "attempts=1" in status_output(self.config), what="a failed attempt")
        logoff(session)
        flush = [os.path.join(BIN_DIR, "velnet-flush"), "ops"]
        env = dict(os.environ, VELNET_CONFIG=str(self.config))
        with FaultServer(down) as server:
            done = subprocess.run(flush, input=USERS["ops"] + "\n", text=True, env=env,
                                  capture_output=True)
            self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
            self.assertEqual(len(server.received), 1)
        self.assertIn("queued: 0", status_output(self.config))
        self.assertNotIn(USERS["ops"], self.log_text())


if __name__ == "__main__":
    unittest.main(verbosity=2)
