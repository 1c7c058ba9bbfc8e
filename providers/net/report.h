// Telling the sender of a failure. When recipients of a spooled message
// are refused for good, a non-delivery report -- a multipart/report of
// report-type delivery-status (RFC 3464): a readable part, a
// message/delivery-status part with a block for each failed recipient and
// the server's reply, and the original message's header as
// text/rfc822-headers -- is spooled in reports/ and then appended to the
// sender's own IMAP mailbox with the sender's credentials, where the
// database user finds it with xp_findnextmsg. A report that cannot be
// appended yet stays spooled and is tried again at every delivery pass
// that knows the user's credentials; one appended twice (a crash between
// the append and its removal) is the worst that can happen.
#ifndef VELNET_REPORT_H
#define VELNET_REPORT_H

#include <map>
#include <string>
#include <vector>

#include "net/config.h"
#include "net/spool.h"

namespace velnet {

// The report's text (CRLF line ends) for entry's refused recipients, with
// the header of the message read from fd.
std::string BuildFailureReport(const Config& config, const SpoolEntry& entry,
                               const DeliveryState& state, int fd);

// Spools a report for user durably. False when it could not be written.
bool SpoolReport(const Spool& spool, const std::string& id, const std::string& user,
                 const std::string& report);

// Appends the spooled reports of every user in credentials to their
// mailboxes; each appended one leaves the spool. Returns how many are
// still waiting for those users.
size_t DeliverReports(const Config& config, const std::map<std::string, std::string>& credentials);

// Appends message to the configured mailbox of user, unread: libcurl
// appends with \Seen, so the message, found again by its Message-ID
// (message_id, without brackets), has that flag taken off. False with
// *error when the append failed; a flag left set is only logged.
bool AppendToMailbox(const Config& config, const std::string& user, const std::string& password,
                     const std::string& message, const std::string& message_id, std::string* error);

// The Message-ID of the report on the spooled message id.
std::string ReportMessageId(const Config& config, const std::string& id);

}  // namespace velnet

#endif
