#!/usr/bin/env python3
"""Real mail servers for the network provider's tests, on this machine only.

Postfix takes mail on a loopback submission port (authenticating users
through Dovecot) and hands it over LMTP to Dovecot, which serves the
mailboxes over IMAP on another loopback port; users come from a passwd
file. TLS certificates come from a test authority made here with openssl.
Everything lives in one temporary directory; the servers are started,
waited for until they answer, and stopped by their own process ids.

As a module: MailServers(directory, users).start() / .stop().
As a command: mail_servers.py start DIR USER:PASSWORD... writes
DIR/servers.env (KEY=VALUE lines: ports, CA files) and leaves the servers
running; mail_servers.py stop DIR stops them.

The servers need root (Dovecot gives each user's mail to the system user
"mail"); without it, or without the packages, missing() says why.
"""
import os
import pathlib
import shutil
import signal
import socket
import subprocess
import sys
import time

DOMAIN = "velnet.test"
POSTFIX = "/usr/sbin/postfix"
DOVECOT = "/usr/sbin/dovecot"


def missing():
    """Why the servers cannot run here, or None."""
    for program, package in ((POSTFIX, "postfix"), (DOVECOT, "dovecot-imapd"),
                             ("/usr/lib/dovecot/lmtp", "dovecot-lmtpd"),
                             (shutil.which("openssl") or "/usr/bin/openssl", "openssl")):
        if not os.path.exists(program):
            return "%s is not installed (%s)" % (package, program)
    if os.geteuid() != 0:
        return "the mail servers need root"
    return None


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


def make_authority(directory, name):
    """A self-signed certificate authority: NAME.key, NAME.crt."""
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
            "-subj", "/CN=%s" % name, "-keyout", name + ".key", "-out", name + ".crt",
            cwd=directory)


def make_server_certificate(directory, authority):
    """server.key and server.crt for 127.0.0.1 and localhost, signed by authority."""
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=localhost",
            "-keyout", "server.key", "-out", "server.csr", cwd=directory)
    (directory / "san.ext").write_text("subjectAltName=DNS:localhost,IP:127.0.0.1\n")
    openssl("x509", "-req", "-in", "server.csr", "-CA", authority + ".crt", "-CAkey",
            authority + ".key", "-CAcreateserial", "-days", "2", "-extfile", "san.ext",
            "-out", "server.crt", cwd=directory)


def wait_for_banner(port, prefix, seconds=20):
    deadline = time.time() + seconds
    while time.time() < deadline:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=2) as s:
                if s.recv(512).startswith(prefix):
                    return
        except OSError:
            pass
        time.sleep(0.1)
    raise RuntimeError("nothing answers on 127.0.0.1:%d" % port)


def read_pid(path):
    try:
        return int(path.read_text().split()[0])
    except (OSError, ValueError, IndexError):
        return None


def stop_pid(pid, seconds=10):
    if pid is None:
        return
    try:
        os.kill(pid, signal.SIGTERM)
    except ProcessLookupError:
        return
    deadline = time.time() + seconds
    while time.time() < deadline:
        try:
            os.kill(pid, 0)
        except ProcessLookupError:
            return
        time.sleep(0.05)
    try:
        os.kill(pid, signal.SIGKILL)
    except ProcessLookupError:
        pass


class MailServers:
    def __init__(self, directory, users):
        self.dir = pathlib.Path(directory).resolve()
        self.users = dict(users)  # name -> password
        self.smtp_port = free_port()
        # Plain SMTP from loopback, without TLS or login, for the benchmark's
        # anchor (Postfix's own smtp-source speaks neither).
        self.source_port = free_port()
        self.imap_port = free_port()
        self.lmtp_port = free_port()
        self.auth_port = free_port()
        self.ca_file = self.dir / "tls" / "ca.crt"
        self.other_ca_file = self.dir / "tls" / "other-ca.crt"

    # -- set-up -----------------------------------------------------------

    def _tls(self):
        tls = self.dir / "tls"
        tls.mkdir()
        make_authority(tls, "ca")
        make_authority(tls, "other-ca")  # trusts nothing the servers show
        make_server_certificate(tls, "ca")
        for f in tls.iterdir():
            os.chmod(f, 0o644 if f.suffix == ".crt" else 0o600)

    def _dovecot(self):
        d = self.dir / "dovecot"
        d.mkdir()
        mail = self.dir / "mail"
        mail.mkdir()
        shutil.chown(mail, "mail", "mail")
        users = d / "users"
        users.write_text("".join("%s:{PLAIN}%s::::::\n" % (u, p) for u, p in self.users.items()))
        os.chmod(users, 0o644)
        (d / "dovecot.conf").write_text(f"""
instance_name = velnet-test-{self.imap_port}
base_dir = {d}/run
state_dir = {d}/state
log_path = {d}/log
listen = 127.0.0.1
protocols = imap lmtp
ssl = yes
ssl_cert = <{self.dir}/tls/server.crt
ssl_key = <{self.dir}/tls/server.key
disable_plaintext_auth = no
auth_mechanisms = plain login
first_valid_uid = 8
mail_location = maildir:{mail}/%n
mail_uid = mail
mail_gid = mail
passdb {{
  driver = passwd-file
  args = scheme=PLAIN username_format=%n {users}
}}
userdb {{
  driver = static
  args = uid=mail gid=mail home={mail}/%n
}}
service imap-login {{
  inet_listener imap {{
    address = 127.0.0.1
    port = {self.imap_port}
  }}
  inet_listener imaps {{
    port = 0
  }}
}}
service lmtp {{
  inet_listener lmtp {{
    address = 127.0.0.1
    port = {self.lmtp_port}
  }}
}}
service auth {{
  inet_listener {{
    address = 127.0.0.1
    port = {self.auth_port}
  }}
}}
lmtp_save_to_detail_mailbox = no
protocol lmtp {{
  auth_username_format = %n
}}
""")

    def _postfix(self):
        p = self.dir / "postfix"
        (p / "queue").mkdir(parents=True)
        (p / "data").mkdir()
        shutil.chown(p / "data", "postfix")
        (p / "main.cf").write_text(f"""
compatibility_level = 3.6
queue_directory = {p}/queue
data_directory = {p}/data
maillog_file = {p}/maillog
maillog_file_prefixes = {p}
mail_owner = postfix
setgid_group = postdrop
myhostname = mail.{DOMAIN}
mydomain = {DOMAIN}
myorigin = $mydomain
mydestination =
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
mynetworks = 127.0.0.1/32
alias_maps =
alias_database =
local_recipient_maps =
virtual_mailbox_domains = {DOMAIN}
virtual_transport = lmtp:inet:127.0.0.1:{self.lmtp_port}
smtpd_sasl_auth_enable = yes
smtpd_sasl_type = dovecot
smtpd_sasl_path = inet:127.0.0.1:{self.auth_port}
smtpd_tls_cert_file = {self.dir}/tls/server.crt
smtpd_tls_key_file = {self.dir}/tls/server.key
smtpd_tls_security_level = may
smtpd_relay_restrictions = permit_sasl_authenticated, reject
# One address refused for good at RCPT, for the tests of failed mail.
smtpd_recipient_restrictions =
  check_recipient_access inline:{{ {{ refused@{DOMAIN} = REJECT 5.1.1 no such user here }} }},
  permit_sasl_authenticated, reject
message_size_limit = 52428800
""")
        services = [
            ("127.0.0.1:%d" % self.smtp_port, "inet", "n", "-", "-", "smtpd"),
            ("127.0.0.1:%d" % self.source_port, "inet", "n", "-", "-",
             "smtpd -o smtpd_sasl_auth_enable=no"
             " -o smtpd_relay_restrictions=permit_mynetworks,reject"
             " -o smtpd_recipient_restrictions=permit_mynetworks,reject"),
            ("pickup", "unix", "n", "60", "1", "pickup"),
            ("cleanup", "unix", "n", "-", "0", "cleanup"),
            ("qmgr", "unix", "n", "300", "1", "qmgr"),
            ("tlsmgr", "unix", "-", "1000?", "1", "tlsmgr"),
            ("rewrite", "unix", "-", "-", "-", "trivial-rewrite"),
            ("bounce", "unix", "-", "-", "0", "bounce"),
            ("defer", "unix", "-", "-", "0", "bounce"),
            ("trace", "unix", "-", "-", "0", "bounce"),
            ("verify", "unix", "-", "-", "1", "verify"),
            ("flush", "unix", "n", "1000?", "0", "flush"),
            ("proxymap", "unix", "-", "-", "-", "proxymap"),
            ("proxywrite", "unix", "-", "-", "1", "proxymap"),
            ("smtp", "unix", "-", "-", "-", "smtp"),
            ("relay", "unix", "-", "-", "-", "smtp"),
            ("showq", "unix", "n", "-", "-", "showq"),
            ("error", "unix", "-", "-", "-", "error"),
            ("retry", "unix", "-", "-", "-", "error"),
            ("discard", "unix", "-", "-", "-", "discard"),
            ("lmtp", "unix", "-", "-", "-", "lmtp"),
            ("anvil", "unix", "-", "-", "1", "anvil"),
            ("scache", "unix", "-", "-", "1", "scache"),
            ("postlog", "unix-dgram", "n", "-", "1", "postlogd"),
        ]
        # name type private unpriv chroot wakeup maxproc command; never chrooted
        (p / "master.cf").write_text("".join(
            "%s %s %s - n %s %s %s\n" % (n, t, priv, wake, procs, cmd)
            for n, t, priv, wake, procs, cmd in services))

    # -- running ----------------------------------------------------------

    def start(self):
        os.chmod(self.dir, 0o755)  # the servers' own users look inside
        for parent in self.dir.parents:
            if not os.stat(parent).st_mode & 0o001:
                raise RuntimeError("the servers' users cannot reach %s: %s is not searchable"
                                   % (self.dir, parent))
        self._tls()
        self._dovecot()
        self._postfix()
        subprocess.run([DOVECOT, "-c", str(self.dir / "dovecot" / "dovecot.conf")], check=True)
        try:
            wait_for_banner(self.imap_port, b"* OK")
            subprocess.run([POSTFIX, "-c", str(self.dir / "postfix"), "start"], check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            wait_for_banner(self.smtp_port, b"220")
        except BaseException:
            self.stop()
            raise
        return self

    def stop(self):
        stop_pid(read_pid(self.dir / "postfix" / "queue" / "pid" / "master.pid"))
        stop_pid(read_pid(self.dir / "dovecot" / "run" / "master.pid"))

    def env(self):
        return {"SMTP_PORT": self.smtp_port, "SOURCE_PORT": self.source_port,
                "IMAP_PORT": self.imap_port,
                "CA_FILE": self.ca_file, "OTHER_CA_FILE": self.other_ca_file,
                "DOMAIN": DOMAIN, "MAIL_DIR": self.dir / "mail"}

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


def main(argv):
    if len(argv) >= 3 and argv[1] == "start":
        users = dict(u.split(":", 1) for u in argv[3:])
        servers = MailServers(argv[2], users).start()
        (pathlib.Path(argv[2]) / "servers.env").write_text(
            "".join("%s=%s\n" % kv for kv in servers.env().items()))
        return 0
    if len(argv) == 3 and argv[1] == "stop":
        d = pathlib.Path(argv[2]).resolve()
        stop_pid(read_pid(d / "postfix" / "queue" / "pid" / "master.pid"))
        stop_pid(read_pid(d / "dovecot" / "run" / "master.pid"))
        return 0
    if len(argv) == 2 and argv[1] == "missing":
        why = missing()
        print(why or "")
        return 1 if why else 0
    print("usage: mail_servers.py start DIR USER:PASSWORD... | stop DIR | missing", file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
