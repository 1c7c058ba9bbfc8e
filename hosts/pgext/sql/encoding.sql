-- Text in the database's encoding: parameters converted for the library,
-- outputs converted back; a body read in pieces of at most 255 bytes
-- gets pieces that end on a whole character, and bytes_to_skip counts what
-- was handed back (in UTF-8 bytes, as msg_length does).
CREATE DATABASE velmail_win1251 ENCODING 'WIN1251' LC_COLLATE 'C' LC_CTYPE 'C' TEMPLATE template0;
CREATE DATABASE velmail_eucjp ENCODING 'EUC_JP' LC_COLLATE 'C' LC_CTYPE 'C' TEMPLATE template0;
CREATE DATABASE velmail_ascii ENCODING 'SQL_ASCII' LC_COLLATE 'C' LC_CTYPE 'C' TEMPLATE template0;
\c velmail_win1251
\encoding UTF8
CREATE EXTENSION velmail;
CREATE FUNCTION velmail_pieces(marker text) RETURNS SETOF text LANGUAGE plpgsql AS $$
DECLARE
  id bytea; r text; s text; d text; subject text; cc text; bcc text; piece text; att text;
  len int; skip int := 0; t text; whole text := '';
BEGIN
  CALL velmail.xp_findnextmsg(id);
  LOOP
    CALL velmail.xp_readmail(id, r, s, d, subject, cc, bcc, piece, att, peek => true,
                             msg_length => len, bytes_to_skip => skip, type => t);
    EXIT WHEN piece IS NULL;
    RETURN NEXT format('%s: %s characters, next at %s of %s', subject, length(piece), skip, len);
    whole := whole || piece;
  END LOOP;
  -- Every row whole: no character lost or split where a piece ends.
  RETURN NEXT format('%s times %s', (length(whole) - length(replace(whole, marker, '')))
                                    / length(marker), marker);
  CALL velmail.xp_deletemail(id);
END
$$;
CALL velmail.xp_startmail('ops', 'ops-demo');
-- A body longer than a piece: a query's rows (the query's text, its
-- values and its column names all pass through the library in UTF-8).
CALL velmail.xp_sendmail(recipient => 'ops', subject => 'Привет из WIN1251',
                         query => 'select ''Письмо ё'' as "строка" from generate_series(1, 40)');
SELECT * FROM velmail_pieces('Письмо ё');
-- A parameter longer than an entry holds, in UTF-8 bytes.
CALL velmail.xp_sendmail(recipient => 'ops', message => repeat('я', 129));
\c velmail_eucjp
\encoding UTF8
CREATE EXTENSION velmail;
CREATE FUNCTION velmail_pieces(marker text) RETURNS SETOF text LANGUAGE plpgsql AS $$
DECLARE
  id bytea; r text; s text; d text; subject text; cc text; bcc text; piece text; att text;
  len int; skip int := 0; t text; whole text := '';
BEGIN
  CALL velmail.xp_findnextmsg(id);
  LOOP
    CALL velmail.xp_readmail(id, r, s, d, subject, cc, bcc, piece, att, peek => true,
                             msg_length => len, bytes_to_skip => skip, type => t);
    EXIT WHEN piece IS NULL;
    RETURN NEXT format('%s: %s characters, next at %s of %s', subject, length(piece), skip, len);
    whole := whole || piece;
  END LOOP;
  -- Every row whole: no character lost or split where a piece ends.
  RETURN NEXT format('%s times %s', (length(whole) - length(replace(whole, marker, '')))
                                    / length(marker), marker);
  CALL velmail.xp_deletemail(id);
END
$$;
CALL velmail.xp_startmail('ops', 'ops-demo');
CALL velmail.xp_sendmail(recipient => 'ops', subject => '日本語の件名',
                         query => 'select ''日本語のメール'' as "行" from generate_series(1, 30)');
CALL velmail.xp_sendmail(recipient => 'ops', subject => '日本語の件名',
                         query => 'select ''日本語のメール'' as "行" from generate_series(1, 30)');
SELECT * FROM velmail_pieces('日本語のメール');
-- What WIN1251 cannot hold comes back as '?', with a WARNING.
\c velmail_win1251
\encoding UTF8
CALL velmail.xp_startmail('ops', 'ops-demo');
SELECT * FROM velmail_pieces('???????');
-- A SQL_ASCII database declares no encoding: text goes as UTF-8, and bytes
-- that are not UTF-8 are refused.
\c velmail_ascii
\encoding UTF8
CREATE EXTENSION velmail;
CREATE FUNCTION velmail_pieces(marker text) RETURNS SETOF text LANGUAGE plpgsql AS $$
DECLARE
  id bytea; r text; s text; d text; subject text; cc text; bcc text; piece text; att text;
  len int; skip int := 0; t text; whole text := '';
BEGIN
  CALL velmail.xp_findnextmsg(id);
  LOOP
    CALL velmail.xp_readmail(id, r, s, d, subject, cc, bcc, piece, att, peek => true,
                             msg_length => len, bytes_to_skip => skip, type => t);
    EXIT WHEN piece IS NULL;
    RETURN NEXT format('%s: %s characters, next at %s of %s', subject, length(piece), skip, len);
    whole := whole || piece;
  END LOOP;
  -- Every row whole: no character lost or split where a piece ends.
  RETURN NEXT format('%s times %s', (length(whole) - length(replace(whole, marker, '')))
                                    / length(marker), marker);
  CALL velmail.xp_deletemail(id);
END
$$;
CALL velmail.xp_startmail('ops', 'ops-demo');
CALL velmail.xp_sendmail(recipient => 'ops', subject => convert_from('\xff41'::bytea, 'SQL_ASCII'));
CALL velmail.xp_sendmail(recipient => 'ops', subject => 'ASCII', query => 'select ''ünïcödé''');
SELECT * FROM velmail_pieces('ünïcödé');
CALL velmail.xp_stopmail();
\c velmail_regress
DROP DATABASE velmail_win1251;
DROP DATABASE velmail_eucjp;
DROP DATABASE velmail_ascii;
