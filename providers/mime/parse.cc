#include "mime/parse.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>
#include <system_error>

#include "file_system.h"
#include "mime/gmime_support.h"
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

// Whether a line (without its line end) belongs to a header block: a
// field "name:" (the name printable ASCII without ':', white space before
// the colon allowed as the obsolete syntax has it), the continuation of
// one, or an mbox separator line ("From ...").
bool IsHeaderLine(std::string_view line) {
  if (line.empty()) return false;
  if (line.front() == ' ' || line.front() == '\t' || line.substr(0, 5) == "From ") return true;
  const size_t name_end = std::min(line.find_first_of(": \t"), line.size());
  const size_t colon = line.find_first_not_of(" \t", name_end);
  if (name_end == 0 || colon == std::string_view::npos || line[colon] != ':') return false;
  return std::all_of(line.begin(), line.begin() + static_cast<std::ptrdiff_t>(name_end),
                     [](char c) {
                       const auto byte = static_cast<unsigned char>(c);
                       return byte >= 0x21 && byte <= 0x7e;
                     });
}

// Where the header block of a message ends: at its first empty line (the
// body follows it), or, where a sender left that line out, at the first
// line that cannot belong to a header block, which begins the body. A
// message that starts with such a line has no header at all.
struct HeadEnd {
  size_t body = 0;         // where the body begins
  bool separated = false;  // an empty line ends the header block
};

// Scans the complete lines of head from *from on. Nothing while each of
// them belongs to the header block; *from is then where the first line not
// complete yet starts.
std::optional<HeadEnd> ScanHead(std::string_view head, size_t* from) {
  for (;;) {
    const size_t lf = head.find('\n', *from);
    if (lf == std::string_view::npos) return std::nullopt;
    std::string_view line = head.substr(*from, lf - *from);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) return HeadEnd{lf + 1, true};
    if (!IsHeaderLine(line)) return HeadEnd{*from, false};
    *from = lf + 1;
  }
}

// The end of a header block that reaches the end of the message: its last
// line, without a line end, may still begin a body.
HeadEnd FinishHead(std::string_view head, size_t from) {
  std::string_view last = head.substr(from);
  if (!last.empty() && last.back() == '\r') last.remove_suffix(1);
  return HeadEnd{last.empty() || IsHeaderLine(last) ? head.size() : from, false};
}

// The header block of a message file, up to and including the blank line
// that ends it, followed by a blank line where the file has none; and the
// file's size. Nothing when the file is not a regular file or cannot be
// read.
std::optional<std::string> ReadHead(const fs::path& path, uint64_t* size) {
  int fd = vel::os::Files().OpenRegularFile(path.string().c_str(), size, false);
  if (fd < 0) return std::nullopt;
  std::string head;
  char chunk[8192];
  size_t from = 0;
  std::optional<HeadEnd> end;
  bool failed = false;
  while (!end && head.size() < kMaxHeadBytes) {
    int64_t n = vel::os::Files().ReadFile(fd, chunk, sizeof chunk);
    if (n < 0) failed = true;
    if (n <= 0) {
      if (!failed) end = FinishHead(head, from);
      break;
    }
    head.append(chunk, static_cast<size_t>(n));
    end = ScanHead(head, &from);
  }
  vel::os::Files().CloseFile(fd);
  if (failed) return std::nullopt;
  // A header block longer than the bound is read up to its last whole line.
  head.resize(end ? end->body : from);
  if (!end || !end->separated) head += "\n";
  return head;
}

GObjectPtr<GMimeMessage> Parse(GMimeStream* stream) {
  EnsureGMime();
  GObjectPtr<GMimeParser> parser(g_mime_parser_new_with_stream(stream));
  return GObjectPtr<GMimeMessage>(g_mime_parser_construct_message(parser.get(), nullptr));
}

// The stream to parse a message from: the stream itself, or, for a message
// whose header block no empty line ends, the header block, an empty line
// and the rest, so that the parser finds the body where it begins. Reads
// at most about kMaxHeadBytes of the stream (std::bad_alloc when that does
// not fit) and leaves its position where it was.
GObjectPtr<GMimeStream> WithHeadEnded(GMimeStream* stream) {
  g_object_ref(stream);
  GObjectPtr<GMimeStream> as_is(stream);
  const gint64 start = g_mime_stream_tell(stream);
  if (start < 0) return as_is;
  std::string head;
  char chunk[8192];
  size_t from = 0;
  std::optional<HeadEnd> end;
  while (!end && head.size() < kMaxHeadBytes) {
    const gssize n = g_mime_stream_read(stream, chunk, sizeof chunk);
    if (n <= 0) {
      if (n == 0) end = FinishHead(head, from);
      break;
    }
    head.append(chunk, static_cast<size_t>(n));
    end = ScanHead(head, &from);
  }
  if (g_mime_stream_seek(stream, start, GMIME_STREAM_SEEK_SET) != start) return as_is;
  if (!end || end->separated || end->body == head.size()) return as_is;
  const gint64 body = start + static_cast<gint64>(end->body);
  GObjectPtr<GMimeStream> cat(g_mime_stream_cat_new());
  GObjectPtr<GMimeStream> header(g_mime_stream_substream(stream, start, body));
  GObjectPtr<GMimeStream> blank(g_mime_stream_mem_new_with_buffer("\n", 1));
  GObjectPtr<GMimeStream> rest(g_mime_stream_substream(stream, body, -1));
  for (GMimeStream* source : {header.get(), blank.get(), rest.get()})
    g_mime_stream_cat_add_source(GMIME_STREAM_CAT(cat.get()), source);
  return cat;
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

std::string_view Trimmed(std::string_view text) {
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

bool IsDigits(std::string_view text, size_t min, size_t max) {
  return text.size() >= min && text.size() <= max &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A time of day as a date's time token may write it: "hh:mm", "hh:mm:ss",
// with periods for colons, the zone possibly written right after it
// ("09:05+0000"). The token as the date parser reads it ("09:05 +0000"),
// or nothing when it is not such a token.
std::optional<std::string> MendedTimeToken(std::string_view token) {
  std::string_view zone;
  const size_t sign = token.find_first_of("+-");
  if (sign != std::string_view::npos) {
    zone = token.substr(sign);
    token = token.substr(0, sign);
    if (!IsDigits(zone.substr(1), 4, 4)) return std::nullopt;
  }
  std::string out;
  size_t fields = 0;
  for (size_t pos = 0; pos <= token.size(); ++fields) {
    size_t next = token.find_first_of(":.", pos);
    if (next == std::string_view::npos) next = token.size();
    if (!IsDigits(token.substr(pos, next - pos), fields == 0 ? 1 : 2, 2)) return std::nullopt;
    if (fields > 0) out += ':';
    out.append(token.substr(pos, next - pos));
    pos = next + 1;
  }
  if (fields < 2 || fields > 3) return std::nullopt;
  if (!zone.empty()) out.append(" ").append(zone);
  return out;
}

// The time of a Date header that GMime's parser does not make out: one
// without seconds whose zone is written against the time, or whose time is
// written with periods. Nothing when mending the header changes nothing
// or does not help.
GDateTimePtr MendedDate(const char* value) {
  std::string mended;
  std::string_view rest = value;
  bool changed = false;
  while (!rest.empty()) {
    const size_t start = rest.find_first_not_of(" \t\r\n");
    if (start == std::string_view::npos) break;
    rest = rest.substr(start);
    const size_t end = std::min(rest.find_first_of(" \t\r\n"), rest.size());
    const std::string_view token = rest.substr(0, end);
    rest = rest.substr(end);
    std::optional<std::string> time = MendedTimeToken(token);
    if (time && *time != token) changed = true;
    if (!mended.empty()) mended += ' ';
    mended.append(time ? std::string_view(*time) : token);
  }
  if (!changed) return nullptr;
  return GDateTimePtr(g_mime_utils_header_decode_date(mended.c_str()));
}

// A sender given as the null address, as bounces carry it ("MAILER-DAEMON
// <>", "<>"): its display name, with an empty address. GMime's address
// parser gives nothing for it. Nothing for any other text.
std::optional<MailAddress> NullSender(const char* value) {
  std::string_view text = Trimmed(value == nullptr ? "" : value);
  if (text.empty() || text.back() != '>') return std::nullopt;
  const size_t open = text.rfind('<');
  if (open == std::string_view::npos ||
      !Trimmed(text.substr(open + 1, text.size() - open - 2)).empty())
    return std::nullopt;
  std::string name(Trimmed(text.substr(0, open)));
  if (name.size() >= 2 && name.front() == '"' && name.back() == '"') {
    std::string unquoted;
    for (size_t i = 1; i + 1 < name.size(); ++i) {
      if (name[i] == '\\' && i + 2 < name.size()) ++i;
      unquoted += name[i];
    }
    name = std::move(unquoted);
  }
  GCharPtr decoded(g_mime_utils_header_decode_phrase(nullptr, name.c_str()));
  return MailAddress{decoded ? decoded.get() : name, ""};
}

HeaderFields ReadHeaderFields(GMimeMessage* message) {
  HeaderFields fields;
  if (message == nullptr) return fields;
  GMimeObject* object = GMIME_OBJECT(message);
  if (const char* type = g_mime_object_get_header(object, kTypeHeader)) fields.type = type;
  if (const char* subject = g_mime_message_get_subject(message)) fields.subject = subject;
  GDateTime* date = g_mime_message_get_date(message);
  if (date != nullptr) fields.time = CmcTimeFrom(date);
  // A time GMime could not make out comes back as midnight, or not at all.
  const char* date_text = g_mime_object_get_header(object, "Date");
  if (date_text != nullptr &&
      (date == nullptr || (g_date_time_get_hour(date) == 0 && g_date_time_get_minute(date) == 0 &&
                           g_date_time_get_second(date) == 0))) {
    if (GDateTimePtr mended = MendedDate(date_text)) fields.time = CmcTimeFrom(mended.get());
  }
  std::vector<MailAddress> from = Addresses(message, GMIME_ADDRESS_TYPE_FROM);
  if (!from.empty())
    fields.originator = from.front();
  else
    fields.originator = NullSender(g_mime_object_get_header(object, "From"));
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

bool IsTextType(GMimeObject* part, const char* subtype) {
  GMimeContentType* type = g_mime_object_get_content_type(part);
  return type != nullptr && g_mime_content_type_is_type(type, "text", subtype);
}

// A multipart whose boundary never occurs (or that names none): it has no
// parts, and what it holds is read as its raw text, as RFC 2046 readers
// do.
bool IsRawMultipart(GMimeObject* part) {
  return GMIME_IS_MULTIPART(part) && g_mime_multipart_get_count(GMIME_MULTIPART(part)) == 0;
}

// Text that may become the text note: an inline text part of the subtype
// ("*" for any), or, for plain text, a multipart read as raw text.
bool IsInlineText(GMimeObject* part, const char* subtype) {
  if (IsRawMultipart(part)) return std::strcmp(subtype, "plain") == 0;
  return GMIME_IS_PART(part) && !g_mime_part_is_attachment(GMIME_PART(part)) &&
         IsTextType(part, subtype);
}

bool IsMarkedAttachment(GMimeObject* part) {
  GMimeContentDisposition* disposition = g_mime_object_get_content_disposition(part);
  return disposition != nullptr && g_mime_content_disposition_is_attachment(disposition);
}

// Whether a Content-Type value starts with "type/subtype".
bool HasMediaType(std::string_view value) {
  static constexpr std::string_view kSpecials = "()<>@,;:\\\"/[]?= \t\r\n";
  value = Trimmed(value);
  const size_t slash = value.find('/');
  if (slash == std::string_view::npos) return false;
  std::string_view type = Trimmed(value.substr(0, slash));
  std::string_view subtype = Trimmed(value.substr(slash + 1));
  subtype = subtype.substr(0, subtype.find_first_of(';'));
  subtype = Trimmed(subtype);
  return !type.empty() && !subtype.empty() &&
         type.find_first_of(kSpecials) == std::string_view::npos &&
         subtype.find_first_of(kSpecials) == std::string_view::npos;
}

// A part whose Content-Type is not "type/subtype" ("text", "text/",
// garbage) is plain text, as RFC 2045 has it, with the parameters it gave
// (a charset); GMime reads it as application/octet-stream.
void MendContentType(GMimeObject* /*parent*/, GMimeObject* part, gpointer /*data*/) {
  if (!GMIME_IS_PART(part) || !g_mime_content_type_is_type(g_mime_object_get_content_type(part),
                                                           "application", "octet-stream"))
    return;
  const char* value = g_mime_object_get_header(part, "Content-Type");
  if (value == nullptr || HasMediaType(value)) return;
  const std::string_view text = value;
  const size_t semicolon = text.find(';');
  std::string mended = "text/plain";
  if (semicolon != std::string_view::npos) mended.append(text.substr(semicolon));
  GObjectPtr<GMimeContentType> type(g_mime_content_type_parse(nullptr, mended.c_str()));
  if (type) g_mime_object_set_content_type(part, type.get());
}

// The rendering of a multipart/alternative that the reader gets: its
// inline plain text, else its first part.
GMimeObject* ShownAlternative(GMimeMultipart* alternative) {
  const int count = g_mime_multipart_get_count(alternative);
  for (int i = 0; i < count; ++i) {
    GMimeObject* part = g_mime_multipart_get_part(alternative, i);
    if (IsInlineText(part, "plain")) return part;
  }
  return g_mime_multipart_get_part(alternative, 0);
}

// Collects, in order, the parts the reader gets: every part of the
// message, and each multipart that is read as raw text, except the
// renderings of a multipart/alternative other than the one shown (shown
// false below it), of which only what is marked as an attachment is kept.
void CollectParts(GMimeObject* object, bool shown, std::vector<GMimeObject*>& out) {
  if (GMIME_IS_MULTIPART(object) && !IsRawMultipart(object)) {
    GMimeMultipart* multipart = GMIME_MULTIPART(object);
    GMimeContentType* type = g_mime_object_get_content_type(object);
    GMimeObject* chosen = nullptr;
    if (shown && type != nullptr && g_mime_content_type_is_type(type, "multipart", "alternative"))
      chosen = ShownAlternative(multipart);
    const int count = g_mime_multipart_get_count(multipart);
    for (int i = 0; i < count; ++i) {
      GMimeObject* part = g_mime_multipart_get_part(multipart, i);
      CollectParts(part, shown && (chosen == nullptr || part == chosen), out);
    }
  } else if (IsRawMultipart(object)) {
    if (shown) out.push_back(object);
  } else if (GMIME_IS_PART(object) || GMIME_IS_MESSAGE_PART(object)) {
    if (shown || IsMarkedAttachment(object)) out.push_back(object);
  }
}

// The text of a text part in UTF-8, converted from its charset where GMime
// knows it; a multipart read as raw text as it stands. Cut at the first
// NUL, as a C string would be.
std::string DecodedText(GMimeObject* part) {
  std::string text;
  if (IsRawMultipart(part)) {
    const char* raw = g_mime_multipart_get_prologue(GMIME_MULTIPART(part));
    text = raw ? raw : "";
  } else {
    GMimeDataWrapper* content = g_mime_part_get_content(GMIME_PART(part));
    if (content == nullptr) return {};
    bool failed = false;
    GObjectPtr<GMimeStream> sink = NewStringStream(&text, &failed);
    const char* charset = g_mime_object_get_content_type_parameter(part, "charset");
    GObjectPtr<GMimeFilter> convert(charset ? g_mime_filter_charset_new(charset, "utf-8")
                                            : nullptr);
    if (convert) {
      GObjectPtr<GMimeStream> filtered(g_mime_stream_filter_new(sink.get()));
      g_mime_stream_filter_add(GMIME_STREAM_FILTER(filtered.get()), convert.get());
      g_mime_data_wrapper_write_to_stream(content, filtered.get());
      g_mime_stream_flush(filtered.get());
    } else {
      g_mime_data_wrapper_write_to_stream(content, sink.get());
    }
    if (failed) throw std::bad_alloc();
  }
  size_t nul = text.find('\0');
  if (nul != std::string::npos) text.resize(nul);
  return text;
}

// The title of an attachment that names none: "attachmentN", with the
// extension of plain text or HTML; "messageN.eml" for a message.
std::string UntitledName(GMimeObject* part, size_t number) {
  if (GMIME_IS_MESSAGE_PART(part)) return "message" + std::to_string(number) + ".eml";
  std::string name = "attachment" + std::to_string(number);
  if (IsRawMultipart(part) || IsTextType(part, "plain")) return name + ".txt";
  if (IsTextType(part, "html")) return name + ".html";
  return name;
}

// The text note is the first inline plain text part, else the first inline
// text part of any kind. Every other part the reader gets is an
// attachment: a second text part as much as a file, so that nothing of
// the message is lost but the renderings of an alternative not shown.
void ReadBody(GMimeMessage* message, ParsedMessage& out) {
  GMimeObject* root = g_mime_message_get_mime_part(message);
  if (root == nullptr) return;
  g_mime_message_foreach(message, MendContentType, nullptr);
  std::vector<GMimeObject*> parts;
  CollectParts(root, true, parts);
  GMimeObject* note = nullptr;
  for (const char* subtype : {"plain", "*"}) {
    auto found = std::find_if(parts.begin(), parts.end(),
                              [&](GMimeObject* part) { return IsInlineText(part, subtype); });
    if (found != parts.end()) {
      note = *found;
      break;
    }
  }
  if (note) out.text = DecodedText(note);
  for (GMimeObject* part : parts) {
    if (part == note) continue;
    ParsedMessage::Attachment attachment;
    attachment.part = part;
    const char* name = nullptr;
    if (GMIME_IS_MESSAGE_PART(part))
      name = g_mime_object_get_content_disposition_parameter(part, "filename");
    else if (GMIME_IS_PART(part))
      name = g_mime_part_get_filename(GMIME_PART(part));
    attachment.title = name ? name : "";
    if (attachment.title.empty()) attachment.title = UntitledName(part, out.attachments.size() + 1);
    out.attachments.push_back(std::move(attachment));
  }
}

int64_t FileTimeSeconds(const fs::path& path) {
  vel::os::FileInfo info;
  if (!vel::os::Files().Stat(path.c_str(), &info, true)) return 0;
  return info.modified_ns / 1000000000;
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
  out.message = Parse(WithHeadEnded(stream).get());
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
  if (IsRawMultipart(attachment.part)) {
    const char* raw = g_mime_multipart_get_prologue(GMIME_MULTIPART(attachment.part));
    if (raw != nullptr && g_mime_stream_write(out, raw, std::strlen(raw)) < 0) return false;
  } else if (GMIME_IS_MESSAGE_PART(attachment.part)) {
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
