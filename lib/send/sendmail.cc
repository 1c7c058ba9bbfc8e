// xp_sendmail: sends one message through the mail session.
#include <cstring>

#include "cmc.h"
#include "frame/errors.h"
#include "frame/params.h"
#include "frame/reporters.h"
#include "frame/srvblock.h"
#include "mapi/worker.h"
#include "send/send.h"
#include "velmail.h"

namespace {
const sm_paramdefault kSendMailDefaults[] = {
    {"@recipient", VEL_CHAR_TYPE, "", 0},
    {"@subject", VEL_CHAR_TYPE, "Velmar VDB Server Message", 25},
    {"@cc_recipient", VEL_CHAR_TYPE, "", 0},
    {"@bcc_recipient", VEL_CHAR_TYPE, "", 0},
    {"@query", VEL_CHAR_TYPE, "", 0},
    {"@message", VEL_CHAR_TYPE, "", 0},
    {"@attachname", VEL_CHAR_TYPE, "", 0},
    {"@attach_result", VEL_CHAR_TYPE, "false", 5},
    {"@echo_error", VEL_CHAR_TYPE, "true", 4},
    {"@include_file", VEL_CHAR_TYPE, "", 0},
    {"@no_column_header", VEL_CHAR_TYPE, "false", 5},
    {"@no_output", VEL_CHAR_TYPE, "false", 5},
    {"@width", VEL_INT_TYPE, nullptr, 4},  // integer 80
    {"@separator", VEL_CHAR_TYPE, "\t", 1},
    {"@dbuser", VEL_CHAR_TYPE, "guest", 5},
    {"@dbname", VEL_CHAR_TYPE, "master", 6},
    {"@type", VEL_CHAR_TYPE, SM_IPM_TYPE, SM_IPM_TYPE_LENGTH},
    {"@include_query", VEL_CHAR_TYPE, "false", 5},
};
}  // namespace

void sm_preset(sm_sendmail_params* record) {
  sm_presettable(record->params, kSendMailDefaults, 18);
  record->echo_error = 1;
  record->no_output = 0;
  record->include_query = 0;
  record->no_column_header = 0;
  record->attach_result = 0;
  record->attach_count = 0;
}

int32_t sm_getsendmailparams(srv_proc* thread, sm_sendmail_params* record) {
  int32_t count = 0;
  if (!sm_getparam(thread, SM_KIND_SENDMAIL, &count)) return 0;
  if (!sm_getparams(thread, record->params, 18, count, SM_REPORTER_GETSMPARAM)) return 0;

  sm_param* p = record->params;
  if (!sm_getbool(thread, &p[SM_SEND_ATTACH_RESULT], &record->attach_result) ||
      !sm_getbool(thread, &p[SM_SEND_NO_OUTPUT], &record->no_output) ||
      !sm_getbool(thread, &p[SM_SEND_ECHO_ERROR], &record->echo_error) ||
      !sm_getbool(thread, &p[SM_SEND_INCLUDE_QUERY], &record->include_query) ||
      !sm_getbool(thread, &p[SM_SEND_NO_COLUMN_HEADER], &record->no_column_header)) {
    return 0;
  }
  if (p[SM_SEND_QUERY].length > 0 && p[SM_SEND_MESSAGE].length > 0) {
    sm_raise(thread, 0, SM_MSG_QUERY_AND_MESSAGE, "@query and @message", 0);
    return 0;
  }
  if (sm_paramint(&p[SM_SEND_WIDTH]) <= 0) {
    sm_raise(thread, 0, SM_MSG_BAD_VALUE, "@width", 0);
    return 0;
  }
  if (!sm_isipmtype(&p[SM_SEND_TYPE])) {
    sm_raise(thread, 0, SM_MSG_BAD_VALUE, "@type", 0);
    return 0;
  }
  if (p[SM_SEND_RECIPIENT].length == 0) {
    sm_raise(thread, 0, SM_MSG_NO_RECIPIENT, "xp_sendmail", 0);
    return 0;
  }
  return 1;
}

namespace {

// Three lists of at most 256 characters give at most 3 x 128 names.
constexpr int32_t kRecipientSlots = 400;

// What one call holds until it ends, released in this order: attachment
// records, recipient records, message, body, the two scratch copies.
struct SendResources {
  sm_srvblock attachments;
  sm_srvblock recipients;
  sm_srvblock message;
  sm_text body;
  sm_srvblock attachname_copy;
  sm_srvblock include_copy;

  ~SendResources() {
    attachments.Free();
    recipients.Free();
    message.Free();
    attachname_copy.Free();
    include_copy.Free();
  }
};

// Copies an entry's value as a terminated text into a scratch block of
// the value's size plus its terminator.
bool CopyToScratch(const sm_param* entry, sm_srvblock* block) {
  if (!block->Allocate(SM_VALUE_SIZE + 1)) return false;
  char* text = block->as<char>();
  memcpy(text, entry->value, static_cast<size_t>(entry->length));
  text[entry->length] = '\0';
  return true;
}

// Builds the attachment records. 0 (reported) on failure.
int32_t BuildAttachments(srv_proc* thread, sm_sendmail_params* record, SendResources* held,
                         CMC_message* message) {
  if (!CopyToScratch(&record->params[SM_SEND_ATTACHNAME], &held->attachname_copy) ||
      !CopyToScratch(&record->params[SM_SEND_INCLUDE_FILE], &held->include_copy)) {
    sm_raise(thread, 0, SM_MSG_FAILED, nullptr, 0);
    return 0;
  }
  const int32_t count = record->attach_count;
  const int32_t size = count * static_cast<int32_t>(sizeof(CMC_attachment));
  if (!held->attachments.Allocate(size)) {
    sm_raise_failed(thread, SM_MSG_NO_MEMORY, "xp_sendmail", size);
    return 0;
  }
  auto* attachments = held->attachments.as<CMC_attachment>();
  memset(attachments, 0, static_cast<size_t>(size));
  const bool results_first = record->attach_result == 1 && record->params[SM_SEND_QUERY].length > 0;
  char* includes = held->include_copy.as<char>();
  for (int32_t i = 0; i < count; ++i) {
    char* name = (i == 0 && results_first) ? held->attachname_copy.as<char>()
                                           : sm_nextincludeitem(&includes);
    if (name == nullptr) name = includes;  // the count and the list agree; never reached
    sm_trim(&name);
    attachments[i].attach_filename = name;
    attachments[i].attach_title = sm_basename(name);
    attachments[i].attach_type = nullptr;
    attachments[i].attach_flags = CMC_ATT_APP_OWNS_FILE;
    attachments[i].attach_extensions = nullptr;
  }
  attachments[count - 1].attach_flags |= CMC_ATT_LAST_ELEMENT;
  message->attachments = attachments;
  return 1;
}

// Steps after the parameters are read. 1 on success, 0 (reported, or
// silent for a list that begins with ';') otherwise.
int32_t Send(srv_proc* thread, sm_sendmail_params* record, SendResources* held) {
  sm_param* p = record->params;
  if (p[SM_SEND_QUERY].length > 0) {
    if (!sm_runquery(thread, record, &held->body)) return 0;
  } else if (p[SM_SEND_MESSAGE].length > 0) {
    const int32_t length = p[SM_SEND_MESSAGE].length;
    sm_srvblock block;
    char* body = block.Allocate(length + 1) ? block.as<char>() : nullptr;
    if (body == nullptr) {
      // Reported with the message's length, one less than the size asked for.
      sm_raise_failed(thread, SM_MSG_NO_MEMORY, "xp_sendmail", length);
      return 0;
    }
    memcpy(body, p[SM_SEND_MESSAGE].value, static_cast<size_t>(length));
    body[length] = '\0';
    held->body.block = static_cast<char*>(block.release());
    held->body.length = length;
  }
  if (!sm_postprocessmb(thread, record, &held->body)) return 0;

  char* names[kRecipientSlots] = {};
  int32_t to = 0, cc = 0, bcc = 0;
  if (!sm_splitrecips(sm_paramtext(&p[SM_SEND_RECIPIENT]), &to, names, kRecipientSlots)) return 0;
  if (p[SM_SEND_CC].length > 0 &&
      !sm_splitrecips(sm_paramtext(&p[SM_SEND_CC]), &cc, names, kRecipientSlots)) {
    return 0;
  }
  if (p[SM_SEND_BCC].length > 0 &&
      !sm_splitrecips(sm_paramtext(&p[SM_SEND_BCC]), &bcc, names, kRecipientSlots)) {
    return 0;
  }
  const int32_t total = to + cc + bcc;
  if (total == 0 ||
      !held->recipients.Allocate(total * static_cast<int32_t>(sizeof(CMC_recipient)))) {
    sm_raise_failed(thread, SM_MSG_NO_MEMORY, "xp_sendmail", sizeof(CMC_recipient));
    return 0;
  }
  auto* recipients = held->recipients.as<CMC_recipient>();
  for (int32_t i = 0; i < total; ++i) {
    recipients[i].name = names[i];
    recipients[i].name_type = CMC_TYPE_INDIVIDUAL;
    recipients[i].address = nullptr;
    recipients[i].role = i < to ? CMC_ROLE_TO : (i < to + cc ? CMC_ROLE_CC : CMC_ROLE_BCC);
    recipients[i].recip_flags = 0;
    recipients[i].recip_extensions = nullptr;
  }
  recipients[total - 1].recip_flags = CMC_RECIP_LAST_ELEMENT;

  if (!held->message.Allocate(sizeof(CMC_message))) {
    sm_raise_failed(thread, SM_MSG_NO_MEMORY, "xp_sendmail", sizeof(CMC_message));
    return 0;
  }
  auto* message = held->message.as<CMC_message>();
  memset(message, 0, sizeof(*message));
  message->subject = sm_paramtext(&p[SM_SEND_SUBJECT]);
  const bool results_attached = record->attach_result == 1 && p[SM_SEND_QUERY].length > 0;
  // The note (perhaps a whole query result) is handed to the request, not
  // copied for it.
  sm_srvblock note;
  if (!results_attached) {
    sm_srvblock::Adopt(&note, held->body.block);
    held->body.block = nullptr;
    held->body.length = 0;
  }
  message->text_note = note.as<char>();
  message->recipients = recipients;
  if (record->attach_count > 0 && !BuildAttachments(thread, record, held, message)) return 0;
  message->message_reference = nullptr;
  message->message_type = sm_paramtext(&p[SM_SEND_TYPE]);
  message->message_flags = CMC_MSG_LAST_ELEMENT;  // the last (only) message
  message->message_extensions = nullptr;

  const int32_t result = sm_requestsend(message, &note);
  if (result != 0) {
    sm_raise(thread, result, SM_MSG_MAIL_REQUEST_FAILED, nullptr, 0);
    return 0;
  }
  return 1;
}

}  // namespace

int32_t sm_splitrecips(char* list, int32_t* added, char** names, int32_t slots) {
  *added = 0;
  if (list == nullptr || list[0] == '\0' || list[0] == ';') return 0;
  int32_t next = 0;
  while (next < slots && names[next] != nullptr) ++next;
  char* p = list;
  while (*p != '\0') {
    while (*p == ';') *p++ = '\0';
    if (*p == '\0') break;
    if (next < slots) {
      names[next++] = p;
      ++*added;
    }
    while (*p != '\0' && *p != ';') ++p;
  }
  return 1;
}

static int32_t SendMail(srv_proc* thread) {
  sm_sendmail_params record;
  sm_preset(&record);
  if (sm_state.session.load() == 0) {
    sm_raise(thread, 0, SM_MSG_NO_SESSION, "xp_sendmail", 0);
    return 0;
  }
  if (!sm_getsendmailparams(thread, &record)) return 0;
  int32_t ok;
  {
    SendResources held;
    ok = Send(thread, &record, &held);
  }
  if (!ok) return 0;
  srv_sendstatus(thread, 0);
  return 1;
}

extern "C" VEL_EXPORT int32_t VEL_CDECL xp_sendmail(srv_proc* thread) {
  return sm_guarded(thread, "xp_sendmail", [thread] { return SendMail(thread); });
}
