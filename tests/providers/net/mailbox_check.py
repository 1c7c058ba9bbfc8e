#!/usr/bin/env python3
"""Checks what a Dovecot mailbox holds, with Python's own imaplib and email,
independently of the provider that sent it.

usage: mailbox_check.py SERVERS_DIR USER PASSWORD SUBJECT FROM TO,.. ATTACHMENT_FILE
Waits up to 20 s for exactly one message with SUBJECT in USER's INBOX,
sent by FROM to every address of TO (in To or Cc), whose one attachment
holds ATTACHMENT_FILE's bytes under that file's name. Exit status 0 when
so; otherwise 1 and what differs on standard error.
"""
import email
import email.policy
import imaplib
import os
import pathlib
import ssl
import sys
import time


def messages(env, user, password):
    context = ssl.create_default_context(cafile=env["CA_FILE"])
    box = imaplib.IMAP4("127.0.0.1", int(env["IMAP_PORT"]))
    box.starttls(context)
    box.login(user, password)
    box.select("INBOX", readonly=True)
    _, data = box.uid("FETCH", "1:*", "(BODY.PEEK[])")
    box.logout()
    return [email.message_from_bytes(item[1], policy=email.policy.default)
            for item in data if isinstance(item, tuple)]


def check(m, sender, recipients, attachment):
    if m["From"].addresses[0].addr_spec != sender:
        return "From is %s" % m["From"]
    named = [a.addr_spec for h in ("To", "Cc") if m[h] for a in m[h].addresses]
    if sorted(named) != sorted(recipients):
        return "recipients are %s" % named
    if not m["Message-ID"] or not m["Date"]:
        return "no Message-ID or Date"
    parts = list(m.iter_attachments())
    if len(parts) != 1:
        return "%d attachments" % len(parts)
    expected = pathlib.Path(attachment).read_bytes()
    if parts[0].get_filename() != os.path.basename(attachment):
        return "attachment named %s" % parts[0].get_filename()
    if parts[0].get_payload(decode=True) != expected:
        return "attachment bytes differ"
    return None


def main(servers_dir, user, password, subject, sender, recipients, attachment):
    env = dict(line.split("=", 1) for line in
               pathlib.Path(servers_dir, "servers.env").read_text().splitlines())
    problem = "no message with subject %r" % subject
    deadline = time.time() + 20
    while time.time() < deadline:
        found = [m for m in messages(env, user, password) if m["Subject"] == subject]
        if len(found) > 1:
            problem = "%d messages with subject %r" % (len(found), subject)
            break
        if found:
            problem = check(found[0], sender, recipients.split(","), attachment)
            break
        time.sleep(0.2)
    if problem:
        print("mailbox of %s: %s" % (user, problem), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 8:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    sys.exit(main(*sys.argv[1:]))
