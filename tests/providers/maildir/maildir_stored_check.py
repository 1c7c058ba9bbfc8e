#!/usr/bin/env python3
"""Sends mail through the maildir provider's C entry points and checks
every stored copy with Python's own email parser: headers, text and
attachments, byte for byte.

usage: maildir_stored_check.py LIB_DIR PASSWD_TOOL
"""
import ctypes
import email
import email.policy
import email.utils
import os
import pathlib
import random
import subprocess
import sys
import tempfile
import unittest

LIB_DIR, PASSWD_TOOL = sys.argv[1], sys.argv[2]
LAST = 0x80000000


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


class Message(ctypes.Structure):
    _fields_ = [("reference", ctypes.c_void_p), ("type", ctypes.c_char_p),
                ("subject", ctypes.c_char_p), ("time", Time), ("text", ctypes.c_char_p),
                ("recipients", ctypes.POINTER(Recipient)),
                ("attachments", ctypes.POINTER(Attachment)), ("flags", ctypes.c_uint32),
                ("extensions", ctypes.c_void_p)]


class StoredMessages(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.temp = tempfile.TemporaryDirectory(prefix="velcmc-py-")
        cls.base = pathlib.Path(cls.temp.name)
        cls.root = cls.base / "mail"
        for name in ("alice", "bob", "carol", "dave"):
            subprocess.run([PASSWD_TOOL, str(cls.root), name], input=b"pw-" + name.encode() + b"\n",
                           check=True)
        os.environ["VELCMC_ROOT"] = str(cls.root)
        cls.cmc = ctypes.CDLL(os.path.join(LIB_DIR, "libvelcmc.so"))
        cls.session = ctypes.c_uint32()
        rc = cls.cmc.cmc_logon(None, b"alice", b"pw-alice", None, 0, 100, 0,
                               ctypes.byref(cls.session), None)
        assert rc == 0, rc

    @classmethod
    def tearDownClass(cls):
        cls.cmc.cmc_logoff(cls.session, 0, 0, None)
        cls.temp.cleanup()

    def send(self, recipients, subject, text, attachments=(), message_type="CMC: IPM"):
        recs = (Recipient * len(recipients))()
        for i, (name, role) in enumerate(recipients):
            recs[i] = Recipient(name.encode(), 1, None, role, LAST if i == len(recipients) - 1 else 0, None)
        atts = None
        keep = []
        if attachments:
            atts = (Attachment * len(attachments))()
            for i, (title, data) in enumerate(attachments):
                path = self.base / ("file%d-%d" % (random.randrange(1 << 30), i))
                path.write_bytes(data)
                keep.append(path)
                atts[i] = Attachment(title.encode(), None, str(path).encode(),
                                     1 | (LAST if i == len(attachments) - 1 else 0), None)
        msg = Message(None, message_type.encode(), subject.encode(), Time(),
                      None if text is None else text.encode(), recs, atts, LAST, None)
        return self.cmc.cmc_send(self.session, ctypes.byref(msg), 0, 0, None)

    def stored(self, mailbox):
        new = self.root / mailbox / "new"
        out = []
        for path in sorted(new.iterdir()):
            raw = path.read_bytes()
            out.append((raw, email.message_from_bytes(raw, policy=email.policy.default)))
            path.unlink()
        return out

    def test_headers_text_and_attachments_survive_byte_for_byte(self):
        rng = random.Random(7)
        binary = bytes(rng.randrange(256) for _ in range(100_000))
        crlf_text = b"first line\r\nsecond line\r\n\r\ntrailing spaces   \r\n"
        subject = "Gr\u00fc\u00dfe \u2713 \u2014 quarterly \"report\" " + "x" * 90
        text = "Caf\u00e9 au lait\n" + "long line " * 40 + "\n  indented\ttab \nlast"
        rc = self.send([("bob", 0), ("carol", 1), ("dave", 2)], subject, text,
                       [("data.bin", binary), ("R\u00e9sum\u00e9 2026.txt", crlf_text),
                        ("empty.dat", b"")])
        self.assertEqual(rc, 0)
        copies = {name: self.stored(name) for name in ("bob", "carol", "dave")}
        ids = set()
        for name, found in copies.items():
            self.assertEqual(len(found), 1, name)
            raw, msg = found[0]
            self.assertEqual(msg["Subject"], subject)
            self.assertEqual(email.utils.parseaddr(str(msg["From"]))[1].split("@")[0], "alice")
            self.assertEqual([a.username for a in msg["To"].addresses], ["bob"])
            self.assertEqual([a.username for a in msg["Cc"].addresses], ["carol"])
            self.assertIsNone(msg["Bcc"])
            self.assertNotIn(b"dave", raw.split(b"\n", 1)[1] if name == "dave" else raw)
            self.assertIsNotNone(msg["Date"].datetime)
            ids.add(msg["Message-ID"])
            self.assertTrue(msg.is_multipart())
            body = msg.get_body(preferencelist=("plain",))
            self.assertEqual(body.get_content_charset(), "utf-8")
            self.assertEqual(body.get_content(), text)
            atts = list(msg.iter_attachments())
            self.assertEqual([a.get_filename() for a in atts],
                             ["data.bin", "R\u00e9sum\u00e9 2026.txt", "empty.dat"])
            self.assertEqual(atts[0].get_payload(decode=True), binary)
            self.assertEqual(atts[1].get_payload(decode=True), crlf_text)
            self.assertEqual(atts[2].get_payload(decode=True), b"")
            self.assertEqual(msg.defects, [])
            for part in msg.walk():
                self.assertEqual(part.defects, [], part.get_content_type())
        self.assertEqual(len(ids), 1)  # one message, several copies

    def test_plain_message_without_attachments_and_message_types(self):
        self.assertEqual(self.send([("bob", 0)], "plain", "just text\n"), 0)
        self.assertEqual(self.send([("bob", 0)], "typed", None, message_type="IPM.Custom: \u00e4"), 0)
        found = self.stored("bob")
        self.assertEqual(len(found), 2)
        by_subject = {msg["Subject"]: msg for _, msg in found}
        plain = by_subject["plain"]
        self.assertFalse(plain.is_multipart())
        self.assertEqual(plain.get_content_type(), "text/plain")
        self.assertEqual(plain.get_content(), "just text\n")
        self.assertIsNone(plain["X-Velcmc-Type"])
        self.assertEqual(str(by_subject["typed"]["X-Velcmc-Type"]), "IPM.Custom: \u00e4")

    def test_failed_send_stores_nothing(self):
        self.assertEqual(self.send([("bob", 0), ("ghost", 1)], "no", "no"), 23)
        self.assertEqual(self.stored("bob"), [])
        self.assertEqual(list((self.root / "bob" / "tmp").iterdir()), [])


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
