// The host side of the server-library stand-in (libvelsrv.so).
//
// A host (the tests, the host program) uses this API to load the library
// the way the extended-procedure host does, run RPC calls on client
// threads, and see everything a call sent back. The srv_ functions the
// library calls are the other side of the same state.
//
// There is one host per process: the srv_ functions are process-wide C
// functions, so the state they serve is too.
#ifndef VELSRV_HOST_H
#define VELSRV_HOST_H

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "velsrv.h"

#if defined(_WIN32)
#define VELSRV_API __declspec(dllexport)
#else
#define VELSRV_API __attribute__((visibility("default")))
#endif

namespace velsrv {

// ------------------------------------------------------------ parameters

// One RPC parameter as the caller passes it.
struct VELSRV_API RpcParam {
  std::string name;  // with the leading '@'; empty for a positional parameter
  int32_t datatype = VEL_CHAR_TYPE;
  std::string value;       // raw bytes; an integer is 4 bytes in host order
  bool null = false;       // a NULL value
  bool output = false;     // passed as an output parameter (status 0x400)
  int32_t maxlength = -1;  // declared maximum length; -1: the value's own length

  static RpcParam Text(std::string name, std::string value);
  static RpcParam Int(std::string name, int32_t value);
  static RpcParam Binary(std::string name, std::string bytes);
  // A void parameter (datatype 23): named but no value supplied.
  static RpcParam Void(std::string name);
  static RpcParam Null(std::string name, int32_t datatype);
  // An output parameter of the given datatype and declared maximum length,
  // with an initial value (may be empty, or null).
  static RpcParam Output(std::string name, int32_t datatype, int32_t maxlength,
                         std::string initial = {}, bool null_initial = false);
};

// ------------------------------------------------------------ what comes back

// One further argument handed to the error router.
struct RouteArg {
  bool is_text = false;
  std::string text;
  int32_t number = 0;
  bool operator==(const RouteArg&) const = default;
};

// One message handed to xp_srv_route_err.
struct RoutedMessage {
  srv_proc* thread = nullptr;  // the thread argument as given
  int32_t msgnum = 0;
  int32_t routing = 0;
  std::vector<RouteArg> args;
  std::string text;  // the formatted text the router produced
};

// A message that reached the client: routed with bit 8, or forwarded with
// srv_sendinfo.
struct ClientMessage {
  int32_t number = 0;
  int32_t severity = 0;
  int32_t state = 0;
  std::string text;
  std::string server;     // server name, forwarded messages only
  std::string procedure;  // procedure name, forwarded messages only
  int32_t line = 0;
  bool forwarded = false;  // came through srv_sendinfo
};

// One output parameter value sent with srv_xferdata(set).
struct OutputValue {
  int32_t item = 0;
  std::string name;  // as the caller declared it
  int32_t datatype = 0;
  std::string value;      // the bytes sent (empty for NULL)
  int16_t indicator = 0;  // -1 for NULL
  bool is_null() const { return indicator == -1; }
};

// Everything a call sent, in order of sending.
enum class ReplyKind { kMessage, kOutputs, kDone, kStatus };
struct ReplyEvent {
  ReplyKind kind;
  size_t index;  // into messages / output_batches / dones / statuses
};

struct DoneRecord {
  int32_t status, transtate, count;
};

struct VELSRV_API CallResult {
  bool found = false;    // the library exports the procedure
  bool attached = true;  // false when loading the library failed
  int32_t returned = 0;  // the procedure's return value
  std::vector<ClientMessage> messages;
  std::vector<std::vector<OutputValue>> output_batches;  // one per srv_xferdata(set)
  std::vector<DoneRecord> dones;
  std::vector<int32_t> statuses;  // srv_sendstatus values
  std::vector<ReplyEvent> sequence;
  std::vector<RoutedMessage> routed;  // routed on this call's thread during the call
  std::vector<std::string> log;       // log lines written on this thread during the call

  // The last output batch flattened (empty when none was sent).
  std::vector<OutputValue> outputs() const;
  // The value of an output parameter by its declared name, if it was sent.
  std::optional<OutputValue> output(const std::string& name) const;
  // Numbers of the messages that reached the client, in order.
  std::vector<int32_t> message_numbers() const;
};

// ------------------------------------------------------------ failures

// A rule that makes chosen calls of a srv_ function fail. Calls are counted
// per function from the moment the rule is set; the nth matching call and
// the count - 1 after it fail (count -1: every matching call from the nth
// on). key, when not -1, narrows the rule to calls whose item (srv_descfmt,
// srv_bind, srv_xferdata: the cmd), property (srv_props, srv_thread_props)
// equals it.
struct FailRule {
  std::string function;  // "srv_alloc", "srv_descfmt", "srv_props", ...
  int64_t nth = 1;
  int64_t count = 1;
  int32_t key = -1;
};

// ------------------------------------------------------------ the host

struct HostOptions {
  std::string library;                    // path of the library (libvelmail.so)
  std::string message_library;            // path of the message library; empty: none loaded
  std::string interfaces_file;            // what srv_props 320 yields
  std::string server_name = "VELSERVER";  // what srv_thread_props 209 yields
};

class Client;

class VELSRV_API Host {
 public:
  explicit Host(HostOptions options);
  ~Host();  // unloads the library (if loaded) from the destroying thread
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  static Host* Current();  // the live host, or null

  // A new client with a host thread of its own.
  Client& NewClient();

  // Loads the library now on the given client's thread (or, with null, on
  // the calling thread, which serves no client). Returns the attach result;
  // loading happens at most once. Calls load it on demand otherwise.
  int32_t Load(Client* on = nullptr);
  bool loaded() const;
  // Whether the library's attach succeeded (after a load).
  int32_t attach_result() const;

  // Runs DllMain(detach) and unloads, on the given client's thread or on the
  // calling thread. Returns what detach returned.
  int32_t Unload(Client* on = nullptr);

  // Calls xp_srv_set_mailprofile as the host does, on the given client's
  // thread or the calling thread (loading the library first if needed).
  void SetMailProfile(const char* user, const char* encoded_password, Client* on = nullptr);

  // Everything routed and logged since the host started (or since Clear).
  std::vector<RoutedMessage> routed() const;
  std::vector<std::string> log() const;
  void ClearRecords();

  // Failure injection and call counting, process-wide.
  void Fail(FailRule rule);
  void ClearFailures();
  int64_t CallCount(const std::string& function) const;

  // Blocks from srv_alloc / srv_realloc not yet freed.
  int64_t outstanding_blocks() const;
  // The most bytes of such blocks held at once since ResetPeak (or the
  // start).
  int64_t peak_block_bytes() const;
  void ResetPeak();

  struct Impl;
  Impl* impl() { return impl_.get(); }

 private:
  std::unique_ptr<Impl> impl_;
};

// A client connection: one host thread serving one caller handle.
class VELSRV_API Client {
 public:
  ~Client();
  srv_proc* handle() const;

  // Runs the procedure on this client's thread with these parameters and
  // waits for it. Loads the library first on this thread if needed.
  CallResult Call(const std::string& procedure, std::vector<RpcParam> params = {});

  // Starts the call on this client's thread and returns at once; Wait()
  // gives its result. One call at a time per client. ended, when given,
  // runs on the client's thread once the result is there (for a caller
  // that waits for other work meanwhile and must be told).
  void Start(const std::string& procedure, std::vector<RpcParam> params = {},
             std::function<void()> ended = nullptr);
  CallResult Wait();

  struct Impl;

 private:
  friend class Host;
  explicit Client(Host::Impl* host);
  std::unique_ptr<Impl> impl_;
};

}  // namespace velsrv

// Called by the message library for every routed message: records it,
// writes its text to the host log when routing has bit 1 and hands it to
// the client when routing has bit 8 and thread is not null.
extern "C" VELSRV_API void velsrv_route_deliver(srv_proc* thread, int32_t msgnum, int32_t routing,
                                                const velsrv::RouteArg* args, int32_t nargs,
                                                const char* text);

#endif
