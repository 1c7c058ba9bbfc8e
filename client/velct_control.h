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

}  // namespace velct

#endif
