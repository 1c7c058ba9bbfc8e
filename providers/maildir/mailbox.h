// One mailbox: a maildir directory with tmp, new and cur. Other programs
// (a mail transfer agent, a mail client) may deliver into it, read from it
// and rename its files at any time, so every operation here expects a file
// to move or vanish under it.
#ifndef VELCMC_MAILBOX_H
#define VELCMC_MAILBOX_H

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velcmc {

// A message file found in new or cur.
struct MailboxEntry {
  std::string file_name;  // as in its directory, flags included
  bool in_new = false;
  std::string_view Unique() const;
  bool Seen() const;
};

class Mailbox {
 public:
  explicit Mailbox(std::filesystem::path dir) : dir_(std::move(dir)) {}

  const std::filesystem::path& Dir() const { return dir_; }
  std::filesystem::path TmpDir() const { return dir_ / "tmp"; }
  std::filesystem::path NewDir() const { return dir_ / "new"; }
  std::filesystem::path CurDir() const { return dir_ / "cur"; }
  std::filesystem::path PathOf(const MailboxEntry& entry) const;

  // True when the three directories exist.
  bool Exists() const;
  // Creates whatever of the three directories is missing; false on failure.
  bool Create() const;

  // The message files of new and cur, in no particular order. Names
  // starting with '.' are not messages and are left out, and so is
  // anything but a regular file (a symbolic link is not followed).
  std::vector<MailboxEntry> Scan() const;

  // Calls visit(name) for each message file of new (in_new) or cur, chosen
  // as Scan chooses them, in no particular order; the name is valid only
  // during the call. False when the directory could not be read.
  template <class Visit>
  bool ForEachMessage(bool in_new, Visit&& visit) const {
    return VisitMessages(
        in_new, [](void* v, std::string_view name) { (*static_cast<Visit*>(v))(name); }, &visit);
  }

  // Moves a message to cur with flag S added. Returns the new entry, or
  // nothing when the file is no longer where the entry says.
  std::optional<MailboxEntry> MarkSeen(const MailboxEntry& entry) const;

  // Removes a message; false when it was no longer there.
  bool Remove(const MailboxEntry& entry) const;

  // Removes files in tmp older than 36 hours: deliveries that were never
  // finished (the usual maildir rule).
  void CleanTmp() const;

 private:
  bool VisitMessages(bool in_new, void (*visit)(void*, std::string_view), void* context) const;

  std::filesystem::path dir_;
};

}  // namespace velcmc

#endif
