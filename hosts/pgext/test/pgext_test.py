#!/usr/bin/env python3
"""The extension's tests against a throwaway PostgreSQL cluster.

The extension is installed with the build's own install rule into a staging
directory (DESTDIR) laid out like the system's; the server programs are
copied into that tree and everything else of the system's installation is
linked in. The server finds its share and library directories relative to
its own executable, so a cluster run from the copy loads the staged
extension without any system installation.

The cluster lives in a temporary directory, listens on a Unix socket there
only, runs as "nobody" (the server refuses root) and is stopped by its pid.
Groups (--only):
  regress  the pg_regress suite (sql/, expected/), and what pg_regress cannot
           express: the mail's bytes against velhost's for the same rows, a
           cancel (statement_timeout, pg_cancel_backend) during a query that
           runs in SPI, two backends mailing at once;
  cancel   a cancel while the library waits on a hung provider (the
           programmable test provider, programmed from SQL by a module of
           the tests), and the next calls in the same backend;
  net      mail from SQL through the network provider to Postfix, read back
           from Dovecot over IMAP, and velmail.outbox with each role's rows.

Exit status 0 passed, 1 failed, 77 skipped (outside CI only).
"""
import argparse
import email
import email.policy
import os
import pwd
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

FAILURES = []


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what, flush=True)
    if not condition:
        FAILURES.append(what)


def skip_or_fail(reason):
    if os.environ.get("CI"):
        print("FAIL " + reason)
        sys.exit(1)
    print("skipped: " + reason)
    sys.exit(77)


def pg_config(bindir, what):
    return subprocess.check_output([os.path.join(bindir, "pg_config"), what], text=True).strip()


def as_server_user():
    args = ["setpriv", "--pdeathsig=SIGQUIT"]
    if os.geteuid() == 0:
        nobody = pwd.getpwnam("nobody")
        args += ["--reuid=%d" % nobody.pw_uid, "--regid=%d" % nobody.pw_gid, "--clear-groups"]
    return args + ["--"]


def chown_to_server(path):
    if os.geteuid() != 0:
        return
    nobody = pwd.getpwnam("nobody")
    for root, dirs, files in os.walk(path):
        os.chown(root, nobody.pw_uid, nobody.pw_gid)
        for name in files:
            os.chown(os.path.join(root, name), nobody.pw_uid, nobody.pw_gid)


def stage(build, root, bindir, prefix):
    """The build's installation in root, beside a copy of the server's tree."""
    env = dict(os.environ, DESTDIR=root)
    subprocess.check_call(["cmake", "--install", build, "--component", "pgext",
                           "--prefix", prefix], env=env, stdout=subprocess.DEVNULL)
    pkglibdir = pg_config(bindir, "--pkglibdir")
    sharedir = pg_config(bindir, "--sharedir")
    staged_bin = root + bindir
    os.makedirs(staged_bin, exist_ok=True)
    for program in ("postgres", "initdb"):
        # Copied: the server resolves links to find its own directory.
        shutil.copy2(os.path.join(bindir, program), staged_bin)
    for real, staged in ((pkglibdir, root + pkglibdir), (sharedir, root + sharedir)):
        os.makedirs(staged, exist_ok=True)
        for name in os.listdir(real):
            target = os.path.join(staged, name)
            if name == "extension":
                os.makedirs(target, exist_ok=True)
                for file in os.listdir(os.path.join(real, name)):
                    if not os.path.exists(os.path.join(target, file)):
                        os.symlink(os.path.join(real, name, file), os.path.join(target, file))
            elif not os.path.lexists(target):
                os.symlink(os.path.join(real, name), target)
    return staged_bin


class Cluster:
    def __init__(self, tmp, bindir, settings):
        self.dir = os.path.join(tmp, "socket")
        self.data = os.path.join(tmp, "data")
        for made in (self.dir, self.data):
            os.mkdir(made, 0o700)
            chown_to_server(made)
        self.log = open(os.path.join(tmp, "server.log"), "ab")
        subprocess.check_call(
            as_server_user() + [os.path.join(bindir, "initdb"), "-D", self.data, "-U", "postgres",
                                "--auth=trust", "-E", "UTF8", "--no-locale", "--no-sync"],
            stdout=self.log, stderr=self.log, cwd=tmp)
        with open(os.path.join(self.data, "postgresql.conf"), "a") as conf:
            conf.write("listen_addresses = ''\nfsync = off\nmax_connections = 20\n")
            for key, value in settings.items():
                conf.write("%s = '%s'\n" % (key, value))
        self.proc = subprocess.Popen(
            as_server_user() + [os.path.join(bindir, "postgres"), "-D", self.data, "-k", self.dir],
            stdout=self.log, stderr=self.log, cwd=tmp)
        deadline = time.time() + 60
        while self.psql("select 1", check=False).returncode != 0:
            if self.proc.poll() is not None or time.time() > deadline:
                raise RuntimeError("the server did not come up; see " + self.log.name)
            time.sleep(0.1)

    def psql(self, sql, db="postgres", user="postgres", check=True, timeout=120):
        return subprocess.run(
            ["psql", "-X", "-q", "-v", "ON_ERROR_STOP=1", "-h", self.dir, "-U", user, "-d", db,
             "-At", "-c", sql], capture_output=True, text=True, check=check, timeout=timeout)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGINT)
            try:
                self.proc.wait(30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def mails(root, account):
    """The messages in an account's maildir, by subject."""
    found = {}
    for sub in ("new", "cur"):
        folder = os.path.join(root, account, sub)
        if not os.path.isdir(folder):
            continue
        for name in os.listdir(folder):
            with open(os.path.join(folder, name), "rb") as f:
                message = email.message_from_binary_file(f, policy=email.policy.compat32)
            found[message["Subject"]] = message
    return found


def parts(message):
    """The body and the attachments' bytes."""
    if not message.is_multipart():
        return [message.get_payload(decode=True)]
    return [part.get_payload(decode=True) for part in message.walk()
            if not part.is_multipart()]


def compare_with_velhost(cluster, args, tmp, mail_root):
    """The same rows mailed from SQL and by velhost (through the client
    library's PostgreSQL backend) give the same bytes."""
    query = "select id, name, price, note, made, flag, raw from velmail_rows order by id"
    cluster.psql("""
        create table velmail_rows (id int, name varchar(20), price numeric(8,2), note text,
                                   made date, flag boolean, raw bytea);
        insert into velmail_rows values (1, 'first', 12.5, 'plain', '2024-03-01', true, '\\x0102'),
            (2, 'second', NULL, 'tab\there', '1999-12-31', false, NULL),
            (3, NULL, 0.01, NULL, NULL, NULL, '\\xff');
        -- Enough rows that they are handed over in several chunks.
        insert into velmail_rows select g, 'row ' || g, g / 100.0, repeat('x', g % 7), NULL,
            g % 2 = 0, NULL from generate_series(4, 2503) g;
        grant select on velmail_rows to public;""", db="velmail_regress")
    # The login velhost's queries use.
    cluster.psql("create role velmail login superuser")
    sql = ("call velmail.xp_startmail('ops', 'ops-demo'); call velmail.xp_sendmail(recipient => 'ops', subject => 'from sql', query => '%s', "
           "attach_result => true, width => 60)" % query)
    done = cluster.psql(sql, db="velmail_regress", check=False)
    check(done.returncode == 0, "xp_sendmail with a query result attached, from SQL: " + done.stderr)

    velhost_dir = os.path.join(tmp, "velhost-compare")
    subprocess.check_call([args.velhost, "--data", velhost_dir, "--init"],
                          stderr=subprocess.DEVNULL)
    with open(os.path.join(velhost_dir, "interfaces"), "w") as f:
        f.write("VELSERVER postgres host=%s port=5432 dbname=velmail_regress user=postgres\n"
                % cluster.dir)
    script = os.path.join(tmp, "compare.sql")
    with open(script, "w") as f:
        f.write("exec xp_startmail 'ops', 'ops-demo'\n"
                "exec xp_sendmail @recipient = 'ops', @subject = 'from velhost', "
                "@query = '%s', @attach_result = 'true', @width = 60\n" % query)
    log = os.path.join(tmp, "velhost.log")
    shown = subprocess.run([args.velhost, "--data", velhost_dir, "--log", log, script],
                           capture_output=True, text=True)
    check(shown.returncode == 0, "velhost sends the same query: " + shown.stdout + shown.stderr +
          (open(log).read() if shown.returncode != 0 else ""))
    ours = mails(mail_root, "ops").get("from sql")
    theirs = mails(os.path.join(velhost_dir, "mail"), "ops").get("from velhost")
    check(ours is not None and theirs is not None, "both mails arrived")
    if ours is not None and theirs is not None:
        same = parts(ours) == parts(theirs)
        check(same, "the body and the attachment (%d bytes) are byte for byte velhost's%s" %
              (sum(len(p) for p in parts(ours)),
               "" if same else ": %r vs %r" % (parts(ours), parts(theirs))))


class Session:
    """One psql backend fed statement by statement, so that a test can act
    between them (cancel from another session, time a statement)."""

    def __init__(self, cluster, db="velmail_regress", user="postgres"):
        self.proc = subprocess.Popen(
            ["psql", "-X", "-q", "-At", "-h", cluster.dir, "-U", user, "-d", db],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
            bufsize=1)
        self.run("select 1")

    def run(self, sql, timeout=60):
        """Runs sql; returns (its output, seconds it took)."""
        marker = "--velmail-done-%f--" % time.time()
        started = time.time()
        self.proc.stdin.write(sql.rstrip().rstrip(";") + ";\n\\echo " + marker + "\n")
        self.proc.stdin.flush()
        lines = []
        deadline = started + timeout
        while True:
            if time.time() > deadline:
                raise RuntimeError("no answer to " + sql)
            line = self.proc.stdout.readline()
            if not line:
                raise RuntimeError("psql ended: " + "".join(lines))
            if line.strip() == marker:
                return "".join(lines), time.time() - started
            lines.append(line)

    def pid(self):
        return int(self.run("select pg_backend_pid()")[0].strip())

    def close(self):
        self.proc.stdin.close()
        self.proc.wait(30)


def cancel_later(cluster, pid, after, sent):
    """Cancels the backend's statement after some seconds, from another
    session; sent[0] becomes the time the cancel was made."""

    def cancel():
        time.sleep(after)
        sent.append(time.time())
        cluster.psql("select pg_cancel_backend(%d)" % pid)

    thread = threading.Thread(target=cancel)
    thread.start()
    return thread


def cancel_during_query(cluster):
    """A cancel -- statement_timeout, or pg_cancel_backend from another
    session -- during a long query that the call runs in SPI ends the
    statement within about a second, and the backend serves the next call."""
    session = Session(cluster)
    try:
        session.run("call velmail.xp_startmail('ops', 'ops-demo')")
        session.run("set statement_timeout = '1s'")
        out, took = session.run("call velmail.xp_sendmail(recipient => 'ops', subject => 'slow', "
                                "query => 'select pg_sleep(60)')")
        check("canceling statement due to statement timeout" in out,
              "statement_timeout cancels the call during its query: " + out)
        check(took < 2.5, "the statement ended %.2f s after it began (timeout 1 s)" % took)
        session.run("reset statement_timeout")
        out, took = session.run("call velmail.xp_sendmail(recipient => 'ops', "
                                "subject => 'after the timeout', query => 'select 42')")
        check("ERROR" not in out, "the next call is served (%.2f s): %s" % (took, out))

        sent = []
        thread = cancel_later(cluster, session.pid(), 1.0, sent)
        out, took = session.run("call velmail.xp_sendmail(recipient => 'ops', subject => 'slow', "
                                "query => 'select pg_sleep(60)')")
        thread.join()
        ended = time.time() - sent[0]
        check("canceling statement due to user request" in out,
              "pg_cancel_backend cancels the call during its query: " + out)
        check(ended < 1.5, "the statement ended %.2f s after the cancel" % ended)
        out, took = session.run("call velmail.xp_sendmail(recipient => 'ops', "
                                "subject => 'after the cancel', query => 'select 43')")
        check("ERROR" not in out, "the next call is served (%.2f s): %s" % (took, out))
    finally:
        session.close()


def hung_provider(cluster, timeout_ms):
    """The provider hangs in cmc_send: a cancel, or statement_timeout, ends
    the statement within about a second. The library still waits for the
    hung request, holding its worker, until its own time-out
    (velmail.timeout); it then gives that worker up and forgets the mail
    session, so the next call waits for what is left of that time-out and
    is then served, and a new logon and send work."""
    session = Session(cluster)
    try:
        for how in ("pg_cancel_backend", "statement_timeout"):
            session.run("select velmail_test_program('cmc_send', 'hang', 1)")
            out, _ = session.run("call velmail.xp_startmail('u', 'p')")
            check("ERROR" not in out, "logon at the test provider: " + out)
            began = time.time()
            if how == "pg_cancel_backend":
                sent = []
                thread = cancel_later(cluster, session.pid(), 1.0, sent)
                out, took = session.run("call velmail.xp_sendmail(recipient => 'x', "
                                        "message => 'hung')")
                thread.join()
                ended = time.time() - sent[0]
                expected = "canceling statement due to user request"
            else:
                session.run("set statement_timeout = '1s'")
                out, took = session.run("call velmail.xp_sendmail(recipient => 'x', "
                                        "message => 'hung')")
                session.run("reset statement_timeout")
                ended = took - 1.0
                expected = "canceling statement due to statement timeout"
            check(expected in out, "%s ends the call of a hung provider: %s" % (how, out))
            check(ended < 1.5, "%s: the statement ended %.2f s after the cancel" % (how, ended))
            # The next call waits for the library's worker, up to what is left
            # of its time-out, and is then served: the given-up request took
            # the mail session with it.
            out, waited = session.run("call velmail.xp_sendmail(recipient => 'x', "
                                      "message => 'no session')")
            since = time.time() - began
            check("ERROR" in out and "velmail message" in out,
                  "%s: the next call is served, by the library (no session any more): %s"
                  % (how, out))
            check(since < timeout_ms / 1000.0 + 2.5,
                  "%s: it was answered %.2f s after the hung call began (waited %.2f s; "
                  "velmail.timeout %d ms)" % (how, since, waited, timeout_ms))
            out, took = session.run("call velmail.xp_startmail('u', 'p')")
            check("ERROR" not in out, "%s: a new logon works: %s" % (how, out))
            out, took = session.run("call velmail.xp_sendmail(recipient => 'x', "
                                    "message => 'after the %s')" % how)
            check("ERROR" not in out, "%s: the next mail is sent (%.2f s): %s" % (how, took, out))
            out, _ = session.run("select velmail_test_last_sent()")
            check(out.strip() == "after the " + how,
                  "%s: the provider took it: %r" % (how, out.strip()))
            session.run("call velmail.xp_stopmail()")
        session.run("select velmail_test_release()")
    finally:
        session.close()



def two_backends(cluster, mail_root):
    """Two backends mailing at once both deliver."""
    results = []

    def send(n):
        results.append(cluster.psql(
            "call velmail.xp_startmail('ops', 'ops-demo'); "
            "call velmail.xp_sendmail(recipient => 'dba', subject => 'together %d', "
            "query => 'select g from generate_series(1, 2000) g')" % n,
            db="velmail_regress", check=False))

    threads = [threading.Thread(target=send, args=(n,)) for n in (1, 2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    check(all(r.returncode == 0 for r in results),
          "two backends send at once: " + " ".join(r.stderr for r in results))
    got = mails(mail_root, "dba")
    check("together 1" in got and "together 2" in got, "both mails are in the mailbox")


NET_USERS = {"ops": "ops-secret", "dba": "dba-secret"}


def net_end_to_end(cluster, servers, spool):
    """Mail from SQL through the network provider arrives in Dovecot, and
    velmail.outbox shows it sent -- to the role that sent it, not to another
    role, and everything to a superuser."""
    import imaplib
    import ssl
    domain = servers.env()["DOMAIN"]
    cluster.psql("create role alice login; create role bob login; "
                 "grant velmail_user to alice, bob", db="velmail_regress")
    subject = "from SQL, r\u00e9sum\u00e9 %d" % os.getpid()
    sent = cluster.psql(
        "call velmail.xp_startmail('ops', 'ops-secret'); "
        "call velmail.xp_sendmail(recipient => 'dba', subject => '%s', "
        "query => 'select 6 * 7 as answer'); "
        "call velmail.xp_stopmail()" % subject, db="velmail_regress", user="alice", check=False)
    check(sent.returncode == 0, "alice sends through the network provider: " + sent.stderr)

    def inbox():
        context = ssl.create_default_context(cafile=str(servers.ca_file))
        box = imaplib.IMAP4("127.0.0.1", servers.imap_port)
        box.starttls(context)
        box.login("dba", NET_USERS["dba"])
        box.select("INBOX")
        try:
            _, data = box.uid("FETCH", "1:*", "(BODY.PEEK[])")
            return [email.message_from_bytes(item[1], policy=email.policy.default)
                    for item in data if isinstance(item, tuple)]
        finally:
            box.logout()

    arrived = None
    deadline = time.time() + 60
    while arrived is None and time.time() < deadline:
        arrived = next((m for m in inbox() if m["Subject"] == subject), None)
        if arrived is None:
            time.sleep(0.5)
    check(arrived is not None, "the mail is in dba's mailbox at Dovecot")
    if arrived is not None:
        body = arrived.get_body(("plain",)).get_content()
        check(arrived["From"] == "ops@%s" % domain and "42" in body,
              "from ops, with the query's result: %r %r" % (arrived["From"], body))

    rows = cluster.psql("select state, mail_user, sender, recipients, subject, attempts, "
                        "last_reply like '250%', sent_at is not null from velmail.outbox",
                        db="velmail_regress", user="alice", check=False)
    expected = "sent|ops|ops@%s|dba@%s|%s|1|t|t" % (domain, domain, subject)
    check(rows.stdout.strip() == expected,
          "alice sees her mail as sent: %r (expected %r) %s" % (rows.stdout, expected, rows.stderr))
    other = cluster.psql("call velmail.xp_startmail('dba', 'dba-secret'); "
                         "select count(*) from velmail.outbox", db="velmail_regress", user="bob",
                         check=False)
    check(other.stdout.strip() == "0", "bob, logged on as dba, sees none of ops's mail: %r %s"
          % (other.stdout, other.stderr))
    # A damaged file in the queue: shown to a superuser only, with why.
    damaged = os.path.join(spool, "queue", "1765100000123456.1.0.deadbeef.msg")
    with open(damaged, "w") as f:
        f.write("not a spooled message\n")
    chown_to_server(damaged)
    everything = cluster.psql("select state || ':' || coalesce(mail_user, '-') || ':' || "
                              "coalesce(last_reply, '') from velmail.outbox order by id",
                              db="velmail_regress", check=False)
    check("sent:ops:250" in everything.stdout and
          "quarantined:-:it does not start as a spooled message does" in everything.stdout,
          "a superuser sees every row, the damaged file with why: %r %s"
          % (everything.stdout, everything.stderr))
    alice = cluster.psql("select count(*) from velmail.outbox where state = 'quarantined'",
                         db="velmail_regress", user="alice", check=False)
    check(alice.stdout.strip() == "0", "alice does not see the damaged file: " + alice.stdout)
    # A delivery pass may have moved it to quarantine/ meanwhile.
    for left in (damaged, damaged.replace("/queue/", "/quarantine/")):
        if os.path.exists(left):
            os.unlink(left)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("--pg-bindir", required=True)
    parser.add_argument("--pgxs", required=True)
    parser.add_argument("--velhost", required=True)
    parser.add_argument("--prefix", required=True,
                        help="the server's installation prefix, which the install rule is given")
    parser.add_argument("--only", choices=("regress", "cancel", "net"), default="regress")
    parser.add_argument("--test-modules", nargs="*", default=[],
                        help="the test module, the test provider and its control library")
    parser.add_argument("--keep", action="store_true")
    args = parser.parse_args()

    pg_regress = os.path.join(os.path.dirname(args.pgxs), "..", "test", "regress", "pg_regress")
    if not os.path.exists(os.path.join(args.pg_bindir, "postgres")):
        skip_or_fail("no server programs in " + args.pg_bindir + " (package postgresql-15)")
    if not os.path.exists(pg_regress):
        skip_or_fail("no pg_regress (package postgresql-server-dev-15)")
    servers = None
    if args.only == "net":
        sys.path.insert(0, os.path.join(args.source, "..", "..", "tests", "providers", "net"))
        import mail_servers
        why = mail_servers.missing()
        if why:
            skip_or_fail(why)

    tmp = tempfile.mkdtemp(prefix="velpgext-", dir="/tmp")
    os.chmod(tmp, 0o755)
    cluster = None
    try:
        root = os.path.join(tmp, "root")
        bindir = stage(args.build, root, args.pg_bindir, args.prefix)
        pkglibdir = root + pg_config(args.pg_bindir, "--pkglibdir")
        for module in args.test_modules:
            shutil.copy2(module, pkglibdir)
        # The maildir store and its accounts, made as velhost makes them.
        accounts = os.path.join(tmp, "accounts")
        subprocess.check_call([args.velhost, "--data", accounts, "--init"],
                              stderr=subprocess.DEVNULL)
        mail_root = os.path.join(accounts, "mail")
        chown_to_server(mail_root)
        settings = {"velmail.maildir_root": mail_root}
        timeout_ms = 3000
        if args.only == "cancel":
            settings.update({"velmail.provider": "libveltestcmc.so",
                             "velmail.timeout": str(timeout_ms)})
        if args.only == "net":
            servers = mail_servers.MailServers(os.path.join(tmp, "servers"), NET_USERS)
            os.mkdir(servers.dir)
            servers.start()
            net = os.path.join(tmp, "net")
            os.mkdir(net, 0o700)
            spool = os.path.join(net, "spool")
            config = os.path.join(tmp, "velnet.ini")
            with open(config, "w") as f:
                f.write("[imap]\nurl = imap://127.0.0.1:%d/INBOX\n[smtp]\n"
                        "servers = smtp://127.0.0.1:%d\n[tls]\nmode = required\n"
                        "ca_file = %s\n[mail]\ndomain = %s\n[delivery]\nspool = %s\n"
                        "drain_seconds = 20\nlog = %s\n"
                        % (servers.imap_port, servers.smtp_port, servers.ca_file,
                           servers.env()["DOMAIN"], spool, os.path.join(net, "velnet.log")))
            os.chmod(config, 0o644)
            chown_to_server(net)
            settings.update({"velmail.provider": "libvelnet.so", "velmail.net_config": config})
        cluster = Cluster(tmp, bindir, settings)
        cluster.psql("create database velmail_regress")
        if args.only == "regress":
            out = os.path.join(tmp, "regress")
            tests = ["setup", "mail", "security", "errors"]
            run = subprocess.run(
                [pg_regress, "--use-existing", "--host=" + cluster.dir, "--port=5432",
                 "--user=postgres", "--dbname=velmail_regress", "--inputdir=" + args.source,
                 "--outputdir=" + out, "--bindir=" + args.pg_bindir] + tests,
                capture_output=True, text=True)
            print(run.stdout + run.stderr)
            check(run.returncode == 0, "pg_regress suite")
            if run.returncode != 0 and os.path.exists(os.path.join(out, "regression.diffs")):
                print(open(os.path.join(out, "regression.diffs")).read())
            compare_with_velhost(cluster, args, tmp, mail_root)
            cancel_during_query(cluster)
            two_backends(cluster, mail_root)
        elif args.only == "cancel":
            cluster.psql("create extension velmail", db="velmail_regress")
            for name, params, returns in (("program", "text, text, int", "void"),
                                          ("release", "", "void"),
                                          ("last_sent", "", "text"),
                                          ("call_count", "text", "bigint")):
                cluster.psql("create function velmail_test_%s(%s) returns %s as "
                             "'$libdir/velmail_pgtest' language c" % (name, params, returns),
                             db="velmail_regress")
            hung_provider(cluster, timeout_ms)
        else:
            cluster.psql("create extension velmail", db="velmail_regress")
            net_end_to_end(cluster, servers, spool)
    finally:
        if cluster:
            cluster.stop()
        if servers:
            servers.stop()
        if args.keep or FAILURES:
            print("kept " + tmp)
        else:
            shutil.rmtree(tmp, ignore_errors=True)
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
