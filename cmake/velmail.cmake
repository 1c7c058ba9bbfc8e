# The library itself: libvelmail.so. It exports DllMain, the six procedures
# and xp_srv_set_mailprofile, nothing else, and imports the srv_, ct_, cs_
# and com_ functions from the host's libraries.
