// The operating-system layer on POSIX systems (Linux).
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>

#include "platform.h"

namespace vel::os {

// ---------------------------------------------------------------- modules

namespace {

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// Whether name is already a shared object's file name: it ends in ".so",
// or in ".so." and a version of digits and dots ("libvelnet.so.1.0.0").
bool IsSharedObjectName(const std::string& name) {
  const std::string lower = Lower(name);
  // A version holds no ".so", so only the last one can be followed by one.
  const size_t at = lower.rfind(".so");
  if (at == std::string::npos || at == 0) return false;
  const std::string rest = lower.substr(at + 3);
  if (rest.empty()) return true;
  if (rest.size() < 2 || rest[0] != '.' || rest.back() == '.') return false;
  for (size_t i = 1; i < rest.size(); ++i) {
    const bool digit = std::isdigit(static_cast<unsigned char>(rest[i])) != 0;
    if (!digit && (rest[i] != '.' || rest[i - 1] == '.')) return false;
  }
  return true;
}

}  // namespace

std::string ModuleFileName(const std::string& name) {
  if (name.find('/') != std::string::npos || IsSharedObjectName(name)) return name;
  std::string rest = Lower(name);
  if (rest.size() >= 4 && rest.compare(rest.size() - 4, 4, ".dll") == 0)
    rest.resize(rest.size() - 4);
  return "lib" + rest + ".so";
}

Module FindLoadedModule(const char* name) {
  if (name == nullptr) return nullptr;
  std::string file = ModuleFileName(name);
  void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_NOLOAD);
  // Finding takes no reference: the one dlopen just took is dropped again.
  if (handle != nullptr) dlclose(handle);
  return handle;
}

Module LoadModule(const char* name) {
  if (name == nullptr) return nullptr;
  std::string file = ModuleFileName(name);
  return dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
}

void* ModuleSymbol(Module module, const char* symbol) {
  if (module == nullptr || symbol == nullptr) return nullptr;
  return dlsym(module, symbol);
}

void FreeModule(Module module) {
  if (module != nullptr) dlclose(module);
}

void PinModuleOf(const void* address) {
  Dl_info info{};
  if (address == nullptr || dladdr(address, &info) == 0 || info.dli_fname == nullptr) return;
  void* module = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
  if (module != nullptr) dlclose(module);  // NODELETE outlives the reference
}

std::string ModuleError() {
  const char* error = dlerror();
  return error != nullptr ? error : "";
}

bool LoaderCallsEntryPoint() { return false; }

// ---------------------------------------------------------------- profile

namespace {

std::string Trim(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return "";
  size_t end = text.find_last_not_of(" \t\r\n");
  return text.substr(begin, end - begin + 1);
}

bool EqualNoCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
           return std::tolower(x) == std::tolower(y);
         });
}

// Looks the key up in $WINDIR/win.ini; false when it is absent.
bool ReadProfileValue(const char* section, const char* key, std::string* value) {
  const char* windir = getenv("WINDIR");
  if (windir == nullptr || *windir == '\0') return false;
  std::ifstream in(std::string(windir) + "/win.ini");
  if (!in) return false;
  std::string line;
  bool in_section = false;
  while (std::getline(in, line)) {
    std::string trimmed = Trim(line);
    if (trimmed.empty()) continue;
    if (trimmed.front() == '[') {
      size_t close = trimmed.find(']');
      std::string name =
          Trim(trimmed.substr(1, close == std::string::npos ? std::string::npos : close - 1));
      in_section = EqualNoCase(name, section);
      continue;
    }
    if (!in_section) continue;
    size_t eq = trimmed.find('=');
    if (eq == std::string::npos) continue;
    if (EqualNoCase(Trim(trimmed.substr(0, eq)), key)) {
      *value = Trim(trimmed.substr(eq + 1));
      return true;
    }
  }
  return false;
}

}  // namespace

uint32_t GetProfileString(const char* section, const char* key, const char* fallback, char* buf,
                          uint32_t size) {
  if (buf == nullptr || size == 0) return 0;
  std::string value;
  if (section == nullptr || key == nullptr || !ReadProfileValue(section, key, &value)) {
    value = fallback != nullptr ? fallback : "";
  }
  size_t n = std::min<size_t>(value.size(), size - 1);
  memcpy(buf, value.data(), n);
  buf[n] = '\0';
  return static_cast<uint32_t>(n);
}

// ------------------------------------------------------------ environment

uint32_t GetEnvironmentVariable(const char* name, char* buf, uint32_t size) {
  if (name == nullptr) return 0;
  const char* value = getenv(name);
  if (value == nullptr) return 0;
  size_t n = strlen(value);
  if (buf == nullptr || n + 1 > size) return static_cast<uint32_t>(n + 1);
  memcpy(buf, value, n + 1);
  return static_cast<uint32_t>(n);
}

bool SetEnvironmentVariable(const char* name, const char* value) {
  if (name == nullptr) return false;
  return (value != nullptr ? setenv(name, value, 1) : unsetenv(name)) == 0;
}

// ------------------------------------------------------ synchronisation

struct Event::Impl {
  // Set and not yet taken by a Wait(). Taken with an exchange, so that one
  // Set() lets exactly one waiter through.
  std::atomic<bool> signalled{false};
  // Waiters that are (about to be) asleep on cv; Set() takes the mutex and
  // notifies only when there are any. A sleeper registers before its last
  // look under the mutex, and Set() publishes before it counts sleepers
  // (both sequentially consistent), so one of them always sees the other.
  std::atomic<int> sleepers{0};
  std::mutex mutex;
  std::condition_variable cv;

  bool Take() { return signalled.load() && signalled.exchange(false); }
};

namespace {

// A hint to the CPU that this is a wait loop.
inline void Pause() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

}  // namespace

Event::Event() : impl_(std::make_unique<Impl>()) {}
Event::~Event() = default;

void Event::Set() {
  impl_->signalled.store(true);
  if (impl_->sleepers.load() > 0) {
    { std::lock_guard<std::mutex> lock(impl_->mutex); }
    impl_->cv.notify_one();
  }
}

bool Event::Wait(uint32_t timeout_ms) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  const Clock::time_point spin_end = start + std::chrono::microseconds(kSpinMicroseconds);
  for (int look = 0;; ++look) {
    if (impl_->Take()) return true;
    if (look < 64) {
      Pause();
    } else {
      // The other side may be waiting for this CPU: let it run.
      if (Clock::now() >= spin_end) break;
      sched_yield();
    }
  }
  if (timeout_ms == 0) return false;
  impl_->sleepers.fetch_add(1);
  std::unique_lock<std::mutex> lock(impl_->mutex);
  auto taken = [this] { return impl_->Take(); };
  bool ok;
  if (timeout_ms == kInfinite)
    ok = (impl_->cv.wait(lock, taken), true);
  else
    ok = impl_->cv.wait_until(lock, start + std::chrono::milliseconds(timeout_ms), taken);
  impl_->sleepers.fetch_sub(1);
  return ok;
}

struct CriticalSection::Impl {
  std::mutex mutex;
};

CriticalSection::CriticalSection() : impl_(std::make_unique<Impl>()) {}
CriticalSection::~CriticalSection() = default;
void CriticalSection::Enter() { impl_->mutex.lock(); }
void CriticalSection::Leave() { impl_->mutex.unlock(); }

// ---------------------------------------------------------------- threads

namespace {

std::atomic<uint32_t> g_next_thread_id{1};
thread_local uint32_t t_thread_id = 0;

struct ThreadStart {
  std::function<void()> body;
};

// Threads run with cancellation off for good: a thread that was given up
// is left to come back on its own, never unwound from outside.
extern "C" void* ThreadTrampoline(void* arg) {
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
  std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(arg));
  start->body();
  return nullptr;
}

// Keeps the module holding this code mapped for good: a thread that was
// given up may still return into it long after the module was released.
void PinThisModule() { PinModuleOf(reinterpret_cast<const void*>(&ThreadTrampoline)); }

class PosixThread final : public Thread {
 public:
  PosixThread(pthread_t handle, uint32_t id) : handle_(handle), id_(id) {}
  ~PosixThread() override {
    if (!released_) pthread_detach(handle_);
  }
  uint32_t Id() const override { return id_; }
  void Join() override {
    if (released_) return;
    pthread_join(handle_, nullptr);
    released_ = true;
  }
  void CutOff() override {
    if (released_) return;
    PinThisModule();
    pthread_detach(handle_);
    released_ = true;
  }

 private:
  pthread_t handle_;
  uint32_t id_;
  bool released_ = false;
};

}  // namespace

uint32_t CurrentThreadId() {
  if (t_thread_id == 0) t_thread_id = g_next_thread_id.fetch_add(1);
  return t_thread_id;
}

std::unique_ptr<Thread> Thread::Start(std::function<void()> body) {
  uint32_t id = g_next_thread_id.fetch_add(1);
  auto* start = new ThreadStart{[id, body = std::move(body)] {
    t_thread_id = id;
    body();
  }};
  pthread_t handle;
  if (pthread_create(&handle, nullptr, ThreadTrampoline, start) != 0) {
    delete start;
    return nullptr;
  }
  return std::make_unique<PosixThread>(handle, id);
}

void SleepMs(uint32_t ms) {
  struct timespec ts;
  ts.tv_sec = ms / 1000;
  ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

// ------------------------------------------------------- guarded calls

namespace {

constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};
constexpr int kFaultSignalCount = sizeof(kFaultSignals) / sizeof(kFaultSignals[0]);

struct sigaction g_previous[kFaultSignalCount];
std::once_flag g_install_once;
std::atomic<bool> g_installed{false};

// The jump target of the guarded call running on this thread, or null.
thread_local sigjmp_buf* t_guard = nullptr;

int SignalSlot(int sig) {
  for (int i = 0; i < kFaultSignalCount; ++i) {
    if (kFaultSignals[i] == sig) return i;
  }
  return -1;
}

extern "C" void FaultHandler(int sig, siginfo_t* info, void* context) {
  sigjmp_buf* guard = t_guard;
  if (guard != nullptr) {
    t_guard = nullptr;
    siglongjmp(*guard, sig);
  }
  // Not ours: hand it to whoever handled it before.
  int slot = SignalSlot(sig);
  const struct sigaction& previous = g_previous[slot];
  if (previous.sa_flags & SA_SIGINFO) {
    if (previous.sa_sigaction != nullptr) {
      previous.sa_sigaction(sig, info, context);
      return;
    }
  } else if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
    previous.sa_handler(sig);
    return;
  }
  // Default action: restore it and let the fault happen again.
  signal(sig, SIG_DFL);
  raise(sig);
}

void InstallFaultHandlers() {
  std::call_once(g_install_once, [] {
    struct sigaction action {};
    action.sa_sigaction = FaultHandler;
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    for (int i = 0; i < kFaultSignalCount; ++i) {
      sigaction(kFaultSignals[i], &action, &g_previous[i]);
    }
    g_installed = true;
  });
}

// Hands the fault signals back when the module holding the handler is
// unloaded, unless someone installed a handler after us.
struct FaultHandlerRestorer {
  ~FaultHandlerRestorer() {
    if (!g_installed) return;
    for (int i = 0; i < kFaultSignalCount; ++i) {
      struct sigaction current {};
      sigaction(kFaultSignals[i], nullptr, &current);
      if ((current.sa_flags & SA_SIGINFO) && current.sa_sigaction == FaultHandler) {
        sigaction(kFaultSignals[i], &g_previous[i], nullptr);
      }
    }
  }
} g_restorer;

}  // namespace

CallOutcome GuardedCall(void (*call)(void*), void* arg) {
  InstallFaultHandlers();
  sigjmp_buf jump;
  volatile CallOutcome outcome = CallOutcome::kReturned;
  if (sigsetjmp(jump, 1) == 0) {
    t_guard = &jump;
    try {
      call(arg);
    } catch (...) {
      outcome = CallOutcome::kThrew;
    }
    t_guard = nullptr;
  } else {
    // Came back through the fault handler.
    t_guard = nullptr;
    outcome = CallOutcome::kFaulted;
  }
  return outcome;
}

// ------------------------------------------------------------------ files

File::~File() {
  if (handle_ >= 0) close(static_cast<int>(handle_));
}

std::unique_ptr<File> File::Create(const char* path, Mode mode) {
  if (path == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  const int how = mode == Mode::kNew ? O_EXCL : O_TRUNC;
  int fd = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | how, 0600);
  if (fd < 0) return nullptr;
  return std::unique_ptr<File>(new File(fd));
}

bool File::ErrorIsExists(int32_t error) { return error == EEXIST; }

bool File::Write(const void* data, uint32_t size, uint32_t* written) {
  uint32_t total = 0;
  const char* bytes = static_cast<const char*>(data);
  while (total < size) {
    ssize_t n = write(static_cast<int>(handle_), bytes + total, size - total);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (written != nullptr) *written = total;
      return false;
    }
    if (n == 0) break;  // nothing more fits: a short write
    total += static_cast<uint32_t>(n);
  }
  if (written != nullptr) *written = total;
  return true;
}

bool File::Close() {
  if (handle_ < 0) return true;
  int rc = close(static_cast<int>(handle_));
  handle_ = -1;
  return rc == 0;
}

bool IsTerminal(int stream) { return isatty(stream) == 1; }

int32_t LastError() { return errno; }

uint32_t GetCurrentDirectory(char* buf, uint32_t size) {
  if (buf == nullptr || size == 0) return 0;
  if (getcwd(buf, size) == nullptr) return 0;
  return static_cast<uint32_t>(strlen(buf));
}

int32_t FileAccess(const char* path) {
  if (path == nullptr) return EINVAL;
  if (access(path, F_OK) != 0) return errno;
  if (access(path, R_OK) != 0) return errno;
  return 0;
}

// --------------------------------------------------------- random numbers

namespace {
std::atomic<uint32_t> g_random_state{1};
}

void SeedRandom(uint32_t seed) { g_random_state.store(seed); }

int32_t Random() {
  uint32_t state = g_random_state.load();
  uint32_t next;
  do {
    next = state * 214013u + 2531011u;
  } while (!g_random_state.compare_exchange_weak(state, next));
  return static_cast<int32_t>((next >> 16) & 0x7FFF);
}

// ----------------------------------------------------------------- pages

void* AllocatePages(size_t size) {
  void* block = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return block == MAP_FAILED ? nullptr : block;
}

void* ResizePages(void* block, size_t old_size, size_t new_size) {
#if defined(__linux__)
  void* moved = mremap(block, old_size, new_size, MREMAP_MAYMOVE);
  return moved == MAP_FAILED ? nullptr : moved;
#else
  void* moved = AllocatePages(new_size);
  if (moved == nullptr) return nullptr;
  memcpy(moved, block, std::min(old_size, new_size));
  FreePages(block, old_size);
  return moved;
#endif
}

void FreePages(void* block, size_t size) { munmap(block, size); }

// ------------------------------------------------------------- processes

bool ProcessExists(uint32_t pid) {
  if (pid == 0 || pid > static_cast<uint32_t>(INT32_MAX)) return false;
  return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

void KillThisProcess() {
  kill(getpid(), SIGKILL);
  _exit(137);  // not reached
}

std::string HostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return "";
  return name;
}

uint32_t ProcessId() { return static_cast<uint32_t>(getpid()); }

uint32_t CurrentUserId() { return static_cast<uint32_t>(geteuid()); }

std::string ProgramPath() {
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof path) return "";
  return std::string(path, static_cast<size_t>(n));
}

}  // namespace vel::os
