#include "mime/compose.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <utility>

#include "mime/gmime_support.h"

namespace velcmc {
namespace {

void AddAddresses(GMimeMessage* message, GMimeAddressType type,
                  const std::vector<MailAddress>& addresses) {
  for (const MailAddress& a : addresses)
    g_mime_message_add_mailbox(message, type, a.name.empty() ? nullptr : a.name.c_str(),
                               a.address.c_str());
}

// How the text note crosses the wire. Mail is carried as lines ended by
// CRLF, at most 998 bytes each, and a CR anywhere else could end the
// message early at a server that takes CR . CR LF for its end; the stored
// message has LF line ends, and every LF becomes CRLF on its way out.
enum class TextEncoding {
  kAsIs,             // short lines of US-ASCII: no encoding needed
  kQuotedPrintable,  // 8-bit bytes or long lines: readable, and lines stay short
  kBase64,           // a CR, or no line end at the close: every byte kept exactly
};

TextEncoding EncodingFor(std::string_view text) {
  // A CR would come back as a line end (or be dropped with one), and text
  // without a line end at its close would come back with one: base64 keeps
  // both exact, since its decoding drops line ends.
  if (text.empty()) return TextEncoding::kAsIs;
  if (text.back() != '\n' || text.find('\r') != std::string_view::npos)
    return TextEncoding::kBase64;
  size_t line = 0;
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return TextEncoding::kQuotedPrintable;
    line = c == '\n' ? 0 : line + 1;
    if (line > 998) return TextEncoding::kQuotedPrintable;
  }
  return TextEncoding::kAsIs;
}

GObjectPtr<GMimeObject> TextPart(GMimeStream* text, TextEncoding encoding) {
  // The text goes in as the caller's bytes, labelled UTF-8; GMime's own
  // text setter would pick and convert to a charset of its choice.
  GObjectPtr<GMimeTextPart> part(g_mime_text_part_new_with_subtype("plain"));
  g_mime_object_set_content_type_parameter(GMIME_OBJECT(part.get()), "charset", "utf-8");
  GObjectPtr<GMimeDataWrapper> content(
      g_mime_data_wrapper_new_with_stream(text, GMIME_CONTENT_ENCODING_DEFAULT));
  g_mime_part_set_content(GMIME_PART(part.get()), content.get());
  switch (encoding) {
    case TextEncoding::kAsIs:
      // GMime may still choose quoted-printable (trailing white space).
      g_mime_object_encode(GMIME_OBJECT(part.get()), GMIME_ENCODING_CONSTRAINT_7BIT);
      break;
    case TextEncoding::kQuotedPrintable: {
      // GMime's choice for mostly 8-bit text (base64) is as safe and shorter.
      g_mime_object_encode(GMIME_OBJECT(part.get()), GMIME_ENCODING_CONSTRAINT_7BIT);
      const GMimeContentEncoding chosen = g_mime_part_get_content_encoding(GMIME_PART(part.get()));
      if (chosen != GMIME_CONTENT_ENCODING_BASE64)
        g_mime_part_set_content_encoding(GMIME_PART(part.get()),
                                         GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE);
      break;
    }
    case TextEncoding::kBase64:
      g_mime_part_set_content_encoding(GMIME_PART(part.get()), GMIME_CONTENT_ENCODING_BASE64);
      break;
  }
  return GObjectPtr<GMimeObject>(GMIME_OBJECT(part.release()));
}

// Whether a reader could take part of text for an encoded word (RFC 2047,
// "=?charset?encoding?text?=") and show what that decodes to instead of
// what was typed. Readers differ in how strictly they look for one, so any
// "=?" counts.
bool LooksEncoded(std::string_view text) { return text.find("=?") != std::string_view::npos; }

// The bytes of the UTF-8 character that starts at text[at], or 1 for a byte
// that starts none (such bytes are encoded one by one).
size_t CharacterAt(std::string_view text, size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  size_t size = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc0 ? 2 : 1;
  if (at + size > text.size()) return 1;
  for (size_t k = 1; k < size; ++k)
    if ((static_cast<unsigned char>(text[at + k]) & 0xc0) != 0x80) return 1;
  return size;
}

// text as the raw value of an unstructured header made of encoded words
// only, UTF-8 in the Q encoding, one to a line: a reader decodes them, and
// drops the folding between them, into exactly the text. Each word holds
// whole characters (a reader may decode each word alone) and stays within
// the 75 characters an encoded word may have. Q rather than base64: a
// reader may also join the payloads of neighbouring words before decoding
// them, which padding in the middle of base64 would cut short.
std::string EncodedWords(std::string_view text) {
  constexpr size_t kPayload = 75 - 12;  // what "=?utf-8?q?" and "?=" leave
  static const char kHex[] = "0123456789ABCDEF";
  std::string raw = " =?utf-8?q?";
  size_t payload = 0;
  for (size_t at = 0; at < text.size();) {
    const size_t size = CharacterAt(text, at);
    std::string encoded;
    for (size_t k = 0; k < size; ++k) {
      const auto c = static_cast<unsigned char>(text[at + k]);
      if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) {
        encoded += static_cast<char>(c);
      } else if (c == ' ') {
        encoded += '_';
      } else {
        encoded += '=';
        encoded += kHex[c >> 4];
        encoded += kHex[c & 0xf];
      }
    }
    if (payload > 0 && payload + encoded.size() > kPayload) {
      raw += "?=\n =?utf-8?q?";
      payload = 0;
    }
    raw += encoded;
    payload += encoded.size();
    at += size;
  }
  return raw + "?=\n";
}

// Sets an unstructured header the caller's text went into (as GMime
// encoded it) to encoded words only, when GMime would have left a piece
// that reads as an encoded word as it is.
void KeepLiteral(GMimeObject* object, const char* name, const std::string& text) {
  if (!LooksEncoded(text)) return;
  GMimeHeader* header = g_mime_header_list_get_header(g_mime_object_get_header_list(object), name);
  if (header != nullptr) g_mime_header_set_raw_value(header, EncodedWords(text).c_str());
}

// A title as a file name in a header: a control character (a CR or LF
// above all, which would end the part's header there) becomes '_'. GMime
// encodes what is left that is not plain ASCII (RFC 2231).
std::string HeaderFileName(const std::string& title) {
  std::string name = title;
  for (char& c : name)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '_';
  return name;
}

// Whether the stream holds UTF-8 text: valid UTF-8 and no NUL byte. Reads
// it to its end in blocks and puts it back where it started. False when
// it cannot be read.
bool HoldsUtf8Text(GMimeStream* stream) {
  char block[16384];
  size_t carried = 0;  // the start of a character cut at the block's end
  bool text = true;
  for (;;) {
    const gssize n = g_mime_stream_read(stream, block + carried, sizeof block - carried);
    if (n < 0) {
      text = false;
      break;
    }
    if (n == 0) {
      text = carried == 0;
      break;
    }
    const size_t held = carried + static_cast<size_t>(n);
    const gchar* end = nullptr;
    carried = 0;
    if (!g_utf8_validate(block, static_cast<gssize>(held), &end)) {
      const size_t rest = static_cast<size_t>(block + held - end);
      // (gunichar)-2: a valid start that the block cut short.
      if (rest >= 4 ||
          g_utf8_get_char_validated(end, static_cast<gssize>(rest)) != static_cast<gunichar>(-2)) {
        text = false;
        break;
      }
      memmove(block, end, rest);
      carried = rest;
    }
  }
  return g_mime_stream_reset(stream) == 0 && text;
}

GObjectPtr<GMimeObject> AttachmentPart(const OutgoingMessage::Attachment& attachment) {
  std::string mime_type = AttachmentMimeType(attachment.title);
  // A text file is declared UTF-8, which it must then be; one that is not
  // (binary bytes under a text name) goes as what it is, bytes.
  bool utf8 = false;
  if (mime_type.compare(0, 5, "text/") == 0) {
    utf8 = HoldsUtf8Text(attachment.content.get());
    if (!utf8) mime_type = "application/octet-stream";
  }
  size_t slash = mime_type.find('/');
  GObjectPtr<GMimePart> part(g_mime_part_new_with_type(mime_type.substr(0, slash).c_str(),
                                                       mime_type.substr(slash + 1).c_str()));
  if (utf8) g_mime_object_set_content_type_parameter(GMIME_OBJECT(part.get()), "charset", "utf-8");
  g_mime_object_set_disposition(GMIME_OBJECT(part.get()), GMIME_DISPOSITION_ATTACHMENT);
  g_mime_part_set_filename(part.get(), HeaderFileName(attachment.title).c_str());
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
  const TextEncoding encoding = m.text ? EncodingFor(*m.text) : TextEncoding::kAsIs;
  int64_t written = -1;
  {
    GObjectPtr<GMimeMessage> message(g_mime_message_new(TRUE));
    AddAddresses(message.get(), GMIME_ADDRESS_TYPE_FROM, {m.from});
    AddAddresses(message.get(), GMIME_ADDRESS_TYPE_TO, m.to);
    AddAddresses(message.get(), GMIME_ADDRESS_TYPE_CC, m.cc);
    g_mime_message_set_subject(message.get(), m.subject.c_str(), "utf-8");
    KeepLiteral(GMIME_OBJECT(message.get()), "Subject", m.subject);
    GDateTimePtr now(g_date_time_new_now_local());
    g_mime_message_set_date(message.get(), now.get());
    GCharPtr id(g_mime_utils_generate_message_id(m.domain.c_str()));
    g_mime_message_set_message_id(message.get(), id.get());
    if (!m.type.empty() && m.type != kDefaultMessageType) {
      g_mime_object_set_header(GMIME_OBJECT(message.get()), kTypeHeader, m.type.c_str(), "utf-8");
      KeepLiteral(GMIME_OBJECT(message.get()), kTypeHeader, m.type);
    }

    GObjectPtr<GMimeObject> body;
    if (m.attachments.empty()) {
      body = TextPart(text.stream.get(), encoding);
    } else {
      GObjectPtr<GMimeMultipart> mixed(g_mime_multipart_new_with_subtype("mixed"));
      if (m.text) g_mime_multipart_add(mixed.get(), TextPart(text.stream.get(), encoding).get());
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
