#include "blocks.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>

namespace velcmc {
namespace {

constexpr size_t kAlign = alignof(std::max_align_t);

constexpr size_t Rounded(size_t bytes) { return (bytes + kAlign - 1) / kAlign * kAlign; }
size_t StringSize(const std::string& text) { return Rounded(text.size() + 1); }
size_t ReferenceSize(const std::string& bytes) {
  // The record's declared size already holds one byte of the string.
  return Rounded(sizeof(CMC_message_reference) + bytes.size());
}
template <class T>
size_t ArraySize(size_t count) {
  return Rounded(sizeof(T) * count);
}
size_t AddressSize(const MailAddress& a) {
  return StringSize(DisplayName(a)) + StringSize(a.address);
}

// A zeroed block carved front to back; every size asked for must have
// been counted into its capacity with the functions above.
class Block {
 public:
  explicit Block(size_t capacity)
      : base_(static_cast<char*>(std::calloc(1, capacity ? capacity : 1))), capacity_(capacity) {
    if (!base_) throw std::bad_alloc();
  }
  ~Block() { std::free(base_); }
  Block(const Block&) = delete;
  Block& operator=(const Block&) = delete;

  template <class T>
  T* Array(size_t count) {
    return reinterpret_cast<T*>(Take(ArraySize<T>(count)));
  }
  char* String(const std::string& text) {
    char* out = Take(StringSize(text));
    std::memcpy(out, text.data(), text.size());
    return out;
  }
  CMC_message_reference* Reference(const std::string& bytes) {
    auto* ref = reinterpret_cast<CMC_message_reference*>(Take(ReferenceSize(bytes)));
    ref->length = static_cast<CMC_uint32>(bytes.size());
    std::memcpy(ref->string, bytes.data(), bytes.size());
    return ref;
  }
  void FillRecipient(CMC_recipient& out, const MailAddress& a, CMC_enum role) {
    out.name = String(DisplayName(a));
    out.name_type = CMC_TYPE_INDIVIDUAL;
    out.address = String(a.address);
    out.role = role;
  }
  template <class T>
  T* Release() {
    char* out = base_;
    base_ = nullptr;
    return reinterpret_cast<T*>(out);
  }

 private:
  char* Take(size_t bytes) {
    if (used_ + bytes > capacity_) std::abort();  // sizing and carving disagree: a bug here
    char* out = base_ + used_;
    used_ += bytes;
    return out;
  }
  char* base_;
  size_t capacity_;
  size_t used_ = 0;
};

}  // namespace

BlockRegistry::~BlockRegistry() {
  for (void* block : blocks_) std::free(block);
}

bool BlockRegistry::Free(void* block) {
  {
    std::lock_guard lock(mutex_);
    if (blocks_.erase(block) == 0) return false;
  }
  std::free(block);
  return true;
}

size_t BlockRegistry::Outstanding() {
  std::lock_guard lock(mutex_);
  return blocks_.size();
}

CMC_message_summary* BuildSummaryBlock(const std::vector<ListedMessage>& messages) {
  if (messages.empty()) return nullptr;
  size_t size = ArraySize<CMC_message_summary>(messages.size()) +
                ArraySize<CMC_recipient>(messages.size());
  for (const ListedMessage& m : messages) {
    size += ReferenceSize(m.reference) + StringSize(m.summary->type) +
            StringSize(m.summary->subject);
    if (m.summary->originator) size += AddressSize(*m.summary->originator);
  }

  Block block(size);
  auto* summaries = block.Array<CMC_message_summary>(messages.size());
  auto* originators = block.Array<CMC_recipient>(messages.size());
  for (size_t i = 0; i < messages.size(); ++i) {
    const MessageSummary& m = *messages[i].summary;
    CMC_message_summary& s = summaries[i];
    s.message_reference = block.Reference(messages[i].reference);
    s.message_type = block.String(m.type);
    s.subject = block.String(m.subject);
    s.time_sent = m.time;
    s.byte_length = m.byte_length;
    if (m.originator) {
      block.FillRecipient(originators[i], *m.originator, CMC_ROLE_ORIGINATOR);
      originators[i].recip_flags = CMC_RECIP_LAST_ELEMENT;
      s.originator = &originators[i];
    }
    s.summary_flags = messages[i].seen ? CMC_SUM_READ : 0;
  }
  summaries[messages.size() - 1].summary_flags |= CMC_SUM_LAST_ELEMENT;
  return block.Release<CMC_message_summary>();
}

CMC_message* BuildMessageBlock(const std::string& reference, const ParsedMessage& m,
                               const std::vector<std::string>& attachment_paths,
                               CMC_flags flags) {
  size_t size = ArraySize<CMC_message>(1) + ArraySize<CMC_recipient>(m.recipients.size()) +
                ArraySize<CMC_attachment>(m.attachments.size()) + ReferenceSize(reference) +
                StringSize(m.type) + StringSize(m.subject);
  if (m.text) size += StringSize(*m.text);
  for (const auto& r : m.recipients) size += AddressSize(r.address);
  for (size_t i = 0; i < m.attachments.size(); ++i)
    size += StringSize(m.attachments[i].title) + StringSize(attachment_paths[i]);

  Block block(size);
  auto* message = block.Array<CMC_message>(1);
  message->message_reference = block.Reference(reference);
  message->message_type = block.String(m.type);
  message->subject = block.String(m.subject);
  message->time_sent = m.time;
  message->text_note = m.text ? block.String(*m.text) : nullptr;
  message->message_flags = flags;
  if (!m.recipients.empty()) {
    auto* recipients = block.Array<CMC_recipient>(m.recipients.size());
    for (size_t i = 0; i < m.recipients.size(); ++i)
      block.FillRecipient(recipients[i], m.recipients[i].address, m.recipients[i].role);
    recipients[m.recipients.size() - 1].recip_flags |= CMC_RECIP_LAST_ELEMENT;
    message->recipients = recipients;
  }
  if (!m.attachments.empty()) {
    auto* attachments = block.Array<CMC_attachment>(m.attachments.size());
    for (size_t i = 0; i < m.attachments.size(); ++i) {
      attachments[i].attach_title = block.String(m.attachments[i].title);
      attachments[i].attach_filename = block.String(attachment_paths[i]);
    }
    attachments[m.attachments.size() - 1].attach_flags |= CMC_ATT_LAST_ELEMENT;
    message->attachments = attachments;
  }
  return block.Release<CMC_message>();
}

CMC_recipient* BuildRecipientBlock(const MailAddress& address, CMC_enum role) {
  Block block(ArraySize<CMC_recipient>(1) + AddressSize(address));
  auto* recipient = block.Array<CMC_recipient>(1);
  block.FillRecipient(*recipient, address, role);
  recipient->recip_flags = CMC_RECIP_LAST_ELEMENT;
  return block.Release<CMC_recipient>();
}

}  // namespace velcmc
