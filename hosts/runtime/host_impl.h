// The inside of Host and Client.
#ifndef VELSRV_HOST_IMPL_H
#define VELSRV_HOST_IMPL_H

#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "library_module.h"
#include "mutex.h"
#include "process_state.h"
#include "task_thread.h"

namespace velsrv {

struct Host::Impl {
  explicit Impl(HostOptions host_options);
  ~Impl();

  const HostOptions options;
  internal::LibraryModule library;
  vel::os::Module message_library = nullptr;
  vel::os::Mutex clients_mu;
  std::vector<std::unique_ptr<Client>> clients VEL_GUARDED_BY(clients_mu);
};

struct Client::Impl {
  explicit Impl(Host::Impl* owner);
  ~Impl();

  // Runs one call; on the client's thread.
  CallResult RunCall(const std::string& procedure, std::vector<RpcParam> params);

  Host::Impl* const host;
  const std::shared_ptr<srv_proc> caller;
  std::optional<std::future<CallResult>> pending;  // of Start()
  std::unique_ptr<internal::TaskThread> thread;    // last: it may use the rest
};

}  // namespace velsrv

#endif
