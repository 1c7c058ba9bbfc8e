// What has been parsed about each message of a mailbox, keyed by unique
// name. A maildir file keeps its content under its unique name for its
// whole life, so an entry never goes stale; it is only dropped once the
// message is gone.
#ifndef VELCMC_SUMMARY_CACHE_H
#define VELCMC_SUMMARY_CACHE_H

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "maildir/mailbox.h"
#include "mime/parse.h"
#include "mutex.h"

namespace velcmc {

class SummaryCache {
 public:
  // The summary of each entry, in the entries' order, parsing only the
  // messages not seen before. An entry whose file could not be read (moved
  // or removed meanwhile) gets null and sets *vanished.
  std::vector<std::shared_ptr<const MessageSummary>> Summaries(
      const Mailbox& mailbox, const std::vector<MailboxEntry>& entries, bool* vanished);

  size_t Size();

 private:
  struct Hash {
    using is_transparent = void;
    size_t operator()(std::string_view key) const { return std::hash<std::string_view>{}(key); }
  };
  struct Slot {
    std::shared_ptr<const MessageSummary> summary;
    uint64_t generation = 0;  // the last listing that saw the message
  };

  vel::os::Mutex mutex_;
  std::unordered_map<std::string, Slot, Hash, std::equal_to<>> slots_ VEL_GUARDED_BY(mutex_);
  uint64_t generation_ VEL_GUARDED_BY(mutex_) = 0;
};

// One cache per mailbox directory, shared by every session of the process.
class SummaryCaches {
 public:
  std::shared_ptr<SummaryCache> For(const std::filesystem::path& mailbox_dir);

 private:
  vel::os::Mutex mutex_;
  std::map<std::filesystem::path, std::shared_ptr<SummaryCache>> caches_ VEL_GUARDED_BY(mutex_);
};

}  // namespace velcmc

#endif
