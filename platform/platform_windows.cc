// The operating-system layer on Windows (32-bit, built with mingw-w64).
#include <windows.h>

// The layer's own names that windows.h defines as macros.
#undef FreeModule
#undef GetProfileString
#undef GetEnvironmentVariable
#undef SetEnvironmentVariable
#undef GetCurrentDirectory

#include <errno.h>
#include <io.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "platform.h"

namespace vel::os {

// ---------------------------------------------------------------- modules

std::string ModuleFileName(const std::string& name) { return name; }

namespace {

// LoadLibraryA wants backslashes in a path; the callers may write either.
std::string NativePath(const char* name) {
  std::string path = name;
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

}  // namespace

Module FindLoadedModule(const char* name) {
  if (name == nullptr) return nullptr;
  // GetModuleHandleA takes no reference.
  return reinterpret_cast<Module>(GetModuleHandleA(NativePath(name).c_str()));
}

Module LoadModule(const char* name) {
  if (name == nullptr) return nullptr;
  return reinterpret_cast<Module>(LoadLibraryA(NativePath(name).c_str()));
}

void* ModuleSymbol(Module module, const char* symbol) {
  if (module == nullptr || symbol == nullptr) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), symbol));
}

void FreeModule(Module module) {
  if (module != nullptr) FreeLibrary(static_cast<HMODULE>(module));
}

void PinModuleOf(const void* address) {
  if (address == nullptr) return;
  HMODULE module = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                     static_cast<LPCSTR>(address), &module);
}

std::string ModuleError() {
  const DWORD error = GetLastError();
  if (error == 0) return "";
  char text[512] = "";
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           error, 0, text, sizeof text, nullptr);
  while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' ')) --n;
  std::string message(text, n);
  return message.empty() ? "error " + std::to_string(error)
                         : message + " (error " + std::to_string(error) + ")";
}

bool LoaderCallsEntryPoint() { return true; }

// ---------------------------------------------------------------- profile

uint32_t GetProfileString(const char* section, const char* key, const char* fallback, char* buf,
                          uint32_t size) {
  if (buf == nullptr || size == 0) return 0;
  if (section == nullptr || key == nullptr) {
    // Without both names GetProfileStringA would list names instead.
    const char* value = fallback != nullptr ? fallback : "";
    size_t n = std::min<size_t>(strlen(value), size - 1);
    memcpy(buf, value, n);
    buf[n] = '\0';
    return static_cast<uint32_t>(n);
  }
  return GetProfileStringA(section, key, fallback != nullptr ? fallback : "", buf, size);
}

// ------------------------------------------------------------ environment

uint32_t GetEnvironmentVariable(const char* name, char* buf, uint32_t size) {
  if (name == nullptr) return 0;
  char probe[1];
  if (buf == nullptr) {
    buf = probe;
    size = 0;
  }
  return GetEnvironmentVariableA(name, buf, size);
}

bool SetEnvironmentVariable(const char* name, const char* value) {
  if (name == nullptr) return false;
  return SetEnvironmentVariableA(name, value) != 0;
}

// ------------------------------------------------------ synchronisation

// An auto-reset event, initially not signalled, made of a slim
// reader/writer lock, a condition variable and a flag. A kernel event
// (CreateEventA) behaves the same, but under wine each of its calls is a
// round trip to the wineserver, which made a mail request hundreds of
// times slower than on Linux; these wait in the process.
struct Event::Impl {
  // As on POSIX (platform_posix.cc): a flag taken with an exchange, and the
  // kernel's condition variable only for waiters that went to sleep.
  std::atomic<bool> signalled{false};
  std::atomic<int> sleepers{0};
  SRWLOCK lock = SRWLOCK_INIT;
  CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;

  bool Take() { return signalled.load() && signalled.exchange(false); }
};

Event::Event() : impl_(std::make_unique<Impl>()) {}
Event::~Event() = default;

void Event::Set() {
  impl_->signalled.store(true);
  if (impl_->sleepers.load() > 0) {
    AcquireSRWLockExclusive(&impl_->lock);
    ReleaseSRWLockExclusive(&impl_->lock);
    WakeConditionVariable(&impl_->changed);
  }
}

bool Event::Wait(uint32_t timeout_ms) {
  LARGE_INTEGER frequency, now, start;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  const LONGLONG spin = frequency.QuadPart * kSpinMicroseconds / 1000000;
  for (int look = 0;; ++look) {
    if (impl_->Take()) return true;
    if ((look & 63) == 63) {
      QueryPerformanceCounter(&now);
      if (now.QuadPart - start.QuadPart >= spin) break;
    }
    YieldProcessor();
  }
  if (timeout_ms == 0) return false;
  impl_->sleepers.fetch_add(1);
  AcquireSRWLockExclusive(&impl_->lock);
  const ULONGLONG begun = GetTickCount64();
  bool taken = impl_->Take();
  while (!taken) {
    DWORD wait = INFINITE;
    if (timeout_ms != kInfinite) {
      const ULONGLONG spent = GetTickCount64() - begun;
      if (spent >= timeout_ms) break;
      wait = static_cast<DWORD>(timeout_ms - spent);
    }
    SleepConditionVariableSRW(&impl_->changed, &impl_->lock, wait, 0);
    taken = impl_->Take();
  }
  ReleaseSRWLockExclusive(&impl_->lock);
  impl_->sleepers.fetch_sub(1);
  return taken;
}

struct CriticalSection::Impl {
  CRITICAL_SECTION section;
};

CriticalSection::CriticalSection() : impl_(std::make_unique<Impl>()) {
  InitializeCriticalSection(&impl_->section);
}

CriticalSection::~CriticalSection() { DeleteCriticalSection(&impl_->section); }
void CriticalSection::Enter() { EnterCriticalSection(&impl_->section); }
void CriticalSection::Leave() { LeaveCriticalSection(&impl_->section); }

// ---------------------------------------------------------------- threads

namespace {

std::atomic<uint32_t> g_next_thread_id{1};
thread_local uint32_t t_thread_id = 0;

// The kernel's own SetEvent, CloseHandle and ExitThread (not the import
// stubs inside this module).
struct KernelExit {
  FARPROC set_event = nullptr;
  FARPROC close_handle = nullptr;
  FARPROC exit_thread = nullptr;
};

struct ThreadStart {
  std::function<void()> body;
  uint32_t id;
  HANDLE left;  // set once the thread has left this module's code
  // Looked up by the starting thread: the lookup takes the loader lock,
  // which the ending thread must not wait for.
  const KernelExit* kernel;
};

KernelExit LookUpKernelExit() {
  KernelExit exit;
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  if (kernel != nullptr) {
    exit.set_event = GetProcAddress(kernel, "SetEvent");
    exit.close_handle = GetProcAddress(kernel, "CloseHandle");
    exit.exit_thread = GetProcAddress(kernel, "ExitThread");
  }
  return exit;
}

// Ends the calling thread after signalling left, without coming back into
// this module. A thread that ends runs the loader's thread-detach
// notifications, which wait for the loader lock; a Join() from a DllMain
// that is unloading this module holds that lock. So Join() waits for left,
// not for the thread's end, and left must be signalled by the last
// instruction of ours the thread runs: SetEvent returns straight into
// CloseHandle, which returns straight into ExitThread.
[[noreturn]] void LeaveModule(HANDLE left, const KernelExit& kernel) {
#if defined(__i386__)
  if (kernel.set_event != nullptr && kernel.close_handle != nullptr &&
      kernel.exit_thread != nullptr) {
    __asm__ volatile(
        "pushl $0\n\t"  // ExitThread's exit code
        "pushl $0\n\t"  // ExitThread's return address (never used)
        "pushl %0\n\t"  // CloseHandle's handle
        "pushl %3\n\t"  // CloseHandle returns into ExitThread
        "pushl %0\n\t"  // SetEvent's handle
        "pushl %2\n\t"  // SetEvent returns into CloseHandle
        "jmp *%1\n\t"
        :
        : "r"(left), "r"(kernel.set_event), "r"(kernel.close_handle), "r"(kernel.exit_thread)
        : "memory");
    __builtin_unreachable();
  }
#else
  (void)kernel;
#endif
  // Otherwise the thread runs a few instructions of ours after the signal.
  SetEvent(left);
  CloseHandle(left);
  ExitThread(0);
}

DWORD WINAPI ThreadTrampoline(void* arg) {
  HANDLE left;
  const KernelExit* kernel;
  {
    std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(arg));
    t_thread_id = start->id;
    left = start->left;
    kernel = start->kernel;
    start->body();
  }
  LeaveModule(left, *kernel);
}

// The cut-off gives a thread up: it is left running, never terminated.
// TerminateThread would stop it wherever it is, perhaps holding the process
// heap's lock or one of the host's, and the whole host could then hang.
class WindowsThread final : public Thread {
 public:
  WindowsThread(HANDLE thread, HANDLE left, uint32_t id) : thread_(thread), left_(left), id_(id) {}
  ~WindowsThread() override { Release(); }
  uint32_t Id() const override { return id_; }
  void Join() override {
    if (thread_ == nullptr) return;
    WaitForSingleObject(left_, INFINITE);
    Release();
  }
  void CutOff() override {
    if (thread_ == nullptr) return;
    // The thread may still come back into this module's code.
    PinModuleOf(reinterpret_cast<const void*>(&ThreadTrampoline));
    Release();
  }

 private:
  void Release() {
    if (thread_ == nullptr) return;
    CloseHandle(thread_);
    CloseHandle(left_);
    thread_ = nullptr;
    left_ = nullptr;
  }

  HANDLE thread_;
  HANDLE left_;
  uint32_t id_;
};

}  // namespace

uint32_t CurrentThreadId() {
  if (t_thread_id == 0) t_thread_id = g_next_thread_id.fetch_add(1);
  return t_thread_id;
}

std::unique_ptr<Thread> Thread::Start(std::function<void()> body) {
  HANDLE left = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (left == nullptr) return nullptr;
  HANDLE thread_left = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), left, GetCurrentProcess(), &thread_left, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    CloseHandle(left);
    return nullptr;
  }
  static const KernelExit kernel = LookUpKernelExit();
  const uint32_t id = g_next_thread_id.fetch_add(1);
  auto* start = new ThreadStart{std::move(body), id, thread_left, &kernel};
  HANDLE thread = CreateThread(nullptr, 0, ThreadTrampoline, start, 0, nullptr);
  if (thread == nullptr) {
    delete start;
    CloseHandle(thread_left);
    CloseHandle(left);
    return nullptr;
  }
  return std::make_unique<WindowsThread>(thread, left, id);
}

void SleepMs(uint32_t ms) { Sleep(ms); }

// ------------------------------------------------------- guarded calls
//
// A frame-based handler: GuardedCall puts an exception registration on the
// thread's own handler chain for the length of the call, as __try/__except
// would. It sees exactly the structured exceptions the provider left
// unhandled (a provider's own handlers, and the system's, come first),
// only on the calling thread and only during the call. The handler unwinds
// the frames above it (running their termination handlers), takes its
// registration off the chain and jumps back into GuardedCall.

namespace {

struct GuardFrame {
  // The registration record as the system walks it: next, then handler.
  GuardFrame* next;
  void* handler;
  void* jump[5];  // for __builtin_setjmp / __builtin_longjmp
  DWORD code;     // the exception caught
};

// The code of the system's C++ exception (what a C++ runtime built for
// Windows raises for a throw).
constexpr DWORD kCxxExceptionCode = 0xE06D7363u;

GuardFrame* ChainHead() {
  GuardFrame* head;
  __asm__ volatile("movl %%fs:0, %0" : "=r"(head));
  return head;
}

void SetChainHead(GuardFrame* head) {
  __asm__ volatile("movl %0, %%fs:0" : : "r"(head) : "memory");
}

extern "C" EXCEPTION_DISPOSITION __cdecl GuardHandler(EXCEPTION_RECORD* record, void* establisher,
                                                      CONTEXT* /*context*/, void* /*dispatcher*/) {
  if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) {
    return ExceptionContinueSearch;
  }
  auto* frame = static_cast<GuardFrame*>(establisher);
  frame->code = record->ExceptionCode;
  RtlUnwind(frame, nullptr, record, nullptr);  // pops everything above ours
  SetChainHead(frame->next);
  __builtin_longjmp(frame->jump, 1);
}

}  // namespace

CallOutcome GuardedCall(void (*call)(void*), void* arg) {
  GuardFrame frame;
  frame.handler = reinterpret_cast<void*>(&GuardHandler);
  frame.code = 0;
  volatile CallOutcome outcome = CallOutcome::kReturned;
  if (__builtin_setjmp(frame.jump) == 0) {
    frame.next = ChainHead();
    SetChainHead(&frame);
    try {
      call(arg);
    } catch (...) {
      outcome = CallOutcome::kThrew;
    }
    SetChainHead(frame.next);
  } else {
    // Back from the handler, which took the registration off.
    outcome = frame.code == kCxxExceptionCode ? CallOutcome::kThrew : CallOutcome::kFaulted;
  }
  return outcome;
}

// ------------------------------------------------------------------ files

File::~File() {
  if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

std::unique_ptr<File> File::Create(const char* path, Mode mode) {
  if (path == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  // A symbolic link (a reparse point) at the path is refused, not
  // followed; one made after this look is opened as itself, not followed.
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    SetLastError(ERROR_CANT_ACCESS_FILE);
    return nullptr;
  }
  HANDLE handle =
      CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                  mode == Mode::kNew ? CREATE_NEW : CREATE_ALWAYS,
                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  return std::unique_ptr<File>(new File(reinterpret_cast<intptr_t>(handle)));
}

bool File::ErrorIsExists(int32_t error) {
  return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
}

bool File::Write(const void* data, uint32_t size, uint32_t* written) {
  uint32_t total = 0;
  const char* bytes = static_cast<const char*>(data);
  while (total < size) {
    DWORD n = 0;
    if (!::WriteFile(reinterpret_cast<HANDLE>(handle_), bytes + total, size - total, &n, nullptr)) {
      if (written != nullptr) *written = total;
      return false;
    }
    if (n == 0) break;  // nothing more fits: a short write
    total += n;
  }
  if (written != nullptr) *written = total;
  return true;
}

bool File::Close() {
  if (handle_ == -1) return true;
  const BOOL ok = CloseHandle(reinterpret_cast<HANDLE>(handle_));
  handle_ = -1;
  return ok != 0;
}

bool IsTerminal(int stream) { return _isatty(stream) != 0; }

int32_t LastError() { return static_cast<int32_t>(GetLastError()); }

uint32_t GetCurrentDirectory(char* buf, uint32_t size) {
  if (buf == nullptr || size == 0) return 0;
  const DWORD n = GetCurrentDirectoryA(size, buf);
  // A result of size or more is the size needed: the buffer is too small.
  if (n == 0 || n >= size) {
    buf[0] = '\0';
    return 0;
  }
  return n;
}

int32_t FileAccess(const char* path) {
  if (path == nullptr) return EINVAL;
  if (_access(path, 0) != 0) return errno;
  if (_access(path, 4) != 0) return errno;
  return 0;
}

// --------------------------------------------------------- random numbers

// The C runtime's own generator (its state is kept per thread).
void SeedRandom(uint32_t seed) { srand(seed); }
int32_t Random() { return rand(); }

// ----------------------------------------------------------------- pages

// Committed pages are demand-zero: no memory is taken until one is written.
void* AllocatePages(size_t size) {
  return VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void* ResizePages(void* block, size_t old_size, size_t new_size) {
  void* moved = AllocatePages(new_size);
  if (moved == nullptr) return nullptr;
  memcpy(moved, block, old_size < new_size ? old_size : new_size);
  FreePages(block, old_size);
  return moved;
}

void FreePages(void* block, size_t) { VirtualFree(block, 0, MEM_RELEASE); }

// ------------------------------------------------------------- processes

bool ProcessExists(uint32_t pid) {
  if (pid == 0) return false;
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (process == nullptr) return GetLastError() == ERROR_ACCESS_DENIED;
  const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  CloseHandle(process);
  return running;
}

void KillThisProcess() {
  TerminateProcess(GetCurrentProcess(), 137);
  ExitProcess(137);  // not reached
}

std::string HostName() {
  char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = sizeof name;
  if (!GetComputerNameA(name, &size)) return "";
  return std::string(name, size);
}

uint32_t ProcessId() { return static_cast<uint32_t>(GetCurrentProcessId()); }

uint32_t CurrentUserId() { return 0; }

std::string ProgramPath() {
  char path[MAX_PATH + 1];
  const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  if (n == 0 || n >= sizeof path) return "";
  return std::string(path, n);
}

}  // namespace vel::os
