// One IMAP connection over libcurl: the mailbox's status, its messages'
// UIDs, flags and sizes, a message or its header by UID, and flag changes.
// libcurl's URLs fetch message content (its own framing of literals);
// commands its URLs do not cover go as custom requests whose responses
// hold no literals (STATUS, UID FETCH of UID/FLAGS/INTERNALDATE/
// RFC822.SIZE, UID STORE, UID EXPUNGE). libcurl keeps the connection
// between calls and makes a new one when it has been lost. Not
// thread-safe: one caller at a time.
#ifndef VELNET_IMAP_H
#define VELNET_IMAP_H

#include <cstdint>
#include <string>
#include <vector>

#include "config.h"
#include "curl_support.h"

namespace velnet {

struct MailboxStatus {
  uint32_t uidvalidity = 0;
  uint32_t uidnext = 0;
  uint32_t messages = 0;
  bool operator==(const MailboxStatus&) const = default;
};

struct ListedUid {
  uint32_t uid = 0;
  bool seen = false;
  uint32_t size = 0;
  int64_t internal_date = 0;  // seconds since the epoch
};

// The result of a call: CURLE_OK, or the failure and its text.
struct ImapResult {
  CURLcode code = CURLE_OK;
  std::string error;
  bool ok() const { return code == CURLE_OK; }
};

class ImapConnection {
 public:
  ImapConnection(const Config& config, const std::string& user, const std::string& password);

  // Logs in (when not connected) and reads the mailbox's status.
  ImapResult Status(MailboxStatus* status);
  // Every message's UID, \Seen flag, size and arrival time, in UID order;
  // messages is the mailbox's message count as Status gave it.
  ImapResult List(uint32_t messages, std::vector<ListedUid>* out);
  // The message with this UID, whole or (header_only) its header; at most
  // max_bytes. Fetching sets \Seen on the server.
  ImapResult Fetch(uint32_t uidvalidity, uint32_t uid, bool header_only, std::string* out);
  // Clears \Seen on these UIDs (after a fetch that was to leave it).
  ImapResult Unsee(const std::vector<uint32_t>& uids);
  // Marks one message deleted and expunges that one message only.
  ImapResult Delete(uint32_t uid);

 private:
  ImapResult Custom(const std::string& command, std::string* out);
  ImapResult Perform(const std::string& url, const char* custom, std::string* out, uint64_t limit);

  const Config& config_;
  std::string mailbox_url_;  // the server's URL and the mailbox, encoded
  CurlPtr handle_;
};

// Parses the untagged responses of the custom requests.
bool ParseStatus(const std::string& response, MailboxStatus* status);
std::vector<ListedUid> ParseFetchList(const std::string& response);

}  // namespace velnet

#endif
