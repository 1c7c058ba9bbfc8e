/* Common Messaging Calls 1.0: the records, numbers and entry points a
 * provider exports. */
#ifndef VEL_CMC_H
#define VEL_CMC_H

#include "velabi.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t CMC_return_code;
typedef uint32_t CMC_session_id;
typedef uint32_t CMC_flags;
typedef uint32_t CMC_ui_id;
typedef uint32_t CMC_enum;
typedef uint32_t CMC_uint32;
typedef char *CMC_string;
typedef char *CMC_object_identifier;

typedef struct {
  CMC_uint32 length;
  char string[1];
} CMC_counted_string;
typedef CMC_counted_string CMC_message_reference; /* length, then that many bytes */

/* year: the years since 1900, read as an unsigned byte (1900 to 2155). */
typedef struct {
  int8_t second, minute, hour, day, month, year, isdst, unused1;
  int16_t tmzone, unused2;
} CMC_time;
VEL_CHECK_SIZE32(CMC_time, 12);

typedef struct {
  CMC_uint32 item_code;
  CMC_uint32 item_data;
  void *item_reference;
  CMC_flags extension_flags;
} CMC_extension;
VEL_CHECK_SIZE32(CMC_extension, 16);

typedef struct {
  CMC_string attach_title;
  CMC_object_identifier attach_type;
  CMC_string attach_filename;
  CMC_flags attach_flags;
  CMC_extension *attach_extensions;
} CMC_attachment;
VEL_CHECK_SIZE32(CMC_attachment, 20);

typedef struct {
  CMC_string name;
  CMC_enum name_type;
  CMC_string address;
  CMC_enum role;
  CMC_flags recip_flags;
  CMC_extension *recip_extensions;
} CMC_recipient;
VEL_CHECK_SIZE32(CMC_recipient, 24);

typedef struct {
  CMC_message_reference *message_reference;
  CMC_string message_type;
  CMC_string subject;
  CMC_time time_sent;
  CMC_string text_note;
  CMC_recipient *recipients;
  CMC_attachment *attachments;
  CMC_flags message_flags;
  CMC_extension *message_extensions;
} CMC_message;
VEL_CHECK_SIZE32(CMC_message, 44);

typedef struct {
  CMC_message_reference *message_reference;
  CMC_string message_type;
  CMC_string subject;
  CMC_time time_sent;
  CMC_uint32 byte_length;
  CMC_recipient *originator;
  CMC_flags summary_flags;
  CMC_extension *message_summary_extensions;
} CMC_message_summary;
VEL_CHECK_SIZE32(CMC_message_summary, 40);

/* Return codes. */
enum {
  CMC_SUCCESS = 0,
  CMC_E_AMBIGUOUS_RECIPIENT = 1,
  CMC_E_ATTACHMENT_NOT_FOUND = 2,
  CMC_E_ATTACHMENT_OPEN_FAILURE = 3,
  CMC_E_ATTACHMENT_READ_FAILURE = 4,
  CMC_E_ATTACHMENT_WRITE_FAILURE = 5,
  CMC_E_COUNTED_STRING_UNSUPPORTED = 6,
  CMC_E_DISK_FULL = 7,
  CMC_E_FAILURE = 8,
  CMC_E_INSUFFICIENT_MEMORY = 9,
  CMC_E_INVALID_CONFIGURATION = 10,
  CMC_E_INVALID_ENUM = 11,
  CMC_E_INVALID_FLAG = 12,
  CMC_E_INVALID_MEMORY = 13,
  CMC_E_INVALID_MESSAGE_PARAMETER = 14,
  CMC_E_INVALID_MESSAGE_REFERENCE = 15,
  CMC_E_INVALID_PARAMETER = 16,
  CMC_E_INVALID_SESSION_ID = 17,
  CMC_E_INVALID_UI_ID = 18,
  CMC_E_LOGON_FAILURE = 19,
  CMC_E_MESSAGE_IN_USE = 20,
  CMC_E_NOT_SUPPORTED = 21,
  CMC_E_PASSWORD_REQUIRED = 22,
  CMC_E_RECIPIENT_NOT_FOUND = 23,
  CMC_E_SERVICE_UNAVAILABLE = 24,
  CMC_E_TEXT_TOO_LARGE = 25,
  CMC_E_TOO_MANY_FILES = 26,
  CMC_E_TOO_MANY_RECIPIENTS = 27,
  CMC_E_UNABLE_TO_NOT_MARK_AS_READ = 28,
  CMC_E_UNRECOGNIZED_MESSAGE_TYPE = 29,
  CMC_E_UNSUPPORTED_ACTION = 30,
  CMC_E_UNSUPPORTED_CHARACTER_SET = 31,
  CMC_E_UNSUPPORTED_DATA_EXT = 32,
  CMC_E_UNSUPPORTED_FLAG = 33,
  CMC_E_UNSUPPORTED_FUNCTION_EXT = 34,
  CMC_E_UNSUPPORTED_VERSION = 35,
  CMC_E_USER_CANCEL = 36,
  CMC_E_USER_NOT_LOGGED_ON = 37
};

/* Flags, roles and other numbers. */
#define CMC_VERSION 100
#define CMC_LIST_UNREAD_ONLY 0x1u
#define CMC_SUM_READ 0x1u
#define CMC_DO_NOT_MARK_AS_READ 0x1u
#define CMC_ACT_ON_DELETE 1u
#define CMC_ROLE_TO 0u
#define CMC_ROLE_CC 1u
#define CMC_ROLE_BCC 2u
#define CMC_ROLE_ORIGINATOR 3u
#define CMC_TYPE_INDIVIDUAL 1u
#define CMC_ATT_APP_OWNS_FILE 0x1u
#define CMC_RECIP_LAST_ELEMENT 0x80000000u
#define CMC_ATT_LAST_ELEMENT 0x80000000u
#define CMC_SUM_LAST_ELEMENT 0x80000000u
#define CMC_EXT_LAST_ELEMENT 0x80000000u
#define CMC_MSG_LAST_ELEMENT 0x80000000u
#define CMC_EXT_REQUIRED 0x00010000u

typedef CMC_return_code(VEL_CDECL *CMC_logon_fn)(CMC_string service, CMC_string user,
                                                 CMC_string password,
                                                 CMC_object_identifier character_set,
                                                 CMC_ui_id ui_id, uint16_t caller_cmc_version,
                                                 CMC_flags logon_flags, CMC_session_id *session,
                                                 CMC_extension *logon_extensions);
typedef CMC_return_code(VEL_CDECL *CMC_logoff_fn)(CMC_session_id, CMC_ui_id, CMC_flags,
                                                  CMC_extension *);
typedef CMC_return_code(VEL_CDECL *CMC_free_fn)(void *memory);
typedef CMC_return_code(VEL_CDECL *CMC_send_fn)(CMC_session_id, CMC_message *, CMC_flags, CMC_ui_id,
                                                CMC_extension *);
typedef CMC_return_code(VEL_CDECL *CMC_look_up_fn)(CMC_session_id, CMC_recipient *recipient_in,
                                                   CMC_flags, CMC_ui_id, CMC_uint32 *count,
                                                   CMC_recipient **recipients_out, CMC_extension *);
typedef CMC_return_code(VEL_CDECL *CMC_list_fn)(CMC_session_id, CMC_string message_type,
                                                CMC_flags list_flags, CMC_message_reference *seed,
                                                CMC_uint32 *count, CMC_ui_id,
                                                CMC_message_summary **result, CMC_extension *);
typedef CMC_return_code(VEL_CDECL *CMC_read_fn)(CMC_session_id, CMC_message_reference *,
                                                CMC_flags read_flags, CMC_message **message,
                                                CMC_ui_id, CMC_extension *);
typedef CMC_return_code(VEL_CDECL *CMC_act_on_fn)(CMC_session_id, CMC_message_reference *,
                                                  CMC_enum operation, CMC_flags, CMC_ui_id,
                                                  CMC_extension *);

CMC_return_code VEL_CDECL cmc_logon(CMC_string service, CMC_string user, CMC_string password,
                                    CMC_object_identifier character_set, CMC_ui_id ui_id,
                                    uint16_t caller_cmc_version, CMC_flags logon_flags,
                                    CMC_session_id *session, CMC_extension *logon_extensions);
CMC_return_code VEL_CDECL cmc_logoff(CMC_session_id session, CMC_ui_id ui_id, CMC_flags flags,
                                     CMC_extension *extensions);
CMC_return_code VEL_CDECL cmc_free(void *memory);
CMC_return_code VEL_CDECL cmc_send(CMC_session_id session, CMC_message *message, CMC_flags flags,
                                   CMC_ui_id ui_id, CMC_extension *extensions);
CMC_return_code VEL_CDECL cmc_look_up(CMC_session_id session, CMC_recipient *recipient_in,
                                      CMC_flags flags, CMC_ui_id ui_id, CMC_uint32 *count,
                                      CMC_recipient **recipients_out, CMC_extension *extensions);
CMC_return_code VEL_CDECL cmc_list(CMC_session_id session, CMC_string message_type,
                                   CMC_flags list_flags, CMC_message_reference *seed,
                                   CMC_uint32 *count, CMC_ui_id ui_id, CMC_message_summary **result,
                                   CMC_extension *extensions);
CMC_return_code VEL_CDECL cmc_read(CMC_session_id session, CMC_message_reference *reference,
                                   CMC_flags read_flags, CMC_message **message, CMC_ui_id ui_id,
                                   CMC_extension *extensions);
CMC_return_code VEL_CDECL cmc_act_on(CMC_session_id session, CMC_message_reference *reference,
                                     CMC_enum operation, CMC_flags flags, CMC_ui_id ui_id,
                                     CMC_extension *extensions);

#ifdef __cplusplus
}
#endif

#endif
