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
           the tests), and the next calls in the same backend; the threads
           such cancels leave; a provider that faults;
  net      mail from SQL through the network provider to Postfix, read back
           from Dovecot over IMAP, and velmail.outbox with each role's rows;
  roles    which logons velmail.mail_users records, across dropped roles and
           pg_dump; a mail session under SET ROLE; the results files of two
           backends sending at once; a backend's memory over many calls; a
           cancelled call that must send nothing.

Every cluster preloads the module (shared_preload_libraries).

Exit status 0 passed, 1 failed, 77 skipped (outside CI only).
"""
import argparse
import email
import email.policy
import os
import pwd
import re
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
            # The extension is loaded by the postmaster: its procedures
            # refuse to run otherwise.
            conf.write("listen_addresses = ''\nfsync = off\nmax_connections = 20\n"
                       "shared_preload_libraries = 'velmail'\n")
            for key, value in settings.items():
                conf.write("%s = '%s'\n" % (key, value))
        self.postgres = os.path.join(bindir, "postgres")
        self.proc = subprocess.Popen(
            as_server_user() + [self.postgres, "-D", self.data, "-k", self.dir],
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

    def restart(self):
        """Stops the server and starts it again on the same data."""
        self.stop()
        self.proc = subprocess.Popen(
            as_server_user() + [self.postgres, "-D", self.data, "-k", self.dir],
            stdout=self.log, stderr=self.log, cwd=os.path.dirname(self.data))
        deadline = time.time() + 60
        while self.psql("select 1", check=False).returncode != 0:
            if self.proc.poll() is not None or time.time() > deadline:
                raise RuntimeError("the server did not come up again; see " + self.log.name)
            time.sleep(0.1)

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

    def __init__(self, cluster, db="velmail_regress", user="postgres", verbose=False):
        # verbose: each message shows its SQLSTATE ("ERROR:  28P01: ...").
        self.proc = subprocess.Popen(
            ["psql", "-X", "-q", "-At", "-h", cluster.dir, "-U", user, "-d", db] +
            (["-v", "VERBOSITY=verbose"] if verbose else []),
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

# A message as a verbose session shows it: level, SQLSTATE, text.
REPORT = re.compile(r"^(?:psql:\S*: )?(ERROR|WARNING|NOTICE):  ([0-9A-Z]{5}): (.*)$", re.M)


def reports(out):
    return REPORT.findall(out)


def errors(out):
    return [report for report in reports(out) if report[0] == "ERROR"]


def has_error(out, sqlstate):
    return any(code == sqlstate for _, code, _ in errors(out))


def run_step(name, function, *args):
    """Runs one test of a group and prints its time; an exception fails it,
    and the group's next test still runs."""
    started = time.time()
    print("== " + name, flush=True)
    try:
        function(*args)
    except Exception as failure:  # pylint: disable=broad-except
        check(False, "%s: %s: %s" % (name, type(failure).__name__, failure))
    print("== %s: %.1f s" % (name, time.time() - started), flush=True)



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


def threads_left_behind(cluster, timeout_ms, rounds=5):
    """Sends cancelled while the provider hangs, each hung request released
    and timed out, leave no thread behind in the backend."""
    session = Session(cluster, verbose=True)
    try:
        pid = session.pid()

        def threads():
            return len(os.listdir("/proc/%d/task" % pid))

        out, _ = session.run("call velmail.xp_startmail('u', 'p')")
        sent, _ = session.run("call velmail.xp_sendmail(recipient => 'x', message => 'first')")
        check(not errors(out + sent), "a logon and a send at the test provider: " + out + sent)
        first = threads()
        cancelled = []
        last_hung = time.time()
        for n in range(rounds):
            session.run("select velmail_test_program('cmc_send', 'hang', 1)")
            # A session may still be open: its notice does not matter.
            session.run("call velmail.xp_startmail('u', 'p')")
            at = []
            last_hung = time.time()
            thread = cancel_later(cluster, pid, 0.5, at)
            out, _ = session.run("call velmail.xp_sendmail(recipient => 'x', "
                                 "message => 'hung %d')" % n)
            thread.join()
            cancelled.append(has_error(out, "57014"))
            session.run("select velmail_test_release()")
        check(all(cancelled), "each of %d sends at a hung provider is cancelled (57014): %r"
              % (rounds, cancelled))
        session.run("call velmail.xp_stopmail()")
        time.sleep(max(0.0, last_hung + timeout_ms / 1000.0 + 1.0 - time.time()))
        session.run("call velmail.xp_startmail('u', 'p')")
        now = threads()
        check(now <= first + 1, "the backend has %d threads after %d cancelled hung sends "
              "(%d after its first send; at most one more)" % (now, rounds, first))
    finally:
        session.close()


def wait_for_server(cluster, seconds=60):
    """Waits until the server takes connections again (after a crash it
    recovers first)."""
    deadline = time.time() + seconds
    while cluster.psql("select 1", check=False).returncode != 0:
        if time.time() > deadline:
            raise RuntimeError("the server does not answer any more")
        time.sleep(0.2)


def provider_fault(cluster, action, log_path):
    """A provider that faults in cmc_send (action 'fault': an invalid memory
    access; 'divide': an integer divided by zero) fails the call with
    SQLSTATE 58000, and nothing more: the backend goes on, the server is not
    restarted, and the same backend logs on and sends again."""
    log_start = os.path.getsize(log_path)
    started_at = cluster.psql("select pg_postmaster_start_time()").stdout.strip()
    session = Session(cluster, verbose=True)
    try:
        pid = session.pid()
        session.run("select velmail_test_program('cmc_send', '%s', 1)" % action)
        out, _ = session.run("call velmail.xp_startmail('u', 'p')")
        check(not errors(out), "%s: logon at the test provider: %s" % (action, out))
        try:
            out, _ = session.run("call velmail.xp_sendmail(recipient => 'x', message => 'boom')")
        except RuntimeError as ended:
            out = str(ended)
        check(has_error(out, "58000"), "%s in cmc_send: the call fails with SQLSTATE 58000: %s"
              % (action, out))
        check(session.pid() == pid, "%s: the same backend (%d) goes on" % (action, pid))
        session.run("call velmail.xp_stopmail()")
        out, _ = session.run("call velmail.xp_startmail('u', 'p')")
        check(not errors(out), "%s: the backend logs on again: %s" % (action, out))
        out, _ = session.run("call velmail.xp_sendmail(recipient => 'x', message => 'after')")
        check(not errors(out), "%s: and sends: %s" % (action, out))
        out, _ = session.run("select velmail_test_last_sent()")
        check(out.strip() == "after", "%s: the provider took it: %r" % (action, out.strip()))
    finally:
        try:
            session.close()
        except (OSError, subprocess.TimeoutExpired):
            session.proc.kill()
        wait_for_server(cluster)
        now = cluster.psql("select pg_postmaster_start_time()").stdout.strip()
        check(now == started_at, "%s: the server was not restarted (started %s, now %s)"
              % (action, started_at, now))
        with open(log_path, "rb") as f:
            f.seek(log_start)
            log = f.read().decode(errors="replace")
        crashed = [line for line in log.splitlines() if "terminated by signal" in line]
        check(not crashed, "%s: no process was terminated by a signal: %s" % (action, crashed))


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

ROLES = ("alice", "bob", "carol")


def statements(cluster, user, *sqls, db="velmail_regress"):
    """Runs each statement in one new backend of user's; their outputs."""
    session = Session(cluster, db=db, user=user, verbose=True)
    try:
        return [session.run(sql)[0] for sql in sqls]
    finally:
        session.close()


def recorded(cluster, role, db="velmail_regress"):
    """The mail users recorded for a role, as a superuser reads them."""
    out = cluster.psql("select mail_user from velmail.mail_users where role::text = '%s' "
                       "order by 1" % role, db=db, check=False)
    return out.stdout.split() if out.returncode == 0 else ["(%s)" % out.stderr.strip()]


def set_profile(cluster, user, password):
    """The host's mail profile (velmail.mail_user, velmail.mail_password) for
    the backends started from now on; None resets it."""
    for name, value in (("mail_user", user), ("mail_password", password)):
        cluster.psql("alter system set velmail.%s = '%s'" % (name, value) if value is not None
                     else "alter system reset velmail.%s" % name)
    cluster.psql("select pg_reload_conf()")
    deadline = time.time() + 10
    while cluster.psql("show velmail.mail_user").stdout.strip() != (user or ""):
        if time.time() > deadline:
            raise RuntimeError("the server did not take the new mail profile")
        time.sleep(0.1)


def logons_recorded(cluster):
    """A mail user is recorded for a role only when the role's logon opened
    the session as that user: not for a logon refused for its password, nor
    for one that found the backend's session already open. The host's mail
    profile logs on as its user."""
    out, = statements(cluster, "postgres", "call velmail.xp_startmail('ceo', 'ceo-secret')")
    check(not errors(out), "ceo's own password opens a session: " + out)

    first, second = statements(cluster, "alice", "call velmail.xp_startmail('ops', 'ops-demo')",
                               "call velmail.xp_startmail('ceo', 'not-the-password')")
    check(not errors(first), "alice logs on as ops: " + first)
    check(not errors(second) and any(level in ("NOTICE", "WARNING")
                                     for level, _, _ in reports(second)),
          "her logon as ceo, with a wrong password, finds the session open: a notice, no error: "
          + second)
    check(recorded(cluster, "alice") == ["ops"],
          "alice is recorded as ops, never as ceo: %r" % recorded(cluster, "alice"))

    out, = statements(cluster, "bob", "call velmail.xp_startmail('ceo', 'not-the-password')")
    check(has_error(out, "28P01"), "bob's logon as ceo with a wrong password: SQLSTATE 28P01: "
          + out)
    check(recorded(cluster, "bob") == [], "nothing is recorded for bob: %r"
          % recorded(cluster, "bob"))

    set_profile(cluster, "ops", "ops-demo")
    try:
        out, = statements(cluster, "carol", "call velmail.xp_startmail()")
        check(not errors(out), "carol logs on through the host's profile: " + out)
        check(recorded(cluster, "carol") == ["ops"],
              "carol is recorded as the profile's user, ops: %r" % recorded(cluster, "carol"))
        out, = statements(cluster, "carol", "call velmail.xp_startmail('ceo', 'not-the-password')")
        check(has_error(out, "28P01"), "with the profile set, carol's logon as ceo with a wrong "
              "password: SQLSTATE 28P01: " + out)
        check(recorded(cluster, "carol") == ["ops"],
              "carol is still recorded as ops only: %r" % recorded(cluster, "carol"))
    finally:
        set_profile(cluster, None, None)


# A password the host's encoding of a mail profile cannot carry (an encoded
# byte would be 0): the profile now goes to xp_startmail as its parameters.
PROFILE_PASSWORD = "mailaoa"


def encodable_as_profile(password):
    """Whether the host's profile encoding (each byte the XOR of the clear
    byte and the previous encoded one, the first with the length) has no
    zero byte for password."""
    previous = len(password) % 256
    for clear in password.encode():
        previous ^= clear
        if previous == 0:
            return False
    return True


def any_profile_password(cluster):
    """Every password the mail system accepts works as velmail.mail_password,
    and the account's own logon with it too."""
    check(not encodable_as_profile(PROFILE_PASSWORD),
          "the test's password is one the profile's encoding cannot carry")
    set_profile(cluster, "prof", PROFILE_PASSWORD)
    try:
        out, stop = statements(cluster, "alice", "call velmail.xp_startmail()",
                               "call velmail.xp_stopmail()")
        check(not errors(out) and not errors(stop),
              "xp_startmail() logs on with the profile's password %r: %s" % (PROFILE_PASSWORD,
                                                                              out + stop))
        out, = statements(cluster, "bob",
                          "call velmail.xp_startmail('prof', '%s')" % PROFILE_PASSWORD)
        check(not errors(out), "and explicit credentials work with the profile set: " + out)
    finally:
        set_profile(cluster, None, None)


def query_warning(cluster):
    """A failed @query: the mail still goes and the CALL succeeds, with a
    WARNING that carries the query's own SQLSTATE."""
    logon, out = statements(cluster, "alice", "call velmail.xp_startmail('ops', 'ops-demo')",
                            "call velmail.xp_sendmail(recipient => 'ops', subject => 'bad query', "
                            "query => 'select * from no_such_table')")
    check(not errors(logon) and not errors(out), "the call succeeds: " + logon + out)
    check(("WARNING", "42P01") in [(level, code) for level, code, _ in reports(out)],
          "its WARNING carries the query's SQLSTATE 42P01: " + out)


def not_preloaded(cluster):
    """Without shared_preload_libraries the procedures and the outbox refuse
    to run (the settings, the password among them, were then readable as
    placeholders): 55000 with a HINT naming the setting."""
    cluster.psql("alter system set shared_preload_libraries = 'plpgsql'")
    cluster.restart()
    try:
        out, = statements(cluster, "alice", "call velmail.xp_startmail('ops', 'ops-demo')")
        check(has_error(out, "55000") and "shared_preload_libraries" in out,
              "without the preload a call is refused: " + out)
        out, = statements(cluster, "postgres", "select count(*) from velmail.outbox")
        check(has_error(out, "55000"), "and so is the outbox: " + out)
    finally:
        cluster.psql("alter system reset shared_preload_libraries")
        cluster.restart()


def role_switch(cluster, mail_root):
    """A mail session belongs to the role that logged on: after SET ROLE to
    another role the backend's calls are refused (42501), until that role
    logs on, which ends the first role's session."""
    session = Session(cluster, verbose=True)

    def refused(out):
        return (any(code == "42501" and "role" in text for _, code, text in errors(out)) and
                re.search(r"^HINT: .*(xp_startmail|log ?on)", out, re.M | re.I) is not None)

    try:
        session.run("set role alice")
        out, _ = session.run("call velmail.xp_startmail('ops', 'ops-demo')")
        check(not errors(out), "alice logs on as ops: " + out)
        session.run("set role bob")
        out, _ = session.run("call velmail.xp_findnextmsg(NULL)")
        check(refused(out), "after SET ROLE bob, xp_findnextmsg in alice's session: 42501, "
              "the session belongs to another role, with a hint to log on: " + out)
        out, _ = session.run("call velmail.xp_sendmail(recipient => 'dba', "
                             "subject => 'bob in alice''s session', message => 'x')")
        check(refused(out), "and xp_sendmail is refused the same way: " + out)
        session.run("set role alice")
        out, _ = session.run("call velmail.xp_sendmail(recipient => 'dba', "
                             "subject => 'alice back', message => 'x')")
        check(not errors(out), "SET ROLE alice: her session serves her again: " + out)
        session.run("set role bob")
        out, _ = session.run("call velmail.xp_startmail('ops', 'ops-demo')")
        check(not errors(out), "bob logs on, ending alice's session: " + out)
        out, _ = session.run("call velmail.xp_sendmail(recipient => 'dba', "
                             "subject => 'bob after his logon', message => 'x')")
        check(not errors(out), "bob sends in his own session: " + out)
        session.run("set role alice")
        out, _ = session.run("call velmail.xp_findnextmsg(NULL)")
        check(refused(out), "the session is bob's now: alice is refused: " + out)
    finally:
        session.close()
    got = mails(mail_root, "dba")
    check("bob in alice's session" not in got and "alice back" in got and
          "bob after his logon" in got, "only the mails the roles' own sessions sent arrived: %r"
          % sorted(s for s in got if s))
    check("ops" in recorded(cluster, "bob"), "bob's logon is recorded: %r"
          % recorded(cluster, "bob"))


def mailbox_files(mail_root, account):
    return [os.path.join(mail_root, account, sub, name) for sub in ("new", "cur")
            for name in os.listdir(os.path.join(mail_root, account, sub))]


def empty_mailbox(mail_root, account):
    for path in mailbox_files(mail_root, account):
        os.unlink(path)


def results_per_backend(cluster, mail_root, each=200):
    """Two backends mailing query results at once, as fast as they can: each
    mail carries the rows of its own backend's query, whole. Each backend
    keeps its results files in a folder of its own,
    $PGDATA/velmail/work/<pid>, open to the server's user only and removed
    when the backend ends."""
    empty_mailbox(mail_root, "ops")
    work = os.path.join(cluster.data, "velmail", "work")
    roles = ("alice", "bob")
    sessions, pids, results = {}, [], {}
    try:
        for role in roles:
            session = sessions[role] = Session(cluster, user=role)
            out, _ = session.run("call velmail.xp_startmail('ops', 'ops-demo')")
            check("ERROR" not in out, "%s logs on: %s" % (role, out))
            pids.append(session.pid())
            folder = os.path.join(work, str(pids[-1]))
            mode = os.stat(folder).st_mode & 0o7777 if os.path.isdir(folder) else None
            check(mode == 0o700, "%s's backend has its folder %s, mode 0700: %s"
                  % (role, folder, "missing" if mode is None else oct(mode)))

        def send(role):
            sql = "\n".join(
                "call velmail.xp_sendmail(recipient => 'ops', subject => 'rows %s %d', "
                "query => 'select ''%s'' || g from generate_series(1, 50) g', "
                "attachname => 'rows.txt', attach_result => true);" % (role, n, role)
                for n in range(each))
            try:
                results[role] = sessions[role].run(sql, timeout=240)
            except RuntimeError as failure:
                results[role] = (str(failure), 0.0)

        started = time.time()
        threads = [threading.Thread(target=send, args=(role,)) for role in roles]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        took = time.time() - started
        for role in roles:
            out, seconds = results[role]
            check("ERROR" not in out, "%s sent %d mails with a query's rows attached (%.1f s): %s"
                  % (role, each, seconds, out[:2000]))
        print("%d mails from two backends at once in %.1f s" % (2 * each, took))
    finally:
        for session in sessions.values():
            session.close()

    files = mailbox_files(mail_root, "ops")
    check(len(files) == len(roles) * each,
          "%d mails arrived (%d sent)" % (len(files), len(roles) * each))
    wrong = []
    for path in files:
        with open(path, "rb") as f:
            message = email.message_from_binary_file(f, policy=email.policy.compat32)
        subject = message["Subject"] or ""
        sender = re.match(r"rows (alice|bob) \d+$", subject)
        attached = b"".join(part.get_payload(decode=True) or b"" for part in message.walk()
                            if not part.is_multipart() and part.get_filename())
        rows = set(re.findall(rb"(alice|bob)(\d+)", attached))
        if sender is None or rows != {(sender.group(1).encode(), str(g).encode())
                                      for g in range(1, 51)}:
            wrong.append("%r: %r" % (subject, attached[:300]))
    check(not wrong, "each mail's attachment holds the 50 rows of its own role's query and "
          "nothing else: %d wrong%s" % (len(wrong), ", e.g. " + wrong[0] if wrong else ""))

    # The backends end a moment after their clients.
    deadline = time.time() + 10
    while True:
        files_left = [os.path.join(root, name) for root, _, names in os.walk(work)
                      for name in names]
        folders_left = [pid for pid in pids if os.path.exists(os.path.join(work, str(pid)))]
        ended = not any(os.path.exists("/proc/%d" % pid) for pid in pids)
        if (ended and not files_left and not folders_left) or time.time() > deadline:
            break
        time.sleep(0.1)
    check(not files_left, "no file is left in %s once the backends ended: %s"
          % (work, files_left[:5]))
    check(not folders_left, "the backends' folders are removed when they end: %s"
          % folders_left)


def memory_flat(cluster, tmp, mail_root, warm=500, calls=10000, allowed_kb=1024):
    """Calls that each end in a notice (a logon while the session is open)
    or in an error (the next message of an empty mailbox) leave the
    backend's resident memory where it was."""
    empty_mailbox(mail_root, "ops")
    scripts = {}
    for name, sql, count in (
            ("warm", "call velmail.xp_startmail('ops', 'ops-demo');\n"
                     "call velmail.xp_findnextmsg(NULL);\n", warm),
            ("logons", "call velmail.xp_startmail('ops', 'ops-demo');\n", calls),
            ("empty", "call velmail.xp_findnextmsg(NULL);\n", calls)):
        scripts[name] = os.path.join(tmp, "memory-%s.sql" % name)
        with open(scripts[name], "w") as f:
            f.write("\\o /dev/null\n" + sql * count + "\\o\n")
    messages = os.path.join(tmp, "memory.messages")
    with open(messages, "w") as err:
        proc = subprocess.Popen(
            ["psql", "-X", "-q", "-At", "-v", "ON_ERROR_STOP=0", "-v", "VERBOSITY=sqlstate",
             "-h", cluster.dir, "-U", "postgres", "-d", "velmail_regress"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=err, text=True, bufsize=1)
    read_to = [0]

    def step(command):
        """Runs a command; its output, the messages it gave and its seconds."""
        started = time.time()
        proc.stdin.write(command + "\n\\echo --velmail-step--\n")
        proc.stdin.flush()
        lines = []
        while True:
            line = proc.stdout.readline()
            if not line:
                raise RuntimeError("psql ended")
            if line.strip() == "--velmail-step--":
                break
            lines.append(line)
        with open(messages) as f:
            f.seek(read_to[0])
            said = f.read()
            read_to[0] = f.tell()
        return "".join(lines), said, time.time() - started

    def rss(pid):
        with open("/proc/%d/status" % pid) as f:
            return int(re.search(r"^VmRSS:\s+(\d+) kB", f.read(), re.M).group(1))

    try:
        pid = int(step("select pg_backend_pid();")[0])
        _, said, _ = step("call velmail.xp_startmail('ops', 'ops-demo');")
        check("ERROR" not in said, "logged on as ops: " + said)
        _, said, took = step("\\i " + scripts["warm"])
        print("warm-up: %d calls of each kind in %.1f s" % (warm, took))
        before = rss(pid)
        _, said, took = step("\\i " + scripts["logons"])
        after_logons = rss(pid)
        notices = len(re.findall(r"^(?:psql:\S*: )?(?:NOTICE|WARNING):", said, re.M))
        check(notices >= calls and "ERROR:" not in said,
              "%d logons in an open session: each gives a notice (%d notices, %d errors; %.1f s)"
              % (calls, notices, said.count("ERROR:"), took))
        check(after_logons - before <= allowed_kb,
              "VmRSS over %d logons: %d -> %d kB (+%d, at most +%d)"
              % (calls, before, after_logons, after_logons - before, allowed_kb))
        _, said, took = step("\\i " + scripts["empty"])
        after_empty = rss(pid)
        empty = len(re.findall(r"ERROR:  02000\b", said))
        check(empty == calls, "%d calls of xp_findnextmsg on an empty mailbox: each an ERROR "
              "02000 (%d; %.1f s)%s" % (calls, empty, took,
                                        "" if empty == calls else ": " + said[:300]))
        check(after_empty - after_logons <= allowed_kb,
              "VmRSS over %d calls of xp_findnextmsg: %d -> %d kB (+%d, at most +%d)"
              % (calls, after_logons, after_empty, after_empty - after_logons, allowed_kb))
    finally:
        proc.stdin.close()
        proc.wait(30)


def cancelled_sends_nothing(cluster, mail_root):
    """A call cancelled during its query -- by statement_timeout, or by
    pg_cancel_backend from another session -- sends no mail; the next call
    sends as usual."""
    session = Session(cluster, verbose=True)
    try:
        session.run("call velmail.xp_startmail('ops', 'ops-demo')")
        session.run("set statement_timeout = '2s'")
        out, took = session.run("call velmail.xp_sendmail(recipient => 'ops', "
                                "subject => 'cancelled-1', query => 'select pg_sleep(30)', "
                                "attach_result => true)")
        check(has_error(out, "57014"), "statement_timeout ends the call during its query "
              "(57014, %.1f s): %s" % (took, out))
        session.run("reset statement_timeout")
        at = []
        thread = cancel_later(cluster, session.pid(), 1.0, at)
        out, took = session.run("call velmail.xp_sendmail(recipient => 'ops', "
                                "subject => 'cancelled-2', query => 'select pg_sleep(30)', "
                                "attach_result => true)")
        thread.join()
        check(has_error(out, "57014"), "pg_cancel_backend ends the call during its query "
              "(57014, %.1f s): %s" % (took, out))
        time.sleep(3)
        got = mails(mail_root, "ops")
        check("cancelled-1" not in got and "cancelled-2" not in got,
              "no cancelled mail arrived: %r" % sorted(s for s in got if s and "cancel" in s))
        out, _ = session.run("call velmail.xp_sendmail(recipient => 'ops', "
                             "subject => 'after the cancels', query => 'select 1')")
        check(not errors(out) and "after the cancels" in mails(mail_root, "ops"),
              "the next mail arrives: " + out)
    finally:
        session.close()


def dropped_role(cluster):
    """Once anybody reads the outbox, no record names a role that was
    dropped."""
    check(recorded(cluster, "carol") == ["ops"], "carol has a record before she is dropped: %r"
          % recorded(cluster, "carol"))
    orphans = ("select count(*) from velmail.mail_users m "
               "where not exists (select from pg_roles r where r.oid = m.role)")
    cluster.psql("drop role carol")
    print("records of dropped roles before the outbox is read: " +
          cluster.psql(orphans, db="velmail_regress", check=False).stdout.strip())
    out = cluster.psql("select count(*) from velmail.outbox", db="velmail_regress", check=False)
    check(out.returncode == 0, "a superuser reads the outbox: " + out.stderr)
    out = cluster.psql(orphans, db="velmail_regress", check=False)
    check(out.stdout.strip() == "0", "no record names a dropped role: %r %s"
          % (out.stdout.strip(), out.stderr))


def dump_and_restore(cluster, args, tmp):
    """pg_dump keeps the records by role name: restored after the roles were
    dropped and made again (under other OIDs), they name the same roles."""
    cluster.psql("create database velmail_dump")
    cluster.psql("create extension velmail", db="velmail_dump")
    for role in ("alice", "bob"):
        out, = statements(cluster, role, "call velmail.xp_startmail('ops', 'ops-demo')",
                          db="velmail_dump")
        check(not errors(out), "%s logs on in the database to dump: %s" % (role, out))
    listing = "select role::text || ':' || mail_user from velmail.mail_users order by 1"
    before = cluster.psql(listing, db="velmail_dump", check=False)
    check(before.stdout.split() == ["alice:ops", "bob:ops"],
          "the records to dump: %r %s" % (before.stdout, before.stderr))
    oids = "select string_agg(oid::text, ',' order by rolname) from pg_roles " \
           "where rolname in ('alice', 'bob')"
    old_oids = cluster.psql(oids).stdout.strip()
    dump = os.path.join(tmp, "velmail_dump.sql")
    subprocess.run([os.path.join(args.pg_bindir, "pg_dump"), "-h", cluster.dir, "-U", "postgres",
                    "-d", "velmail_dump", "-f", dump], check=True, capture_output=True)
    cluster.psql("drop database velmail_dump")
    for db in ("postgres", "velmail_regress"):
        cluster.psql("drop owned by alice, bob", db=db)
    cluster.psql("drop role alice")
    cluster.psql("drop role bob")
    cluster.psql("create role bob login")
    cluster.psql("create role alice login")
    cluster.psql("grant velmail_user to alice, bob")
    new_oids = cluster.psql(oids).stdout.strip()
    check(new_oids != old_oids, "the roles were made again under other OIDs: %s -> %s"
          % (old_oids, new_oids))
    cluster.psql("create database velmail_restored")
    restored = subprocess.run(
        ["psql", "-X", "-q", "-v", "ON_ERROR_STOP=1", "-h", cluster.dir, "-U", "postgres",
         "-d", "velmail_restored", "-f", dump], capture_output=True, text=True)
    check(restored.returncode == 0, "the dump is restored: " + restored.stderr[-2000:])
    after = cluster.psql(listing, db="velmail_restored", check=False)
    check(after.stdout.split() == ["alice:ops", "bob:ops"],
          "the restored records name alice and bob: %r %s" % (after.stdout, after.stderr))



def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("--pg-bindir", required=True)
    parser.add_argument("--pgxs", required=True)
    parser.add_argument("--velhost", required=True)
    parser.add_argument("--prefix", required=True,
                        help="the server's installation prefix, which the install rule is given")
    parser.add_argument("--only", choices=("regress", "cancel", "net", "roles"),
                        default="regress")
    parser.add_argument("--velcmc-passwd", help="the maildir store's account tool (roles)")
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
        if args.only == "roles":
            subprocess.run([args.velcmc_passwd, mail_root, "ceo"], input="ceo-secret\n",
                           text=True, check=True)
            subprocess.run([args.velcmc_passwd, mail_root, "prof"],
                           input=PROFILE_PASSWORD + "\n", text=True, check=True)
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
            tests = ["setup", "mail", "security", "errors", "at_commit", "encoding"]
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
            run_step("hung provider", hung_provider, cluster, timeout_ms)
            run_step("no thread left behind", threads_left_behind, cluster, timeout_ms)
            # Last: before the fix a fault ended the server's processes.
            for action in ("fault", "divide"):
                run_step("provider %s" % action, provider_fault, cluster, action,
                         cluster.log.name)
        elif args.only == "roles":
            cluster.psql("create extension velmail", db="velmail_regress")
            cluster.psql("create role alice login; create role bob login; "
                         "create role carol login; grant velmail_user to alice, bob, carol")
            run_step("logons recorded", logons_recorded, cluster)
            run_step("role switch", role_switch, cluster, mail_root)
            run_step("results per backend", results_per_backend, cluster, mail_root)
            run_step("memory", memory_flat, cluster, tmp, mail_root)
            run_step("cancelled sends", cancelled_sends_nothing, cluster, mail_root)
            run_step("dropped role", dropped_role, cluster)
            run_step("dump and restore", dump_and_restore, cluster, args, tmp)
            run_step("any profile password", any_profile_password, cluster)
            run_step("query warning", query_warning, cluster)
            run_step("not preloaded", not_preloaded, cluster)
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
