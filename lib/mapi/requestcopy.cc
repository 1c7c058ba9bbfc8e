#include "mapi/requestcopy.h"

#include <cstring>
#include <utility>

namespace {

// Arrays end at the element flagged last; a bound keeps a malformed one
// from running away.
constexpr size_t kMaxElements = 65536;

template <typename T, typename IsLast>
std::vector<T> CopyArray(const T* array, IsLast is_last) {
  std::vector<T> copy;
  if (array == nullptr) return copy;
  for (size_t i = 0; i < kMaxElements; ++i) {
    copy.push_back(array[i]);
    if (is_last(array[i])) break;
  }
  return copy;
}

}  // namespace

void sm_requestcopy::Clear() {
  strings_.clear();
  extensions_.clear();
  reference_.clear();
  message_ = {};
  recipients_.clear();
  attachments_.clear();
  note_.Free();
}

char* sm_requestcopy::Keep(const char* text) {
  if (text == nullptr) return nullptr;
  strings_.emplace_back(text);
  return strings_.back().data();
}

CMC_message_reference* sm_requestcopy::KeepReference(const CMC_message_reference* reference) {
  if (reference == nullptr) return nullptr;
  const uint32_t length = reference->length;
  reference_.assign(1 + (length + sizeof(uint32_t) - 1) / sizeof(uint32_t) + 1, 0);
  reference_[0] = length;
  memcpy(&reference_[1], reference->string, length);
  return reinterpret_cast<CMC_message_reference*>(reference_.data());
}

CMC_message* sm_requestcopy::KeepMessage(const CMC_message* message, sm_srvblock* note) {
  if (message == nullptr) return nullptr;
  message_ = *message;
  message_.message_reference = KeepReference(message->message_reference);
  message_.message_type = Keep(message->message_type);
  message_.subject = Keep(message->subject);
  if (note != nullptr && note->get() != nullptr && message->text_note == note->get()) {
    note_ = std::move(*note);
    message_.text_note = note_.as<char>();
  } else {
    message_.text_note = Keep(message->text_note);
  }

  recipients_ = CopyArray(message->recipients, [](const CMC_recipient& r) {
    return (r.recip_flags & CMC_RECIP_LAST_ELEMENT) != 0;
  });
  for (CMC_recipient& recipient : recipients_) {
    recipient.name = Keep(recipient.name);
    recipient.address = Keep(recipient.address);
  }
  message_.recipients = message->recipients != nullptr ? recipients_.data() : nullptr;

  attachments_ = CopyArray(message->attachments, [](const CMC_attachment& a) {
    return (a.attach_flags & CMC_ATT_LAST_ELEMENT) != 0;
  });
  for (CMC_attachment& attachment : attachments_) {
    attachment.attach_title = Keep(attachment.attach_title);
    attachment.attach_type = Keep(attachment.attach_type);
    attachment.attach_filename = Keep(attachment.attach_filename);
  }
  message_.attachments = message->attachments != nullptr ? attachments_.data() : nullptr;
  return &message_;
}

CMC_extension* sm_requestcopy::KeepExtensions(const CMC_extension* extensions) {
  if (extensions == nullptr) return nullptr;
  extensions_ = CopyArray(extensions, [](const CMC_extension& e) {
    return (e.extension_flags & CMC_EXT_LAST_ELEMENT) != 0;
  });
  return extensions_.data();
}
