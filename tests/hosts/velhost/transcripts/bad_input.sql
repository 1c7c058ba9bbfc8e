-- Bad statements are reported in one line each; the session goes on.
exec xp_frobnicate @x = 1
exec DllMain
exec xp_readmail @msg_id = @nowhere
exec xp_sendmail @recipient = 'ops', @subject = 'a' 'b'
exec xp_sendmail @recipient = 'ops' output
exec xp_sendmail @width = 99999999999
declare @n float
declare @n int
declare @n varchar(10)
set @m = 1
print @n
-- The library's own refusals are messages, not velhost errors.
exec xp_stopmail
exec xp_startmail 'ops', 'ops-demo', 'third'
exec xp_startmail @mail_user = 'ops', @mail_password = 'wrong'
exec xp_startmail @mail_user = 'ops', @mail_password = 'ops-demo'
exec xp_sendmail @recipient = 'ops', @width = '80'
exec xp_sendmail @recipient = 'ops', @no_output = 'maybe'
exec xp_sendmail @recipient = 'nobody-here', @message = 'x'
exec xp_findnextmsg @msg_id = 0x0102
exec xp_stopmail
print 'still here'
exec xp_sendmail @recipient = 'ops', @message = 'this string never ends
exec xp_stopmail
