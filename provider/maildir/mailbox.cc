#include "mailbox.h"

#include <chrono>
#include <system_error>

#include "names.h"

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

std::vector<MailboxEntry> Mailbox::Scan() const {
  std::vector<MailboxEntry> entries;
  for (bool in_new : {true, false}) {
    std::error_code ec;
    for (fs::directory_iterator it(in_new ? NewDir() : CurDir(), ec), end; !ec && it != end;
         it.increment(ec)) {
      std::string name = it->path().filename().string();
      if (name.empty() || name.front() == '.') continue;
      // Regular files only, as they are and not where a link points: a
      // FIFO would block whoever reads it, a link could lead anywhere.
      std::error_code type_ec;
      if (it->symlink_status(type_ec).type() != fs::file_type::regular) continue;
      entries.push_back({std::move(name), in_new});
    }
  }
  return entries;
}

std::optional<MailboxEntry> Mailbox::Find(const std::string& reference) const {
  std::error_code ec;
  // An unread message delivered by a maildir writer sits in new under its
  // unique name: try that before listing the directories.
  if (reference.size() <= kMaxReferenceBytes && reference.find('/') == std::string::npos &&
      !reference.empty() && reference.front() != '.' && reference.front() != '~' &&
      fs::symlink_status(NewDir() / reference, ec).type() == fs::file_type::regular)
    return MailboxEntry{reference, true};
  for (MailboxEntry& entry : Scan())
    if (ReferenceOf(entry.Unique()) == reference) return std::move(entry);
  return std::nullopt;
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
