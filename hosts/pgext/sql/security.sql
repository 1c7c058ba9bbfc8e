-- Who may call, set and read what.
CREATE ROLE velmail_stranger LOGIN;
CREATE ROLE velmail_member LOGIN;
GRANT velmail_user TO velmail_member;
CREATE TABLE secrets (who text, secret text);
INSERT INTO secrets VALUES ('velmail_member', 'mine'), ('someone', 'theirs');
ALTER TABLE secrets ENABLE ROW LEVEL SECURITY;
CREATE POLICY own ON secrets USING (who = current_user);
GRANT SELECT ON secrets TO velmail_member;
-- The settings are the module's from the server's start (it is preloaded):
-- the superuser's are refused at SET, the password is not shown, and
-- send_at_commit is any role's.
SET ROLE velmail_stranger;
CALL velmail.xp_startmail('ops', 'ops-demo');
SET velmail.mail_user = 'ops';
SET velmail.provider = 'libvelnet.so';
SET velmail.timeout = 10;
SHOW velmail.mail_password;
SET velmail.send_at_commit = on;
RESET velmail.send_at_commit;
RESET ROLE;
SET ROLE velmail_member;
CALL velmail.xp_startmail('ops', 'ops-demo');
-- Row-level security applies to the mail's query.
CALL velmail.xp_sendmail(recipient => 'ops', subject => 'rls', query => 'select secret from secrets');
CALL velmail.xp_findnextmsg(NULL) \gset
SELECT length(:'msg_id') > 2 AS found;
DO $$
DECLARE
  id bytea;
  recipients text; sender text; date_received text; subject text; cc text; bcc text;
  body text; attachments text; length int; skip int; type text;
BEGIN
  CALL velmail.xp_findnextmsg(id);
  CALL velmail.xp_readmail(id, recipients, sender, date_received, subject, cc, bcc, body,
                           attachments, msg_length => length,
                           bytes_to_skip => skip, type => type);
  RAISE NOTICE '%', body;
  CALL velmail.xp_deletemail(id);
END
$$;
-- A server file only for pg_read_server_files.
CALL velmail.xp_sendmail(recipient => 'ops', include_file => '/etc/passwd');
CALL velmail.xp_stopmail();
RESET ROLE;
-- The outbox: for velmail_user only. A logon that works records the mail
-- user for the role; a role sees that user's mail (none here: no network
-- provider is configured), and not the record itself.
SET ROLE velmail_stranger;
SELECT count(*) FROM velmail.outbox;
RESET ROLE;
SELECT role::text, mail_user FROM velmail.mail_users ORDER BY 1, 2;
SET ROLE velmail_member;
SELECT count(*) FROM velmail.outbox;
SELECT * FROM velmail.mail_users;
RESET ROLE;
