#include "compose.h"

#include <algorithm>
#include <cctype>
#include <utility>

#include "gmime_support.h"

namespace velcmc {
namespace {

void AddAddresses(GMimeMessage* message, GMimeAddressType type,
                  const std::vector<MailAddress>& addresses) {
  for (const MailAddress& a : addresses)
    g_mime_message_add_mailbox(message, type, a.name.empty() ? nullptr : a.name.c_str(),
                               a.address.c_str());
}

// Text without a line end at its close would come back with one: a
// message body is always written ending with a line end. Base64 keeps the
// text exact, since its decoding drops line ends.
bool NeedsExactEnding(std::string_view text) { return !text.empty() && text.back() != '\n'; }

GObjectPtr<GMimeObject> TextPart(GMimeStream* text, bool exact_ending) {
  // The text goes in as the caller's bytes, labelled UTF-8; GMime's own
  // text setter would pick and convert to a charset of its choice.
  GObjectPtr<GMimeTextPart> part(g_mime_text_part_new_with_subtype("plain"));
  g_mime_object_set_content_type_parameter(GMIME_OBJECT(part.get()), "charset", "utf-8");
  GObjectPtr<GMimeDataWrapper> content(
      g_mime_data_wrapper_new_with_stream(text, GMIME_CONTENT_ENCODING_DEFAULT));
  g_mime_part_set_content(GMIME_PART(part.get()), content.get());
  // Quoted-printable or base64 only where the text needs it.
  g_mime_object_encode(GMIME_OBJECT(part.get()), GMIME_ENCODING_CONSTRAINT_7BIT);
  if (exact_ending)
    g_mime_part_set_content_encoding(GMIME_PART(part.get()), GMIME_CONTENT_ENCODING_BASE64);
  return GObjectPtr<GMimeObject>(GMIME_OBJECT(part.release()));
}

GObjectPtr<GMimeObject> AttachmentPart(const OutgoingMessage::Attachment& attachment) {
  std::string mime_type = AttachmentMimeType(attachment.title);
  size_t slash = mime_type.find('/');
  GObjectPtr<GMimePart> part(g_mime_part_new_with_type(mime_type.substr(0, slash).c_str(),
                                                       mime_type.substr(slash + 1).c_str()));
  g_mime_object_set_disposition(GMIME_OBJECT(part.get()), GMIME_DISPOSITION_ATTACHMENT);
  g_mime_part_set_filename(part.get(), attachment.title.c_str());
  GObjectPtr<GMimeDataWrapper> content(g_mime_data_wrapper_new_with_stream(
      attachment.content.get(), GMIME_CONTENT_ENCODING_DEFAULT));
  g_mime_part_set_content(part.get(), content.get());
  // Base64 keeps every byte as it is, line ends included.
  g_mime_part_set_content_encoding(part.get(), GMIME_CONTENT_ENCODING_BASE64);
  return GObjectPtr<GMimeObject>(GMIME_OBJECT(part.release()));
}

}  // namespace

std::string AttachmentMimeType(const std::string& title) {
  static const std::pair<const char*, const char*> kTypes[] = {
      {"txt", "text/plain"},      {"csv", "text/csv"},        {"htm", "text/html"},
      {"html", "text/html"},      {"xml", "application/xml"}, {"json", "application/json"},
      {"pdf", "application/pdf"}, {"zip", "application/zip"}, {"gz", "application/gzip"},
      {"png", "image/png"},       {"jpg", "image/jpeg"},      {"jpeg", "image/jpeg"},
      {"gif", "image/gif"}};
  size_t dot = title.rfind('.');
  if (dot != std::string::npos) {
    std::string extension = title.substr(dot + 1);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (const auto& [known, type] : kTypes)
      if (extension == known) return type;
  }
  return "application/octet-stream";
}

int64_t WriteComposedMessage(const OutgoingMessage& m, GMimeStream* out) {
  EnsureGMime();
  BorrowedStream text =
      NewBorrowedStream(m.text ? m.text->data() : nullptr, m.text ? m.text->size() : 0);
  const bool exact_ending = m.text && NeedsExactEnding(*m.text);
  int64_t written = -1;
  {
    GObjectPtr<GMimeMessage> message(g_mime_message_new(TRUE));
    AddAddresses(message.get(), GMIME_ADDRESS_TYPE_FROM, {m.from});
    AddAddresses(message.get(), GMIME_ADDRESS_TYPE_TO, m.to);
    AddAddresses(message.get(), GMIME_ADDRESS_TYPE_CC, m.cc);
    g_mime_message_set_subject(message.get(), m.subject.c_str(), "utf-8");
    GDateTimePtr now(g_date_time_new_now_local());
    g_mime_message_set_date(message.get(), now.get());
    GCharPtr id(g_mime_utils_generate_message_id(m.domain.c_str()));
    g_mime_message_set_message_id(message.get(), id.get());
    if (!m.type.empty() && m.type != kDefaultMessageType)
      g_mime_object_set_header(GMIME_OBJECT(message.get()), kTypeHeader, m.type.c_str(), "utf-8");

    GObjectPtr<GMimeObject> body;
    if (m.attachments.empty()) {
      body = TextPart(text.stream.get(), exact_ending);
    } else {
      GObjectPtr<GMimeMultipart> mixed(g_mime_multipart_new_with_subtype("mixed"));
      if (m.text)
        g_mime_multipart_add(mixed.get(), TextPart(text.stream.get(), exact_ending).get());
      for (const auto& attachment : m.attachments)
        g_mime_multipart_add(mixed.get(), AttachmentPart(attachment).get());
      body.reset(GMIME_OBJECT(mixed.release()));
    }
    g_mime_message_set_mime_part(message.get(), body.get());

    written = g_mime_object_write_to_stream(GMIME_OBJECT(message.get()), nullptr, out);
    if (written >= 0 && g_mime_stream_flush(out) != 0) written = -1;
  }
  // The message and its parts are gone: nothing reads the text any more.
  ReleaseBorrowedStream(text);
  return written;
}

}  // namespace velcmc
