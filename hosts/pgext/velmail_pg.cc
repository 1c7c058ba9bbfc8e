// The extension's entry points: the settings, the procedures and the end of
// the backend. Each procedure call runs the library's procedure on a host
// client thread while the backend's main thread serves the call's queries
// and watches for a cancel (see bridge.h).
//
// Frames that may see a PostgreSQL error (a longjmp) hold no C++ object
// with a destructor: the call's C++ state lives on the heap (CallState) and
// is released before any error is raised.
#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bridge.h"
#include "outbox_view.h"
#include "pg_headers.h"
#include "spi_server.h"

extern "C" {
PG_MODULE_MAGIC;
void _PG_init(void);  // NOLINT(bugprone-reserved-identifier): the name PostgreSQL calls
PG_FUNCTION_INFO_V1(velmail_call);
PG_FUNCTION_INFO_V1(velmail_outbox);
}

namespace velpg {
namespace {

constexpr const char* kServerName = "VELSERVER";
constexpr int kServeStepMs = 50;
constexpr int kCancelGraceMs = 500;      // a cancelled call gets this long to end
constexpr int32_t kOutputTextMax = 256;  // what an entry of the library holds

// The error class of the extension: VM000 a failed call, VM001 a refused
// parameter, VM002 the library could not be loaded.
const int kErrCallFailed = MAKE_SQLSTATE('V', 'M', '0', '0', '0');
const int kErrLibrary = MAKE_SQLSTATE('V', 'M', '0', '0', '2');
const int kErrMessage = MAKE_SQLSTATE('V', 'M', '0', '0', '1');

// Settings (velmail.*).
char* g_library_dir = nullptr;
char* g_provider = nullptr;
char* g_net_config = nullptr;
char* g_maildir_root = nullptr;
char* g_mail_user = nullptr;
char* g_mail_password = nullptr;
int g_timeout_ms = 0;

MailHost* g_host = nullptr;
bool g_in_call = false;
uint64_t g_calls = 0;

enum class Kind { kText, kInt, kBytes, kBool };
struct ParamDef {
  const char* name;
  Kind kind;
  bool inout;
};
struct ProcDef {
  const char* name;
  const ParamDef* params;
  int count;
};

const ParamDef kStartMail[] = {{"mail_user", Kind::kText, false},
                               {"mail_password", Kind::kText, false}};
const ParamDef kSendMail[] = {{"recipient", Kind::kText, false},
                              {"subject", Kind::kText, false},
                              {"cc_recipient", Kind::kText, false},
                              {"bcc_recipient", Kind::kText, false},
                              {"query", Kind::kText, false},
                              {"message", Kind::kText, false},
                              {"attachname", Kind::kText, false},
                              {"attach_result", Kind::kBool, false},
                              {"echo_error", Kind::kBool, false},
                              {"include_file", Kind::kText, false},
                              {"no_column_header", Kind::kBool, false},
                              {"no_output", Kind::kBool, false},
                              {"width", Kind::kInt, false},
                              {"separator", Kind::kText, false},
                              {"dbuser", Kind::kText, false},
                              {"dbname", Kind::kText, false},
                              {"type", Kind::kText, false},
                              {"include_query", Kind::kBool, false}};
const ParamDef kFindNext[] = {{"msg_id", Kind::kBytes, true},
                              {"type", Kind::kText, false},
                              {"unread_only", Kind::kBool, false}};
const ParamDef kReadMail[] = {
    {"msg_id", Kind::kBytes, false},    {"recipients", Kind::kText, true},
    {"sender", Kind::kText, true},      {"date_received", Kind::kText, true},
    {"subject", Kind::kText, true},     {"cc", Kind::kText, true},
    {"bcc", Kind::kText, true},         {"message", Kind::kText, true},
    {"attachments", Kind::kText, true}, {"suppress_attach", Kind::kBool, false},
    {"peek", Kind::kBool, false},       {"unread", Kind::kBool, false},
    {"msg_length", Kind::kInt, true},   {"bytes_to_skip", Kind::kInt, true},
    {"type", Kind::kText, true}};
const ParamDef kDeleteMail[] = {{"msg_id", Kind::kBytes, false}};

const ProcDef kProcs[] = {{"xp_startmail", kStartMail, 2}, {"xp_stopmail", nullptr, 0},
                          {"xp_sendmail", kSendMail, 18},  {"xp_findnextmsg", kFindNext, 3},
                          {"xp_readmail", kReadMail, 15},  {"xp_deletemail", kDeleteMail, 1}};

const ProcDef* FindProc(const char* name) {
  for (const ProcDef& proc : kProcs)
    if (name != nullptr && std::strcmp(proc.name, name) == 0) return &proc;
  return nullptr;
}

int32_t Datatype(Kind kind) {
  switch (kind) {
    case Kind::kInt:
      return VEL_INT_TYPE;
    case Kind::kBytes:
      return VEL_BINARY_TYPE;
    default:
      return VEL_CHAR_TYPE;
  }
}

// One argument as the caller passed it, read from the server's datum.
struct Arg {
  bool null = true;
  std::string bytes;  // text, raw bytes, "true"/"false", or 4 bytes of an integer
};

// The C++ side of one call, on the heap.
struct CallState {
  const ProcDef* proc = nullptr;
  std::vector<Arg> args;
  velsrv::CallResult result;
};

std::string ModuleDirectory() {
  Dl_info info;
  if (dladdr(reinterpret_cast<void*>(&_PG_init), &info) == 0 || info.dli_fname == nullptr)
    return {};
  return std::filesystem::path(info.dli_fname).parent_path().string();
}

void ExitHook(int, Datum) {
  // A call in progress (the backend is ending in its middle) or an
  // abandoned one keeps the host as it is: the process ends with it.
  if (g_host == nullptr || g_in_call) return;
  try {
    g_host->Shutdown();
  } catch (...) {
  }
}

// The host of this backend, loaded on first use. Null, with a palloc'd
// reason, when it cannot be.
MailHost* EnsureHost(char** problem_out) {
  if (g_host) return g_host;
  std::string problem;
  try {
    HostSettings settings;
    const std::string data_dir = std::string(DataDir) + "/velmail";
    settings.library_dir = g_library_dir && *g_library_dir ? g_library_dir : ModuleDirectory();
    settings.data_dir = data_dir;
    settings.work_dir = data_dir + "/work";
    const std::string provider = g_provider ? g_provider : "";
    settings.provider =
        provider.find('/') == std::string::npos ? settings.library_dir + "/" + provider : provider;
    settings.maildir_root = g_maildir_root && *g_maildir_root ? g_maildir_root : data_dir + "/mail";
    settings.net_config = g_net_config ? g_net_config : "";
    settings.timeout_ms = g_timeout_ms;
    settings.mail_user = g_mail_user ? g_mail_user : "";
    settings.mail_password = g_mail_password ? g_mail_password : "";
    settings.server_name = kServerName;
    RegisterQueryServer(kServerName);
    std::unique_ptr<MailHost> host = MailHost::Create(settings, problem);
    if (host) {
      g_host = host.release();
      on_proc_exit(ExitHook, 0);
      return g_host;
    }
  } catch (const std::exception& failure) {
    problem = failure.what();
  }
  *problem_out = pstrdup(problem.c_str());
  return nullptr;
}

// Reads the arguments (server calls; may raise an error, so it keeps its
// findings in palloc'd memory).
struct RawArg {
  bool null;
  char* data;
  int length;
};

RawArg* ReadArgs(FunctionCallInfo fcinfo, const ProcDef* proc) {
  RawArg* raw =
      static_cast<RawArg*>(palloc0(sizeof(RawArg) * static_cast<size_t>(proc->count + 1)));
  for (int i = 0; i < proc->count && i < PG_NARGS(); ++i) {
    raw[i].null = PG_ARGISNULL(i);
    if (raw[i].null) continue;
    switch (proc->params[i].kind) {
      case Kind::kText: {
        text* value = PG_GETARG_TEXT_PP(i);
        raw[i].data = VARDATA_ANY(value);
        raw[i].length = static_cast<int>(VARSIZE_ANY_EXHDR(value));
        break;
      }
      case Kind::kBytes: {
        bytea* value = PG_GETARG_BYTEA_PP(i);
        raw[i].data = VARDATA_ANY(value);
        raw[i].length = static_cast<int>(VARSIZE_ANY_EXHDR(value));
        break;
      }
      case Kind::kInt: {
        const int32 value = PG_GETARG_INT32(i);
        raw[i].data = static_cast<char*>(palloc(sizeof value));
        std::memcpy(raw[i].data, &value, sizeof value);
        raw[i].length = sizeof value;
        break;
      }
      case Kind::kBool: {
        const char* word = PG_GETARG_BOOL(i) ? "true" : "false";
        raw[i].data = pstrdup(word);
        raw[i].length = static_cast<int>(std::strlen(word));
        break;
      }
    }
  }
  return raw;
}

// The parameters the library is sent: those passed, and every INOUT one
// as an output parameter.
std::vector<velsrv::RpcParam> BuildParams(const CallState& state) {
  std::vector<velsrv::RpcParam> params;
  for (int i = 0; i < state.proc->count; ++i) {
    const ParamDef& def = state.proc->params[i];
    const Arg& arg = state.args[static_cast<size_t>(i)];
    const std::string name = std::string("@") + def.name;
    if (def.inout) {
      const int32_t max = def.kind == Kind::kInt ? 4 : kOutputTextMax;
      params.push_back(
          velsrv::RpcParam::Output(name, Datatype(def.kind), max, arg.bytes, arg.null));
      continue;
    }
    if (arg.null) continue;
    switch (def.kind) {
      case Kind::kInt: {
        int32_t value = 0;
        std::memcpy(&value, arg.bytes.data(), sizeof value);
        params.push_back(velsrv::RpcParam::Int(name, value));
        break;
      }
      case Kind::kBytes:
        params.push_back(velsrv::RpcParam::Binary(name, arg.bytes));
        break;
      default:
        params.push_back(velsrv::RpcParam::Text(name, arg.bytes));
    }
  }
  return params;
}

// What the call ended with, in palloc'd form for the server's reporting.
struct Report {
  int level;  // NOTICE, WARNING
  int sqlerrcode;
  char* text;
  char* detail;
};

struct Outcome {
  Report* reports = nullptr;
  int report_count = 0;
  char* error = nullptr;  // the call failed with this message
  char* error_detail = nullptr;
  Datum* values = nullptr;  // one per INOUT parameter
  bool* nulls = nullptr;
  int outputs = 0;
};

Datum OutputDatum(Kind kind, const velsrv::OutputValue& value) {
  switch (kind) {
    case Kind::kInt: {
      int32_t number = 0;
      std::memcpy(&number, value.value.data(), std::min(value.value.size(), sizeof number));
      return Int32GetDatum(number);
    }
    case Kind::kBool:
      return BoolGetDatum(value.value == "true" || value.value == "1");
    case Kind::kBytes: {
      bytea* bytes = static_cast<bytea*>(palloc(VARHDRSZ + value.value.size()));
      SET_VARSIZE(bytes, VARHDRSZ + value.value.size());
      std::memcpy(VARDATA(bytes), value.value.data(), value.value.size());
      return PointerGetDatum(bytes);
    }
    default:
      return PointerGetDatum(
          cstring_to_text_with_len(value.value.data(), static_cast<int>(value.value.size())));
  }
}

// Turns the result into reports and outputs (palloc only: no server call
// that may raise an error but out of memory).
void Summarise(const CallState& state, Outcome* outcome) {
  const velsrv::CallResult& result = state.result;
  const int32_t status =
      !result.statuses.empty() ? result.statuses.back() : (result.returned != 0 ? 0 : 1);
  const bool failed = !result.attached || !result.found || status != 0;
  // The failure's message: the library's last error message.
  int error_index = -1;
  for (size_t i = 0; i < result.messages.size(); ++i)
    if (!result.messages[i].forwarded && result.messages[i].severity > 10)
      error_index = static_cast<int>(i);
  outcome->reports = static_cast<Report*>(palloc0(sizeof(Report) * (result.messages.size() + 1)));
  for (size_t i = 0; i < result.messages.size(); ++i) {
    const velsrv::ClientMessage& m = result.messages[i];
    std::string text = m.text;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    std::string detail;
    if (m.forwarded) {
      detail = "Msg " + std::to_string(m.number) + ", Level " + std::to_string(m.severity) +
               ", State " + std::to_string(m.state) + ", Server '" + m.server + "'" +
               (m.procedure.empty() ? "" : ", Procedure '" + m.procedure + "'") + ", Line " +
               std::to_string(m.line);
    } else {
      detail =
          "velmail message " + std::to_string(m.number) + ", level " + std::to_string(m.severity);
    }
    if (failed && static_cast<int>(i) == error_index) {
      outcome->error = pstrdup(text.c_str());
      outcome->error_detail = pstrdup(detail.c_str());
      continue;
    }
    Report& report = outcome->reports[outcome->report_count++];
    report.level = m.severity > 10 ? WARNING : NOTICE;
    report.sqlerrcode = m.severity > 10 ? kErrMessage : ERRCODE_SUCCESSFUL_COMPLETION;
    report.text = pstrdup(text.c_str());
    report.detail = pstrdup(detail.c_str());
  }
  if (failed && outcome->error == nullptr) {
    std::string text = !result.attached ? "the mail library could not be loaded"
                       : !result.found
                           ? std::string("the mail library does not export ") + state.proc->name
                           : std::string(state.proc->name) + " failed";
    outcome->error = pstrdup(text.c_str());
    outcome->error_detail = pstrdup(("return status " + std::to_string(status)).c_str());
  }
  // Outputs: what the library sent back, else the value passed.
  int outputs = 0;
  for (int i = 0; i < state.proc->count; ++i) outputs += state.proc->params[i].inout ? 1 : 0;
  outcome->outputs = outputs;
  outcome->values = static_cast<Datum*>(palloc0(sizeof(Datum) * static_cast<size_t>(outputs + 1)));
  outcome->nulls = static_cast<bool*>(palloc0(sizeof(bool) * static_cast<size_t>(outputs + 1)));
  int o = 0;
  for (int i = 0; i < state.proc->count; ++i) {
    const ParamDef& def = state.proc->params[i];
    if (!def.inout) continue;
    std::optional<velsrv::OutputValue> sent = result.output(std::string("@") + def.name);
    const Arg& arg = state.args[static_cast<size_t>(i)];
    if (sent) {
      outcome->nulls[o] = sent->is_null();
      if (!sent->is_null()) outcome->values[o] = OutputDatum(def.kind, *sent);
    } else {
      outcome->nulls[o] = arg.null;
      if (!arg.null) {
        velsrv::OutputValue passed;
        passed.value = arg.bytes;
        outcome->values[o] = OutputDatum(def.kind, passed);
      }
    }
    ++o;
  }
}

bool CancelPending() { return InterruptPending && (QueryCancelPending || ProcDiePending); }

enum class Served { kCompleted, kCancelled, kAbandoned };

// Serves the call's requests until it ends, or until a cancel; a cancelled
// call that does not end soon is abandoned.
Served ServeCall() {
  bool cancelled = false;
  for (;;) {
    if (Main().ServeOnce(kServeStepMs)) break;
    if (CancelPending() || QueriesCancelled()) {
      cancelled = true;
      Main().Close();
      const auto deadline =
          std::chrono::steady_clock::now() + std::chrono::milliseconds(kCancelGraceMs);
      bool ended = false;
      while (!ended && std::chrono::steady_clock::now() < deadline)
        ended = Main().ServeOnce(kServeStepMs);
      if (!ended) {
        Main().End();
        g_host->Abandon();
        return Served::kAbandoned;
      }
      break;
    }
  }
  Main().End();
  return cancelled ? Served::kCancelled : Served::kCompleted;
}

}  // namespace
}  // namespace velpg

using namespace velpg;

void _PG_init(void) {
  DefineCustomStringVariable("velmail.library_dir",
                             "Directory of the mail library and its providers.",
                             "Empty: the directory of the extension's module.", &g_library_dir, "",
                             PGC_SIGHUP, 0, nullptr, nullptr, nullptr);
  DefineCustomStringVariable("velmail.provider",
                             "The mail provider: libvelcmc.so (maildir) or libvelnet.so.",
                             "A name without '/' is taken from velmail.library_dir.", &g_provider,
                             "libvelcmc.so", PGC_SIGHUP, 0, nullptr, nullptr, nullptr);
  DefineCustomStringVariable("velmail.net_config", "Configuration file of the network provider.",
                             nullptr, &g_net_config, "", PGC_SIGHUP, 0, nullptr, nullptr, nullptr);
  DefineCustomStringVariable("velmail.maildir_root", "Mail store of the maildir provider.",
                             "Empty: velmail/mail in the data directory.", &g_maildir_root, "",
                             PGC_SIGHUP, 0, nullptr, nullptr, nullptr);
  DefineCustomIntVariable("velmail.timeout", "Milliseconds a mail request may take.",
                          "0: the library's default.", &g_timeout_ms, 0, 0, INT_MAX, PGC_SUSET,
                          GUC_UNIT_MS, nullptr, nullptr, nullptr);
  DefineCustomStringVariable("velmail.mail_user", "The host's mail profile: the user.",
                             "Read when the library is loaded in a session.", &g_mail_user, "",
                             PGC_SUSET, 0, nullptr, nullptr, nullptr);
  DefineCustomStringVariable("velmail.mail_password", "The host's mail profile: the password.",
                             nullptr, &g_mail_password, "", PGC_SUSET,
                             GUC_SUPERUSER_ONLY | GUC_NO_SHOW_ALL | GUC_NOT_IN_SAMPLE, nullptr,
                             nullptr, nullptr);
  MarkGUCPrefixReserved("velmail");
}

// One call from checks to reply in order; much of its count is the
// expansion of PostgreSQL's error and datum macros.
// NOLINTNEXTLINE(readability-function-size)
extern "C" Datum velmail_call(PG_FUNCTION_ARGS) {
  const ProcDef* proc = FindProc(get_func_name(fcinfo->flinfo->fn_oid));
  if (proc == nullptr)
    ereport(ERROR, (errcode(ERRCODE_UNDEFINED_FUNCTION),
                    errmsg("velmail_call serves only the procedures of the velmail extension")));
  if (g_in_call)
    ereport(ERROR, (errcode(ERRCODE_OBJECT_IN_USE),
                    errmsg("a velmail procedure cannot be called while another runs in this "
                           "session")));
  RawArg* raw = ReadArgs(fcinfo, proc);
  // include_file reads a file of the server's: only for those who may.
  for (int i = 0; i < proc->count; ++i) {
    if (std::strcmp(proc->params[i].name, "include_file") == 0 && !raw[i].null &&
        !has_privs_of_role(GetUserId(), ROLE_PG_READ_SERVER_FILES))
      ereport(ERROR, (errcode(ERRCODE_INSUFFICIENT_PRIVILEGE),
                      errmsg("permission denied to include a server file in a mail"),
                      errdetail("Only roles with privileges of the \"pg_read_server_files\" "
                                "role may use include_file.")));
  }
  TupleDesc result_desc = nullptr;
  bool has_outputs = false;
  for (int i = 0; i < proc->count; ++i) has_outputs |= proc->params[i].inout;
  if (has_outputs && get_call_result_type(fcinfo, nullptr, &result_desc) != TYPEFUNC_COMPOSITE)
    ereport(ERROR, (errmsg("velmail: the procedure's result is not a record")));

  char* problem = nullptr;
  MailHost* host = EnsureHost(&problem);
  if (host == nullptr) ereport(ERROR, (errcode(kErrLibrary), errmsg("velmail: %s", problem)));

  // The call's C++ state.
  CallState* state = nullptr;
  char* build_problem = nullptr;
  try {
    state = new CallState;
    state->proc = proc;
    state->args.resize(static_cast<size_t>(proc->count));
    for (int i = 0; i < proc->count; ++i) {
      state->args[static_cast<size_t>(i)].null = raw[i].null;
      if (!raw[i].null)
        state->args[static_cast<size_t>(i)].bytes.assign(raw[i].data,
                                                         static_cast<size_t>(raw[i].length));
    }
  } catch (const std::exception& failure) {
    delete state;
    state = nullptr;
    build_problem = pstrdup(failure.what());
  }
  if (state == nullptr)
    ereport(ERROR, (errcode(ERRCODE_OUT_OF_MEMORY), errmsg("velmail: %s", build_problem)));

  // Values arrive in the forms the client library's PostgreSQL backend
  // asks its server for.
  MemoryContext call_context = CurrentMemoryContext;
  const char* database = get_database_name(MyDatabaseId);
  const int nest = NewGUCNestLevel();
  (void)set_config_option("DateStyle", "ISO, YMD", PGC_USERSET, PGC_S_SESSION, GUC_ACTION_SAVE,
                          true, 0, false);
  (void)set_config_option("IntervalStyle", "postgres", PGC_USERSET, PGC_S_SESSION, GUC_ACTION_SAVE,
                          true, 0, false);
  (void)set_config_option("extra_float_digits", "1", PGC_USERSET, PGC_S_SESSION, GUC_ACTION_SAVE,
                          true, 0, false);
  (void)set_config_option("bytea_output", "hex", PGC_USERSET, PGC_S_SESSION, GUC_ACTION_SAVE, true,
                          0, false);
  if (SPI_connect() != SPI_OK_CONNECT) {
    delete state;
    ereport(ERROR, (errmsg("velmail: SPI_connect failed")));
  }

  const uint64_t call = ++g_calls;
  BeginQueries(call, call_context, database);
  Main().Open(call);
  g_in_call = true;
  bool started = true;
  try {
    host->Start(call, proc->name, BuildParams(*state));
  } catch (const std::exception&) {
    started = false;
  }
  Served served = Served::kAbandoned;
  if (started) {
    served = ServeCall();
  } else {
    Main().End();
  }
  g_in_call = false;
  ErrorData* cancel = EndQueries();
  AtEOXact_GUC(true, nest);
  SPI_finish();
  MemoryContextSwitchTo(call_context);

  if (!started) {
    delete state;
    ereport(ERROR, (errcode(ERRCODE_OUT_OF_MEMORY), errmsg("velmail: the call cannot start")));
  }
  if (served != Served::kCompleted) {
    if (served == Served::kCancelled) {
      try {
        (void)host->Finish();
      } catch (...) {
      }
    }
    delete state;
    if (cancel != nullptr) ReThrowError(cancel);
    CHECK_FOR_INTERRUPTS();
    ereport(ERROR, (errcode(ERRCODE_QUERY_CANCELED), errmsg("canceling statement")));
  }

  Outcome* outcome = static_cast<Outcome*>(palloc0(sizeof(Outcome)));
  bool summarised = true;
  try {
    state->result = host->Finish();
    Summarise(*state, outcome);
  } catch (const std::exception&) {
    summarised = false;
  }
  delete state;
  if (cancel != nullptr) ReThrowError(cancel);
  if (!summarised)
    ereport(ERROR, (errcode(ERRCODE_OUT_OF_MEMORY), errmsg("velmail: out of memory")));

  // A logon that worked: the role may see that user's mail in the outbox.
  if (outcome->error == nullptr && std::strcmp(proc->name, "xp_startmail") == 0) {
    const char* mail_user = !raw[0].null                  ? pnstrdup(raw[0].data, raw[0].length)
                            : g_mail_user && *g_mail_user ? g_mail_user
                                                          : nullptr;
    if (mail_user != nullptr) RecordMailUser(mail_user);
  }
  for (int i = 0; i < outcome->report_count; ++i) {
    const Report& report = outcome->reports[i];
    ereport(report.level, (errcode(report.sqlerrcode), errmsg("%s", report.text),
                           errdetail("%s", report.detail)));
  }
  if (outcome->error != nullptr)
    ereport(ERROR, (errcode(kErrCallFailed), errmsg("%s", outcome->error),
                    errdetail("%s", outcome->error_detail)));
  if (!has_outputs) PG_RETURN_VOID();
  HeapTuple tuple = heap_form_tuple(BlessTupleDesc(result_desc), outcome->values, outcome->nulls);
  return HeapTupleGetDatum(tuple);
}

extern "C" Datum velmail_outbox(PG_FUNCTION_ARGS) {
  // The network provider's module: velmail.provider when it names one by
  // path, else libvelnet.so in the library's directory.
  const char* provider = g_provider ? g_provider : "";
  const char* slash = std::strrchr(provider, '/');
  char* path = nullptr;
  if (slash != nullptr && std::strcmp(slash + 1, "libvelnet.so") == 0) {
    path = pstrdup(provider);
  } else {
    char* dir = nullptr;
    if (g_library_dir && *g_library_dir) {
      dir = pstrdup(g_library_dir);
    } else {
      Dl_info info;
      if (dladdr(reinterpret_cast<void*>(&_PG_init), &info) == 0 || info.dli_fname == nullptr)
        ereport(ERROR, (errmsg("velmail: the module's directory is not known")));
      dir = pstrdup(info.dli_fname);
      char* end = std::strrchr(dir, '/');
      if (end != nullptr) *end = '\0';
    }
    path = psprintf("%s/libvelnet.so", dir);
  }
  ListOutbox(fcinfo, g_net_config, path);
  return (Datum)0;
}
