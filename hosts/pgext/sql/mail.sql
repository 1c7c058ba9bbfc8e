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
    -- An empty inbox is the library's error 11526, caught here.
    BEGIN
      CALL velmail.xp_findnextmsg(id);
    EXCEPTION WHEN SQLSTATE 'VM000' THEN
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
CALL velmail.xp_stopmail();
