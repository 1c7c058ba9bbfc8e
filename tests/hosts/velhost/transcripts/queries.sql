-- Query results as the message text and as an attachment, read back in
-- pieces; a failing query; another database.
exec xp_startmail 'ops', 'ops-demo'
exec xp_sendmail @recipient = 'ops', @subject = 'orders',
    @query = 'select * from orders order by id', @width = 60
exec xp_sendmail @recipient = 'ops', @subject = 'disks attached',
    @query = 'select name, free_mb from disks where free_mb < 100000 order by name',
    @attach_result = 'true', @no_column_header = 'true'
exec xp_sendmail @recipient = 'ops', @subject = 'bad query',
    @query = 'select * from no_such_table'
exec xp_sendmail @recipient = 'ops', @subject = 'other database',
    @query = 'select 1', @dbname = 'elsewhere'

declare @id varbinary(256), @subject varchar(64), @body varchar(255), @length int,
    @skip int, @files varchar(255)
exec xp_findnextmsg @msg_id = @id output
exec xp_readmail @msg_id = @id, @subject = @subject output, @message = @body output,
    @msg_length = @length output, @bytes_to_skip = @skip output
exec xp_readmail @msg_id = @id, @message = @body output, @bytes_to_skip = @skip output
exec xp_readmail @msg_id = @id, @message = @body output, @bytes_to_skip = @skip output
exec xp_readmail @msg_id = @id, @bytes_to_skip = 100000
exec xp_findnextmsg @msg_id = @id output
exec xp_readmail @msg_id = @id, @subject = @subject output, @message = @body output,
    @suppress_attach = 'false', @attachments = @files output
exec xp_findnextmsg @msg_id = @id output
exec xp_readmail @msg_id = @id, @subject = @subject output, @message = @body output
exec xp_stopmail
