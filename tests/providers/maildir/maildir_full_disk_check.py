#!/usr/bin/env python3
"""The maildir provider on a full disk: a small file system of the test's
own (tmpfs, mounted as root) holds the mail root; once it is full, sending
and saving a read message's attachments fail with CMC_E_DISK_FULL, nothing
half-written is left in a mailbox, and the mail already stored still
reads.

usage: maildir_full_disk_check.py LIB_DIR PASSWD_TOOL
Outside CI, without root, it skips with its reason; in CI it fails.
"""
import ctypes
import os
import pathlib
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import maildir_stored_check as stored  # noqa: E402  (takes its arguments from argv)

CMC_E_DISK_FULL = 7
LAST = 0x80000000


class Summary(ctypes.Structure):
    _fields_ = [("reference", ctypes.c_void_p), ("type", ctypes.c_char_p),
                ("subject", ctypes.c_char_p), ("time", stored.Time),
                ("byte_length", ctypes.c_uint32), ("originator", ctypes.c_void_p),
                ("flags", ctypes.c_uint32), ("extensions", ctypes.c_void_p)]


class FullDisk(unittest.TestCase):
    def setUp(self):
        if os.geteuid() != 0:
            if os.environ.get("CI"):
                self.fail("CI must run this test as root")
            self.skipTest("mounting a small file system needs root")
        self.temp = tempfile.TemporaryDirectory(prefix="velcmc-full-")
        self.addCleanup(self.temp.cleanup)
        self.root = pathlib.Path(self.temp.name) / "mail"
        self.root.mkdir()
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m", "tmpfs", str(self.root)],
                       check=True)
        self.addCleanup(subprocess.run, ["umount", "-l", str(self.root)])
        for name in ("alice", "bob"):
            subprocess.run([stored.PASSWD_TOOL, str(self.root), name], input=b"pw\n", check=True)
        os.environ["VELCMC_ROOT"] = str(self.root)
        self.cmc = ctypes.CDLL(os.path.join(stored.LIB_DIR, "libvelcmc.so"))
        self.session = ctypes.c_uint32()
        self.assertEqual(self.cmc.cmc_logon(None, b"alice", b"pw", None, 0, 100, 0,
                                            ctypes.byref(self.session), None), 0)
        self.addCleanup(self.cmc.cmc_logoff, self.session, 0, 0, None)

    def send(self, to, subject, attachment):
        path = pathlib.Path(self.temp.name) / "attached.bin"
        path.write_bytes(attachment)
        recipients = (stored.Recipient * 1)(stored.Recipient(to, 1, None, 0, LAST, None))
        attachments = (stored.Attachment * 1)(
            stored.Attachment(b"data.bin", None, str(path).encode(), LAST, None))
        message = stored.Message(None, b"CMC: IPM", subject, stored.Time(), b"text\n", recipients,
                                 attachments, LAST, None)
        return self.cmc.cmc_send(self.session, ctypes.byref(message), 0, 0, None)

    def fill(self):
        try:
            with open(self.root / "filler", "wb") as f:
                while True:
                    f.write(b"\0" * 4096)
                    f.flush()
        except OSError:
            pass

    def test_a_full_disk_is_reported_as_such_and_leaves_no_half_message(self):
        self.assertEqual(self.send(b"alice", b"before", os.urandom(100_000)), 0)
        self.fill()
        self.assertEqual(self.send(b"bob", b"after", os.urandom(100_000)), CMC_E_DISK_FULL)
        self.assertEqual(list((self.root / "bob" / "new").iterdir()), [])
        self.assertEqual(list((self.root / "bob" / "tmp").iterdir()), [])
        # The stored message lists; saving its attachment has no room.
        self.assertEqual(self.read_first(), CMC_E_DISK_FULL)
        # With room again, it reads.
        (self.root / "filler").unlink()
        self.assertEqual(self.read_first(), 0)

    def read_first(self):
        count, listed = ctypes.c_uint32(0), ctypes.POINTER(Summary)()
        self.assertEqual(self.cmc.cmc_list(self.session, None, 0, None, ctypes.byref(count), 0,
                                           ctypes.byref(listed), None), 0)
        self.assertEqual(count.value, 1)
        read = ctypes.c_void_p()
        rc = self.cmc.cmc_read(self.session, ctypes.c_void_p(listed[0].reference), 0,
                               ctypes.byref(read), 0, None)
        if rc == 0:
            self.cmc.cmc_free(read)
        self.cmc.cmc_free(listed)
        return rc

if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
