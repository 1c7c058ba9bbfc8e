#include "bridge.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "profile_password.h"

namespace velpg {
namespace fs = std::filesystem;

// ------------------------------------------------------------ MainThread

bool MainThread::Run(uint64_t call, const std::function<void()>& fn) {
  Request request;
  request.call = call;
  request.fn = &fn;
  vel::os::MutexLock lock(mutex_);
  if (serving_ == 0 || serving_ != call || refusing_) return false;
  requests_.push_back(&request);
  wake_main_.notify_one();
  while (!request.finished && !request.refused) lock.Wait(wake_callers_);
  return request.finished;
}

void MainThread::Open(uint64_t call) {
  vel::os::MutexLock lock(mutex_);
  serving_ = call;
  refusing_ = false;
  done_ = false;
}

bool MainThread::ServeOnce(int ms) {
  Request* request = nullptr;
  {
    vel::os::MutexLock lock(mutex_);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done_ && requests_.empty() && lock.WaitUntil(wake_main_, deadline)) {
    }
    if (!requests_.empty()) {
      request = requests_.front();
      requests_.pop_front();
    } else {
      return done_;
    }
  }
  // The request's function catches every failure of its own.
  (*request->fn)();
  {
    vel::os::MutexLock lock(mutex_);
    request->finished = true;
  }
  wake_callers_.notify_all();
  if (after_) {
    std::function<void()> after = std::move(after_);
    after_ = nullptr;
    after();
  }
  return false;
}

void MainThread::MarkDone(uint64_t call) {
  vel::os::MutexLock lock(mutex_);
  if (call != serving_) return;
  done_ = true;
  wake_main_.notify_one();
}

void MainThread::Close() {
  {
    vel::os::MutexLock lock(mutex_);
    refusing_ = true;
    for (Request* request : requests_) request->refused = true;
    requests_.clear();
  }
  wake_callers_.notify_all();
}

void MainThread::End() {
  after_ = nullptr;
  Close();
  vel::os::MutexLock lock(mutex_);
  serving_ = 0;
}

uint64_t MainThread::current() const {
  vel::os::MutexLock lock(mutex_);
  return serving_;
}

MainThread& Main() {
  static MainThread* main = new MainThread;  // outlives detached threads
  return *main;
}

// ------------------------------------------------------------ helpers

void WithSignalsBlocked(const std::function<void()>& fn) {
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  try {
    fn();
  } catch (...) {
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    throw;
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

namespace {

void MakeDirectory(const std::string& path) {
  std::error_code ec;
  fs::create_directories(path, ec);
  if (ec) throw std::runtime_error("cannot create " + path + ": " + ec.message());
  chmod(path.c_str(), 0700);
}

// Writes a small owner-only file, replacing what was there.
void WriteFile(const std::string& path, const std::string& text) {
  const std::string temporary = path + "." + std::to_string(getpid());
  unlink(temporary.c_str());
  const int fd =
      open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
  const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  if (!written || rename(temporary.c_str(), path.c_str()) != 0)
    throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
}

// Runs fn (which starts threads) so that the threads it starts work in
// dir, while this thread keeps its own current directory: the backend's
// relative paths are taken from the data directory. Each thread started
// shares the file-system context of the thread that started it; the
// calling thread takes a private one before and after.
void InDirectoryForNewThreads(const std::string& dir, const std::function<void()>& fn) {
  const int here = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (here < 0) throw std::runtime_error("cannot open the current directory");
  if (unshare(CLONE_FS) != 0 || chdir(dir.c_str()) != 0) {
    close(here);
    throw std::runtime_error("cannot work in " + dir + ": " + std::strerror(errno));
  }
  std::exception_ptr failure;
  try {
    WithSignalsBlocked(fn);
  } catch (...) {
    failure = std::current_exception();
  }
  const bool back = unshare(CLONE_FS) == 0 && fchdir(here) == 0;
  close(here);
  if (!back) std::abort();  // the backend cannot go on elsewhere than its data directory
  if (failure) std::rethrow_exception(failure);
}

}  // namespace

// ------------------------------------------------------------ MailHost

velsrv::Client& MailHost::NewClient() {
  velsrv::Client* client = nullptr;
  InDirectoryForNewThreads(settings_.work_dir, [&] { client = &host_->NewClient(); });
  return *client;
}

std::unique_ptr<MailHost> MailHost::Create(const HostSettings& settings, std::string& problem) {
  std::unique_ptr<MailHost> made(new MailHost);
  made->settings_ = settings;
  try {
    MakeDirectory(settings.data_dir);
    MakeDirectory(settings.work_dir);
    if (!settings.maildir_root.empty()) MakeDirectory(settings.maildir_root);
    WriteFile(settings.data_dir + "/win.ini", "[Mail]\nCMCDLLNAME32=" + settings.provider + "\n");
    WriteFile(settings.data_dir + "/interfaces",
              "# Queries run in the calling session.\n" + settings.server_name + "  host\n");
    // What the library and the providers read as they load.
    setenv("WINDIR", settings.data_dir.c_str(), 1);
    if (!settings.maildir_root.empty()) setenv("VELCMC_ROOT", settings.maildir_root.c_str(), 1);
    if (!settings.net_config.empty()) setenv("VELNET_CONFIG", settings.net_config.c_str(), 1);
    if (settings.timeout_ms > 0)
      setenv("VELMAIL_TIMEOUT", std::to_string(settings.timeout_ms).c_str(), 1);

    velsrv::HostOptions options;
    options.library = settings.library_dir + "/libvelmail.so";
    options.message_library = settings.library_dir + "/libvelmsgs.so";
    options.interfaces_file = settings.data_dir + "/interfaces";
    options.server_name = settings.server_name;
    for (const std::string& module : {options.library, options.message_library}) {
      if (!fs::exists(module)) {
        problem = "cannot find " + module;
        return nullptr;
      }
    }
    InDirectoryForNewThreads(settings.work_dir, [&] {
      made->host_ = std::make_unique<velsrv::Host>(options);
      made->client_ = &made->host_->NewClient();
    });
    if (made->host_->Load(made->client_) == 0) {
      problem = "the mail library did not attach";
      for (const velsrv::RoutedMessage& routed : made->host_->routed())
        problem += "; " + routed.text;
      return nullptr;
    }
    if (!settings.mail_user.empty()) {
      std::optional<std::string> encoded = velhost::EncodeProfilePassword(settings.mail_password);
      if (!encoded) {
        problem = "the mail profile's password cannot be handed over in the host's encoding";
        return nullptr;
      }
      made->host_->SetMailProfile(settings.mail_user.c_str(), encoded->c_str(), made->client_);
    }
  } catch (const std::exception& failure) {
    problem = failure.what();
    return nullptr;
  }
  return made;
}

MailHost::~MailHost() {
  // A host whose call was abandoned cannot wait for its clients.
  if (abandoned_) (void)host_.release();
}

void MailHost::Start(uint64_t call, const std::string& procedure,
                     std::vector<velsrv::RpcParam> params) {
  // The client's thread (its signals blocked since it was made) runs the
  // call and tells the main thread when it has ended.
  client_->Start(procedure, std::move(params), [call] { Main().MarkDone(call); });
}

velsrv::CallResult MailHost::Finish() { return client_->Wait(); }

void MailHost::Abandon() {
  // The client stays with its call, whenever that ends.
  abandoned_ = true;
  client_ = &NewClient();
}

void MailHost::Shutdown() {
  if (abandoned_ || !host_) return;
  host_->Unload(client_);
}

}  // namespace velpg
