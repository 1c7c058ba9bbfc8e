#include "outbox_view.h"

#include <dlfcn.h>

#include <cstring>

#include "as_extension.h"
#include "providers/net/velnet_outbox.h"

namespace velpg {
namespace {

using ListFn = velnet_outbox* (*)(const char*);
using FreeFn = void (*)(velnet_outbox*);

struct Velnet {
  ListFn list = nullptr;
  FreeFn free = nullptr;
};

constexpr int kColumns = 11;

// The provider module, loaded once and kept: the library may use it too.
Velnet LoadVelnet(const char* path) {
  static Velnet loaded;
  if (loaded.list) return loaded;
  void* module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr)
    ereport(ERROR, (errcode(MAKE_SQLSTATE('V', 'M', '0', '0', '2')),
                    errmsg("velmail: the network provider cannot be loaded: %s", dlerror())));
  Velnet found;
  found.list = reinterpret_cast<ListFn>(dlsym(module, "velnet_outbox_list"));
  found.free = reinterpret_cast<FreeFn>(dlsym(module, "velnet_outbox_free"));
  if (found.list == nullptr || found.free == nullptr)
    ereport(ERROR, (errcode(MAKE_SQLSTATE('V', 'M', '0', '0', '2')),
                    errmsg("velmail: %s does not list its outbox (velnet_outbox_list)", path)));
  loaded = found;
  return loaded;
}

// The mail users recorded for role, palloc'd; *count of them.
char** MailUsersOf(Oid role, int* count) {
  char** users = nullptr;
  MemoryContext outer = CurrentMemoryContext;
  AsExtension([&] {
    Oid types[1] = {REGROLEOID};
    Datum args[1] = {ObjectIdGetDatum(role)};
    if (SPI_execute_with_args(
            "SELECT mail_user FROM velmail.mail_users WHERE role OPERATOR(pg_catalog.=) $1", 1,
            types, args, nullptr, true, 0) != SPI_OK_SELECT)
      ereport(ERROR, (errmsg("velmail: the record of mail users cannot be read")));
    *count = static_cast<int>(SPI_processed);
    users = static_cast<char**>(MemoryContextAllocZero(outer, sizeof(char*) * (SPI_processed + 1)));
    for (uint64 i = 0; i < SPI_processed; ++i) {
      char* value = SPI_getvalue(SPI_tuptable->vals[i], SPI_tuptable->tupdesc, 1);
      users[i] = MemoryContextStrdup(outer, value ? value : "");
    }
  });
  return users;
}

// Records of roles dropped since: a role's records go with it.
constexpr const char* kForgetDropped =
    "DELETE FROM velmail.mail_users m WHERE NOT EXISTS (SELECT FROM pg_catalog.pg_authid a "
    "WHERE a.oid OPERATOR(pg_catalog.=) m.role::pg_catalog.oid)";

// Forgets the records of dropped roles where the transaction may write;
// a failure is left alone (the rows are only ever shown for a role that
// exists).
void ForgetDroppedRoles() {
  if (RecoveryInProgress() || XactReadOnly) return;
  ErrorData* error = AsExtensionAlone([] {
    if (SPI_execute(kForgetDropped, false, 0) < 0) ereport(ERROR, (errmsg("not forgotten")));
  });
  if (error != nullptr) FreeErrorData(error);
}

Datum TextOrNull(const char* s, bool* null) {
  *null = s == nullptr;
  return s ? CStringGetTextDatum(s) : Datum(0);
}

Datum TimeOrNull(int64_t seconds, bool* null) {
  *null = seconds == 0;
  return seconds ? TimestampTzGetDatum(time_t_to_timestamptz(static_cast<pg_time_t>(seconds)))
                 : Datum(0);
}

}  // namespace

void RecordMailUser(Oid role, const char* mail_user) {
  ErrorData* error = AsExtensionAlone([&] {
    Oid types[2] = {REGROLEOID, TEXTOID};
    Datum args[2] = {ObjectIdGetDatum(role), CStringGetTextDatum(mail_user)};
    // Looked up first: a logon in a read-only transaction writes nothing
    // when the record is there already.
    if (SPI_execute_with_args("SELECT FROM velmail.mail_users WHERE role OPERATOR(pg_catalog.=) $1 "
                              "AND mail_user OPERATOR(pg_catalog.=) $2",
                              2, types, args, nullptr, true, 1) != SPI_OK_SELECT)
      ereport(ERROR, (errmsg("the record cannot be read")));
    if (SPI_processed == 0) {
      if (SPI_execute_with_args("INSERT INTO velmail.mail_users (role, mail_user) "
                                "VALUES ($1, $2) ON CONFLICT DO NOTHING",
                                2, types, args, nullptr, false, 0) < 0)
        ereport(ERROR, (errmsg("the record cannot be written")));
      if (SPI_execute(kForgetDropped, false, 0) < 0)
        ereport(ERROR, (errmsg("the record cannot be written")));
    }
  });
  if (error == nullptr) return;
  ereport(WARNING, (errmsg("velmail: the logon as \"%s\" is not recorded; velmail.outbox will not "
                           "show that user's mail to this role",
                           mail_user),
                    errdetail("%s", error->message)));
  FreeErrorData(error);
}

void ListOutbox(FunctionCallInfo fcinfo, const char* net_config, const char* velnet_path) {
  InitMaterializedSRF(fcinfo, 0);
  ReturnSetInfo* rsinfo = reinterpret_cast<ReturnSetInfo*>(fcinfo->resultinfo);
  ForgetDroppedRoles();
  if (net_config == nullptr || *net_config == '\0') return;
  int user_count = 0;
  char** users = nullptr;
  const bool everything = superuser();
  if (!everything) {
    users = MailUsersOf(GetUserId(), &user_count);
    if (user_count == 0) return;  // this role has logged on as nobody
  }
  const Velnet velnet = LoadVelnet(velnet_path);
  velnet_outbox* volatile outbox = velnet.list(net_config);
  if (outbox == nullptr) ereport(ERROR, (errcode(ERRCODE_OUT_OF_MEMORY), errmsg("out of memory")));
  PG_TRY();
  {
    if (outbox->error != nullptr)
      ereport(ERROR, (errcode(MAKE_SQLSTATE('V', 'M', '0', '0', '0')),
                      errmsg("velmail: the outbox cannot be read: %s", outbox->error),
                      errhint("velmail.net_config names the network provider's configuration.")));
    for (size_t i = 0; i < outbox->count; ++i) {
      const velnet_outbox_row& row = outbox->rows[i];
      bool shown = everything;
      for (int u = 0; !shown && u < user_count; ++u)
        shown = row.user != nullptr && std::strcmp(row.user, users[u]) == 0;
      if (!shown) continue;
      Datum values[kColumns];
      bool nulls[kColumns];
      values[0] = TextOrNull(row.id, &nulls[0]);
      values[1] = TextOrNull(row.state, &nulls[1]);
      values[2] = TextOrNull(row.user, &nulls[2]);
      values[3] = TextOrNull(row.sender, &nulls[3]);
      values[4] = TextOrNull(row.recipients, &nulls[4]);
      values[5] = TextOrNull(row.subject, &nulls[5]);
      values[6] = Int32GetDatum(static_cast<int32>(row.attempts));
      nulls[6] = false;
      values[7] =
          TextOrNull(row.last_reply && *row.last_reply ? row.last_reply : nullptr, &nulls[7]);
      values[8] = TimeOrNull(row.queued_at, &nulls[8]);
      values[9] = TimeOrNull(row.next_attempt, &nulls[9]);
      values[10] = TimeOrNull(row.done_at, &nulls[10]);
      tuplestore_putvalues(rsinfo->setResult, rsinfo->setDesc, values, nulls);
    }
  }
  PG_FINALLY();
  { velnet.free(outbox); }
  PG_END_TRY();
}

}  // namespace velpg
