#include "maildir/mailbox.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <chrono>
#include <system_error>

#include "mime/names.h"

namespace velcmc {
namespace fs = std::filesystem;

std::string_view MailboxEntry::Unique() const { return UniquePart(file_name); }

bool MailboxEntry::Seen() const { return !in_new && IsSeen(file_name); }

fs::path Mailbox::PathOf(const MailboxEntry& entry) const {
  return (entry.in_new ? NewDir() : CurDir()) / entry.file_name;
}

bool Mailbox::Exists() const {
  std::error_code ec;
  return fs::is_directory(TmpDir(), ec) && fs::is_directory(NewDir(), ec) &&
         fs::is_directory(CurDir(), ec);
}

bool Mailbox::Create() const {
  std::error_code ec;
  for (const fs::path& dir : {TmpDir(), NewDir(), CurDir()}) {
    fs::create_directories(dir, ec);
    if (!fs::is_directory(dir, ec)) return false;
  }
  return true;
}

bool Mailbox::VisitMessages(bool in_new, void (*visit)(void*, std::string_view),
                            void* context) const {
  // Read with readdir rather than a directory iterator: a listing reads
  // whole directories often, and the entry's type comes with its name.
  DIR* dir = opendir((in_new ? NewDir() : CurDir()).c_str());
  if (dir == nullptr) return false;
  while (const dirent* entry = readdir(dir)) {
    std::string_view name(entry->d_name);
    if (name.empty() || name.front() == '.') continue;
    // Regular files only, as they are and not where a link points: a
    // FIFO would block whoever reads it, a link could lead anywhere.
    unsigned char type = entry->d_type;
    if (type == DT_UNKNOWN) {
      struct stat st;
      if (fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
        type = DT_REG;
    }
    if (type == DT_REG) visit(context, name);
  }
  closedir(dir);
  return true;
}

std::vector<MailboxEntry> Mailbox::Scan() const {
  std::vector<MailboxEntry> entries;
  for (bool in_new : {true, false})
    ForEachMessage(in_new, [&](std::string_view name) {
      entries.push_back({std::string(name), in_new});
    });
  return entries;
}

std::optional<MailboxEntry> Mailbox::MarkSeen(const MailboxEntry& entry) const {
  MailboxEntry seen{SeenFileName(entry.file_name), false};
  if (!entry.in_new && seen.file_name == entry.file_name) return seen;
  std::error_code ec;
  fs::rename(PathOf(entry), PathOf(seen), ec);
  if (ec) return std::nullopt;
  return seen;
}

bool Mailbox::Remove(const MailboxEntry& entry) const {
  std::error_code ec;
  return fs::remove(PathOf(entry), ec);
}

void Mailbox::CleanTmp() const {
  const auto limit = fs::file_time_type::clock::now() - std::chrono::hours(36);
  std::error_code ec;
  for (fs::directory_iterator it(TmpDir(), ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code stat_ec;
    auto written = it->last_write_time(stat_ec);
    if (!stat_ec && written < limit) fs::remove(it->path(), stat_ec);
  }
}

}  // namespace velcmc
