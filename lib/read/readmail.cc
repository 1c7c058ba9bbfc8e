// xp_readmail: reads one message into the caller's output parameters.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>

#include "frame/errors.h"
#include "frame/reporters.h"
#include "frame/startup.h"
#include "frame/utf8.h"
#include "mapi/worker.h"
#include "read/readcommon.h"
#include "read/readparams.h"
#include "velmail.h"

namespace {

// The longest text an output entry carries, leaving room for the
// terminator.
constexpr int32_t kMaxText = SM_VALUE_SIZE - 1;

void ClearEntry(sm_param* entry) {
  memset(entry->value, 0, sizeof(entry->value));
  entry->length = 0;
}

// How many of text's length bytes fit in limit bytes: all of them, or
// limit cut before the UTF-8 character the cut would split, so that no
// output ends in part of a character (text that is not UTF-8 there is cut
// at limit).
size_t WholeCharacters(const char* text, size_t length, size_t limit) {
  if (length <= limit) return length;
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  const auto continuation = [bytes](size_t at) { return (bytes[at] & 0xc0) == 0x80; };
  if (!continuation(limit)) return limit;
  size_t lead = limit;
  while (lead > 0 && limit - lead < 3 && continuation(lead)) --lead;
  const auto size = static_cast<size_t>(sm_utf8_length(bytes[lead]));
  return size > 1 && lead + size > limit ? lead : limit;
}

// Sets an entry to a text, cut on a whole character at kMaxText bytes; a
// missing text is empty.
void SetText(sm_param* entry, const char* text) {
  ClearEntry(entry);
  if (text == nullptr) return;
  const size_t n = WholeCharacters(text, strlen(text), kMaxText);
  memcpy(entry->value, text, n);
  entry->length = static_cast<int32_t>(n);
}

// A ';'-joined list of names, cut on a whole character at kMaxText bytes;
// once cut, it takes no more names (a later one would follow a cut name).
struct NameList {
  sm_param* entry;
  bool full = false;

  void Append(const char* name) {
    if (full) return;
    std::string joined(entry->value, static_cast<size_t>(entry->length));
    if (entry->length > 0) joined += ';';
    if (name != nullptr) joined += name;
    const size_t n = WholeCharacters(joined.data(), joined.size(), kMaxText);
    full = n < joined.size();
    memcpy(entry->value, joined.data(), n);
    entry->length = static_cast<int32_t>(n);
  }
};

// Appends a name to a ';'-joined list only when it fits whole in
// kMaxText bytes: a list of file names is cut between two names, never
// inside one, which would name a file that does not exist. False when it
// did not fit (the names after it are left out too, so that the list is
// always the first names in order).
bool AppendWholeName(sm_param* list, const char* name) {
  const size_t used = static_cast<size_t>(list->length);
  const std::string_view text = name == nullptr ? std::string_view() : std::string_view(name);
  const size_t needed = used + (used > 0 ? 1 : 0) + text.size();
  if (needed > static_cast<size_t>(kMaxText)) return false;
  char* end = list->value + used;
  if (used > 0) *end++ = ';';
  text.copy(end, text.size());
  list->length = static_cast<int32_t>(needed);
  return true;
}

// The folder that holds every file of the list: the longest directory the
// paths share, "." when they share none (names relative to the current
// directory).
std::string CommonFolder(const CMC_attachment* attachments) {
  std::string_view shared;
  bool first = true;
  for (const CMC_attachment* a = attachments;; ++a) {
    const std::string_view path =
        a->attach_filename == nullptr ? std::string_view() : std::string_view(a->attach_filename);
    if (first) {
      shared = path;
      first = false;
    } else {
      size_t n = 0;
      while (n < shared.size() && n < path.size() && shared[n] == path[n]) ++n;
      shared = shared.substr(0, n);
    }
    if (a->attach_flags & CMC_ATT_LAST_ELEMENT) break;
  }
  const size_t separator = shared.find_last_of("/\\");
  if (separator == std::string_view::npos) return ".";
  // A root ("/", or a drive's) keeps its separator.
  const bool root = separator == 0 || shared[separator - 1] == ':';
  return std::string(shared.substr(0, root ? separator + 1 : separator));
}

// What the caller is told beside the outputs: that "@attachments" could
// not list every file saved, how many there are and where.
struct LeftOutFiles {
  int32_t saved = 0;  // 0: the list holds every file
  std::string folder;
};

void SetInt(sm_param* entry, int32_t value) {
  memcpy(entry->value, &value, sizeof(value));
  entry->length = sizeof(value);
}

// The output values taken from the message, and in *left_out the files
// "@attachments" could not list. 0 (reported) when the body offset lies
// beyond the body.
int32_t FillOutputs(srv_proc* thread, sm_readmail_params* record, const CMC_message* message,
                    LeftOutFiles* left_out) {
  sm_param* p = record->params;
  if (message->recipients != nullptr) {
    ClearEntry(&p[SM_READ_RECIPIENTS]);
    ClearEntry(&p[SM_READ_CC]);
    ClearEntry(&p[SM_READ_BCC]);
    ClearEntry(&p[SM_READ_SENDER]);
    NameList to{&p[SM_READ_RECIPIENTS]}, cc{&p[SM_READ_CC]}, bcc{&p[SM_READ_BCC]};
    for (const CMC_recipient* r = message->recipients;; ++r) {
      switch (r->role) {
        case CMC_ROLE_ORIGINATOR:
          SetText(&p[SM_READ_SENDER], r->name);
          break;
        case CMC_ROLE_TO:
          to.Append(r->name);
          break;
        case CMC_ROLE_CC:
          cc.Append(r->name);
          break;
        case CMC_ROLE_BCC:
          bcc.Append(r->name);
          break;
        default:
          break;
      }
      if (r->recip_flags & CMC_RECIP_LAST_ELEMENT) break;
    }
  }

  char date[64];
  const CMC_time& t = message->time_sent;
  // The year field counts the years since 1900 in a byte: read unsigned, it
  // holds 1900 to 2155 (a signed read would turn 2028 into -128).
  snprintf(date, sizeof(date), "%d:%d:%d %d/%d/%d", t.hour, t.minute, t.second, t.month + 1, t.day,
           static_cast<int>(static_cast<uint8_t>(t.year)));
  SetText(&p[SM_READ_DATE_RECEIVED], date);
  SetText(&p[SM_READ_SUBJECT], message->subject);

  if (message->text_note != nullptr) {
    const int32_t total = static_cast<int32_t>(strlen(message->text_note));
    const int32_t skip = sm_paramint(&p[SM_READ_BYTES_TO_SKIP]);
    if (skip > total) {
      sm_raise(thread, 0, SM_MSG_BAD_VALUE, "@bytes_to_skip", 0);
      return 0;
    }
    // The piece ends on a whole character, and the offset handed back is
    // the one after it: the next piece starts on a character.
    const auto piece = static_cast<int32_t>(
        WholeCharacters(message->text_note + skip, static_cast<size_t>(total - skip), kMaxText));
    ClearEntry(&p[SM_READ_MESSAGE]);
    memcpy(p[SM_READ_MESSAGE].value, message->text_note + skip, static_cast<size_t>(piece));
    p[SM_READ_MESSAGE].length = piece;
    SetInt(&p[SM_READ_BYTES_TO_SKIP], skip + piece);
    SetInt(&p[SM_READ_MSG_LENGTH], total);
  } else {
    p[SM_READ_MSG_LENGTH].length = sizeof(int32_t);
  }

  if (message->attachments != nullptr && !record->suppress_attach) {
    int32_t saved = 0;
    bool listed = true;
    for (const CMC_attachment* a = message->attachments;; ++a) {
      ++saved;
      listed = listed && AppendWholeName(&p[SM_READ_ATTACHMENTS], a->attach_filename);
      if (a->attach_flags & CMC_ATT_LAST_ELEMENT) break;
    }
    if (!listed) {
      left_out->saved = saved;
      left_out->folder = CommonFolder(message->attachments);
    }
  }
  SetText(&p[SM_READ_TYPE], message->message_type);
  return 1;
}

// Binds every output parameter the caller passed to its entry and sends
// them; when "@attachments" went out without every file saved, tells the
// caller how many were saved and where. 0 (reported) on failure.
int32_t SendOutputs(srv_proc* thread, sm_readmail_params* record, int32_t count,
                    const LeftOutFiles& left_out) {
  const int32_t size = count * static_cast<int32_t>(sizeof(cs_datafmt));
  sm_srvblock descriptions;
  if (!descriptions.Allocate(size)) {
    sm_raise_failed(thread, SM_MSG_NO_MEMORY, SM_REPORTER_SND_RMRETPRM, size);
    return 0;
  }
  int16_t indicators[16] = {};
  bool positional = false;
  bool bound = false;
  bool attachments_bound = false;
  for (int32_t item = 1; item <= count; ++item) {
    cs_datafmt* description = descriptions.as<cs_datafmt>() + (item - 1);
    memset(description, 0, sizeof(*description));
    if (srv_descfmt(thread, VEL_GET, VEL_RPC_DATA, item, description) != VEL_SUCCEED) {
      sm_raise_failed(thread, SM_MSG_DESCFMT_FAILED, SM_REPORTER_SND_RMRETPRM, 0);
      return 0;
    }
    if (item == 1 && sm_namelength(description) == 0) positional = true;
    if ((description->status & VEL_STATUS_RETURN) == 0) continue;

    sm_param* entry = sm_matchparam(record->params, static_cast<int32_t>(std::size(record->params)),
                                    description, item, positional);
    if (entry == nullptr) {
      sm_raiseunknownparam(thread, description);
      return 0;
    }
    int16_t* indicator = &indicators[std::min(item, 16) - 1];
    *indicator = entry->length == 0 ? -1 : 0;
    if (!sm_bindretparam(thread, entry->value, &entry->length, item, description, indicator)) {
      return 0;
    }
    bound = true;
    attachments_bound = attachments_bound || entry == &record->params[SM_READ_ATTACHMENTS];
  }
  if (bound) {
    if (srv_xferdata(thread, VEL_SET, VEL_RPC_DATA) != VEL_SUCCEED) {
      sm_raise_failed(thread, SM_MSG_XFERDATA_FAILED, SM_REPORTER_SND_RMRETPRM, 0);
      return 0;
    }
    srv_senddone(thread, VEL_DONE_FINAL, 0, 0);
  }
  if (attachments_bound && left_out.saved > 0) {
    sm_raise(thread, 0, SM_MSG_ATTACHMENTS_LEFT_OUT, left_out.folder.c_str(), left_out.saved);
  }
  return 1;
}

}  // namespace

// Fills the output values from the message and sends every output
// parameter the caller passed.
int32_t sm_sendreadmailoutputs(srv_proc* thread, sm_readmail_params* record,
                               const CMC_message* message) {
  int32_t count = 0;
  if (srv_numparams(thread, &count) != VEL_SUCCEED) {
    sm_raise_failed(thread, SM_MSG_NUMPARAMS_FAILED, "xp_readmail", 0);
    return 0;
  }
  if (count == 0) return 1;
  LeftOutFiles left_out;
  if (!FillOutputs(thread, record, message, &left_out)) return 0;
  return SendOutputs(thread, record, count, left_out);
}

static int32_t ReadMail(srv_proc* thread) {
  sm_readmail_params record;
  sm_preset(&record);
  if (sm_state.session.load() == 0) {
    sm_raise(thread, 0, SM_MSG_NO_SESSION, "xp_readmail", 0);
    return 0;
  }
  if (!sm_getreadmailparams(thread, &record)) return 0;

  // Declared so that every way out releases, in this order, the message,
  // the list and the reference.
  sm_srvblock built;
  sm_providerblock list;
  sm_providerblock message;

  const CMC_message_reference* reference = nullptr;
  sm_param* msg_id = &record.params[SM_READ_MSG_ID];
  if (msg_id->length > 0) {
    if (!sm_buildreference(thread, msg_id, "xp_readmail", &built)) return 0;
    reference = built.as<CMC_message_reference>();
  } else {
    char* type = sm_state.list_every_type ? nullptr : sm_paramtext(&record.params[SM_READ_TYPE]);
    const CMC_flags flags = (!sm_state.list_every_type && record.unread) ? CMC_LIST_UNREAD_ONLY : 0;
    if (!sm_firstmessage(thread, type, flags, &list, &reference)) return 0;
  }

  const CMC_flags read_flags = record.peek ? CMC_DO_NOT_MARK_AS_READ : 0;
  int32_t result = sm_requestread(reference, read_flags, message.out<CMC_message>());
  if (result != 0) {
    sm_raise(thread, result, SM_MSG_MAIL_REQUEST_FAILED, nullptr, 0);
    return 0;
  }
  if (message.as<CMC_message>() == nullptr) {
    sm_raise(thread, CMC_E_FAILURE, SM_MSG_MAIL_REQUEST_FAILED, nullptr, 0);
    return 0;
  }
  if (!sm_sendreadmailoutputs(thread, &record, message.as<CMC_message>())) return 0;
  message.Free();
  list.Free();
  built.Free();
  srv_sendstatus(thread, 0);
  return 1;
}

extern "C" VEL_EXPORT int32_t VEL_CDECL xp_readmail(srv_proc* thread) {
  return sm_guarded(thread, "xp_readmail", [thread] { return ReadMail(thread); });
}
