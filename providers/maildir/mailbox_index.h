// What a session knows of its mailbox between calls: the messages of new
// and cur in delivery order with their summaries, laid out once as the
// summaries a listing hands out (SummaryTemplate), so that listing a
// mailbox that did not change costs two stats: a listing of every message
// lends the array of summaries the index holds (List), and one of some of
// them copies 40 bytes a message.
//
// The index stands for the directories as they were when last read. Each
// call first stats new and cur. A directory whose identity, modification
// time or change time (which no program can set back) differs from what
// was seen when it was read is read again, and the index is rebuilt when
// its files are not the ones the index holds.
//
// A directory time proves nothing unless it is older than the file
// system's present: a change within the same tick of the file system's
// clock (a whole second on many, and on a file server whose clock is its
// own) leaves the time as it was. Directory times follow the file system's
// clock, which may run behind or ahead of this host's, so the present is
// learnt from the file system itself (FileClock): after the stats and
// before the directories are read, a file is created in the mailbox and its
// time read back. Whatever changes a directory after it is read is stamped
// with that time or a later one; a directory whose time lies in an earlier
// step of the clock is settled, and one whose time is not earlier is read
// again at every call until a read finds it settled. The step is the
// coarser of the two times' own: a time that ends in nine zeros counts in
// whole seconds, one that ends in six in milliseconds, and so on, so that a
// directory whose file system keeps coarser times than the file the
// present is learnt from is never judged finer than it is. When the file
// system's time cannot be learnt, nothing is ever settled.
//
// The session's own renames (MarkSeen) do not make the index read the
// directories again. Before the rename each directory it changes is
// stated: one that is settled and as it was read held exactly what the
// index knows. After it, the index follows the rename, learns the present
// and states the directory again, which stands from then on as if read
// then: a later change by anyone else shows in its time, or, in the same
// step of the clock, keeps it unsettled and read at every call. What no
// time can show is a change by someone else within the rename itself
// (between the two stats); so a directory taken on trust this way is read
// again at the first call once the file system's time is 0.1 s past the
// first rename trusted, however many follow. The session's removals
// update the index at once; the directory read they cause finds the files
// the index already holds and rebuilds nothing.
//
// Finding a message by reference does not read the directories when the
// index knows the reference: the caller opens the file, and when it is no
// longer there calls Forget and looks again.
//
// Thread-safe. Its lock is the session's own and is held while the
// session's directories are read or its messages renamed; no other session
// waits on it.
#ifndef VELCMC_MAILBOX_INDEX_H
#define VELCMC_MAILBOX_INDEX_H

#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "cmc.h"
#include "maildir/mailbox.h"
#include "maildir/summary_cache.h"
#include "mime/cmc_blocks.h"
#include "mutex.h"

namespace velcmc {

// The present of the file system a mailbox is on: the time a change made
// now would be stamped with.
class FileClock {
 public:
  virtual ~FileClock() = default;
  // Nothing when it cannot be learnt.
  virtual std::optional<timespec> Now() = 0;
};

// Learns it by creating a new file in the mailbox's directory
// (".velcmc-clock.PID.N", owner-only, never through a symbolic link),
// reading its modification time back and removing it: a file server stamps
// what it creates with its own clock, whereas a file touched to "now" may
// be given the client's.
std::unique_ptr<FileClock> MailboxFileClock(const Mailbox& mailbox);

class MailboxIndex {
 public:
  // clock: the mailbox's file system clock (MailboxFileClock when null).
  MailboxIndex(Mailbox mailbox, std::shared_ptr<SummaryCache> cache,
               std::unique_ptr<FileClock> clock = nullptr);

  // A listing as cmc_list hands it out: the messages of type (every type
  // when null), unread ones only when asked, starting after the one whose
  // reference is seed (when given), at most wanted of them (0: all). The
  // block (null for none), its length in *count, and in *keep what must
  // stay until the block is freed (its strings). A listing of every
  // message present is not copied: the index lends the one it holds
  // (*lent true), whose memory belongs to *keep, and never writes it again
  // while it is out. Otherwise the block is the caller's, for std::free.
  // A seed that names a message no longer there (deleted since, by the
  // session or by anyone else) starts the listing at the first message
  // delivered after it, by the delivery time its name carries or, for a
  // name without one, where the index last saw it. Returns false, with
  // nothing listed, when seed cannot be placed so. std::bad_alloc when
  // there is no memory for the block.
  bool List(const char* type, bool unread_only, const std::string* seed, uint32_t wanted,
            CMC_message_summary** block, uint32_t* count, std::shared_ptr<const void>* keep,
            bool* lent);

  // The message whose reference is the given one, where the index last saw
  // it; the directories are read only when the index does not know it.
  std::optional<MailboxEntry> Find(const std::string& reference);

  // Marks the message read where the index last saw it (entry), as
  // Mailbox::MarkSeen does, and follows the move. Returns where it is now,
  // or nothing when it was not there.
  std::optional<MailboxEntry> MarkSeen(const std::string& reference, const MailboxEntry& entry);

  // The session removed the message.
  void Removed(const std::string& reference);

  // A file was not where the index said: read the directories again at the
  // next call.
  void Forget();

 private:
  // What a stat of a directory showed.
  struct DirState {
    bool known = false;  // the stat succeeded
    uint64_t device = 0;
    uint64_t inode = 0;
    timespec modified{};
    int64_t changed_ns = 0;  // the inode's change time, where the file system keeps one
    // modified (and the change time) lie before the file system's time of
    // the read
    bool settled = false;
    // Set when the index followed the session's own change instead of
    // reading the directory: read again once the file system's time is here.
    std::optional<timespec> trusted_until;
  };
  struct Entry {
    std::string file_name;
    std::string reference;
    std::shared_ptr<const MessageSummary> summary;
    bool in_new = false;
    bool seen = false;
  };
  // Where a message stands in delivery order: the order of entries_.
  struct OrderKey {
    DeliveryKey delivery;
    std::string unique;
  };
  static bool Earlier(const OrderKey& a, const DeliveryKey& b, std::string_view b_unique);
  // Where a message no longer present stood, when that can be told.
  std::optional<OrderKey> PlaceOfGone(const std::string& reference) VEL_REQUIRES(mutex_);
  // Remembers where a message that leaves the index stood.
  void RememberGone(const Entry& entry) VEL_REQUIRES(mutex_);
  struct Hash {
    using is_transparent = void;
    size_t operator()(std::string_view key) const { return std::hash<std::string_view>{}(key); }
  };
  using NameSet = std::unordered_set<std::string, Hash, std::equal_to<>>;

  // Brings the index up to date with the directories.
  void Revalidate() VEL_REQUIRES(mutex_);
  DirState StatDir(int d) const;
  // Same directory, same time.
  static bool Same(const DirState& a, const DirState& b);
  // Whether a directory's times lie in a step of the clock before present.
  static bool Settled(const DirState& state, const timespec& present);
  // The session moved the message (entry is where it is now).
  void MovedLocked(const std::string& reference, const MailboxEntry& entry) VEL_REQUIRES(mutex_);
  // Whether directory d (0 new, 1 cur) holds exactly the files of names_[d].
  bool Matches(int d) VEL_REQUIRES(mutex_);
  // Reads both directories and builds everything anew.
  void Rebuild() VEL_REQUIRES(mutex_);
  // The listing of every message present, built when there is none.
  struct Listing;
  Listing& Whole() VEL_REQUIRES(mutex_);

  const Mailbox mailbox_;
  const std::shared_ptr<SummaryCache> cache_;
  const std::string dir_paths_[2];  // new, cur
  const std::unique_ptr<FileClock> clock_;

  vel::os::Mutex mutex_;
  bool valid_ VEL_GUARDED_BY(mutex_) = false;
  DirState dirs_[2] VEL_GUARDED_BY(mutex_);
  // by position in template_; never resized once built
  std::vector<Entry> entries_ VEL_GUARDED_BY(mutex_);
  // positions of the messages present, in delivery order
  std::vector<uint32_t> order_ VEL_GUARDED_BY(mutex_);
  std::vector<uint8_t> seen_ VEL_GUARDED_BY(mutex_);  // by position: flagged read
  // into entries_
  std::unordered_map<std::string_view, uint32_t> by_reference_ VEL_GUARDED_BY(mutex_);
  NameSet names_[2] VEL_GUARDED_BY(mutex_);  // every message file of new and cur, listed or not
  std::shared_ptr<const SummaryTemplate> template_ VEL_GUARDED_BY(mutex_);
  // Lent to listings of every message; written in place only while no
  // listing has it, dropped when the messages change.
  std::shared_ptr<Listing> listing_ VEL_GUARDED_BY(mutex_);
  size_t removed_ VEL_GUARDED_BY(mutex_) = 0;
  // Where the messages that left the index stood, by reference (at most
  // kMaxGone of them; forgotten all at once when full).
  std::unordered_map<std::string, OrderKey> gone_ VEL_GUARDED_BY(mutex_);
};

}  // namespace velcmc

#endif
