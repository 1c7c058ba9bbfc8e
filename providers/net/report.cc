#include "net/report.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "file_system.h"
#include "mime/gmime_support.h"
#include "net/curl_support.h"
#include "net/netlog.h"
#include "platform.h"

namespace velnet {
namespace {

// The original header quoted in a report is cut at this size.
constexpr size_t kHeaderLimit = size_t{64} * 1024;
// A server reply quoted in a report is cut at this size.
constexpr size_t kReplyLimit = 900;
// The file name prefix that names the user inside a spooled report.
constexpr const char kReportUser[] = "User: ";

// Printable ASCII on one line: what a delivery-status field may hold.
std::string Field(const std::string& s, size_t limit) {
  std::string out;
  for (unsigned char c : s) {
    if (out.size() >= limit) break;
    out += (c >= 0x20 && c < 0x7f) ? static_cast<char>(c) : '?';
  }
  return out;
}

std::string RfcDate(int64_t when) {
  std::time_t t = static_cast<std::time_t>(when);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[64];
  std::strftime(buf, sizeof buf, "%a, %d %b %Y %H:%M:%S +0000", &tm);
  return buf;
}

// The status code of a failure: for a server's permanent refusal its
// enhanced code (RFC 3463) where the reply has one, else 5.0.0; for mail
// not delivered in time, 4.4.7.
std::string StatusOf(const std::string& reply) {
  if (reply.empty() || reply[0] != '5') return "4.4.7";
  size_t sp = reply.find(' ');
  if (sp != std::string::npos) {
    std::string word = reply.substr(sp + 1, reply.find(' ', sp + 1) - sp - 1);
    int b = 0, c = 0;
    char tail = 0;
    if (std::sscanf(word.c_str(), "5.%3d.%3d%c", &b, &c, &tail) == 2)
      return "5." + std::to_string(b) + "." + std::to_string(c);
  }
  return "5.0.0";
}

std::string HeaderOf(int fd, uint64_t offset) {
  std::string out;
  char buf[8192];
  while (out.size() < kHeaderLimit) {
    int64_t n = vel::os::Files().ReadFileAt(fd, buf, sizeof buf, offset + out.size());
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
    size_t end = out.find("\n\n");
    if (end != std::string::npos) {
      out.resize(end + 1);
      return out;
    }
  }
  if (out.size() > kHeaderLimit) out.resize(kHeaderLimit);
  return out;
}

std::string HostName() {
  char name[256] = "";
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
  return Field(name, 255);
}

GMimePart* NewTextPart(const char* type, const char* subtype, const std::string& text) {
  GMimePart* part = g_mime_part_new_with_type(type, subtype);
  velcmc::GObjectPtr<GMimeStream> stream(
      g_mime_stream_mem_new_with_buffer(text.data(), text.size()));
  velcmc::GObjectPtr<GMimeDataWrapper> content(
      g_mime_data_wrapper_new_with_stream(stream.get(), GMIME_CONTENT_ENCODING_DEFAULT));
  g_mime_part_set_content(part, content.get());
  return part;
}

// LF line ends to CRLF, as IMAP takes a message.
std::string ToCrlf(const std::string& text) {
  std::string out;
  out.reserve(text.size() + text.size() / 32);
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out += '\r';
    out += text[i];
  }
  return out;
}

struct Upload {
  const std::string* data;
  size_t at;
};

size_t ReadUpload(char* buffer, size_t size, size_t count, void* user) {
  auto* u = static_cast<Upload*>(user);
  size_t n = std::min(size * count, u->data->size() - u->at);
  // NOLINTNEXTLINE(bugprone-not-null-terminated-result): the transfer's bytes, counted, not text
  std::memcpy(buffer, u->data->data() + u->at, n);
  u->at += n;
  return n;
}

size_t Discard(char*, size_t size, size_t count, void*) { return size * count; }

// Keeps a SEARCH answer (a line of numbers), up to a bound.
size_t Collect(char* data, size_t size, size_t count, void* user) {
  auto* out = static_cast<std::string*>(user);
  if (out->size() + size * count > 65536) return 0;
  out->append(data, size * count);
  return size * count;
}

}  // namespace

std::string BuildFailureReport(const Config& config, const SpoolEntry& entry,
                               const DeliveryState& state, int fd) {
  velcmc::EnsureGMime();
  const std::string original = HeaderOf(fd, entry.message_offset);
  const int64_t now = std::time(nullptr);
  std::string readable =
      "Your message could not be delivered to every recipient.\n"
      "It was queued at " +
      RfcDate(entry.envelope.queued_at) + " as " + entry.id + ".\n\n";
  std::string status = "Reporting-MTA: dns; " + HostName() + "\nX-Velnet-Queue-ID: " + entry.id +
                       "\nArrival-Date: " + RfcDate(entry.envelope.queued_at) + "\n";
  for (const auto& [who, reply] : state.refused) {
    readable += "  " + Field(who, 320) + ": " + Field(reply, kReplyLimit) + "\n";
    status += "\nFinal-Recipient: rfc822; " + Field(who, 320) +
              "\nAction: failed\nStatus: " + StatusOf(reply) + "\nDiagnostic-Code: smtp; " +
              Field(reply, kReplyLimit) + "\nLast-Attempt-Date: " + RfcDate(now) + "\n";
  }
  if (!state.accepted.empty()) {
    readable += "\nIt was delivered to:\n";
    for (const auto& [who, reply] : state.accepted) readable += "  " + Field(who, 320) + "\n";
  }
  readable += "\nThe header of your message follows.\n";

  velcmc::GObjectPtr<GMimeMessage> message(g_mime_message_new(TRUE));
  g_mime_message_add_mailbox(message.get(), GMIME_ADDRESS_TYPE_FROM, "Mail Delivery System",
                             ("MAILER-DAEMON@" + config.domain).c_str());
  g_mime_message_add_mailbox(message.get(), GMIME_ADDRESS_TYPE_TO, nullptr,
                             entry.envelope.from.c_str());
  g_mime_message_set_subject(message.get(), "Undelivered mail: returned to sender", "utf-8");
  GDateTime* date = g_date_time_new_from_unix_utc(now);
  g_mime_message_set_date(message.get(), date);
  g_date_time_unref(date);
  const std::string message_id = ReportMessageId(config, entry.id);
  g_mime_message_set_message_id(message.get(), message_id.c_str());
  g_mime_object_set_header(GMIME_OBJECT(message.get()), "Auto-Submitted", "auto-replied", nullptr);

  velcmc::GObjectPtr<GMimeMultipart> report(g_mime_multipart_new_with_subtype("report"));
  g_mime_object_set_content_type_parameter(GMIME_OBJECT(report.get()), "report-type",
                                           "delivery-status");
  velcmc::GObjectPtr<GMimeTextPart> text(g_mime_text_part_new_with_subtype("plain"));
  g_mime_text_part_set_text(text.get(), readable.c_str());
  velcmc::GObjectPtr<GMimePart> dsn(NewTextPart("message", "delivery-status", status));
  velcmc::GObjectPtr<GMimePart> headers(NewTextPart("text", "rfc822-headers", original));
  g_mime_multipart_add(report.get(), GMIME_OBJECT(text.get()));
  g_mime_multipart_add(report.get(), GMIME_OBJECT(dsn.get()));
  g_mime_multipart_add(report.get(), GMIME_OBJECT(headers.get()));
  g_mime_message_set_mime_part(message.get(), GMIME_OBJECT(report.get()));

  char* written = g_mime_object_to_string(GMIME_OBJECT(message.get()), nullptr);
  std::string out = written ? ToCrlf(written) : "";
  g_free(written);
  return out;
}

bool SpoolReport(const Spool& spool, const std::string& id, const std::string& user,
                 const std::string& report) {
  const std::string tmp = spool.Root() + "/tmp/" + id + ".report";
  const std::string target = spool.Root() + "/reports/" + id;
  const std::string data = kReportUser + user + "\n" + report;
  vel::os::FileSystem& files = vel::os::Files();
  files.RemoveFile(tmp.c_str());
  if (!files.WriteNewFileDurably(tmp.c_str(), data.data(), data.size()) ||
      !files.Rename(tmp.c_str(), target.c_str())) {
    files.RemoveFile(tmp.c_str());
    return false;
  }
  return vel::os::Files().SyncDirectory((spool.Root() + "/reports").c_str());
}

std::string ReportMessageId(const Config& config, const std::string& id) {
  return "report." + id + "@" + config.domain;
}

bool AppendToMailbox(const Config& config, const std::string& user, const std::string& password,
                     const std::string& message, const std::string& message_id,
                     std::string* error) {
  CurlPtr handle = NewHandle(config, user, password);
  if (!handle) {
    *error = "out of memory";
    return false;
  }
  CURL* h = handle.get();
  char* box = curl_easy_escape(h, config.mailbox.c_str(), static_cast<int>(config.mailbox.size()));
  if (box == nullptr) {
    *error = "out of memory";
    return false;
  }
  const std::string url = config.imap_url + "/" + box;
  curl_free(box);
  Upload upload{&message, 0};
  char text[CURL_ERROR_SIZE] = "";
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_UPLOAD, 1L);
  curl_easy_setopt(h, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(message.size()));
  curl_easy_setopt(h, CURLOPT_READFUNCTION, ReadUpload);
  curl_easy_setopt(h, CURLOPT_READDATA, &upload);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, Discard);
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, text);
  CURLcode rc = curl_easy_perform(h);
  if (rc != CURLE_OK) {
    *error = ErrorText(rc, text);
    return false;
  }
  // Unread again: the appended message is found by its Message-ID (the
  // answer to a SEARCH holds numbers only) and its \Seen taken off.
  std::string found;
  const std::string search = "UID SEARCH HEADER Message-ID \"<" + message_id + ">\"";
  curl_easy_setopt(h, CURLOPT_UPLOAD, 0L);
  curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, search.c_str());
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, Collect);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &found);
  rc = curl_easy_perform(h);
  size_t at = found.find("* SEARCH");
  std::string uids =
      at == std::string::npos ? "" : found.substr(at + 8, found.find('\n', at) - at - 8);
  std::string set;
  for (char c : uids) {
    if (c >= '0' && c <= '9')
      set += c;
    else if (c == ' ' && !set.empty() && set.back() != ',')
      set += ',';
  }
  while (!set.empty() && set.back() == ',') set.pop_back();
  if (rc == CURLE_OK && !set.empty()) {
    const std::string store = "UID STORE " + set + " -FLAGS.SILENT (\\Seen)";
    curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, store.c_str());
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, Discard);
    rc = curl_easy_perform(h);
  }
  if (rc != CURLE_OK || set.empty())
    Log(config.log, "report " + message_id + " appended for " + user + " but left marked read: " +
                        (rc != CURLE_OK ? ErrorText(rc, text) : "not found again"));
  return true;
}

size_t DeliverReports(const Config& config, const std::map<std::string, std::string>& credentials) {
  const std::string dir = config.spool + "/reports";
  vel::os::FileSystem& files = vel::os::Files();
  std::vector<std::string> names;
  std::vector<vel::os::DirectoryEntry> entries;
  files.ListDirectory(dir.c_str(), &entries);
  for (const vel::os::DirectoryEntry& entry : entries)
    if (entry.name[0] != '.') names.push_back(entry.name);
  std::sort(names.begin(), names.end());
  size_t waiting = 0;
  for (const std::string& name : names) {
    const std::string path = (dir + "/").append(name);
    uint64_t size = 0;
    int fd = files.OpenRegularFile(path.c_str(), &size, false);
    if (fd < 0) continue;
    std::string data;
    bool ok = size < (64 << 20);
    char buf[65536];
    while (ok) {
      int64_t n = files.ReadFile(fd, buf, sizeof buf);
      if (n <= 0) break;
      data.append(buf, static_cast<size_t>(n));
    }
    files.CloseFile(fd);
    size_t eol = data.find('\n');
    if (!ok || data.rfind(kReportUser, 0) != 0 || eol == std::string::npos) continue;
    const std::string user = data.substr(sizeof kReportUser - 1, eol - (sizeof kReportUser - 1));
    auto cred = credentials.find(user);
    if (cred == credentials.end()) continue;
    std::string error;
    if (AppendToMailbox(config, user, cred->second, data.substr(eol + 1),
                        ReportMessageId(config, name), &error)) {
      files.RemoveFile(path.c_str());
      Log(config.log, ("report " + name).append(" delivered to the mailbox of ").append(user));
    } else {
      ++waiting;
      Log(config.log, ("report " + name)
                          .append(" for ")
                          .append(user)
                          .append(" not delivered yet: ")
                          .append(error));
    }
  }
  return waiting;
}

}  // namespace velnet
