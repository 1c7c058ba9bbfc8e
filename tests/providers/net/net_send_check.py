#!/usr/bin/env python3
"""What the network provider sends, end to end through its C entry points:
which files it refuses to attach, and what its messages look like on the
SMTP stream (an aiosmtpd server records the DATA bytes) and once delivered
by Postfix and Dovecot (read back with imaplib and Python's email).

usage: net_send_check.py LIB_DIR BIN_DIR
Outside CI (CI unset) a missing package or privilege skips with a reason;
in CI it fails.
"""
import ctypes
import email
import email.policy
import os
import subprocess
import pathlib
import re
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import net_provider_check as net  # noqa: E402  (takes LIB_DIR and BIN_DIR from argv)
import mail_servers  # noqa: E402

CMC_E_ATTACHMENT_OPEN_FAILURE = 3
CMC_E_RECIPIENT_NOT_FOUND = 23
DOMAIN = net.DOMAIN
USERS = net.USERS

# Texts that must each reach the reader exactly: a CR alone, CRLF line
# ends, an attempt at ending the DATA early with CR . CR LF, 8-bit text, a
# line longer than SMTP allows, text without a final line end, and plain
# short ASCII lines.
TEXTS = {
    "bare-cr": "one\rtwo\n",
    "crlf": "dos\r\nlines\r\n",
    "dot": "first\r.\r\nMAIL FROM:<x@y>\r\n\rsecond.\n",
    "utf8": "Zo\u00eb \u00c5ngstr\u00f6m, caf\u00e9 \u2713\n",
    "long": "x" * 2000 + "\nshort\n" + "\u00e9" * 700 + "\n",
    "no-line-end": "the last line has no end",
    "ascii": "plain ASCII\nshort lines\n",
}

# Attachment names that try to end the part's header early.
HOSTILE_TITLE = "a\r\nContent-Type: text/html\r\n\r\n<b>x</b>.txt"
HOSTILE_FILE = "in\r\nX-Injected: 1\r\nclude.txt"


def clean(name):
    return re.sub(r"[\x00-\x1f\x7f]", "_", name)


def send_files(session, recipients, subject, text, files=()):
    """Sends with attachments given as (title or None, path)."""
    recs = (net.Recipient * len(recipients))()
    for i, (name, role) in enumerate(recipients):
        recs[i] = net.Recipient(name.encode(), 1, None, role,
                                net.LAST if i == len(recipients) - 1 else 0, None)
    atts = None
    if files:
        atts = (net.Attachment * len(files))()
        for i, (title, path) in enumerate(files):
            atts[i] = net.Attachment(title.encode() if title else None, None, str(path).encode(),
                                     net.LAST if i == len(files) - 1 else 0, None)
    message = net.Message(None, b"CMC: IPM", subject.encode(), net.Time(), text.encode(), recs,
                          atts, 0, None)
    return net.Provider.load().cmc_send(session, ctypes.byref(message), 0, 0, None)


class SentMail(net.NetTest):
    def attachments_dir(self):
        d = self.work / "files"
        d.mkdir(exist_ok=True)
        return d

    def hostile_files(self):
        """Attachments with hostile names and text or binary content, and
        what each must arrive as: (title, path, file name, type, charset, bytes)."""
        d = self.attachments_dir()
        utf8 = "Zo\u00eb \u00c5ngstr\u00f6m\n".encode()
        # Characters of three bytes cross the blocks the check reads in.
        big = ("x" + "\u20ac" * 30000 + "\n").encode()
        files = [
            (HOSTILE_TITLE, "t0", b"payload\n", clean(HOSTILE_TITLE), "text/plain", "utf-8"),
            (None, HOSTILE_FILE, b"included\n", clean(HOSTILE_FILE), "text/plain", "utf-8"),
            ("names.txt", "names.txt", utf8, "names.txt", "text/plain", "utf-8"),
            ("vel12345.txt", "vel12345.txt", big, "vel12345.txt", "text/plain", "utf-8"),
            ("plain.csv", "plain.csv", b"a,b\n1,2\n", "plain.csv", "text/csv", "utf-8"),
            ("latin1.txt", "latin1.txt", b"Zo\xeb\n", "latin1.txt", "application/octet-stream",
             None),
            ("nul.txt", "nul.txt", b"a\x00b\n", "nul.txt", "application/octet-stream", None),
            ("data.bin", "data.bin", bytes(range(256)), "data.bin", "application/octet-stream",
             None),
        ]
        out = []
        for title, name, data, shown, mime, charset in files:
            path = d / name
            path.write_bytes(data)
            out.append((title, path, shown, mime, charset, data))
        return out

    def check_attachments(self, msg, expected):
        self.assertEqual(msg.defects, [])
        parts = list(msg.iter_attachments())
        self.assertEqual(len(parts), len(expected))
        for part, (_, _, shown, mime, charset, data) in zip(parts, expected):
            self.assertEqual(part.defects, [], shown)
            self.assertEqual(sorted(part.keys()), ["Content-Disposition",
                                                   "Content-Transfer-Encoding", "Content-Type"],
                             shown)
            self.assertEqual(part.get_filename(), shown)
            self.assertEqual(part.get_content_type(), mime, shown)
            self.assertEqual(part.get_param("charset"), charset, shown)
            self.assertEqual(part.get_payload(decode=True), data, shown)
            if charset:
                self.assertEqual(part.get_content(), data.decode(), shown)

    def check_text(self, name, msg, network_line_ends):
        """The text part decodes to exactly the text sent. Delivered mail has
        CRLF line ends: what is not encoded to keep every byte has them too."""
        body = msg.get_body(preferencelist=("plain",))
        self.assertEqual(body.get_content_charset(), "utf-8", name)
        decoded = body.get_payload(decode=True)
        sent = TEXTS[name].encode()
        if "\r" in TEXTS[name] or not TEXTS[name].endswith("\n"):
            self.assertEqual(body["Content-Transfer-Encoding"], "base64", name)
        elif network_line_ends:
            decoded = decoded.replace(b"\r\n", b"\n")
        self.assertEqual(decoded, sent, name)
        if name == "ascii":
            self.assertIn(body["Content-Transfer-Encoding"], (None, "7bit"))

    def check_wire(self, raw, what):
        """SMTP's rules for the DATA: CR and LF only as CRLF, lines of at
        most 998 bytes."""
        self.assertIsNone(re.search(rb"\r(?!\n)|(?<!\r)\n", raw), what)
        self.assertLessEqual(max(len(line) for line in raw.split(b"\r\n")), 998, what)

    def test_the_providers_own_files_are_never_attached(self):
        """The spool (queue, records, read attachments), the log and the
        configuration are never attached, by any name."""
        # A message with an attachment, read by the session: its attachment
        # is saved in the spool.
        box = self.imap("ops")
        box.append("INBOX", None, None,
                   b"From: x@y\r\nSubject: with file\r\nMIME-Version: 1.0\r\n"
                   b"Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\n"
                   b"Content-Type: text/plain\r\n\r\nhi\r\n--b\r\n"
                   b"Content-Type: application/octet-stream\r\n"
                   b"Content-Disposition: attachment; filename=\"saved.bin\"\r\n"
                   b"Content-Transfer-Encoding: base64\r\n\r\naGk=\r\n--b--\r\n")
        box.logout()
        # Nothing delivers: what is sent stays queued.
        self.configure(smtp_urls=["smtp://127.0.0.1:%d" % mail_servers.free_port()],
                       retry_delay=3600, drain=0, tls="none", ca_file="")
        rc, session = net.logon("ops", USERS["ops"])
        self.assertEqual(rc, 0, self.log_text())
        self.assertEqual(send_files(session, [("dba", 0), ("hidden-bcc", 2)], "queued",
                                    "the secret body\n"), 0)
        rc, listed = net.list_messages(session)
        self.assertEqual(rc, 0)
        rc, read = net.read_message(session, listed[0][0], peek=True)
        self.assertEqual(rc, 0)
        saved = pathlib.Path(read["attachments"][0][1])
        self.assertEqual(saved.read_bytes(), b"hi")

        queued = [p for p in (self.spool / "queue").rglob("*") if p.is_file()]
        self.assertTrue(queued)
        spool_files = [p for p in self.spool.rglob("*") if p.is_file()]
        # Other names for them: through '..', a link to the spool's
        # directory, a link to the configuration's, a hard link to the log.
        (self.work / "sub").mkdir()
        os.symlink(self.spool, self.work / "spool-link")
        os.symlink(self.work, self.base / ("work-link-%s" % self.work.name))
        os.link(self.log, self.work / "log-hard-link")
        # A queued file's own other names, outside the spool: a hard link,
        # and (as root) a bind mount of that one file.
        os.link(queued[0], self.work / "queued-hard-link")
        other_names = [self.work / "queued-hard-link"]
        if os.geteuid() == 0:
            (self.work / "mounted").write_bytes(b"")
            subprocess.run(["mount", "--bind", str(queued[0]), str(self.work / "mounted")],
                           check=True)
            self.addCleanup(subprocess.run, ["umount", "-l", str(self.work / "mounted")])
            other_names.append(self.work / "mounted")
        other_names += [
            self.work / "sub" / ".." / "spool" / queued[0].relative_to(self.spool),
            self.work / "spool-link" / queued[0].relative_to(self.spool),
            self.base / ("work-link-%s" % self.work.name) / self.config.name,
            self.work / "log-hard-link",
            saved.parent / ".." / saved.parent.name / saved.name,
        ]
        refused = spool_files + [self.log, self.config, saved] + other_names
        for path in refused:
            before = len(self.log_text().splitlines())
            rc = send_files(session, [("dba", 0)], "steal", "x\n", [(None, path)])
            self.assertEqual(rc, CMC_E_ATTACHMENT_OPEN_FAILURE, path)
            new_lines = self.log_text().splitlines()[before:]
            self.assertTrue(any("is one of the provider's own files" in line
                                for line in new_lines), (path, new_lines))

        # A file of anyone else's is attached as before, links to it too.
        fine = self.attachments_dir() / "fine.txt"
        fine.write_text("fine\n")
        os.symlink(self.attachments_dir(), self.work / "files-link")
        self.assertEqual(send_files(session, [("dba", 0)], "fine", "x\n",
                                    [(None, fine), (None, self.work / "files-link" / "fine.txt")]),
                         0)
        status = net.status_output(self.config)
        self.assertIn("queued: 2", status)
        self.assertNotIn("steal", b"".join(p.read_bytes() for p in
                                           (self.spool / "queue").rglob("*") if p.is_file())
                         .decode(errors="replace"))
        net.logoff(session)
        box = self.imap("ops")
        box.uid("STORE", "1:*", "+FLAGS", "(\\Deleted)")
        box.expunge()
        box.logout()

    def test_a_recipient_with_a_control_character_is_refused(self):
        """A control character would be dropped on the way and redirect the
        mail (victim@evil.test\\x01.velmail.test went to victim@evil.test):
        such a recipient is refused, and nothing is spooled."""
        self.configure(smtp_urls=["smtp://127.0.0.1:%d" % mail_servers.free_port()],
                       retry_delay=3600, drain=0, tls="none", ca_file="")
        rc, session = net.logon("ops", USERS["ops"])
        self.assertEqual(rc, 0, self.log_text())
        for hostile in ("victim@evil.test\x01.velmail.test", "dba\x1b", "dba\x7f@x.test",
                        "dba\t@velmail.test", "\x0bdba"):
            self.assertEqual(send_files(session, [(hostile, 0)], "redirected", "x\n"),
                             CMC_E_RECIPIENT_NOT_FOUND, repr(hostile))
        self.assertEqual(list((self.spool / "queue").glob("*.msg")), [])
        self.assertEqual(send_files(session, [("dba", 0)], "fine", "x\n"), 0)
        self.assertEqual(len(list((self.spool / "queue").glob("*.msg"))), 1)
        net.logoff(session)

    def test_the_data_carries_cr_and_lf_only_as_line_ends_and_short_lines(self):
        """The DATA bytes as an SMTP server receives them."""
        with net.FaultServer() as server:
            self.configure(smtp_urls=[server.url()], retry_delay=1, tls="none", ca_file="")
            rc, session = net.logon("ops", USERS["ops"])
            self.assertEqual(rc, 0, self.log_text())
            for name, text in TEXTS.items():
                self.assertEqual(send_files(session, [("dba", 0)], name, text), 0, name)
            files = self.hostile_files()
            self.assertEqual(send_files(session, [("dba", 0)], "files", TEXTS["dot"],
                                        [(t, p) for t, p, *_ in files]), 0)
            self.assertEqual(net.logoff(session), 0)  # waits for the spool
            self.assertEqual(len(server.received), len(TEXTS) + 1)
            for _, _, raw in server.received:
                msg = email.message_from_bytes(raw, policy=email.policy.default)
                subject = str(msg["Subject"])
                self.check_wire(raw, subject)
                if subject == "files":
                    self.check_attachments(msg, files)
                    self.check_text("dot", msg, network_line_ends=True)
                    self.assertIsNone(re.search(rb"(?m)^X-Injected", raw))
                else:
                    self.check_text(subject, msg, network_line_ends=True)

    def test_delivered_text_and_attachments_decode_exactly(self):
        """Mail as Postfix and Dovecot deliver it, read back over IMAP."""
        self.configure()
        rc, session = net.logon("ops", USERS["ops"])
        self.assertEqual(rc, 0, self.log_text())
        for name, text in TEXTS.items():
            self.assertEqual(send_files(session, [("dba", 0)], name, text), 0, name)
        files = self.hostile_files()
        self.assertEqual(send_files(session, [("dba", 0)], "files", TEXTS["bare-cr"],
                                    [(t, p) for t, p, *_ in files]), 0)
        self.assertEqual(net.logoff(session), 0)
        messages = net.wait_until(lambda: len(self.mailbox("dba")) == len(TEXTS) + 1 and
                                  self.mailbox("dba"), seconds=60, what="every message")
        box = self.imap("dba")
        try:
            for uid in box.uid("SEARCH", "ALL")[1][0].split():
                raw = box.uid("FETCH", uid, "(BODY.PEEK[])")[1][0][1]
                msg = email.message_from_bytes(raw, policy=email.policy.default)
                subject = str(msg["Subject"])
                self.assertEqual(msg.defects, [], subject)
                if subject == "files":
                    self.check_attachments(msg, files)
                    self.check_text("bare-cr", msg, network_line_ends=True)
                    self.assertIsNone(re.search(rb"(?m)^X-Injected", raw))
                else:
                    self.check_text(subject, msg, network_line_ends=True)
            self.assertEqual(len(messages), len(TEXTS) + 1)
            box.uid("STORE", "1:*", "+FLAGS", "(\\Deleted)")
            box.expunge()
        finally:
            box.logout()


if __name__ == "__main__":
    unittest.main(verbosity=2)
