-- The host handed over the mail profile at start: a session is open.
exec xp_startmail
exec xp_stopmail
-- Without parameters, xp_startmail logs on with the stored profile.
exec xp_startmail
exec xp_sendmail @recipient = 'dba', @message = 'from the profile'
exec xp_stopmail
