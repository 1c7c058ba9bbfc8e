// The operating-system layer. Every call the project makes to the operating
// system goes through this header or, for the mail providers, file_system.h
// and sockets.h; platform_posix.cc, platform_windows.cc, file_system_posix.cc
// and sockets_posix.cc are the only files that include OS headers.
//
// The calls mirror the Windows facilities the library was designed
// against, so that both implementations give the same observable results.
#ifndef VEL_PLATFORM_H
#define VEL_PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// Clang's thread-safety analysis (-Wthread-safety): which lock guards
// which data. Nothing with other compilers.
#if defined(__clang__)
#define VEL_TSA(x) __attribute__((x))
#else
#define VEL_TSA(x)
#endif
#define VEL_CAPABILITY(name) VEL_TSA(capability(name))
#define VEL_SCOPED_CAPABILITY VEL_TSA(scoped_lockable)
#define VEL_GUARDED_BY(lock) VEL_TSA(guarded_by(lock))
#define VEL_ACQUIRE(...) VEL_TSA(acquire_capability(__VA_ARGS__))
#define VEL_RELEASE(...) VEL_TSA(release_capability(__VA_ARGS__))
#define VEL_REQUIRES(...) VEL_TSA(requires_capability(__VA_ARGS__))
#define VEL_PT_GUARDED_BY(lock) VEL_TSA(pt_guarded_by(lock))
#define VEL_TRY_ACQUIRE(...) VEL_TSA(try_acquire_capability(__VA_ARGS__))
#define VEL_EXCLUDES(...) VEL_TSA(locks_excluded(__VA_ARGS__))
#define VEL_ASSERT_CAPABILITY(x) VEL_TSA(assert_capability(x))
#define VEL_RETURN_CAPABILITY(x) VEL_TSA(lock_returned(x))
#define VEL_ACQUIRE_SHARED(...) VEL_TSA(acquire_shared_capability(__VA_ARGS__))
#define VEL_RELEASE_SHARED(...) VEL_TSA(release_shared_capability(__VA_ARGS__))
#define VEL_NO_THREAD_SAFETY_ANALYSIS VEL_TSA(no_thread_safety_analysis)

namespace vel::os {

// ---------------------------------------------------------------- modules

// Opaque handle of a loaded module.
using Module = void*;

// The file a module name stands for. A name containing '/' is a path, and a
// name ending in ".so" or ".so." and a version ("libvelnet.so",
// "libvelnet.so.1") is a file name: either is used as it is. Otherwise a
// trailing ".dll" (any case) is removed, the rest is lower-cased and the
// file is "lib" + rest + ".so" ("velmsgs" -> "libvelmsgs.so", "MAPI32.DLL"
// -> "libmapi32.so"). On Windows the name is returned unchanged.
std::string ModuleFileName(const std::string& name);

// Finds a module that is already loaded in the process, without taking a
// reference on it. Null when it is not loaded.
Module FindLoadedModule(const char* name);

// Loads a module (taking a reference). Null on failure.
Module LoadModule(const char* name);

// Address of an exported symbol, or null.
void* ModuleSymbol(Module module, const char* symbol);

// Drops a reference taken by LoadModule.
void FreeModule(Module module);

// Keeps the module that contains address mapped for the life of the
// process, whatever references are dropped later. Used when a thread that
// was given up may still be running code in it.
void PinModuleOf(const void* address);

// The last loader error as text, for diagnostics (empty when none).
std::string ModuleError();

// Whether the system's loader itself calls a module's DllMain when the
// module is loaded and unloaded (Windows; a DllMain that fails the attach
// then fails LoadModule). Where it does not (POSIX), whoever loads a module
// calls DllMain.
bool LoaderCallsEntryPoint();

// ---------------------------------------------------------------- profile

// Reads key from section of the user profile (win.ini). Section and key
// match without regard to case. Copies the value, or the default when the
// key is absent, into buf (at most size - 1 characters, always terminated)
// and returns the number of characters copied, without the terminator.
uint32_t GetProfileString(const char* section, const char* key, const char* fallback, char* buf,
                          uint32_t size);

// ------------------------------------------------------------ environment

// Copies the value of an environment variable into buf. Returns the length
// of the value when it fits (buf then terminated), the size needed
// (including the terminator) when it does not (buf untouched), and 0 when
// the variable is not set.
uint32_t GetEnvironmentVariable(const char* name, char* buf, uint32_t size);

// Sets (value not null) or removes (value null) an environment variable.
bool SetEnvironmentVariable(const char* name, const char* value);

// ------------------------------------------------------ synchronisation

// An auto-reset event: Set() lets exactly one Wait() through; a Set() with
// nobody waiting stays signalled until the next Wait().
// A hand-over between two threads that answer each other in microseconds
// (the mail worker and its requester) should not cost two sleeps and two
// wake-ups in the kernel, so Wait() first watches the event for a short,
// bounded time (kSpinMicroseconds, pausing the CPU between looks) and
// only then blocks; Set() wakes the kernel only when a waiter is asleep.
// Each Wait() that is not answered at once therefore costs at most that
// much CPU time before it sleeps.
class Event {
 public:
  Event();
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set();
  // Waits at most timeout_ms milliseconds; kInfinite waits without limit.
  // Returns true when signalled, false when the time ran out.
  bool Wait(uint32_t timeout_ms);

  static constexpr uint32_t kInfinite = 0xFFFFFFFFu;
  // How long Wait() watches before it blocks.
  static constexpr uint32_t kSpinMicroseconds = 50;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// A recursive-free mutual exclusion lock (a critical section).
class VEL_CAPABILITY("mutex") CriticalSection {
 public:
  CriticalSection();
  ~CriticalSection();
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

  void Enter() VEL_ACQUIRE();
  void Leave() VEL_RELEASE();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Holds a critical section for the life of a scope.
class VEL_SCOPED_CAPABILITY CriticalSectionLock {
 public:
  explicit CriticalSectionLock(CriticalSection& cs) VEL_ACQUIRE(cs) : cs_(cs) { cs_.Enter(); }
  ~CriticalSectionLock() VEL_RELEASE() { cs_.Leave(); }
  CriticalSectionLock(const CriticalSectionLock&) = delete;
  CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

 private:
  CriticalSection& cs_;
};

// ---------------------------------------------------------------- threads

// A thread started by the library. Destroying the object without Join() or
// CutOff() detaches the thread.
class Thread {
 public:
  // Starts body on a new thread at once. Null when no thread could be made.
  static std::unique_ptr<Thread> Start(std::function<void()> body);

  virtual ~Thread() = default;

  // A process-unique number, never 0.
  virtual uint32_t Id() const = 0;

  // Waits for the thread to end.
  virtual void Join() = 0;

  // Gives up a thread that does not come back (a hung provider): it is
  // detached and never waited for again. It is not cancelled, killed or
  // unwound: it may be inside code that was not written to be stopped
  // (a noexcept function, a lock of the runtime's heap), and stopping it
  // there could end or hang the whole process. It runs on until its call
  // comes back, if ever, and then ends by itself. What that costs: its
  // stack and whatever the hung call holds stay taken for as long as it
  // hangs, and the module holding the thread's code stays mapped for the
  // life of the process, since the thread may still return into it.
  virtual void CutOff() = 0;
};

// A process-unique number for the calling thread, never 0.
uint32_t CurrentThreadId();

// Sleeps the calling thread.
void SleepMs(uint32_t ms);

// ------------------------------------------------------- guarded calls

enum class CallOutcome {
  kReturned,  // the call came back normally
  kFaulted,   // it raised an access violation, bus error, arithmetic or
              // illegal-instruction fault (on Windows: any structured
              // exception it left unhandled)
  kThrew      // a C++ exception left it (on Windows also the system's C++
              // exception, code 0xE06D7363)
};

// Runs call(arg) on the calling thread with hardware faults and C++
// exceptions caught. Faults raised outside a guarded call, or on other
// threads, reach whatever handled them before.
CallOutcome GuardedCall(void (*call)(void*), void* arg);

// ------------------------------------------------------------------ files

// A file opened for writing, shared for reading and writing. It is never
// reached through a symbolic link (a link at the path makes the open fail),
// and a file it creates is readable and writable by its owner only.
class File {
 public:
  ~File();
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  enum class Mode {
    kReplace,  // created, or an existing file emptied
    kNew       // created; fails ("file exists") when the path is taken
  };

  // Null on failure; LastError() then tells why ("file exists" for kNew on
  // a taken path, "too many levels of symbolic links" for a link).
  static std::unique_ptr<File> Create(const char* path, Mode mode = Mode::kReplace);

  // Whether LastError()'s code means that the path was taken.
  static bool ErrorIsExists(int32_t error);

  // Writes size bytes; returns true when the call succeeded, with the number
  // of bytes actually written in *written.
  bool Write(const void* data, uint32_t size, uint32_t* written);

  // Closes the file; false when closing failed.
  bool Close();

 private:
  explicit File(intptr_t handle) : handle_(handle) {}
  intptr_t handle_;
};

// Whether a standard stream (0 input, 1 output, 2 error) is a terminal.
bool IsTerminal(int stream);

// The error code of the calling thread's last failed call (errno on POSIX,
// GetLastError on Windows).
int32_t LastError();

// Copies the current directory into buf (terminated). Returns its length,
// or 0 on failure.
uint32_t GetCurrentDirectory(char* buf, uint32_t size);

// The runtime's file-access test: 0 when the file exists and is readable;
// otherwise the error code (not found, or access denied).
int32_t FileAccess(const char* path);

// --------------------------------------------------------- random numbers

// The runtime's pseudo-random generator, the same on every system: the
// state is the seed; each draw sets state = state * 214013 + 2531011
// (mod 2^32) and yields (state >> 16) & 0x7FFF. One state for the process.
void SeedRandom(uint32_t seed);
int32_t Random();

// ----------------------------------------------------------------- pages

// Whole pages straight from the system, for large blocks. They read as
// zero and take no memory until written, and FreePages hands them back to
// the system at once, where a large block freed to the heap may stay with
// the process. Null when no memory is left.
void* AllocatePages(size_t size);
// Resizes a block from AllocatePages of old_size bytes to new_size,
// perhaps moving it; its first min(old_size, new_size) bytes are kept, and
// growing does not copy where the system can move the pages instead. Null
// when no memory is left: the block is then untouched.
void* ResizePages(void* block, size_t old_size, size_t new_size);
// Gives a block from AllocatePages or ResizePages (of size bytes) back.
void FreePages(void* block, size_t size);

// ------------------------------------------------------------- processes

// Whether a process with this id exists.
bool ProcessExists(uint32_t pid);

// Ends the calling process at once, as a kill from outside would: no
// handler, no destructor, no buffer flushed. Only for tests of what a
// crash leaves behind.
[[noreturn]] void KillThisProcess();

// The machine's host name (empty when it cannot be obtained).
std::string HostName();

// The calling process's id.
uint32_t ProcessId();

// The absolute path of the running program's file; empty when it cannot be
// told.
std::string ProgramPath();

// The user the process acts as (its effective user id); 0 on Windows,
// which has no user ids.
uint32_t CurrentUserId();

}  // namespace vel::os

#endif
