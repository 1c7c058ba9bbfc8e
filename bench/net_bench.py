#!/usr/bin/env python3
"""Benchmarks of the network provider against Postfix and Dovecot started
for the run (tests/providers/net/mail_servers.py), each with its anchor measured in
the same run:

1. N small messages through cmc_send, the spool and the delivery thread
   to Postfix, until all are in sent.log -- against Postfix's own
   smtp-source sending N messages into the same Postfix, one session at
   a time, a connection each (-s 1; goal: at least as many messages per
   second), and against a loop of the curl command sending the same
   messages, one process and one connection each (goal: at least 5
   times as many). smtp-source with -d (one connection for all) is
   reported beside it. Each measurement starts with Postfix's queue
   empty.
2. A walk over N messages in Dovecot -- before each message the inbox is
   listed from the last one seen (as xp_findnextmsg does), then the
   message is read with peek (as xp_readmail @peek does) -- against the
   same walk over the same messages on the maildir provider. Goal: per
   message within 1.5 times the maildir provider's cost.
3. Listing a 100,000-message Dovecot mailbox as xp_findnextmsg has the
   library do it (cmc_list without seed, count 0, every summary) --
   against the same on a 100-message mailbox. Measured through the
   provider's entry point, not through the library and host, which add
   the same per call to both. Goal: under 50 ms once listed (an
   unchanged mailbox); the first listing's time is reported too.

usage: net_bench.py LIB_DIR BIN_DIR [N] [send] [walk] [listing]   (needs
root and the packages of the network tests; N defaults to 1000; naming
benchmarks runs only those)
"""
import ctypes
import email.utils
import imaplib
import os
import pathlib
import shutil
import ssl
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "providers" / "net"))
import mail_servers  # noqa: E402

LAST = 0x80000000
SMTP_SOURCE = "/usr/sbin/smtp-source"


class Recipient(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char_p), ("name_type", ctypes.c_uint32),
                ("address", ctypes.c_char_p), ("role", ctypes.c_uint32),
                ("flags", ctypes.c_uint32), ("extensions", ctypes.c_void_p)]


class Time(ctypes.Structure):
    _fields_ = [(n, ctypes.c_int8) for n in
                ("second", "minute", "hour", "day", "month", "year", "isdst", "unused1")] + \
               [("tmzone", ctypes.c_int16), ("unused2", ctypes.c_int16)]


class Reference(ctypes.Structure):
    _fields_ = [("length", ctypes.c_uint32), ("string", ctypes.c_char * 300)]


class Message(ctypes.Structure):
    _fields_ = [("reference", ctypes.c_void_p), ("type", ctypes.c_char_p),
                ("subject", ctypes.c_char_p), ("time", Time), ("text", ctypes.c_char_p),
                ("recipients", ctypes.POINTER(Recipient)), ("attachments", ctypes.c_void_p),
                ("flags", ctypes.c_uint32), ("extensions", ctypes.c_void_p)]


class Summary(ctypes.Structure):
    _fields_ = [("reference", ctypes.POINTER(Reference)), ("type", ctypes.c_char_p),
                ("subject", ctypes.c_char_p), ("time", Time), ("byte_length", ctypes.c_uint32),
                ("originator", ctypes.c_void_p), ("flags", ctypes.c_uint32),
                ("extensions", ctypes.c_void_p)]


def logon(cmc, user, password):
    session = ctypes.c_uint32()
    rc = cmc.cmc_logon(None, user.encode(), password.encode(), None, 0, 100, 0,
                       ctypes.byref(session), None)
    if rc:
        raise RuntimeError("logon failed: %d" % rc)
    return session.value


def walk(cmc, session):
    """Lists from the last message seen, reads the next with peek; returns the count."""
    seed = None
    walked = 0
    while True:
        count = ctypes.c_uint32(1)
        result = ctypes.POINTER(Summary)()
        rc = cmc.cmc_list(session, None, 0, ctypes.byref(seed) if seed else None,
                          ctypes.byref(count), 0, ctypes.byref(result), None)
        if rc or count.value == 0:
            return walked
        ref = result[0].reference.contents
        seed = Reference(ref.length, ref.string[:ref.length])
        cmc.cmc_free(result)
        message = ctypes.c_void_p()
        rc = cmc.cmc_read(session, ctypes.byref(seed), 1, ctypes.byref(message), 0, None)
        if rc:
            raise RuntimeError("read failed: %d" % rc)
        cmc.cmc_free(message)
        walked += 1


def list_all(cmc, session):
    """cmc_list as xp_findnextmsg calls it: no seed, count 0; returns the count."""
    count = ctypes.c_uint32(0)
    result = ctypes.POINTER(Summary)()
    rc = cmc.cmc_list(session, None, 0, None, ctypes.byref(count), 0, ctypes.byref(result), None)
    if rc:
        raise RuntimeError("list failed: %d" % rc)
    if count.value:
        cmc.cmc_free(result)
    return count.value


def fill_maildir(mail_dir, user, n, domain):
    """n messages written straight into user's Dovecot maildir, owned by "mail"."""
    import pwd
    owner = pwd.getpwnam("mail")
    home = pathlib.Path(mail_dir) / user
    for sub in ("cur", "new", "tmp"):
        (home / sub).mkdir(parents=True, exist_ok=True)
    for p in [home] + [home / sub for sub in ("cur", "new", "tmp")]:
        os.chown(p, owner.pw_uid, owner.pw_gid)
    new = home / "new"
    for i in range(n):
        f = new / ("%d.M%dP1.bench" % (1700000000 + i, i))
        f.write_bytes(small_message(i, "batch@" + domain, user + "@" + domain))
        os.chown(f, owner.pw_uid, owner.pw_gid)


def listing_bench(net, servers, users, domain):
    results = {}
    for user, n in (("small", 100), ("big", 100000)):
        start = time.perf_counter()
        fill_maildir(servers.dir / "mail", user, n, domain)
        fill = time.perf_counter() - start
        session = logon(net, user, users[user])
        start = time.perf_counter()
        listed = list_all(net, session)
        first = time.perf_counter() - start
        if listed != n:
            raise RuntimeError("%s: listed %d of %d" % (user, listed, n))
        steady = []
        for _ in range(10):
            start = time.perf_counter()
            list_all(net, session)
            steady.append(time.perf_counter() - start)
        net.cmc_logoff(session, 0, 0, None)
        steady.sort()
        results[n] = (first, steady[len(steady) // 2])
        print("list %d messages: first %.2f s, then %.1f ms (median of 10); filled in %.1f s"
              % (n, first, steady[len(steady) // 2] * 1e3, fill))
    print("listing: 100000 messages %.1f ms vs 100 messages %.1f ms once listed (goal < 50 ms)"
          % (results[100000][1] * 1e3, results[100][1] * 1e3))


class LineCounter:
    """Counts a growing file's lines, reading only what was added since the
    last count (so that waiting for the last line costs the provider's
    threads next to no processor time)."""

    def __init__(self, path):
        self.path, self.offset, self.count = path, 0, 0

    def lines(self):
        try:
            with open(self.path, "rb") as f:
                f.seek(self.offset)
                added = f.read()
        except FileNotFoundError:
            return 0
        self.offset += len(added)
        self.count += added.count(b"\n")
        return self.count


def wait_postfix_idle(servers, seconds=300):
    """Waits until Postfix's queue holds no message (all handed to Dovecot)."""
    queue = servers.dir / "postfix" / "queue"
    deadline = time.time() + seconds
    while time.time() < deadline:
        if not any(f.is_file() for sub in ("maildrop", "incoming", "active", "deferred")
                   for f in (queue / sub).rglob("*")):
            return
        time.sleep(0.1)
    raise RuntimeError("Postfix's queue did not empty in %d s" % seconds)


def small_message(i, sender, to):
    return ("From: %s\r\nTo: %s\r\nSubject: bench %d\r\nDate: %s\r\nMessage-ID: <b%d@bench>\r\n\r\n"
            "Body of message %d.\r\n" % (sender, to, i, email.utils.formatdate(), i, i)).encode()


def main(lib_dir, bin_dir, n=1000, parts=("send", "walk", "listing")):
    why = mail_servers.missing() or (
        None if os.path.exists(SMTP_SOURCE) else "postfix's smtp-source is not installed")
    if why:
        print("net_bench: cannot run: " + why)
        return 1
    base = pathlib.Path(tempfile.mkdtemp(prefix="velnet-bench-"))
    os.chmod(base, 0o755)
    (base / "servers").mkdir()
    users = {"ops": "ops-secret", "dba": "dba-secret", "small": "small-secret",
             "big": "big-secret"}
    servers = mail_servers.MailServers(base / "servers", users).start()
    domain = mail_servers.DOMAIN
    try:
        config = base / "velnet.ini"
        config.write_text(f"""[imap]
url = imap://127.0.0.1:{servers.imap_port}/INBOX
[smtp]
servers = smtp://127.0.0.1:{servers.smtp_port}
[tls]
mode = required
ca_file = {servers.ca_file}
[mail]
domain = {domain}
[delivery]
spool = {base}/spool
drain_seconds = 600
connect_timeout = 10
log = {base}/velnet.log
""")
        os.environ["VELNET_CONFIG"] = str(config)
        net = ctypes.CDLL(os.path.join(lib_dir, "libvelnet.so"))
        if "send" in parts:
            send_bench(net, servers, users, domain, base, n)
        if "walk" in parts:
            walk_bench(net, servers, users, domain, base, lib_dir, bin_dir, n)
        if "listing" in parts:
            listing_bench(net, servers, users, domain)
        return 0
    finally:
        servers.stop()
        shutil.rmtree(base, ignore_errors=True)


def send_bench(net, servers, users, domain, base, n):
    # 1. Sending: Postfix's own client first ...
    source = {}
    for name, options in (("-s 1", ["-s", "1"]), ("-s 1 -d", ["-s", "1", "-d"])):
        wait_postfix_idle(servers)
        start = time.perf_counter()
        subprocess.run([SMTP_SOURCE, *options, "-m", str(n), "-M", "bench." + domain,
                        "-f", "ops@" + domain, "-t", "dba@" + domain,
                        "127.0.0.1:%d" % servers.source_port], check=True)
        source[name] = n / (time.perf_counter() - start)

    # ... the provider's spool and delivery thread ...
    wait_postfix_idle(servers)
    session = logon(net, "ops", users["ops"])
    recipient = (Recipient * 1)(Recipient(b"dba", 1, None, 0, LAST, None))
    start = time.perf_counter()
    for i in range(n):
        m = Message(None, b"CMC: IPM", b"bench %d" % i, Time(), b"Body of message %d.\n" % i,
                    recipient, None, 0, None)
        if net.cmc_send(session, ctypes.byref(m), 0, 0, None):
            raise RuntimeError("send failed")
    sent = LineCounter(base / "spool" / "sent.log")
    while sent.lines() < n:
        time.sleep(0.01)
    provider_seconds = time.perf_counter() - start
    net.cmc_logoff(session, 0, 0, None)

    # ... against curl, one process and one connection a message.
    mails = base / "curl"
    mails.mkdir()
    files = []
    for i in range(n):
        f = mails / ("%d.eml" % i)
        f.write_bytes(small_message(i, "ops@" + domain, "dba@" + domain))
        files.append(f)
    start = time.perf_counter()
    for f in files:
        subprocess.run(["curl", "-sS", "--url", "smtp://127.0.0.1:%d" % servers.smtp_port,
                        "--ssl-reqd", "--cacert", str(servers.ca_file),
                        "--user", "ops:" + users["ops"], "--mail-from", "ops@" + domain,
                        "--mail-rcpt", "dba@" + domain, "-T", str(f)], check=True)
    curl_seconds = time.perf_counter() - start
    provider_rate = n / provider_seconds
    print("send %d messages: provider %.1f msg/s, smtp-source -s 1 %.1f msg/s, %.2fx "
          "(goal >= 1x); smtp-source -s 1 -d (one connection) %.1f msg/s"
          % (n, provider_rate, source["-s 1"], provider_rate / source["-s 1"],
             source["-s 1 -d"]))
    print("send %d messages: provider %.1f msg/s, curl loop %.1f msg/s, %.2fx (goal >= 5x)"
          % (n, provider_rate, n / curl_seconds, curl_seconds / provider_seconds))


def walk_bench(net, servers, users, domain, base, lib_dir, bin_dir, n):
    # 2. The walk: n messages in ops's Dovecot inbox, the same n in a maildir.
    context = ssl.create_default_context(cafile=str(servers.ca_file))
    box = imaplib.IMAP4("127.0.0.1", servers.imap_port)
    box.starttls(context)
    box.login("ops", users["ops"])
    for i in range(n):
        box.append("INBOX", None, None, small_message(i, "batch@" + domain, "ops@" + domain))
    box.logout()
    root = base / "maildir"
    subprocess.run([os.path.join(bin_dir, "velcmc-passwd"), str(root), "ops"],
                   input=b"ops-secret\n", check=True)
    for sub in ("cur", "new", "tmp"):
        (root / "ops" / sub).mkdir(parents=True, exist_ok=True)
    for i in range(n):
        (root / "ops" / "new" / ("%d.M%dP1.bench" % (1700000000 + i, i))).write_bytes(
            small_message(i, "batch@" + domain, "ops@" + domain))
    os.environ["VELCMC_ROOT"] = str(root)
    maildir = ctypes.CDLL(os.path.join(lib_dir, "libvelcmc.so"))

    timings = {}
    for name, cmc in (("maildir", maildir), ("imap", net)):
        session = logon(cmc, "ops", users["ops"])
        start = time.perf_counter()
        walked = walk(cmc, session)
        timings[name] = (time.perf_counter() - start) / max(walked, 1)
        cmc.cmc_logoff(session, 0, 0, None)
        if walked != n:
            raise RuntimeError("%s walk saw %d of %d messages" % (name, walked, n))
    # What Dovecot itself takes for the exchanges a step of the walk needs
    # (the listing asks whether anything changed, the read brings the
    # session's view up to date and fetches): the same commands from
    # Python's imaplib, the message bodies not even parsed.
    box = imaplib.IMAP4("127.0.0.1", servers.imap_port)
    box.starttls(context)
    box.login("ops", users["ops"])
    box.select("INBOX")
    uids = box.uid("SEARCH", "ALL")[1][0].split()
    start = time.perf_counter()
    for uid in uids:
        box.noop()
        box.noop()
        box.uid("FETCH", uid, "(UID BODY.PEEK[])")
    timings["imaplib"] = (time.perf_counter() - start) / max(len(uids), 1)
    box.logout()
    print("walk %d messages: imap %.3f ms/msg, maildir %.3f ms/msg, %.2fx (goal <= 1.5x); "
          "the same exchanges from imaplib %.3f ms/msg (%.2fx maildir)"
          % (n, timings["imap"] * 1e3, timings["maildir"] * 1e3,
             timings["imap"] / timings["maildir"], timings["imaplib"] * 1e3,
             timings["imaplib"] / timings["maildir"]))


if __name__ == "__main__":
    args = sys.argv[1:]
    names = ("send", "walk", "listing")
    parts = tuple(a for a in args if a in names) or names
    args = [a for a in args if a not in names]
    if len(args) not in (2, 3):
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    sys.exit(main(args[0], args[1], int(args[2]) if len(args) == 3 else 1000, parts))
