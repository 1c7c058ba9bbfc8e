#include "maildir/mailbox.h"

#include <chrono>
#include <system_error>

#include "file_system.h"
#include "mime/names.h"
#include "platform.h"

namespace velcmc {
namespace fs = std::filesystem;

std::string_view MailboxEntry::Unique() const { return UniquePart(file_name); }

bool MailboxEntry::Seen() const { return !in_new && IsSeen(file_name); }

fs::path Mailbox::PathOf(const MailboxEntry& entry) const {
  return (entry.in_new ? NewDir() : CurDir()) / entry.file_name;
}

bool Mailbox::Exists() const {
  for (const fs::path& dir : {TmpDir(), NewDir(), CurDir()}) {
    vel::os::FileInfo info;
    if (!vel::os::Files().Stat(dir.c_str(), &info, true) ||
        info.type != vel::os::FileType::kDirectory)
      return false;
  }
  return true;
}

bool Mailbox::Create() const {
  // A mailbox may be a link to a directory elsewhere (on another disk,
  // say); what is missing is made owner-only.
  for (const fs::path& dir : {Dir(), TmpDir(), NewDir(), CurDir()}) {
    vel::os::FileInfo info;
    if (vel::os::Files().Stat(dir.c_str(), &info, true) &&
        info.type == vel::os::FileType::kDirectory)
      continue;
    if (!vel::os::Files().CreatePrivateDirectory(dir.c_str())) return false;
  }
  return true;
}

bool Mailbox::VisitMessages(bool in_new, void (*visit)(void*, std::string_view),
                            void* context) const {
  // The entry's type comes with its name: a listing reads whole
  // directories often, and need not look at each file.
  std::vector<vel::os::DirectoryEntry> entries;
  if (!vel::os::Files().ListDirectory((in_new ? NewDir() : CurDir()).c_str(), &entries))
    return false;
  for (const vel::os::DirectoryEntry& entry : entries) {
    if (entry.name.empty() || entry.name.front() == '.') continue;
    // Regular files only, as they are and not where a link points: a
    // FIFO would block whoever reads it, a link could lead anywhere.
    if (entry.type == vel::os::FileType::kRegular) visit(context, entry.name);
  }
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
  if (!vel::os::Files().Rename(PathOf(entry).c_str(), PathOf(seen).c_str())) return std::nullopt;
  return seen;
}

bool Mailbox::Remove(const MailboxEntry& entry) const {
  return vel::os::Files().RemoveFile(PathOf(entry).c_str());
}

void Mailbox::CleanTmp() const {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const int64_t limit = std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() -
                        std::chrono::nanoseconds(std::chrono::hours(36)).count();
  vel::os::FileSystem& files = vel::os::Files();
  std::vector<vel::os::DirectoryEntry> entries;
  files.ListDirectory(TmpDir().c_str(), &entries);
  for (const vel::os::DirectoryEntry& entry : entries) {
    const fs::path path = TmpDir() / entry.name;
    vel::os::FileInfo info;
    if (entry.type != vel::os::FileType::kDirectory && files.Stat(path.c_str(), &info, false) &&
        info.modified_ns < limit)
      files.RemoveFile(path.c_str());
  }
}

}  // namespace velcmc
