#include "maildir/mailbox_index.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <system_error>
#include <tuple>

#include "file_system.h"
#include "mime/names.h"
#include "platform.h"

namespace velcmc {
namespace {

// Rounds tried when files move under a rebuild (another reader marking or
// deleting them) before taking the index as it stands.
constexpr int kRaceRounds = 3;

constexpr long kSecond = 1000000000;

// The most messages that left the index whose places it keeps.
constexpr size_t kMaxGone = 4096;

// The coarsest step a time could have been cut to, judged by its own
// digits: a time cut to whole milliseconds ends in six zeros. A whole
// second (nanoseconds 0) is taken for a file system that keeps seconds.
long StepOf(const timespec& time) {
  long step = 1;
  for (long ns = time.tv_nsec; step < kSecond && ns % 10 == 0; ns /= 10) step *= 10;
  return step;
}

// Whether a directory time lies in a step of the file system's clock
// before its present, counted in the coarser of the steps either time
// shows: a file system may keep finer times for some files than for
// others (a file server's granularity is its own), so a directory's time
// is never judged finer than its own digits allow. Whatever changes the
// directory later is stamped in the present's step or a later one, and so
// differs from a time that lies before it.
bool Before(const timespec& modified, const timespec& present) {
  const long step = std::max(StepOf(modified), StepOf(present));
  return std::pair(modified.tv_sec, modified.tv_nsec / step) <
         std::pair(present.tv_sec, present.tv_nsec / step);
}

// How long a directory that only the session changed since it was last read
// is trusted before it is read again: a change by someone else within the
// microseconds of the session's own rename leaves no trace in the
// directory's time, and is seen at the first listing after this.
constexpr long kOwnChangeTrust = kSecond / 10;

timespec Later(timespec time, long ns) {
  time.tv_nsec += ns;
  time.tv_sec += time.tv_nsec / kSecond;
  time.tv_nsec %= kSecond;
  return time;
}

bool NotBefore(const timespec& a, const timespec& b) {
  return std::pair(a.tv_sec, a.tv_nsec) >= std::pair(b.tv_sec, b.tv_nsec);
}

timespec TimeOf(const vel::os::FileInfo& info) {
  timespec time{};
  time.tv_sec = static_cast<time_t>(info.modified_ns / 1000000000);
  time.tv_nsec = static_cast<long>(info.modified_ns % 1000000000);
  return time;
}

timespec TimeOfNs(int64_t ns) {
  timespec time{};
  time.tv_sec = static_cast<time_t>(ns / 1000000000);
  time.tv_nsec = static_cast<long>(ns % 1000000000);
  return time;
}

// Creates a new file in the mailbox's directory, reads its time back and
// removes it: the file system stamps a file it creates with its own
// present, as it stamps a directory that changes. (Setting a file's time
// to now would not do: a file server may take the time the client asks
// for, by the client's clock.)
class CreatedFileClock : public FileClock {
 public:
  explicit CreatedFileClock(std::string prefix) : prefix_(std::move(prefix)) {}

  std::optional<timespec> Now() override {
    static std::atomic<uint64_t> counter{0};
    vel::os::FileSystem& files = vel::os::Files();
    for (int tries = 0; tries < 3; ++tries) {
      const std::string path =
          prefix_ + std::to_string(counter.fetch_add(1, std::memory_order_relaxed));
      const int fd = files.CreateNewFile(path.c_str());
      if (fd < 0) {
        // A name a crash left behind is taken; any other failure is final.
        if (vel::os::LastError() == static_cast<int32_t>(std::errc::file_exists)) continue;
        return std::nullopt;
      }
      vel::os::FileInfo info;
      const bool stated = files.StatFile(fd, &info);
      files.CloseFile(fd);
      files.RemoveFile(path.c_str());
      if (!stated) return std::nullopt;
      return TimeOf(info);
    }
    return std::nullopt;
  }

 private:
  const std::string prefix_;  // of the files' paths: the directory, the process
};

}  // namespace

// The summaries of order_, flagged, as a listing of every message hands
// them out.
struct MailboxIndex::Listing {
  std::shared_ptr<const SummaryTemplate> strings;  // what the summaries point into
  std::vector<CMC_message_summary> summaries;
  const char* single_type = nullptr;  // the type text of every summary, if they share one
  size_t seen = 0;                    // summaries flagged read
  std::atomic<int> lent{0};           // hand-outs not freed yet
};

std::unique_ptr<FileClock> MailboxFileClock(const Mailbox& mailbox) {
  return std::make_unique<CreatedFileClock>(
      (mailbox.Dir() / (".velcmc-clock." + std::to_string(vel::os::ProcessId()) + ".")).string());
}

MailboxIndex::MailboxIndex(Mailbox mailbox, std::shared_ptr<SummaryCache> cache,
                           std::unique_ptr<FileClock> clock)
    : mailbox_(std::move(mailbox)),
      cache_(std::move(cache)),
      dir_paths_{mailbox_.NewDir().string(), mailbox_.CurDir().string()},
      clock_(clock ? std::move(clock) : MailboxFileClock(mailbox_)) {}

MailboxIndex::DirState MailboxIndex::StatDir(int d) const {
  DirState state;
  vel::os::FileInfo info;
  if (vel::os::Files().Stat(dir_paths_[d].c_str(), &info, true)) {
    state.known = true;
    state.device = info.device;
    state.inode = info.inode;
    state.modified = TimeOf(info);
    state.changed_ns = info.changed_ns;
  }
  return state;
}

bool MailboxIndex::Same(const DirState& a, const DirState& b) {
  return a.known && b.known && a.device == b.device && a.inode == b.inode &&
         a.modified.tv_sec == b.modified.tv_sec && a.modified.tv_nsec == b.modified.tv_nsec &&
         a.changed_ns == b.changed_ns;
}

bool MailboxIndex::Settled(const DirState& state, const timespec& present) {
  return state.known && Before(state.modified, present) &&
         (state.changed_ns == 0 || Before(TimeOfNs(state.changed_ns), present));
}

void MailboxIndex::Revalidate() {
  DirState now[2];
  bool check[2];
  bool trusted = false;
  for (int d = 0; d < 2; ++d) {
    now[d] = StatDir(d);
    const DirState& was = dirs_[d];
    check[d] = !valid_ || !Same(now[d], was) || !was.settled;
    trusted = trusted || (!check[d] && was.trusted_until);
  }
  if (!check[0] && !check[1] && !trusted) return;
  // Taken after the stats and before the directories are read: whatever
  // changes a directory after it is read is stamped with this time or a
  // later one.
  const std::optional<timespec> present = clock_->Now();
  for (int d = 0; d < 2; ++d)
    if (!check[d] && dirs_[d].trusted_until)
      check[d] = !present || NotBefore(*present, *dirs_[d].trusted_until);
  if (!check[0] && !check[1]) return;
  bool changed = !valid_;
  for (int d = 0; d < 2; ++d) {
    if (!check[d]) continue;
    if (!changed && !Matches(d)) changed = true;
    now[d].settled = present && Settled(now[d], *present);
    dirs_[d] = now[d];
  }
  if (changed) Rebuild();
}

std::optional<MailboxEntry> MailboxIndex::MarkSeen(const std::string& reference,
                                                   const MailboxEntry& entry) {
  vel::os::MutexLock lock(mutex_);
  const bool dirs[2] = {entry.in_new, true};  // the directories the rename changes
  // A directory nobody changed since it was read (settled, and as it was)
  // holds exactly what the index knows until the rename.
  bool as_read[2] = {false, false};
  for (int d = 0; d < 2; ++d)
    as_read[d] = dirs[d] && valid_ && dirs_[d].settled && Same(StatDir(d), dirs_[d]);
  std::optional<MailboxEntry> marked = mailbox_.MarkSeen(entry);
  if (!marked) return marked;
  MovedLocked(reference, *marked);
  if (marked->file_name == entry.file_name && !entry.in_new) return marked;  // nothing renamed
  if (!as_read[0] && !as_read[1]) return marked;
  // After the rename: whatever changes a directory after the stats below is
  // stamped with this time or a later one.
  const std::optional<timespec> present = clock_->Now();
  if (!present) return marked;
  for (int d = 0; d < 2; ++d) {
    if (!as_read[d]) continue;  // read again at the next call, as it changed
    DirState now = StatDir(d);
    now.settled = Settled(now, *present);
    // A directory already trusted keeps the time it is to be read again
    // by: a walk of renames never puts that read off.
    now.trusted_until =
        dirs_[d].trusted_until ? dirs_[d].trusted_until : Later(*present, kOwnChangeTrust);
    dirs_[d] = now;
  }
  return marked;
}

bool MailboxIndex::Matches(int d) {
  const NameSet& names = names_[d];
  size_t found = 0;
  bool all = true;
  const bool read = mailbox_.ForEachMessage(d == 0, [&](std::string_view name) {
    if (all && names.find(name) != names.end())
      ++found;
    else
      all = false;
  });
  return read ? all && found == names.size() : names.empty();
}

void MailboxIndex::Rebuild() {
  valid_ = false;  // until the end: a rebuild cut short by an exception is done again
  std::vector<MailboxEntry> scanned;
  std::vector<std::shared_ptr<const MessageSummary>> summaries;
  for (int round = 0; round < kRaceRounds; ++round) {
    bool vanished = false;
    scanned = mailbox_.Scan();
    summaries = cache_->Summaries(mailbox_, scanned, &vanished);
    if (!vanished) break;
  }

  // Delivery order, with each key worked out once.
  struct Key {
    const DeliveryKey* delivery;
    std::string_view unique;
    size_t index;
  };
  std::vector<Key> keys;
  keys.reserve(scanned.size());
  for (size_t i = 0; i < scanned.size(); ++i)
    if (summaries[i]) keys.push_back({&summaries[i]->delivery, scanned[i].Unique(), i});
  std::sort(keys.begin(), keys.end(), [](const Key& a, const Key& b) {
    const DeliveryKey &x = *a.delivery, &y = *b.delivery;
    return std::tie(x.seconds, x.microseconds, x.sequence, a.unique) <
           std::tie(y.seconds, y.microseconds, y.sequence, b.unique);
  });

  for (NameSet& names : names_) names.clear();
  for (const MailboxEntry& entry : scanned) names_[entry.in_new ? 0 : 1].insert(entry.file_name);

  template_.reset();
  by_reference_.clear();
  std::vector<Entry> old_entries = std::move(entries_);
  std::vector<uint32_t> old_order = std::move(order_);
  entries_.clear();
  entries_.reserve(keys.size());  // by_reference_ points into these: no reallocation
  std::vector<SummaryTemplate::Message> messages;
  messages.reserve(keys.size());
  for (const Key& key : keys) {
    MailboxEntry& found = scanned[key.index];
    Entry entry;
    entry.reference = ReferenceOf(key.unique);
    entry.seen = found.Seen();
    entry.in_new = found.in_new;
    entry.file_name = std::move(found.file_name);
    entry.summary = std::move(summaries[key.index]);
    entries_.push_back(std::move(entry));
  }
  order_.resize(entries_.size());
  seen_.resize(entries_.size());
  for (uint32_t i = 0; i < entries_.size(); ++i) {
    order_[i] = i;
    seen_[i] = entries_[i].seen;
    // Two files of one reference: the one delivered first is reached by it.
    by_reference_.emplace(entries_[i].reference, i);
    messages.push_back({entries_[i].reference, entries_[i].summary.get()});
  }
  template_ = std::make_shared<const SummaryTemplate>(messages);
  for (uint32_t position : old_order)
    if (position < old_entries.size() && !by_reference_.count(old_entries[position].reference))
      RememberGone(old_entries[position]);
  listing_.reset();
  removed_ = 0;
  valid_ = true;
}

bool MailboxIndex::Earlier(const OrderKey& a, const DeliveryKey& b, std::string_view b_unique) {
  const DeliveryKey& x = a.delivery;
  return std::tie(x.seconds, x.microseconds, x.sequence) <
             std::tie(b.seconds, b.microseconds, b.sequence) ||
         (std::tie(x.seconds, x.microseconds, x.sequence) ==
              std::tie(b.seconds, b.microseconds, b.sequence) &&
          std::string_view(a.unique) < b_unique);
}

void MailboxIndex::RememberGone(const Entry& entry) {
  if (!entry.summary) return;
  if (gone_.size() >= kMaxGone) gone_.clear();
  gone_.insert_or_assign(
      entry.reference, OrderKey{entry.summary->delivery, std::string(UniquePart(entry.file_name))});
}

std::optional<MailboxIndex::OrderKey> MailboxIndex::PlaceOfGone(const std::string& reference) {
  if (auto known = gone_.find(reference); known != gone_.end()) return known->second;
  // A reference is the message's unique name, which carries its delivery
  // time (unless it is a hashed one, which only the index could place).
  if (reference.empty() || reference.front() == '~') return std::nullopt;
  DeliveryKey key = ParseDeliveryKey(reference);
  if (!key.has_time) return std::nullopt;
  return OrderKey{key, reference};
}

MailboxIndex::Listing& MailboxIndex::Whole() {
  if (listing_) return *listing_;
  auto listing = std::make_shared<Listing>();
  listing->strings = template_;
  listing->summaries.resize(order_.size());
  const char* one_type = nullptr;
  for (size_t i = 0; i < order_.size(); ++i) {
    CMC_message_summary& summary = listing->summaries[i];
    summary = template_->At(order_[i]);
    summary.summary_flags = seen_[order_[i]] ? CMC_SUM_READ : 0;
    if (seen_[order_[i]]) ++listing->seen;
    if (i == 0) one_type = summary.message_type;
    if (summary.message_type != one_type) one_type = nullptr;
  }
  listing->single_type = one_type;
  if (!order_.empty()) listing->summaries.back().summary_flags |= CMC_SUM_LAST_ELEMENT;
  listing_ = std::move(listing);
  return *listing_;
}

bool MailboxIndex::List(const char* type, bool unread_only, const std::string* seed,
                        uint32_t wanted, CMC_message_summary** block, uint32_t* count,
                        std::shared_ptr<const void>* keep, bool* lent) {
  *block = nullptr;
  *count = 0;
  *lent = false;
  vel::os::MutexLock lock(mutex_);
  Revalidate();
  auto start = order_.begin();
  if (seed != nullptr) {
    // order_ holds positions, which rise in delivery order.
    if (auto found = by_reference_.find(*seed); found != by_reference_.end()) {
      start = std::lower_bound(order_.begin(), order_.end(), found->second) + 1;
    } else {
      // Gone: the listing goes on from the first message delivered after it.
      const std::optional<OrderKey> place = PlaceOfGone(*seed);
      if (!place) return false;
      const Entry* entries = entries_.data();  // the lambda runs under the lock held here
      start = std::partition_point(order_.begin(), order_.end(), [&](uint32_t position) {
        const Entry& entry = entries[position];
        return !Earlier(*place, entry.summary->delivery, UniquePart(entry.file_name));
      });
    }
  }
  // Every summary of a type points to one text of it: a type is matched by
  // that pointer.
  const char* type_text = type != nullptr ? template_->TypeText(type) : nullptr;
  if (type != nullptr && type_text == nullptr) return true;
  size_t room = static_cast<size_t>(order_.end() - start);
  if (wanted != 0) room = std::min<size_t>(room, wanted);
  if (room == 0) return true;
  if (room == order_.size()) {
    Listing& whole = Whole();
    if ((!unread_only || whole.seen == 0) &&
        (type_text == nullptr || type_text == whole.single_type)) {
      // Counted before the owner exists: should making it fail, the
      // owner's release is still run, and undoes the count.
      whole.lent.fetch_add(1, std::memory_order_relaxed);
      std::shared_ptr<Listing> held = listing_;
      *keep = std::shared_ptr<const void>(
          held.get(), [held](const void*) { held->lent.fetch_sub(1, std::memory_order_release); });
      *block = whole.summaries.data();
      *count = static_cast<uint32_t>(whole.summaries.size());
      *lent = true;
      return true;
    }
  }
  auto* out = static_cast<CMC_message_summary*>(std::malloc(room * sizeof(CMC_message_summary)));
  if (out == nullptr) throw std::bad_alloc();
  size_t n = 0;
  for (auto it = start; it != order_.end() && n < room; ++it) {
    const CMC_message_summary& summary = template_->At(*it);
    if (type_text != nullptr && summary.message_type != type_text) continue;
    if (unread_only && seen_[*it]) continue;
    out[n] = summary;
    out[n].summary_flags = seen_[*it] ? CMC_SUM_READ : 0;
    ++n;
  }
  if (n == 0) {
    std::free(out);
    return true;
  }
  out[n - 1].summary_flags |= CMC_SUM_LAST_ELEMENT;
  *block = out;
  *count = static_cast<uint32_t>(n);
  *keep = template_;
  return true;
}

std::optional<MailboxEntry> MailboxIndex::Find(const std::string& reference) {
  vel::os::MutexLock lock(mutex_);
  for (int pass = 0; pass < 2; ++pass) {
    if (pass == 1 || !valid_) Revalidate();
    auto found = by_reference_.find(reference);
    if (found != by_reference_.end()) {
      const Entry& entry = entries_[found->second];
      return MailboxEntry{entry.file_name, entry.in_new};
    }
  }
  return std::nullopt;
}

void MailboxIndex::MovedLocked(const std::string& reference, const MailboxEntry& entry) {
  auto found = by_reference_.find(reference);
  if (found == by_reference_.end()) return;
  Entry& moved = entries_[found->second];
  NameSet& was = names_[moved.in_new ? 0 : 1];
  if (auto name = was.find(moved.file_name); name != was.end()) was.erase(name);
  moved.file_name = entry.file_name;
  moved.in_new = entry.in_new;
  moved.seen = entry.Seen();
  names_[moved.in_new ? 0 : 1].insert(moved.file_name);
  if (seen_[found->second] == moved.seen) return;
  seen_[found->second] = moved.seen;
  // The whole listing is brought up to date where it stands when nobody
  // has it, and laid out again at the next listing otherwise.
  if (!listing_) return;
  if (listing_->lent.load(std::memory_order_acquire) != 0) {
    listing_.reset();
    return;
  }
  auto at = std::lower_bound(order_.begin(), order_.end(), found->second);
  if (at == order_.end() || *at != found->second) return;
  CMC_message_summary& summary = listing_->summaries[static_cast<size_t>(at - order_.begin())];
  summary.summary_flags =
      (summary.summary_flags & CMC_SUM_LAST_ELEMENT) | (moved.seen ? CMC_SUM_READ : 0);
  if (moved.seen)
    ++listing_->seen;
  else
    --listing_->seen;
}

void MailboxIndex::Removed(const std::string& reference) {
  vel::os::MutexLock lock(mutex_);
  auto found = by_reference_.find(reference);
  if (found == by_reference_.end()) return;
  const uint32_t position = found->second;
  Entry& gone = entries_[position];
  RememberGone(gone);
  NameSet& names = names_[gone.in_new ? 0 : 1];
  if (auto name = names.find(gone.file_name); name != names.end()) names.erase(name);
  by_reference_.erase(found);
  auto at = std::lower_bound(order_.begin(), order_.end(), position);
  if (at != order_.end() && *at == position) order_.erase(at);
  listing_.reset();
  // The template keeps what was removed; once that is most of it, the
  // next call builds a smaller one.
  if (++removed_ > entries_.size() / 2 && removed_ > 64) valid_ = false;
}

void MailboxIndex::Forget() {
  vel::os::MutexLock lock(mutex_);
  valid_ = false;
}

}  // namespace velcmc
