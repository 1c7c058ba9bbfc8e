-- A failed call is an ERROR with a standard SQLSTATE and, where the
-- caller can act, a HINT; PL/pgSQL can catch it.
\set VERBOSITY default
CREATE FUNCTION velmail_try(sql text) RETURNS text LANGUAGE plpgsql AS $$
DECLARE
  state text; message text; hint text;
BEGIN
  EXECUTE sql;
  RETURN 'ok';
EXCEPTION WHEN OTHERS THEN
  GET STACKED DIAGNOSTICS state = RETURNED_SQLSTATE, message = MESSAGE_TEXT,
                          hint = PG_EXCEPTION_HINT;
  RETURN state || ': ' || message || coalesce(' (HINT: ' || nullif(hint, '') || ')', '');
END
$$;
-- No session, a wrong password, and no message.
CALL velmail.xp_sendmail(recipient => 'ops', message => 'not logged on');
SELECT velmail_try($$CALL velmail.xp_sendmail(recipient => 'ops', message => 'x')$$);
SELECT velmail_try($$CALL velmail.xp_startmail('ops', 'not-the-password')$$);
SELECT velmail_try($$CALL velmail.xp_startmail()$$);
CALL velmail.xp_startmail('ops', 'ops-demo');
SELECT velmail_try($$CALL velmail.xp_findnextmsg(NULL)$$);
SELECT velmail_try($$CALL velmail.xp_readmail()$$);
-- Parameters the procedures refuse: both of two, a bad value, a NULL id,
-- a value longer than an entry of the library holds (in bytes: 100
-- check marks are 300), a file that is not there.
SELECT velmail_try($$CALL velmail.xp_sendmail(query => 'x', message => 'both')$$);
SELECT velmail_try($$CALL velmail.xp_sendmail(recipient => 'ops', width => -5, query => 'select 1')$$);
SELECT velmail_try($$CALL velmail.xp_deletemail(NULL)$$);
SELECT velmail_try($$CALL velmail.xp_sendmail(recipient => 'ops', subject => repeat('✓', 100))$$);
SELECT velmail_try($$CALL velmail.xp_sendmail(recipient => 'ops', subject => repeat('✓', 85))$$);
SELECT velmail_try($$CALL velmail.xp_findnextmsg(NULL)$$) LIKE 'ok' AS sent_at_the_limit;
CALL velmail.xp_deletemail();
-- A failing query: a WARNING with the query's own message; the mail goes
-- (echo_error decides whether the error is in its text), the session
-- goes on.
CALL velmail.xp_sendmail(recipient => 'ops', subject => 'bad', query => 'select * from no_such');
-- A query that fails after its first thousands of rows fails the same way,
-- and the next query of the session reads all its rows.
CALL velmail.xp_sendmail(recipient => 'ops', subject => 'late failure',
                         query => 'select 1 / (g - 2500) from generate_series(1, 3000) g');
CALL velmail.xp_sendmail(recipient => 'ops', subject => 'after it',
                         query => 'select count(*) from generate_series(1, 3000) g');
-- What a message repeats of the caller's input is cut (a value of 5,000
-- bytes in the query's own error).
CALL velmail.xp_sendmail(recipient => 'ops', subject => 'long error',
                         query => 'select repeat(''x'', 5000)::int');
CALL velmail.xp_deletemail();
CALL velmail.xp_deletemail();
CALL velmail.xp_deletemail();
CALL velmail.xp_deletemail();
-- The session belongs to the role that logged on: another role (SET ROLE)
-- is refused until it logs on itself, and the logon role goes on.
CREATE ROLE velmail_first;
CREATE ROLE velmail_second;
GRANT velmail_user TO velmail_first, velmail_second;
CALL velmail.xp_stopmail();
SET ROLE velmail_first;
CALL velmail.xp_startmail('ops', 'ops-demo');
SET ROLE velmail_second;
SELECT velmail_try($$CALL velmail.xp_sendmail(recipient => 'ops', message => 'x')$$);
SET ROLE velmail_first;
SELECT velmail_try($$CALL velmail.xp_sendmail(recipient => 'ops', subject => 'first', message => 'x')$$);
SET ROLE velmail_second;
CALL velmail.xp_startmail('ops', 'ops-demo');
SELECT velmail_try($$CALL velmail.xp_deletemail()$$);
SET ROLE velmail_first;
SELECT velmail_try($$CALL velmail.xp_deletemail()$$);
RESET ROLE;
SELECT velmail_try($$CALL velmail.xp_stopmail()$$);
SET ROLE velmail_second;
CALL velmail.xp_stopmail();
RESET ROLE;
SELECT role::text, mail_user FROM velmail.mail_users
 WHERE role::text LIKE 'velmail_%' ORDER BY 1;
DROP ROLE velmail_first;
SELECT count(*) FROM velmail.outbox;
SELECT role::text, mail_user FROM velmail.mail_users
 WHERE role::text LIKE 'velmail_%' ORDER BY 1;
DROP ROLE velmail_second;
DROP FUNCTION velmail_try(text);
