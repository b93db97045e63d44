#include "platform/process_wide.h"

namespace vyra {

namespace {
// Constant-initialised, so it is there before the first object and after the last.
std::atomic<ProcessWideBase*> g_newest{nullptr};
}  // namespace

void ProcessWideBase::Register() noexcept {
  ProcessWideBase* head = g_newest.load(std::memory_order_relaxed);
  do {
    next_ = head;
  } while (!g_newest.compare_exchange_weak(head, this, std::memory_order_release, std::memory_order_relaxed));
}

void DestroyProcessWideObjects() noexcept {
  for (ProcessWideBase* p = g_newest.exchange(nullptr, std::memory_order_acquire); p;) {
    ProcessWideBase* next = p->next_;
    p->DestroyObject();
    p = next;
  }
}

}  // namespace vyra
