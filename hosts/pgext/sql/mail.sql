-- Sending with a query result, then walking, reading and deleting from
-- PL/pgSQL.
CALL velmail.xp_startmail('ops', 'ops-demo');
CREATE TABLE orders (id int PRIMARY KEY, item text, qty int);
INSERT INTO orders VALUES (1, 'disk', 2), (2, 'tape', 10);
CALL velmail.xp_sendmail(recipient => 'ops', subject => 'orders',
                         query => 'select id, item, qty from orders order by id');
-- A row this transaction wrote and did not commit is in the mail.
BEGIN;
INSERT INTO orders VALUES (3, 'uncommitted', 1);
CALL velmail.xp_sendmail(recipient => 'ops', subject => 'uncommitted',
                         query => 'select item from orders where id = 3');
ROLLBACK;
-- Another database than the caller's is refused.
CALL velmail.xp_sendmail(recipient => 'ops', query => 'select 1', dbname => 'postgres');
-- The message id comes back as INOUT.
CALL velmail.xp_findnextmsg(NULL) \gset
SELECT length(:'msg_id') > 2 AS found;
DO $$
DECLARE
  id bytea;
  recipients text; sender text; date_received text; subject text; cc text; bcc text;
  body text; attachments text; length int; skip int; type text;
  n int := 0;
BEGIN
  LOOP
    id := NULL;
    skip := NULL;
    -- An empty inbox is an ERROR of SQLSTATE 02000 (no data), caught here.
    BEGIN
      CALL velmail.xp_findnextmsg(id);
    EXCEPTION WHEN SQLSTATE '02000' THEN
      RAISE NOTICE 'walk ends: %', SQLERRM;
      EXIT;
    END;
    -- PL/pgSQL gives every INOUT parameter a variable.
    CALL velmail.xp_readmail(id, recipients, sender, date_received, subject, cc, bcc, body,
                             attachments, peek => true, msg_length => length,
                             bytes_to_skip => skip, type => type);
    RAISE NOTICE 'from % to %, subject %, % bytes, % to skip: %', sender, recipients, subject,
      length, skip, replace(body, E'\t', ' ');
    CALL velmail.xp_deletemail(id);
    n := n + 1;
  END LOOP;
  RAISE NOTICE '% messages read and deleted', n;
END
$$;
-- A message without a body (its query result attached): the outputs it
-- has no value for come back NULL, not as the caller's variables held
-- them; msg_length says 0.
CALL velmail.xp_sendmail(recipient => 'ops', subject => 'attachment only', query => 'select 1',
                         attach_result => true);
DO $$
DECLARE
  id bytea;
  recipients text := 'stale'; sender text := 'stale'; date_received text := 'stale';
  subject text := 'stale'; cc text := 'stale'; bcc text := 'stale'; body text := 'stale';
  attachments text := 'stale'; length int := 999; skip int := 0; type text;
BEGIN
  CALL velmail.xp_findnextmsg(id);
  CALL velmail.xp_readmail(id, recipients, sender, date_received, subject, cc, bcc, body,
                           attachments, suppress_attach => true, peek => true,
                           msg_length => length,
                           bytes_to_skip => skip, type => type);
  RAISE NOTICE 'subject %, body %, cc %, attachments %, length %, skip %', subject,
    coalesce(body, 'NULL'), coalesce(cc, 'NULL'), coalesce(attachments, 'NULL'), length, skip;
END
$$;
-- xp_deletemail() deletes the first message; a NULL id is refused, and
-- deletes nothing.
CALL velmail.xp_deletemail(NULL);
CALL velmail.xp_findnextmsg(NULL) \gset
SELECT length(:'msg_id') > 2 AS still_there;
CALL velmail.xp_deletemail();
CALL velmail.xp_deletemail();
CALL velmail.xp_stopmail();
