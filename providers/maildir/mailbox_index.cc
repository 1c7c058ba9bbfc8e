#include "maildir/mailbox_index.h"

#include <algorithm>
#include <cstdlib>
#include <new>
#include <tuple>

#include "file_system.h"
#include "mime/names.h"
#include "platform.h"

namespace velcmc {
namespace {

// Rounds tried when files move under a rebuild (another reader marking or
// deleting them) before taking the index as it stands.
constexpr int kRaceRounds = 3;

// Whether a directory time lies in a second before the file system's
// present. Whole seconds, not finer: a file system may keep finer times for
// some files than for others (a file server's granularity is its own), and
// whole seconds are what every one of them keeps.
bool Before(const timespec& modified, const timespec& present) {
  return modified.tv_sec < present.tv_sec;
}

timespec TimeOf(const vel::os::FileInfo& info) {
  timespec time{};
  time.tv_sec = static_cast<time_t>(info.modified_ns / 1000000000);
  time.tv_nsec = static_cast<long>(info.modified_ns % 1000000000);
  return time;
}

// Touches a file of the mailbox: the file system stamps it with its own
// present, as it stamps a directory that changes.
class TouchedFileClock : public FileClock {
 public:
  explicit TouchedFileClock(std::string path) : path_(std::move(path)) {}
  ~TouchedFileClock() override {
    if (fd_ >= 0) vel::os::Files().CloseFile(fd_);
  }
  TouchedFileClock(const TouchedFileClock&) = delete;
  TouchedFileClock& operator=(const TouchedFileClock&) = delete;

  std::optional<timespec> Now() override {
    vel::os::FileSystem& files = vel::os::Files();
    if (fd_ < 0) fd_ = files.OpenForAppend(path_.c_str());
    vel::os::FileInfo info;
    if (fd_ < 0 || !files.TouchFile(fd_) || !files.StatFile(fd_, &info)) return std::nullopt;
    return TimeOf(info);
  }

 private:
  const std::string path_;
  int fd_ = -1;  // opened at the first use, kept for the next ones
};

}  // namespace

std::unique_ptr<FileClock> MailboxFileClock(const Mailbox& mailbox) {
  return std::make_unique<TouchedFileClock>((mailbox.Dir() / ".velcmc-clock").string());
}

MailboxIndex::MailboxIndex(Mailbox mailbox, std::shared_ptr<SummaryCache> cache,
                           std::unique_ptr<FileClock> clock)
    : mailbox_(std::move(mailbox)),
      cache_(std::move(cache)),
      dir_paths_{mailbox_.NewDir().string(), mailbox_.CurDir().string()},
      clock_(clock ? std::move(clock) : MailboxFileClock(mailbox_)) {}

void MailboxIndex::Revalidate() {
  DirState now[2];
  bool check[2];
  for (int d = 0; d < 2; ++d) {
    vel::os::FileInfo info;
    if (vel::os::Files().Stat(dir_paths_[d].c_str(), &info, true))
      now[d] = {true, info.device, info.inode, TimeOf(info), false};
    const DirState& was = dirs_[d];
    const bool same = now[d].known && was.known && now[d].device == was.device &&
                      now[d].inode == was.inode && now[d].modified.tv_sec == was.modified.tv_sec &&
                      now[d].modified.tv_nsec == was.modified.tv_nsec;
    check[d] = !valid_ || !same || !was.settled;
  }
  if (!check[0] && !check[1]) return;
  // Taken after the stats and before the directories are read: whatever
  // changes a directory after it is read is stamped with this time or a
  // later one.
  const std::optional<timespec> present = clock_->Now();
  bool changed = !valid_;
  for (int d = 0; d < 2; ++d) {
    if (!check[d]) continue;
    if (!changed && !Matches(d)) changed = true;
    now[d].settled = now[d].known && present && Before(now[d].modified, *present);
    dirs_[d] = now[d];
  }
  if (changed) Rebuild();
}

bool MailboxIndex::Matches(int d) const {
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
  removed_ = 0;
  valid_ = true;
}

bool MailboxIndex::List(const char* type, bool unread_only, const std::string* seed,
                        uint32_t wanted, CMC_message_summary** block, uint32_t* count,
                        std::shared_ptr<const void>* keep) {
  *block = nullptr;
  *count = 0;
  std::lock_guard lock(mutex_);
  Revalidate();
  auto start = order_.begin();
  if (seed != nullptr) {
    auto found = by_reference_.find(*seed);
    if (found == by_reference_.end()) return false;
    // order_ holds positions, which rise in delivery order.
    start = std::lower_bound(order_.begin(), order_.end(), found->second) + 1;
  }
  // Every summary of a type points to one text of it: a type is matched by
  // that pointer.
  const char* type_text = type != nullptr ? template_->TypeText(type) : nullptr;
  if (type != nullptr && type_text == nullptr) return true;
  size_t room = static_cast<size_t>(order_.end() - start);
  if (wanted != 0) room = std::min<size_t>(room, wanted);
  if (room == 0) return true;
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
  std::lock_guard lock(mutex_);
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

void MailboxIndex::Moved(const std::string& reference, const MailboxEntry& entry) {
  std::lock_guard lock(mutex_);
  auto found = by_reference_.find(reference);
  if (found == by_reference_.end()) return;
  Entry& moved = entries_[found->second];
  NameSet& was = names_[moved.in_new ? 0 : 1];
  if (auto name = was.find(moved.file_name); name != was.end()) was.erase(name);
  moved.file_name = entry.file_name;
  moved.in_new = entry.in_new;
  moved.seen = entry.Seen();
  seen_[found->second] = moved.seen;
  names_[moved.in_new ? 0 : 1].insert(moved.file_name);
}

void MailboxIndex::Removed(const std::string& reference) {
  std::lock_guard lock(mutex_);
  auto found = by_reference_.find(reference);
  if (found == by_reference_.end()) return;
  const uint32_t position = found->second;
  Entry& gone = entries_[position];
  NameSet& names = names_[gone.in_new ? 0 : 1];
  if (auto name = names.find(gone.file_name); name != names.end()) names.erase(name);
  by_reference_.erase(found);
  auto at = std::lower_bound(order_.begin(), order_.end(), position);
  if (at != order_.end() && *at == position) order_.erase(at);
  // The template keeps what was removed; once that is most of it, the
  // next call builds a smaller one.
  if (++removed_ > entries_.size() / 2 && removed_ > 64) valid_ = false;
}

void MailboxIndex::Forget() {
  std::lock_guard lock(mutex_);
  valid_ = false;
}

}  // namespace velcmc
