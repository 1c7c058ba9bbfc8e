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
-- The message id comes back as INOUT.
CALL velmail.xp_findnextmsg(NULL);
DO $$
DECLARE
  id bytea;
  subject text;
  body text;
  n int := 0;
BEGIN
  LOOP
    id := NULL;
    CALL velmail.xp_findnextmsg(id);
    EXIT WHEN id IS NULL;
    CALL velmail.xp_readmail(msg_id => id, subject => subject, message => body, peek => true);
    RAISE NOTICE 'subject %: %', subject, replace(body, E'\t', ' ');
    CALL velmail.xp_deletemail(id);
    n := n + 1;
  END LOOP;
  RAISE NOTICE '% messages read and deleted', n;
END
$$;
-- Another database than the caller's is refused.
CALL velmail.xp_sendmail(recipient => 'ops', query => 'select 1', dbname => 'postgres');
CALL velmail.xp_stopmail();
