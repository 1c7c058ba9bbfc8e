#!/usr/bin/env python3
"""IMAP servers for the network provider's reading tests, on loopback only.

FaultImap: an IMAP server of the tests' own, in a thread, that answers as
programmed (capabilities, a mailbox claiming any size, UID 0, refused or
stalled commands, answers or literals without end) and records every
command line it received.

Imap4d: GNU Mailutils' imap4d started standalone in a temporary
directory with its own configuration (users from a virtual-domain passwd
file, maildirs of its own), stopped by its pid. It offers GSSAPI among
its SASL mechanisms and has no UIDPLUS.
"""
import os
import pathlib
import pwd
import re
import socket
import socketserver
import subprocess
import threading
import time

import mail_servers

IMAP4D = "/usr/sbin/imap4d"


class FaultImap:
    def __init__(self, user="ops", password="ops-secret"):
        self.user, self.password = user, password
        self.capabilities = "IMAP4rev1 UIDPLUS"  # no AUTH=: IMAP's LOGIN command
        self.messages = []         # [uid, flags set, raw bytes]
        self.claimed = None        # MESSAGES in STATUS, when not the real count
        self.endless = 0           # the next N UID FETCH 1:* never end (a response a ms)
        self.endless_literal = False  # summaries and reads get a literal that never ends
        self.closed_at = None      # time.monotonic() when a session last ended
        self.stall_at = 0          # the Nth summary fetch (counting from 1) gets no answer
        self.summary_fetches = []  # the UID sets of the summary fetches
        self.expunge_reply = None  # e.g. "NO expunge refused"
        # [(words of a command, uid, subject)]: the message arrives while the
        # first command with those words is answered, told of by an EXISTS
        # in that answer and never again (as a server tells each session once)
        self.arrivals = []
        self.commands = []         # every line received
        self.connections = 0
        self.open = 0              # connections still open
        self.lock = threading.Lock()
        server = self

        class Handler(socketserver.StreamRequestHandler):
            def handle(self):
                with server.lock:
                    server.connections += 1
                    server.open += 1
                try:
                    server.session(self.rfile, self.wfile)
                except (OSError, ValueError):
                    pass
                finally:
                    with server.lock:
                        server.open -= 1
                        server.closed_at = time.monotonic()

        socketserver.ThreadingTCPServer.allow_reuse_address = True
        self.server = socketserver.ThreadingTCPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.port = self.server.server_address[1]

    def add(self, uid, subject, flags=()):
        raw = ("From: x@y\r\nSubject: %s\r\n\r\nbody of %s\r\n" % (subject, subject)).encode()
        self.messages.append([uid, set(flags), raw])

    def add_made(self, uid, make):
        """A message whose bytes make() returns each time they are sent (a
        large mailbox that costs this process nothing to hold)."""
        self.messages.append([uid, set(), make])

    def session(self, rfile, wfile):
        def plain_send(text):
            wfile.write(text if isinstance(text, bytes) else text.encode())
            wfile.flush()

        plain_send("* OK [CAPABILITY %s] fault server ready\r\n" % self.capabilities)
        while True:
            line = rfile.readline(100000)
            if not line:
                return
            with self.lock:
                self.commands.append(line.decode(errors="replace").rstrip("\r\n"))
            parts = line.decode(errors="replace").rstrip("\r\n").split(" ")
            tag, verb = parts[0], " ".join(parts[1:3]).upper()
            send = self.telling_arrival(line, tag, plain_send)
            word = parts[1].upper() if len(parts) > 1 else ""
            if word == "CAPABILITY":
                send("* CAPABILITY %s\r\n%s OK done\r\n" % (self.capabilities, tag))
            elif word == "LOGIN":
                ok = parts[2:4] == ['"%s"' % self.user, '"%s"' % self.password] or \
                    parts[2:4] == [self.user, self.password]
                send("%s %s\r\n" % (tag, "OK logged in" if ok else "NO wrong password"))
            elif word == "SELECT":
                send("* %d EXISTS\r\n* OK [UIDVALIDITY 5] ok\r\n%s OK [READ-WRITE] done\r\n"
                     % (len(self.messages), tag))
            elif word == "NOOP" or word == "LOGOUT":
                send("%s OK done\r\n" % tag)
                if word == "LOGOUT":
                    return
            elif word == "STATUS":
                count = self.claimed if self.claimed is not None else len(self.messages)
                uidnext = max([m[0] for m in self.messages] + [0]) + 1
                send("* STATUS INBOX (MESSAGES %d UIDNEXT %d UIDVALIDITY 5)\r\n%s OK done\r\n"
                     % (count, uidnext, tag))
            elif verb == "UID FETCH":
                self.fetch(tag, parts[3], " ".join(parts[4:]), send)
            elif verb == "UID SEARCH":
                found = [str(m[0]) for m in self.messages if "\\Deleted" in m[1]]
                send("* SEARCH %s\r\n%s OK done\r\n" % (" ".join(found), tag))
            elif verb == "UID STORE":
                uids = self.uids(parts[3])
                flag = re.search(r"\((.*)\)", line.decode()).group(1)
                for m in self.messages:
                    if m[0] in uids:
                        (m[1].add if "+FLAGS" in parts[4].upper() else m[1].discard)(flag)
                send("%s OK done\r\n" % tag)
            elif word == "EXPUNGE" or verb == "UID EXPUNGE":
                if self.expunge_reply:
                    send("%s %s\r\n" % (tag, self.expunge_reply))
                    continue
                only = self.uids(parts[3]) if verb == "UID EXPUNGE" else None
                self.messages = [m for m in self.messages
                                 if "\\Deleted" not in m[1] or (only is not None and m[0] not in only)]
                send("%s OK done\r\n" % tag)
            else:
                send("%s BAD unknown command\r\n" % tag)

    def telling_arrival(self, line, tag, send):
        """send, or, when the command brings an arrival, a send that adds the
        message once the answer's data is made and tells of it before the
        tagged reply."""
        text = line.decode(errors="replace").upper()
        arrival = next((a for a in self.arrivals if a[0].upper() in text), None)
        if arrival is None:
            return send
        self.arrivals.remove(arrival)
        tagged = ("%s OK" % tag).encode()

        def send_telling(data):
            data = data if isinstance(data, bytes) else data.encode()
            at = data.find(tagged)
            if at >= 0 and (at == 0 or data[at - 2:at] == b"\r\n"):
                self.add(arrival[1], arrival[2])
                data = data[:at] + b"* %d EXISTS\r\n* 1 RECENT\r\n" % len(self.messages) + data[at:]
            send(data)
        return send_telling

    def uids(self, uid_set):
        out = set()
        for piece in uid_set.split(","):
            if ":" in piece:
                a, b = piece.split(":")
                top = max([m[0] for m in self.messages] + [0]) if b == "*" else int(b)
                out.update(range(int(a), top + 1))
            else:
                out.add(int(piece))
        return out

    def fetch(self, tag, uid_set, items, send):
        if self.endless and uid_set == "1:*":
            self.endless -= 1
            n = 1
            while True:  # until the client goes away
                send("* %d FETCH (UID %d FLAGS ())\r\n" % (n, n))
                n += 1
                time.sleep(0.001)
        if self.endless_literal and uid_set != "1:*":
            # A literal longer than any client can wait for, sent as fast
            # as the client takes it, until it goes away.
            send("* 1 FETCH (UID %s BODY[] {18446744073709551615}\r\n" % uid_set.split(":")[0])
            chunk = b"x" * 65536
            while True:
                send(chunk)
        if "HEADER.FIELDS" in items:
            self.summary_fetches.append(uid_set)
            if len(self.summary_fetches) == self.stall_at:
                time.sleep(10)
                return
        uids = self.uids(uid_set)
        out, held = [], 0
        for seq, (uid, flags, raw) in enumerate(self.messages, 1):
            if uid not in uids and not (uid == 0 and uid_set == "1:*"):
                continue
            fl = " ".join(sorted(flags))
            if "HEADER.FIELDS" in items:
                raw = raw() if callable(raw) else raw
                head = raw.split(b"\r\n\r\n")[0] + b"\r\n\r\n"
                out.append(b"* %d FETCH (UID %d FLAGS (%s) INTERNALDATE \"01-Jan-2024 10:00:00 +0000\" "
                           b"RFC822.SIZE %d BODY[HEADER.FIELDS (FROM SUBJECT)] {%d}\r\n%s)\r\n"
                           % (seq, uid, fl.encode(), len(raw), len(head), head))
            elif "BODY.PEEK[]" in items:
                raw = raw() if callable(raw) else raw
                out.append(b"* %d FETCH (UID %d BODY[] {%d}\r\n%s)\r\n" % (seq, uid, len(raw), raw))
            else:
                out.append(b"* %d FETCH (UID %d FLAGS (%s))\r\n" % (seq, uid, fl.encode()))
            held += len(out[-1])
            if held > 256 * 1024:  # sent as it is made: a large answer is never held whole
                send(b"".join(out))
                out, held = [], 0
        send(b"".join(out) + b"%s OK done\r\n" % tag.encode())

    def __enter__(self):
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
        return self

    def __exit__(self, *exc):
        self.server.shutdown()
        self.server.server_close()


def imap4d_missing():
    if not os.path.exists(IMAP4D):
        return "mailutils-imap4d is not installed (%s)" % IMAP4D
    if os.geteuid() != 0:
        return "imap4d gives each user's mail to the user's uid: the test needs root"
    return None


class Imap4d:
    """imap4d on a loopback port; users are NAME@DOMAIN in a passwd file of its own."""

    def __init__(self, directory, users, domain=mail_servers.DOMAIN):
        self.dir = pathlib.Path(directory).resolve()
        self.users = dict(users)
        self.domain = domain
        self.port = mail_servers.free_port()
        self.pid = None

    def login(self, user):
        return "%s@%s" % (user, self.domain)

    def start(self):
        self.dir.mkdir(parents=True, exist_ok=True)
        os.chmod(self.dir, 0o755)
        (self.dir / "virt").mkdir()
        mail = self.dir / "mail"
        mail.mkdir()
        owner = pwd.getpwnam("mail")  # the maildirs' owner, as the passwd file says
        uid, gid = owner.pw_uid, owner.pw_gid
        lines = []
        for name, password in self.users.items():
            home = mail / name
            home.mkdir()
            for sub in ("cur", "new", "tmp"):
                (home / sub).mkdir()
            for p in [home, *home.iterdir()]:
                os.chown(p, uid, gid)
            hashed = subprocess.run(["openssl", "passwd", "-6", "-stdin"], input=password,
                                    text=True, capture_output=True, check=True).stdout.strip()
            lines.append("%s:%s:%d:%d::%s:/bin/false\n" % (name, hashed, uid, gid, home))
        (self.dir / "virt" / self.domain).write_text("".join(lines))
        pidfile = self.dir / "imap4d.pid"
        config = self.dir / "imap4d.conf"
        config.write_text(f"""foreground yes;
mode daemon;
pidfile {pidfile};
server 127.0.0.1:{self.port} {{
}};
auth {{
  authorization virtdomain;
  authentication generic;
}};
virtdomain {{
  passwd-dir {self.dir}/virt;
}};
mailbox {{
  mailbox-pattern "maildir://{mail}/${{user}}";
}};
logging {{
  syslog no;
}};
""")
        with open(self.dir / "imap4d.log", "w") as log:
            self.process = subprocess.Popen([IMAP4D, "--config-file=%s" % config], stdout=log,
                                            stderr=subprocess.STDOUT)
        self.pid = self.process.pid
        try:
            mail_servers.wait_for_banner(self.port, b"* OK")
        except BaseException:
            self.stop()
            raise
        return self

    def write_inbox(self, user, messages):
        """Puts messages (bytes, LF line ends) in user's INBOX, an mbox in the home
        directory; imap4d's own APPEND loses messages appended in a row."""
        inbox = self.dir / "mail" / user / "INBOX"
        inbox.write_bytes(b"".join(b"From x@y Mon Jan  1 00:00:00 2024\n" + m + b"\n"
                                   for m in messages))
        owner = pwd.getpwnam("mail")
        os.chown(inbox, owner.pw_uid, owner.pw_gid)
        os.chmod(inbox, 0o600)

    def stop(self):
        if self.pid:
            mail_servers.stop_pid(self.pid)
            self.process.wait(timeout=10)
            self.pid = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
