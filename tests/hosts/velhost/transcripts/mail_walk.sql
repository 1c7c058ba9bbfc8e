-- Log on, send two messages, walk the inbox with find/read/delete, log off.
exec xp_startmail @mail_user = 'ops', @mail_password = 'ops-demo'
exec xp_sendmail @recipient = 'ops', @cc_recipient = 'dba', @subject = 'first',
    @message = 'It''s the first message.'
-- positional: recipient, subject, cc, bcc, query, message
xp_sendmail 'ops;dba', 'second', NULL, DEFAULT, DEFAULT, 'Body of the second.'

declare @id varbinary(256), @sender varchar(64), @to varchar(64), @cc varchar(64)
declare @subject varchar(64), @body varchar(255), @length int, @skip int, @type varchar(20)
exec xp_findnextmsg @msg_id = @id output
exec xp_readmail @msg_id = @id, @sender = @sender output, @recipients = @to output,
    @cc = @cc output, @subject = @subject output, @message = @body output,
    @msg_length = @length output, @bytes_to_skip = @skip output, @type = @type output,
    @peek = 'true'
select @subject, @length
-- the one after it
exec xp_findnextmsg @msg_id = @id output
-- positional readmail: msg_id, recipients, sender, date, subject
exec xp_readmail @id, @to output, @sender output, DEFAULT, @subject output
exec xp_deletemail @id
-- the first is still unread (it was peeked at); delete it too
set @id = NULL
exec xp_findnextmsg @msg_id = @id output
exec xp_deletemail @msg_id = @id
set @id = NULL
exec xp_findnextmsg @msg_id = @id output
exec xp_stopmail
exec xp_stopmail
