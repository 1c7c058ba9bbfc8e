-- Who may call, set and read what.
CREATE ROLE velmail_stranger LOGIN;
CREATE ROLE velmail_member LOGIN;
GRANT velmail_user TO velmail_member;
CREATE TABLE secrets (who text, secret text);
INSERT INTO secrets VALUES ('velmail_member', 'mine'), ('someone', 'theirs');
ALTER TABLE secrets ENABLE ROW LEVEL SECURITY;
CREATE POLICY own ON secrets USING (who = current_user);
GRANT SELECT ON secrets TO velmail_member;
SET ROLE velmail_stranger;
CALL velmail.xp_startmail('ops', 'ops-demo');
SET velmail.mail_user = 'ops';
SET velmail.provider = 'libvelnet.so';
SHOW velmail.mail_password;
RESET ROLE;
SET ROLE velmail_member;
CALL velmail.xp_startmail('ops', 'ops-demo');
-- Row-level security applies to the mail's query.
CALL velmail.xp_sendmail(recipient => 'ops', subject => 'rls', query => 'select secret from secrets');
CALL velmail.xp_findnextmsg(NULL);
DO $$
DECLARE
  id bytea;
  body text;
BEGIN
  CALL velmail.xp_findnextmsg(id);
  CALL velmail.xp_readmail(msg_id => id, message => body);
  RAISE NOTICE '%', body;
  CALL velmail.xp_deletemail(id);
END
$$;
-- A server file only for pg_read_server_files.
CALL velmail.xp_sendmail(recipient => 'ops', include_file => '/etc/passwd');
CALL velmail.xp_stopmail();
RESET ROLE;
