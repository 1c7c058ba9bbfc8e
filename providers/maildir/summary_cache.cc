#include "maildir/summary_cache.h"

namespace velcmc {

std::vector<std::shared_ptr<const MessageSummary>> SummaryCache::Summaries(
    const Mailbox& mailbox, const std::vector<MailboxEntry>& entries, bool* vanished) {
  std::vector<std::shared_ptr<const MessageSummary>> out(entries.size());
  std::vector<size_t> missing;
  uint64_t generation = 0;
  {
    vel::os::MutexLock lock(mutex_);
    generation = ++generation_;
    for (size_t i = 0; i < entries.size(); ++i) {
      auto it = slots_.find(entries[i].Unique());
      if (it == slots_.end()) {
        missing.push_back(i);
      } else {
        it->second.generation = generation;
        out[i] = it->second.summary;
      }
    }
  }

  // Parsing reads files: done without the lock.
  for (size_t i : missing) {
    std::optional<MessageSummary> summary =
        SummariseFile(mailbox.PathOf(entries[i]), entries[i].Unique());
    if (summary)
      out[i] = std::make_shared<const MessageSummary>(std::move(*summary));
    else if (vanished)
      *vanished = true;
  }

  vel::os::MutexLock lock(mutex_);
  for (size_t i : missing) {
    if (!out[i]) continue;
    Slot& slot = slots_[std::string(entries[i].Unique())];
    if (!slot.summary) slot.summary = out[i];
    slot.generation = generation;
  }
  // Messages that are gone: dropped once the cache holds more than the
  // mailbox. A listing that ran meanwhile may lose an entry to this; it is
  // then parsed again.
  if (slots_.size() > entries.size()) {
    for (auto it = slots_.begin(); it != slots_.end();)
      it = it->second.generation == generation ? std::next(it) : slots_.erase(it);
  }
  return out;
}

size_t SummaryCache::Size() {
  vel::os::MutexLock lock(mutex_);
  return slots_.size();
}

std::shared_ptr<SummaryCache> SummaryCaches::For(const std::filesystem::path& mailbox_dir) {
  vel::os::MutexLock lock(mutex_);
  auto& cache = caches_[mailbox_dir];
  if (!cache) cache = std::make_shared<SummaryCache>();
  return cache;
}

}  // namespace velcmc
