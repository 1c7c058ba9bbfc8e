#include "mime/cmc_blocks.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>

#include "common/cmc_block.h"

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

}  // namespace

BlockRegistry::~BlockRegistry() {
  for (auto& [block, out] : blocks_)
    if (!out.lent) std::free(block);
}

bool BlockRegistry::Free(void* block) {
  Out out;  // let go of after the lock
  {
    vel::os::MutexLock lock(mutex_);
    auto found = blocks_.find(block);
    if (found == blocks_.end()) return false;
    out = std::move(found->second);
    blocks_.erase(found);
  }
  if (!out.lent) std::free(block);
  return true;
}

size_t BlockRegistry::Outstanding() {
  vel::os::MutexLock lock(mutex_);
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
  // Each type's text once: most mailboxes hold one or two types.
  for (const Message& m : messages) {
    std::string_view type = m.summary->type;
    if (std::none_of(types_.begin(), types_.end(), [&](const auto& t) { return t.first == type; }))
      types_.emplace_back(type, nullptr);
  }
  size_t size =
      ArraySize<CMC_message_summary>(messages.size()) + ArraySize<CMC_recipient>(messages.size());
  for (const auto& type : types_) size += StringSize(type.first);
  for (const Message& m : messages) {
    size += ReferenceSize(m.reference) + StringSize(m.summary->subject);
    if (const auto& a = m.summary->originator)
      size += StringSize(DisplayNameView(*a)) + StringSize(a->address);
  }
  Block block(size);
  auto* summaries = block.Array<CMC_message_summary>(messages.size());
  auto* originators = block.Array<CMC_recipient>(messages.size());
  for (auto& type : types_) {
    char* text = block.String(type.first);
    type = {std::string_view(text, type.first.size()), text};
  }
  for (size_t i = 0; i < messages.size(); ++i) {
    const MessageSummary& m = *messages[i].summary;
    CMC_message_summary& s = summaries[i];
    s.message_reference = block.Reference(messages[i].reference);
    s.message_type = const_cast<char*>(TypeText(m.type));
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
  summaries_ = summaries;
  base_ = block.Release<char>();
}

SummaryTemplate::~SummaryTemplate() { std::free(base_); }

const char* SummaryTemplate::TypeText(std::string_view type) const {
  for (const auto& [text, pointer] : types_)
    if (text == type) return pointer;
  return nullptr;
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
