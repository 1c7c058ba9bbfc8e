// Builds the RFC 5322 / MIME text of an outgoing message.
#ifndef VELCMC_COMPOSE_H
#define VELCMC_COMPOSE_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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
  std::string type;                 // empty or the default: no type header
  std::optional<std::string> text;  // the text note, UTF-8
  struct Attachment {
    std::string title;
    std::string data;
  };
  std::vector<Attachment> attachments;
  std::string domain;  // for the Message-ID
};

// The message as it is stored (LF line ends): headers From, To, Cc,
// Subject, Date, Message-ID and the type header where needed; the text as
// text/plain in UTF-8, and each attachment base64-encoded with its title as
// file name, in a multipart/mixed when there are attachments.
std::string ComposeMessage(const OutgoingMessage& message);

// The MIME type to announce for an attachment, from its title's extension.
std::string AttachmentMimeType(const std::string& title);

}  // namespace velcmc

#endif
