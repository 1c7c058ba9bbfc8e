#!/usr/bin/env python3
"""The velmail extension's benchmarks, each against its anchor in the same
run on the same cluster (min and median of 3):

1. A 100,000-row query mailed as an attachment from SQL (maildir provider)
   against COPY (query) TO a file.
2. Small mails from SQL through the network provider (spooled durably;
   delivered by its thread) against the same mail sent synchronously from
   a plpython3u function with smtplib (connect, STARTTLS, login, send,
   quit) to the same Postfix: mails per second, one statement per mail.
   Needs root, the network tests' packages and postgresql-plpython3-15;
   without them only the first runs. VEL_BENCH_SMALL_ONLY=1 runs only this
   (and 3).
3. The same small mails, each in a transaction of its own (BEGIN; CALL
   velmail.xp_sendmail(...); COMMIT;), with velmail.send_at_commit on (the
   call queues the mail, the commit sends it) against off (the call sends
   it): mails per second, min and median of 3 (goal: on >= 0.8x off).

CI does not run these (they take minutes and want a quiet machine):

    bench/pgext_bench.py BUILD-DIR [MAILS]
"""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "hosts", "pgext", "test"))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "providers", "net"))
import mail_servers  # noqa: E402
import net_bench  # noqa: E402
import pgext_test  # noqa: E402

QUERY = "select g as id, md5(g::text) as name, g * 1.5 as price from generate_series(1, 100000) g"
USERS = {"ops": "ops-secret", "dba": "dba-secret"}
BODY = "A small mail from the database.\nIt has two lines.\n"


def timed(run):
    runs = []
    for _ in range(3):
        started = time.perf_counter()
        run()
        runs.append(time.perf_counter() - started)
    return min(runs), statistics.median(runs)


def big_query(cluster):
    """Timed two ways: each run a new session (the library is loaded and
    logged on in it first: what a single call from a fresh connection
    costs), and in sessions kept open, where only the statement counts."""
    cluster.psql("create database bench")
    cluster.psql("create extension velmail", db="bench")
    out = os.path.join(cluster.data, "copy.out")
    copy_sql = "copy (%s) to '%s'" % (QUERY, out)
    mail_sql = ("call velmail.xp_sendmail(recipient => 'dba', subject => 'big', "
                "query => '%s', attach_result => true, width => 200)" % QUERY)
    logon = "call velmail.xp_startmail('ops', 'ops-demo')"
    copy = timed(lambda: cluster.psql(copy_sql, db="bench"))
    mail = timed(lambda: cluster.psql(logon + "; " + mail_sql, db="bench"))
    print("100,000 rows, new sessions: COPY TO file        min %.3f s  median %.3f s" % copy)
    print("100,000 rows, new sessions: xp_startmail + xp_sendmail attach  min %.3f s  "
          "median %.3f s" % mail)
    print("100,000 rows, new sessions: ratio (median)      %.2fx" % (mail[1] / copy[1]))
    copier = pgext_test.Session(cluster, db="bench")
    mailer = pgext_test.Session(cluster, db="bench")
    try:
        mailer.run(logon)
        copy = timed(lambda: copier.run(copy_sql))
        mail = timed(lambda: mailer.run(mail_sql))
    finally:
        copier.close()
        mailer.close()
    print("100,000 rows, open sessions: COPY TO file        min %.3f s  median %.3f s" % copy)
    print("100,000 rows, open sessions: xp_sendmail attach  min %.3f s  median %.3f s" % mail)
    print("100,000 rows, open sessions: ratio (median)      %.2fx (goal <= 1.5x)"
          % (mail[1] / copy[1]))


def small_mails(cluster, servers, spool, mails):
    domain = mail_servers.DOMAIN
    cluster.psql("create extension velmail", db="bench2")
    cluster.psql("create extension plpython3u", db="bench2")
    cluster.psql("""
create function smtp_send(port int, ca text, password text, subject text, body text)
returns void as $$
import smtplib, ssl
from email.message import EmailMessage
message = EmailMessage()
message["From"] = "ops@%(domain)s"
message["To"] = "dba@%(domain)s"
message["Subject"] = subject
message.set_content(body)
with smtplib.SMTP("127.0.0.1", port) as smtp:
    smtp.starttls(context=ssl.create_default_context(cafile=ca))
    smtp.login("ops", password)
    smtp.send_message(message)
$$ language plpython3u""" % {"domain": domain}, db="bench2")
    body = BODY.replace("\n", "\\n")
    # Each script reads the server's clock after its session is set up and
    # after its last mail: mails per second are those of the statements in
    # an open session. The whole run (psql starting, connecting, the
    # provider's logon) is given too.
    clock = "select extract(epoch from clock_timestamp()) as %s \\gset\n"
    velmail_script = ("call velmail.xp_startmail('ops', '%s');\n" % USERS["ops"] + clock % "t0" +
                      "call velmail.xp_sendmail(recipient => 'dba', subject => 'small', "
                      "message => E'%s');\n" % body * mails + clock % "t1" + "\\echo :t0 :t1\n")
    smtplib_script = (clock % "t0" +
                      "select smtp_send(%d, '%s', '%s', 'small', E'%s');\n"
                      % (servers.smtp_port, servers.ca_file, USERS["ops"], body) * mails +
                      clock % "t1" + "\\echo :t0 :t1\n")

    def psql(script):
        """Runs script; the seconds its mails took in the session."""
        run = subprocess.run(["psql", "-X", "-q", "-v", "ON_ERROR_STOP=1", "-h", cluster.dir,
                              "-U", "postgres", "-d", "bench2", "-o", "/dev/null"], input=script,
                             text=True, capture_output=True)
        if run.returncode != 0:
            raise RuntimeError(run.stderr.strip())
        out = run.stdout.split()
        return float(out[-1]) - float(out[-2])

    delivered = net_bench.LineCounter(os.path.join(spool, "sent.log")).lines

    def three(script, wait_for_delivery):
        in_session, whole, delivered_runs = [], [], []
        for _ in range(3):
            before = delivered()
            started = time.perf_counter()
            in_session.append(psql(script))
            whole.append(time.perf_counter() - started)
            if wait_for_delivery:
                while delivered() < before + mails and time.perf_counter() - started < 300:
                    time.sleep(0.02)
                if delivered() < before + mails:
                    raise RuntimeError("%d of %d mails were delivered"
                                       % (delivered() - before, mails))
                delivered_runs.append(time.perf_counter() - started)
        return in_session, whole, delivered_runs

    def figures(runs):
        return min(runs), statistics.median(runs)

    def measure(how):
        # The provider's thread delivers while the statements spool; a run
        # is timed until its last statement returned (every mail durably
        # spooled), and, for the record, until the last mail was at Postfix.
        # The next run starts after that.
        spooled, spooled_whole, delivered_runs = three(velmail_script, True)
        smtp, smtp_whole, _ = three(smtplib_script, False)
        print("%d small mails, %s:" % (mails, how))
        print("  xp_sendmail (network provider, spooled)  min %.3f s  median %.3f s"
              "  = %.0f mails/s (median)" % (*figures(spooled), mails / figures(spooled)[1]))
        print("  plpython3u smtplib (synchronous)         min %.3f s  median %.3f s"
              "  = %.0f mails/s (median)" % (*figures(smtp), mails / figures(smtp)[1]))
        print("  ratio (median)  %.1fx as many mails per second (goal >= 10x)"
              % (figures(smtp)[1] / figures(spooled)[1]))
        print("  whole runs (psql starting, logon): xp_sendmail median %.3f s, smtplib %.3f s: "
              "%.1fx" % (figures(spooled_whole)[1], figures(smtp_whole)[1],
                         figures(smtp_whole)[1] / figures(spooled_whole)[1]))
        print("  xp_sendmail until all were at Postfix    min %.3f s  median %.3f s"
              % figures(delivered_runs))
        commit_modes()

    def transactions(at_commit):
        return ("set velmail.send_at_commit = %s;\n" % ("on" if at_commit else "off") +
                "call velmail.xp_startmail('ops', '%s');\n" % USERS["ops"] + clock % "t0" +
                ("begin;\ncall velmail.xp_sendmail(recipient => 'dba', subject => 'small', "
                 "message => E'%s');\ncommit;\n" % body) * mails +
                clock % "t1" + "\\echo :t0 :t1\n")

    def commit_modes():
        # Each run is timed until its last commit returned, and waits until
        # every mail is at Postfix before the next starts: the mails sent at
        # commit must all go out too.
        try:
            immediate = three(transactions(False), True)[0]
            at_commit = three(transactions(True), True)[0]
        except RuntimeError as failure:
            print("  send_at_commit: not measured: %s" % failure)
            return

        def rates(runs):
            per_second = [mails / seconds for seconds in runs]
            return min(per_second), statistics.median(per_second)

        print("  %d mails, each in a transaction of its own (BEGIN; CALL; COMMIT):" % mails)
        print("    send_at_commit off (sent by the call)  min %.0f  median %.0f mails/s"
              % rates(immediate))
        print("    send_at_commit on (sent at commit)     min %.0f  median %.0f mails/s"
              % rates(at_commit))
        print("    ratio (median)  %.2fx (goal >= 0.8x)" % (rates(at_commit)[1] /
                                                          rates(immediate)[1]))

    measure("Postfix delivering to Dovecot meanwhile")
    # The same with Postfix keeping what it takes in its queue (it still
    # takes each mail over SMTP): on this machine the mail store's
    # deliveries take the same cores the statements run on, which a real
    # installation's mail servers do not.
    postfix = str(servers.dir / "postfix")
    subprocess.run(["postconf", "-c", postfix, "-e", "defer_transports = lmtp"], check=True)
    subprocess.run([mail_servers.POSTFIX, "-c", postfix, "reload"], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(2)
    try:
        measure("Postfix's deliveries to Dovecot held")
    finally:
        subprocess.run(["postconf", "-c", postfix, "-e", "defer_transports ="], check=True)
        subprocess.run([mail_servers.POSTFIX, "-c", postfix, "reload"],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def main():
    build = sys.argv[1]
    mails = int(sys.argv[2]) if len(sys.argv) > 2 else 200
    bindir = "/usr/lib/postgresql/15/bin"
    tmp = tempfile.mkdtemp(prefix="velpgbench-", dir="/tmp")
    os.chmod(tmp, 0o755)
    cluster = servers = None
    try:
        # Installed below the prefix the server's directories share, as the
        # build's install rules place them.
        prefix = os.path.commonpath([pgext_test.pg_config(bindir, "--pkglibdir"),
                                     pgext_test.pg_config(bindir, "--sharedir")])
        staged = pgext_test.stage(build, os.path.join(tmp, "root"), bindir, prefix)
        accounts = os.path.join(tmp, "accounts")
        subprocess.check_call([os.path.join(build, "bin", "velhost"), "--data", accounts,
                               "--init"], stderr=subprocess.DEVNULL)
        pgext_test.chown_to_server(os.path.join(accounts, "mail"))
        settings = {"velmail.maildir_root": os.path.join(accounts, "mail")}
        why = mail_servers.missing()
        if why is None and not os.path.exists(
                os.path.join(pgext_test.pg_config(bindir, "--pkglibdir"), "plpython3.so")):
            why = "plpython3u is not installed (postgresql-plpython3-15)"
        spool = None
        if why is None:
            servers = mail_servers.MailServers(os.path.join(tmp, "servers"), USERS)
            os.mkdir(servers.dir)
            servers.start()
            net = os.path.join(tmp, "net")
            os.mkdir(net, 0o700)
            spool = os.path.join(net, "spool")
            config = os.path.join(tmp, "velnet.ini")
            with open(config, "w") as f:
                f.write("[imap]\nurl = imap://127.0.0.1:%d/INBOX\n[smtp]\n"
                        "servers = smtp://127.0.0.1:%d\n[tls]\nmode = required\nca_file = %s\n"
                        "[mail]\ndomain = %s\n[delivery]\nspool = %s\ndrain_seconds = 60\n"
                        % (servers.imap_port, servers.smtp_port, servers.ca_file,
                           mail_servers.DOMAIN, spool))
            os.chmod(config, 0o644)
            pgext_test.chown_to_server(net)
            settings["velmail.net_config"] = config
        cluster = pgext_test.Cluster(tmp, staged, settings)
        if not os.environ.get("VEL_BENCH_SMALL_ONLY"):
            big_query(cluster)
        if why is None:
            # The network provider for the sessions from now on.
            cluster.psql("create database bench2")
            subprocess.run(["psql", "-X", "-q", "-h", cluster.dir, "-U", "postgres", "-c",
                            "load 'velmail'", "-c",
                            "alter system set velmail.provider = 'libvelnet.so'"], check=True)
            cluster.psql("select pg_reload_conf()")
            small_mails(cluster, servers, spool, mails)
        else:
            print("small mails through the network provider: not measured: " + why)
    finally:
        if cluster:
            cluster.stop()
        if servers:
            servers.stop()
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
