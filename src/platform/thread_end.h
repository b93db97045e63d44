#pragma once
// How a reader thread ends while the module is unloaded under the Windows loader lock.
//
// FreeLibrary without CloseAll runs the CloseAll body from DllMain, loader lock held. A
// thread that returns from its procedure takes that lock on its way out (thread-detach
// notifications), so joining it there deadlocks; and code of this module that a reader runs
// after it was seen to end can be unmapped under it. So in that one case a stopped reader
// does not return: in one call (SignalObjectAndWait) it tells that it has left its loop and
// parks in the kernel on a gate that never opens, holding no lock and with none of our code
// left to run. The unloading thread then ends it with TerminateThread, which sends no
// notifications and so needs no loader lock, and waits for its handle. A reader whose thread
// had already ended is seen by its handle; one that does neither in time (inside a host
// callback, or itself waiting for the loader lock) is left running, and the module is kept
// mapped for it. Everywhere else (CloseAll, Close, the destructor, POSIX) readers return and
// are joined as usual.
#include <atomic>
#include <cstdint>

namespace vyra::plat {

// Set by the unload hook before it stops any reader; never cleared (the module is going).
void BeginLoaderLockUnload() noexcept;
bool InLoaderLockUnload() noexcept;
// Keeps this module mapped until the process ends: a reader that was left running still
// executes its code.
void KeepModuleLoaded() noexcept;

class ThreadEnd {
 public:
  ThreadEnd();
  ~ThreadEnd();
  ThreadEnd(const ThreadEnd&) = delete;
  ThreadEnd& operator=(const ThreadEnd&) = delete;

  bool Valid() const;  // false when its OS objects could not be made
  // On the reader thread, before anything else: lets the unloading thread see it end.
  void Enter() noexcept;
  // On the reader thread: signals Parked and never returns.
  [[noreturn]] void Park() noexcept;
  // On the unloading thread: waits at most waitMs for the reader to park (it is then ended)
  // or for its thread to have ended; false when it still runs.
  bool EndForUnload(int waitMs) noexcept;

 private:
  intptr_t parked_ = 0;
  intptr_t gate_ = 0;
  std::atomic<intptr_t> thread_{0};  // written by Enter
  bool gateInUse_ = false;           // a parked thread that could not be ended waits on it
};

}  // namespace vyra::plat
