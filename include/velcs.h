/* The client and common libraries: context, connections, commands and
 * the records they share with the server library. */
#ifndef VELCS_H
#define VELCS_H

#include "velabi.h"

#ifdef __cplusplus
extern "C" {
#endif

struct cs_context;
struct cs_connection;
struct cs_command;
struct cs_locale;

/* Description of one RPC parameter or result column. */
struct cs_datafmt {
  char name[132];  /* not terminated */
  int32_t namelen; /* 0 for a positional parameter or unnamed column */
  int32_t datatype;
  int32_t format;
  int32_t maxlength;
  int32_t scale;
  int32_t precision;
  int32_t status; /* VEL_STATUS_RETURN: declared as output parameter */
  int32_t count;
  int32_t usertype;
  struct cs_locale *locale;
};
VEL_CHECK_SIZE32(struct cs_datafmt, 172);

struct cs_clientmsg {
  int32_t severity;
  int32_t msgnumber;    /* bytes from high to low: layer, origin, severity, number */
  char msgstring[1024]; /* not terminated */
  int32_t msgstringlen;
  int32_t osnumber;
  char osstring[1024];
  int32_t osstringlen;
  int32_t status;
};

struct cs_servermsg {
  int32_t msgnumber;
  int32_t state;
  int32_t severity;
  char text[1024]; /* not terminated */
  int32_t textlen;
  char svrname[132];
  int32_t svrnlen;
  char proc[132]; /* terminated */
  int32_t proclen;
  int32_t line;
  int32_t status;
};

struct cs_daterec {
  int32_t year, month, day_of_month, day_of_year, day_of_week;
  int32_t hour, minute, second, millisecond, tzone;
};

/* Numbers shared by the server and client libraries. */
enum {
  VEL_SUCCEED = 1,
  VEL_FAIL = 0,
  VEL_GET = 33,
  VEL_SET = 34,
  VEL_RPC_DATA = 3,
  VEL_NULLTERM = -9,
  VEL_UNUSED = -99999,
  VEL_STATUS_RETURN = 0x400,
  VEL_CS_VERSION = 1100,
  VEL_FORCE_EXIT = 300,
  VEL_FORCE_CLOSE = 301,
  VEL_CB_SERVERMSG = 2,
  VEL_CB_CLIENTMSG = 3,
  VEL_CB_CHALLENGE = 6,
  VEL_PROP_IFILE = 9115,
  VEL_PROP_USERNAME = 9100,
  VEL_PROP_PASSWORD = 9101,
  VEL_PROP_USERDATA = 9108,
  VEL_PROP_9136 = 9136,
  VEL_LANG_CMD = 148,
  VEL_ROW_COUNT = 800,
  VEL_NUMDATA = 803,
  VEL_END_DATA = -204,
  VEL_END_RESULTS = -205,
  VEL_CANCEL_ALL = 6001,
  VEL_ROW_RESULT = 4040,
  VEL_CURSOR_RESULT = 4041,
  VEL_PARAM_RESULT = 4042,
  VEL_STATUS_RESULT = 4043,
  VEL_COMPUTE_RESULT = 4045,
  VEL_CMD_DONE = 4046,
  VEL_CMD_SUCCEED = 4047,
  VEL_CMD_FAIL = 4048
};

/* Datatype codes. */
enum {
  VEL_CHAR_TYPE = 0,
  VEL_BINARY_TYPE = 1,
  VEL_TEXT_TYPE = 4,
  VEL_IMAGE_TYPE = 5,
  VEL_INT_TYPE = 8,
  VEL_FLOAT_TYPE = 10, /* 8-byte floating point */
  VEL_VARBINARY_TYPE = 19,
  VEL_VOID_TYPE = 23
};

typedef int32_t(VEL_CDECL *cs_clientmsg_fn)(struct cs_context *, struct cs_connection *,
                                            struct cs_clientmsg *);
typedef int32_t(VEL_CDECL *cs_servermsg_fn)(struct cs_context *, struct cs_connection *,
                                            struct cs_servermsg *);
typedef int32_t(VEL_CDECL *cs_challenge_fn)(void *a1, void *a2, int32_t *a3, void *a4, void *a5,
                                            void *a6, void *a7, void *a8);

/* Byte offsets of the two challenge-record fields the callback uses. */
#define VEL_CHALLENGE_OFFSET_144 144
#define VEL_CHALLENGE_OFFSET_136 136

int32_t VEL_CDECL cs_ctx_alloc(int32_t version, struct cs_context **ctx);
int32_t VEL_CDECL cs_ctx_drop(struct cs_context *ctx);
int32_t VEL_CDECL cs_time(struct cs_context *ctx, struct cs_locale *locale, void *buf,
                          int32_t buflen, int32_t *outlen, struct cs_daterec *daterec);
int32_t VEL_CDECL ct_init(struct cs_context *ctx, int32_t version);
int32_t VEL_CDECL ct_exit(struct cs_context *ctx, int32_t option);
int32_t VEL_CDECL ct_callback(struct cs_context *ctx, struct cs_connection *con, int32_t action,
                              int32_t type, void *func);
int32_t VEL_CDECL ct_config(struct cs_context *ctx, int32_t action, int32_t property, void *buf,
                            int32_t buflen, int32_t *outlen);
int32_t VEL_CDECL ct_con_alloc(struct cs_context *ctx, struct cs_connection **con);
int32_t VEL_CDECL ct_con_props(struct cs_connection *con, int32_t action, int32_t property,
                               void *buf, int32_t buflen, int32_t *outlen);
int32_t VEL_CDECL ct_connect(struct cs_connection *con, const char *server, int32_t length);
int32_t VEL_CDECL ct_cmd_alloc(struct cs_connection *con, struct cs_command **cmd);
int32_t VEL_CDECL ct_command(struct cs_command *cmd, int32_t type, const char *text, int32_t length,
                             int32_t option);
int32_t VEL_CDECL ct_send(struct cs_command *cmd);
int32_t VEL_CDECL ct_results(struct cs_command *cmd, int32_t *result_type);
int32_t VEL_CDECL ct_res_info(struct cs_command *cmd, int32_t type, void *buf, int32_t buflen,
                              int32_t *outlen);
int32_t VEL_CDECL ct_describe(struct cs_command *cmd, int32_t item, struct cs_datafmt *fmt);
int32_t VEL_CDECL ct_bind(struct cs_command *cmd, int32_t item, struct cs_datafmt *fmt, void *buf,
                          int32_t *copied, int16_t *indicator);
int32_t VEL_CDECL ct_fetch(struct cs_command *cmd, int32_t type, int32_t offset, int32_t option,
                           int32_t *rows_read);
int32_t VEL_CDECL ct_cancel(struct cs_connection *con, struct cs_command *cmd, int32_t type);
int32_t VEL_CDECL ct_cmd_drop(struct cs_command *cmd);
int32_t VEL_CDECL ct_close(struct cs_connection *con, int32_t option);
int32_t VEL_CDECL ct_con_drop(struct cs_connection *con);
int32_t VEL_CDECL com_uninitialize_tds_text(void *a1, void *a5, int32_t value144, void *a7,
                                            void *a8);

#ifdef __cplusplus
}
#endif

#endif
