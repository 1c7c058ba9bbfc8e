#include "net/config.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <map>
#include <set>
#include <sstream>

#include "file_system.h"
#include "platform.h"

namespace velnet {
namespace {

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

// A value ends at a ';' or '#' that follows white space (or starts it).
std::string StripComment(const std::string& value) {
  for (size_t i = 0; i < value.size(); ++i)
    if ((value[i] == ';' || value[i] == '#') &&
        (i == 0 || value[i - 1] == ' ' || value[i - 1] == '\t'))
      return value.substr(0, i);
  return value;
}

struct Entry {
  std::string value;
  int line = 0;
};

// The host part of a URL: scheme://[user@]host[:port]/...
std::string UrlHost(const std::string& url) {
  size_t start = url.find("://");
  if (start == std::string::npos) return "";
  start += 3;
  size_t end = url.find('/', start);
  std::string authority =
      url.substr(start, end == std::string::npos ? std::string::npos : end - start);
  if (size_t at = authority.rfind('@'); at != std::string::npos) authority.erase(0, at + 1);
  if (!authority.empty() && authority[0] == '[') {
    size_t close = authority.find(']');
    return close == std::string::npos ? "" : authority.substr(1, close - 1);
  }
  return authority.substr(0, authority.find(':'));
}

// Plain text is allowed to this machine only: localhost, or an address
// literal of the loopback network (a name that merely starts with "127."
// is somebody's host).
bool IsLoopback(const std::string& host) {
  if (host == "localhost" || host == "::1") return true;
  in_addr v4{};
  return inet_pton(AF_INET, host.c_str(), &v4) == 1 && (ntohl(v4.s_addr) >> 24) == 127;
}

// Reads the configuration file: a regular file only (a FIFO or device
// would hang the logon), of a sane size, without a UTF-8 byte-order mark.
bool ReadConfigFile(const std::string& path, std::string* text, std::string* error) {
  vel::os::FileSystem& files = vel::os::Files();
  uint64_t size = 0;
  int fd = files.OpenRegularFile(path.c_str(), &size, true);
  if (fd < 0) {
    const int32_t err = vel::os::LastError();
    if (err == EINVAL) {
      *error = "configuration " + path + " is not a regular file";
    } else {
      *error = "configuration " + path + " cannot be read: " + std::strerror(err);
    }
    return false;
  }
  constexpr size_t kLimit = 1 << 20;
  char buf[8192];
  for (;;) {
    int64_t n = files.ReadFile(fd, buf, sizeof buf);
    if (n < 0) {
      *error = "configuration " + path + " cannot be read: " + std::strerror(vel::os::LastError());
      files.CloseFile(fd);
      return false;
    }
    if (n == 0) break;
    text->append(buf, static_cast<size_t>(n));
    if (text->size() > kLimit) {
      files.CloseFile(fd);
      *error = "configuration " + path + " is larger than a configuration can be";
      return false;
    }
  }
  files.CloseFile(fd);
  if (text->rfind("\xEF\xBB\xBF", 0) == 0) text->erase(0, 3);
  return true;
}

// A duration: whole seconds, or a number with s, m, h or d.
bool ParseDuration(const std::string& value, uint64_t* seconds) {
  uint64_t v = 0;
  auto [p, ec] = std::from_chars(value.data(), value.data() + value.size(), v);
  if (ec != std::errc() || p == value.data()) return false;
  std::string unit(p, value.data() + value.size());
  uint64_t scale = unit.empty() || unit == "s" ? 1
                   : unit == "m"               ? 60
                   : unit == "h"               ? 3600
                   : unit == "d"               ? 86400
                                               : 0;
  if (scale == 0 || v > UINT32_MAX / scale) return false;
  *seconds = v * scale;
  return true;
}

std::string Scheme(const std::string& url) {
  size_t colon = url.find("://");
  return colon == std::string::npos ? "" : url.substr(0, colon);
}

std::string PercentDecode(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size()) {
      int v = 0;
      auto [p, ec] = std::from_chars(s.data() + i + 1, s.data() + i + 3, v, 16);
      if (ec == std::errc() && p == s.data() + i + 3) {
        out += static_cast<char>(v);
        i += 2;
        continue;
      }
    }
    out += s[i];
  }
  return out;
}

}  // namespace

std::string Config::FromFor(const std::string& user) const {
  std::string out;
  const bool user_is_address = user.find('@') != std::string::npos;
  for (size_t i = 0; i < from.size(); ++i) {
    if (from[i] == '%' && i + 1 < from.size() && from[i + 1] == 'u') {
      out += user;
      ++i;
      // "%u@domain" for a user that has its own domain: the user's address.
      if (user_is_address && i + 1 < from.size() && from[i + 1] == '@') {
        size_t end = from.find_first_of(" \t,>", i + 1);
        if (end == std::string::npos) end = from.size();
        i = end - 1;
      }
    } else {
      out += from[i];
    }
  }
  return out;
}

int64_t Config::DueAt(int64_t next, int64_t now) const {
  // No attempt is ever put off further than retry_max_delay: one further
  // ahead was put off by a clock that has since gone back.
  return next > now + static_cast<int64_t>(std::max(retry_delay, retry_max_delay)) ? now : next;
}

std::string UserKey(const std::string& user) {
  std::string key = user;
  for (char& c : key)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return key;
}

const std::pair<const std::string, std::string>* CredentialsOf(
    const std::map<std::string, std::string>& credentials, const std::string& user) {
  if (auto exact = credentials.find(user); exact != credentials.end()) return &*exact;
  const std::string key = UserKey(user);
  for (const auto& entry : credentials)
    if (UserKey(entry.first) == key) return &entry;
  return nullptr;
}

int64_t Config::RetryDelay(int64_t age) const {
  const int64_t longest = std::max<int64_t>(retry_delay, retry_max_delay);
  return std::clamp<int64_t>(age, retry_delay, longest);
}

// NOLINTNEXTLINE(readability-function-size): a parser of many keys, one after another
std::optional<Config> LoadConfig(const std::string& path, std::string* error,
                                 std::string* log_path) {
  std::string text_of_file;
  if (!ReadConfigFile(path, &text_of_file, error)) return std::nullopt;
  std::istringstream in(text_of_file);
  static const std::map<std::string, std::set<std::string>> kKeys = {
      {"imap", {"url", "auth", "max_messages"}},
      {"smtp", {"servers", "auth"}},
      {"tls", {"mode", "ca_file"}},
      {"mail", {"domain", "from"}},
      {"delivery",
       {"spool", "retry_for", "retry_attempts", "retry_delay", "retry_max_delay", "connect_timeout",
        "transfer_timeout", "max_message_bytes", "drain_seconds", "connections", "log"}}};
  std::map<std::string, Entry> values;  // "section.key"
  std::string section, line;
  int number = 0;
  auto fail = [&](int at, const std::string& what) {
    if (auto it = values.find("delivery.log");
        log_path && it != values.end() && !it->second.value.empty() && it->second.value[0] == '/')
      *log_path = it->second.value;
    *error = "configuration " + path + (at > 0 ? ", line " + std::to_string(at) : "") + ": " + what;
    return std::nullopt;
  };
  while (std::getline(in, line)) {
    ++number;
    std::string text = Trim(StripComment(line));
    if (text.empty()) continue;
    if (text.front() == '[') {
      if (text.back() != ']') return fail(number, "a section name must end with ']'");
      section = Trim(text.substr(1, text.size() - 2));
      if (!kKeys.count(section)) return fail(number, "unknown section [" + section + "]");
      continue;
    }
    size_t eq = text.find('=');
    if (eq == std::string::npos) return fail(number, "expected key = value");
    std::string key = Trim(text.substr(0, eq));
    if (section.empty()) return fail(number, "key " + key + " is outside any section");
    if (!kKeys.at(section).count(key))
      return fail(number, ("unknown key " + key).append(" in [").append(section).append("]"));
    std::string name = section;
    name.append(".").append(key);
    if (values.count(name))
      return fail(number, ("key " + key).append(" in [").append(section).append("] given twice"));
    values[name] = {Trim(text.substr(eq + 1)), number};
  }
  if (auto it = values.find("delivery.log");
      log_path && it != values.end() && !it->second.value.empty() && it->second.value[0] == '/')
    *log_path = it->second.value;

  Config c;
  auto get = [&](const char* name) -> const Entry* {
    auto it = values.find(name);
    return it == values.end() ? nullptr : &it->second;
  };
  auto require = [&](const char* name, std::string* out) -> bool {
    const Entry* e = get(name);
    if (!e || e->value.empty()) {
      *error = "configuration " + path + ": " + name + " is missing";
      return false;
    }
    *out = e->value;
    return true;
  };
  auto number_of = [&](const char* name, uint64_t low, uint64_t high, auto* out) -> bool {
    const Entry* e = get(name);
    if (!e) return true;
    uint64_t v = 0;
    auto [p, ec] = std::from_chars(e->value.data(), e->value.data() + e->value.size(), v);
    if (ec != std::errc() || p != e->value.data() + e->value.size() || v < low || v > high) {
      *error = "configuration " + path + ", line " + std::to_string(e->line) + ": " + name +
               " must be a whole number from " + std::to_string(low) + " to " +
               std::to_string(high) + ", not \"" + e->value + "\"";
      return false;
    }
    *out = static_cast<std::remove_reference_t<decltype(*out)>>(v);
    return true;
  };

  if (!require("imap.url", &c.imap_url)) return std::nullopt;
  std::string servers;
  if (!require("smtp.servers", &servers)) return std::nullopt;
  std::istringstream list(servers);
  for (std::string s; list >> s;) c.smtp_servers.push_back(s);
  if (!require("mail.domain", &c.domain)) return std::nullopt;
  if (!require("delivery.spool", &c.spool)) return std::nullopt;
  c.from = "%u@" + c.domain;
  if (const Entry* e = get("mail.from")) c.from = e->value;
  if (const Entry* e = get("tls.ca_file")) c.ca_file = e->value;
  if (const Entry* e = get("delivery.log")) c.log = e->value;
  if (const Entry* e = get("tls.mode")) {
    if (e->value == "required")
      c.tls = TlsMode::kRequired;
    else if (e->value == "none")
      c.tls = TlsMode::kNone;
    else
      return fail(e->line, "tls.mode must be required or none, not \"" + e->value + "\"");
  }
  // retry_attempts no longer fails mail (retry_for does); it is still
  // read, so that older files keep loading.
  uint32_t obsolete_attempts = 0;
  if (const Entry* e = get("delivery.retry_for")) {
    uint64_t v = 0;
    if (!ParseDuration(e->value, &v) || v < 1)
      return fail(e->line, "delivery.retry_for must be a duration such as 5d, 12h or 3600, not \"" +
                               e->value + "\"");
    c.retry_for = static_cast<uint32_t>(v);
  }
  if (!number_of("delivery.retry_attempts", 1, 1000, &obsolete_attempts) ||
      !number_of("delivery.retry_delay", 0, 86400, &c.retry_delay) ||
      !number_of("delivery.retry_max_delay", 1, uint64_t{7} * 86400, &c.retry_max_delay) ||
      !number_of("delivery.connect_timeout", 1, 3600, &c.connect_timeout) ||
      !number_of("delivery.transfer_timeout", 1, 86400, &c.transfer_timeout) ||
      !number_of("delivery.max_message_bytes", 1024, uint64_t{1} << 32, &c.max_message_bytes) ||
      !number_of("delivery.drain_seconds", 0, 3600, &c.drain_seconds) ||
      !number_of("delivery.connections", 1, 16, &c.connections) ||
      !number_of("imap.max_messages", 1, 10000000, &c.max_messages))
    return std::nullopt;
  for (auto [name, value] : {std::pair{"imap.auth", &c.imap_auth}, {"smtp.auth", &c.smtp_auth}}) {
    const Entry* e = get(name);
    if (!e) continue;
    if (e->value.empty() ||
        e->value.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_* ") != std::string::npos)
      return fail(e->line, std::string(name) + " must list SASL mechanisms such as PLAIN LOGIN");
    *value = e->value;
  }

  // The URLs: their schemes must fit the TLS mode, and plain text is for
  // this machine only.
  auto check_url = [&](const std::string& url, const char* plain, const char* tls,
                       const char* key) -> bool {
    std::string scheme = Scheme(url);
    std::string host = UrlHost(url);
    if ((scheme != plain && scheme != tls) || host.empty()) {
      *error = "configuration " + path + ": " + key + " \"" + url + "\" is not a " + plain +
               ":// or " + tls + ":// URL with a host";
      return false;
    }
    if (url.find('@') != std::string::npos) {
      *error = "configuration " + path + ": " + key + " \"" + url +
               "\" must not carry a user name: the logged-on user's is used";
      return false;
    }
    if (c.tls == TlsMode::kNone && scheme == tls) {
      *error =
          "configuration " + path + ": " + key + " \"" + url + "\" uses TLS but tls.mode is none";
      return false;
    }
    if (c.tls == TlsMode::kNone && !IsLoopback(host)) {
      *error = "configuration " + path + ": tls.mode none is allowed for this machine only, and " +
               key + " names " + host;
      return false;
    }
    return true;
  };
  if (!check_url(c.imap_url, "imap", "imaps", "imap.url")) return std::nullopt;
  {
    size_t start = c.imap_url.find('/', c.imap_url.find("://") + 3);
    std::string box = start == std::string::npos ? "" : c.imap_url.substr(start + 1);
    if (box.empty() || box.find_first_of("/;?") != std::string::npos) {
      *error = "configuration " + path + ": imap.url \"" + c.imap_url +
               "\" must end in one mailbox name, as in imaps://mail.example.org/INBOX";
      return std::nullopt;
    }
    c.mailbox = PercentDecode(box);
    c.imap_url.resize(start);  // kept without the mailbox
  }
  if (c.smtp_servers.empty())
    return fail(get("smtp.servers")->line, "smtp.servers names no server");
  for (const std::string& s : c.smtp_servers)
    if (!check_url(s, "smtp", "smtps", "smtp.servers")) return std::nullopt;
  for (auto [name, value] : {std::pair{"delivery.spool", &c.spool}, {"delivery.log", &c.log}}) {
    if (!value->empty() && (*value)[0] != '/') {
      *error = "configuration " + path + ": " + name + " must be an absolute path, not \"" +
               *value + "\"";
      return std::nullopt;
    }
  }
  if (c.domain.find_first_of("@ \t<>") != std::string::npos)
    return fail(get("mail.domain")->line, "mail.domain \"" + c.domain + "\" is not a domain");
  const int from_line = get("mail.from") ? get("mail.from")->line : 0;
  if (c.FromFor("user").find('@') == std::string::npos)
    return fail(from_line, "mail.from \"" + c.from + "\" gives no address with '@'");
  // The sender goes into the envelope and the From: header as it is.
  for (unsigned char ch : c.from)
    if (ch <= 0x20 || ch == 0x7f || std::strchr("<>()[],;:\"\\", ch) != nullptr)
      return fail(from_line, "mail.from \"" + c.from +
                                 "\" must be one address, without spaces or any of <>()[],;:\"\\");
  // Paths the provider will need, checked now rather than at the first use.
  if (!c.log.empty()) {
    vel::os::FileInfo info;
    if (vel::os::Files().Stat(c.log.c_str(), &info, true) &&
        info.type != vel::os::FileType::kRegular)
      return fail(get("delivery.log")->line,
                  "delivery.log \"" + c.log + "\" exists and is not a regular file");
    std::string dir = c.log.substr(0, c.log.rfind('/'));
    if (!dir.empty() && (!vel::os::Files().Stat(dir.c_str(), &info, true) ||
                         info.type != vel::os::FileType::kDirectory))
      return fail(get("delivery.log")->line,
                  "delivery.log \"" + c.log + "\" is in no directory that exists");
  }
  if (!c.ca_file.empty() && c.tls == TlsMode::kRequired) {
    uint64_t size = 0;
    const int fd = vel::os::Files().OpenRegularFile(c.ca_file.c_str(), &size, true);
    const bool readable = fd >= 0;
    const int err = vel::os::LastError();
    if (fd >= 0) vel::os::Files().CloseFile(fd);
    if (!readable)
      return fail(get("tls.ca_file")->line,
                  "tls.ca_file \"" + c.ca_file + "\" cannot be read" +
                      (fd < 0 ? std::string(": ") + std::strerror(err) : ": not a regular file"));
  }
  return c;
}

std::optional<Config> LoadConfigFromEnvironment(std::string* error, std::string* log_path) {
  char value[4096];
  uint32_t length = vel::os::GetEnvironmentVariable("VELNET_CONFIG", value, sizeof value);
  if (length == 0 || length >= sizeof value) {
    *error = "VELNET_CONFIG does not name a configuration file";
    return std::nullopt;
  }
  return LoadConfig(value, error, log_path);
}

}  // namespace velnet
