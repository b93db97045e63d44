#pragma once
// Process-wide objects that static destruction never touches.
//
// A host may end without CloseAll. At process exit the C++ runtime destroys function-local
// statics (in the exit handlers) before the module's unload hook runs (from the dynamic
// loader's finalisation), while reader threads still use them; the hook then closed the
// devices over destroyed objects. So every process-wide object that the CloseAll body or a
// reader thread may use lives in a ProcessWide: built at first use, never destroyed by the
// runtime, and destroyed by the unload hook (DestroyProcessWideObjects) only after the
// devices are closed, newest first. A few hundred bytes leaked at exit buy an order that
// does not depend on which object happened to be built first.
#include <atomic>
#include <new>
#include <utility>

namespace vyra {

class ProcessWideBase {
 public:
  ProcessWideBase(const ProcessWideBase&) = delete;
  ProcessWideBase& operator=(const ProcessWideBase&) = delete;

 protected:
  ProcessWideBase() = default;
  ~ProcessWideBase() = default;  // never runs: see DestroyProcessWideObjects
  void Register() noexcept;

 private:
  friend void DestroyProcessWideObjects() noexcept;
  virtual void DestroyObject() noexcept = 0;
  ProcessWideBase* next_ = nullptr;
};

template <typename T>
class ProcessWide final : public ProcessWideBase {
 public:
  template <typename... Args>
  explicit ProcessWide(Args&&... args) {
    new (storage_) T(std::forward<Args>(args)...);
    Register();
  }
  T& Get() noexcept { return *std::launder(reinterpret_cast<T*>(storage_)); }

 private:
  void DestroyObject() noexcept override { Get().~T(); }
  alignas(T) unsigned char storage_[sizeof(T)];
};

// The unload hook's last step, after the CloseAll body: no device or reader is left, and no
// host call may come any more.
void DestroyProcessWideObjects() noexcept;

}  // namespace vyra
