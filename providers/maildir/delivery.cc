#include "maildir/delivery.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <set>
#include <system_error>
#include <thread>

#include "common/write_failure.h"
#include "file_system.h"
#include "mime/names.h"
#include "platform.h"

namespace velcmc {
namespace fs = std::filesystem;

namespace {

// A journal larger than this was not written by a delivery.
constexpr size_t kMaxJournalBytes = 1 << 20;

CMC_return_code WriteFailure() {
  return velproviders::WriteFailureCode(vel::os::LastError(), CMC_E_FAILURE);
}

// A unique name as a journal may name it: one file name, not hidden.
bool IsPlainFileName(std::string_view name) {
  return !name.empty() && name.size() <= 255 && name.front() != '.' &&
         name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

// A journal is made under a hidden name and locked before it gets its own
// name, and only then written to; a delivery passes from one step to the
// next in microseconds. An empty hidden journal that nobody holds locked
// and that is older than this was left by a crash between those steps.
constexpr auto kAbandonedHiddenJournalAge = std::chrono::minutes(15);

// The hidden name a journal is made under: "." and a unique name.
bool IsHiddenJournalName(std::string_view name) {
  return name.size() > 1 && name.front() == '.' && IsPlainFileName(name.substr(1));
}

// Removes a hidden journal left by a crash (see kAbandonedHiddenJournalAge).
// One that a delivery still holds, has written to or made recently stays;
// a delivery that would find its hidden journal gone after all makes
// another (Delivery::OpenJournal).
void RemoveAbandonedHiddenJournal(const fs::path& path) {
  vel::os::FileSystem& files = vel::os::Files();
  vel::os::FileInfo info;
  if (!files.Stat(path.c_str(), &info, false)) return;
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  if (now - std::chrono::nanoseconds(info.modified_ns) < kAbandonedHiddenJournalAge) return;
  uint64_t size = 0;
  int fd = files.OpenRegularFile(path.c_str(), &size, false);
  if (fd < 0) return;  // made its delivery's own meanwhile, or gone
  if (size == 0 && files.TryLockFile(fd)) files.RemoveFile(path.c_str());
  files.CloseFile(fd);
}

// At most this many directories are flushed at the same time.
constexpr size_t kParallelSyncs = 8;

// Flushes each directory's entries to disk. A flush costs about one cache
// flush of the disk, whatever it carries, and flushes made one after the
// other wait for each other; made at the same time, from threads of their
// own, the disk's queue merges them (a hundred mailboxes: some 300 ms one
// at a time, some 25 ms together, on the machine this was measured on).
// True when every one succeeded.
bool SyncDirectories(const std::set<fs::path>& dirs) {
  const std::vector<fs::path> paths(dirs.begin(), dirs.end());
  std::atomic<size_t> next{0};
  std::atomic<bool> ok{true};
  auto work = [&] {
    for (size_t i; (i = next++) < paths.size();)
      if (!vel::os::Files().SyncDirectory(paths[i].c_str())) ok = false;
  };
  std::vector<std::thread> helpers;
  const size_t wanted = std::min(paths.size(), kParallelSyncs);
  for (size_t i = 1; i < wanted; ++i) {
    try {
      helpers.emplace_back(work);
    } catch (const std::system_error&) {
      break;  // no thread to be had: the ones there are do the rest
    }
  }
  work();
  for (std::thread& helper : helpers) helper.join();
  return ok;
}

// Errors of a hard link that mean this file system will not link here, so
// that the copy is written instead.
bool CannotLink(int error) {
  return error == EXDEV || error == EMLINK || error == EPERM || error == ENOTSUP ||
         error == EOPNOTSUPP;
}

// Reads a journal whole; false when it is too large or cannot be read.
bool ReadJournal(int fd, std::string* text) {
  char chunk[4096];
  for (;;) {
    int64_t n = vel::os::Files().ReadFile(fd, chunk, sizeof chunk);
    if (n < 0) return false;
    if (n == 0) return true;
    if (text->size() + static_cast<size_t>(n) > kMaxJournalBytes) return false;
    text->append(chunk, static_cast<size_t>(n));
  }
}

// Completes (commit marked) or undoes one journal's delivery.
void Replay(const fs::path& root, const std::string& text) {
  struct Entry {
    std::string mailbox, unique;
  };
  std::vector<Entry> copies;
  bool commit = false;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) break;  // a line cut short by the crash
    std::string_view line(text.data() + pos, end - pos);
    pos = end + 1;
    if (line == "commit") {
      commit = true;
    } else if (line.substr(0, 5) == "copy ") {
      std::string_view rest = line.substr(5);
      size_t space = rest.find(' ');
      if (space == std::string_view::npos) continue;
      std::string mailbox(rest.substr(0, space)), unique(rest.substr(space + 1));
      if (IsValidMailboxName(mailbox) && IsPlainFileName(unique))
        copies.push_back({std::move(mailbox), std::move(unique)});
    }
  }
  std::set<fs::path> moved_into;
  for (const Entry& copy : copies) {
    Mailbox mailbox(root / copy.mailbox);
    fs::path tmp = mailbox.TmpDir() / copy.unique;
    vel::os::FileInfo info;
    if (!vel::os::Files().Stat(tmp.c_str(), &info, false) ||
        info.type != vel::os::FileType::kRegular)
      continue;  // done
    if (commit) {
      const fs::path target = mailbox.NewDir() / copy.unique;
      if (vel::os::Files().Rename(tmp.c_str(), target.c_str())) moved_into.insert(mailbox.NewDir());
    } else {
      vel::os::Files().RemoveFile(tmp.c_str());
    }
  }
  for (const fs::path& dir : moved_into) vel::os::Files().SyncDirectory(dir.string().c_str());
}

}  // namespace

fs::path JournalDir(const fs::path& root) { return root / ".deliveries"; }

void RecoverDeliveries(const fs::path& root) {
  const fs::path dir = JournalDir(root);
  std::vector<fs::path> journals, hidden;
  std::vector<vel::os::DirectoryEntry> entries;
  vel::os::Files().ListDirectory(dir.c_str(), &entries);
  for (const vel::os::DirectoryEntry& entry : entries) {
    if (entry.type != vel::os::FileType::kRegular) continue;
    if (IsPlainFileName(entry.name))
      journals.push_back(dir / entry.name);
    else if (IsHiddenJournalName(entry.name))
      hidden.push_back(dir / entry.name);
  }
  for (const fs::path& path : hidden) RemoveAbandonedHiddenJournal(path);
  bool removed = false;
  for (const fs::path& path : journals) {
    int fd = vel::os::Files().OpenExistingFile(path.string().c_str());
    if (fd < 0) continue;  // finished meanwhile
    // A delivery that is still running holds the lock.
    if (vel::os::Files().TryLockFile(fd)) {
      std::string text;
      if (ReadJournal(fd, &text)) {
        Replay(root, text);
        removed |= vel::os::Files().RemoveFile(path.c_str());
      }
    }
    vel::os::Files().CloseFile(fd);
  }
  if (removed) vel::os::Files().SyncDirectory(dir.string().c_str());
}

Delivery::~Delivery() {
  if (!committed_) {
    for (const Copy& copy : staged_) vel::os::Files().RemoveFile(copy.tmp.c_str());
  }
  DropJournal();
}

bool Delivery::Journal(const std::string& line) {
  if (journal_fd_ < 0 && !OpenJournal()) return false;
  return vel::os::Files().WriteFile(journal_fd_, line.data(), line.size());
}

bool Delivery::OpenJournal() {
  // Made under a hidden name and locked before it gets its own, so that no
  // logon takes it for an abandoned one. A logon that takes the hidden
  // name for one left by a crash (the delivery stalled between the steps
  // for a quarter of an hour) removes it or holds its lock for a moment:
  // another name is tried.
  const fs::path dir = JournalDir(root_);
  if (!vel::os::Files().CreatePrivateDirectory(dir.string().c_str())) return false;
  int32_t error = 0;
  for (int attempt = 0; attempt < 3; ++attempt) {
    const std::string unique = NewUniqueName();
    const fs::path hidden = dir / ("." + unique);
    int fd = vel::os::Files().CreateNewFile(hidden.string().c_str());
    if (fd < 0) return false;
    const fs::path named = dir / unique;
    if (vel::os::Files().TryLockFile(fd)) {
      if (vel::os::Files().Rename(hidden.c_str(), named.c_str())) {
        journal_fd_ = fd;
        journal_ = named;
        return true;
      }
      error = vel::os::LastError();
    } else {
      error = EAGAIN;
    }
    vel::os::Files().RemoveFile(hidden.c_str());
    vel::os::Files().CloseFile(fd);
  }
  errno = error;
  return false;
}

void Delivery::DropJournal() {
  if (journal_fd_ < 0) return;
  vel::os::Files().RemoveFile(journal_.c_str());
  // An unmarked journal that came back after a crash would only remove
  // copies from tmp that were already moved out of it: its removal need
  // not be on disk.
  if (marked_) vel::os::Files().SyncDirectory(JournalDir(root_).string().c_str());
  vel::os::Files().CloseFile(journal_fd_);  // lets go of the lock
  journal_fd_ = -1;
}

std::string Delivery::MailboxName(const Mailbox& mailbox) const {
  std::string name = mailbox.Dir().filename().string();
  if (mailbox.Dir().parent_path() != root_ || !IsValidMailboxName(name)) return {};
  return name;
}

CMC_return_code Delivery::StageWith(const Mailbox& mailbox, const std::string& head,
                                    const BodyWriter& body) {
  const std::string name = MailboxName(mailbox);
  if (name.empty()) return CMC_E_FAILURE;
  // A clash with an existing name is all but impossible; a fresh name is
  // tried a few times before giving up.
  for (int attempt = 0; attempt < 5; ++attempt) {
    const std::string unique = NewUniqueName();
    const fs::path tmp = mailbox.TmpDir() / unique;
    int fd = vel::os::Files().CreateNewFile(tmp.string().c_str());
    if (fd < 0) {
      if (vel::os::LastError() == static_cast<int32_t>(std::errc::file_exists)) continue;
      return WriteFailure();
    }
    // Listed before anything is written, so that a crash from here on
    // leaves nothing the next logon does not know of.
    CMC_return_code rc = CMC_SUCCESS;
    if (!Journal(("copy " + name).append(" ").append(unique).append("\n"))) rc = WriteFailure();
    if (rc == CMC_SUCCESS && !vel::os::Files().WriteFile(fd, head.data(), head.size()))
      rc = WriteFailure();
    if (rc == CMC_SUCCESS) rc = body(fd);
    if (rc == CMC_SUCCESS && !vel::os::Files().SyncFile(fd)) rc = WriteFailure();
    if (!vel::os::Files().CloseFile(fd) && rc == CMC_SUCCESS) rc = WriteFailure();
    if (rc != CMC_SUCCESS) {
      vel::os::Files().RemoveFile(tmp.c_str());
      return rc;
    }
    if (staged_.empty()) first_head_ = head;
    staged_.push_back(
        {tmp, mailbox.NewDir() / unique, mailbox.TmpDir(), mailbox.NewDir(), head.size()});
    return CMC_SUCCESS;
  }
  return CMC_E_FAILURE;
}

CMC_return_code Delivery::Stage(const Mailbox& mailbox, const std::string& head,
                                const BodyWriter& body) {
  return StageWith(mailbox, head, body);
}

CMC_return_code Delivery::Stage(const Mailbox& mailbox, const std::string& head,
                                const std::string& body) {
  return StageWith(mailbox, head, [&](int fd) -> CMC_return_code {
    return vel::os::Files().WriteFile(fd, body.data(), body.size()) ? CMC_return_code{CMC_SUCCESS}
                                                                    : WriteFailure();
  });
}

CMC_return_code Delivery::StageCopy(const Mailbox& mailbox, const std::string& head) {
  if (staged_.empty()) return CMC_E_FAILURE;
  const Copy first = staged_.front();
  return StageWith(mailbox, head, [&](int fd) -> CMC_return_code {
    uint64_t size = 0;
    int source = vel::os::Files().OpenRegularFile(first.tmp.string().c_str(), &size, false);
    if (source < 0) return CMC_E_FAILURE;
    CMC_return_code rc = CMC_SUCCESS;
    uint64_t skip = first.head_size;  // the first copy's own head
    char chunk[65536];
    for (;;) {
      int64_t n = vel::os::Files().ReadFile(source, chunk, sizeof chunk);
      if (n < 0) rc = CMC_E_FAILURE;
      if (n <= 0) break;
      uint64_t drop = std::min<uint64_t>(skip, static_cast<uint64_t>(n));
      skip -= drop;
      if (!vel::os::Files().WriteFile(fd, chunk + drop, static_cast<size_t>(n) - drop)) {
        rc = WriteFailure();
        break;
      }
    }
    vel::os::Files().CloseFile(source);
    return rc;
  });
}

CMC_return_code Delivery::StageLink(const Mailbox& mailbox) {
  if (staged_.empty()) return CMC_E_FAILURE;
  const std::string name = MailboxName(mailbox);
  if (name.empty()) return CMC_E_FAILURE;
  const Copy first = staged_.front();
  for (int attempt = 0; attempt < 5; ++attempt) {
    const std::string unique = NewUniqueName();
    const fs::path tmp = mailbox.TmpDir() / unique;
    if (!vel::os::Files().Link(first.tmp.c_str(), tmp.c_str())) {
      const int error = vel::os::LastError();
      if (error == EEXIST) continue;
      if (CannotLink(error)) return StageCopy(mailbox, first_head_);
      return WriteFailure();
    }
    // Listed once it exists, as a written copy is; what a crash leaves
    // unlisted in tmp is never read and goes with tmp's old files.
    if (!Journal(("copy " + name).append(" ").append(unique).append("\n"))) {
      const CMC_return_code rc = WriteFailure();
      vel::os::Files().RemoveFile(tmp.c_str());
      return rc;
    }
    staged_.push_back(
        {tmp, mailbox.NewDir() / unique, mailbox.TmpDir(), mailbox.NewDir(), first.head_size});
    return CMC_SUCCESS;
  }
  return CMC_E_FAILURE;
}

CMC_return_code Delivery::Commit() {
  // The staged copies' names are made durable, then the journal is marked:
  // from here on the delivery is completed whatever happens.
  std::set<fs::path> tmp_dirs, new_dirs;
  for (const Copy& copy : staged_) {
    tmp_dirs.insert(copy.tmp_dir);
    new_dirs.insert(copy.new_dir);
  }
  // One copy is moved in one step, which a crash cannot cut in half.
  if (staged_.size() > 1) {
    tmp_dirs.insert(JournalDir(root_));
    if (!SyncDirectories(tmp_dirs)) return CMC_E_FAILURE;
    if (!Journal("commit\n") || !vel::os::Files().SyncFile(journal_fd_)) return WriteFailure();
    marked_ = true;
  }
  vel::os::FileSystem& files = vel::os::Files();
  for (size_t i = 0; i < staged_.size(); ++i) {
    // The target name is fresh and unique, so the rename replaces nothing.
    if (!files.Rename(staged_[i].tmp.c_str(), staged_[i].target.c_str())) {
      for (size_t j = 0; j < i; ++j)
        files.Rename(staged_[j].target.c_str(), staged_[j].tmp.c_str());
      return CMC_E_FAILURE;
    }
  }
  committed_ = true;
  SyncDirectories(new_dirs);
  DropJournal();
  return CMC_SUCCESS;
}

}  // namespace velcmc
