// A client: one host thread serving one caller handle, running calls.
#include <stdexcept>

#include "host_impl.h"

namespace velsrv {
namespace {

using ProcedureFn = int32_t (*)(srv_proc* caller);

}  // namespace

Client::Impl::Impl(Host::Impl* owner) : host(owner), caller(std::make_shared<srv_proc>()) {
  internal::TheProcess().callers.Add(caller);
  srv_proc* served = caller.get();
  thread = std::make_unique<internal::TaskThread>([served] { internal::ServedCaller() = served; });
}

Client::Impl::~Impl() {
  thread.reset();
  internal::TheProcess().callers.Remove(caller.get());
}

CallResult Client::Impl::RunCall(const std::string& procedure, std::vector<RpcParam> params) {
  caller->BeginCall(std::move(params));
  bool attached = host->library.Load() != 0;
  bool found = false;
  int32_t returned = 0;
  if (attached) {
    attached = host->library.WithSymbol(procedure.c_str(), [&](void* symbol) {
      if (symbol == nullptr) return;
      found = true;
      returned = reinterpret_cast<ProcedureFn>(symbol)(caller.get());
    });
  }
  CallResult result = caller->EndCall();
  result.attached = attached;
  result.found = found;
  result.returned = returned;
  return result;
}

Client::Client(Host::Impl* host) : impl_(std::make_unique<Impl>(host)) {}

Client::~Client() = default;

srv_proc* Client::handle() const { return impl_->caller.get(); }

CallResult Client::Call(const std::string& procedure, std::vector<RpcParam> params) {
  Start(procedure, std::move(params));
  return Wait();
}

void Client::Start(const std::string& procedure, std::vector<RpcParam> params,
                   std::function<void()> ended) {
  if (impl_->pending) throw std::logic_error("velsrv: a call is already running on this client");
  auto task = std::make_shared<std::packaged_task<CallResult()>>(
      [impl = impl_.get(), procedure, params = std::move(params)]() mutable {
        return impl->RunCall(procedure, std::move(params));
      });
  impl_->pending = task->get_future();
  impl_->thread->Post([task, ended = std::move(ended)] {
    (*task)();
    if (ended) ended();
  });
}

CallResult Client::Wait() {
  if (!impl_->pending) throw std::logic_error("velsrv: no call was started on this client");
  std::future<CallResult> pending = std::move(*impl_->pending);
  impl_->pending.reset();
  return pending.get();
}

}  // namespace velsrv
