/* Reading the network provider's outbox from another program: what its
 * spool holds -- queued, failed and damaged messages, non-delivery reports
 * waiting for their user's mailbox, and what servers have taken -- as
 * velnet-status shows it, in rows. Exported by
 * libvelnet.so beside the CMC entry points; the spool is the one the
 * configuration file names. Nothing is locked or changed: a listing taken
 * while the provider delivers shows each message in one state or the next. */
#ifndef VELNET_OUTBOX_API_H
#define VELNET_OUTBOX_API_H

#include "velabi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One row. Strings are UTF-8 (a subject is decoded from its header) and
 * NULL where the spool does not say; times are seconds since the epoch,
 * 0 where they do not apply. */
typedef struct velnet_outbox_row {
  const char *id;         /* the spool's id of the message */
  const char *state;      /* "queued", "failed", "quarantined", "sent", or
                             "report": a non-delivery report on the failed
                             message id, waiting to be appended to user's
                             mailbox (last_reply: why the last attempt
                             failed; queued_at: when it was spooled) */
  const char *user;       /* the mail user that sent it */
  const char *sender;     /* the envelope sender */
  const char *recipients; /* comma-separated: queued the pending ones, failed
                             the refused ones, sent those the server took */
  const char *subject;
  uint32_t attempts;
  const char *last_reply; /* the last server reply; for a failed message each
                             refused recipient's, for a damaged file the damage */
  int64_t queued_at;
  int64_t next_attempt; /* queued: not attempted again before this */
  int64_t done_at;      /* sent: when the server took it */
} velnet_outbox_row;

typedef struct velnet_outbox {
  size_t count;
  velnet_outbox_row *rows;
  char *error; /* NULL, or why nothing could be listed (count is then 0) */
} velnet_outbox;

/* Lists the spool of the configuration at config_path. NULL only when
 * memory runs out; give the result back with velnet_outbox_free. */
VEL_EXPORT velnet_outbox *velnet_outbox_list(const char *config_path);
VEL_EXPORT void velnet_outbox_free(velnet_outbox *outbox);

#ifdef __cplusplus
}
#endif

#endif
