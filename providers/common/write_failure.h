// What a failed write means to a CMC caller, the same in every provider: a
// full disk, a file grown past its limit and a full quota are
// CMC_E_DISK_FULL; anything else is the failure the caller names.
#ifndef VELPROVIDERS_WRITE_FAILURE_H
#define VELPROVIDERS_WRITE_FAILURE_H

#include <cerrno>
#include <cstdint>
#include <system_error>

#include "cmc.h"

namespace velproviders {

// Whether an error number (errno, or the platform layer's LastError())
// says that the disk or the user's quota is full.
inline bool IsFullDisk(int32_t error) {
  return error == static_cast<int32_t>(std::errc::no_space_on_device) ||
         error == static_cast<int32_t>(std::errc::file_too_large)
#ifdef EDQUOT
         || error == EDQUOT
#endif
      ;
}

// The CMC code for a write that failed with error.
inline CMC_return_code WriteFailureCode(int32_t error, CMC_return_code otherwise) {
  return IsFullDisk(error) ? static_cast<CMC_return_code>(CMC_E_DISK_FULL) : otherwise;
}

}  // namespace velproviders

#endif
