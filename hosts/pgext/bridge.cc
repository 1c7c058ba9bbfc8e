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

#include <dlfcn.h>

#include <atomic>

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

// ------------------------------------------------------------ the gate

namespace {

// Calls abandoned and still running; the gate stays shut while there are.
std::atomic<int> g_abandoned_running{0};
// The call in progress may send (opened at its start, shut at a cancel).
std::atomic<bool> g_gate_open{false};

}  // namespace

bool MaySend() {
  return g_gate_open.load() && g_abandoned_running.load() == 0 && !StatementCancelPending();
}

void CloseGate() { g_gate_open.store(false); }

// ------------------------------------------------------------ helpers

void WithSignalsBlocked(const std::function<void()>& fn) {
  sigset_t all, old;
  sigfillset(&all);
  for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL}) sigdelset(&all, fault);
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

// A client and whether its call has ended: told by the client's thread,
// read by the main thread. Whoever of the two comes second when a call is
// abandoned and ends counts it out of g_abandoned_running.
struct MailHost::Slot {
  velsrv::Client* client = nullptr;
  mutable vel::os::Mutex mutex;
  bool running VEL_GUARDED_BY(mutex) = false;
  bool abandoned VEL_GUARDED_BY(mutex) = false;

  void MarkStarted() {
    vel::os::MutexLock lock(mutex);
    running = true;
    abandoned = false;
  }
  void MarkEnded() {
    vel::os::MutexLock lock(mutex);
    running = false;
    if (abandoned) g_abandoned_running.fetch_sub(1);
  }
  void MarkAbandoned() {
    vel::os::MutexLock lock(mutex);
    abandoned = true;
    if (running) g_abandoned_running.fetch_add(1);
  }
  bool HasEnded() const {
    vel::os::MutexLock lock(mutex);
    return !running;
  }
};

void MailHost::PickClient() {
  if (slot_) return;
  // A client whose abandoned call has ended serves again; that call's
  // result is collected (and dropped) first.
  for (size_t i = 0; i < abandoned_.size(); ++i) {
    if (!abandoned_[i]->HasEnded()) continue;
    slot_ = abandoned_[i];
    abandoned_.erase(abandoned_.begin() + static_cast<ptrdiff_t>(i));
    try {
      (void)slot_->client->Wait();
    } catch (...) {
    }
    client_ = slot_->client;
    return;
  }
  velsrv::Client* client = nullptr;
  InDirectoryForNewThreads(settings_.work_dir, [&] { client = &host_->NewClient(); });
  slot_ = std::make_shared<Slot>();
  slot_->client = client;
  client_ = client;
}

void MailHost::EmptyWorkDir() const {
  std::error_code ec;
  for (const fs::directory_entry& entry : fs::directory_iterator(settings_.work_dir, ec)) {
    std::error_code ignored;
    fs::remove_all(entry.path(), ignored);
  }
}

void MailHost::RemoveWorkDir() const {
  std::error_code ignored;
  fs::remove_all(settings_.work_dir, ignored);
}

namespace {

// Removes what backends that are gone left in the folder of the
// backends' folders: a folder named after a process that no longer runs,
// and results files of versions that composed in the shared folder.
void SweepWorkFolders(const std::string& parent) {
  std::error_code ec;
  for (const fs::directory_entry& entry : fs::directory_iterator(parent, ec)) {
    const std::string name = entry.path().filename().string();
    char* end = nullptr;
    const long pid = std::strtol(name.c_str(), &end, 10);
    const bool gone = entry.is_directory(ec) && !entry.is_symlink(ec) && end != name.c_str() &&
                      *end == '\0' && pid > 0 && kill(static_cast<pid_t>(pid), 0) != 0 &&
                      errno == ESRCH;
    std::error_code ignored;
    if (gone || entry.is_symlink(ec) || entry.is_regular_file(ec))
      fs::remove_all(entry.path(), ignored);
  }
}

using GateOpen = int (*)(const char*, int (*)(), char*, size_t);

int AskGate() { return MaySend() ? 1 : 0; }

// Loads the gate module and the provider behind it.
bool OpenGate(const HostSettings& settings, std::string& problem) {
  void* gate = dlopen(settings.gate.c_str(), RTLD_NOW | RTLD_LOCAL);
  GateOpen open = gate ? reinterpret_cast<GateOpen>(dlsym(gate, "velpg_gate_open")) : nullptr;
  if (open == nullptr) {
    const char* why = dlerror();
    problem = "cannot load " + settings.gate + ": " + (why ? why : "no velpg_gate_open");
    return false;
  }
  char why[512] = "";
  if (open(settings.provider.c_str(), AskGate, why, sizeof why) != 0) {
    problem = "the mail provider " + settings.provider + " cannot be loaded: " + why;
    return false;
  }
  return true;
}

}  // namespace

std::unique_ptr<MailHost> MailHost::Create(const HostSettings& settings, std::string& problem) {
  std::unique_ptr<MailHost> made(new MailHost);
  made->settings_ = settings;
  try {
    MakeDirectory(settings.data_dir);
    const std::string parent = fs::path(settings.work_dir).parent_path().string();
    MakeDirectory(parent);
    SweepWorkFolders(parent);
    made->RemoveWorkDir();
    MakeDirectory(settings.work_dir);
    if (!settings.maildir_root.empty()) MakeDirectory(settings.maildir_root);
    if (!OpenGate(settings, problem)) return nullptr;
    WriteFile(settings.data_dir + "/win.ini", "[Mail]\nCMCDLLNAME32=" + settings.gate + "\n");
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
    InDirectoryForNewThreads(settings.work_dir,
                             [&] { made->host_ = std::make_unique<velsrv::Host>(options); });
    made->PickClient();
    if (made->host_->Load(made->client_) == 0) {
      problem = "the mail library did not attach";
      for (const velsrv::RoutedMessage& routed : made->host_->routed())
        problem += "; " + routed.text;
      return nullptr;
    }
    made->host_->ClearRecords();
  } catch (const std::exception& failure) {
    problem = failure.what();
    return nullptr;
  }
  return made;
}

MailHost::~MailHost() {
  // A host with a call still running cannot wait for its clients.
  if (g_abandoned_running.load() != 0) (void)host_.release();
}

void MailHost::Start(uint64_t call, const std::string& procedure,
                     std::vector<velsrv::RpcParam> params) {
  PickClient();
  g_gate_open.store(true);
  // The client's thread (its signals blocked since it was made) runs the
  // call and tells the main thread when it has ended.
  std::shared_ptr<Slot> slot = slot_;
  slot->MarkStarted();
  client_->Start(procedure, std::move(params), [call, slot] {
    slot->MarkEnded();
    Main().MarkDone(call);
  });
}

velsrv::CallResult MailHost::Finish() {
  velsrv::CallResult result = client_->Wait();
  // The call's record holds its messages; the host's own lists of them
  // would grow with every call.
  host_->ClearRecords();
  return result;
}

void MailHost::Abandon() {
  // The client stays with its call, whenever that ends.
  CloseGate();
  slot_->MarkAbandoned();
  abandoned_.push_back(slot_);
  slot_ = nullptr;
  client_ = nullptr;
}

void MailHost::Shutdown() {
  if (!host_ || g_abandoned_running.load() != 0) return;
  PickClient();
  host_->Unload(client_);
}

}  // namespace velpg
