#include "spool.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <random>

#include "platform.h"

namespace velnet {
namespace {

constexpr const char kHeadUser[] = "User: ";
constexpr const char kHeadFrom[] = "From: ";
constexpr const char kHeadTo[] = "To: ";

// Header lines must stay one line each: a line end in a value is dropped.
std::string OneLine(const std::string& s) {
  std::string out;
  for (char c : s)
    if (c != '\n' && c != '\r') out += c;
  return out;
}

std::optional<std::string> ReadSmallFile(const std::string& path, size_t limit) {
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string out;
  char buf[8192];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
    if (out.size() > limit) break;
  }
  close(fd);
  return out;
}

std::vector<std::string> ListIds(const std::string& dir, const char* suffix) {
  std::vector<std::string> ids;
  DIR* d = opendir(dir.c_str());
  if (!d) return ids;
  const size_t suffix_length = std::strlen(suffix);
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name.size() > suffix_length &&
        name.compare(name.size() - suffix_length, suffix_length, suffix) == 0 && name[0] != '.')
      ids.push_back(name.substr(0, name.size() - suffix_length));
  }
  closedir(d);
  std::sort(ids.begin(), ids.end());  // ids start with the time they were spooled
  return ids;
}

std::string NewId() {
  static std::atomic<uint32_t> counter{0};
  static thread_local std::mt19937_64 random(std::random_device{}());
  auto now = std::chrono::system_clock::now().time_since_epoch();
  auto us = std::chrono::duration_cast<std::chrono::microseconds>(now).count();
  char id[96];
  std::snprintf(id, sizeof id, "%013lld.%u.%u.%08llx", static_cast<long long>(us),
                vel::os::ProcessId(), counter.fetch_add(1),
                static_cast<unsigned long long>(random() & 0xffffffffu));
  return id;
}

bool Durable(const std::string& path, const std::string& data) {
  return vel::os::WriteNewFileDurably(path.c_str(), data.data(), data.size());
}

// Writes a file in tmp/ and renames it to target, durably.
bool Replace(const std::string& tmp, const std::string& target, const std::string& dir,
             const std::string& data) {
  unlink(tmp.c_str());
  if (!Durable(tmp, data)) return false;
  if (rename(tmp.c_str(), target.c_str()) != 0) {
    unlink(tmp.c_str());
    return false;
  }
  return vel::os::SyncDirectory(dir.c_str());
}

bool ValidId(const std::string& id) {
  return !id.empty() && id.find('/') == std::string::npos && id[0] != '.';
}

}  // namespace

std::vector<std::string> DeliveryState::Pending(const Envelope& envelope) const {
  std::vector<std::string> out;
  for (const std::string& r : envelope.recipients) {
    bool done = std::find(accepted.begin(), accepted.end(), r) != accepted.end() ||
                std::any_of(refused.begin(), refused.end(), [&](auto& p) { return p.first == r; });
    if (!done) out.push_back(r);
  }
  return out;
}

std::string FormatEnvelope(const Envelope& e) {
  std::string out = kHeadUser + OneLine(e.user) + "\n" + kHeadFrom + OneLine(e.from) + "\n";
  for (const std::string& r : e.recipients) out += kHeadTo + OneLine(r) + "\n";
  return out + "\n";
}

std::string FormatState(const DeliveryState& s) {
  std::string out =
      "attempts " + std::to_string(s.attempts) + "\nnext " + std::to_string(s.next_attempt) + "\n";
  for (const std::string& a : s.accepted) out += "accepted " + OneLine(a) + "\n";
  for (const auto& [who, reply] : s.refused)
    out += "refused " + OneLine(who) + " " + OneLine(reply) + "\n";
  if (!s.last_reply.empty()) out += "reply " + OneLine(s.last_reply) + "\n";
  return out;
}

DeliveryState ParseState(const std::string& text) {
  DeliveryState s;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    size_t space = line.find(' ');
    if (space == std::string::npos) continue;
    std::string key = line.substr(0, space), value = line.substr(space + 1);
    if (key == "attempts")
      s.attempts = static_cast<uint32_t>(std::strtoul(value.c_str(), nullptr, 10));
    else if (key == "next")
      s.next_attempt = std::strtoll(value.c_str(), nullptr, 10);
    else if (key == "accepted")
      s.accepted.push_back(value);
    else if (key == "reply")
      s.last_reply = value;
    else if (key == "refused") {
      size_t sp = value.find(' ');
      s.refused.emplace_back(value.substr(0, sp),
                             sp == std::string::npos ? "" : value.substr(sp + 1));
    }
  }
  return s;
}

std::string Spool::Path(const char* dir, const std::string& name) const {
  return root_ + "/" + dir + (name.empty() ? "" : "/" + name);
}

bool Spool::Prepare(std::string* error) const {
  for (const std::string& dir : {root_, Path("tmp", ""), Path("queue", ""), Path("failed", "")}) {
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
      *error = "spool directory " + dir + " cannot be made: " + std::strerror(errno);
      return false;
    }
    struct stat st {};
    if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      *error = "spool directory " + dir + " is not a directory";
      return false;
    }
  }
  return true;
}

CMC_return_code Spool::Add(const Envelope& envelope, const std::string& message, std::string* id,
                           std::string* error) const {
  *id = NewId();
  const std::string tmp = Path("tmp", *id), target = Path("queue", *id + ".msg");
  const std::string data = FormatEnvelope(envelope) + message;
  if (!Durable(tmp, data)) {
    int err = vel::os::LastError();
    *error = "spooling to " + tmp + " failed: " + std::strerror(err);
    return (err == ENOSPC || err == EDQUOT) ? CMC_E_DISK_FULL : CMC_E_FAILURE;
  }
  if (rename(tmp.c_str(), target.c_str()) != 0 ||
      !vel::os::SyncDirectory(Path("queue", "").c_str())) {
    *error = "spooling to " + target + " failed: " + std::strerror(errno);
    unlink(tmp.c_str());
    unlink(target.c_str());
    return CMC_E_FAILURE;
  }
  return CMC_SUCCESS;
}

std::vector<std::string> Spool::Queued() const { return ListIds(Path("queue", ""), ".msg"); }
std::vector<std::string> Spool::Failed() const { return ListIds(Path("failed", ""), ".msg"); }

std::optional<SpoolEntry> Spool::Load(const std::string& id, bool failed,
                                      uint64_t* body_offset) const {
  if (!ValidId(id)) return std::nullopt;
  const char* dir = failed ? "failed" : "queue";
  // The envelope is small; more than this is no envelope of ours.
  auto head = ReadSmallFile(Path(dir, id + ".msg"), 1 << 20);
  if (!head) return std::nullopt;
  size_t end = head->find("\n\n");
  if (end == std::string::npos) return std::nullopt;
  SpoolEntry entry;
  entry.id = id;
  size_t pos = 0;
  while (pos < end) {
    size_t eol = head->find('\n', pos);
    std::string line = head->substr(pos, eol - pos);
    pos = eol + 1;
    if (line.rfind(kHeadUser, 0) == 0)
      entry.envelope.user = line.substr(sizeof kHeadUser - 1);
    else if (line.rfind(kHeadFrom, 0) == 0)
      entry.envelope.from = line.substr(sizeof kHeadFrom - 1);
    else if (line.rfind(kHeadTo, 0) == 0)
      entry.envelope.recipients.push_back(line.substr(sizeof kHeadTo - 1));
  }
  if (body_offset) *body_offset = end + 2;
  if (auto state = ReadSmallFile(Path(dir, id + ".state"), 1 << 20))
    entry.state = ParseState(*state);
  return entry;
}

int Spool::OpenLocked(const std::string& id) const {
  if (!ValidId(id)) return -1;
  int fd = open(Path("queue", id + ".msg").c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return -1;
  }
  // Another deliverer may have finished it between the open and the lock.
  struct stat st {};
  if (fstat(fd, &st) != 0 || st.st_nlink == 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool Spool::SaveState(const std::string& id, const DeliveryState& state) const {
  return Replace(Path("tmp", id + ".state"), Path("queue", id + ".state"), Path("queue", ""),
                 FormatState(state));
}

bool Spool::Finish(const std::string& id, const Envelope& envelope,
                   const DeliveryState& state) const {
  if (!state.accepted.empty()) {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &tm);
    std::string line = std::string(stamp) + " " + id + " user=" + OneLine(envelope.user) + " to=";
    for (size_t i = 0; i < state.accepted.size(); ++i)
      line += (i ? "," : "") + OneLine(state.accepted[i]);
    line += " reply=" + OneLine(state.last_reply) + "\n";
    int fd = open(Path("sent.log", "").c_str(),
                  O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    bool ok =
        write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size()) && fsync(fd) == 0;
    close(fd);
    if (!ok) return false;
  }
  if (!state.refused.empty()) {
    // The state goes first: a failed message is never without its reply.
    if (!Replace(Path("tmp", id + ".state"), Path("failed", id + ".state"), Path("failed", ""),
                 FormatState(state)))
      return false;
    if (rename(Path("queue", id + ".msg").c_str(), Path("failed", id + ".msg").c_str()) != 0)
      return false;
    vel::os::SyncDirectory(Path("failed", "").c_str());
  } else {
    unlink(Path("queue", id + ".msg").c_str());
  }
  unlink(Path("queue", id + ".state").c_str());
  return vel::os::SyncDirectory(Path("queue", "").c_str());
}

std::vector<std::string> Spool::SentLog() const {
  std::vector<std::string> lines;
  auto text = ReadSmallFile(Path("sent.log", ""), 64u << 20);
  if (!text) return lines;
  size_t pos = 0;
  while (pos < text->size()) {
    size_t end = text->find('\n', pos);
    if (end == std::string::npos) end = text->size();
    lines.push_back(text->substr(pos, end - pos));
    pos = end + 1;
  }
  return lines;
}

}  // namespace velnet
