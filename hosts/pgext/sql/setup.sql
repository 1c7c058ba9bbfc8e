-- The extension: its schema, procedures and role.
CREATE EXTENSION velmail;
SELECT p.proname, pg_get_function_arguments(p.oid)
  FROM pg_proc p JOIN pg_namespace n ON n.oid = p.pronamespace
 WHERE n.nspname = 'velmail' ORDER BY 1;
SELECT rolname FROM pg_roles WHERE rolname = 'velmail_user';
-- Logging on and off, by position and by name.
CALL velmail.xp_startmail('ops', 'ops-demo');
CALL velmail.xp_stopmail();
CALL velmail.xp_startmail(mail_user => 'ops', mail_password => 'ops-demo');
CALL velmail.xp_stopmail();
-- Stopping twice: the library's own message.
CALL velmail.xp_stopmail();
