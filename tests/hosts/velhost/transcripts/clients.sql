-- Run on several clients at once against one mail session.
declare @rc int
exec @rc = xp_sendmail @recipient = 'dba', @subject = 'load',
    @query = 'select count(*) as disks from disks'
select @rc
exec xp_sendmail @recipient = 'ops', @message = 'hello'
