// The network provider's outbox seen from SQL (velmail.outbox), and the
// record of which mail users each role has logged on as, which decides
// what of it a role sees.
#ifndef VELPG_OUTBOX_H
#define VELPG_OUTBOX_H

#include "pg_headers.h"

namespace velpg {

// Records in velmail.mail_users that role logged on as mail_user (once;
// in its own subtransaction), and forgets the records of roles dropped
// since. A record that cannot be written -- a read-only transaction -- is
// only warned of.
void RecordMailUser(Oid role, const char* mail_user);

// The rows of velnet_outbox_list for the spool of the network provider's
// configuration net_config, read through the provider module at
// velnet_path (loaded here on first use): every row for a superuser, else
// the rows of the mail users recorded for the current role. No
// configuration named: no rows.
void ListOutbox(FunctionCallInfo fcinfo, const char* net_config, const char* velnet_path);

}  // namespace velpg

#endif
