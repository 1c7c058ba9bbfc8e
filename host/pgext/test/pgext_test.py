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
Then: the pg_regress suite (sql/, expected/), and what pg_regress cannot
express: the mail's bytes against velhost's for the same rows, a cancel
during a hung query, two backends mailing at once.

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


def stage(build, root, bindir):
    """The build's installation in root, beside a copy of the server's tree."""
    env = dict(os.environ, DESTDIR=root)
    subprocess.check_call(["cmake", "--install", build, "--component", "pgext"], env=env,
                          stdout=subprocess.DEVNULL)
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
        check(parts(ours) == parts(theirs),
              "the body and the attachment are byte for byte velhost's: %r vs %r" %
              (parts(ours), parts(theirs)))


def cancel_during_query(cluster):
    """statement_timeout during a long query ends the call within about a
    second, and the session serves the next call."""
    script = """
call velmail.xp_startmail('ops', 'ops-demo');
set statement_timeout = '1s';
\\timing on
call velmail.xp_sendmail(recipient => 'ops', subject => 'slow', query => 'select pg_sleep(30)');
reset statement_timeout;
call velmail.xp_sendmail(recipient => 'ops', subject => 'after the cancel', query => 'select 42');
"""
    started = time.time()
    run = subprocess.run(["psql", "-X", "-h", cluster.dir, "-U", "postgres", "-d",
                          "velmail_regress"], input=script, capture_output=True, text=True,
                         timeout=60)
    elapsed = time.time() - started
    check("canceling statement due to statement timeout" in run.stderr,
          "the timeout cancels the call: " + run.stderr)
    check(elapsed < 5, "the session was free again after %.1f s" % elapsed)
    check(run.stderr.count("ERROR") == 1, "the next call is served")


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


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("--pg-bindir", required=True)
    parser.add_argument("--pgxs", required=True)
    parser.add_argument("--velhost", required=True)
    parser.add_argument("--keep", action="store_true")
    args = parser.parse_args()

    pg_regress = os.path.join(os.path.dirname(args.pgxs), "..", "test", "regress", "pg_regress")
    if not os.path.exists(os.path.join(args.pg_bindir, "postgres")):
        skip_or_fail("no server programs in " + args.pg_bindir + " (package postgresql-15)")
    if not os.path.exists(pg_regress):
        skip_or_fail("no pg_regress (package postgresql-server-dev-15)")

    tmp = tempfile.mkdtemp(prefix="velpgext-", dir="/tmp")
    os.chmod(tmp, 0o755)
    cluster = None
    try:
        root = os.path.join(tmp, "root")
        bindir = stage(args.build, root, args.pg_bindir)
        # The maildir store and its accounts, made as velhost makes them.
        accounts = os.path.join(tmp, "accounts")
        subprocess.check_call([args.velhost, "--data", accounts, "--init"],
                              stderr=subprocess.DEVNULL)
        mail_root = os.path.join(accounts, "mail")
        chown_to_server(mail_root)
        cluster = Cluster(tmp, bindir, {"velmail.maildir_root": mail_root})
        cluster.psql("create database velmail_regress")
        out = os.path.join(tmp, "regress")
        tests = ["setup", "mail", "security", "errors"]
        run = subprocess.run(
            [pg_regress, "--use-existing", "--host=" + cluster.dir, "--port=5432", "--user=postgres",
             "--dbname=velmail_regress", "--inputdir=" + args.source, "--outputdir=" + out,
             "--bindir=" + args.pg_bindir] + tests, capture_output=True, text=True)
        print(run.stdout + run.stderr)
        check(run.returncode == 0, "pg_regress suite")
        if run.returncode != 0 and os.path.exists(os.path.join(out, "regression.diffs")):
            print(open(os.path.join(out, "regression.diffs")).read())
        compare_with_velhost(cluster, args, tmp, mail_root)
        cancel_during_query(cluster)
        two_backends(cluster, mail_root)
    finally:
        if cluster:
            cluster.stop()
        if args.keep or FAILURES:
            print("kept " + tmp)
        else:
            shutil.rmtree(tmp, ignore_errors=True)
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
