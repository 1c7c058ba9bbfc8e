// The memory the provider hands out. Each list, message or look-up result
// is one block from malloc holding the records and every string they point
// to, so that cmc_free releases it whole. The registry knows which blocks
// are out, so that freeing anything else is refused rather than fatal.
#ifndef VELCMC_BLOCKS_H
#define VELCMC_BLOCKS_H

#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "cmc.h"
#include "parse.h"

namespace velcmc {

class BlockRegistry {
 public:
  ~BlockRegistry();
  // Records a block as handed out and returns it.
  template <class T>
  T* Adopt(T* block) {
    if (block) {
      std::lock_guard lock(mutex_);
      blocks_.insert(block);
    }
    return block;
  }
  // Frees a block handed out before; false for anything else.
  bool Free(void* block);
  size_t Outstanding();

 private:
  std::mutex mutex_;
  std::unordered_set<void*> blocks_;
};

// One message of a listing.
struct ListedMessage {
  std::string reference;
  const MessageSummary* summary = nullptr;
  bool seen = false;
};

// The summaries in order, the last one flagged. Null for none.
CMC_message_summary* BuildSummaryBlock(const std::vector<ListedMessage>& messages);

// A message as cmc_read hands it out. attachment_paths[i] is where
// message.attachments[i] was written. flags become the message flags.
CMC_message* BuildMessageBlock(const std::string& reference, const ParsedMessage& message,
                               const std::vector<std::string>& attachment_paths, CMC_flags flags);

// A one-element recipient array.
CMC_recipient* BuildRecipientBlock(const MailAddress& address, CMC_enum role);

}  // namespace velcmc

#endif
