// The provider's own reader of IMAP responses, and the parsing of the few
// responses it asks for. libcurl 7.88 logs in and upgrades to TLS, but it
// does not frame the literals ({n} and n bytes) that FETCH responses to
// commands of our own carry, so the bytes of those responses are read
// here. The server is not trusted: every line, literal and count is
// bounded, nothing is allocated in the size a server announces, and a
// reply to a command that was not sent is an error.
#ifndef VELNET_IMAP_READER_H
#define VELNET_IMAP_READER_H

#include <curl/curl.h>

#include <cstdint>
#include <string>
#include <vector>

namespace velnet {

// The result of an exchange: CURLE_OK, or the failure and its text.
struct ImapResult {
  CURLcode code = CURLE_OK;
  std::string error;
  bool ok() const { return code == CURLE_OK; }
};

// Where the reader's bytes come from: a connection, or a test's string.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Up to size bytes into buffer; *got > 0 on success. The end of the
  // stream is a failure.
  virtual ImapResult Read(char* buffer, size_t size, size_t* got) = 0;
};

// Bounds on one response.
struct ReaderLimits {
  size_t max_text = size_t{1} << 20;         // the response's text, literals not counted
  uint64_t max_literal = uint64_t{1} << 20;  // longer literals: the rest is read and dropped
  size_t max_literals = 8;                   // literals in one response
};

struct Response {
  enum class Kind { kUntagged, kTagged, kContinuation };
  Kind kind = Kind::kUntagged;
  std::string tag;                    // kTagged only
  std::string text;                   // after "* ", "+ " or the tag; literals stay as {n}
  std::vector<std::string> literals;  // their bytes, in order, each at most max_literal
  bool truncated = false;             // a literal was longer than max_literal
  // Set by a command's handler when this is the data the command asked
  // for; any other EXISTS, EXPUNGE, RECENT or FETCH is news of the mailbox.
  bool asked_for = false;
};

class ResponseReader {
 public:
  explicit ResponseReader(ByteSource* source) : source_(source) {}
  // The next response, its literals read whole (or up to the limit and
  // the rest dropped). Fails on a lost connection, a text longer than
  // allowed, too many literals, or a response that is no response.
  ImapResult Next(const ReaderLimits& limits, Response* out);
  // Forgets buffered bytes (a new connection).
  void Reset();

 private:
  ImapResult Fill();
  ImapResult ReadLine(size_t room, std::string* text);
  ImapResult ReadLiteral(uint64_t length, uint64_t keep, std::string* out);

  ByteSource* source_;
  std::string buffer_;
  size_t pos_ = 0;
};

// What one "* n FETCH (...)" response carries.
struct FetchItem {
  uint32_t uid = 0;  // 0: not given
  bool has_flags = false;
  bool seen = false;
  bool deleted = false;
  int64_t internal_date = 0;  // seconds since the epoch; 0 when not given
  uint64_t size = 0;
  bool has_header = false;  // BODY[HEADER...]
  std::string header;
  bool has_body = false;  // BODY[]
  std::string body;
  bool truncated = false;
};

// Whether the response is a FETCH response; *out then holds its items
// (the literals are moved out of the response). Malformed items make it
// false.
bool ParseFetch(Response& response, FetchItem* out);

struct MailboxStatus {
  uint32_t uidvalidity = 0;
  uint32_t uidnext = 0;
  uint32_t messages = 0;
  bool operator==(const MailboxStatus&) const = default;
};

// "STATUS mailbox (MESSAGES n UIDNEXT n UIDVALIDITY n)" (an untagged text).
bool ParseStatus(const std::string& text, MailboxStatus* status);
// Whether a CAPABILITY text ("CAPABILITY a b ...", or a tagged reply's
// "[CAPABILITY a b ...]") names the capability; *listed tells whether the
// text carried a capability list at all.
bool HasCapability(const std::string& text, const std::string& capability, bool* listed);
// The numbers of a "SEARCH n n ..." text; false when it is not one.
bool ParseSearch(const std::string& text, std::vector<uint32_t>* out);
// An IMAP INTERNALDATE ("17-Jul-1996 02:44:25 -0700"), in seconds since
// the epoch; 0 when it cannot be read.
int64_t ParseInternalDate(const std::string& text);

}  // namespace velnet

#endif
