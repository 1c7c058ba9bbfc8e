#include "library_module.h"

#include <cstdio>
#include <mutex>

namespace velsrv::internal {

LibraryModule::~LibraryModule() { Unload(); }

int32_t LibraryModule::Load() {
  {
    // Calls in flight hold the lock shared; an already loaded module must
    // not wait for them.
    vel::os::ReaderLock shared(mu_);
    if (module_ != nullptr) return attach_result_;
  }
  vel::os::WriterLock lock(mu_);
  if (module_ != nullptr) return attach_result_;
  vel::os::Module module = vel::os::LoadModule(path_.c_str());
  if (module == nullptr) {
    std::fprintf(stderr, "velsrv: cannot load %s: %s\n", path_.c_str(),
                 vel::os::ModuleError().c_str());
    attach_result_ = 0;
    return 0;
  }
  if (vel::os::LoaderCallsEntryPoint()) {
    // The loader has attached it already (a failed attach fails the load).
    attach_result_ = 1;
    module_ = module;
    return 1;
  }
  // A module without an entry point attaches as a plain shared library.
  auto entry = reinterpret_cast<EntryPoint>(vel::os::ModuleSymbol(module, "DllMain"));
  const int32_t attached = entry != nullptr ? entry(module, kProcessAttach, nullptr) : 1;
  attach_result_ = attached;
  if (attached == 0) {
    // As the loader does: one detach notification, then the module goes.
    entry(module, kProcessDetach, nullptr);
    vel::os::FreeModule(module);
    return 0;
  }
  module_ = module;
  entry_ = entry;
  return attached;
}

int32_t LibraryModule::Unload() {
  vel::os::WriterLock lock(mu_);
  if (module_ == nullptr) return 0;
  const int32_t detached = entry_ != nullptr ? entry_(module_, kProcessDetach, nullptr) : 1;
  vel::os::FreeModule(module_);
  module_ = nullptr;
  entry_ = nullptr;
  return detached;
}

bool LibraryModule::loaded() const {
  vel::os::ReaderLock lock(mu_);
  return module_ != nullptr;
}

bool LibraryModule::WithSymbol(const char* name, const std::function<void(void*)>& fn) {
  vel::os::ReaderLock lock(mu_);
  if (module_ == nullptr) return false;
  fn(vel::os::ModuleSymbol(module_, name));
  return true;
}

}  // namespace velsrv::internal
