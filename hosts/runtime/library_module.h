// The loaded library as the host holds it: loaded and attached on the
// thread that first needs it, detached before it is unloaded.
#ifndef VELSRV_LIBRARY_MODULE_H
#define VELSRV_LIBRARY_MODULE_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "mutex.h"
#include "platform.h"

namespace velsrv::internal {

class LibraryModule {
 public:
  explicit LibraryModule(std::string path) : path_(std::move(path)) {}
  ~LibraryModule();  // unloads when still loaded
  LibraryModule(const LibraryModule&) = delete;
  LibraryModule& operator=(const LibraryModule&) = delete;

  // Loads and attaches on the calling thread unless already loaded.
  // Returns the attach result (0 also when the module cannot be loaded).
  int32_t Load();
  // Detaches and unloads on the calling thread. Returns what detach
  // returned; 0 when the library was not loaded.
  int32_t Unload();

  bool loaded() const;
  int32_t attach_result() const { return attach_result_; }

  // Runs fn with the address of an export (null when missing) while the
  // library cannot be unloaded. False, without running fn, when it is not
  // loaded.
  bool WithSymbol(const char* name, const std::function<void(void*)>& fn);

 private:
  using EntryPoint = int32_t (*)(void* module, uint32_t reason, void* reserved);
  static constexpr uint32_t kProcessDetach = 0;
  static constexpr uint32_t kProcessAttach = 1;

  const std::string path_;
  // Calls hold it shared while a procedure runs; loading and unloading
  // hold it exclusively.
  mutable vel::os::SharedMutex mu_;
  vel::os::Module module_ VEL_GUARDED_BY(mu_) = nullptr;
  EntryPoint entry_ VEL_GUARDED_BY(mu_) = nullptr;
  std::atomic<int32_t> attach_result_{0};
};

}  // namespace velsrv::internal

#endif
