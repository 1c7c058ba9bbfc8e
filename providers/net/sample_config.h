// The commented sample configuration an administrator starts from; the
// host program's --init writes it into its data directory. Header-only, so
// that the host program has it without linking the provider.
#ifndef VELNET_SAMPLE_CONFIG_H
#define VELNET_SAMPLE_CONFIG_H

#include <string>

namespace velnet {

// The sample, with the spool and log where given (absolute paths).
inline std::string SampleConfig(const std::string& spool, const std::string& log) {
  return "; The network mail provider's configuration (libvelnet.so). Point\n"
         "; VELNET_CONFIG at this file and win.ini's provider at libvelnet.so.\n"
         "; A ';' or '#' starts a comment.\n"
         "\n"
         "[imap]\n"
         "; The mailbox read by xp_findnextmsg, xp_readmail and xp_deletemail.\n"
         "; imaps:// is TLS from the start; imap:// upgrades with STARTTLS.\n"
         "url = imaps://mail.example.org/INBOX\n"
         "; SASL mechanisms the password is offered with; * leaves the choice\n"
         "; to the server.\n"
         "auth = PLAIN LOGIN\n"
         "; A mailbox holding more messages than this is not listed.\n"
         "max_messages = 200000\n"
         "\n"
         "[smtp]\n"
         "; Submission servers, tried in order; the logged-on user's name and\n"
         "; password authenticate there as they do at the IMAP server.\n"
         "servers = smtp://mail.example.org:587 smtps://backup.example.org:465\n"
         "auth = PLAIN LOGIN\n"
         "\n"
         "[tls]\n"
         "; required: every connection is TLS with a verified certificate.\n"
         "; none: plain text, allowed for servers on this machine only.\n"
         "mode = required\n"
         "ca_file = /etc/ssl/certs/ca-certificates.crt\n"
         "\n"
         "[mail]\n"
         "; Completes a recipient given without a domain.\n"
         "domain = example.org\n"
         "; The sender; %u is the logged-on user.\n"
         "from = %u@example.org\n"
         "\n"
         "[delivery]\n"
         "; Where sent mail waits for delivery (queue, failed, sent.log).\n"
         "spool = " +
         spool +
         "\n"
         "; How long a message is retried before it fails (s, m, h or d), and\n"
         "; the shortest and longest waits between attempts, in seconds. Only\n"
         "; a server's permanent refusal (5xx) fails mail sooner.\n"
         "retry_for = 5d\n"
         "retry_delay = 60\n"
         "retry_max_delay = 3600\n"
         "; Seconds allowed to connect, and for a whole exchange.\n"
         "connect_timeout = 10\n"
         "transfer_timeout = 60\n"
         "; Largest message sent or read, in bytes.\n"
         "max_message_bytes = 26214400\n"
         "; Seconds a logoff waits for the user's mail to go out (at most three\n"
         "; quarters of the library's time-out).\n"
         "drain_seconds = 30\n"
         "; SMTP sessions a delivery keeps going at once, each with its own\n"
         "; message (1 sends one message after another).\n"
         "connections = 2\n"
         "; What the provider did and why anything failed (never passwords).\n"
         "log = " +
         log + "\n";
}

}  // namespace velnet

#endif
