-- Statements over several lines: each is reported on the line it starts on.
declare @body varchar(200),
        @n int =
        3
set @body = 'first line
second line, with a '' quote
third line'
print @body
print @n; print 'two on a line'; exec xp_nosuch
exec xp_nosuch @a = 1,
  @b = /* a comment
          over lines */ 2,
  @c = 'x'
exec
  xp_nosuch
select @body,
  @n, @missing
/* a comment over
   three lines */ print 'after the comment'
print 'one' 'two'
-- Left open at the end: reported where opened, the lines after read again.
print 'a string left open
print 1 /* a comment left open
print 2
exec xp_nosuch /* another
print 3
