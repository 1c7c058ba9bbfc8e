#include "mime/parse.h"

#include <algorithm>
#include <cerrno>
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

// The address of a null sender.
constexpr std::string_view kNullAddress = "<>";

constexpr std::string_view kReplacement = "\xef\xbf\xbd";  // U+FFFD

// Text as valid UTF-8: each sequence that is not UTF-8 becomes U+FFFD, one
// for each maximal part of a sequence that could have begun one (as the
// Unicode standard recommends and Python's decoder does), so that a cut
// sequence is one replacement and a stray byte another.
std::string ValidUtf8(std::string_view bytes) {
  if (g_utf8_validate_len(bytes.data(), bytes.size(), nullptr)) return std::string(bytes);
  std::string out;
  out.reserve(bytes.size() + bytes.size() / 2);
  size_t i = 0;
  while (i < bytes.size()) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    if (lead < 0x80) {
      out += static_cast<char>(lead);
      ++i;
      continue;
    }
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the second byte's range
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    }
    size_t valid = length == 0 ? 0 : 1;
    while (valid > 0 && valid < length && i + valid < bytes.size()) {
      const auto next = static_cast<unsigned char>(bytes[i + valid]);
      if (valid == 1 ? (next < low || next > high) : (next < 0x80 || next > 0xBF)) break;
      ++valid;
    }
    if (length != 0 && valid == length) {
      out.append(bytes.substr(i, length));
      i += length;
    } else {
      out.append(kReplacement);
      i += std::max<size_t>(valid, 1);
    }
  }
  return out;
}

std::string ValidUtf8(const char* text) {
  return text == nullptr ? std::string() : ValidUtf8(std::string_view(text));
}

// Whether a charset is UTF-8 or a part of it (US-ASCII).
bool IsUtf8Family(const char* charset) {
  for (const char* name : {"utf-8", "utf8", "us-ascii", "ascii", "ansi_x3.4-1968"})
    if (g_ascii_strcasecmp(charset, name) == 0) return true;
  return false;
}

// Bytes in a charset as UTF-8. Text said to be US-ASCII or UTF-8, or in a
// charset not known here, is read as UTF-8 (ASCII is a part of it, and
// mislabelled UTF-8 is common); in any case each byte or sequence that
// cannot be decoded becomes U+FFFD. std::bad_alloc when it does not fit.
std::string ToUtf8(std::string_view bytes, const char* charset) {
  if (charset == nullptr || *charset == '\0' || IsUtf8Family(charset)) return ValidUtf8(bytes);
  struct Converter {
    iconv_t cd;
    ~Converter() {
      // NOLINTNEXTLINE(performance-no-int-to-ptr): iconv's own value for a failure
      if (cd != reinterpret_cast<iconv_t>(-1)) g_mime_iconv_close(cd);
    }
  } converter{g_mime_iconv_open("UTF-8", charset)};
  // NOLINTNEXTLINE(performance-no-int-to-ptr): iconv's own value for a failure
  if (converter.cd == reinterpret_cast<iconv_t>(-1)) return ValidUtf8(bytes);
  std::string out;
  char buffer[4096];
  char* in = const_cast<char*>(bytes.data());
  size_t in_left = bytes.size();
  for (;;) {
    char* to = buffer;
    size_t to_left = sizeof buffer;
    // A last call without input ends a stateful charset's shift sequence.
    const bool flush = in_left == 0;
    const size_t rc = flush ? iconv(converter.cd, nullptr, nullptr, &to, &to_left)
                            : iconv(converter.cd, &in, &in_left, &to, &to_left);
    const int error = rc == static_cast<size_t>(-1) ? errno : 0;
    out.append(buffer, static_cast<size_t>(to - buffer));
    if (error == E2BIG) continue;          // the buffer is full: more to come
    if (error == EILSEQ && in_left > 0) {  // a byte that is no character of the charset
      out.append(kReplacement);
      ++in;
      --in_left;
    } else if (error == EINVAL) {  // a sequence cut short by the end
      out.append(kReplacement);
      in_left = 0;
    } else if (error != 0) {
      out.append(kReplacement);
      break;
    } else if (flush) {
      break;
    }
  }
  return ValidUtf8(out);
}

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

std::string_view Trimmed(std::string_view text) {
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// Where the header blocks of a message and of its parts end, read line by
// line as GMime's parser will read them: at the top a header block; in a
// body, a line "--boundary" of an enclosing multipart starts a part (a
// header block) and "--boundary--" ends that multipart; a message/rfc822
// part's body starts with a header block of its own. A header block that
// no empty line ends ends at the first line that cannot belong to it
// (HeadEnd), and that line's offset is kept: an empty line is put there.
class PartHeads {
 public:
  // At most this many empty lines are put in; a message that needs more is
  // read with the first ones only.
  static constexpr size_t kMaxInsertions = 1000;
  // Of a line, at most this much is looked at: a header field's name, a
  // boundary, a Content-Type field (its lines are joined up to kMaxField).
  static constexpr size_t kMaxLineKept = size_t{16} * 1024;
  static constexpr size_t kMaxField = size_t{64} * 1024;
  static constexpr size_t kMaxBoundaries = 64;

  // Reads the stream from its position to its end, or until no part can
  // follow. False when reading failed.
  bool Scan(GMimeStream* stream) {
    char chunk[8192];
    for (;;) {
      const gssize n = g_mime_stream_read(stream, chunk, sizeof chunk);
      if (n < 0) return false;
      if (n == 0) break;
      const char* p = chunk;
      const char* end = chunk + n;
      while (p < end && !done_) {
        const char* lf =
            static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
        const char* stop = lf ? lf : end;
        const size_t take = std::min(static_cast<size_t>(stop - p), kMaxLineKept - line_.size());
        line_.append(p, take);
        line_length_ += static_cast<uint64_t>(stop - p);
        if (lf == nullptr) break;
        Line(line_length_ + 1);
        p = lf + 1;
      }
      if (done_) return true;
    }
    // The last line, without a line end, may still begin a body.
    if (line_length_ > 0) Line(line_length_);
    return true;
  }

  // Offsets from the scan's start where an empty line goes, ascending.
  const std::vector<uint64_t>& insertions() const { return insertions_; }

 private:
  enum class State { kHead, kBody };

  // One line (without its line end in line_, cut to kMaxLineKept), whose
  // whole length with its line end is length.
  void Line(uint64_t length) {
    std::string_view line = line_;
    if (!line.empty() && line.back() == '\r' && line_length_ == line_.size()) line.remove_suffix(1);
    for (bool again = true; again && !done_;) {
      again = false;
      if (state_ == State::kHead) {
        head_bytes_ += length;
        if (line.empty() || head_bytes_ > kMaxHeadBytes) {
          EndHead();
        } else if (IsHeaderLine(line)) {
          Collect(line);
        } else {
          if (insertions_.size() < kMaxInsertions) insertions_.push_back(line_start_);
          EndHead();
          again = true;  // the line begins the body
        }
      } else {
        Boundary(line);
      }
    }
    line_start_ += length;
    line_.clear();
    line_length_ = 0;
  }

  // Keeps the Content-Type field of the header block being read.
  void Collect(std::string_view line) {
    if (line.front() == ' ' || line.front() == '\t') {
      if (in_type_ && type_.size() + line.size() <= kMaxField) type_.append(line);
      return;
    }
    in_type_ = false;
    static constexpr std::string_view kName = "content-type";
    if (line.size() < kName.size() ||
        g_ascii_strncasecmp(line.data(), kName.data(), kName.size()) != 0)
      return;
    std::string_view rest = Trimmed(line.substr(kName.size()));
    if (rest.empty() || rest.front() != ':') return;
    in_type_ = true;
    type_.assign(rest.substr(1));
  }

  // The header block ends: what follows is its entity's body.
  void EndHead() {
    state_ = State::kBody;
    bool nested = false;
    if (!type_.empty()) {
      GObjectPtr<GMimeContentType> type(g_mime_content_type_parse(nullptr, type_.c_str()));
      if (type && g_mime_content_type_is_type(type.get(), "multipart", "*")) {
        const char* boundary = g_mime_content_type_get_parameter(type.get(), "boundary");
        if (boundary != nullptr && *boundary != '\0' && boundaries_.size() < kMaxBoundaries &&
            std::strlen(boundary) + 4 <= kMaxLineKept)
          boundaries_.push_back(std::string("--") + boundary);
      } else if (type && g_mime_content_type_is_type(type.get(), "message", "rfc822")) {
        nested = true;
      }
    }
    type_.clear();
    in_type_ = false;
    head_bytes_ = 0;
    if (nested) state_ = State::kHead;
    // Nothing in a body outside every multipart can start a part.
    if (state_ == State::kBody && boundaries_.empty()) done_ = true;
  }

  // A line of a body: the boundary of an enclosing multipart, or content.
  void Boundary(std::string_view line) {
    if (line.size() < 3 || line[0] != '-' || line[1] != '-') return;
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r'))
      line.remove_suffix(1);
    for (size_t i = boundaries_.size(); i-- > 0;) {
      const std::string& boundary = boundaries_[i];
      if (line.substr(0, boundary.size()) != boundary) continue;
      const std::string_view tail = line.substr(boundary.size());
      if (tail.empty()) {  // a part of this multipart begins
        boundaries_.resize(i + 1);
        state_ = State::kHead;
        return;
      }
      if (tail == "--") {  // this multipart ends: its parent's body goes on
        boundaries_.resize(i);
        if (boundaries_.empty()) done_ = true;
        return;
      }
    }
  }

  State state_ = State::kHead;
  std::vector<std::string> boundaries_;  // of the enclosing multiparts, "--" and the boundary
  std::string type_;                     // the Content-Type of the header block being read
  bool in_type_ = false;
  uint64_t head_bytes_ = 0;
  std::string line_;          // the line being read, at most kMaxLineKept of it
  uint64_t line_length_ = 0;  // its whole length so far
  uint64_t line_start_ = 0;   // its offset from the scan's start
  bool done_ = false;
  std::vector<uint64_t> insertions_;
};

// The stream to parse a message from: the stream itself, or, for a message
// a header block of which (its own or a part's) no empty line ends, the
// message with an empty line put where each such block ends, so that the
// parser finds each body where it begins. Reads the stream to its end only
// when it is a multipart or carries a message, and leaves its position
// where it was.
GObjectPtr<GMimeStream> WithHeadsEnded(GMimeStream* stream) {
  EnsureGMime();  // the scan parses content types before anything else may have
  g_object_ref(stream);
  GObjectPtr<GMimeStream> as_is(stream);
  const gint64 start = g_mime_stream_tell(stream);
  if (start < 0) return as_is;
  PartHeads heads;
  const bool scanned = heads.Scan(stream);
  if (g_mime_stream_seek(stream, start, GMIME_STREAM_SEEK_SET) != start) return as_is;
  if (!scanned || heads.insertions().empty()) return as_is;
  GObjectPtr<GMimeStream> cat(g_mime_stream_cat_new());
  gint64 from = start;
  for (uint64_t at : heads.insertions()) {
    const gint64 to = start + static_cast<gint64>(at);
    GObjectPtr<GMimeStream> piece(g_mime_stream_substream(stream, from, to));
    GObjectPtr<GMimeStream> blank(g_mime_stream_mem_new_with_buffer("\n", 1));
    if (to > from) g_mime_stream_cat_add_source(GMIME_STREAM_CAT(cat.get()), piece.get());
    g_mime_stream_cat_add_source(GMIME_STREAM_CAT(cat.get()), blank.get());
    from = to;
  }
  GObjectPtr<GMimeStream> rest(g_mime_stream_substream(stream, from, -1));
  g_mime_stream_cat_add_source(GMIME_STREAM_CAT(cat.get()), rest.get());
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
      out.push_back({ValidUtf8(name), ValidUtf8(addr)});
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
// <>", "<>"): its display name, if any, with the null address written as
// mail writes it ("<>"), so that a bare "<>" is a sender too, shown as
// "<>". GMime's address parser gives nothing for it. Nothing for any other
// text.
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
  return MailAddress{ValidUtf8(decoded ? std::string_view(decoded.get()) : std::string_view(name)),
                     std::string(kNullAddress)};
}

HeaderFields ReadHeaderFields(GMimeMessage* message) {
  HeaderFields fields;
  if (message == nullptr) return fields;
  GMimeObject* object = GMIME_OBJECT(message);
  if (const char* type = g_mime_object_get_header(object, kTypeHeader))
    fields.type = ValidUtf8(type);
  if (const char* subject = g_mime_message_get_subject(message))
    fields.subject = ValidUtf8(subject);
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

// The text of a text part in UTF-8, converted from its charset (see
// ToUtf8); a multipart read as raw text as UTF-8. Either way valid UTF-8,
// with U+FFFD for what could not be decoded. Cut at the first NUL, as a C
// string would be.
std::string DecodedText(GMimeObject* part) {
  std::string text;
  if (IsRawMultipart(part)) {
    text = ValidUtf8(g_mime_multipart_get_prologue(GMIME_MULTIPART(part)));
  } else {
    GMimeDataWrapper* content = g_mime_part_get_content(GMIME_PART(part));
    if (content == nullptr) return {};
    std::string bytes;
    bool failed = false;
    {
      GObjectPtr<GMimeStream> sink = NewStringStream(&bytes, &failed);
      g_mime_data_wrapper_write_to_stream(content, sink.get());
    }
    if (failed) throw std::bad_alloc();
    text = ToUtf8(bytes, g_mime_object_get_content_type_parameter(part, "charset"));
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
    attachment.title = ValidUtf8(name);
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
  out.message = Parse(WithHeadsEnded(stream).get());
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
