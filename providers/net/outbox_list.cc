#include "net/outbox_list.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "file_system.h"
#include "mime/gmime_support.h"
#include "net/report.h"
#include "platform.h"

namespace velnet {
namespace {

// A header longer than this is not read for its subject.
constexpr size_t kHeaderLimit = size_t{64} * 1024;

std::string Join(const std::vector<std::string>& items, const char* separator) {
  std::string out;
  for (const std::string& s : items) out += (out.empty() ? "" : separator) + s;
  return out;
}

// The spooling time an id starts with (microseconds), in seconds.
int64_t TimeOfId(const std::string& id) { return std::strtoll(id.c_str(), nullptr, 10) / 1000000; }

// "2026-12-07T14:05:01Z" in seconds; 0 when it is not such a time.
int64_t TimeOfStamp(const std::string& stamp) {
  std::tm tm{};
  const char* end = strptime(stamp.c_str(), "%Y-%m-%dT%H:%M:%SZ", &tm);
  if (end == nullptr || *end != '\0') return 0;
  return static_cast<int64_t>(timegm(&tm));
}

bool StartsWithNoCase(const std::string& s, size_t at, const char* prefix) {
  const size_t n = std::strlen(prefix);
  return s.size() >= at + n && strncasecmp(s.c_str() + at, prefix, n) == 0;
}

}  // namespace

std::string LogWord(const std::string& value) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : value) {
    if (c <= 0x20 || c == '%' || c >= 0x7f) {
      out += '%';
      out += kDigits[c >> 4];
      out += kDigits[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string FromLogWord(const std::string& word) {
  std::string out;
  for (size_t i = 0; i < word.size(); ++i) {
    if (word[i] == '%' && i + 2 < word.size() &&
        std::isxdigit(static_cast<unsigned char>(word[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(word[i + 2]))) {
      out += static_cast<char>(std::strtol(word.substr(i + 1, 2).c_str(), nullptr, 16));
      i += 2;
    } else {
      out += word[i];
    }
  }
  return out;
}

std::optional<OutboxItem> ParseSentLine(const std::string& line) {
  // The reply is free text to the line's end; every field before it is
  // one word.
  const size_t reply_at = line.find(" reply=");
  const std::string head = line.substr(0, reply_at);
  std::vector<std::string> words;
  size_t pos = 0;
  while (pos <= head.size()) {
    size_t space = head.find(' ', pos);
    if (space == std::string::npos) space = head.size();
    if (space > pos) words.push_back(head.substr(pos, space - pos));
    pos = space + 1;
  }
  if (words.size() < 3 || words[2].rfind("user=", 0) != 0) return std::nullopt;
  OutboxItem item;
  item.state = "sent";
  item.done_at = TimeOfStamp(words[0]);
  item.id = words[1];
  item.queued_at = TimeOfId(item.id);
  for (size_t i = 2; i < words.size(); ++i) {
    const std::string& w = words[i];
    const size_t eq = w.find('=');
    const std::string key = w.substr(0, eq),
                      value = eq == std::string::npos ? "" : w.substr(eq + 1);
    if (key == "user")
      item.user = FromLogWord(value);
    else if (key == "from")
      item.sender = FromLogWord(value);
    else if (key == "to")
      item.recipients = FromLogWord(value);
    else if (key == "attempts")
      item.attempts = static_cast<uint32_t>(std::strtoul(value.c_str(), nullptr, 10));
    else if (key == "subject")
      item.subject = FromLogWord(value);
  }
  if (reply_at != std::string::npos) item.last_reply = line.substr(reply_at + 7);
  return item;
}

std::optional<std::string> SpooledSubject(int fd, uint64_t offset) {
  std::string header;
  char buf[8192];
  size_t end = std::string::npos;
  while (header.size() < kHeaderLimit) {
    int64_t n = vel::os::Files().ReadFileAt(fd, buf, sizeof buf, offset + header.size());
    if (n <= 0) break;
    header.append(buf, static_cast<size_t>(n));
    end = header.find("\n\n");
    if (end == std::string::npos) end = header.find("\n\r\n");
    if (end != std::string::npos) break;
  }
  if (end != std::string::npos) header.resize(end + 1);
  // The Subject field, its folded lines joined.
  std::optional<std::string> raw;
  size_t line = 0;
  while (line < header.size()) {
    size_t eol = header.find('\n', line);
    if (eol == std::string::npos) eol = header.size();
    if (StartsWithNoCase(header, line, "subject:")) {
      raw = header.substr(line + 8, eol - line - 8);
      while (eol + 1 < header.size() && (header[eol + 1] == ' ' || header[eol + 1] == '\t')) {
        const size_t next = header.find('\n', eol + 1);
        const size_t stop = next == std::string::npos ? header.size() : next;
        *raw += header.substr(eol + 1, stop - eol - 1);
        eol = stop;
      }
      break;
    }
    line = eol + 1;
  }
  if (!raw) return std::nullopt;
  std::string& text = *raw;
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.erase(0, 1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.pop_back();
  // Encoded words (RFC 2047) to UTF-8.
  velcmc::EnsureGMime();
  velcmc::GCharPtr decoded(g_mime_utils_header_decode_text(nullptr, text.c_str()));
  if (decoded) return std::string(decoded.get());
  return text;
}

std::vector<OutboxItem> ListOutbox(const Spool& spool) {
  std::vector<OutboxItem> items;
  for (const bool failed : {false, true}) {
    for (const std::string& id : failed ? spool.Failed() : spool.Queued()) {
      std::string damage;
      std::optional<SpoolEntry> entry = spool.Load(id, failed, &damage);
      OutboxItem item;
      item.id = id;
      item.queued_at = TimeOfId(id);
      if (!entry) {
        if (damage.empty()) continue;  // gone meanwhile
        // Put in quarantine at the next delivery pass.
        item.state = "quarantined";
        item.last_reply = damage;
        items.push_back(std::move(item));
        continue;
      }
      item.state = failed ? "failed" : "queued";
      item.user = entry->envelope.user;
      item.sender = entry->envelope.from;
      item.queued_at = entry->envelope.queued_at;
      item.attempts = entry->state.attempts;
      if (failed) {
        std::vector<std::string> who, replies;
        for (const auto& [recipient, reply] : entry->state.refused) {
          who.push_back(recipient);
          replies.push_back((recipient + ": ").append(reply));
        }
        item.recipients = Join(who, ",");
        item.last_reply = Join(replies, "; ");
      } else {
        item.recipients = Join(entry->state.Pending(entry->envelope), ",");
        item.last_reply = entry->state.last_reply;
        item.next_attempt = entry->state.next_attempt;
      }
      const std::string path = spool.Root() + (failed ? "/failed/" : "/queue/") + id + ".msg";
      uint64_t size = 0;
      const int fd = vel::os::Files().OpenRegularFile(path.c_str(), &size, false);
      if (fd >= 0) {
        item.subject = SpooledSubject(fd, entry->message_offset);
        vel::os::Files().CloseFile(fd);
      }
      items.push_back(std::move(item));
    }
  }
  for (const Quarantined& q : spool.Quarantine()) {
    OutboxItem item;
    item.id = q.id;
    item.state = "quarantined";
    item.queued_at = TimeOfId(q.id);
    item.last_reply = q.reason;
    items.push_back(std::move(item));
  }
  for (const WaitingReport& report : WaitingReports(spool)) {
    OutboxItem item;
    item.id = report.id;
    item.state = "report";
    item.user = report.user;
    item.attempts = report.state.attempts;
    item.last_reply = report.state.last_reply;
    item.queued_at = report.spooled_at;
    item.next_attempt = report.state.next_attempt;
    const std::string path = spool.Root() + "/reports/" + report.id;
    uint64_t size = 0;
    const int fd = vel::os::Files().OpenRegularFile(path.c_str(), &size, false);
    if (fd >= 0) {
      item.subject = SpooledSubject(fd, report.message_offset);
      vel::os::Files().CloseFile(fd);
    }
    items.push_back(std::move(item));
  }
  for (const std::string& line : spool.SentLog())
    if (std::optional<OutboxItem> item = ParseSentLine(line)) items.push_back(std::move(*item));
  return items;
}

}  // namespace velnet
