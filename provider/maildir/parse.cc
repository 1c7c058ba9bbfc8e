#include "parse.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <system_error>

#include "gmime_support.h"

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
// that ends it (or the whole file when it has none).
std::optional<std::string> ReadHead(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string head;
  char chunk[8192];
  size_t searched = 0;
  while (head.size() < kMaxHeadBytes) {
    in.read(chunk, sizeof chunk);
    if (in.gcount() <= 0) break;
    head.append(chunk, static_cast<size_t>(in.gcount()));
    size_t from = searched > 3 ? searched - 3 : 0;
    size_t lf = head.find("\n\n", from);
    size_t crlf = head.find("\n\r\n", from);
    size_t end = std::min(lf == std::string::npos ? lf : lf + 2,
                          crlf == std::string::npos ? crlf : crlf + 3);
    if (end != std::string::npos) {
      head.resize(end);
      return head;
    }
    searched = head.size();
  }
  if (in.bad()) return std::nullopt;
  return head + "\n";
}

GObjectPtr<GMimeMessage> Parse(const std::string& bytes) {
  EnsureGMime();
  GObjectPtr<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(
      bytes.data(), bytes.size()));
  GObjectPtr<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
  return GObjectPtr<GMimeMessage>(g_mime_parser_construct_message(parser.get(), nullptr));
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

std::string LocalPart(const std::string& address) {
  return address.substr(0, address.rfind('@'));
}

// Whether two addresses name the same mailbox here: the domain a message
// was addressed to and the one it was delivered under may differ.
bool SameMailbox(const std::string& a, const std::string& b) {
  std::string x = LocalPart(a), y = LocalPart(b);
  return x.size() == y.size() && std::equal(x.begin(), x.end(), y.begin(), [](char p, char q) {
           return g_ascii_tolower(p) == g_ascii_tolower(q);
         });
}

// The bcc recipients that a copy makes known: the address it was
// delivered to, when the visible headers do not name it.
std::vector<MailAddress> DeliveredBlind(GMimeMessage* message,
                                        const std::vector<ParsedMessage::Recipient>& named) {
  std::vector<MailAddress> out;
  const char* delivered = g_mime_object_get_header(GMIME_OBJECT(message), "Delivered-To");
  if (delivered == nullptr) return out;
  GObjectPtr<InternetAddressList> list(internet_address_list_parse(nullptr, delivered));
  std::vector<MailAddress> addresses;
  AppendMailboxes(list.get(), addresses);
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

std::string DecodedContent(GMimePart* part) {
  GMimeDataWrapper* content = g_mime_part_get_content(part);
  if (content == nullptr) return {};
  GObjectPtr<GMimeStream> out(g_mime_stream_mem_new());
  g_mime_data_wrapper_write_to_stream(content, out.get());
  return StreamBytes(out.get());
}

std::string SerializedMessage(GMimeMessagePart* part) {
  GMimeMessage* inner = g_mime_message_part_get_message(part);
  if (inner == nullptr) return {};
  GObjectPtr<GMimeStream> out(g_mime_stream_mem_new());
  g_mime_object_write_to_stream(GMIME_OBJECT(inner), nullptr, out.get());
  return StreamBytes(out.get());
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
  if (note) {
    GCharPtr text(g_mime_text_part_get_text(GMIME_TEXT_PART(note)));
    out.text = text ? text.get() : "";
  }
  // Attachments: every other part that is marked as one, is named, or is
  // not text (inline text alternatives of the note are not attachments).
  for (GMimeObject* part : walk.leaves) {
    if (part == note) continue;
    ParsedMessage::Attachment attachment;
    if (GMIME_IS_MESSAGE_PART(part)) {
      attachment.data = SerializedMessage(GMIME_MESSAGE_PART(part));
      const char* name = g_mime_object_get_content_disposition_parameter(part, "filename");
      attachment.title = name ? name : "";
      if (attachment.title.empty())
        attachment.title = "message" + std::to_string(out.attachments.size() + 1) + ".eml";
    } else {
      GMimePart* leaf = GMIME_PART(part);
      const char* name = g_mime_part_get_filename(leaf);
      if (!g_mime_part_is_attachment(leaf) && name == nullptr && IsTextType(part, "*")) continue;
      attachment.data = DecodedContent(leaf);
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
  std::optional<std::string> head = ReadHead(path);
  if (!head) return std::nullopt;
  std::error_code ec;
  uintmax_t size = fs::file_size(path, ec);
  if (ec) return std::nullopt;

  MessageSummary summary;
  summary.delivery = ParseDeliveryKey(unique);
  if (!summary.delivery.has_time) {
    summary.delivery.has_time = true;
    summary.delivery.seconds = FileTimeSeconds(path);
  }
  GObjectPtr<GMimeMessage> message = Parse(*head);
  HeaderFields fields = ReadHeaderFields(message.get());
  summary.type = std::move(fields.type);
  summary.subject = std::move(fields.subject);
  summary.time = fields.time.value_or(CmcTimeFromSeconds(summary.delivery.seconds));
  summary.byte_length = static_cast<uint32_t>(std::min<uintmax_t>(size, UINT32_MAX));
  summary.originator = std::move(fields.originator);
  return summary;
}

ParsedMessage ParseMessage(const std::string& bytes, const DeliveryKey& delivery) {
  ParsedMessage out;
  GObjectPtr<GMimeMessage> message = Parse(bytes);
  HeaderFields fields = ReadHeaderFields(message.get());
  out.type = std::move(fields.type);
  out.subject = std::move(fields.subject);
  out.time = fields.time.value_or(CmcTimeFromSeconds(delivery.seconds));
  if (fields.originator) out.recipients.push_back({*fields.originator, CMC_ROLE_ORIGINATOR});
  if (!message) return out;
  for (auto [type, role] : {std::pair{GMIME_ADDRESS_TYPE_TO, CMC_ROLE_TO},
                            std::pair{GMIME_ADDRESS_TYPE_CC, CMC_ROLE_CC},
                            std::pair{GMIME_ADDRESS_TYPE_BCC, CMC_ROLE_BCC}}) {
    for (MailAddress& a : Addresses(message.get(), type)) out.recipients.push_back({a, role});
  }
  for (MailAddress& a : DeliveredBlind(message.get(), out.recipients))
    out.recipients.push_back({a, CMC_ROLE_BCC});
  ReadBody(message.get(), out);
  return out;
}

}  // namespace velcmc
