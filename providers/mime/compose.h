// Builds the RFC 5322 / MIME text of an outgoing message.
#ifndef VELCMC_COMPOSE_H
#define VELCMC_COMPOSE_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mime/gmime_support.h"

namespace velcmc {

// The message type that needs no header of its own.
inline constexpr const char kDefaultMessageType[] = "CMC: IPM";
// The header that carries any other message type.
inline constexpr const char kTypeHeader[] = "X-Velcmc-Type";

struct MailAddress {
  std::string name;     // display name, may be empty
  std::string address;  // the bare address, local@domain
};

struct OutgoingMessage {
  MailAddress from;
  std::vector<MailAddress> to, cc;  // bcc recipients get copies, not headers
  std::string subject;
  std::string type;                      // empty or the default: no type header
  std::optional<std::string_view> text;  // the text note, UTF-8, read in place
  struct Attachment {
    std::string title;
    GObjectPtr<GMimeStream> content;  // read from its position to its end
  };
  std::vector<Attachment> attachments;
  std::string domain;  // for the Message-ID
};

// Writes the message as it is stored (LF line ends) to out: headers From,
// To, Cc, Subject, Date, Message-ID and the type header where needed; the
// text as text/plain in UTF-8, and each attachment base64-encoded with its
// title as file name, in a multipart/mixed when there are attachments.
// The subject and the type header read back as exactly the text given:
// one holding "=?", which a reader could take for an encoded word, is
// written as encoded words only.
// The text is sent as it is only when it is short lines of US-ASCII with a
// line end at its close; 8-bit bytes or a line over 998 bytes make it
// quoted-printable (or base64, where GMime finds that shorter), and a CR
// or a missing final line end base64, so that it decodes to exactly the
// bytes given and no CR reaches the wire outside a line end. A title's
// control characters become '_' in the file name. A text attachment (by
// its title's extension) is declared charset=utf-8 when it is UTF-8 text,
// and application/octet-stream when it is not.
// Nothing of the message's size is held in memory: the text and the
// attachments are read as they are written (a text attachment is read
// once more before, to check it is UTF-8). Returns the number of bytes
// written, or -1 when writing failed.
int64_t WriteComposedMessage(const OutgoingMessage& message, GMimeStream* out);

// The MIME type to announce for an attachment, from its title's extension.
std::string AttachmentMimeType(const std::string& title);

}  // namespace velcmc

#endif
