// A small module that the host tests load in place of the mail library. It
// has the entry point the host expects, and procedures that drive the
// server library and report what they saw back to the caller as messages.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fakelib.h"
#include "platform.h"
#include "velmsgs.h"
#include "velsrv.h"

namespace {

srv_proc* g_attach_caller = nullptr;  // what srv_props 318 yielded at attach

// Sends a line of text to the caller as message number `number`.
void Report(srv_proc* proc, int32_t number, const std::string& text) {
  cs_servermsg msg{};
  msg.msgnumber = number;
  msg.severity = 10;
  msg.state = 1;
  const size_t n = std::min(text.size(), sizeof msg.text);
  std::memcpy(msg.text, text.data(), n);
  msg.textlen = static_cast<int32_t>(n);
  std::memcpy(msg.svrname, "FAKESRV", 7);
  msg.svrnlen = 7;
  std::snprintf(msg.proc, sizeof msg.proc, "fakeproc");
  msg.proclen = 8;
  msg.line = 42;
  srv_sendinfo(proc, &msg, 0);
}

std::string Hex(const char* bytes, int32_t length) {
  std::string hex;
  char digits[3];
  for (int32_t i = 0; i < length; ++i) {
    std::snprintf(digits, sizeof digits, "%02x", static_cast<unsigned char>(bytes[i]));
    hex += digits;
  }
  return hex;
}

int32_t ParamCount(srv_proc* proc) {
  int32_t count = 0;
  return srv_numparams(proc, &count) ? count : -1;
}

// One parameter read through describe, bind and transfer.
struct Input {
  cs_datafmt fmt{};
  char* buf = nullptr;
  int32_t len = -2;
  int16_t indicator = -2;
};

// Describes and binds every parameter with at most `cap` bytes of room
// (cap < 0: the described length), then transfers them. Reports the
// first failure and returns false.
bool ReadAll(srv_proc* proc, int32_t cap, std::vector<Input>* inputs) {
  const int32_t count = ParamCount(proc);
  if (count < 0) {
    Report(proc, 1, "numparams failed");
    return false;
  }
  inputs->resize(count);
  for (int32_t item = 1; item <= count; ++item) {
    Input& in = (*inputs)[item - 1];
    if (!srv_descfmt(proc, VEL_GET, VEL_RPC_DATA, item, &in.fmt)) {
      Report(proc, 1, "descfmt " + std::to_string(item) + " failed");
      return false;
    }
    cs_datafmt bound = in.fmt;
    if (cap >= 0) bound.maxlength = std::min(bound.maxlength, cap);
    in.buf = static_cast<char*>(srv_alloc(std::max(bound.maxlength, 1)));
    if (in.buf == nullptr) {
      Report(proc, 1, "alloc " + std::to_string(item) + " failed");
      return false;
    }
    if (!srv_bind(proc, VEL_GET, VEL_RPC_DATA, item, &bound, in.buf, &in.len, &in.indicator)) {
      Report(proc, 1, "bind " + std::to_string(item) + " failed");
      return false;
    }
  }
  if (!srv_xferdata(proc, VEL_GET, VEL_RPC_DATA)) {
    Report(proc, 1, "xferdata get failed");
    return false;
  }
  return true;
}

void FreeAll(std::vector<Input>& inputs) {
  for (Input& in : inputs) {
    if (in.buf != nullptr) srv_free(in.buf);
  }
}

// "item=1 len=5 ind=0 value=68656c6c6f": one report per parameter.
int32_t ReportInputs(srv_proc* proc, int32_t cap) {
  std::vector<Input> inputs;
  const bool ok = ReadAll(proc, cap, &inputs);
  if (ok) {
    for (size_t i = 0; i < inputs.size(); ++i) {
      const Input& in = inputs[i];
      Report(proc, 2,
             "item=" + std::to_string(i + 1) + " len=" + std::to_string(in.len) +
                 " ind=" + std::to_string(in.indicator) + " value=" + Hex(in.buf, in.len));
    }
    srv_sendstatus(proc, 0);
  }
  FreeAll(inputs);
  return ok ? 1 : 0;
}

using RouteFn = void (*)(srv_proc*, int32_t, int32_t, ...);

RouteFn Router() {
  vel::os::Module msgs = vel::os::FindLoadedModule("velmsgs");
  return msgs == nullptr
             ? nullptr
             : reinterpret_cast<RouteFn>(vel::os::ModuleSymbol(msgs, "xp_srv_route_err"));
}

int32_t IntParam(const Input& in) {
  int32_t value = 0;
  if (in.len == static_cast<int32_t>(sizeof value)) std::memcpy(&value, in.buf, sizeof value);
  return value;
}

}  // namespace

extern "C" VEL_EXPORT int32_t VEL_STDCALL DllMain(void* /*module*/, uint32_t reason,
                                                  void* /*reserved*/) {
  if (reason == 1) {
    srv_proc* caller = nullptr;
    if (!srv_props(nullptr, VEL_GET, VEL_PROP_CURRENT_THREAD, &caller, sizeof caller, nullptr)) {
      srv_log(nullptr, 1, "fakelib: attach without a caller\n", VEL_NULLTERM);
      return 0;
    }
    g_attach_caller = caller;
    srv_log(nullptr, 1, "fakelib: attach\n", VEL_NULLTERM);
  } else if (reason == 0) {
    srv_log(nullptr, 1, "fakelib: detach\n", VEL_NULLTERM);
  }
  return 1;
}

// What srv_props 318 yielded when the module was attached.
extern "C" VEL_EXPORT srv_proc* fakelib_attach_caller() { return g_attach_caller; }

// Reports whether srv_props 318 yields the caller's own handle.
extern "C" VEL_EXPORT int32_t fk_whoami(srv_proc* proc) {
  srv_proc* current = nullptr;
  if (!srv_props(nullptr, VEL_GET, VEL_PROP_CURRENT_THREAD, &current, sizeof current, nullptr)) {
    Report(proc, 1, "props failed");
    return 0;
  }
  Report(proc, 2, current == proc ? "same" : "different");
  srv_sendstatus(proc, 0);
  return 1;
}

// "item=2 namelen=3 name=@ab type=0 max=5 status=1024": one report per
// parameter; a failed description is reported and the rest go on.
extern "C" VEL_EXPORT int32_t fk_describe(srv_proc* proc) {
  const int32_t count = ParamCount(proc);
  if (count < 0) {
    Report(proc, 1, "numparams failed");
    return 0;
  }
  int32_t failures = 0;
  for (int32_t item = 1; item <= count; ++item) {
    cs_datafmt fmt;
    std::memset(&fmt, 0x5A, sizeof fmt);  // a description left unfilled shows
    if (!srv_descfmt(proc, VEL_GET, VEL_RPC_DATA, item, &fmt)) {
      Report(proc, 1, "descfmt " + std::to_string(item) + " failed");
      ++failures;
      continue;
    }
    Report(proc, 2,
           "item=" + std::to_string(item) + " namelen=" + std::to_string(fmt.namelen) +
               " name=" + std::string(fmt.name, std::clamp(fmt.namelen, 0, 132)) +
               " type=" + std::to_string(fmt.datatype) + " max=" + std::to_string(fmt.maxlength) +
               " status=" + std::to_string(fmt.status) + " format=" + std::to_string(fmt.format) +
               " count=" + std::to_string(fmt.count));
  }
  // Items outside 1..count must be refused.
  cs_datafmt outside{};
  if (srv_descfmt(proc, VEL_GET, VEL_RPC_DATA, 0, &outside) ||
      srv_descfmt(proc, VEL_GET, VEL_RPC_DATA, count + 1, &outside)) {
    Report(proc, 1, "descfmt outside the parameters succeeded");
    ++failures;
  }
  if (failures == 0) srv_sendstatus(proc, 0);
  return failures == 0 ? 1 : 0;
}

// Reads every parameter with the room its description asks for.
extern "C" VEL_EXPORT int32_t fk_read(srv_proc* proc) { return ReportInputs(proc, -1); }

// Reads every parameter into at most 4 bytes.
extern "C" VEL_EXPORT int32_t fk_read_cut4(srv_proc* proc) { return ReportInputs(proc, 4); }

// Binds every output parameter to the buffer its input value was read
// into, then reverses the buffers and sends: the values go out reversed
// when the host reads them at transfer time. NULL stays NULL. Reports
// "refused N" for each input-only parameter that srv_bind(set) turned down.
extern "C" VEL_EXPORT int32_t fk_reverse(srv_proc* proc) {
  std::vector<Input> inputs;
  if (!ReadAll(proc, -1, &inputs)) {
    FreeAll(inputs);
    return 0;
  }
  std::vector<int16_t> indicators(inputs.size());
  for (size_t i = 0; i < inputs.size(); ++i) {
    Input& in = inputs[i];
    const int32_t item = static_cast<int32_t>(i + 1);
    indicators[i] = in.indicator == -1 ? -1 : 0;
    const int32_t bound =
        srv_bind(proc, VEL_SET, VEL_RPC_DATA, item, &in.fmt, in.buf, &in.len, &indicators[i]);
    const bool output = (in.fmt.status & VEL_STATUS_RETURN) != 0;
    if (!output && !bound) Report(proc, 2, "refused " + std::to_string(item));
    if (output && !bound) Report(proc, 1, "bind set " + std::to_string(item) + " failed");
  }
  for (Input& in : inputs) std::reverse(in.buf, in.buf + std::max(in.len, 0));
  const int32_t sent = srv_xferdata(proc, VEL_SET, VEL_RPC_DATA);
  // What was sent is a copy: changing the buffers now must not change it.
  for (Input& in : inputs) std::memset(in.buf, '!', std::max(in.len, 0));
  FreeAll(inputs);
  if (!sent) {
    Report(proc, 1, "xferdata set failed");
    return 0;
  }
  srv_sendstatus(proc, 0);
  return 1;
}

// Sends one of each reply, in this order: a message, a done record, a
// routed message (11544 to the caller), the output parameter at item 1
// ("abc"), a second done record and the status.
extern "C" VEL_EXPORT int32_t fk_replies(srv_proc* proc) {
  Report(proc, 2, "first");
  srv_senddone(proc, VEL_DONE_FINAL, 0, 0);
  if (RouteFn route = Router()) route(proc, 11544, VEL_ROUTE_CLIENT, 0);
  char value[] = "abc";
  int32_t len = 3;
  cs_datafmt fmt{};
  fmt.datatype = VEL_CHAR_TYPE;
  fmt.maxlength = 3;
  if (!srv_bind(proc, VEL_SET, VEL_RPC_DATA, 1, &fmt, value, &len, nullptr)) {
    Report(proc, 1, "bind set failed");
    return 0;
  }
  srv_xferdata(proc, VEL_SET, VEL_RPC_DATA);
  srv_senddone(proc, 1, 2, 3);
  srv_sendstatus(proc, 0);
  return 1;
}

// Allocates three blocks, grows the second and frees them all; the first
// step that fails is reported ("alloc 2 failed"), and whatever was
// allocated is freed on that way out too.
extern "C" VEL_EXPORT int32_t fk_alloc3(srv_proc* proc) {
  void* blocks[3] = {nullptr, nullptr, nullptr};
  int32_t failed_step = 0;
  for (int i = 0; i < 3 && failed_step == 0; ++i) {
    blocks[i] = srv_alloc(16);
    if (blocks[i] == nullptr) failed_step = i + 1;
  }
  if (failed_step == 0) {
    void* grown = srv_realloc(blocks[1], 64);
    if (grown == nullptr) {
      failed_step = 4;
    } else {
      blocks[1] = grown;
    }
  }
  for (void* block : blocks) {
    if (block != nullptr) srv_free(block);
  }
  if (failed_step != 0) {
    Report(proc, 1, "alloc " + std::to_string(failed_step) + " failed");
    return 0;
  }
  srv_sendstatus(proc, 0);
  return 1;
}

// Routes message @msgnum with @routing, to its own caller when @to_self is
// 1 and with no thread otherwise, passing the name "fk_route" and the
// number 7 (the arguments of a message raised with a name).
extern "C" VEL_EXPORT int32_t fk_route(srv_proc* proc) {
  std::vector<Input> inputs;
  if (!ReadAll(proc, -1, &inputs) || inputs.size() != 3) {
    FreeAll(inputs);
    return 0;
  }
  const int32_t msgnum = IntParam(inputs[0]);
  const int32_t routing = IntParam(inputs[1]);
  const bool to_self = IntParam(inputs[2]) == 1;
  FreeAll(inputs);
  RouteFn route = Router();
  if (route == nullptr) {
    Report(proc, 1, "no router");
    return 0;
  }
  route(to_self ? proc : nullptr, msgnum, routing, "fk_route", 7);
  return 1;
}

// Reports "ifile=<path> server=<name>" from srv_props 320 and
// srv_thread_props 209, and whether a buffer one byte too short for the
// path is refused.
extern "C" VEL_EXPORT int32_t fk_props(srv_proc* proc) {
  char path[260];
  std::memset(path, 'x', sizeof path);
  if (!srv_props(nullptr, VEL_GET, VEL_PROP_IFILE_PATH, path, sizeof path, nullptr)) {
    Report(proc, 1, "props 320 failed");
    return 0;
  }
  char name[30];
  std::memset(name, '#', sizeof name);
  int32_t name_len = -1;
  if (!srv_thread_props(proc, VEL_GET, VEL_TPROP_SERVER_NAME, name, sizeof name, &name_len)) {
    Report(proc, 1, "thread props 209 failed");
    return 0;
  }
  const int32_t path_len = static_cast<int32_t>(std::strlen(path));
  char short_buf[260];
  const bool short_refused =
      !srv_props(nullptr, VEL_GET, VEL_PROP_IFILE_PATH, short_buf, path_len, nullptr);
  Report(proc, 2,
         "ifile=" + std::string(path) +
             " server=" + std::string(name, std::clamp(name_len, 0, 30)) +
             " after=" + (name_len >= 0 && name_len < 30 ? std::string(1, name[name_len]) : "") +
             " short=" + (short_refused ? "refused" : "accepted"));
  srv_sendstatus(proc, 0);
  return 1;
}

// For the concurrency test: checks srv_props 318 against its own handle
// many times, sleeping in between so that calls on other clients
// interleave, then sends "<@tag value>:<mismatches>" as output item 2.
extern "C" VEL_EXPORT int32_t fk_busy(srv_proc* proc) {
  std::vector<Input> inputs;
  if (!ReadAll(proc, -1, &inputs) || inputs.size() != 2) {
    FreeAll(inputs);
    return 0;
  }
  int mismatches = 0;
  for (int i = 0; i < 50; ++i) {
    srv_proc* current = nullptr;
    srv_props(nullptr, VEL_GET, VEL_PROP_CURRENT_THREAD, &current, sizeof current, nullptr);
    if (current != proc) ++mismatches;
    vel::os::SleepMs(1);
  }
  std::string reply = std::string(inputs[0].buf, inputs[0].len) + ":" + std::to_string(mismatches);
  int32_t len = static_cast<int32_t>(reply.size());
  const bool sent =
      srv_bind(proc, VEL_SET, VEL_RPC_DATA, 2, &inputs[1].fmt, reply.data(), &len, nullptr) &&
      srv_xferdata(proc, VEL_SET, VEL_RPC_DATA);
  FreeAll(inputs);
  if (!sent) return 0;
  srv_sendstatus(proc, 0);
  return 1;
}

// As the library's profile hand-over: logs "fakelib: profile <user>/<pwd>"
// and whether the thread it ran on serves a client.
extern "C" VEL_EXPORT void xp_srv_set_mailprofile(const char* user, const char* encoded_password) {
  srv_proc* current = nullptr;
  srv_props(nullptr, VEL_GET, VEL_PROP_CURRENT_THREAD, &current, sizeof current, nullptr);
  const std::string line = std::string("fakelib: profile ") + (user ? user : "(null)") + "/" +
                           (encoded_password ? encoded_password : "(null)") +
                           (current != nullptr ? " on a client\n" : " on no client\n");
  srv_log(nullptr, 1, line.c_str(), VEL_NULLTERM);
}
