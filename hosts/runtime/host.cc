// The host: one per process, owning the clients and the loaded library.
#include <cstdio>
#include <stdexcept>

#include "host_impl.h"

namespace velsrv {
namespace {

using internal::TheProcess;

using SetMailProfileFn = void (*)(const char* user, const char* encoded_password);

// Runs fn on the thread of a client, or on the calling thread for null.
template <typename Fn>
auto RunOn(Client::Impl* on, Fn fn) -> decltype(fn()) {
  if (on == nullptr) return fn();
  return on->thread->Run(std::move(fn));
}

}  // namespace

Host::Impl::Impl(HostOptions host_options)
    : options(std::move(host_options)), library(options.library) {
  if (!options.message_library.empty()) {
    message_library = vel::os::LoadModule(options.message_library.c_str());
    if (message_library == nullptr) {
      std::fprintf(stderr, "velsrv: cannot load the message library %s: %s\n",
                   options.message_library.c_str(), vel::os::ModuleError().c_str());
    }
  }
}

Host::Impl::~Impl() {
  // The library keeps the router's address until it is unloaded, so the
  // message library goes after it.
  if (message_library != nullptr) vel::os::FreeModule(message_library);
}

Host::Host(HostOptions options) {
  Host* expected = nullptr;
  if (!TheProcess().host.compare_exchange_strong(expected, this)) {
    throw std::logic_error("velsrv: only one Host may exist in a process");
  }
  TheProcess().failures.Reset();
  TheProcess().records.Clear();
  try {
    impl_ = std::make_unique<Impl>(std::move(options));
  } catch (...) {
    TheProcess().host = nullptr;
    throw;
  }
}

Host::~Host() {
  // The client threads finish their queued calls first; the library is
  // then detached from the destroying thread, while the caller handles
  // still exist for whatever its detach sends.
  std::vector<std::unique_ptr<Client>> leaving;
  {
    vel::os::MutexLock lock(impl_->clients_mu);
    leaving.swap(impl_->clients);
  }
  for (auto& client : leaving) client->impl_->thread.reset();
  impl_->library.Unload();
  leaving.clear();
  impl_.reset();
  TheProcess().host = nullptr;
}

Host* Host::Current() { return TheProcess().host.load(); }

Client& Host::NewClient() {
  std::unique_ptr<Client> client(new Client(impl_.get()));
  vel::os::MutexLock lock(impl_->clients_mu);
  impl_->clients.push_back(std::move(client));
  return *impl_->clients.back();
}

int32_t Host::Load(Client* on) {
  return RunOn(on ? on->impl_.get() : nullptr, [this] { return impl_->library.Load(); });
}

bool Host::loaded() const { return impl_->library.loaded(); }

int32_t Host::attach_result() const { return impl_->library.attach_result(); }

int32_t Host::Unload(Client* on) {
  return RunOn(on ? on->impl_.get() : nullptr, [this] { return impl_->library.Unload(); });
}

void Host::SetMailProfile(const char* user, const char* encoded_password, Client* on) {
  RunOn(on ? on->impl_.get() : nullptr, [&] {
    if (impl_->library.Load() == 0) return;
    impl_->library.WithSymbol("xp_srv_set_mailprofile", [&](void* symbol) {
      if (symbol == nullptr) {
        std::fprintf(stderr, "velsrv: the library does not export xp_srv_set_mailprofile\n");
        return;
      }
      reinterpret_cast<SetMailProfileFn>(symbol)(user, encoded_password);
    });
  });
}

std::vector<RoutedMessage> Host::routed() const { return TheProcess().records.routed(); }

std::vector<std::string> Host::log() const { return TheProcess().records.log(); }

void Host::ClearRecords() { TheProcess().records.Clear(); }

void Host::Fail(FailRule rule) { TheProcess().failures.AddRule(std::move(rule)); }

void Host::ClearFailures() { TheProcess().failures.ClearRules(); }

int64_t Host::CallCount(const std::string& function) const {
  return TheProcess().failures.CallCount(function);
}

int64_t Host::outstanding_blocks() const { return TheProcess().blocks.outstanding(); }
int64_t Host::peak_block_bytes() const { return TheProcess().blocks.peak_bytes(); }
void Host::ResetPeak() { TheProcess().blocks.ResetPeak(); }

}  // namespace velsrv
