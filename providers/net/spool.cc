#include "net/spool.h"

#include <glib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <map>
#include <random>

#include "common/write_failure.h"
#include "file_system.h"
#include "mutex.h"
#include "net/config.h"
#include "outbox_list.h"
#include "platform.h"

namespace velnet {
namespace {

constexpr const char kCheck[] = "VELNET-SPOOL 2 ";
constexpr const char kHeadUser[] = "User: ";
constexpr const char kHeadFrom[] = "From: ";
constexpr const char kHeadQueued[] = "Queued: ";
constexpr const char kHeadTo[] = "To: ";
// The envelope is small; more than this is no envelope of ours.
constexpr size_t kEnvelopeLimit = 1 << 20;
// A file in tmp/ untouched for this long was left by a crash while spooling.
constexpr int64_t kStaleTmpSeconds = 3600;
// Emptied files of delivered messages kept in queue/ for new ones, at
// most this many as far as this process knows.
constexpr size_t kSpareLimit = 256;
// When this process knows of no spare, queue/ is listed again after this
// long (or once this process made one).
constexpr auto kSpareRelist = std::chrono::seconds(1);
// A spare's name: <id>.fresh once it is empty, <id>.free once that name
// is on disk (only those are taken).
constexpr const char kFresh[] = ".fresh";
constexpr const char kFree[] = ".free";

// Header lines must stay one line each: a line end in a value is dropped.
std::string OneLine(const std::string& s) {
  std::string out;
  for (char c : s)
    if (c != '\n' && c != '\r') out += c;
  return out;
}

std::optional<std::string> ReadSmallFile(const std::string& path, size_t limit) {
  vel::os::FileSystem& files = vel::os::Files();
  uint64_t size = 0;
  int fd = files.OpenRegularFile(path.c_str(), &size, false);
  if (fd < 0) return std::nullopt;
  std::string out;
  char buf[8192];
  for (;;) {
    int64_t n = files.ReadFile(fd, buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
    if (out.size() > limit) break;
  }
  files.CloseFile(fd);
  return out;
}

std::vector<std::string> ListIds(const std::string& dir, const char* suffix) {
  std::vector<std::string> ids;
  std::vector<vel::os::DirectoryEntry> entries;
  if (!vel::os::Files().ListDirectory(dir.c_str(), &entries)) return ids;
  const size_t suffix_length = std::strlen(suffix);
  for (const vel::os::DirectoryEntry& entry : entries) {
    const std::string& name = entry.name;
    if (name.size() > suffix_length &&
        name.compare(name.size() - suffix_length, suffix_length, suffix) == 0 && name[0] != '.')
      ids.push_back(name.substr(0, name.size() - suffix_length));
  }
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
  return vel::os::Files().WriteNewFileDurably(path.c_str(), data.data(), data.size());
}

// Writes a file in tmp/ and renames it to target, durably.
bool Replace(const std::string& tmp, const std::string& target, const std::string& dir,
             const std::string& data) {
  vel::os::FileSystem& files = vel::os::Files();
  files.RemoveFile(tmp.c_str());
  if (!Durable(tmp, data)) {
    files.RemoveFile(tmp.c_str());
    return false;
  }
  if (!files.Rename(tmp.c_str(), target.c_str())) {
    files.RemoveFile(tmp.c_str());
    return false;
  }
  return vel::os::Files().SyncDirectory(dir.c_str());
}

bool ValidId(const std::string& id) {
  return !id.empty() && id.find('/') == std::string::npos && id[0] != '.';
}

// The spooling time an id starts with (microseconds), for files that do
// not record it.
int64_t TimeOfId(const std::string& id) { return std::strtoll(id.c_str(), nullptr, 10) / 1000000; }

std::string Hex(const std::string& s) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : s) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

// SHA-256 of data, hex.
class Checksum {
 public:
  Checksum() : sum_(g_checksum_new(G_CHECKSUM_SHA256)) {}
  ~Checksum() { g_checksum_free(sum_); }
  Checksum(const Checksum&) = delete;
  Checksum& operator=(const Checksum&) = delete;
  void Add(const char* data, size_t size) {
    g_checksum_update(sum_, reinterpret_cast<const guchar*>(data), static_cast<gssize>(size));
  }
  std::string Hex() const { return g_checksum_get_string(sum_); }

 private:
  GChecksum* sum_;
};

// States whose file could not be written, by spool and id: this process
// goes by them instead of the file (see SaveState).
vel::os::Mutex unsaved_mutex;
std::map<std::string, DeliveryState>& Unsaved() VEL_REQUIRES(unsaved_mutex) {
  static auto* unsaved = new std::map<std::string, DeliveryState>();
  return *unsaved;
}

// The spares in each spool's queue/ as this process knows them (their
// ids): listed when it knows of none (at most once a second while there
// are none), added to when it makes one. Another process may have taken a
// listed one; taking it tells.
class Spares {
 public:
  static Spares& Instance() {
    static auto* spares = new Spares();  // never destroyed: threads may use it at exit
    return *spares;
  }
  std::optional<std::string> Take(const std::string& dir) {
    vel::os::MutexLock lock(mutex_);
    Known& known = known_[dir];
    if (known.names.empty()) {
      const auto now = std::chrono::steady_clock::now();
      if (known.listed && now - known.listed_at < kSpareRelist) return std::nullopt;
      known.listed = true;
      known.listed_at = now;
      for (const std::string& id : ListIds(dir, kFree))
        if (known.names.size() < kSpareLimit) known.names.push_back(id);
      if (known.names.empty()) return std::nullopt;
    }
    std::string name = std::move(known.names.back());
    known.names.pop_back();
    return name;
  }
  // False when enough are known already.
  bool Room(const std::string& dir) {
    vel::os::MutexLock lock(mutex_);
    return known_[dir].names.size() < kSpareLimit;
  }
  void Put(const std::string& dir, const std::string& name) {
    vel::os::MutexLock lock(mutex_);
    Known& known = known_[dir];
    known.names.push_back(name);
    known.listed = false;
  }

 private:
  struct Known {
    std::vector<std::string> names;
    bool listed = false;
    std::chrono::steady_clock::time_point listed_at;
  };
  vel::os::Mutex mutex_;
  std::map<std::string, Known> known_ VEL_GUARDED_BY(mutex_);
};

}  // namespace

std::vector<std::string> DeliveryState::Pending(const Envelope& envelope) const {
  std::vector<std::string> out;
  for (const std::string& r : envelope.recipients) {
    bool done = Accepted(r) ||
                std::any_of(refused.begin(), refused.end(), [&](auto& p) { return p.first == r; });
    if (!done) out.push_back(r);
  }
  return out;
}

bool DeliveryState::Accepted(const std::string& recipient) const {
  return std::any_of(accepted.begin(), accepted.end(),
                     [&](auto& p) { return p.first == recipient; });
}

std::string FormatEnvelope(const Envelope& e) {
  std::string out = kHeadUser + OneLine(e.user) + "\n" + kHeadFrom + OneLine(e.from) + "\n" +
                    kHeadQueued + std::to_string(e.queued_at) + "\n";
  for (const std::string& r : e.recipients) out += kHeadTo + OneLine(r) + "\n";
  return out + "\n";
}

std::string FormatState(const DeliveryState& s) {
  std::string out =
      "attempts " + std::to_string(s.attempts) + "\nnext " + std::to_string(s.next_attempt) + "\n";
  for (const auto& [who, reply] : s.accepted)
    out += "accepted " + OneLine(who) + " " + OneLine(reply) + "\n";
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
    size_t sp = value.find(' ');
    std::string who = value.substr(0, sp),
                reply = sp == std::string::npos ? "" : value.substr(sp + 1);
    if (key == "attempts")
      s.attempts = static_cast<uint32_t>(std::strtoul(value.c_str(), nullptr, 10));
    else if (key == "next")
      s.next_attempt = std::strtoll(value.c_str(), nullptr, 10);
    else if (key == "accepted")
      s.accepted.emplace_back(who, reply);
    else if (key == "reply")
      s.last_reply = value;
    else if (key == "refused")
      s.refused.emplace_back(who, reply);
  }
  return s;
}

std::string Spool::Path(const char* dir, const std::string& name) const {
  return root_ + "/" + dir + (name.empty() ? "" : "/" + name);
}

bool Spool::Prepare(std::string* error) const {
  vel::os::FileSystem& files = vel::os::Files();
  for (const std::string& dir : {root_, Path("tmp", ""), Path("queue", ""), Path("failed", ""),
                                 Path("quarantine", ""), Path("holds", ""), Path("reports", "")}) {
    if (!files.CreatePrivateDirectory(dir.c_str()) && vel::os::LastError() != ENOTDIR) {
      *error = "spool directory " + dir + " cannot be made: " + std::strerror(vel::os::LastError());
      return false;
    }
    vel::os::FileInfo info;
    if (!files.Stat(dir.c_str(), &info, false) || info.type != vel::os::FileType::kDirectory) {
      *error = "spool directory " + dir + " is not a directory";
      return false;
    }
    if (info.owner != vel::os::CurrentUserId()) {
      *error = "spool directory " + dir + " belongs to another user (uid " +
               std::to_string(info.owner) + ")";
      return false;
    }
    if (info.mode != 0700 && !files.MakePrivate(dir.c_str())) {
      *error = "spool directory " + dir +
               " cannot be made owner-only: " + std::strerror(vel::os::LastError());
      return false;
    }
  }
  // What a crash while spooling left behind: a file nobody has written to
  // for an hour is no spooling under way.
  const std::string tmp = Path("tmp", "");
  std::vector<vel::os::DirectoryEntry> entries;
  files.ListDirectory(tmp.c_str(), &entries);
  const int64_t now = std::time(nullptr);
  for (const vel::os::DirectoryEntry& entry : entries) {
    if (entry.name[0] == '.' || entry.type == vel::os::FileType::kDirectory) continue;
    const std::string path = tmp + "/" + entry.name;
    // A delivered message's file on its way to become a spare goes at
    // once: it holds that message's text until it is emptied.
    const std::string name = entry.name;
    const bool spare = name.size() > 6 && name.compare(name.size() - 6, 6, ".spare") == 0;
    vel::os::FileInfo info;
    if (spare || (files.Stat(path.c_str(), &info, false) &&
                  now - info.modified_ns / 1000000000 > kStaleTmpSeconds))
      files.RemoveFile(path.c_str());
  }
  RecoverSpares();
  return true;
}

CMC_return_code Spool::Add(const Envelope& envelope, const std::string& message, std::string* id,
                           std::string* error) const {
  return Add(
      envelope,
      [&](int fd) -> CMC_return_code {
        if (vel::os::Files().WriteFile(fd, message.data(), message.size())) return CMC_SUCCESS;
        return velproviders::WriteFailureCode(vel::os::LastError(), CMC_E_FAILURE);
      },
      UINT64_MAX, id, error);
}

CMC_return_code Spool::Add(const Envelope& envelope, const MessageWriter& write, uint64_t limit,
                           std::string* id, std::string* error) const {
  *id = NewId();
  const std::string tmp = Path("tmp", *id), target = Path("queue", *id + ".msg");
  Envelope stamped = envelope;
  if (stamped.queued_at == 0) stamped.queued_at = std::time(nullptr);
  const std::string head = FormatEnvelope(stamped);
  vel::os::FileSystem& files = vel::os::Files();
  // The check line goes first with room for any length and its checksum;
  // both are known once the message is written, and are written over it.
  char placeholder[128];
  std::snprintf(placeholder, sizeof placeholder, "%s%020llu %064d\n", kCheck, 0ULL, 0);
  const uint64_t head_at = std::strlen(placeholder);
  // Into a spare when there is one (its name already on disk), else into
  // a new file in tmp/.
  std::string written;
  int fd = ClaimSpare(&written);
  const bool spare = fd >= 0;
  if (!spare) {
    written = tmp;
    fd = files.CreateNewFile(tmp.c_str());
  }
  if (fd < 0) {
    *error = "spooling to " + tmp + " failed: " + std::strerror(vel::os::LastError());
    return velproviders::WriteFailureCode(vel::os::LastError(), CMC_E_FAILURE);
  }
  auto failed = [&](CMC_return_code rc, const std::string& why) {
    if (spare) {
      // Emptied first: a spare found whole after a crash is queued, and
      // this message was reported as not sent.
      files.TruncateFile(fd, 0);
      files.SyncFile(fd);
    }
    files.RemoveFile(written.c_str());  // (the spare still locked)
    files.CloseFile(fd);
    *error = "spooling to " + written + " failed: " + why;
    return rc;
  };
  auto write_failure = [&]() {
    const int32_t err = vel::os::LastError();
    return failed(velproviders::WriteFailureCode(err, CMC_E_FAILURE), std::strerror(err));
  };
  if (!files.WriteFile(fd, placeholder, head_at) || !files.WriteFile(fd, head.data(), head.size()))
    return write_failure();
  if (CMC_return_code rc = write(fd)) {
    const int32_t err = vel::os::LastError();
    return failed(rc, err != 0 ? std::strerror(err) : "the message could not be written");
  }
  vel::os::FileInfo info;
  if (!files.StatFile(fd, &info)) return write_failure();
  const uint64_t length = info.size - head_at;
  if (length - head.size() > limit)
    return failed(CMC_E_TEXT_TOO_LARGE, "the message is larger than max_message_bytes");
  // The checksum of what reached the file, read back (from the cache).
  Checksum sum;
  std::vector<char> buf(1 << 16);
  for (uint64_t at = head_at; at < info.size;) {
    const int64_t got = files.ReadFileAt(fd, buf.data(), buf.size(), at);
    if (got <= 0) return write_failure();
    sum.Add(buf.data(), static_cast<size_t>(got));
    at += static_cast<uint64_t>(got);
  }
  char check[128];
  std::snprintf(check, sizeof check, "%s%020llu %s\n", kCheck,
                static_cast<unsigned long long>(length), sum.Hex().c_str());
  if (std::strlen(check) != head_at || !files.WriteFileAt(fd, check, head_at, 0) ||
      !files.SyncFile(fd))
    return write_failure();
  if (spare) {
    // The message is on disk under the spare's name, which is on disk too:
    // the new name need not be (after a crash, RecoverSpares queues it).
    if (!files.Rename(written.c_str(), target.c_str())) return write_failure();
    files.CloseFile(fd);
    return CMC_SUCCESS;
  }
  if (!files.CloseFile(fd)) {
    fd = -1;
    return write_failure();
  }
  if (!files.Rename(tmp.c_str(), target.c_str()) ||
      !files.SyncDirectory(Path("queue", "").c_str())) {
    *error = "spooling to " + target + " failed: " + std::strerror(vel::os::LastError());
    files.RemoveFile(tmp.c_str());
    files.RemoveFile(target.c_str());
    return CMC_E_FAILURE;
  }
  return CMC_SUCCESS;
}

int Spool::ClaimSpare(std::string* claimed) const {
  vel::os::FileSystem& files = vel::os::Files();
  const std::string dir = Path("queue", "");
  for (int tries = 0; tries < 8; ++tries) {
    std::optional<std::string> id = Spares::Instance().Take(dir);
    if (!id) return -1;
    *claimed = Path("queue", *id + kFree);
    int fd = files.OpenExistingFile(claimed->c_str());
    if (fd < 0) continue;  // taken meanwhile
    // The lock makes it this spooling's alone; one that another spooling
    // took meanwhile has another name by the time the lock is had.
    vel::os::FileInfo info, named;
    if (files.TryLockFile(fd) && files.StatFile(fd, &info) && info.links == 1 &&
        files.Stat(claimed->c_str(), &named, false) && named.inode == info.inode &&
        named.device == info.device && files.TruncateFile(fd, 0))
      return fd;
    files.CloseFile(fd);
  }
  return -1;
}

bool Spool::Retire(const std::string& id, bool* spare) const {
  vel::os::FileSystem& files = vel::os::Files();
  {
    vel::os::MutexLock lock(unsaved_mutex);
    Unsaved().erase(root_ + "/" + id);
  }
  // Out of the queue under a name of its own in tmp/, where Reuse empties
  // it; a file with other names (a link made outside the spool) or one
  // too many for the spares kept is removed instead.
  const std::string queued = Path("queue", id + ".msg"), emptied = Path("tmp", id + ".spare");
  vel::os::FileInfo info;
  *spare = Spares::Instance().Room(Path("queue", "")) && files.Stat(queued.c_str(), &info, false) &&
           info.type == vel::os::FileType::kRegular && info.links == 1 &&
           files.Rename(queued.c_str(), emptied.c_str());
  if (!*spare && !files.RemoveFile(queued.c_str()) && vel::os::LastError() != ENOENT) return false;
  files.RemoveFile(Path("queue", id + ".state").c_str());
  return files.SyncDirectory(Path("queue", "").c_str());
}

bool Spool::Reuse(const std::string& id) const {
  vel::os::FileSystem& files = vel::os::Files();
  // Emptied on disk before it comes back as a spare: a spare never holds
  // a message that was delivered.
  const std::string emptied = Path("tmp", id + ".spare");
  int fd = files.OpenExistingFile(emptied.c_str());
  const bool empty = fd >= 0 && files.TruncateFile(fd, 0) && files.SyncFile(fd);
  if (fd >= 0) files.CloseFile(fd);
  const std::string fresh = Path("queue", id + kFresh);
  if (!empty || !files.Rename(emptied.c_str(), fresh.c_str())) {
    files.RemoveFile(emptied.c_str());
    return false;
  }
  // It may be taken once its name is on disk.
  if (!files.SyncDirectory(Path("queue", "").c_str())) return false;
  if (files.Rename(fresh.c_str(), Path("queue", id + kFree).c_str()))
    Spares::Instance().Put(Path("queue", ""), id);
  return true;
}

void Spool::RecoverSpares() const {
  vel::os::FileSystem& files = vel::os::Files();
  const std::string dir = Path("queue", "");
  bool synced = false;
  for (const char* suffix : {kFree, kFresh}) {
    for (const std::string& spare : ListIds(dir, suffix)) {
      const std::string path = Path("queue", spare + suffix);
      vel::os::FileInfo info;
      if (!files.Stat(path.c_str(), &info, false)) continue;
      if (info.size == 0) {
        // A fresh spare whose process ended before it could be taken: it
        // may be, once its name is on disk.
        if (std::strcmp(suffix, kFresh) == 0 &&
            (synced || (synced = files.SyncDirectory(dir.c_str()))))
          files.Rename(path.c_str(), Path("queue", spare + kFree).c_str());
        continue;
      }
      int fd = files.OpenExistingFile(path.c_str());
      if (fd < 0) continue;
      if (!files.TryLockFile(fd) || !files.StatFile(fd, &info)) {  // being written
        files.CloseFile(fd);
        continue;
      }
      std::string damage;
      std::optional<SpoolEntry> entry = LoadFile(fd, info.size, spare, &damage);
      if (entry && entry->verified && Verify(fd, *entry).empty()) {
        // A message spooled into it whose new name a crash took: queued
        // under a name of its own, of the time it was spooled.
        char id[160];
        std::snprintf(id, sizeof id, "%013lld.%s",
                      static_cast<long long>(entry->envelope.queued_at) * 1000000, spare.c_str());
        if (files.Rename(path.c_str(), Path("queue", std::string(id) + ".msg").c_str()))
          files.SyncDirectory(dir.c_str());
      } else {
        files.TruncateFile(fd, 0);  // what a spooling cut short left: nothing queued
      }
      files.CloseFile(fd);
    }
  }
}

std::vector<std::string> Spool::Queued() const { return ListIds(Path("queue", ""), ".msg"); }
std::vector<std::string> Spool::Failed() const { return ListIds(Path("failed", ""), ".msg"); }

std::vector<Quarantined> Spool::Quarantine() const {
  std::vector<Quarantined> out;
  for (const std::string& id : ListIds(Path("quarantine", ""), ".msg")) {
    auto why = ReadSmallFile(Path("quarantine", id + ".why"), 4096);
    out.push_back({id, why ? OneLine(*why) : "(reason not recorded)"});
  }
  return out;
}

std::optional<SpoolEntry> Spool::Load(const std::string& id, bool failed,
                                      std::string* damage) const {
  std::string ignored;
  if (damage == nullptr) damage = &ignored;
  damage->clear();
  if (!ValidId(id)) return std::nullopt;
  const char* dir = failed ? "failed" : "queue";
  const std::string path = Path(dir, id + ".msg");
  vel::os::FileSystem& files = vel::os::Files();
  uint64_t size = 0;
  int fd = files.OpenRegularFile(path.c_str(), &size, false);
  if (fd < 0) {
    const int32_t err = vel::os::LastError();
    if (err == EINVAL)
      *damage = "it is not a regular file";
    else if (err != ENOENT)
      *damage = std::string("it cannot be opened: ") + std::strerror(err);
    return std::nullopt;
  }
  std::optional<SpoolEntry> entry = LoadFile(fd, size, id, damage);
  files.CloseFile(fd);
  if (!entry) return entry;
  {
    vel::os::MutexLock lock(unsaved_mutex);
    auto it = Unsaved().find(root_ + "/" + id);
    if (it != Unsaved().end()) {
      entry->state = it->second;
      return entry;
    }
  }
  if (auto state = ReadSmallFile(Path(dir, id + ".state"), 1 << 20))
    entry->state = ParseState(*state);
  return entry;
}

std::optional<SpoolEntry> Spool::LoadFile(int fd, uint64_t size, const std::string& id,
                                          std::string* damage) const {
  vel::os::FileSystem& files = vel::os::Files();
  std::string head;
  char buf[8192];
  while (head.size() <= kEnvelopeLimit && head.find("\n\n") == std::string::npos) {
    int64_t n = files.ReadFileAt(fd, buf, sizeof buf, head.size());
    if (n <= 0) break;
    head.append(buf, static_cast<size_t>(n));
  }

  SpoolEntry entry;
  entry.id = id;
  size_t pos = 0;
  uint64_t declared = 0;
  if (head.rfind(kCheck, 0) == 0) {
    const size_t eol = head.find('\n');
    std::string line;
    if (eol != std::string::npos) line = head.substr(sizeof kCheck - 1, eol - (sizeof kCheck - 1));
    char* end = nullptr;
    declared = std::strtoull(line.c_str(), &end, 10);
    if (eol == std::string::npos || end == line.c_str() || *end != ' ' ||
        std::strlen(end + 1) != 64) {
      *damage = "its check line is cut or garbled";
      return std::nullopt;
    }
    pos = eol + 1;
    if (size != pos + declared) {
      *damage = "it is " + std::to_string(size) + " bytes where " + std::to_string(pos + declared) +
                " were spooled";
      return std::nullopt;
    }
  } else if (head.rfind(kHeadUser, 0) == 0) {
    entry.verified = false;  // spooled before files carried their checksum
  } else {
    *damage = "it does not start as a spooled message does";
    return std::nullopt;
  }
  entry.body_offset = pos;
  size_t end = head.find("\n\n", pos);
  if (end == std::string::npos || end < pos) {
    *damage = "its envelope is cut";
    return std::nullopt;
  }
  while (pos <= end) {
    size_t eol = head.find('\n', pos);
    std::string line = head.substr(pos, eol - pos);
    pos = eol + 1;
    if (line.rfind(kHeadUser, 0) == 0) {
      entry.envelope.user = line.substr(sizeof kHeadUser - 1);
    } else if (line.rfind(kHeadFrom, 0) == 0) {
      entry.envelope.from = line.substr(sizeof kHeadFrom - 1);
    } else if (line.rfind(kHeadQueued, 0) == 0) {
      entry.envelope.queued_at = std::strtoll(line.c_str() + sizeof kHeadQueued - 1, nullptr, 10);
    } else if (line.rfind(kHeadTo, 0) == 0) {
      entry.envelope.recipients.push_back(line.substr(sizeof kHeadTo - 1));
    } else {
      *damage = "its envelope holds a line it cannot hold";
      return std::nullopt;
    }
  }
  if (entry.envelope.user.empty() || entry.envelope.recipients.empty()) {
    *damage = "its envelope names no user or no recipient";
    return std::nullopt;
  }
  if (entry.envelope.queued_at == 0) entry.envelope.queued_at = TimeOfId(id);
  entry.message_offset = end + 2;
  return entry;
}

std::string Spool::Verify(int fd, const SpoolEntry& entry) const {
  if (!entry.verified) return "";
  char first[128];
  int64_t n = vel::os::Files().ReadFileAt(fd, first, sizeof first - 1, 0);
  if (n <= 0) return "it cannot be read";
  first[n] = '\0';
  const char* expected = std::strchr(first, ' ');
  expected = expected ? std::strchr(expected + 1, ' ') : nullptr;
  expected = expected ? std::strchr(expected + 1, ' ') : nullptr;
  if (expected == nullptr) return "its check line is garbled";
  std::string want(expected + 1, strcspn(expected + 1, "\n"));
  Checksum sum;
  uint64_t at = entry.body_offset;
  std::vector<char> buf(1 << 16);
  for (;;) {
    int64_t got = vel::os::Files().ReadFileAt(fd, buf.data(), buf.size(), at);
    if (got < 0) return std::string("it cannot be read: ") + std::strerror(vel::os::LastError());
    if (got == 0) break;
    sum.Add(buf.data(), static_cast<size_t>(got));
    at += static_cast<uint64_t>(got);
  }
  if (sum.Hex() != want) return "its checksum does not match what was spooled";
  return "";
}

int Spool::OpenLocked(const std::string& id) const {
  if (!ValidId(id)) return -1;
  vel::os::FileSystem& files = vel::os::Files();
  uint64_t size = 0;
  int fd = files.OpenRegularFile(Path("queue", id + ".msg").c_str(), &size, false);
  if (fd < 0) return -1;
  if (!files.TryLockFile(fd)) {
    files.CloseFile(fd);
    return -1;
  }
  // Another deliverer may have finished it between the open and the lock.
  vel::os::FileInfo info;
  if (!files.StatFile(fd, &info) || info.links == 0) {
    files.CloseFile(fd);
    return -1;
  }
  return fd;
}

bool Spool::SaveState(const std::string& id, const DeliveryState& state) const {
  const bool saved = Replace(Path("tmp", id + ".state"), Path("queue", id + ".state"),
                             Path("queue", ""), FormatState(state));
  vel::os::MutexLock lock(unsaved_mutex);
  if (saved)
    Unsaved().erase(root_ + "/" + id);
  else
    Unsaved()[root_ + "/" + id] = state;
  return saved;
}

bool Spool::LogSent(const std::string& id, const Envelope& envelope,
                    const std::vector<std::string>& recipients, const std::string& reply,
                    uint32_t attempts, const std::optional<std::string>& subject) const {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&now, &tm);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &tm);
  std::string line = std::string(stamp) + " " + id + " user=" + LogWord(envelope.user) +
                     " from=" + LogWord(envelope.from) + " to=";
  for (size_t i = 0; i < recipients.size(); ++i) line += (i ? "," : "") + LogWord(recipients[i]);
  if (attempts > 0) line += " attempts=" + std::to_string(attempts);
  if (subject) line += " subject=" + LogWord(*subject);
  line += " reply=" + OneLine(reply) + "\n";
  vel::os::FileSystem& files = vel::os::Files();
  int fd = files.OpenForAppend(Path("sent.log", "").c_str());
  if (fd < 0) return false;
  vel::os::FileInfo before;
  bool ok = files.StatFile(fd, &before);
  const bool written = ok && files.WriteFile(fd, line.data(), line.size());
  ok = written && files.SyncFile(fd);
  vel::os::FileInfo after;
  if (!written && files.StatFile(fd, &after) && after.size > before.size) {
    // A part of a line would run into the next one: take it back.
    files.TruncateFile(fd, before.size);
  }
  files.CloseFile(fd);
  return ok;
}

bool Spool::Finish(const std::string& id, const DeliveryState& state) const {
  if (state.refused.empty()) {
    bool spare = false;
    if (!Retire(id, &spare)) return false;
    if (spare) Reuse(id);
    return true;
  }
  {
    vel::os::MutexLock lock(unsaved_mutex);
    Unsaved().erase(root_ + "/" + id);
  }
  bool complete = true;
  // The message moves first: renaming needs no space, so a full disk
  // cannot keep it queued. Its state follows, written afresh; when that
  // fails the queued state goes with it and the log keeps the replies.
  if (!vel::os::Files().Rename(Path("queue", id + ".msg").c_str(),
                               Path("failed", id + ".msg").c_str()))
    return false;
  vel::os::Files().SyncDirectory(Path("failed", "").c_str());
  if (!Replace(Path("tmp", id + ".state"), Path("failed", id + ".state"), Path("failed", ""),
               FormatState(state))) {
    complete = false;
    vel::os::Files().Rename(Path("queue", id + ".state").c_str(),
                            Path("failed", id + ".state").c_str());
  }
  vel::os::Files().RemoveFile(Path("queue", id + ".state").c_str());
  if (!vel::os::Files().SyncDirectory(Path("queue", "").c_str())) return false;
  return complete;
}

bool Spool::Quarantine(const std::string& id, const std::string& reason) const {
  if (!ValidId(id)) return false;
  // The reason is there before the message is: whoever lists the
  // quarantine never finds a message without its reason. (A reason whose
  // message stayed queued lists nothing, and is written over if the
  // message comes again.)
  Replace(Path("tmp", id + ".why"), Path("quarantine", id + ".why"), Path("quarantine", ""),
          OneLine(reason) + "\n");
  if (!vel::os::Files().Rename(Path("queue", id + ".msg").c_str(),
                               Path("quarantine", id + ".msg").c_str()))
    return false;
  vel::os::Files().Rename(Path("queue", id + ".state").c_str(),
                          Path("quarantine", id + ".state").c_str());
  vel::os::Files().SyncDirectory(Path("quarantine", "").c_str());
  vel::os::Files().SyncDirectory(Path("queue", "").c_str());
  return true;
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

// The file in holds/ of user's hold: the user as the spool compares it, in
// hex; a name that would be too long for a file ends in the SHA-256 of
// the whole instead.
namespace {
std::string HoldName(const std::string& user) {
  std::string key = Hex(UserKey(user));
  if (key.size() <= 128) return key;
  Checksum sum;
  sum.Add(key.data(), key.size());
  return key.substr(0, 64) + "-" + sum.Hex();
}
}  // namespace

void Spool::Hold(const std::string& user, const std::string& reason) const {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&now, &tm);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &tm);
  const std::string name = HoldName(user);
  Replace(Path("tmp", name + ".hold"), Path("holds", name), Path("holds", ""),
          OneLine(user) + "\n" + stamp + " " + OneLine(reason) + "\n");
}

void Spool::Release(const std::string& user) const {
  vel::os::Files().RemoveFile(Path("holds", HoldName(user)).c_str());
}

std::vector<std::pair<std::string, std::string>> Spool::Holds() const {
  std::vector<std::pair<std::string, std::string>> out;
  for (const std::string& name : ListIds(Path("holds", ""), "")) {
    auto text = ReadSmallFile(Path("holds", name), 8192);
    if (!text) continue;
    size_t eol = text->find('\n');
    if (eol == std::string::npos) continue;
    out.emplace_back(text->substr(0, eol), OneLine(text->substr(eol + 1)));
  }
  return out;
}

}  // namespace velnet
