// Server and thread properties: the current client, the interfaces file and
// the server name.
#include <cstring>
#include <string>

#include "host_impl.h"

using velsrv::internal::Injected;
using velsrv::internal::ServedCaller;

namespace {

const velsrv::HostOptions* Options() {
  velsrv::Host* host = velsrv::Host::Current();
  return host == nullptr ? nullptr : &host->impl()->options;
}

}  // namespace

VELSRV_C_EXPORT int32_t VEL_CDECL srv_props(cs_context* /*ctx*/, int32_t cmd, int32_t property,
                                            void* buf, int32_t buflen, int32_t* outlen) {
  if (Injected("srv_props", property)) return VEL_FAIL;
  if (cmd != VEL_GET || buf == nullptr || buflen < 0) return VEL_FAIL;
  if (property == VEL_PROP_CURRENT_THREAD) {
    srv_proc* current = ServedCaller();
    // NOLINTNEXTLINE(bugprone-sizeof-expression): the property's value is the pointer itself
    constexpr size_t kSize = sizeof current;
    if (static_cast<size_t>(buflen) < kSize) return VEL_FAIL;
    std::memcpy(buf, &current, kSize);
    if (outlen != nullptr) *outlen = static_cast<int32_t>(kSize);
    return VEL_SUCCEED;
  }
  if (property == VEL_PROP_IFILE_PATH) {
    const velsrv::HostOptions* options = Options();
    if (options == nullptr) return VEL_FAIL;
    const std::string& path = options->interfaces_file;
    if (path.size() + 1 > static_cast<size_t>(buflen)) return VEL_FAIL;
    std::memcpy(buf, path.c_str(), path.size() + 1);
    if (outlen != nullptr) *outlen = static_cast<int32_t>(path.size());
    return VEL_SUCCEED;
  }
  return VEL_FAIL;
}

VELSRV_C_EXPORT int32_t VEL_CDECL srv_thread_props(srv_proc* proc, int32_t cmd, int32_t property,
                                                   void* buf, int32_t buflen, int32_t* outlen) {
  if (Injected("srv_thread_props", property)) return VEL_FAIL;
  if (velsrv::internal::TheProcess().callers.Find(proc) == nullptr) return VEL_FAIL;
  if (cmd != VEL_GET || property != VEL_TPROP_SERVER_NAME || buf == nullptr) return VEL_FAIL;
  const velsrv::HostOptions* options = Options();
  if (options == nullptr) return VEL_FAIL;
  const std::string& name = options->server_name;
  if (buflen < 0 || name.size() > static_cast<size_t>(buflen)) return VEL_FAIL;
  std::memcpy(buf, name.data(), name.size());  // not terminated
  if (outlen != nullptr) *outlen = static_cast<int32_t>(name.size());
  return VEL_SUCCEED;
}
