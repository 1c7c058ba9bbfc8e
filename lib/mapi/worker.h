// The mail worker: the one thread that makes every CMC call, one request
// at a time, with a time-out that cuts a hung provider off.
#ifndef VELMAIL_MAPI_WORKER_H
#define VELMAIL_MAPI_WORKER_H

#include <atomic>
#include <cstdint>

#include "cmc.h"
#include "frame/srvblock.h"
#include "frame/state.h"

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

// The mail requests. Each hands one request to the worker and waits for
// it, at most sm_state.timeout milliseconds; the worker is given copies of the
// inputs, and the outputs are written only once the request has completed.
// Each returns 0, the CMC return code, or SM_TIMEDOUT (the worker was cut
// off), SM_INTERNAL (not attached, no such entry point, or the provider
// faulted or threw) or SM_LOGGEDON (a logon while a session is open).
int32_t sm_requestlogon(const char* user, const char* password, const CMC_extension* extensions);
// note, when given, is the block message->text_note points to: the request
// takes it over instead of copying the text, and frees it once it is over
// (a worker that is cut off keeps it for good).
int32_t sm_requestsend(const CMC_message* message, sm_srvblock* note = nullptr);
// code: SM_LOGOFF, or SM_SHUTDOWN, which logs off and ends the worker.
int32_t sm_requestlogoff(int32_t code);
// count: in, how many summaries are wanted; out, how many came.
int32_t sm_requestlist(const char* message_type, CMC_flags flags, CMC_uint32* count,
                       CMC_message_summary** result);
int32_t sm_requestread(const CMC_message_reference* reference, CMC_flags flags,
                       CMC_message** result);
int32_t sm_requestacton(const CMC_message_reference* reference, CMC_enum operation);
int32_t sm_requestfree(void* block);

// The same by request code, with the arguments as integers (an unknown code
// gives SM_INTERNAL):
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
  // Where a request stores the block, as the request's type of result.
  template <typename T>
  T** out() {
    return reinterpret_cast<T**>(&block_);
  }
  template <typename T>
  T* as() const {
    return static_cast<T*>(block_);
  }

 private:
  void* block_ = nullptr;
};

// The events of the hand-over, made at attach and closed at detach;
// requests are refused (SM_INTERNAL) while there are none.
void sm_createworkersync();
void sm_destroyworkersync();

#endif
