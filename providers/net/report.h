// Telling the sender of a failure. When recipients of a spooled message
// are refused for good, a non-delivery report -- a multipart/report of
// report-type delivery-status (RFC 3464): a readable part, a
// message/delivery-status part with a block for each failed recipient and
// the server's reply, and the original message's header as
// text/rfc822-headers -- is spooled in reports/ (named by the message's
// id) and then appended, unread, to the sender's own IMAP mailbox with the
// sender's credentials, where the database user finds it with
// xp_findnextmsg.
// Appends go apart from message delivery: the delivery thread hands them
// to a thread of their own (ReportDelivery) after each pass, and
// velnet-flush makes them after its pass. A round of appends logs on once
// per user, as the mailbox reader does (ImapConnection), and appends that
// user's due reports over that one connection; when the connection cannot
// be made or is lost, that user's other due reports wait for the next
// round without another try, so that a server that does not answer costs
// one time-out per user and round.
// A report is appended under an exclusive lock on its file, taken without
// waiting: two deliverers (two processes, or velnet-flush beside a
// logged-on host) never append one twice; the second skips it. A report
// that cannot be appended keeps a delivery state beside it (<id>.state:
// attempts, next attempt, last error) and waits as a message does, from
// retry_delay up to retry_max_delay by its age; once it has been spooled
// for retry_for, its next failed attempt removes it, with a line in the
// log. A report whose user never logs on again waits without attempts.
// A crash between an append and the report's removal appends it again at
// the next round: that is the worst that can happen.
#ifndef VELNET_REPORT_H
#define VELNET_REPORT_H

#include <condition_variable>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "mutex.h"
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

// A report waiting in reports/.
struct WaitingReport {
  std::string id;          // the failed message's id
  std::string user;        // whose mailbox it goes to
  int64_t spooled_at = 0;  // seconds since the epoch
  // attempts, next_attempt and last_reply (the last append's error); all
  // zero and empty before the first failed attempt
  DeliveryState state;
  uint64_t message_offset = 0;  // where the report itself starts in its file
};

// Every report spooled in spool's reports/, oldest first. A state left by
// a report that is gone (removed by another deliverer) is removed.
std::vector<WaitingReport> WaitingReports(const Spool& spool);

// What a round of appends did, for the users whose credentials it had.
struct ReportRound {
  size_t appended = 0;
  size_t waiting = 0;  // their reports left spooled: not due yet, or failed again
  size_t expired = 0;  // failed again after retry_for, and removed
  std::string last_error;
};

// One round: for each user in credentials, the reports that are due (with
// force, every one) are appended to the user's mailbox over one
// connection; each appended one leaves the spool. A report another
// deliverer has claimed is left to it and not counted.
ReportRound DeliverReports(const Config& config,
                           const std::map<std::string, std::string>& credentials,
                           bool force = false);

// Rounds of appends on a thread of its own, so that no message waits for
// a report: Post asks for a round with that configuration and those
// credentials, and returns at once. Posts that come while a round runs
// make one more round after it, with the newest of them. Without a thread
// to be had, the round runs in Post.
class ReportDelivery {
 public:
  ReportDelivery() = default;
  ReportDelivery(const ReportDelivery&) = delete;
  ReportDelivery& operator=(const ReportDelivery&) = delete;
  // Waits for the round under way, if any.
  ~ReportDelivery();
  void Post(const Config& config, const std::map<std::string, std::string>& credentials);

 private:
  void Run();
  using Work = std::pair<Config, std::map<std::string, std::string>>;
  vel::os::Mutex mutex_;
  std::condition_variable_any more_;
  std::optional<Work> next_ VEL_GUARDED_BY(mutex_);
  bool stop_ VEL_GUARDED_BY(mutex_) = false;
  std::thread thread_;  // started by the first Post
};

// The Message-ID of the report on the spooled message id.
std::string ReportMessageId(const Config& config, const std::string& id);

}  // namespace velnet

#endif
