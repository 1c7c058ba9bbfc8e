-- From 1.0: the role of a mail user's record kept by name in a dump, an
-- xp_deletemail that refuses a NULL id beside the one without arguments,
-- and mail sent at commit.
\echo Use "ALTER EXTENSION velmail UPDATE TO '1.1'" to load this file. \quit

DELETE FROM mail_users m
 WHERE NOT EXISTS (SELECT FROM pg_catalog.pg_authid a WHERE a.oid = m.role_id);
ALTER TABLE mail_users RENAME COLUMN role_id TO role;
ALTER TABLE mail_users ALTER COLUMN role TYPE regrole USING role::regrole;

DROP PROCEDURE xp_deletemail(bytea);
CREATE PROCEDURE xp_deletemail(msg_id bytea)
  AS 'MODULE_PATHNAME', 'velmail_call' LANGUAGE C;
CREATE PROCEDURE xp_deletemail()
  AS 'MODULE_PATHNAME', 'velmail_call' LANGUAGE C;
REVOKE ALL ON PROCEDURE xp_deletemail(bytea), xp_deletemail() FROM PUBLIC;
GRANT EXECUTE ON PROCEDURE xp_deletemail(bytea), xp_deletemail() TO velmail_user;

-- Mail queued until commit (velmail.send_at_commit): a transaction that
-- queues mail inserts one row here, whose deferred trigger sends that mail
-- as the transaction commits; a rollback takes the row, and so the
-- trigger, with it. The row is removed once the mail went.
CREATE UNLOGGED TABLE send_queue (queued_at timestamptz NOT NULL DEFAULT pg_catalog.now());
REVOKE ALL ON send_queue FROM PUBLIC;
CREATE FUNCTION send_queued() RETURNS trigger
  AS 'MODULE_PATHNAME', 'velmail_send_queued' LANGUAGE C;
REVOKE ALL ON FUNCTION send_queued() FROM PUBLIC;
CREATE CONSTRAINT TRIGGER send_at_commit AFTER INSERT ON send_queue
  DEFERRABLE INITIALLY DEFERRED FOR EACH ROW EXECUTE FUNCTION send_queued();

COMMENT ON SCHEMA @extschema@ IS
  'velmail: mail from SQL (DROP EXTENSION leaves this schema and the role velmail_user)';
COMMENT ON PROCEDURE xp_startmail(text, text) IS
  'Logs this connection on to mail, as mail_user or velmail.mail_user';
COMMENT ON PROCEDURE xp_stopmail() IS 'Logs this connection off mail';
COMMENT ON PROCEDURE xp_sendmail(text, text, text, text, text, text, text, boolean, boolean, text,
                                 boolean, boolean, integer, text, text, text, text, boolean) IS
  'Sends a mail, with the result of query as its text or attached';
COMMENT ON PROCEDURE xp_findnextmsg(bytea, text, boolean) IS
  'The id of the inbox''s next message after msg_id (the first without one)';
COMMENT ON PROCEDURE xp_readmail(bytea, text, text, text, text, text, text, text, text, boolean,
                                 boolean, boolean, integer, integer, text) IS
  'Reads a message of the inbox; its body in pieces from bytes_to_skip on';
COMMENT ON PROCEDURE xp_deletemail(bytea) IS 'Deletes the message msg_id from the inbox';
COMMENT ON PROCEDURE xp_deletemail() IS 'Deletes the first message of the inbox';
COMMENT ON TABLE mail_users IS
  'The mail users each role logged on as: what of velmail.outbox the role sees';
COMMENT ON FUNCTION outbox_list() IS 'The rows of velmail.outbox';
COMMENT ON VIEW outbox IS
  'The network provider''s queued, failed, damaged and sent mail, as far as the role may see it';
COMMENT ON TABLE send_queue IS 'A row per transaction with mail to send at commit';
COMMENT ON FUNCTION send_queued() IS 'Sends the mail a transaction queued, as it commits';
