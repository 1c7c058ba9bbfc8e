// Reading stored messages, whoever wrote them. The parser takes whatever
// it is given: a malformed message yields what could be made of it.
#ifndef VELCMC_PARSE_H
#define VELCMC_PARSE_H

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cmc.h"
#include "mime/compose.h"
#include "mime/gmime_support.h"
#include "mime/names.h"

namespace velcmc {

// What a listing shows of a message. Worked out once per unique name: a
// maildir file's content never changes under its unique name.
struct MessageSummary {
  std::string type;
  std::string subject;
  CMC_time time{};
  uint32_t byte_length = 0;
  std::optional<MailAddress> originator;
  DeliveryKey delivery;  // has_time always true here
};

// Summarises the message file at path from its headers. Nothing when the
// file cannot be read (it may have been moved or removed meanwhile).
std::optional<MessageSummary> SummariseFile(const std::filesystem::path& path,
                                            std::string_view unique);

struct ParsedMessage {
  std::string type;
  std::string subject;
  CMC_time time{};
  // The text note: the first inline plain text part (else the first inline
  // text part), decoded to UTF-8.
  std::optional<std::string> text;
  struct Recipient {
    MailAddress address;
    uint32_t role = 0;
  };
  std::vector<Recipient> recipients;  // originator first, then to, cc, bcc
  struct Attachment {
    std::string title;
    GMimeObject* part = nullptr;  // held by message
  };
  // Every other part, a second text part too; of a multipart/alternative
  // only the rendering shown counts (and whatever is marked an attachment).
  std::vector<Attachment> attachments;
  GObjectPtr<GMimeMessage> message;  // null when nothing could be made of it
};

// Parses a whole message from a stream. The text is decoded into memory
// (std::bad_alloc when it does not fit); the attachments stay in the
// stream until written out. Without a Date header the time is the
// delivery time given.
//
// Malformed mail is read as RFC 2045 and 5322 recommend: a header block
// without the empty line that should end it, the message's or a part's,
// ends at the first line that is no header field (a message or part
// without any header is all body); a Content-Type without a subtype is
// plain text; a multipart whose boundary never occurs is its raw text; a
// sender given as the null address ("MAILER-DAEMON <>", "<>") is there,
// with the address "<>". Text and header text come out as valid UTF-8:
// whatever cannot be decoded in its charset (or in UTF-8, for US-ASCII,
// UTF-8 and charsets not known here) is U+FFFD.
//
// A recipient the visible headers do not name is a blind-copy recipient:
// the address a Delivered-To header names, or, without that header,
// mailbox (the address of the mailbox the copy was read from, when
// given). The provider's own copies carry no header of their own, since
// every copy of a delivery is the same file.
ParsedMessage ParseMessage(GMimeStream* stream, const DeliveryKey& delivery,
                           const std::string& mailbox = {});

// Writes an attachment's decoded content to out; false when writing failed.
bool WriteAttachment(const ParsedMessage::Attachment& attachment, GMimeStream* out);

// The name shown for an address: its display name, else the address.
std::string DisplayName(const MailAddress& address);

// A CMC_time in local time for seconds since the epoch.
CMC_time CmcTimeFromSeconds(int64_t seconds);

}  // namespace velcmc

#endif
