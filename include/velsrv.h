/* The host's server library: parameters, replies, properties, memory and
 * the host log. */
#ifndef VELSRV_H
#define VELSRV_H

#include "velcs.h"

#ifdef __cplusplus
extern "C" {
#endif

struct srv_proc;   /* a client thread: the caller handle */
struct srv_server; /* only ever passed as null */

enum {
  VEL_PROP_CURRENT_THREAD = 318,
  VEL_PROP_IFILE_PATH = 320,
  VEL_TPROP_SERVER_NAME = 209,
  VEL_DONE_FINAL = 2
};

int32_t VEL_CDECL srv_numparams(struct srv_proc *proc, int32_t *count);
int32_t VEL_CDECL srv_descfmt(struct srv_proc *proc, int32_t cmd, int32_t type, int32_t item,
                              struct cs_datafmt *fmt);
int32_t VEL_CDECL srv_bind(struct srv_proc *proc, int32_t cmd, int32_t type, int32_t item,
                           struct cs_datafmt *fmt, void *buf, int32_t *len, int16_t *indicator);
int32_t VEL_CDECL srv_xferdata(struct srv_proc *proc, int32_t cmd, int32_t type);
int32_t VEL_CDECL srv_senddone(struct srv_proc *proc, int32_t status, int32_t transtate,
                               int32_t count);
int32_t VEL_CDECL srv_sendstatus(struct srv_proc *proc, int32_t status);
int32_t VEL_CDECL srv_sendinfo(struct srv_proc *proc, struct cs_servermsg *msg, int32_t transtate);
int32_t VEL_CDECL srv_props(struct cs_context *ctx, int32_t cmd, int32_t property, void *buf,
                            int32_t buflen, int32_t *outlen);
int32_t VEL_CDECL srv_thread_props(struct srv_proc *proc, int32_t cmd, int32_t property, void *buf,
                                   int32_t buflen, int32_t *outlen);
void *VEL_CDECL srv_alloc(int32_t size);
void *VEL_CDECL srv_realloc(void *block, int32_t size);
int32_t VEL_CDECL srv_free(void *block);
int32_t VEL_CDECL srv_bzero(void *block, int32_t size);
int32_t VEL_CDECL srv_log(struct srv_server *server, int32_t datestamp, const char *text,
                          int32_t length);

#ifdef __cplusplus
}
#endif

#endif
