// The threads of a database backend that hosts the mail library. The
// backend's own functions may be called on its main thread only, so the
// library's calls run on host client threads, and what they need from the
// backend (a query) is handed to the main thread, which serves such
// requests while it waits for the call. No PostgreSQL header is included
// here.
#ifndef VELPG_BRIDGE_H
#define VELPG_BRIDGE_H

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "mutex.h"
#include "velsrv_host.h"

namespace velpg {

// Requests from other threads to the main thread, for one call at a time.
class MainThread {
 public:
  // Any thread but the main one: runs fn on the main thread and waits for
  // it. False, without running it, when the main thread does not serve
  // the call the request belongs to (it was cancelled, or has ended).
  bool Run(uint64_t call, const std::function<void()>& fn);

  // Main thread: starts serving the call, whose id the requests carry.
  void Open(uint64_t call);
  // Main thread: waits up to ms for a request or the call's end and runs
  // at most one request, then what that request left for afterwards (see
  // After). True when the call has ended.
  bool ServeOnce(int ms);
  // Main thread, from within a request: fn runs once the request's caller
  // has been let go, so that the main thread's work ahead of the next
  // request overlaps the caller's. It must catch its own failures; a
  // later After before it ran takes its place.
  void After(std::function<void()> fn) { after_ = std::move(fn); }
  // The call's thread: the call has ended.
  void MarkDone(uint64_t call);
  // Main thread: refuses the call's requests from now on (its end is still
  // told).
  void Close();
  // Main thread: the call is over; nothing of it is served any more.
  void End();

  uint64_t current() const;

 private:
  // Its flags are under mutex_ (the owner's lock, which a nested record
  // cannot name for the analysis).
  struct Request {
    uint64_t call = 0;
    const std::function<void()>* fn = nullptr;
    bool finished = false;
    bool refused = false;
  };
  mutable vel::os::Mutex mutex_;
  std::condition_variable_any wake_main_;
  std::condition_variable_any wake_callers_;
  std::deque<Request*> requests_ VEL_GUARDED_BY(mutex_);
  uint64_t serving_ VEL_GUARDED_BY(mutex_) = 0;  // 0: none
  bool refusing_ VEL_GUARDED_BY(mutex_) = false;
  bool done_ VEL_GUARDED_BY(mutex_) = false;
  std::function<void()> after_;  // the main thread's own
};

MainThread& Main();

// Where the host works and what it loads; read from the server's settings
// before the library is loaded.
struct HostSettings {
  std::string library_dir;   // libvelmail.so, libvelmsgs.so, the providers
  std::string data_dir;      // the extension's directory (win.ini, interfaces)
  std::string work_dir;      // current directory of the library's threads
  std::string provider;      // the provider module's path
  std::string maildir_root;  // the maildir provider's store
  std::string net_config;    // the network provider's configuration file
  std::string gate;          // the module the library loads as its provider (cmc_gate.cc)
  int timeout_ms = 0;        // the library's time-out; 0: its default
  std::string server_name;   // the name the library's queries connect to
};

// Whether the provider may take a send now: the gate's question (any
// thread). No while the statement of the call in progress has been
// cancelled, and while a call abandoned after a cancel has not ended.
bool MaySend();
// Whether the backend has a cancel or a termination pending (any thread;
// defined where the server's headers are).
bool StatementCancelPending();
// Main thread: the call in progress has been cancelled (its sends are
// refused from now on).
void CloseGate();

// The process's host: the loaded library and the client its calls run on.
class MailHost {
 public:
  // Loads the library on a new client thread. Null, with the reason, when
  // it cannot be loaded.
  static std::unique_ptr<MailHost> Create(const HostSettings& settings, std::string& problem);
  ~MailHost();

  // Starts the call on a thread of its own (the client's thread runs it);
  // Main().MarkDone tells when it has ended. Opens the gate unless a call
  // abandoned earlier is still running.
  void Start(uint64_t call, const std::string& procedure, std::vector<velsrv::RpcParam> params);
  // After the call has ended: its result. What the host keeps of the
  // call's messages for itself is let go.
  velsrv::CallResult Finish();
  // Gives up on a call that has not ended: its client is left to it. The
  // next call runs on a client whose call has ended (this one, once its
  // call ends), or on a new one while none has.
  void Abandon();
  // Ends the library's work in this process, unless a call is still
  // running on an abandoned client.
  void Shutdown();

  // The backend's own folder, the library threads' current directory
  // (results files are written there): emptied after each send, removed
  // when the backend ends.
  const std::string& work_dir() const { return settings_.work_dir; }
  void EmptyWorkDir() const;
  void RemoveWorkDir() const;

 private:
  struct Slot;
  MailHost() = default;
  // A client for the next call: the current one when it is free, else one
  // whose abandoned call has ended, else a new one.
  void PickClient();

  HostSettings settings_;
  std::unique_ptr<velsrv::Host> host_;
  velsrv::Client* client_ = nullptr;
  std::shared_ptr<Slot> slot_;                    // client_'s
  std::vector<std::shared_ptr<Slot>> abandoned_;  // clients left to their calls
};

// Runs fn with every signal blocked in the calling thread, so that threads
// it starts inherit none -- but the faults a thread raises itself (SIGSEGV,
// SIGBUS, SIGFPE, SIGILL): blocked, they would end the process without its
// handler; left open, the library's guard turns a fault in a provider into
// a failed request.
void WithSignalsBlocked(const std::function<void()>& fn);

}  // namespace velpg

#endif
