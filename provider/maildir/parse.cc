#include "parse.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>
#include <system_error>

#include "gmime_support.h"
#include "platform.h"

namespace velcmc {
namespace fs = std::filesystem;
namespace {

// More header than this is not read for a summary.
constexpr size_t kMaxHeadBytes = 1 << 20;

CMC_time CmcTimeFrom(GDateTime* when) {
  GDateTimePtr local(g_date_time_to_local(when));
  CMC_time t{};
  if (!local) return t;
  // The record's fields are 8 bits wide: the year is kept as years since
  // 1900 in an unsigned byte (1900 to 2155; a date outside is held at the
  // nearer end).
  const int since_1900 = std::clamp(g_date_time_get_year(local.get()) - 1900, 0, 255);
  t.year = static_cast<int8_t>(static_cast<uint8_t>(since_1900));
  t.month = static_cast<int8_t>(g_date_time_get_month(local.get()) - 1);
  t.day = static_cast<int8_t>(g_date_time_get_day_of_month(local.get()));
  t.hour = static_cast<int8_t>(g_date_time_get_hour(local.get()));
  t.minute = static_cast<int8_t>(g_date_time_get_minute(local.get()));
  t.second = static_cast<int8_t>(g_date_time_get_second(local.get()));
  t.isdst = g_date_time_is_daylight_savings(local.get()) ? 1 : 0;
  // Minutes east of UTC.
  t.tmzone = static_cast<int16_t>(g_date_time_get_utc_offset(local.get()) / G_TIME_SPAN_MINUTE);
  return t;
}

// The header block of a message file, up to and including the blank line
// that ends it (or the whole file when it has none), and the file's size.
// Nothing when the file is not a regular file or cannot be read.
std::optional<std::string> ReadHead(const fs::path& path, uint64_t* size) {
  int fd = vel::os::OpenRegularFile(path.string().c_str(), size);
  if (fd < 0) return std::nullopt;
  std::string head;
  char chunk[8192];
  size_t searched = 0;
  bool failed = false;
  while (head.size() < kMaxHeadBytes) {
    int64_t n = vel::os::ReadFile(fd, chunk, sizeof chunk);
    if (n < 0) failed = true;
    if (n <= 0) break;
    head.append(chunk, static_cast<size_t>(n));
    size_t from = searched > 3 ? searched - 3 : 0;
    size_t lf = head.find("\n\n", from);
    size_t crlf = head.find("\n\r\n", from);
    size_t end = std::min(lf == std::string::npos ? lf : lf + 2,
                          crlf == std::string::npos ? crlf : crlf + 3);
    if (end != std::string::npos) {
      head.resize(end);
      vel::os::CloseFile(fd);
      return head;
    }
    searched = head.size();
  }
  vel::os::CloseFile(fd);
  if (failed) return std::nullopt;
  return head + "\n";
}

GObjectPtr<GMimeMessage> Parse(GMimeStream* stream) {
  EnsureGMime();
  GObjectPtr<GMimeParser> parser(g_mime_parser_new_with_stream(stream));
  return GObjectPtr<GMimeMessage>(g_mime_parser_construct_message(parser.get(), nullptr));
}

// A header block held in memory (bounded by kMaxHeadBytes).
GObjectPtr<GMimeMessage> ParseHead(const std::string& head) {
  EnsureGMime();
  GObjectPtr<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(head.data(), head.size()));
  return Parse(stream.get());
}

void AppendMailboxes(InternetAddressList* list, std::vector<MailAddress>& out) {
  if (list == nullptr) return;
  for (int i = 0; i < internet_address_list_length(list); ++i) {
    InternetAddress* address = internet_address_list_get_address(list, i);
    if (INTERNET_ADDRESS_IS_GROUP(address)) {
      AppendMailboxes(internet_address_group_get_members(INTERNET_ADDRESS_GROUP(address)), out);
    } else if (INTERNET_ADDRESS_IS_MAILBOX(address)) {
      const char* name = internet_address_get_name(address);
      const char* addr = internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(address));
      out.push_back({name ? name : "", addr ? addr : ""});
    }
  }
}

std::vector<MailAddress> Addresses(GMimeMessage* message, GMimeAddressType type) {
  std::vector<MailAddress> out;
  AppendMailboxes(g_mime_message_get_addresses(message, type), out);
  return out;
}

// The fields a summary and a full read share.
struct HeaderFields {
  std::string type = kDefaultMessageType;
  std::string subject;
  std::optional<CMC_time> time;
  std::optional<MailAddress> originator;
};

HeaderFields ReadHeaderFields(GMimeMessage* message) {
  HeaderFields fields;
  if (message == nullptr) return fields;
  if (const char* type = g_mime_object_get_header(GMIME_OBJECT(message), kTypeHeader))
    fields.type = type;
  if (const char* subject = g_mime_message_get_subject(message)) fields.subject = subject;
  if (GDateTime* date = g_mime_message_get_date(message)) fields.time = CmcTimeFrom(date);
  std::vector<MailAddress> from = Addresses(message, GMIME_ADDRESS_TYPE_FROM);
  if (!from.empty()) fields.originator = from.front();
  return fields;
}

std::string LocalPart(const std::string& address) { return address.substr(0, address.rfind('@')); }

// Whether two addresses name the same mailbox here: the domain a message
// was addressed to and the one it was delivered under may differ.
bool SameMailbox(const std::string& a, const std::string& b) {
  std::string x = LocalPart(a), y = LocalPart(b);
  return x.size() == y.size() && std::equal(x.begin(), x.end(), y.begin(), [](char p, char q) {
           return g_ascii_tolower(p) == g_ascii_tolower(q);
         });
}

// The bcc recipients that a copy makes known: the address it was
// delivered to (its Delivered-To header, else the mailbox it was read
// from), when the visible headers do not name it.
std::vector<MailAddress> DeliveredBlind(GMimeMessage* message,
                                        const std::vector<ParsedMessage::Recipient>& named,
                                        const std::string& mailbox) {
  std::vector<MailAddress> out;
  std::vector<MailAddress> addresses;
  const char* delivered = g_mime_object_get_header(GMIME_OBJECT(message), "Delivered-To");
  if (delivered != nullptr) {
    GObjectPtr<InternetAddressList> list(internet_address_list_parse(nullptr, delivered));
    AppendMailboxes(list.get(), addresses);
  } else if (!mailbox.empty()) {
    addresses.push_back({"", mailbox});
  }
  for (const MailAddress& a : addresses) {
    bool known = std::any_of(named.begin(), named.end(), [&](const ParsedMessage::Recipient& r) {
      return r.role != CMC_ROLE_ORIGINATOR && SameMailbox(r.address.address, a.address);
    });
    if (!known) out.push_back(a);
  }
  return out;
}

struct PartWalk {
  std::vector<GMimeObject*> leaves;
};

void CollectLeaf(GMimeObject* /*parent*/, GMimeObject* part, gpointer data) {
  if (GMIME_IS_PART(part) || GMIME_IS_MESSAGE_PART(part))
    static_cast<PartWalk*>(data)->leaves.push_back(part);
}

bool IsTextType(GMimeObject* part, const char* subtype) {
  GMimeContentType* type = g_mime_object_get_content_type(part);
  return type != nullptr && g_mime_content_type_is_type(type, "text", subtype);
}

bool IsInlineText(GMimeObject* part, const char* subtype) {
  return GMIME_IS_TEXT_PART(part) && !g_mime_part_is_attachment(GMIME_PART(part)) &&
         IsTextType(part, subtype);
}

// The text of a text part in UTF-8, converted from its charset where GMime
// knows it. Cut at the first NUL, as a C string would be.
std::string DecodedText(GMimeObject* part) {
  GMimeDataWrapper* content = g_mime_part_get_content(GMIME_PART(part));
  if (content == nullptr) return {};
  std::string text;
  bool failed = false;
  GObjectPtr<GMimeStream> sink = NewStringStream(&text, &failed);
  const char* charset = g_mime_object_get_content_type_parameter(part, "charset");
  GObjectPtr<GMimeFilter> convert(charset ? g_mime_filter_charset_new(charset, "utf-8") : nullptr);
  if (convert) {
    GObjectPtr<GMimeStream> filtered(g_mime_stream_filter_new(sink.get()));
    g_mime_stream_filter_add(GMIME_STREAM_FILTER(filtered.get()), convert.get());
    g_mime_data_wrapper_write_to_stream(content, filtered.get());
    g_mime_stream_flush(filtered.get());
  } else {
    g_mime_data_wrapper_write_to_stream(content, sink.get());
  }
  if (failed) throw std::bad_alloc();
  size_t nul = text.find('\0');
  if (nul != std::string::npos) text.resize(nul);
  return text;
}

void ReadBody(GMimeMessage* message, ParsedMessage& out) {
  PartWalk walk;
  g_mime_message_foreach(message, CollectLeaf, &walk);
  // The text note: the first inline text/plain part, else the first
  // inline text part of any kind.
  GMimeObject* note = nullptr;
  for (const char* subtype : {"plain", "*"}) {
    for (GMimeObject* part : walk.leaves) {
      if (IsInlineText(part, subtype)) {
        note = part;
        break;
      }
    }
    if (note) break;
  }
  if (note) out.text = DecodedText(note);
  // Attachments: every other part that is marked as one, is named, or is
  // not text (inline text alternatives of the note are not attachments).
  for (GMimeObject* part : walk.leaves) {
    if (part == note) continue;
    ParsedMessage::Attachment attachment;
    attachment.part = part;
    if (GMIME_IS_MESSAGE_PART(part)) {
      const char* name = g_mime_object_get_content_disposition_parameter(part, "filename");
      attachment.title = name ? name : "";
      if (attachment.title.empty())
        attachment.title = "message" + std::to_string(out.attachments.size() + 1) + ".eml";
    } else {
      GMimePart* leaf = GMIME_PART(part);
      const char* name = g_mime_part_get_filename(leaf);
      if (!g_mime_part_is_attachment(leaf) && name == nullptr && IsTextType(part, "*")) continue;
      attachment.title = name ? name : "";
      if (attachment.title.empty())
        attachment.title = "attachment" + std::to_string(out.attachments.size() + 1);
    }
    out.attachments.push_back(std::move(attachment));
  }
}

int64_t FileTimeSeconds(const fs::path& path) {
  std::error_code ec;
  auto written = fs::last_write_time(path, ec);
  if (ec) return 0;
  auto system = std::chrono::system_clock::now() +
                std::chrono::duration_cast<std::chrono::system_clock::duration>(
                    written - fs::file_time_type::clock::now());
  return std::chrono::duration_cast<std::chrono::seconds>(system.time_since_epoch()).count();
}

}  // namespace

std::string DisplayName(const MailAddress& address) {
  return address.name.empty() ? address.address : address.name;
}

CMC_time CmcTimeFromSeconds(int64_t seconds) {
  GDateTimePtr when(g_date_time_new_from_unix_utc(seconds));
  return when ? CmcTimeFrom(when.get()) : CMC_time{};
}

std::optional<MessageSummary> SummariseFile(const fs::path& path, std::string_view unique) {
  uint64_t size = 0;
  std::optional<std::string> head = ReadHead(path, &size);
  if (!head) return std::nullopt;

  MessageSummary summary;
  summary.delivery = ParseDeliveryKey(unique);
  if (!summary.delivery.has_time) {
    summary.delivery.has_time = true;
    summary.delivery.seconds = FileTimeSeconds(path);
  }
  GObjectPtr<GMimeMessage> message = ParseHead(*head);
  HeaderFields fields = ReadHeaderFields(message.get());
  summary.type = std::move(fields.type);
  summary.subject = std::move(fields.subject);
  summary.time = fields.time.value_or(CmcTimeFromSeconds(summary.delivery.seconds));
  summary.byte_length = static_cast<uint32_t>(std::min<uint64_t>(size, UINT32_MAX));
  summary.originator = std::move(fields.originator);
  return summary;
}

ParsedMessage ParseMessage(GMimeStream* stream, const DeliveryKey& delivery,
                           const std::string& mailbox) {
  ParsedMessage out;
  out.message = Parse(stream);
  GMimeMessage* message = out.message.get();
  HeaderFields fields = ReadHeaderFields(message);
  out.type = std::move(fields.type);
  out.subject = std::move(fields.subject);
  out.time = fields.time.value_or(CmcTimeFromSeconds(delivery.seconds));
  if (fields.originator) out.recipients.push_back({*fields.originator, CMC_ROLE_ORIGINATOR});
  if (!message) return out;
  for (auto [type, role] : {std::pair{GMIME_ADDRESS_TYPE_TO, CMC_ROLE_TO},
                            std::pair{GMIME_ADDRESS_TYPE_CC, CMC_ROLE_CC},
                            std::pair{GMIME_ADDRESS_TYPE_BCC, CMC_ROLE_BCC}}) {
    for (MailAddress& a : Addresses(message, type)) out.recipients.push_back({a, role});
  }
  for (MailAddress& a : DeliveredBlind(message, out.recipients, mailbox))
    out.recipients.push_back({a, CMC_ROLE_BCC});
  ReadBody(message, out);
  return out;
}

bool WriteAttachment(const ParsedMessage::Attachment& attachment, GMimeStream* out) {
  if (GMIME_IS_MESSAGE_PART(attachment.part)) {
    // An attached message is written out as it was sent.
    GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(attachment.part));
    if (inner != nullptr && g_mime_object_write_to_stream(GMIME_OBJECT(inner), nullptr, out) < 0)
      return false;
  } else {
    GMimeDataWrapper* content = g_mime_part_get_content(GMIME_PART(attachment.part));
    if (content != nullptr && g_mime_data_wrapper_write_to_stream(content, out) < 0) return false;
  }
  return g_mime_stream_flush(out) == 0;
}

}  // namespace velcmc
