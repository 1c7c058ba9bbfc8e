#include "testcmc/testcmc_blocks.h"

#include <cstring>
#include <string>

#include "common/cmc_block.h"

namespace testcmc::detail {
namespace {

// Message flag: the message had been read before this read.
constexpr CMC_flags kMessageRead = 0x1;

using cmcblock::ArraySize;
using cmcblock::Block;
using cmcblock::ReferenceSize;
using cmcblock::StringSize;

char* OptionalString(Block& block, const std::string& text, bool null) {
  return null ? nullptr : block.String(text);
}

void FillRecipient(Block& block, CMC_recipient& out, const std::string& name, CMC_enum role) {
  out.name = block.String(name);
  out.name_type = CMC_TYPE_INDIVIDUAL;
  out.address = block.String(name);
  out.role = role;
}

}  // namespace

CMC_message_summary* BuildSummaryBlock(const std::vector<const Message*>& messages) {
  if (messages.empty()) return nullptr;
  size_t size =
      ArraySize<CMC_message_summary>(messages.size()) + ArraySize<CMC_recipient>(messages.size());
  for (const Message* m : messages) {
    size += ReferenceSize(m->reference) + StringSize(m->type) + StringSize(m->subject) +
            2 * StringSize(m->sender);
  }

  Block block(size);
  auto* summaries = block.Array<CMC_message_summary>(messages.size());
  auto* originators = block.Array<CMC_recipient>(messages.size());
  for (size_t i = 0; i < messages.size(); ++i) {
    const Message& m = *messages[i];
    CMC_message_summary& s = summaries[i];
    s.message_reference = m.null_reference ? nullptr : block.Reference(m.reference);
    s.message_type = OptionalString(block, m.type, m.null_type);
    s.subject = OptionalString(block, m.subject, m.null_subject);
    s.time_sent = m.time;
    s.byte_length = static_cast<CMC_uint32>(m.text.size());
    FillRecipient(block, originators[i], m.sender, CMC_ROLE_ORIGINATOR);
    originators[i].recip_flags = CMC_RECIP_LAST_ELEMENT;
    s.originator = &originators[i];
    s.summary_flags = m.read ? CMC_SUM_READ : 0;
  }
  summaries[messages.size() - 1].summary_flags |= CMC_SUM_LAST_ELEMENT;
  return block.Release<CMC_message_summary>();
}

CMC_message* BuildMessageBlock(const Message& m) {
  const size_t recipient_count = 1 + m.recipients.size();
  size_t size = ArraySize<CMC_message>(1) + ArraySize<CMC_recipient>(recipient_count) +
                ArraySize<CMC_attachment>(m.attachments.size()) + ReferenceSize(m.reference) +
                StringSize(m.type) + StringSize(m.subject) + StringSize(m.text) +
                2 * StringSize(m.sender);
  for (const auto& [name, role] : m.recipients) size += 2 * StringSize(name);
  for (const auto& [title, file] : m.attachments) size += StringSize(title) + StringSize(file);

  Block block(size);
  auto* message = block.Array<CMC_message>(1);
  message->message_reference = m.null_reference ? nullptr : block.Reference(m.reference);
  message->message_type = OptionalString(block, m.type, m.null_type);
  message->subject = OptionalString(block, m.subject, m.null_subject);
  message->time_sent = m.time;
  message->text_note = OptionalString(block, m.text, m.null_text);
  message->message_flags = m.read ? kMessageRead : 0;

  auto* recipients = block.Array<CMC_recipient>(recipient_count);
  FillRecipient(block, recipients[0], m.sender, CMC_ROLE_ORIGINATOR);
  for (size_t i = 0; i < m.recipients.size(); ++i)
    FillRecipient(block, recipients[i + 1], m.recipients[i].first, m.recipients[i].second);
  recipients[recipient_count - 1].recip_flags |= CMC_RECIP_LAST_ELEMENT;
  message->recipients = recipients;

  if (!m.attachments.empty()) {
    auto* attachments = block.Array<CMC_attachment>(m.attachments.size());
    for (size_t i = 0; i < m.attachments.size(); ++i) {
      attachments[i].attach_title = block.String(m.attachments[i].first);
      attachments[i].attach_filename = block.String(m.attachments[i].second);
    }
    attachments[m.attachments.size() - 1].attach_flags |= CMC_ATT_LAST_ELEMENT;
    message->attachments = attachments;
  }
  return block.Release<CMC_message>();
}

}  // namespace testcmc::detail
