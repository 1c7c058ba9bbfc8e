// The operating-system layer. Every call the project makes to the operating
// system goes through this header; platform_posix.cc and
// platform_windows.cc are the only files that include OS headers.
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

namespace vel::os {

// ---------------------------------------------------------------- modules

// Opaque handle of a loaded module.
using Module = void*;

// The file a module name stands for. A name containing '/' is a path and is
// used as it is. Otherwise a trailing ".dll" (any case) is removed, the rest
// is lower-cased and the file is "lib" + rest + ".so" ("velmsgs" ->
// "libvelmsgs.so", "MAPI32.DLL" -> "libmapi32.so"). On Windows the name is
// returned unchanged.
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

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// A recursive-free mutual exclusion lock (a critical section).
class CriticalSection {
 public:
  CriticalSection();
  ~CriticalSection();
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

  void Enter();
  void Leave();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Holds a critical section for the life of a scope.
class CriticalSectionLock {
 public:
  explicit CriticalSectionLock(CriticalSection& cs) : cs_(cs) { cs_.Enter(); }
  ~CriticalSectionLock() { cs_.Leave(); }
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
  // detached and never waited for again, and asked to end at the next point
  // where it may be cancelled (only inside GuardedCall). The module holding
  // the thread's code stays mapped for the life of the process, since the
  // thread may still return into it.
  virtual void CutOff() = 0;

  // Whether CutOff() cancels the thread. Builds under the sanitizers do not
  // (they misreport the unwinding): there a thread given up ends only when
  // its call comes back.
  static bool CutOffCancels();
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
// exceptions caught. Only during this call may a thread given up with
// Thread::CutOff() be ended. Faults raised outside a guarded call, or on
// other threads, reach whatever handled them before.
CallOutcome GuardedCall(void (*call)(void*), void* arg);

// ------------------------------------------------------------------ files

// A file opened for writing: created anew (an existing one is truncated),
// shared for reading and writing.
class File {
 public:
  ~File();
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Null on failure; LastError() then tells why.
  static std::unique_ptr<File> Create(const char* path);

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

// ------------------------------------------------------ mail store support

// Writes size bytes to a new file at path, which must not exist yet
// (created exclusively, permissions 0600), and flushes its data to disk
// before closing it. On failure nothing is left at path and false is
// returned; LastError() then tells why (for example "file exists" or
// "no space left on device").
bool WriteNewFileDurably(const char* path, const void* data, size_t size);

// Flushes a directory's entries to disk, so that files created in it or
// renamed into it survive a crash. False on failure (LastError() tells why).
bool SyncDirectory(const char* path);

// The machine's host name (empty when it cannot be obtained).
std::string HostName();

// The calling process's id.
uint32_t ProcessId();

}  // namespace vel::os

#endif
