#include "blocks.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>

#include "cmc_block.h"

namespace velcmc {
namespace {

using cmcblock::ArraySize;
using cmcblock::Block;
using cmcblock::ReferenceSize;
using cmcblock::StringSize;

size_t AddressSize(const MailAddress& a) {
  return StringSize(DisplayName(a)) + StringSize(a.address);
}

void FillRecipient(Block& block, CMC_recipient& out, const MailAddress& a, CMC_enum role) {
  out.name = block.String(DisplayName(a));
  out.name_type = CMC_TYPE_INDIVIDUAL;
  out.address = block.String(a.address);
  out.role = role;
}

std::string_view DisplayNameView(const MailAddress& a) {
  return a.name.empty() ? a.address : a.name;
}

// A pointer into one block, moved to the same place in another.
template <class T>
T* Moved(T* pointer, uintptr_t delta) {
  return pointer ? reinterpret_cast<T*>(reinterpret_cast<uintptr_t>(pointer) + delta) : nullptr;
}

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
  size_t size =
      ArraySize<CMC_message_summary>(messages.size()) + ArraySize<CMC_recipient>(messages.size());
  for (const ListedMessage& m : messages) {
    size +=
        ReferenceSize(m.reference) + StringSize(m.summary->type) + StringSize(m.summary->subject);
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
      FillRecipient(block, originators[i], *m.originator, CMC_ROLE_ORIGINATOR);
      originators[i].recip_flags = CMC_RECIP_LAST_ELEMENT;
      s.originator = &originators[i];
    }
    s.summary_flags = messages[i].seen ? CMC_SUM_READ : 0;
  }
  summaries[messages.size() - 1].summary_flags |= CMC_SUM_LAST_ELEMENT;
  return block.Release<CMC_message_summary>();
}

SummaryTemplate::SummaryTemplate(const std::vector<Message>& messages) : count_(messages.size()) {
  if (messages.empty()) return;
  size_t size =
      ArraySize<CMC_message_summary>(messages.size()) + ArraySize<CMC_recipient>(messages.size());
  for (const Message& m : messages) {
    size +=
        ReferenceSize(m.reference) + StringSize(m.summary->type) + StringSize(m.summary->subject);
    if (const auto& a = m.summary->originator)
      size += StringSize(DisplayNameView(*a)) + StringSize(a->address);
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
      CMC_recipient& o = originators[i];
      o.name = block.String(DisplayNameView(*m.originator));
      o.name_type = CMC_TYPE_INDIVIDUAL;
      o.address = block.String(m.originator->address);
      o.role = CMC_ROLE_ORIGINATOR;
      o.recip_flags = CMC_RECIP_LAST_ELEMENT;
      s.originator = &o;
    }
  }
  base_ = block.Release<char>();
  size_ = size;
}

SummaryTemplate::~SummaryTemplate() { std::free(base_); }

CMC_message_summary* SummaryTemplate::Copy(const std::vector<Pick>& picks) const {
  if (picks.empty() || base_ == nullptr) return nullptr;
  char* out = static_cast<char*>(std::malloc(size_));
  if (out == nullptr) throw std::bad_alloc();
  std::memcpy(out, base_, size_);
  // Unsigned arithmetic: the difference wraps around and back.
  const uintptr_t delta = reinterpret_cast<uintptr_t>(out) - reinterpret_cast<uintptr_t>(base_);
  const auto* from = reinterpret_cast<const CMC_message_summary*>(base_);
  auto* to = reinterpret_cast<CMC_message_summary*>(out);
  size_t n = 0;
  for (const auto& [position, flags] : picks) {
    if (position >= count_) std::abort();  // the caller's positions are its own: a bug
    // Read from the template: the copy's array is being overwritten. Each
    // originator belongs to one position, so it is moved once.
    CMC_message_summary s = from[position];
    s.message_reference = Moved(s.message_reference, delta);
    s.message_type = Moved(s.message_type, delta);
    s.subject = Moved(s.subject, delta);
    s.originator = Moved(s.originator, delta);
    if (s.originator) {
      s.originator->name = Moved(s.originator->name, delta);
      s.originator->address = Moved(s.originator->address, delta);
    }
    s.summary_flags = flags;
    to[n++] = s;
  }
  to[n - 1].summary_flags |= CMC_SUM_LAST_ELEMENT;
  // What is left of the array past the last one points into the template.
  std::memset(static_cast<void*>(to + n), 0, (count_ - n) * sizeof(CMC_message_summary));
  return to;
}

CMC_message* BuildMessageBlock(const std::string& reference, const ParsedMessage& m,
                               const std::vector<std::string>& attachment_paths, CMC_flags flags) {
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
      FillRecipient(block, recipients[i], m.recipients[i].address, m.recipients[i].role);
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
  FillRecipient(block, *recipient, address, role);
  recipient->recip_flags = CMC_RECIP_LAST_ELEMENT;
  return block.Release<CMC_recipient>();
}

}  // namespace velcmc
