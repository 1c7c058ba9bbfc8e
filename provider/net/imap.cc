#include "imap.h"

#include <algorithm>
#include <cstring>
#include <ctime>

namespace velnet {
namespace {

// Messages asked about in one command (see List). libcurl 7.88 charges
// each response line with more than its own length (seen: 309 KB charged
// for 144 lines of 86 bytes, depending on how the answer arrived) and fails
// the command past 300 KB. 32 lines stay far below that however they arrive.
constexpr uint32_t kLinesPerCommand = 32;

struct Sink {
  std::string* out;
  uint64_t limit;
  bool over = false;
};

size_t Write(char* data, size_t size, size_t count, void* user) {
  auto* sink = static_cast<Sink*>(user);
  size_t n = size * count;
  if (sink->out == nullptr) return n;
  if (sink->out->size() + n > sink->limit) {
    sink->over = true;
    return 0;  // ends the transfer
  }
  sink->out->append(data, n);
  return n;
}

std::string UrlEncode(const std::string& s) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

// The number after key in text (a word of its own), or nothing.
bool NumberAfter(const std::string& text, const char* key, uint64_t* value) {
  const size_t length = std::strlen(key);
  for (size_t pos = text.find(key); pos != std::string::npos; pos = text.find(key, pos + 1)) {
    bool starts = pos == 0 || text[pos - 1] == ' ' || text[pos - 1] == '(';
    if (!starts || pos + length >= text.size() || text[pos + length] != ' ') continue;
    char* end = nullptr;
    *value = std::strtoull(text.c_str() + pos + length + 1, &end, 10);
    return end != text.c_str() + pos + length + 1;
  }
  return false;
}

int64_t ParseInternalDate(const std::string& line) {
  size_t at = line.find("INTERNALDATE \"");
  if (at == std::string::npos) return 0;
  std::tm tm{};
  char month[4] = {0};
  int zone = 0;
  if (std::sscanf(line.c_str() + at + 14, "%d-%3s-%d %d:%d:%d %d", &tm.tm_mday, month, &tm.tm_year,
                  &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &zone) != 7)
    return 0;
  static const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  tm.tm_mon = 0;
  for (int i = 0; i < 12; ++i)
    if (strcasecmp(month, kMonths[i]) == 0) tm.tm_mon = i;
  tm.tm_year -= 1900;
  int sign = zone < 0 ? -1 : 1;
  zone *= sign;
  int64_t offset = sign * ((zone / 100) * 3600 + (zone % 100) * 60);
  return static_cast<int64_t>(timegm(&tm)) - offset;
}

}  // namespace

bool ParseStatus(const std::string& response, MailboxStatus* status) {
  size_t at = response.find("* STATUS ");
  if (at == std::string::npos) return false;
  std::string line = response.substr(at, response.find('\n', at) - at);
  // The items follow the mailbox name, in the last parenthesis.
  size_t open = line.rfind('(');
  if (open == std::string::npos) return false;
  std::string items = line.substr(open);
  uint64_t v = 0, n = 0, m = 0;
  if (!NumberAfter(items, "UIDVALIDITY", &v) || !NumberAfter(items, "UIDNEXT", &n) ||
      !NumberAfter(items, "MESSAGES", &m))
    return false;
  *status = {static_cast<uint32_t>(v), static_cast<uint32_t>(n), static_cast<uint32_t>(m)};
  return true;
}

std::vector<ListedUid> ParseFetchList(const std::string& response) {
  std::vector<ListedUid> out;
  size_t pos = 0;
  while (pos < response.size()) {
    size_t end = response.find('\n', pos);
    if (end == std::string::npos) end = response.size();
    std::string line = response.substr(pos, end - pos);
    pos = end + 1;
    size_t fetch = line.find(" FETCH (");
    if (line.rfind("* ", 0) != 0 || fetch == std::string::npos) continue;
    std::string items = line.substr(fetch + 7);
    ListedUid item;
    uint64_t value = 0;
    if (!NumberAfter(items, "UID", &value)) continue;
    item.uid = static_cast<uint32_t>(value);
    if (NumberAfter(items, "RFC822.SIZE", &value)) item.size = static_cast<uint32_t>(value);
    size_t flags = items.find("FLAGS (");
    if (flags != std::string::npos) {
      std::string list = items.substr(flags + 7, items.find(')', flags) - flags - 7);
      item.seen = strcasestr(list.c_str(), "\\Seen") != nullptr;
    }
    item.internal_date = ParseInternalDate(items);
    out.push_back(item);
  }
  return out;
}

ImapConnection::ImapConnection(const Config& config, const std::string& user,
                               const std::string& password)
    : config_(config),
      mailbox_url_(config.imap_url + "/" + UrlEncode(config.mailbox)),
      handle_(NewHandle(config, user, password)) {}

ImapResult ImapConnection::Perform(const std::string& url, const char* custom, std::string* out,
                                   uint64_t limit) {
  ImapResult result;
  if (!handle_) return {CURLE_OUT_OF_MEMORY, "out of memory"};
  CURL* h = handle_.get();
  char error[CURL_ERROR_SIZE] = "";
  Sink sink{out, limit};
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, custom);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, Write);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink);
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error);
  // A connection found dead is replaced once; a second failure stands.
  for (int round = 0; round < 2; ++round) {
    if (out) out->clear();
    error[0] = '\0';
    result.code = curl_easy_perform(h);
    if (result.code != CURLE_SEND_ERROR && result.code != CURLE_RECV_ERROR) break;
  }
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, nullptr);
  if (sink.over) result.code = CURLE_FILESIZE_EXCEEDED;
  if (!result.ok())
    result.error = sink.over ? "larger than max_message_bytes" : ErrorText(result.code, error);
  return result;
}

ImapResult ImapConnection::Custom(const std::string& command, std::string* out) {
  // The listing of a large mailbox is a few dozen bytes a message.
  return Perform(mailbox_url_, command.c_str(), out, uint64_t{1} << 30);
}

ImapResult ImapConnection::Status(MailboxStatus* status) {
  std::string response;
  std::string name = config_.mailbox;
  std::string quoted = "\"";
  for (char c : name) quoted += (c == '"' || c == '\\') ? std::string("\\") + c : std::string(1, c);
  quoted += "\"";
  // A server answers STATUS for the selected mailbox from its session's
  // view, which only a command such as NOOP brings up to date.
  ImapResult r = Custom("NOOP", nullptr);
  if (r.ok()) r = Custom("STATUS " + quoted + " (MESSAGES UIDNEXT UIDVALIDITY)", &response);
  if (r.ok() && !ParseStatus(response, status))
    return {CURLE_WEIRD_SERVER_REPLY, "the server's STATUS answer could not be read"};
  return r;
}

ImapResult ImapConnection::List(uint32_t messages, std::vector<ListedUid>* out) {
  out->clear();
  // In pieces: libcurl 7.88 refuses a long response ("Too large response
  // headers", see kLinesPerCommand). The last piece runs to '*', so
  // that a message count grown since it was read is no error.
  for (uint64_t first = 1; first <= messages; first += kLinesPerCommand) {
    const uint64_t last = first + kLinesPerCommand - 1;
    std::string response;
    ImapResult r = Custom("FETCH " + std::to_string(first) + ":" +
                              (last >= messages ? std::string("*") : std::to_string(last)) +
                              " (UID FLAGS INTERNALDATE RFC822.SIZE)",
                          &response);
    if (!r.ok()) return r;
    for (const ListedUid& item : ParseFetchList(response)) out->push_back(item);
  }
  std::sort(out->begin(), out->end(),
            [](const ListedUid& a, const ListedUid& b) { return a.uid < b.uid; });
  out->erase(std::unique(out->begin(), out->end(),
                         [](const ListedUid& a, const ListedUid& b) { return a.uid == b.uid; }),
             out->end());
  return {};
}

ImapResult ImapConnection::Fetch(uint32_t uidvalidity, uint32_t uid, bool header_only,
                                 std::string* out) {
  // libcurl checks UIDVALIDITY against the mailbox's when it selects it.
  std::string url = mailbox_url_ + ";UIDVALIDITY=" + std::to_string(uidvalidity) +
                    "/;UID=" + std::to_string(uid) + (header_only ? "/;SECTION=HEADER" : "");
  return Perform(url, nullptr, out, config_.max_message_bytes);
}

ImapResult ImapConnection::Unsee(const std::vector<uint32_t>& uids) {
  for (size_t at = 0; at < uids.size(); at += kLinesPerCommand) {
    std::string set;
    for (size_t i = at; i < uids.size() && i < at + kLinesPerCommand; ++i)
      set += (set.empty() ? "" : ",") + std::to_string(uids[i]);
    ImapResult r = Custom("UID STORE " + set + " -FLAGS.SILENT (\\Seen)", nullptr);
    if (!r.ok()) return r;
  }
  return {};
}

ImapResult ImapConnection::Delete(uint32_t uid) {
  ImapResult r = Custom("UID STORE " + std::to_string(uid) + " +FLAGS.SILENT (\\Deleted)", nullptr);
  if (!r.ok()) return r;
  // UID EXPUNGE (UIDPLUS) removes this message only, whatever else is
  // marked deleted.
  return Custom("UID EXPUNGE " + std::to_string(uid), nullptr);
}

}  // namespace velnet
