// The mail worker: the one thread that makes every CMC call, one request
// at a time, with a time-out that cuts a hung provider off.
#ifndef VELMAIL_MAPI_WORKER_H
#define VELMAIL_MAPI_WORKER_H

#include <atomic>
#include <cstdint>

// Request codes.
enum : int32_t {
  SM_LOGON = 1,
  SM_SEND = 2,
  SM_LOGOFF = 3,
  SM_SHUTDOWN = 4,
  SM_LIST = 5,
  SM_READ = 6,
  SM_ACTON = 7,
  SM_FREE = 8
};

// The CMC session id; 0 while no session is open. Written by the live
// worker and, when it is cut off, by the requester; read by procedures
// without the lock.
extern std::atomic<uint32_t> sm_session;

// The worker's thread id; 0 while no worker runs.
extern std::atomic<uint32_t> sm_thread_id;

// Hands one request to the worker and waits for it, at most sm_timeout
// milliseconds. Returns 0, the CMC return code, or SM_TIMEDOUT,
// SM_INTERNAL or SM_LOGGEDON. Arguments per request:
//   SM_LOGON    user, password, logon extensions or 0
//   SM_SEND     the CMC_message
//   SM_LIST     message type or 0, list flags, CMC_uint32* count (in/out),
//               CMC_message_summary** result
//   SM_READ     CMC_message_reference*, read flags, CMC_message** result
//   SM_ACTON    CMC_message_reference*, operation
//   SM_FREE     memory the provider returned
int32_t sm_mailrequest(int32_t code, intptr_t first, intptr_t second, intptr_t third,
                       intptr_t fourth);

// A block the CMC provider returned, given back with SM_FREE.
class sm_providerblock {
 public:
  sm_providerblock() = default;
  ~sm_providerblock() { Free(); }
  sm_providerblock(const sm_providerblock&) = delete;
  sm_providerblock& operator=(const sm_providerblock&) = delete;

  void Free();
  // Where a request stores the block.
  void** out() { return &block_; }
  template <typename T>
  T* as() const {
    return static_cast<T*>(block_);
  }

 private:
  void* block_ = nullptr;
};

// The lock and events of the hand-over, made at attach and closed at
// detach.
void sm_createworkersync();
void sm_destroyworkersync();
// Forgets any worker and session (at attach).
void sm_resetworker();

#endif
