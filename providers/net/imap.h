// One IMAP connection. libcurl connects, upgrades to TLS and logs in
// (CURLOPT_CONNECT_ONLY); the commands after that are sent with
// curl_easy_send and their responses read by the provider's own bounded
// reader (imap_reader.h), because libcurl 7.88 neither frames the
// literals in the responses to commands of our own nor takes responses of
// more than about 300 lines. Every exchange of a call ends by the call's
// deadline (transfer_timeout from Begin), once the library has given up on
// the call (VELMAIL_TIMEOUT from Begin: nobody takes its result then), and
// once the call is asked to stop; each is noticed at the next wait on the
// server and at the next read or write, however fast the server sends. A
// connection left in an unknown state is closed and made anew by the next
// command. Not thread-safe: one caller at a time.
#ifndef VELNET_IMAP_H
#define VELNET_IMAP_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "net/config.h"
#include "net/curl_support.h"
#include "net/imap_reader.h"

namespace velnet {

struct ListedUid {
  uint32_t uid = 0;
  bool seen = false;
};

class ImapConnection : private ByteSource {
 public:
  ImapConnection(const Config& config, const std::string& user, const std::string& password);
  ~ImapConnection() override;

  // Starts a call: its exchanges end by transfer_timeout from now, or once
  // stop() is true (checked before each command, while waiting, and at
  // each read and write). A library_call, one the library waits for, ends
  // also by the library's time-out from now, when the library gives up on
  // it and nobody takes its result.
  void Begin(std::function<bool()> stop, bool library_call = false);

  // Logs in (when not connected) and reads the mailbox's status. A server
  // answers it from this session's view of the mailbox, which a login or
  // a Poll brings up to date.
  ImapResult Status(MailboxStatus* status);
  // Brings this session's view of the mailbox up to date (a NOOP) and
  // tells whether anything may have changed since the last Poll: *changed
  // is false only when the server told of nothing at all (no message
  // arrived, went or changed its flags) on one connection since then, in
  // the answer to any command -- a server tells of an arrival once, in
  // whatever answer comes next, the listing's own fetch or a read. A
  // connection made anew, or never made, counts as a change: what
  // happened meanwhile is not known.
  ImapResult Poll(bool* changed);
  // Every message's UID and \Seen flag, in UID order; more than limit
  // messages is a failure. UID 0, which no message can have, is left out.
  ImapResult ListFlags(uint32_t limit, std::vector<ListedUid>* out);
  // The summary items (UID, flags, arrival, size, the header fields a
  // summary needs) of these UIDs (ascending), many to a command; each is
  // handed to found as it arrives, so what arrived stays when a later
  // command fails. Items of UIDs not asked for are dropped.
  ImapResult Summaries(const std::vector<uint32_t>& uids,
                       const std::function<void(FetchItem&)>& found);
  // The message with this UID, whole, at most max_message_bytes; \Seen is
  // left as it is. A UIDVALIDITY other than the mailbox's: not found.
  ImapResult Fetch(uint32_t uidvalidity, uint32_t uid, std::string* out);
  // Sets or clears \Seen on these UIDs.
  ImapResult SetSeen(const std::vector<uint32_t>& uids, bool seen);
  // Expunges the message with this UID and no other. With UIDPLUS: UID
  // EXPUNGE. Without it, only when no other message is marked \Deleted
  // (else a refusal, the others untouched). On any failure the message's
  // \Deleted is taken off again, so a failed delete never turns into one
  // later.
  ImapResult Delete(uint32_t uid);
  // Appends message (CRLF line ends) to the mailbox with no flags, so that
  // it arrives unread. Never sent twice: a connection lost on the way is a
  // failure, not a reason to send it again on a new one. A refusal of the
  // message itself (a NO or BAD) is CURLE_QUOTE_ERROR and leaves the
  // connection in order.
  ImapResult Append(const std::string& message);

  bool uidplus() const { return uidplus_; }

 private:
  using Handler = std::function<ImapResult(Response&)>;
  ImapResult Connect();
  ImapResult Login(const std::string& mechanisms, std::string* capabilities);
  void Drop();
  // Sends one command and reads its responses up to its tagged reply;
  // untagged ones go to handler. A NO or BAD reply is CURLE_QUOTE_ERROR.
  ImapResult Run(const std::string& command, const Handler& handler, uint64_t literal_limit = 0);
  // literal, when given, is sent (and a CRLF after it) once the server
  // asks for it with a continuation; a continuation is an error otherwise.
  ImapResult RunOnce(const std::string& command, const Handler& handler, uint64_t literal_limit,
                     const std::string* literal = nullptr);
  ImapResult Read(char* buffer, size_t size, size_t* got) override;
  ImapResult Send(const std::string& bytes);
  ImapResult Wait(bool write);
  ImapResult Stopped() const;
  // Whether the call may go on: not asked to stop, not given up on by the
  // library, within its deadline.
  ImapResult GoOn() const;

  const Config& config_;
  const std::string user_;
  const std::string password_;
  std::string mailbox_quoted_;  // the mailbox as an IMAP quoted string
  CurlPtr handle_;
  curl_socket_t socket_ = CURL_SOCKET_BAD;
  ResponseReader reader_;
  uint64_t tag_ = 0;
  uint64_t connections_ = 0;  // connections made, one after another
  uint64_t news_ = 0;         // the server's news of the mailbox, counted
  uint64_t news_polled_ = 0;  // news_ at the last Poll
  bool uidplus_ = false;
  uint32_t selected_uidvalidity_ = 0;
  std::chrono::steady_clock::time_point deadline_;
  // When the library gives up on the call: VELMAIL_TIMEOUT (as the library
  // reads it when it loads the provider) from Begin; the latest time point
  // for a call that is not the library's, or when it never gives up.
  std::chrono::milliseconds library_timeout_;
  std::chrono::steady_clock::time_point given_up_;
  std::function<bool()> stop_;
};

}  // namespace velnet

#endif
