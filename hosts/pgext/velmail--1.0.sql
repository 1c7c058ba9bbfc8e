-- The mail procedures under the library's names, each parameter under its
-- name in the library's order. A parameter left out (or NULL) is not sent,
-- so the library's own default applies; INOUT parameters are sent as output
-- parameters and come back with what the library wrote.
\echo Use "CREATE EXTENSION velmail" to load this file. \quit

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

CREATE PROCEDURE xp_deletemail(msg_id bytea DEFAULT NULL)
  AS 'MODULE_PATHNAME', 'velmail_call' LANGUAGE C;

REVOKE ALL ON PROCEDURE xp_startmail(text, text), xp_stopmail(),
  xp_sendmail(text, text, text, text, text, text, text, boolean, boolean, text, boolean, boolean,
              integer, text, text, text, text, boolean),
  xp_findnextmsg(bytea, text, boolean),
  xp_readmail(bytea, text, text, text, text, text, text, text, text, boolean, boolean, boolean,
              integer, integer, text),
  xp_deletemail(bytea) FROM PUBLIC;
GRANT USAGE ON SCHEMA @extschema@ TO velmail_user;
GRANT EXECUTE ON PROCEDURE xp_startmail(text, text), xp_stopmail(),
  xp_sendmail(text, text, text, text, text, text, text, boolean, boolean, text, boolean, boolean,
              integer, text, text, text, text, boolean),
  xp_findnextmsg(bytea, text, boolean),
  xp_readmail(bytea, text, text, text, text, text, text, text, text, boolean, boolean, boolean,
              integer, integer, text),
  xp_deletemail(bytea) TO velmail_user;

-- The mail users each role has logged on as (written by xp_startmail when
-- the logon works): what of the network provider's outbox the role sees.
CREATE TABLE mail_users (
  role_id oid NOT NULL,
  mail_user text NOT NULL,
  recorded timestamptz NOT NULL DEFAULT now(),
  PRIMARY KEY (role_id, mail_user));
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
