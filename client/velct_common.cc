// The common-library calls: the current time and the text-state release
// that the challenge callback ends with.
#include <chrono>
#include <ctime>

#include "velct_state.h"

using velct::detail::CallFails;
using velct::detail::Fn;
using velct::detail::GlobalState;

namespace {

// The current local time as a date record. The time zone is given in
// minutes east of UTC.
cs_daterec LocalNow() {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const std::time_t now_t = system_clock::to_time_t(now);
  const auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;

  // std::localtime shares one buffer per process; copy it out at once.
  // Callers hold the stand-in's shared lock, which keeps our own calls
  // apart.
  const std::tm local = *std::localtime(&now_t);

  cs_daterec rec{};
  rec.year = local.tm_year + 1900;
  rec.month = local.tm_mon;
  rec.day_of_month = local.tm_mday;
  rec.day_of_year = local.tm_yday + 1;
  rec.day_of_week = local.tm_wday;
  rec.hour = local.tm_hour;
  rec.minute = local.tm_min;
  rec.second = local.tm_sec;
  rec.millisecond = static_cast<int32_t>(millis);

  // Local wall-clock time read as if it were UTC, minus the real instant.
  const sys_days local_day = year{rec.year} / month{static_cast<unsigned>(rec.month + 1)} /
                             day{static_cast<unsigned>(rec.day_of_month)};
  const auto local_as_utc = local_day + hours{rec.hour} + minutes{rec.minute} + seconds{rec.second};
  const auto offset = local_as_utc - time_point_cast<seconds>(system_clock::from_time_t(now_t));
  rec.tzone = static_cast<int32_t>(duration_cast<minutes>(offset).count());
  return rec;
}

}  // namespace

extern "C" {

// Fills the date record with the current time; a buffer to convert is not
// supported, so buf and buflen are ignored and the output length, when
// asked for, is the record's size.
VEL_EXPORT int32_t VEL_CDECL cs_time(cs_context* ctx, cs_locale* /*locale*/, void* /*buf*/,
                                     int32_t /*buflen*/, int32_t* outlen, cs_daterec* daterec) {
  if (CallFails(Fn::kCsTime)) return VEL_FAIL;
  auto& state = GlobalState();
  vel::os::MutexLock lock(state.mutex);
  if (!daterec || !state.Find(ctx)) return VEL_FAIL;
  *daterec = state.fixed_time ? *state.fixed_time : LocalNow();
  if (outlen) *outlen = static_cast<int32_t>(sizeof(cs_daterec));
  return VEL_SUCCEED;
}

VEL_EXPORT int32_t VEL_CDECL com_uninitialize_tds_text(void* a1, void* a5, int32_t value144,
                                                       void* a7, void* a8) {
  if (CallFails(Fn::kComUninitializeTdsText)) return VEL_FAIL;
  auto& state = GlobalState();
  vel::os::MutexLock lock(state.mutex);
  auto& last = state.last_uninit;
  last.a1 = a1;
  last.a5 = a5;
  last.value144 = value144;
  last.a7 = a7;
  last.a8 = a8;
  ++last.calls;
  return state.uninit_result;
}

}  // extern "C"
