// The memory the provider hands out. Each list, message or look-up result
// is one block from malloc holding the records and every string they point
// to, so that cmc_free releases it whole; or, for a listing copied from a
// SummaryTemplate, holding the records, whose strings stay in the template
// until the block is freed; or a listing the provider holds and lends to
// every caller until it changes (BlockRegistry::Lend). The registry knows
// which blocks are out, so that freeing anything else is refused rather
// than fatal.
#ifndef VELCMC_BLOCKS_H
#define VELCMC_BLOCKS_H

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "cmc.h"
#include "mime/parse.h"
#include "mutex.h"

namespace velcmc {

class BlockRegistry {
 public:
  ~BlockRegistry();
  // Records a block as handed out and returns it; what keep holds stays
  // until the block is freed.
  template <class T>
  T* Adopt(T* block, std::shared_ptr<const void> keep = nullptr) {
    if (block) {
      vel::os::MutexLock lock(mutex_);
      blocks_.emplace(block, Out{std::move(keep), false});
    }
    return block;
  }
  // Records a block whose memory owner holds (a listing the provider keeps
  // for the next caller too) as handed out and returns it. The same block
  // may be out several times at once; each Free of it lets go of one owner
  // reference and frees no memory.
  template <class T>
  T* Lend(T* block, std::shared_ptr<const void> owner) {
    if (block) {
      vel::os::MutexLock lock(mutex_);
      blocks_.emplace(block, Out{std::move(owner), true});
    }
    return block;
  }
  // Frees a block handed out before (one hand-out of a lent one); false
  // for anything else.
  bool Free(void* block);
  size_t Outstanding();

 private:
  struct Out {
    std::shared_ptr<const void> keep;
    bool lent = false;  // its memory belongs to keep, not to std::free
  };
  vel::os::Mutex mutex_;
  std::unordered_multimap<void*, Out> blocks_ VEL_GUARDED_BY(mutex_);
};

// One message of a listing.
struct ListedMessage {
  std::string reference;
  const MessageSummary* summary = nullptr;
  bool seen = false;
};

// The summaries in order, the last one flagged. Null for none.
CMC_message_summary* BuildSummaryBlock(const std::vector<ListedMessage>& messages);

// A full listing laid out once: a summary for each message, with its
// strings and originator, in one block that is never written again. A
// listing hands out an array of copies of some of these summaries (40
// bytes each, nothing to build) whose pointers lead into the template, and
// keeps the template alive until that array is freed (BlockRegistry's
// keep). Positions are those of the messages given to the constructor.
class SummaryTemplate {
 public:
  struct Message {
    std::string_view reference;
    const MessageSummary* summary = nullptr;
  };
  // std::bad_alloc when there is no memory for it.
  explicit SummaryTemplate(const std::vector<Message>& messages);
  ~SummaryTemplate();
  SummaryTemplate(const SummaryTemplate&) = delete;
  SummaryTemplate& operator=(const SummaryTemplate&) = delete;

  size_t Count() const { return count_; }
  // The summary at a position, its flags 0.
  const CMC_message_summary& At(uint32_t position) const { return summaries_[position]; }
  // The one copy of a message type's text that every summary of that type
  // points to; null when no message has that type.
  const char* TypeText(std::string_view type) const;

 private:
  char* base_ = nullptr;
  const CMC_message_summary* summaries_ = nullptr;
  size_t count_ = 0;
  std::vector<std::pair<std::string_view, const char*>> types_;  // the texts are in base_
};

// A message as cmc_read hands it out. attachment_paths[i] is where
// message.attachments[i] was written. flags become the message flags.
CMC_message* BuildMessageBlock(const std::string& reference, const ParsedMessage& message,
                               const std::vector<std::string>& attachment_paths, CMC_flags flags);

// A one-element recipient array.
CMC_recipient* BuildRecipientBlock(const MailAddress& address, CMC_enum role);

}  // namespace velcmc

#endif
