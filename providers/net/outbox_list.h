// What the spool holds, as rows: the listing behind velnet_outbox_list
// (velnet_outbox.h), and the sent log's fields that make a sent message's
// row (its sender, subject and attempts are logged with it).
#ifndef VELNET_OUTBOX_LIST_H
#define VELNET_OUTBOX_LIST_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "net/spool.h"

namespace velnet {

struct OutboxItem {
  std::string id;
  std::string state;  // queued, failed, quarantined, report, sent
  std::optional<std::string> user, sender, subject;
  std::string recipients;  // comma-separated
  uint32_t attempts = 0;
  std::string last_reply;
  int64_t queued_at = 0, next_attempt = 0, done_at = 0;
};

// Every queued, failed and quarantined message (oldest first), every
// non-delivery report waiting to be appended (its id the failed
// message's), then every line of the sent log. Throws std::bad_alloc
// only.
std::vector<OutboxItem> ListOutbox(const Spool& spool);

// The decoded Subject of the message that starts at offset in fd; nothing
// when it has none or its header cannot be read.
std::optional<std::string> SpooledSubject(int fd, uint64_t offset);

// A value as one word of a sent-log line (%XX for white space, controls,
// '%' and bytes above 0x7e), and back.
std::string LogWord(const std::string& value);
std::string FromLogWord(const std::string& word);

// A sent-log line: "<UTC time> <id> user=U [from=F] to=R[,R] [attempts=N]
// [subject=S] reply=TEXT" (older lines lack the bracketed fields). Nothing
// when the line is not one.
std::optional<OutboxItem> ParseSentLine(const std::string& line);

}  // namespace velnet

#endif
