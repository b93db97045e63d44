#include "framework/framework.h"

#include <windows.h>
#include <ole2.h>
#include <shlwapi.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "framework/exceptions.h"
#include "framework/host_os.h"
#include "platform/thread_end.h"

namespace vyra {

namespace {

constexpr DWORD kAnyContext = 0x17;  // inproc server and handler, local and remote server

const GUID& AsGuid(const Guid& g) {
  static_assert(sizeof(Guid) == sizeof(GUID));
  return *reinterpret_cast<const GUID*>(&g);
}

// The critical section around the first request for the log object. Never deleted, so a
// late log entry during unload finds it intact.
CRITICAL_SECTION& ObjectLock() {
  static CRITICAL_SECTION* cs = [] {
    alignas(CRITICAL_SECTION) static unsigned char storage[sizeof(CRITICAL_SECTION)];
    auto* c = reinterpret_cast<CRITICAL_SECTION*>(storage);
    InitializeCriticalSectionAndSpinCount(c, 4000);
    return c;
  }();
  return *cs;
}

class ObjectLockGuard {
 public:
  ObjectLockGuard() { EnterCriticalSection(&ObjectLock()); }
  ~ObjectLockGuard() { LeaveCriticalSection(&ObjectLock()); }
  ObjectLockGuard(const ObjectLockGuard&) = delete;
  ObjectLockGuard& operator=(const ObjectLockGuard&) = delete;
};

std::atomic<IFrameworkLog*> g_logObject{nullptr};
std::atomic<bool> g_unloading{false};

// Pending report of a framework that could not be loaded.
std::atomic<bool> g_failureRecorded{false};
std::atomic<bool> g_failureReported{false};
wchar_t g_failureText[512];

bool ProcessIsEnding() {
  using Fn = BOOLEAN(NTAPI*)();
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  auto fn = ntdll ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlDllShutdownInProgress")))
                  : nullptr;
  return fn && fn();
}

// What the plug-in set up for the framework; undone when the plug-in is unloaded.
struct FrameworkHolder {
  HMODULE module = nullptr;
  DWORD cookie = 0;
  bool oleInitialised = false;
  DWORD oleThread = 0;
  bool oleTried = false;
  bool loadTried = false;

  ~FrameworkHolder() {
    g_unloading.store(true);
    g_logObject.store(nullptr);
    // At process exit the framework and COM are being torn down by the system already.
    if (ProcessIsEnding()) return;
    if (cookie != 0) CoRevokeClassObject(cookie);
    if (module) FreeLibrary(module);
    // OLE is uninitialised only on the thread that initialised it; on any other thread the
    // call would take away a reference the host owns.
    if (oleInitialised && GetCurrentThreadId() == oleThread) OleUninitialize();
  }
};

FrameworkHolder& Holder() {
  static FrameworkHolder holder;
  return holder;
}

void RecordLoadFailure(const std::wstring& path) {
  if (g_failureRecorded.exchange(true)) return;
  std::wstring text = L"Vellum failed to load " + path;
  size_t n = text.size() < 511 ? text.size() : 511;
  std::memcpy(g_failureText, text.data(), n * sizeof(wchar_t));
  g_failureText[n] = 0;
}

std::wstring FrameworkPath() {
  wchar_t exe[MAX_PATH] = {};
  DWORD n = GetModuleFileNameW(nullptr, exe, MAX_PATH);
  std::wstring path(exe, n < MAX_PATH ? n : MAX_PATH - 1);
  size_t slash = path.find_last_of(L"\\/");
  path.erase(slash == std::wstring::npos ? 0 : slash + 1);
  path += L"Rop.dll";
  wchar_t canonical[MAX_PATH] = {};
  if (path.size() < MAX_PATH && PathCanonicalizeW(canonical, path.c_str())) return canonical;
  return path;
}

}  // namespace

bool EnsureFramework() {
  ObjectLockGuard lock;
  IUnknown* unknown = nullptr;
  if (SUCCEEDED(CoGetClassObject(AsGuid(kCLSID_Framework), kAnyContext, nullptr, AsGuid(kIID_IUnknown),
                                 reinterpret_cast<void**>(&unknown))) &&
      unknown) {
    unknown->Release();
    return true;
  }
  FrameworkHolder& h = Holder();
  if (!h.oleTried) {
    h.oleTried = true;
    HRESULT hr = OleInitialize(nullptr);
    if (hr == S_OK || hr == S_FALSE) {
      // S_FALSE: OLE was already up on this thread; the reference taken is still ours.
      h.oleInitialised = true;
      h.oleThread = GetCurrentThreadId();
    } else if (hr != RPC_E_CHANGED_MODE) {
      // RPC_E_CHANGED_MODE: the thread already runs COM in the other apartment model,
      // which serves in-process class objects just as well.
      h.oleTried = false;
      throw XBVL(hr);
    }
  }
  if (h.loadTried) return h.cookie != 0;
  h.loadTried = true;

  std::wstring path = FrameworkPath();
  if (h.module) FreeLibrary(h.module);
  h.module = LoadLibraryW(path.c_str());
  using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
  auto getClassObject =
      h.module ? reinterpret_cast<GetClassObjectFn>(reinterpret_cast<void*>(GetProcAddress(h.module, "DllGetClassObject")))
               : nullptr;
  if (!getClassObject) {
    RecordLoadFailure(path);
    return false;
  }
  IUnknown* object = nullptr;
  HRESULT hr = getClassObject(AsGuid(kCLSID_Framework), AsGuid(kIID_IUnknown), reinterpret_cast<void**>(&object));
  if (FAILED(hr) || !object) throw XHResult(FAILED(hr) ? hr : E_POINTER);
  DWORD cookie = 0;
  hr = CoRegisterClassObject(AsGuid(kCLSID_Framework), object, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie);
  object->Release();
  if (FAILED(hr)) throw XHResult(hr);
  h.cookie = cookie;
  return true;
}

IFrameworkLog* FrameworkClassObject() {
  if (g_unloading.load(std::memory_order_acquire)) return nullptr;
  if (IFrameworkLog* p = g_logObject.load(std::memory_order_acquire)) return p;
  ObjectLockGuard lock;
  if (!g_logObject.load(std::memory_order_relaxed) && !g_unloading.load()) {
    void* p = nullptr;
    HRESULT hr = CoGetClassObject(AsGuid(kCLSID_FrameworkLog), kAnyContext, nullptr, AsGuid(kIID_IFrameworkLog), &p);
    if (FAILED(hr) || !p) {
      p = nullptr;
      EnsureFramework();
      hr = CoGetClassObject(AsGuid(kCLSID_FrameworkLog), kAnyContext, nullptr, AsGuid(kIID_IFrameworkLog), &p);
    }
    if (SUCCEEDED(hr) && p) {
      auto* log = static_cast<IFrameworkLog*>(p);
      log->Release();  // the class registration keeps it alive
      g_logObject.store(log, std::memory_order_release);
    }
  }
  return g_logObject.load(std::memory_order_acquire);
}

namespace {

DWORD WINAPI ShowFrameworkFailure(void* module) {
  std::u16string text(reinterpret_cast<const char16_t*>(g_failureText));
  ShowUserMessage(text, u"Vellum load failed", MessageKind::Ok);
  FreeLibraryAndExitThread(static_cast<HMODULE>(module), 0);
}

}  // namespace

void ReportFrameworkFailure() noexcept {
  if (!g_failureRecorded.load()) return;
  if (plat::InLoaderLockUnload()) return;  // the module is going; no new thread for it
  if (g_failureReported.exchange(true)) return;
  // The box waits for the user, and the first entry may come from a device's reader thread,
  // whose bytes would pile up meanwhile: it is shown on a thread of its own. That thread
  // holds a reference to this module while the box is up and gives it back as it ends
  // (FreeLibraryAndExitThread), so an unload meanwhile cannot take the code from under it.
  HMODULE self = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&ShowFrameworkFailure),
                          &self)) {
    g_failureReported.store(false);  // a later entry tries again
    return;
  }
  HANDLE thread = CreateThread(nullptr, 0, ShowFrameworkFailure, self, 0, nullptr);
  if (!thread) {
    FreeLibrary(self);
    g_failureReported.store(false);
    return;
  }
  CloseHandle(thread);
}

}  // namespace vyra
