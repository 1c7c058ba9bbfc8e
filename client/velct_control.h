// Test and host control of the client-library stand-in (libvelct.so):
// make chosen calls fail, count them, and drive the challenge callback
// that a context has registered.
#ifndef VELCT_CONTROL_H
#define VELCT_CONTROL_H

#include <cstdint>
#include <string>

#include "velcs.h"

#if defined(_WIN32)
#define VELCT_API __declspec(dllexport)
#else
#define VELCT_API __attribute__((visibility("default")))
#endif

namespace velct {

// Makes calls of one function fail: counted per function from the moment
// the rule is set, the nth call and the count - 1 after it fail (count -1:
// every call from the nth on). A failing call returns 0 (VEL_FAIL) and has
// no effect.
VELCT_API void Fail(const std::string& function, int64_t nth = 1, int64_t count = 1);
VELCT_API void ClearFailures();
// Calls of a function since the process started (or since ResetCounts).
VELCT_API int64_t CallCount(const std::string& function);
VELCT_API void ResetCounts();

// Contexts allocated and not yet dropped.
VELCT_API int64_t LiveContexts();
// The context allocated last, while it is live; null otherwise.
VELCT_API cs_context* LastContext();
// The interfaces file last configured on a context (ct_config 9115), or "".
VELCT_API std::string InterfacesFile(cs_context* ctx);
// Whether ct_init succeeded on the context and ct_exit has not run since.
VELCT_API bool Initialised(cs_context* ctx);

// The challenge callback registered on the context (ct_callback 34, 6), or
// null.
VELCT_API cs_challenge_fn ChallengeCallback(cs_context* ctx);

// Long fetches report progress: callback is called on the fetching thread,
// outside the library's lock, every `every` rows a command fetches, with the
// rows it has fetched so far. A null callback or every 0 turns it off.
using FetchProgress = void (*)(int64_t rows);
VELCT_API void SetFetchProgress(FetchProgress callback, int64_t every);

// What com_uninitialize_tds_text last received, and what it will return.
struct UninitCall {
  void* a1 = nullptr;
  void* a5 = nullptr;
  int32_t value144 = 0;
  void* a7 = nullptr;
  void* a8 = nullptr;
  int64_t calls = 0;
};
VELCT_API UninitCall LastUninitCall();
VELCT_API void SetUninitResult(int32_t result);

// The date record cs_time fills when it does not fail; by default the
// current local time.
VELCT_API void SetFixedTime(const cs_daterec* rec);  // null: current time again

// Connections and commands allocated and not yet dropped.
VELCT_API int64_t LiveConnections();
VELCT_API int64_t LiveCommands();

// The four parts of a client message number, from the highest byte down.
struct ClientCode {
  int32_t layer;
  int32_t origin;
  int32_t severity;
  int32_t number;
  constexpr int32_t packed() const {
    return static_cast<int32_t>(
        (static_cast<uint32_t>(layer & 0xff) << 24) | (static_cast<uint32_t>(origin & 0xff) << 16) |
        (static_cast<uint32_t>(severity & 0xff) << 8) | static_cast<uint32_t>(number & 0xff));
  }
};

// The client messages the stand-in raises itself. The record's severity
// field carries the same severity as the number.
inline constexpr ClientCode kMsgOutOfSequence{1, 1, 1, 1};  // call not valid now
inline constexpr ClientCode kMsgBadArgument{1, 1, 1, 2};    // item, property, type...
inline constexpr ClientCode kMsgUnknownServer{2, 1, 5, 3};  // not in the interfaces file
inline constexpr ClientCode kMsgCannotConnect{2, 1, 5, 4};  // backend could not be opened
inline constexpr ClientCode kMsgConversion{3, 2, 1, 5};     // value does not convert
inline constexpr ClientCode kMsgCanceled{1, 1, 1, 6};       // call interrupted by ct_cancel

// Server messages of the SQLite backend.
inline constexpr int32_t kSrvDatabaseChanged = 5701;   // severity 10, after "use NAME"
inline constexpr int32_t kSrvUnknownDatabase = 20100;  // severity 16
inline constexpr int32_t kSrvSqlErrorBase = 20000;     // + the engine's primary error code

}  // namespace velct

#endif
