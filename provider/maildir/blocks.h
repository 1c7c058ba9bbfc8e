// The memory the provider hands out. Each list, message or look-up result
// is one block from malloc holding the records and every string they point
// to, so that cmc_free releases it whole. The registry knows which blocks
// are out, so that freeing anything else is refused rather than fatal.
#ifndef VELCMC_BLOCKS_H
#define VELCMC_BLOCKS_H

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
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

// A full listing laid out once, so that a listing is handed out as a copy
// of one block instead of being built again from its parts: each copy is
// one allocation and one memcpy, and its pointers are moved with it.
// Positions are those of the messages given to the constructor.
class SummaryTemplate {
 public:
  struct Message {
    std::string_view reference;
    const MessageSummary* summary = nullptr;
  };
  explicit SummaryTemplate(const std::vector<Message>& messages);
  ~SummaryTemplate();
  SummaryTemplate(const SummaryTemplate&) = delete;
  SummaryTemplate& operator=(const SummaryTemplate&) = delete;

  // A block holding the summaries at the picked positions (rising), each
  // with its summary flags, the last one flagged as such; null for none.
  // std::bad_alloc when there is no memory for it.
  using Pick = std::pair<uint32_t, CMC_flags>;
  CMC_message_summary* Copy(const std::vector<Pick>& picks) const;

 private:
  char* base_ = nullptr;
  size_t size_ = 0;
  size_t count_ = 0;
};

// A message as cmc_read hands it out. attachment_paths[i] is where
// message.attachments[i] was written. flags become the message flags.
CMC_message* BuildMessageBlock(const std::string& reference, const ParsedMessage& message,
                               const std::vector<std::string>& attachment_paths, CMC_flags flags);

// A one-element recipient array.
CMC_recipient* BuildRecipientBlock(const MailAddress& address, CMC_enum role);

}  // namespace velcmc

#endif
