#include "net/imap.h"

#include <algorithm>
#include <cstring>

#include "platform.h"
#include "sockets.h"

namespace velnet {
namespace {

// UIDs summarised in one command: a few hundred bytes each in the reply.
constexpr size_t kSummaryWindow = 1000;
// The header fields a summary is made of.
constexpr char kSummaryItems[] =
    "(UID FLAGS INTERNALDATE RFC822.SIZE BODY.PEEK[HEADER.FIELDS (FROM SUBJECT DATE "
    "X-VELCMC-TYPE MIME-VERSION CONTENT-TYPE)])";
// A summary's header fields beyond this are dropped (a hostile header).
constexpr uint64_t kHeaderLimit = uint64_t{64} * 1024;
// Waits for the socket are cut into slices this long, so that a call asked
// to stop notices it soon.
constexpr auto kSlice = std::chrono::milliseconds(200);

// How long the library waits for a call before it gives up on it:
// VELMAIL_TIMEOUT milliseconds, read as the library reads it (white space,
// a sign, digits; 0 or nothing is the default, 60 seconds); a negative
// time-out is a wait without end. Negative here when it never gives up.
std::chrono::milliseconds LibraryTimeout() {
  char text[100] = "";
  if (vel::os::GetEnvironmentVariable("VELMAIL_TIMEOUT", text, sizeof text) >= sizeof text)
    text[0] = '\0';
  const char* p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  int64_t value = 0;
  while (*p >= '0' && *p <= '9' && value <= INT32_MAX) value = value * 10 + (*p++ - '0');
  if (value == 0) value = 60000;
  if (negative) return std::chrono::milliseconds(-1);
  return std::chrono::milliseconds(std::min<int64_t>(value, INT32_MAX));
}

std::string Quote(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

// UIDs (ascending) as an IMAP set of ranges.
std::string UidSet(std::vector<uint32_t>::const_iterator begin,
                   std::vector<uint32_t>::const_iterator end) {
  std::string set;
  for (auto it = begin; it != end;) {
    auto last = it;
    while (std::next(last) != end && *std::next(last) == *last + 1) ++last;
    if (!set.empty()) set += ',';
    set += std::to_string(*it);
    if (last != it) set += ':' + std::to_string(*last);
    it = std::next(last);
  }
  return set;
}

// An untagged response telling of the mailbox: a message arrived ("n
// EXISTS", "n RECENT"), went ("n EXPUNGE") or changed ("n FETCH").
bool MailboxNews(const std::string& text) {
  size_t at = 0;
  while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
  if (at == 0 || at >= text.size() || text[at] != ' ') return false;
  for (const char* word : {"EXISTS", "RECENT", "EXPUNGE", "FETCH"}) {
    const size_t n = std::strlen(word);
    if (strncasecmp(text.c_str() + at + 1, word, n) == 0 &&
        (at + 1 + n == text.size() || text[at + 1 + n] == ' '))
      return true;
  }
  return false;
}

// What libcurl received while logging in, kept to learn the server's
// capabilities (only lines from the server; what is sent, the
// credentials, is never looked at).
int CaptureReplies(CURL*, curl_infotype type, char* data, size_t size, void* user) {
  auto* seen = static_cast<std::string*>(user);
  if (type == CURLINFO_HEADER_IN && seen->size() < size_t{64} * 1024) seen->append(data, size);
  return 0;
}

}  // namespace

ImapConnection::ImapConnection(const Config& config, const std::string& user,
                               const std::string& password)
    : config_(config),
      user_(user),
      password_(password),
      mailbox_quoted_(Quote(config.mailbox)),
      reader_(this),
      library_timeout_(LibraryTimeout()) {
  Begin(nullptr);
}

ImapConnection::~ImapConnection() { Drop(); }

void ImapConnection::Begin(std::function<bool()> stop, bool library_call) {
  stop_ = std::move(stop);
  const auto now = std::chrono::steady_clock::now();
  deadline_ = now + std::chrono::seconds(config_.transfer_timeout);
  given_up_ = library_call && library_timeout_.count() >= 0
                  ? now + library_timeout_
                  : std::chrono::steady_clock::time_point::max();
}

ImapResult ImapConnection::Stopped() const {
  return {CURLE_ABORTED_BY_CALLBACK, "stopped: a newer call on the session took over"};
}

ImapResult ImapConnection::GoOn() const {
  if (stop_ && stop_()) return Stopped();
  const auto now = std::chrono::steady_clock::now();
  if (now >= given_up_)
    return {CURLE_ABORTED_BY_CALLBACK,
            "stopped: the library gave up on the call (VELMAIL_TIMEOUT, " +
                std::to_string(library_timeout_.count()) + " ms)"};
  if (now >= deadline_)
    return {CURLE_OPERATION_TIMEDOUT, "the IMAP server did not finish within transfer_timeout"};
  return {};
}

void ImapConnection::Drop() {
  // Shut down first: libcurl would otherwise say LOGOUT and wait for its
  // answer on a connection that may be in the middle of a response.
  if (socket_ != CURL_SOCKET_BAD) vel::os::ShutDownSocket(static_cast<int>(socket_));
  handle_.reset();
  socket_ = CURL_SOCKET_BAD;
  reader_.Reset();
  selected_uidvalidity_ = 0;
}

ImapResult ImapConnection::Login(const std::string& mechanisms, std::string* capabilities) {
  handle_ = NewHandle(config_, user_, password_, mechanisms);
  if (!handle_) return {CURLE_OUT_OF_MEMORY, "out of memory"};
  CURL* h = handle_.get();
  char error[CURL_ERROR_SIZE] = "";
  const std::string url = config_.imap_url + "/";
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_CONNECT_ONLY, 1L);
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error);
  curl_easy_setopt(h, CURLOPT_DEBUGFUNCTION, CaptureReplies);
  curl_easy_setopt(h, CURLOPT_DEBUGDATA, capabilities);
  curl_easy_setopt(h, CURLOPT_VERBOSE, 1L);
  const CURLcode code = curl_easy_perform(h);
  curl_easy_setopt(h, CURLOPT_VERBOSE, 0L);
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, nullptr);
  if (code != CURLE_OK) {
    handle_.reset();
    return {code, ErrorText(code, error)};
  }
  if (curl_easy_getinfo(h, CURLINFO_ACTIVESOCKET, &socket_) != CURLE_OK ||
      socket_ == CURL_SOCKET_BAD) {
    Drop();
    return {CURLE_COULDNT_CONNECT, "the IMAP connection was lost after the login"};
  }
  return {};
}

ImapResult ImapConnection::Connect() {
  Drop();
  if (ImapResult r = GoOn(); !r.ok()) return r;
  if (config_.mailbox.find_first_of("\r\n") != std::string::npos || config_.mailbox.empty())
    return {CURLE_URL_MALFORMAT, "the mailbox name holds a line break"};
  std::string capabilities;
  ImapResult r = Login(config_.imap_auth, &capabilities);
  // A server that offers no SASL mechanism at all takes the password with
  // IMAP's own LOGIN command, which libcurl uses only when free to choose.
  if (r.code == CURLE_LOGIN_DENIED && config_.imap_auth != "*" &&
      capabilities.find("AUTH=") == std::string::npos &&
      capabilities.find("LOGINDISABLED") == std::string::npos)
    r = Login("*", &capabilities);
  if (!r.ok()) return r;
  reader_.Reset();

  // The capabilities after the login (they may differ from before), and
  // the mailbox selected.
  uidplus_ = false;
  r = RunOnce(
      "CAPABILITY",
      [&](Response& response) -> ImapResult {
        bool listed = false;
        if (HasCapability(response.text, "UIDPLUS", &listed)) uidplus_ = true;
        return {};
      },
      0);
  if (r.ok()) {
    uint32_t validity = 0;
    r = RunOnce(
        "SELECT " + mailbox_quoted_,
        [&](Response& response) -> ImapResult {
          const char* at = strcasestr(response.text.c_str(), "[UIDVALIDITY ");
          if (at != nullptr) validity = static_cast<uint32_t>(std::strtoul(at + 13, nullptr, 10));
          return {};
        },
        0);
    if (r.ok()) selected_uidvalidity_ = validity;
  }
  if (!r.ok()) Drop();
  if (r.ok()) ++connections_;
  return r;
}

ImapResult ImapConnection::Wait(bool write) {
  if (ImapResult r = GoOn(); !r.ok()) return r;
  const auto left = std::min(deadline_, given_up_) - std::chrono::steady_clock::now();
  const auto slice = std::min<std::chrono::steady_clock::duration>(left, kSlice);
  vel::os::WaitForSocket(
      static_cast<int>(socket_), write,
      static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(slice).count()) +
          1);
  return {};
}

ImapResult ImapConnection::Read(char* buffer, size_t size, size_t* got) {
  for (;;) {
    // Before each read too: a server that sends without pause (a literal
    // without end) never makes the call wait.
    if (ImapResult r = GoOn(); !r.ok()) return r;
    size_t n = 0;
    const CURLcode code = curl_easy_recv(handle_.get(), buffer, size, &n);
    if (code == CURLE_OK) {
      if (n == 0) return {CURLE_RECV_ERROR, "the IMAP server closed the connection"};
      *got = n;
      return {};
    }
    if (code != CURLE_AGAIN) return {code, ErrorText(code, nullptr)};
    if (ImapResult r = Wait(false); !r.ok()) return r;
  }
}

ImapResult ImapConnection::Send(const std::string& bytes) {
  for (size_t sent = 0; sent < bytes.size();) {
    if (ImapResult r = GoOn(); !r.ok()) return r;
    size_t n = 0;
    const CURLcode code =
        curl_easy_send(handle_.get(), bytes.data() + sent, bytes.size() - sent, &n);
    if (code == CURLE_OK) {
      sent += n;
      continue;
    }
    if (code != CURLE_AGAIN) return {code, ErrorText(code, nullptr)};
    if (ImapResult r = Wait(true); !r.ok()) return r;
  }
  return {};
}

ImapResult ImapConnection::RunOnce(const std::string& command, const Handler& handler,
                                   uint64_t literal_limit, const std::string* literal) {
  if (ImapResult r = GoOn(); !r.ok()) return r;
  const std::string tag = "V" + std::to_string(++tag_);
  ImapResult r = Send(tag + " " + command + "\r\n");
  ReaderLimits limits;
  limits.max_literal = literal_limit;
  // Every untagged response is handled and let go; how many one command
  // may bring is bounded all the same (a mailbox's worth, and some).
  uint64_t untagged = 0;
  const uint64_t most = uint64_t{config_.max_messages} + 1024;
  Response response;
  while (r.ok()) {
    r = reader_.Next(limits, &response);
    if (!r.ok()) break;
    if (response.kind == Response::Kind::kTagged) {
      if (response.tag != tag) {
        r = {CURLE_WEIRD_SERVER_REPLY, "the IMAP server answered a command that was not sent"};
        break;
      }
      if (strncasecmp(response.text.c_str(), "OK", 2) == 0) return {};
      // A refusal leaves the connection in order.
      return {CURLE_QUOTE_ERROR, "the IMAP server refused " + command.substr(0, command.find(' ')) +
                                     ": " + response.text.substr(0, 200)};
    }
    if (response.kind == Response::Kind::kContinuation) {
      if (literal == nullptr) {
        r = {CURLE_WEIRD_SERVER_REPLY, "the IMAP server asked for data no command sends"};
        break;
      }
      r = Send(*literal);
      if (r.ok()) r = Send("\r\n");
      literal = nullptr;  // asked for once
      continue;
    }
    if (++untagged > most) {
      r = {CURLE_WEIRD_SERVER_REPLY, "the IMAP server sent more responses than the mailbox holds"};
      break;
    }
    response.asked_for = false;
    r = handler(response);
    if (!response.asked_for && MailboxNews(response.text)) ++news_;
  }
  Drop();
  return r;
}

ImapResult ImapConnection::Run(const std::string& command, const Handler& handler,
                               uint64_t literal_limit) {
  // A connection found dead before anything of the reply arrived (the
  // server ended an idle session) is made anew once; a second failure
  // stands.
  const bool reused = handle_ != nullptr;
  if (!reused) {
    if (ImapResult r = Connect(); !r.ok()) return r;
  }
  ImapResult r = RunOnce(command, handler, literal_limit);
  if (reused && (r.code == CURLE_SEND_ERROR || r.code == CURLE_RECV_ERROR)) {
    if (r = Connect(); !r.ok()) return r;
    r = RunOnce(command, handler, literal_limit);
  }
  return r;
}

ImapResult ImapConnection::Status(MailboxStatus* status) {
  bool found = false;
  ImapResult r = Run("STATUS " + mailbox_quoted_ + " (MESSAGES UIDNEXT UIDVALIDITY)",
                     [&](Response& response) -> ImapResult {
                       if (ParseStatus(response.text, status)) found = true;
                       return {};
                     });
  if (r.ok() && !found)
    return {CURLE_WEIRD_SERVER_REPLY, "the server's STATUS answer could not be read"};
  return r;
}

ImapResult ImapConnection::Poll(bool* changed) {
  *changed = true;
  const bool connected = handle_ != nullptr;
  const uint64_t before = connections_;
  ImapResult r = Run("NOOP", [](Response&) -> ImapResult { return {}; });
  if (r.ok()) *changed = news_ != news_polled_ || !connected || connections_ != before;
  news_polled_ = news_;
  return r;
}

ImapResult ImapConnection::ListFlags(uint32_t limit, std::vector<ListedUid>* out) {
  out->clear();
  FetchItem item;
  ImapResult r = Run("UID FETCH 1:* (UID FLAGS)", [&](Response& response) -> ImapResult {
    if (!ParseFetch(response, &item)) return {};
    response.asked_for = true;  // every message's flags as they are now
    if (item.uid == 0) return {};
    if (out->size() >= limit)
      return {CURLE_FILESIZE_EXCEEDED, "the mailbox holds more than imap.max_messages (" +
                                           std::to_string(limit) + ") messages"};
    out->push_back({item.uid, item.seen});
    return {};
  });
  if (!r.ok()) return r;
  std::sort(out->begin(), out->end(),
            [](const ListedUid& a, const ListedUid& b) { return a.uid < b.uid; });
  out->erase(std::unique(out->begin(), out->end(),
                         [](const ListedUid& a, const ListedUid& b) { return a.uid == b.uid; }),
             out->end());
  return {};
}

ImapResult ImapConnection::Summaries(const std::vector<uint32_t>& uids,
                                     const std::function<void(FetchItem&)>& found) {
  FetchItem item;
  for (size_t at = 0; at < uids.size(); at += kSummaryWindow) {
    auto begin = uids.begin() + static_cast<ptrdiff_t>(at);
    auto end = uids.begin() + static_cast<ptrdiff_t>(std::min(uids.size(), at + kSummaryWindow));
    ImapResult r = Run(
        "UID FETCH " + UidSet(begin, end) + " " + kSummaryItems,
        [&](Response& response) -> ImapResult {
          if (ParseFetch(response, &item) && item.uid != 0 &&
              std::binary_search(begin, end, item.uid)) {
            response.asked_for = true;
            found(item);
          }
          return {};
        },
        kHeaderLimit);
    if (!r.ok()) return r;
  }
  return {};
}

ImapResult ImapConnection::Fetch(uint32_t uidvalidity, uint32_t uid, std::string* out) {
  out->clear();
  if (!handle_) {
    if (ImapResult r = Connect(); !r.ok()) return r;
  }
  if (uidvalidity != selected_uidvalidity_)
    return {CURLE_REMOTE_FILE_NOT_FOUND, "the mailbox's UIDVALIDITY is not the reference's"};
  // Expunges by other clients reach this session's view of the mailbox
  // with a NOOP; without it the server may still hand out such a message.
  ImapResult r = Run("NOOP", [](Response&) -> ImapResult { return {}; });
  if (!r.ok()) return r;
  bool got = false, truncated = false;
  FetchItem item;
  r = Run(
      "UID FETCH " + std::to_string(uid) + " (UID BODY.PEEK[])",
      [&](Response& response) -> ImapResult {
        if (ParseFetch(response, &item) && item.uid == uid && item.has_body) {
          response.asked_for = true;
          got = true;
          truncated = item.truncated;
          *out = std::move(item.body);
        }
        return {};
      },
      config_.max_message_bytes);
  if (!r.ok()) return r;
  if (truncated) {
    out->clear();
    return {CURLE_FILESIZE_EXCEEDED, "larger than max_message_bytes"};
  }
  if (!got) return {CURLE_REMOTE_FILE_NOT_FOUND, "no message with UID " + std::to_string(uid)};
  return {};
}

ImapResult ImapConnection::SetSeen(const std::vector<uint32_t>& uids, bool seen) {
  std::vector<uint32_t> sorted(uids);
  std::sort(sorted.begin(), sorted.end());
  for (size_t at = 0; at < sorted.size(); at += kSummaryWindow) {
    auto begin = sorted.begin() + static_cast<ptrdiff_t>(at);
    auto end =
        sorted.begin() + static_cast<ptrdiff_t>(std::min(sorted.size(), at + kSummaryWindow));
    ImapResult r =
        Run("UID STORE " + UidSet(begin, end) + (seen ? " +" : " -") + "FLAGS.SILENT (\\Seen)",
            [](Response&) -> ImapResult { return {}; });
    if (!r.ok()) return r;
  }
  return {};
}

ImapResult ImapConnection::Delete(uint32_t uid) {
  const std::string id = std::to_string(uid);
  const auto ignore = [](Response&) -> ImapResult { return {}; };
  if (!handle_) {
    if (ImapResult r = Connect(); !r.ok()) return r;
  }
  if (!uidplus_) {
    // A plain EXPUNGE removes every message marked deleted: only when this
    // one is the only one.
    std::vector<uint32_t> marked;
    ImapResult r = Run("UID SEARCH DELETED", [&](Response& response) -> ImapResult {
      ParseSearch(response.text, &marked);
      return {};
    });
    if (!r.ok()) return r;
    marked.erase(std::remove(marked.begin(), marked.end(), uid), marked.end());
    if (!marked.empty())
      return {CURLE_QUOTE_ERROR,
              "the server has no UIDPLUS and " + std::to_string(marked.size()) +
                  " other message(s) are marked deleted, which an EXPUNGE would remove too; "
                  "nothing was deleted"};
  }
  ImapResult r = Run("UID STORE " + id + " +FLAGS.SILENT (\\Deleted)", ignore);
  if (r.ok()) r = Run(uidplus_ ? "UID EXPUNGE " + id : std::string("EXPUNGE"), ignore);
  if (r.ok()) return r;
  // Failed: the mark comes off again, on a new connection if this one is
  // gone (a message already expunged is no error to the STORE), within a
  // deadline of its own.
  auto stop = std::move(stop_);
  Begin(nullptr);
  ImapResult undo = Run("UID STORE " + id + " -FLAGS.SILENT (\\Deleted)", ignore);
  stop_ = std::move(stop);
  if (!undo.ok()) r.error += "; the \\Deleted mark could not be taken off again: " + undo.error;
  return r;
}

ImapResult ImapConnection::Append(const std::string& message) {
  if (!handle_) {
    if (ImapResult r = Connect(); !r.ok()) return r;
  }
  return RunOnce(
      "APPEND " + mailbox_quoted_ + " () {" + std::to_string(message.size()) + "}",
      [](Response&) -> ImapResult { return {}; }, 0, &message);
}

}  // namespace velnet
