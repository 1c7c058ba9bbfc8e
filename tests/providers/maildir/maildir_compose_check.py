#!/usr/bin/env python3
"""What the maildir provider stores for texts and attachment files that
are hard to carry: CRs, 8-bit bytes, long lines, control characters in
file names, text files in UTF-8 or not. Each stored copy is read with
Python's own email parser and must give back exactly what was sent.

usage: maildir_compose_check.py LIB_DIR PASSWD_TOOL
"""
import ctypes
import os
import re
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import maildir_stored_check as stored  # noqa: E402  (takes its arguments from argv)

# Texts that must each come back exactly: a CR alone, CRLF line ends, an
# attempt at ending an SMTP DATA early with CR . CR LF, 8-bit text, a line
# longer than mail allows, text without a final line end, and plain short
# ASCII lines.
TEXTS = {
    "bare-cr": "one\rtwo\n",
    "crlf": "dos\r\nlines\r\n",
    "dot": "first\r.\r\nMAIL FROM:<x@y>\r\n\rsecond.\n",
    "utf8": "Zo\u00eb \u00c5ngstr\u00f6m, caf\u00e9 \u2713\n",
    "long": "x" * 2000 + "\nshort\n" + "\u00e9" * 700 + "\n",
    "no-line-end": "the last line has no end",
    "ascii": "plain ASCII\nshort lines\n",
}

HOSTILE_TITLE = "a\r\nContent-Type: text/html\r\n\r\n<b>x</b>.txt"
HOSTILE_FILE = "in\r\nX-Injected: 1\r\nclude.txt"


def clean(name):
    return re.sub(r"[\x00-\x1f\x7f]", "_", name)


class ComposedMail(stored.StoredMessages):
    def send_files(self, subject, text, files):
        """Sends to bob with attachments given as (title or None, path)."""
        recs = (stored.Recipient * 1)()
        recs[0] = stored.Recipient(b"bob", 1, None, 0, stored.LAST, None)
        atts = None
        if files:
            atts = (stored.Attachment * len(files))()
            for i, (title, path) in enumerate(files):
                atts[i] = stored.Attachment(title.encode() if title else None, None,
                                            str(path).encode(),
                                            1 | (stored.LAST if i == len(files) - 1 else 0), None)
        msg = stored.Message(None, b"CMC: IPM", subject.encode(), stored.Time(), text.encode(),
                             recs, atts, stored.LAST, None)
        return self.cmc.cmc_send(self.session, ctypes.byref(msg), 0, 0, None)

    def check_stored(self, raw):
        """As stored: LF line ends only, no CR at all, lines of at most 998
        bytes."""
        self.assertNotIn(b"\r", raw)
        self.assertLessEqual(max(len(line) for line in raw.split(b"\n")), 998)

    def check_text(self, name, msg):
        body = msg.get_body(preferencelist=("plain",))
        self.assertEqual(body.get_content_charset(), "utf-8", name)
        self.assertEqual(body.get_payload(decode=True), TEXTS[name].encode(), name)
        self.assertEqual(body.get_content(), TEXTS[name], name)
        if name == "ascii":
            self.assertIn(body["Content-Transfer-Encoding"], (None, "7bit"))

    def test_texts_are_stored_safely_and_decode_exactly(self):
        for name, text in TEXTS.items():
            # Alone, and beside an attachment.
            self.assertEqual(self.send([("bob", 0)], name, text), 0, name)
            self.assertEqual(self.send([("bob", 0)], name + "+file", text, [("a.bin", b"a")]), 0)
        found = self.stored("bob")
        self.assertEqual(len(found), 2 * len(TEXTS))
        for raw, msg in found:
            subject = str(msg["Subject"])
            self.check_stored(raw)
            self.assertEqual(msg.defects, [], subject)
            self.check_text(subject.split("+")[0], msg)

    def test_attachment_names_and_text_files(self):
        d = self.base / "files"
        d.mkdir(exist_ok=True)
        utf8 = "Zo\u00eb \u00c5ngstr\u00f6m\n".encode()
        # Characters of three bytes cross the blocks the check reads in.
        big = ("x" + "\u20ac" * 30000 + "\n").encode()
        # title, file name, content, file name shown, type, charset
        files = [
            (HOSTILE_TITLE, "t0", b"payload\n", clean(HOSTILE_TITLE), "text/plain", "utf-8"),
            (None, HOSTILE_FILE, b"included\n", clean(HOSTILE_FILE), "text/plain", "utf-8"),
            ("tab\there\x7f.bin", "t2", b"\x00\x01", "tab_here_.bin", "application/octet-stream",
             None),
            ("names.txt", "names.txt", utf8, "names.txt", "text/plain", "utf-8"),
            ("vel12345.txt", "vel12345.txt", big, "vel12345.txt", "text/plain", "utf-8"),
            ("plain.csv", "plain.csv", b"a,b\n1,2\n", "plain.csv", "text/csv", "utf-8"),
            ("latin1.txt", "latin1.txt", b"Zo\xeb\n", "latin1.txt", "application/octet-stream",
             None),
            ("cut.txt", "cut.txt", b"Zo\xc3", "cut.txt", "application/octet-stream", None),
            ("nul.txt", "nul.txt", b"a\x00b\n", "nul.txt", "application/octet-stream", None),
            ("empty.txt", "empty.txt", b"", "empty.txt", "text/plain", "utf-8"),
        ]
        for _, name, data, *_ in files:
            (d / name).write_bytes(data)
        self.assertEqual(self.send_files("files", "see the files\n",
                                         [(t, d / n) for t, n, *_ in files]), 0)
        (raw, msg), = self.stored("bob")
        self.check_stored(raw)
        self.assertIsNone(re.search(rb"(?m)^X-Injected", raw))
        self.assertEqual(msg.defects, [])
        parts = list(msg.iter_attachments())
        self.assertEqual(len(parts), len(files))
        for part, (_, _, data, shown, mime, charset) in zip(parts, files):
            self.assertEqual(part.defects, [], shown)
            self.assertEqual(sorted(part.keys()), ["Content-Disposition",
                                                   "Content-Transfer-Encoding", "Content-Type"])
            self.assertEqual(part.get_filename(), shown)
            self.assertEqual(part.get_content_type(), mime, shown)
            self.assertEqual(part.get_param("charset"), charset, shown)
            self.assertEqual(part.get_payload(decode=True), data, shown)
            if charset:
                self.assertEqual(part.get_content(), data.decode(), shown)

    def test_subjects_that_read_as_encoded_words_come_back_as_typed(self):
        """A subject or message type holding what a reader takes for an
        encoded word reads back as it was typed, not as what the word
        decodes to; a plain subject goes as it is."""
        subjects = [
            "=?utf-8?q?literal?=",
            "Re: =?utf-8?q?x?= and more",
            "caf\u00e9 =?iso-8859-1?b?YQ==?= \u20ac",
            "no=?space?q?x?=inside",
            # Many encoded words, characters of 2 to 4 bytes across their ends.
            "=?" + "\u00e9" * 40 + "\u20ac" * 30 + "\U0001f600" * 20 + "?=",
            "plain subject",
        ]
        for subject in subjects:
            self.assertEqual(self.send([("bob", 0)], subject, "x\n",
                                       message_type="=?utf-8?q?t?= " + subject), 0, subject)
        found = self.stored("bob")
        got = []
        for raw, msg in found:
            self.check_stored(raw)
            self.assertEqual(msg.defects, [])
            got.append((str(msg["Subject"]), str(msg["X-Velcmc-Type"])))
        self.assertEqual(sorted(got), sorted((s, "=?utf-8?q?t?= " + s) for s in subjects))
        self.assertIn(b"\nSubject: plain subject\n", b"\n".join(raw for raw, _ in found))


def load_tests(loader, tests, pattern):
    # Only this file's cases: the stored-message checks it builds on run
    # in their own test.
    return unittest.TestSuite(ComposedMail(name) for name in vars(ComposedMail)
                              if name.startswith("test_"))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
