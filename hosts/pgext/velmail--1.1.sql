-- The mail procedures under the library's names, each parameter under its
-- name in the library's order. A parameter left out (or NULL) is not sent,
-- so the library's own default applies; INOUT parameters are sent as output
-- parameters and come back with what the library wrote.
\echo Use "CREATE EXTENSION velmail" to load this file. \quit

-- The schema must be the extension's own: one that CREATE EXTENSION made
-- just now, or an empty one a superuser made for it (a restore makes it
-- before the extension). Objects another role put there beforehand would
-- sit beside the procedures, overloads among them.
DO $$
DECLARE
  made_now boolean;
  trusted boolean;
  empty boolean;
BEGIN
  SELECT n.xmin::text = pg_catalog.pg_current_xact_id()::xid::text, r.rolsuper
    INTO made_now, trusted
    FROM pg_catalog.pg_namespace n JOIN pg_catalog.pg_roles r ON r.oid = n.nspowner
   WHERE n.oid = '@extschema@'::regnamespace;
  SELECT NOT EXISTS (SELECT FROM pg_catalog.pg_class WHERE relnamespace = '@extschema@'::regnamespace)
     AND NOT EXISTS (SELECT FROM pg_catalog.pg_proc WHERE pronamespace = '@extschema@'::regnamespace)
     AND NOT EXISTS (SELECT FROM pg_catalog.pg_type WHERE typnamespace = '@extschema@'::regnamespace)
     AND NOT EXISTS (SELECT FROM pg_catalog.pg_operator WHERE oprnamespace = '@extschema@'::regnamespace)
    INTO empty;
  IF NOT made_now AND NOT (trusted AND empty) THEN
    RAISE EXCEPTION 'schema "@extschema@" exists already and was not made for the extension'
      USING ERRCODE = '42P06',
            DETAIL = 'Its owner is not a superuser, or it holds objects.',
            HINT = 'Drop or rename that schema, then create the extension.';
  END IF;
END
$$;

DO $$
BEGIN
  IF NOT EXISTS (SELECT FROM pg_catalog.pg_roles WHERE rolname = 'velmail_user') THEN
    CREATE ROLE velmail_user NOLOGIN;
  END IF;
END
$$;

CREATE PROCEDURE xp_startmail(mail_user text DEFAULT NULL, mail_password text DEFAULT NULL)
  AS 'MODULE_PATHNAME', 'velmail_call' LANGUAGE C;

CREATE PROCEDURE xp_stopmail()
  AS 'MODULE_PATHNAME', 'velmail_call' LANGUAGE C;

CREATE PROCEDURE xp_sendmail(
    recipient text DEFAULT NULL,
    subject text DEFAULT NULL,
    cc_recipient text DEFAULT NULL,
    bcc_recipient text DEFAULT NULL,
    query text DEFAULT NULL,
    message text DEFAULT NULL,
    attachname text DEFAULT NULL,
    attach_result boolean DEFAULT NULL,
    echo_error boolean DEFAULT NULL,
    include_file text DEFAULT NULL,
    no_column_header boolean DEFAULT NULL,
    no_output boolean DEFAULT NULL,
    width integer DEFAULT NULL,
    separator text DEFAULT NULL,
    dbuser text DEFAULT NULL,
    dbname text DEFAULT NULL,
    type text DEFAULT NULL,
    include_query boolean DEFAULT NULL)
  AS 'MODULE_PATHNAME', 'velmail_call' LANGUAGE C;

CREATE PROCEDURE xp_findnextmsg(
    INOUT msg_id bytea DEFAULT NULL,
    type text DEFAULT NULL,
    unread_only boolean DEFAULT NULL)
  AS 'MODULE_PATHNAME', 'velmail_call' LANGUAGE C;

CREATE PROCEDURE xp_readmail(
    msg_id bytea DEFAULT NULL,
    INOUT recipients text DEFAULT NULL,
    INOUT sender text DEFAULT NULL,
    INOUT date_received text DEFAULT NULL,
    INOUT subject text DEFAULT NULL,
    INOUT cc text DEFAULT NULL,
    INOUT bcc text DEFAULT NULL,
    INOUT message text DEFAULT NULL,
    INOUT attachments text DEFAULT NULL,
    suppress_attach boolean DEFAULT NULL,
    peek boolean DEFAULT NULL,
    unread boolean DEFAULT NULL,
    INOUT msg_length integer DEFAULT NULL,
    INOUT bytes_to_skip integer DEFAULT NULL,
    INOUT type text DEFAULT NULL)
  AS 'MODULE_PATHNAME', 'velmail_call' LANGUAGE C;

-- Without an id the first message of the inbox; an id must not be NULL.
CREATE PROCEDURE xp_deletemail(msg_id bytea)
  AS 'MODULE_PATHNAME', 'velmail_call' LANGUAGE C;
CREATE PROCEDURE xp_deletemail()
  AS 'MODULE_PATHNAME', 'velmail_call' LANGUAGE C;

REVOKE ALL ON PROCEDURE xp_startmail(text, text), xp_stopmail(),
  xp_sendmail(text, text, text, text, text, text, text, boolean, boolean, text, boolean, boolean,
              integer, text, text, text, text, boolean),
  xp_findnextmsg(bytea, text, boolean),
  xp_readmail(bytea, text, text, text, text, text, text, text, text, boolean, boolean, boolean,
              integer, integer, text),
  xp_deletemail(bytea), xp_deletemail() FROM PUBLIC;
GRANT USAGE ON SCHEMA @extschema@ TO velmail_user;
GRANT EXECUTE ON PROCEDURE xp_startmail(text, text), xp_stopmail(),
  xp_sendmail(text, text, text, text, text, text, text, boolean, boolean, text, boolean, boolean,
              integer, text, text, text, text, boolean),
  xp_findnextmsg(bytea, text, boolean),
  xp_readmail(bytea, text, text, text, text, text, text, text, text, boolean, boolean, boolean,
              integer, integer, text),
  xp_deletemail(bytea), xp_deletemail() TO velmail_user;

-- The mail users each role has logged on as (written by xp_startmail when
-- it opened a session as that user): what of the network provider's outbox
-- the role sees. The role is kept by name in a dump (regrole); a dropped
-- role's records go.
CREATE TABLE mail_users (
  role regrole NOT NULL,
  mail_user text NOT NULL,
  recorded timestamptz NOT NULL DEFAULT now(),
  PRIMARY KEY (role, mail_user));
REVOKE ALL ON mail_users FROM PUBLIC;
SELECT pg_catalog.pg_extension_config_dump('mail_users', '');

-- The network provider's queued, failed, damaged and sent mail, read from
-- its spool (velmail.net_config names its configuration): every row for a
-- superuser, else the rows of the mail users the role has logged on as.
CREATE FUNCTION outbox_list(
    OUT id text, OUT state text, OUT mail_user text, OUT sender text, OUT recipients text,
    OUT subject text, OUT attempts integer, OUT last_reply text, OUT queued_at timestamptz,
    OUT next_attempt timestamptz, OUT sent_at timestamptz)
  RETURNS SETOF record
  AS 'MODULE_PATHNAME', 'velmail_outbox' LANGUAGE C VOLATILE;
CREATE VIEW outbox AS SELECT * FROM outbox_list();
REVOKE ALL ON FUNCTION outbox_list() FROM PUBLIC;
REVOKE ALL ON outbox FROM PUBLIC;
GRANT EXECUTE ON FUNCTION outbox_list() TO velmail_user;
GRANT SELECT ON outbox TO velmail_user;

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
