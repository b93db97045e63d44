#include <windows.h>

#include <atomic>

#include "platform/thread_end.h"

namespace vyra::plat {

namespace {
std::atomic<bool> g_loaderLockUnload{false};
}  // namespace

void BeginLoaderLockUnload() noexcept { g_loaderLockUnload.store(true); }
bool InLoaderLockUnload() noexcept { return g_loaderLockUnload.load(); }

ThreadEnd::ThreadEnd()
    : parked_(reinterpret_cast<intptr_t>(CreateEventW(nullptr, TRUE, FALSE, nullptr))),
      gate_(reinterpret_cast<intptr_t>(CreateEventW(nullptr, TRUE, FALSE, nullptr))) {}

ThreadEnd::~ThreadEnd() {
  if (parked_) CloseHandle(reinterpret_cast<HANDLE>(parked_));
  // A parked thread that could not be ended still waits on the gate: it stays open.
  if (gate_ && !(WaitForSingleObject(reinterpret_cast<HANDLE>(parked_), 0) == WAIT_OBJECT_0 && !thread_))
    CloseHandle(reinterpret_cast<HANDLE>(gate_));
  if (thread_) CloseHandle(reinterpret_cast<HANDLE>(thread_));
}

bool ThreadEnd::Valid() const { return parked_ && gate_; }

void ThreadEnd::Park() noexcept {
  HANDLE self = nullptr;
  if (DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self, 0, FALSE,
                      DUPLICATE_SAME_ACCESS))
    thread_ = reinterpret_cast<intptr_t>(self);
  SignalObjectAndWait(reinterpret_cast<HANDLE>(parked_), reinterpret_cast<HANDLE>(gate_), INFINITE, FALSE);
  for (;;) Sleep(INFINITE);  // only if the gate itself failed
}

bool ThreadEnd::EndParked(int waitMs) noexcept {
  if (WaitForSingleObject(reinterpret_cast<HANDLE>(parked_), static_cast<DWORD>(waitMs)) != WAIT_OBJECT_0) return false;
  if (!thread_) return true;  // cannot be ended: it stays parked, harmless, until the process ends
  HANDLE thread = reinterpret_cast<HANDLE>(thread_);
  TerminateThread(thread, 0);
  WaitForSingleObject(thread, 1000);
  return true;
}

}  // namespace vyra::plat
