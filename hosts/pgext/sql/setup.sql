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
-- A schema velmail that another role made beforehand is not adopted;
-- an empty one a superuser made (as a restore does) is.
CREATE DATABASE velmail_install;
\c velmail_install
CREATE ROLE velmail_squatter;
CREATE SCHEMA velmail AUTHORIZATION velmail_squatter;
CREATE EXTENSION velmail;
DROP SCHEMA velmail;
CREATE SCHEMA velmail;
CREATE FUNCTION velmail.xp_startmail(text) RETURNS void LANGUAGE sql AS '';
CREATE EXTENSION velmail;
DROP FUNCTION velmail.xp_startmail(text);
CREATE EXTENSION velmail;
DROP EXTENSION velmail;
-- DROP EXTENSION leaves the schema (and the role velmail_user, which is
-- the cluster's).
SELECT nspname FROM pg_namespace WHERE nspname = 'velmail';
DROP SCHEMA velmail;
-- From 1.0: a record of a role's logons keeps its role, now by name; a
-- dropped role's record goes; xp_deletemail has its two forms.
CREATE EXTENSION velmail VERSION '1.0';
INSERT INTO velmail.mail_users (role_id, mail_user)
  SELECT oid, 'ops' FROM pg_roles WHERE rolname = 'velmail_squatter';
INSERT INTO velmail.mail_users (role_id, mail_user) VALUES (4294967000, 'gone');
ALTER EXTENSION velmail UPDATE TO '1.1';
SELECT role::text, mail_user FROM velmail.mail_users;
SELECT pg_get_function_arguments(p.oid) FROM pg_proc p
 WHERE p.proname = 'xp_deletemail' ORDER BY 1;
\c velmail_regress
DROP DATABASE velmail_install;
DROP ROLE velmail_squatter;
