#include "net/report.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <new>
#include <system_error>

#include "file_system.h"
#include "mime/gmime_support.h"
#include "net/imap.h"
#include "net/netlog.h"
#include "platform.h"

namespace velnet {
namespace {

// The original header quoted in a report is cut at this size.
constexpr size_t kHeaderLimit = size_t{64} * 1024;
// A server reply quoted in a report is cut at this size.
constexpr size_t kReplyLimit = 900;
// The first line of a spooled report names its user.
constexpr const char kReportUser[] = "User: ";
// A report's delivery state is <id> with this after it.
constexpr const char kStateSuffix[] = ".state";
// What of a spooled report is read to find its user.
constexpr size_t kHeadLimit = 1024;
// A spooled report larger than this is never read (one is tens of KiB).
constexpr uint64_t kReportLimit = uint64_t{64} << 20;
// A state file larger than this is not one of ours.
constexpr uint64_t kStateLimit = uint64_t{64} * 1024;

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

namespace {

std::string ReportPath(const Spool& spool, const std::string& id) {
  return spool.Root() + "/reports/" + id;
}

std::string StatePath(const Spool& spool, const std::string& id) {
  return ReportPath(spool, id) + kStateSuffix;
}

bool IsStateName(const std::string& name) {
  const size_t n = sizeof kStateSuffix - 1;
  return name.size() > n && name.compare(name.size() - n, n, kStateSuffix) == 0;
}

// What is in fd from offset to its end; nothing when it cannot be read or
// holds more than limit bytes.
std::optional<std::string> ReadRest(int fd, uint64_t offset, uint64_t limit) {
  vel::os::FileInfo info;
  vel::os::FileSystem& files = vel::os::Files();
  if (!files.StatFile(fd, &info) || info.size > limit + offset) return std::nullopt;
  std::string out;
  char buf[65536];
  for (;;) {
    const int64_t n = files.ReadFileAt(fd, buf, sizeof buf, offset + out.size());
    if (n < 0) return std::nullopt;
    if (n == 0) return out;
    if (out.size() + static_cast<uint64_t>(n) > limit) return std::nullopt;
    out.append(buf, static_cast<size_t>(n));
  }
}

// The user a spooled report goes to, and where the report itself starts.
bool ReadHead(int fd, std::string* user, uint64_t* offset) {
  char buf[kHeadLimit];
  const int64_t n = vel::os::Files().ReadFileAt(fd, buf, sizeof buf, 0);
  if (n <= 0) return false;
  const std::string head(buf, static_cast<size_t>(n));
  const size_t eol = head.find('\n');
  if (head.rfind(kReportUser, 0) != 0 || eol == std::string::npos) return false;
  *user = head.substr(sizeof kReportUser - 1, eol - (sizeof kReportUser - 1));
  *offset = eol + 1;
  return !user->empty();
}

// A report's delivery state; the state of a report never attempted when
// it has none (or it cannot be read).
DeliveryState LoadReportState(const Spool& spool, const std::string& id) {
  uint64_t size = 0;
  vel::os::FileSystem& files = vel::os::Files();
  const int fd = files.OpenRegularFile(StatePath(spool, id).c_str(), &size, false);
  if (fd < 0) return {};
  std::optional<std::string> text = ReadRest(fd, 0, kStateLimit);
  files.CloseFile(fd);
  return text ? ParseState(*text) : DeliveryState{};
}

// Replaces a report's delivery state (written whole to tmp/ first). False
// when it could not be written.
bool SaveReportState(const Spool& spool, const std::string& id, const DeliveryState& state) {
  const std::string tmp = spool.Root() + "/tmp/" + id + ".report-state";
  const std::string data = FormatState(state);
  vel::os::FileSystem& files = vel::os::Files();
  files.RemoveFile(tmp.c_str());
  if (!files.WriteNewFileDurably(tmp.c_str(), data.data(), data.size()) ||
      !files.Rename(tmp.c_str(), StatePath(spool, id).c_str())) {
    files.RemoveFile(tmp.c_str());
    return false;
  }
  return true;
}

// Done with a report: it leaves the spool, its state after it (a state
// without its report is removed by the next round's listing).
void RemoveReport(const Spool& spool, const std::string& id) {
  vel::os::Files().RemoveFile(ReportPath(spool, id).c_str());
  vel::os::Files().RemoveFile(StatePath(spool, id).c_str());
}

// The reports in reports/, oldest first; with tidy, states whose report is
// gone are removed.
std::vector<WaitingReport> ListReports(const Spool& spool, bool tidy) {
  vel::os::FileSystem& files = vel::os::Files();
  std::vector<vel::os::DirectoryEntry> entries;
  files.ListDirectory((spool.Root() + "/reports").c_str(), &entries);
  std::vector<std::string> names, states;
  for (const vel::os::DirectoryEntry& entry : entries) {
    if (entry.name[0] == '.') continue;
    (IsStateName(entry.name) ? states : names).push_back(entry.name);
  }
  std::sort(names.begin(), names.end());
  std::vector<WaitingReport> out;
  for (const std::string& id : names) {
    uint64_t size = 0;
    const int fd = files.OpenRegularFile(ReportPath(spool, id).c_str(), &size, false);
    if (fd < 0) continue;  // gone meanwhile
    WaitingReport report;
    report.id = id;
    vel::os::FileInfo info;
    // Written once, when spooled: its time is the report's.
    if (files.StatFile(fd, &info)) report.spooled_at = info.modified_ns / 1000000000;
    const bool read = ReadHead(fd, &report.user, &report.message_offset);
    files.CloseFile(fd);
    if (!read) continue;
    report.state = LoadReportState(spool, id);
    out.push_back(std::move(report));
  }
  if (tidy) {
    for (const std::string& state : states) {
      const std::string id = state.substr(0, state.size() - (sizeof kStateSuffix - 1));
      if (!std::binary_search(names.begin(), names.end(), id))
        files.RemoveFile(StatePath(spool, id).c_str());
    }
  }
  std::stable_sort(out.begin(), out.end(), [](const WaitingReport& a, const WaitingReport& b) {
    return a.spooled_at < b.spooled_at;
  });
  return out;
}

// A report claimed for an append: its file open and locked, so that no
// other deliverer appends it meanwhile. The lock goes with the descriptor.
class Claim {
 public:
  Claim(const Spool& spool, const std::string& id) {
    vel::os::FileSystem& files = vel::os::Files();
    uint64_t size = 0;
    fd_ = files.OpenRegularFile(ReportPath(spool, id).c_str(), &size, false);
    if (fd_ < 0) return;
    vel::os::FileInfo info;
    // Another deliverer may have appended and removed it between the open
    // and the lock.
    if (!files.TryLockFile(fd_) || !files.StatFile(fd_, &info) || info.links == 0) {
      files.CloseFile(fd_);
      fd_ = -1;
      return;
    }
    spooled_at_ = info.modified_ns / 1000000000;
  }
  ~Claim() {
    if (fd_ >= 0) vel::os::Files().CloseFile(fd_);
  }
  Claim(const Claim&) = delete;
  Claim& operator=(const Claim&) = delete;
  bool held() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  int64_t spooled_at() const { return spooled_at_; }

 private:
  int fd_ = -1;
  int64_t spooled_at_ = 0;
};

// A failed attempt at a claimed report: its state records it and the next
// attempt waits as a message's would, from the failure on (an attempt may
// have waited out a time-out); once the report has been spooled for
// retry_for it is removed instead.
void Defer(const Config& config, const Spool& spool, const std::string& id, const std::string& user,
           int64_t spooled_at, const std::string& error, DeliveryState state, ReportRound* round) {
  const int64_t now = std::time(nullptr);
  ++state.attempts;
  state.last_reply = error;
  round->last_error = error;
  const int64_t age = now - spooled_at;
  const std::string what = ("report " + id).append(" for ").append(user);
  if (age >= static_cast<int64_t>(config.retry_for)) {
    RemoveReport(spool, id);
    ++round->expired;
    Log(config.log, what + " expired: not appended in " + std::to_string(config.retry_for) +
                        " seconds (" + std::to_string(state.attempts) +
                        " attempts); last error: " + error);
    return;
  }
  const int64_t delay = config.RetryDelay(age);
  state.next_attempt = now + delay;
  ++round->waiting;
  if (!SaveReportState(spool, id, state))
    Log(config.log, what + ": its delivery state could not be written");
  Log(config.log, what + ": attempt " + std::to_string(state.attempts) + " failed, next in " +
                      std::to_string(delay) + " seconds: " + error);
}

// A round's appends for one user, over one connection: once it cannot be
// made or is lost, the user's other reports are deferred with that error.
void AppendFor(const Config& config, const Spool& spool, const std::string& user,
               const std::string& password, const std::vector<std::string>& ids, bool force,
               int64_t now, ReportRound* round) {
  ImapConnection imap(config, user, password);
  bool connected = false;
  std::optional<ImapResult> down;
  for (const std::string& id : ids) {
    Claim claim(spool, id);
    if (!claim.held()) continue;  // appended, or being appended, by another deliverer
    const DeliveryState state = LoadReportState(spool, id);
    if (!force && config.DueAt(state.next_attempt, now) > now) {  // attempted meanwhile
      ++round->waiting;
      continue;
    }
    if (!down && !connected) {
      imap.Begin(nullptr);
      bool changed = false;
      ImapResult r = imap.Poll(&changed);
      if (r.ok())
        connected = true;
      else
        down = r;
    }
    ImapResult result;
    std::string owner;
    uint64_t offset = 0;
    std::optional<std::string> text;
    if (down) {
      result = *down;
    } else if (!ReadHead(claim.fd(), &owner, &offset) || owner != user ||
               !(text = ReadRest(claim.fd(), offset, kReportLimit))) {
      result = {CURLE_READ_ERROR, "the spooled report cannot be read"};
    } else {
      imap.Begin(nullptr);
      result = imap.Append(*text);
      // A refusal of this report leaves the connection for the others.
      if (!result.ok() && result.code != CURLE_QUOTE_ERROR) down = result;
    }
    if (result.ok()) {
      RemoveReport(spool, id);  // under the claim, so that nobody appends it again
      ++round->appended;
      Log(config.log, ("report " + id).append(" appended to the mailbox of ").append(user));
      continue;
    }
    Defer(config, spool, id, user, claim.spooled_at(), result.error, state, round);
  }
}

}  // namespace

std::vector<WaitingReport> WaitingReports(const Spool& spool) { return ListReports(spool, false); }

ReportRound DeliverReports(const Config& config,
                           const std::map<std::string, std::string>& credentials, bool force) {
  ReportRound round;
  try {
    const Spool spool(config.spool);
    const int64_t now = std::time(nullptr);
    std::map<std::string, std::vector<std::string>> due;  // per user, oldest first
    for (const WaitingReport& report : ListReports(spool, true)) {
      const auto* known = CredentialsOf(credentials, report.user);
      if (known == nullptr) continue;
      if (!force && config.DueAt(report.state.next_attempt, now) > now) {
        ++round.waiting;
        continue;
      }
      due[known->first].push_back(report.id);
    }
    for (const auto& [user, ids] : due)
      AppendFor(config, spool, user, credentials.at(user), ids, force, now, &round);
  } catch (const std::bad_alloc&) {
    Log(config.log, "a round of report appends stopped: out of memory");
  }
  return round;
}

ReportDelivery::~ReportDelivery() {
  {
    vel::os::MutexLock lock(mutex_);
    stop_ = true;
  }
  more_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void ReportDelivery::Post(const Config& config,
                          const std::map<std::string, std::string>& credentials) {
  if (credentials.empty()) return;
  {
    vel::os::MutexLock lock(mutex_);
    next_.emplace(config, credentials);
    if (!thread_.joinable()) {
      try {
        thread_ = std::thread([this] { Run(); });
      } catch (const std::system_error&) {
        next_.reset();
        lock.Unlock();
        DeliverReports(config, credentials);
        return;
      }
    }
  }
  more_.notify_all();
}

void ReportDelivery::Run() {
  vel::os::MutexLock lock(mutex_);
  for (;;) {
    while (!stop_ && !next_) lock.Wait(more_);
    if (stop_) return;
    const Work work = std::move(*next_);
    next_.reset();
    lock.Unlock();
    DeliverReports(work.first, work.second);
    lock.Lock();
  }
}
}  // namespace velnet
