-- A failed call is an ERROR of class VM that PL/pgSQL can catch; the
-- caller's transaction follows the usual rules.
CALL velmail.xp_sendmail(recipient => 'ops', message => 'not logged on');
DO $$
BEGIN
  CALL velmail.xp_sendmail(recipient => 'ops', message => 'not logged on');
EXCEPTION WHEN OTHERS THEN
  RAISE NOTICE 'caught % (%)', SQLERRM, SQLSTATE;
END
$$;
CALL velmail.xp_startmail('ops', 'ops-demo');
-- A failing query: the library reports it; the session goes on.
CALL velmail.xp_sendmail(recipient => 'ops', subject => 'bad', query => 'select * from no_such');
CALL velmail.xp_sendmail(query => 'x', message => 'both');
-- A query that fails after its first thousands of rows fails the same way,
-- and the next query of the session reads all its rows.
CALL velmail.xp_sendmail(recipient => 'ops', subject => 'late failure',
                         query => 'select 1 / (g - 2500) from generate_series(1, 3000) g');
CALL velmail.xp_sendmail(recipient => 'ops', subject => 'after it',
                         query => 'select count(*) from generate_series(1, 3000) g');
CALL velmail.xp_stopmail();
