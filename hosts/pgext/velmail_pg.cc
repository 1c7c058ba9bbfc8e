// The extension's entry points: the settings, the procedures, the mail
// queued until commit, and the end of the backend. Each procedure call runs
// the library's procedure on a host client thread while the backend's main
// thread serves the call's queries and watches for a cancel (see bridge.h).
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

#include "as_extension.h"
#include "bridge.h"
#include "encoding.h"
#include "outbox_view.h"
#include "pg_headers.h"
#include "spi_server.h"

extern "C" {
PG_MODULE_MAGIC;
void _PG_init(void);  // NOLINT(bugprone-reserved-identifier): the name PostgreSQL calls
PG_FUNCTION_INFO_V1(velmail_call);
PG_FUNCTION_INFO_V1(velmail_outbox);
PG_FUNCTION_INFO_V1(velmail_send_queued);
}

namespace velpg {

bool StatementCancelPending() { return QueryCancelPending || ProcDiePending; }

namespace {

constexpr const char* kServerName = "VELSERVER";
constexpr const char* kGateModule = "velmail_cmcgate.so";
constexpr int kServeStepMs = 50;
constexpr int kCancelGraceMs = 500;                    // a cancelled call gets this long to end
constexpr int32_t kValueMax = 256;                     // what an entry of the library holds
constexpr size_t kReportMax = 1000;                    // bytes of a message repeated to the caller
constexpr const char* kDefaultMailUser = "VDBSERVER";  // the library's own default
constexpr int32_t kAttachmentsLeftOut = 11551;         // the library's informational message

// Settings (velmail.*).
char* g_library_dir = nullptr;
char* g_provider = nullptr;
char* g_net_config = nullptr;
char* g_maildir_root = nullptr;
char* g_mail_user = nullptr;
char* g_mail_password = nullptr;
int g_timeout_ms = 0;
bool g_send_at_commit = false;
bool g_preloaded = false;

MailHost* g_host = nullptr;
bool g_in_call = false;
uint64_t g_calls = 0;

// The mail session of this backend: the role whose xp_startmail opened it
// (InvalidOid: none known to be open).
Oid g_session_role = InvalidOid;

ProcessUtility_hook_type g_previous_utility = nullptr;

enum class Kind { kText, kInt, kBytes, kBool };
// kOut: INOUT in SQL (PL/pgSQL needs it so), but only the library's value
// comes back; the caller's is never sent.
enum class Dir { kIn, kInOut, kOut };
struct ParamDef {
  const char* name;
  Kind kind;
  Dir dir;
};
struct ProcDef {
  const char* name;
  const ParamDef* params;
  int count;
};

constexpr Dir kIn = Dir::kIn;
const ParamDef kStartMail[] = {{"mail_user", Kind::kText, kIn},
                               {"mail_password", Kind::kText, kIn}};
const ParamDef kSendMail[] = {{"recipient", Kind::kText, kIn},
                              {"subject", Kind::kText, kIn},
                              {"cc_recipient", Kind::kText, kIn},
                              {"bcc_recipient", Kind::kText, kIn},
                              {"query", Kind::kText, kIn},
                              {"message", Kind::kText, kIn},
                              {"attachname", Kind::kText, kIn},
                              {"attach_result", Kind::kBool, kIn},
                              {"echo_error", Kind::kBool, kIn},
                              {"include_file", Kind::kText, kIn},
                              {"no_column_header", Kind::kBool, kIn},
                              {"no_output", Kind::kBool, kIn},
                              {"width", Kind::kInt, kIn},
                              {"separator", Kind::kText, kIn},
                              {"dbuser", Kind::kText, kIn},
                              {"dbname", Kind::kText, kIn},
                              {"type", Kind::kText, kIn},
                              {"include_query", Kind::kBool, kIn}};
const ParamDef kFindNext[] = {{"msg_id", Kind::kBytes, Dir::kInOut},
                              {"type", Kind::kText, kIn},
                              {"unread_only", Kind::kBool, kIn}};
const ParamDef kReadMail[] = {{"msg_id", Kind::kBytes, kIn},
                              {"recipients", Kind::kText, Dir::kOut},
                              {"sender", Kind::kText, Dir::kOut},
                              {"date_received", Kind::kText, Dir::kOut},
                              {"subject", Kind::kText, Dir::kOut},
                              {"cc", Kind::kText, Dir::kOut},
                              {"bcc", Kind::kText, Dir::kOut},
                              {"message", Kind::kText, Dir::kOut},
                              {"attachments", Kind::kText, Dir::kOut},
                              {"suppress_attach", Kind::kBool, kIn},
                              {"peek", Kind::kBool, kIn},
                              {"unread", Kind::kBool, kIn},
                              {"msg_length", Kind::kInt, Dir::kOut},
                              {"bytes_to_skip", Kind::kInt, Dir::kInOut},
                              {"type", Kind::kText, Dir::kInOut}};
const ParamDef kDeleteMail[] = {{"msg_id", Kind::kBytes, kIn}};

const ProcDef kProcs[] = {{"xp_startmail", kStartMail, 2}, {"xp_stopmail", nullptr, 0},
                          {"xp_sendmail", kSendMail, 18},  {"xp_findnextmsg", kFindNext, 3},
                          {"xp_readmail", kReadMail, 15},  {"xp_deletemail", kDeleteMail, 1}};
const ProcDef& kStopMail = kProcs[1];
const ProcDef& kSendMailProc = kProcs[2];

const ProcDef* FindProc(const char* name) {
  for (const ProcDef& proc : kProcs)
    if (name != nullptr && std::strcmp(proc.name, name) == 0) return &proc;
  return nullptr;
}

bool Is(const ProcDef* proc, const char* name) { return std::strcmp(proc->name, name) == 0; }

int ParamIndex(const ProcDef* proc, const char* name) {
  for (int i = 0; i < proc->count; ++i)
    if (std::strcmp(proc->params[i].name, name) == 0) return i;
  return -1;
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

// One argument as the library is to get it (palloc'd): text in UTF-8, raw
// bytes, "true"/"false", or the 4 bytes of an integer.
struct RawArg {
  bool null;
  char* data;
  int length;
};

// One argument inside the call's C++ state.
struct Arg {
  bool null = true;
  std::string bytes;
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
  if (g_host == nullptr) return;
  try {
    g_host->RemoveWorkDir();
    if (!g_in_call) g_host->Shutdown();
  } catch (...) {
  }
}

// The provider's module: a name without '/' is taken from the library's
// directory, as given (libvelnet.so, not a name to be made from it).
std::string ProviderPath(const std::string& library_dir) {
  const std::string provider = g_provider ? g_provider : "";
  return provider.find('/') == std::string::npos ? library_dir + "/" + provider : provider;
}

// The host of this backend, loaded on first use. Null, with a palloc'd
// reason, when it cannot be.
MailHost* EnsureHost(char** problem_out) {
  if (g_host) return g_host;
  std::string problem;
  try {
    HostSettings settings;
    const std::string data_dir = std::string(DataDir) + "/velmail";
    const std::string module_dir = ModuleDirectory();
    settings.library_dir = g_library_dir && *g_library_dir ? g_library_dir : module_dir;
    settings.data_dir = data_dir;
    // Each backend composes in a folder of its own.
    settings.work_dir = data_dir + "/work/" + std::to_string(MyProcPid);
    settings.provider = ProviderPath(settings.library_dir);
    settings.gate = module_dir + "/" + kGateModule;
    settings.maildir_root = g_maildir_root && *g_maildir_root ? g_maildir_root : data_dir + "/mail";
    settings.net_config = g_net_config ? g_net_config : "";
    settings.timeout_ms = g_timeout_ms;
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

// ------------------------------------------------------------ arguments

// Reads the arguments: text in the library's encoding, each value within
// what an entry of the library holds. Raises an ERROR for a value that is
// not.
RawArg* ReadArgs(FunctionCallInfo fcinfo, const ProcDef* proc) {
  RawArg* raw =
      static_cast<RawArg*>(palloc0(sizeof(RawArg) * static_cast<size_t>(proc->count + 1)));
  for (int i = 0; i < proc->count; ++i) {
    const ParamDef& def = proc->params[i];
    raw[i].null = i >= PG_NARGS() || PG_ARGISNULL(i) || def.dir == Dir::kOut;
    if (raw[i].null) continue;
    switch (def.kind) {
      case Kind::kText: {
        text* value = PG_GETARG_TEXT_PP(i);
        raw[i].data = ToLibrary(VARDATA_ANY(value), static_cast<int>(VARSIZE_ANY_EXHDR(value)),
                                &raw[i].length, def.name);
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
    if (raw[i].length > kValueMax)
      ereport(ERROR,
              (errcode(ERRCODE_STRING_DATA_RIGHT_TRUNCATION),
               errmsg("value of parameter \"%s\" of %s is too long", def.name, proc->name),
               errdetail("It is %d bytes%s; a parameter of the mail procedures holds at most %d "
                         "bytes.",
                         raw[i].length, def.kind == Kind::kText ? " in UTF-8" : "", kValueMax)));
  }
  return raw;
}

RawArg* CopyArgs(const RawArg* raw, int count, MemoryContext context) {
  RawArg* copy = static_cast<RawArg*>(
      MemoryContextAllocZero(context, sizeof(RawArg) * static_cast<size_t>(count + 1)));
  for (int i = 0; i < count; ++i) {
    copy[i] = raw[i];
    if (raw[i].null) continue;
    copy[i].data = static_cast<char*>(MemoryContextAlloc(context, raw[i].length + 1));
    std::memcpy(copy[i].data, raw[i].data, static_cast<size_t>(raw[i].length));
  }
  return copy;
}

// The parameters the library is sent: those passed, and every INOUT one
// as an output parameter (with the caller's value only where it is read).
std::vector<velsrv::RpcParam> BuildParams(const CallState& state) {
  std::vector<velsrv::RpcParam> params;
  for (int i = 0; i < state.proc->count; ++i) {
    const ParamDef& def = state.proc->params[i];
    const Arg& arg = state.args[static_cast<size_t>(i)];
    const std::string name = std::string("@") + def.name;
    if (def.dir != Dir::kIn) {
      const int32_t max = def.kind == Kind::kInt ? 4 : kValueMax;
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

// ------------------------------------------------------------ outcome

// What the call ended with, in palloc'd form (bytes as the library gave
// them) for the server's reporting.
struct Report {
  int level;  // NOTICE, WARNING
  int sqlerrcode;
  char* text;
  char* detail;
};

struct Output {
  bool null;
  char* bytes;
  size_t length;
};

struct Outcome {
  Report* reports = nullptr;
  int report_count = 0;
  char* error = nullptr;  // the call failed with this message
  char* error_detail = nullptr;
  const char* error_hint = nullptr;
  int error_code = 0;
  Output* outputs = nullptr;  // one per INOUT parameter
  int output_count = 0;
  bool already_open = false;  // the library said a session was open already
  bool no_session = false;    // the library said no session is open
};

// The SQLSTATE and hint of a library message; its reason (the CMC text of
// a failed request) where it has one.
struct Class {
  int sqlerrcode;
  const char* hint;
};

bool Contains(const std::string& text, const char* part) {
  return text.find(part) != std::string::npos;
}

Class Classify(int32_t number, const std::string& reason) {
  const int kFailedRequest = ERRCODE_SYSTEM_ERROR;
  switch (number) {
    case 11518:
      if (Contains(reason, "user name, or password") || Contains(reason, "password is required"))
        return {ERRCODE_INVALID_PASSWORD,
                "Check the mail user and its password (velmail.mail_user and "
                "velmail.mail_password when xp_startmail is called without them)."};
      if (Contains(reason, "not logged on") || Contains(reason, "session identifier"))
        return {ERRCODE_OBJECT_NOT_IN_PREREQUISITE_STATE, "Log on with velmail.xp_startmail."};
      if (Contains(reason, "timed out"))
        return {kFailedRequest,
                "velmail.timeout sets how long a mail request may take; after a time-out the "
                "mail session is closed: log on again with velmail.xp_startmail."};
      if (Contains(reason, "canceled by the user")) return {ERRCODE_QUERY_CANCELED, nullptr};
      if (Contains(reason, "recipient") || Contains(reason, "message reference"))
        return {ERRCODE_INVALID_PARAMETER_VALUE, nullptr};
      if (Contains(reason, "disk space")) return {ERRCODE_DISK_FULL, nullptr};
      if (Contains(reason, "Insufficient memory")) return {ERRCODE_OUT_OF_MEMORY, nullptr};
      return {kFailedRequest,
              "Check that the mail system velmail.provider names is running and reachable."};
    case 11519:
      return {ERRCODE_OBJECT_NOT_IN_PREREQUISITE_STATE, "Log on first with velmail.xp_startmail."};
    case 11526:
      return {ERRCODE_NO_DATA, nullptr};
    case 11521:
    case 11524:
    case 11534:
    case 11535:
    case 11536:
    case 11537:
    case 11546:
    case 11547:
      return {ERRCODE_INVALID_PARAMETER_VALUE, nullptr};
    case 11549:
      return {ERRCODE_UNDEFINED_FILE,
              "A relative name is taken from this session's own folder, which holds only its "
              "results files; name the file by its absolute path."};
    case 11532:
    case 11533:
      return {ERRCODE_IO_ERROR,
              "Check the space and permissions of velmail/work in the data "
              "directory."};
    case 11529:
    case 11530:
      return {ERRCODE_UNDEFINED_FILE, "Check velmail.provider and velmail.library_dir."};
    case 11550:
      return {ERRCODE_OBJECT_NOT_IN_PREREQUISITE_STATE,
              "Pass mail_user and mail_password, or have velmail.mail_user and "
              "velmail.mail_password set in postgresql.conf."};
    case 11525:
      return {ERRCODE_OUT_OF_MEMORY, nullptr};
    default:
      return {ERRCODE_INTERNAL_ERROR, nullptr};
  }
}

// The text the caller reads for a library message: its own, but where it
// speaks of the host's profile, of this extension's settings.
std::string CallerText(const velsrv::ClientMessage& m, const std::string& reason) {
  switch (m.number) {
    case 11529:
      return "the mail provider could not be loaded";
    case 11550:
      return "xp_startmail was called without a mail user, and velmail.mail_user is not set";
    case 11518:
      return "a mail request failed: " + reason;
    case 11519:
      return "no mail session is open in this connection";
    default:
      return m.text;
  }
}

// The reason a message was routed with: its text argument.
std::string ReasonOf(const velsrv::CallResult& result, int32_t number) {
  for (const velsrv::RoutedMessage& routed : result.routed)
    if (routed.msgnum == number)
      for (const velsrv::RouteArg& arg : routed.args)
        if (arg.is_text) {
          std::string reason = arg.text;
          while (!reason.empty() && reason.front() == ' ') reason.erase(reason.begin());
          while (!reason.empty() && (reason.back() == ' ' || reason.back() == '.'))
            reason.pop_back();
          return reason;
        }
  return {};
}

// The SQLSTATE a forwarded query message carries: its number is the five
// characters read as a base-36 number (spi_server.cc).
int ForwardedState(int32_t number) {
  if (number <= 0 || number >= 36 * 36 * 36 * 36 * 36) return ERRCODE_WARNING;
  char state[5];
  for (int i = 4; i >= 0; --i) {
    const int digit = number % 36;
    state[i] = static_cast<char>(digit < 10 ? '0' + digit : 'A' + digit - 10);
    number /= 36;
  }
  return MAKE_SQLSTATE(state[0], state[1], state[2], state[3], state[4]);
}

char* Bytes(const std::string& text) {
  char* copy = static_cast<char*>(palloc(text.size() + 1));
  std::memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  return copy;
}

// Turns the result into reports and outputs (palloc only: no server call
// that may raise an error but out of memory).
void Summarise(const CallState& state, Outcome* outcome) {
  const velsrv::CallResult& result = state.result;
  const int32_t status =
      !result.statuses.empty() ? result.statuses.back() : (result.returned != 0 ? 0 : 1);
  const bool failed = !result.attached || !result.found || status != 0;
  // The failure's message: the library's most specific error message (the
  // last but the one that only says the procedure failed).
  int error_index = -1;
  for (size_t i = 0; i < result.messages.size(); ++i) {
    const velsrv::ClientMessage& m = result.messages[i];
    if (m.forwarded || m.severity <= 10) continue;
    if (m.number != 11544 || error_index < 0) error_index = static_cast<int>(i);
  }
  outcome->reports = static_cast<Report*>(palloc0(sizeof(Report) * (result.messages.size() + 1)));
  for (size_t i = 0; i < result.messages.size(); ++i) {
    const velsrv::ClientMessage& m = result.messages[i];
    if (!m.forwarded && m.number == 11517) outcome->already_open = true;
    if (!m.forwarded && m.number == 11519) outcome->no_session = true;
    const std::string reason = m.forwarded ? std::string() : ReasonOf(result, m.number);
    std::string text = Capped(m.forwarded ? m.text : CallerText(m, reason), kReportMax);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    std::string detail;
    if (m.forwarded) {
      detail = "In the query of " + std::string(state.proc->name) + ", line " +
               std::to_string(m.line) + ".";
    } else {
      detail =
          "velmail message " + std::to_string(m.number) + ", level " + std::to_string(m.severity);
    }
    if (failed && static_cast<int>(i) == error_index) {
      const Class c = Classify(m.number, reason);
      outcome->error = Bytes(text);
      outcome->error_detail = Bytes(detail);
      outcome->error_code = c.sqlerrcode;
      outcome->error_hint = c.hint;
      continue;
    }
    // What only repeats that the procedure failed says nothing more.
    if (failed && !m.forwarded && m.number == 11544 && error_index >= 0) continue;
    Report& report = outcome->reports[outcome->report_count++];
    // The list of saved attachments left some out: for the caller to know,
    // not a fault.
    const bool informational = !m.forwarded && m.number == kAttachmentsLeftOut;
    report.level = m.severity > 10 && !informational ? WARNING : NOTICE;
    report.sqlerrcode = m.forwarded               ? ForwardedState(m.number)
                        : report.level == WARNING ? ERRCODE_WARNING
                                                  : ERRCODE_SUCCESSFUL_COMPLETION;
    report.text = Bytes(text);
    report.detail = Bytes(detail);
  }
  if (failed && outcome->error == nullptr) {
    std::string text = !result.attached ? "the mail library could not be loaded"
                       : !result.found
                           ? std::string("the mail library does not export ") + state.proc->name
                           : std::string(state.proc->name) + " failed";
    outcome->error = Bytes(text);
    outcome->error_detail = Bytes("return status " + std::to_string(status));
    outcome->error_code = ERRCODE_INTERNAL_ERROR;
  }
  // Outputs: what the library sent back; else the value passed where the
  // parameter is read, else NULL.
  int outputs = 0;
  for (int i = 0; i < state.proc->count; ++i) outputs += state.proc->params[i].dir != kIn ? 1 : 0;
  outcome->output_count = outputs;
  outcome->outputs =
      static_cast<Output*>(palloc0(sizeof(Output) * static_cast<size_t>(outputs + 1)));
  int o = 0;
  for (int i = 0; i < state.proc->count; ++i) {
    const ParamDef& def = state.proc->params[i];
    if (def.dir == kIn) continue;
    Output& out = outcome->outputs[o++];
    std::optional<velsrv::OutputValue> sent = result.output(std::string("@") + def.name);
    const Arg& arg = state.args[static_cast<size_t>(i)];
    if (sent) {
      out.null = sent->is_null();
      if (!out.null) {
        out.bytes = Bytes(sent->value);
        out.length = sent->value.size();
      }
    } else {
      out.null = arg.null;
      if (!arg.null) {
        out.bytes = Bytes(arg.bytes);
        out.length = arg.bytes.size();
      }
    }
  }
}

// Text in the database's encoding, bytes, or an integer.
Datum OutputDatum(Kind kind, const Output& value, bool* replaced) {
  switch (kind) {
    case Kind::kInt: {
      int32_t number = 0;
      std::memcpy(&number, value.bytes, std::min(value.length, sizeof number));
      return Int32GetDatum(number);
    }
    case Kind::kBool:
      return BoolGetDatum(std::strcmp(value.bytes, "true") == 0 ||
                          std::strcmp(value.bytes, "1") == 0);
    case Kind::kBytes: {
      bytea* bytes = static_cast<bytea*>(palloc(VARHDRSZ + value.length));
      SET_VARSIZE(bytes, VARHDRSZ + value.length);
      std::memcpy(VARDATA(bytes), value.bytes, value.length);
      return PointerGetDatum(bytes);
    }
    default:
      return CStringGetTextDatum(FromLibrary(value.bytes, value.length, replaced));
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
      CloseGate();
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

// Runs proc with args on the host and waits for it, serving its queries.
// Returns the call's state with its result (the caller deletes it). A
// cancel raises its ERROR here.
// NOLINTNEXTLINE(readability-function-size)
CallState* Execute(MailHost* host, const ProcDef* proc, const RawArg* raw) {
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
    ereport(ERROR, (errcode(ERRCODE_OUT_OF_MEMORY), errmsg("%s", build_problem)));

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
    ereport(ERROR, (errmsg("SPI_connect failed")));
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
    ereport(ERROR, (errcode(ERRCODE_OUT_OF_MEMORY), errmsg("the mail call cannot start")));
  }
  if (served != Served::kCompleted) {
    if (served == Served::kCancelled) {
      try {
        (void)host->Finish();
      } catch (...) {
      }
    }
    delete state;
    if (Is(proc, "xp_sendmail")) host->EmptyWorkDir();
    if (cancel != nullptr) ReThrowError(cancel);
    CHECK_FOR_INTERRUPTS();
    ereport(ERROR, (errcode(ERRCODE_QUERY_CANCELED), errmsg("canceling statement")));
  }
  bool finished = true;
  try {
    state->result = host->Finish();
  } catch (const std::exception&) {
    finished = false;
  }
  if (Is(proc, "xp_sendmail")) host->EmptyWorkDir();
  if (cancel != nullptr || !finished) {
    delete state;
    if (cancel != nullptr) ReThrowError(cancel);
    ereport(ERROR, (errcode(ERRCODE_OUT_OF_MEMORY), errmsg("out of memory")));
  }
  return state;
}

// The mail user the library logs on as for xp_startmail's arguments (in
// the database's encoding), or null when it cannot tell.
char* LogonUser(const RawArg* raw) {
  if (!raw[0].null) {
    bool replaced = false;
    return FromLibrary(raw[0].data, static_cast<size_t>(raw[0].length), &replaced);
  }
  if (!raw[1].null) return pstrdup(kDefaultMailUser);
  return nullptr;
}

void ForgetSession() { g_session_role = InvalidOid; }

// Ends the mail session another role opened in this backend, before this
// role logs on: one role's mailbox is never handed to the next.
void EndOthersSession(MailHost* host) {
  RawArg none[1] = {};
  CallState* state = Execute(host, &kStopMail, none);
  delete state;
  ForgetSession();
}

// Runs one procedure call and reports it: notices and warnings, an ERROR
// when it failed, else the outputs as a record (for a procedure with INOUT
// parameters; fcinfo is null for mail sent at commit).
// NOLINTNEXTLINE(readability-function-size): much of it is the expansion of ereport
Datum RunCall(const ProcDef* proc, RawArg* raw, FunctionCallInfo fcinfo) {
  const Oid role = GetUserId();
  TupleDesc result_desc = nullptr;
  bool has_outputs = false;
  for (int i = 0; i < proc->count; ++i) has_outputs |= proc->params[i].dir != kIn;
  if (has_outputs && fcinfo != nullptr &&
      get_call_result_type(fcinfo, nullptr, &result_desc) != TYPEFUNC_COMPOSITE)
    ereport(ERROR, (errmsg("the procedure's result is not a record")));

  const bool logon = Is(proc, "xp_startmail");
  if (OidIsValid(g_session_role) && g_session_role != role && !logon) {
    char* owner = GetUserNameFromId(g_session_role, true);
    char* caller = GetUserNameFromId(role, true);
    ereport(ERROR,
            (errcode(ERRCODE_INSUFFICIENT_PRIVILEGE),
             errmsg("the mail session of this connection belongs to role \"%s\"",
                    owner ? owner : "(dropped)"),
             errhint("Log on again with velmail.xp_startmail as role \"%s\", or go back to role "
                     "\"%s\".",
                     caller ? caller : "?", owner ? owner : "?")));
  }
  // xp_startmail without a mail user or password: the settings' profile.
  if (logon && raw[0].null && raw[1].null && g_mail_user && *g_mail_user) {
    raw[0].null = false;
    raw[0].data = ToLibrary(g_mail_user, static_cast<int>(std::strlen(g_mail_user)), &raw[0].length,
                            "velmail.mail_user");
    const char* password = g_mail_password ? g_mail_password : "";
    raw[1].null = false;
    raw[1].data = ToLibrary(password, static_cast<int>(std::strlen(password)), &raw[1].length,
                            "velmail.mail_password");
    if (raw[0].length > kValueMax || raw[1].length > kValueMax)
      ereport(ERROR, (errcode(ERRCODE_INVALID_PARAMETER_VALUE),
                      errmsg("velmail.mail_user or velmail.mail_password is longer than %d bytes",
                             kValueMax)));
  }

  char* problem = nullptr;
  MailHost* host = EnsureHost(&problem);
  if (host == nullptr)
    ereport(ERROR, (errcode(ERRCODE_UNDEFINED_FILE), errmsg("%s", problem),
                    errhint("Check velmail.provider and velmail.library_dir.")));
  if (logon && OidIsValid(g_session_role) && g_session_role != role) EndOthersSession(host);

  CallState* state = Execute(host, proc, raw);
  Outcome* outcome = static_cast<Outcome*>(palloc0(sizeof(Outcome)));
  bool summarised = true;
  try {
    Summarise(*state, outcome);
  } catch (const std::exception&) {
    summarised = false;
  }
  delete state;
  if (!summarised) ereport(ERROR, (errcode(ERRCODE_OUT_OF_MEMORY), errmsg("out of memory")));

  // What the mail session is now.
  const bool failed = outcome->error != nullptr;
  if (outcome->no_session) ForgetSession();
  if (!failed && Is(proc, "xp_stopmail")) ForgetSession();
  if (!failed && logon && !outcome->already_open) {
    // A session this role's call opened: the role may see that user's mail
    // in the outbox.
    g_session_role = role;
    char* user = LogonUser(raw);
    if (user != nullptr) RecordMailUser(role, user);
  }
  bool replaced = false;
  for (int i = 0; i < outcome->report_count; ++i) {
    const Report& report = outcome->reports[i];
    char* text = FromLibrary(report.text, std::strlen(report.text), &replaced);
    ereport(report.level,
            (errcode(report.sqlerrcode), errmsg("%s", text), errdetail("%s", report.detail)));
  }
  if (failed) {
    char* text = FromLibrary(outcome->error, std::strlen(outcome->error), &replaced);
    ereport(ERROR, (errcode(outcome->error_code), errmsg("%s", text),
                    errdetail("%s", outcome->error_detail),
                    outcome->error_hint ? errhint("%s", outcome->error_hint) : 0));
  }
  if (!has_outputs || fcinfo == nullptr) return (Datum)0;
  Datum* values = static_cast<Datum*>(palloc0(sizeof(Datum) * (outcome->output_count + 1)));
  bool* nulls = static_cast<bool*>(palloc0(sizeof(bool) * (outcome->output_count + 1)));
  int o = 0;
  for (int i = 0; i < proc->count; ++i) {
    const ParamDef& def = proc->params[i];
    if (def.dir == kIn) continue;
    nulls[o] = outcome->outputs[o].null;
    if (!nulls[o]) values[o] = OutputDatum(def.kind, outcome->outputs[o], &replaced);
    ++o;
  }
  if (replaced)
    ereport(WARNING,
            (errcode(ERRCODE_UNTRANSLATABLE_CHARACTER),
             errmsg("characters the database's encoding (%s) cannot hold were replaced",
                    GetDatabaseEncodingName()),
             errdetail("Bytes that were not UTF-8 became U+FFFD, characters without a form in "
                       "the database's encoding '?'.")));
  HeapTuple tuple = heap_form_tuple(BlessTupleDesc(result_desc), values, nulls);
  return HeapTupleGetDatum(tuple);
}

// ------------------------------------------------------------ mail at commit

// xp_sendmail calls queued in the transaction (velmail.send_at_commit), in
// TopTransactionContext: each with the subtransaction that queued it and
// the role that called. They run, in order, from the deferred trigger on
// velmail.send_queue, whose one row per transaction (inserted with the
// first queued mail, or again after a rollback to a savepoint took it)
// fires it when the transaction commits.
struct Queued {
  SubTransactionId subxact;
  Oid role;
  RawArg* args;
};
List* g_queue = NIL;
SubTransactionId g_row_subxact = InvalidSubTransactionId;  // the row's; invalid: none

// The queue's two statements, planned once per backend (a kept plan is
// planned again when the table changes).
SPIPlanPtr g_queue_insert = nullptr;
SPIPlanPtr g_queue_delete = nullptr;

SPIPlanPtr KeptPlan(SPIPlanPtr* plan, const char* sql, int nargs, Oid* types) {
  if (*plan != nullptr) return *plan;
  SPIPlanPtr made = SPI_prepare(sql, nargs, types);
  if (made == nullptr || SPI_keepplan(made) != 0)
    ereport(ERROR, (errmsg("the mail queue's statement cannot be planned")));
  *plan = made;
  return made;
}

void Queue(const RawArg* raw) {
  MemoryContext top = TopTransactionContext;
  Queued* queued = static_cast<Queued*>(MemoryContextAllocZero(top, sizeof(Queued)));
  queued->subxact = GetCurrentSubTransactionId();
  queued->role = GetUserId();
  queued->args = CopyArgs(raw, kSendMailProc.count, top);
  if (g_row_subxact == InvalidSubTransactionId) {
    AsExtension(
        [] {
          SPIPlanPtr insert = KeptPlan(&g_queue_insert,
                                       "INSERT INTO velmail.send_queue DEFAULT VALUES", 0, nullptr);
          if (SPI_execute_plan(insert, nullptr, nullptr, false, 0) != SPI_OK_INSERT)
            ereport(ERROR, (errmsg("the mail cannot be queued")));
        },
        false);
    g_row_subxact = GetCurrentSubTransactionId();
  }
  MemoryContext old = MemoryContextSwitchTo(top);
  g_queue = lappend(g_queue, queued);
  MemoryContextSwitchTo(old);
}

void OnTransactionEnd(XactEvent event, void*) {
  switch (event) {
    case XACT_EVENT_COMMIT:
    case XACT_EVENT_ABORT:
    case XACT_EVENT_PREPARE:
    case XACT_EVENT_PARALLEL_COMMIT:
    case XACT_EVENT_PARALLEL_ABORT:
      g_queue = NIL;  // its memory goes with the transaction's
      g_row_subxact = InvalidSubTransactionId;
      break;
    default:
      break;
  }
}

void OnSubtransactionEnd(SubXactEvent event, SubTransactionId mine, SubTransactionId parent,
                         void*) {
  if (event != SUBXACT_EVENT_ABORT_SUB && event != SUBXACT_EVENT_COMMIT_SUB) return;
  const bool abort = event == SUBXACT_EVENT_ABORT_SUB;
  if (g_row_subxact == mine) g_row_subxact = abort ? InvalidSubTransactionId : parent;
  List* kept = NIL;
  ListCell* cell;
  MemoryContext old = MemoryContextSwitchTo(TopTransactionContext);
  foreach (cell, g_queue) {
    Queued* queued = static_cast<Queued*>(lfirst(cell));
    if (queued->subxact == mine) {
      if (abort) continue;
      queued->subxact = parent;
    }
    kept = lappend(kept, queued);
  }
  MemoryContextSwitchTo(old);
  g_queue = kept;
}

// Mail queued until commit cannot wait for a prepared transaction's end:
// PREPARE TRANSACTION is refused, as for NOTIFY.
void OnUtility(PlannedStmt* statement, const char* query, bool read_only,
               ProcessUtilityContext context, ParamListInfo params, QueryEnvironment* env,
               DestReceiver* dest, QueryCompletion* completion) {
  Node* node = statement->utilityStmt;
  if (node != nullptr && IsA(node, TransactionStmt) &&
      reinterpret_cast<TransactionStmt*>(node)->kind == TRANS_STMT_PREPARE && g_queue != NIL)
    ereport(ERROR, (errcode(ERRCODE_FEATURE_NOT_SUPPORTED),
                    errmsg("cannot PREPARE a transaction that has mail queued to send at commit"),
                    errhint("Send it outside the prepared transaction, or with "
                            "velmail.send_at_commit off.")));
  if (g_previous_utility)
    g_previous_utility(statement, query, read_only, context, params, env, dest, completion);
  else
    standard_ProcessUtility(statement, query, read_only, context, params, env, dest, completion);
}

void RequirePreload() {
  if (!g_preloaded)
    ereport(ERROR, (errcode(ERRCODE_OBJECT_NOT_IN_PREREQUISITE_STATE),
                    errmsg("velmail must be loaded when the server starts"),
                    errdetail("Its settings, the mail password among them, are protected only "
                              "from the server's start."),
                    errhint("Add 'velmail' to shared_preload_libraries in postgresql.conf and "
                            "restart the server.")));
}

}  // namespace
}  // namespace velpg

using namespace velpg;

void _PG_init(void) {
  g_preloaded = process_shared_preload_libraries_in_progress;
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
  DefineCustomStringVariable("velmail.mail_user",
                             "The mail user xp_startmail logs on as when called without one.",
                             nullptr, &g_mail_user, "", PGC_SUSET, 0, nullptr, nullptr, nullptr);
  DefineCustomStringVariable("velmail.mail_password", "The password of velmail.mail_user.", nullptr,
                             &g_mail_password, "", PGC_SUSET,
                             GUC_SUPERUSER_ONLY | GUC_NO_SHOW_ALL | GUC_NOT_IN_SAMPLE, nullptr,
                             nullptr, nullptr);
  DefineCustomBoolVariable("velmail.send_at_commit",
                           "xp_sendmail in a transaction block sends when the transaction commits.",
                           "Off: it sends at once, whatever the transaction does later.",
                           &g_send_at_commit, false, PGC_USERSET, 0, nullptr, nullptr, nullptr);
  MarkGUCPrefixReserved("velmail");
  RegisterXactCallback(OnTransactionEnd, nullptr);
  RegisterSubXactCallback(OnSubtransactionEnd, nullptr);
  g_previous_utility = ProcessUtility_hook;
  ProcessUtility_hook = OnUtility;
}

extern "C" Datum velmail_call(PG_FUNCTION_ARGS) {
  const ProcDef* proc = FindProc(get_func_name(fcinfo->flinfo->fn_oid));
  if (proc == nullptr)
    ereport(ERROR, (errcode(ERRCODE_UNDEFINED_FUNCTION),
                    errmsg("velmail_call serves only the procedures of the velmail extension")));
  RequirePreload();
  if (g_in_call)
    ereport(ERROR, (errcode(ERRCODE_OBJECT_IN_USE),
                    errmsg("a velmail procedure cannot be called while another runs in this "
                           "session")));
  // xp_deletemail() deletes the first message of the inbox; a NULL id is
  // a mistake (a loop that kept one after the inbox ran dry), not that.
  if (Is(proc, "xp_deletemail") && PG_NARGS() == 1 && PG_ARGISNULL(0))
    ereport(ERROR, (errcode(ERRCODE_NULL_VALUE_NOT_ALLOWED),
                    errmsg("msg_id of xp_deletemail must not be NULL"),
                    errhint("Call velmail.xp_deletemail() without arguments to delete the first "
                            "message of the inbox.")));
  RawArg* raw = ReadArgs(fcinfo, proc);
  // include_file reads a file of the server's: only for those who may.
  const int include = ParamIndex(proc, "include_file");
  if (include >= 0 && !raw[include].null &&
      !has_privs_of_role(GetUserId(), ROLE_PG_READ_SERVER_FILES))
    ereport(ERROR, (errcode(ERRCODE_INSUFFICIENT_PRIVILEGE),
                    errmsg("permission denied to include a server file in a mail"),
                    errdetail("Only roles with privileges of the \"pg_read_server_files\" "
                              "role may use include_file.")));
  if (proc == &kSendMailProc && g_send_at_commit && IsTransactionBlock()) {
    Queue(raw);
    PG_RETURN_VOID();
  }
  return RunCall(proc, raw, fcinfo);
}

// The deferred trigger on velmail.send_queue: the mail queued in this
// transaction goes out as it commits. A failure raises an ERROR, which
// aborts the commit (mail already handed to the provider stays sent).
extern "C" Datum velmail_send_queued(PG_FUNCTION_ARGS) {
  if (!CALLED_AS_TRIGGER(fcinfo))
    ereport(ERROR, (errcode(ERRCODE_E_R_I_E_TRIGGER_PROTOCOL_VIOLATED),
                    errmsg("velmail_send_queued is the trigger of velmail.send_queue")));
  RequirePreload();
  TriggerData* trigger = reinterpret_cast<TriggerData*>(fcinfo->context);
  List* queue = g_queue;
  g_queue = NIL;
  g_row_subxact = InvalidSubTransactionId;
  ListCell* cell;
  foreach (cell, queue) {
    Queued* queued = static_cast<Queued*>(lfirst(cell));
    Oid saved_user = InvalidOid;
    int saved_context = 0;
    GetUserIdAndSecContext(&saved_user, &saved_context);
    SetUserIdAndSecContext(queued->role, saved_context | SECURITY_LOCAL_USERID_CHANGE);
    (void)RunCall(&kSendMailProc, queued->args, nullptr);
    SetUserIdAndSecContext(saved_user, saved_context);
  }
  // The row has done its work; the table stays empty.
  ItemPointerData row = trigger->tg_trigtuple->t_self;
  AsExtension([&] {
    Oid types[1] = {TIDOID};
    Datum args[1] = {PointerGetDatum(&row)};
    SPIPlanPtr remove =
        KeptPlan(&g_queue_delete,
                 "DELETE FROM velmail.send_queue WHERE ctid OPERATOR(pg_catalog.=) $1", 1, types);
    if (SPI_execute_plan(remove, args, nullptr, false, 0) < 0)
      ereport(ERROR, (errmsg("the queue's row cannot be removed")));
  });
  return PointerGetDatum(nullptr);
}

extern "C" Datum velmail_outbox(PG_FUNCTION_ARGS) {
  RequirePreload();
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
        ereport(ERROR, (errmsg("the module's directory is not known")));
      dir = pstrdup(info.dli_fname);
      char* end = std::strrchr(dir, '/');
      if (end != nullptr) *end = '\0';
    }
    path = psprintf("%s/libvelnet.so", dir);
  }
  ListOutbox(fcinfo, g_net_config, path);
  return (Datum)0;
}
