#include <windows.h>

#include <atomic>

#include "platform/thread_end.h"

namespace vyra::plat {

namespace {
std::atomic<bool> g_loaderLockUnload{false};
HANDLE H(intptr_t h) { return reinterpret_cast<HANDLE>(h); }
}  // namespace

void BeginLoaderLockUnload() noexcept { g_loaderLockUnload.store(true); }
bool InLoaderLockUnload() noexcept { return g_loaderLockUnload.load(); }

void KeepModuleLoaded() noexcept {
  HMODULE self = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                     reinterpret_cast<LPCWSTR>(&KeepModuleLoaded), &self);
}

ThreadEnd::ThreadEnd()
    : parked_(reinterpret_cast<intptr_t>(CreateEventW(nullptr, TRUE, FALSE, nullptr))),
      gate_(reinterpret_cast<intptr_t>(CreateEventW(nullptr, TRUE, FALSE, nullptr))) {}

ThreadEnd::~ThreadEnd() {
  // Decided before any handle goes: a closed handle's value may already name another
  // thread's object.
  if (gate_ && !gateInUse_) CloseHandle(H(gate_));
  if (parked_) CloseHandle(H(parked_));
  if (intptr_t thread = thread_.load()) CloseHandle(H(thread));
}

bool ThreadEnd::Valid() const { return parked_ && gate_; }

void ThreadEnd::Enter() noexcept {
  HANDLE self = nullptr;
  if (DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self, 0, FALSE,
                      DUPLICATE_SAME_ACCESS))
    thread_.store(reinterpret_cast<intptr_t>(self));
}

void ThreadEnd::Park() noexcept {
  SignalObjectAndWait(H(parked_), H(gate_), INFINITE, FALSE);
  for (;;) Sleep(INFINITE);  // only if the gate itself failed
}

bool ThreadEnd::EndForUnload(int waitMs) noexcept {
  // Enter comes before the reader can test for the unload, so a reader that returned
  // instead of parking has published its handle by now; one that has not entered yet will
  // park.
  const HANDLE thread = H(thread_.load());
  const HANDLE both[2] = {H(parked_), thread};
  const DWORD waited = WaitForMultipleObjects(thread ? 2 : 1, both, FALSE, static_cast<DWORD>(waitMs < 0 ? 0 : waitMs));
  if (waited == WAIT_OBJECT_0 + 1) return true;  // its thread has ended
  if (waited != WAIT_OBJECT_0) return false;
  if (!thread) {
    gateInUse_ = true;  // cannot be ended: it stays parked, harmless, until the process ends
    return true;
  }
  TerminateThread(thread, 0);
  WaitForSingleObject(thread, 1000);
  return true;
}

}  // namespace vyra::plat
