-- velmail.send_at_commit: xp_sendmail in a transaction block is sent when
-- the transaction commits, in its snapshot, and not at all when it rolls
-- back (to a savepoint too); PREPARE TRANSACTION is refused while mail
-- waits; a failure at commit aborts the commit.
CREATE FUNCTION velmail_inbox() RETURNS SETOF text LANGUAGE plpgsql AS $$
DECLARE
  id bytea; r text; s text; d text; subject text; cc text; bcc text; body text; att text;
  len int; skip int; t text;
BEGIN
  LOOP
    id := NULL;
    skip := NULL;
    BEGIN
      CALL velmail.xp_findnextmsg(id);
    EXCEPTION WHEN SQLSTATE '02000' THEN
      EXIT;
    END;
    CALL velmail.xp_readmail(id, r, s, d, subject, cc, bcc, body, att, msg_length => len,
                             bytes_to_skip => skip, type => t);
    RETURN NEXT subject || ': ' || coalesce(replace(rtrim(body, E'\n '), E'\n', ' | '), '');
    CALL velmail.xp_deletemail(id);
  END LOOP;
END
$$;
CALL velmail.xp_startmail('ops', 'ops-demo');
CREATE TABLE velmail_events (id int);
SET velmail.send_at_commit = on;
-- Outside a transaction block a send goes at once.
CALL velmail.xp_sendmail(recipient => 'ops', subject => 'autocommit', message => 'at once');
SELECT * FROM velmail_inbox();
BEGIN;
INSERT INTO velmail_events VALUES (1);
CALL velmail.xp_sendmail(recipient => 'ops', subject => 'committed',
                         query => 'select count(*) from velmail_events');
-- Not yet sent: the inbox is still empty.
SELECT * FROM velmail_inbox();
INSERT INTO velmail_events VALUES (2);
COMMIT;
SELECT * FROM velmail_inbox();
BEGIN;
INSERT INTO velmail_events VALUES (3);
CALL velmail.xp_sendmail(recipient => 'ops', subject => 'rolled back', message => 'never');
ROLLBACK;
BEGIN;
SAVEPOINT before;
CALL velmail.xp_sendmail(recipient => 'ops', subject => 'to savepoint', message => 'never');
ROLLBACK TO SAVEPOINT before;
CALL velmail.xp_sendmail(recipient => 'ops', subject => 'after savepoint', message => 'sent');
SAVEPOINT inner_one;
CALL velmail.xp_sendmail(recipient => 'ops', subject => 'released', message => 'sent');
RELEASE SAVEPOINT inner_one;
COMMIT;
SELECT * FROM velmail_inbox();
BEGIN;
CALL velmail.xp_sendmail(recipient => 'ops', subject => 'prepared', message => 'never');
PREPARE TRANSACTION 'velmail_prepared';
ROLLBACK;
ROLLBACK PREPARED 'velmail_prepared';
SELECT * FROM velmail_inbox();
-- A send that fails at commit aborts the commit: the row stays out.
CALL velmail.xp_stopmail();
BEGIN;
INSERT INTO velmail_events VALUES (4);
CALL velmail.xp_sendmail(recipient => 'ops', subject => 'no session', message => 'never');
COMMIT;
SELECT count(*) AS events FROM velmail_events;
CALL velmail.xp_startmail('ops', 'ops-demo');
SELECT * FROM velmail_inbox();
SELECT count(*) AS queue_rows FROM velmail.send_queue;
RESET velmail.send_at_commit;
CALL velmail.xp_stopmail();
DROP TABLE velmail_events;
DROP FUNCTION velmail_inbox();
