// Names in the mail store: mailbox names, maildir file names (a unique
// name plus an optional ":2,<flags>" suffix), message references and the
// order in which messages were delivered.
#ifndef VELCMC_NAMES_H
#define VELCMC_NAMES_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velcmc {

// A mailbox name is 1 to 64 characters of letters, digits and "._+-",
// not starting with '.' (the root keeps its own files under dot names)
// and not "passwd" (the account file).
bool IsValidMailboxName(std::string_view name);

// The unique part of a maildir file name: everything before ':'.
std::string_view UniquePart(std::string_view file_name);

// The flags of a maildir file name ("S", "FS", ...), empty without ":2,".
std::string_view FlagsOf(std::string_view file_name);

// True when the file name carries the "seen" flag S.
bool IsSeen(std::string_view file_name);

// The file name of a message in cur once it carries flag S as well as its
// other flags (kept sorted, as the maildir convention wants).
std::string SeenFileName(std::string_view file_name);

// Maximum bytes of a message reference.
inline constexpr size_t kMaxReferenceBytes = 256;

// The reference of a message: its unique name, or, for a foreign name too
// long to fit a reference, "~" and a hash of it.
std::string ReferenceOf(std::string_view unique);

// A new unique name: seconds, then "M" microseconds, "P" process id,
// "Q" a per-process delivery count and "R" a random number, then the host
// name (with '/' and ':' written as \057 and \072).
std::string NewUniqueName();

// Where a message stands in delivery order. Parsed from the unique name
// when it starts with the delivery time in seconds (as every maildir
// writer does); otherwise has_time is false and the caller fills seconds
// from the file's modification time.
struct DeliveryKey {
  bool has_time = false;
  int64_t seconds = 0;
  int64_t microseconds = 0;
  uint64_t sequence = 0;
};
DeliveryKey ParseDeliveryKey(std::string_view unique);

// Where a session saves the attachments of what it reads: a folder of its
// own in the provider's attachment directory, and in it one folder per
// message read. A reader gets the paths of the saved files joined in one
// list of 255 bytes, so both names are short.

// The folder name of a session of this process: "<pid>.<session>".
std::string SessionFolderName(uint32_t session);

// The process id a session folder's name carries, in that form or in the
// earlier "<account>.<pid>.<session>"; nothing for any other name.
std::optional<uint32_t> SessionFolderProcess(std::string_view name);

// The folder name, inside the session folder at session_folder, for the
// attachments of the message with this reference: a number given at the
// message's first read ("1", "2", ...), the same at each later read of it.
// Thread-safe; std::bad_alloc when there is no memory for it.
std::string MessageFolderName(const std::string& session_folder, const std::string& reference);

// Forgets the message folders of a session folder, at its session's end.
void ForgetMessageFolders(const std::string& session_folder);

}  // namespace velcmc

#endif
