// The plug-in's exported entry points: look the device up, forward, and keep every failure
// and exception on this side.
#include <atomic>
#include <cstdint>
#include <cstdlib>

#include "api/device_table.h"
#include "api/error_messages.h"
#include "discovery/discovery.h"
#include "framework/log.h"
#include "hostcmd/host_commands.h"
#include "platform/thread_end.h"
#include "device/dura_serial.h"
#include "platform/process_wide.h"
#include "support/hot_path.h"
#include "vyra/com.h"

#if defined(_WIN32)
#include <windows.h>
#define VYRA_EXPORT extern "C"
#else
#define VYRA_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

using vyra::DeviceAt;
using vyra::DuraSerial;

// {6E3A1C57-94B2-4F0D-A8E1-3B57C2D94F60}
constexpr vyra::Guid kClassId = {0x6E3A1C57, 0x94B2, 0x4F0D, {0xA8, 0xE1, 0x3B, 0x57, 0xC2, 0xD9, 0x4F, 0x60}};
constexpr char16_t kClassName[] = u"VYRA Monitor";

struct DeviceClassInfo {
  vyra::Guid classId;
  const char16_t* name;
  const char16_t* nameAgain;
};

int CloseAllBody() noexcept {
  try {
    vyra::DestroyAllDevices();
  } catch (...) {
  }
  try {
    vyra::DestroyDiscovery();
  } catch (...) {
  }
  return 1;
}

}  // namespace

VYRA_EXPORT int GetDeviceClassInfo(void* record) {
  if (!record) return 0;
  auto* info = static_cast<DeviceClassInfo*>(record);
  info->classId = kClassId;
  info->name = kClassName;
  info->nameAgain = kClassName;
  return 1;
}

VYRA_EXPORT int FindDevice(int* index, const char* hostText) {
  try {
    if (!hostText) return 0;
    std::unique_ptr<DuraSerial> device = vyra::FindNextDevice(hostText);
    if (!device) return 0;
    int found = vyra::AppendDevice(std::move(device));
    if (found < 0) return 0;
    if (index) *index = found;
    return 1;
  } catch (...) {
    return 0;
  }
}

VYRA_EXPORT int Initialise(int index) {
  try {
    DuraSerial* d = DeviceAt(index);
    if (!d) return 0;
    if (d->IsOpen()) {
      if (!d->deviceFailed) return 1;
      d->Close();
    }
    return d->Initialise() == vyra::kS_OK ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

VYRA_EXPORT int CloseAll() { return CloseAllBody(); }

VYRA_EXPORT int IsFailed(int index) {
  try {
    DuraSerial* d = DeviceAt(index);
    return (!d || d->deviceFailed) ? 1 : 0;
  } catch (...) {
    return 1;
  }
}

VYRA_EXPORT int CanUseBaudRate(int index, int rate) {
  try {
    DuraSerial* d = DeviceAt(index);
    return (d && d->CanUseBaudRate(rate)) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

VYRA_EXPORT int SetBaudRate(int index, int rate) {
  try {
    DuraSerial* d = DeviceAt(index);
    return (d && d->SetBaudRate(rate)) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

VYRA_EXPORT int GetBaudRate(int index) {
  try {
    DuraSerial* d = DeviceAt(index);
    return d ? d->GetBaudRate() : 0;
  } catch (...) {
    return 0;
  }
}

VYRA_EXPORT VYRA_HOT_PATH int ReadLine(int index, char* buffer, int size, int timeoutMs) {
  try {
    DuraSerial* d = DeviceAt(index);
    return (d && vyra::ReadLine(*d, buffer, size, timeoutMs)) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

// WriteBuffer, ReadBuffer and ReadBuffSize are three names of this one function.
VYRA_EXPORT int BufferNoOp() { return 0; }
#if !defined(_WIN32)
VYRA_EXPORT int WriteBuffer() __attribute__((alias("BufferNoOp")));
VYRA_EXPORT int ReadBuffer() __attribute__((alias("BufferNoOp")));
VYRA_EXPORT int ReadBuffSize() __attribute__((alias("BufferNoOp")));
#endif

VYRA_EXPORT void FlushReadBuffer(int index) {
  try {
    if (DuraSerial* d = DeviceAt(index)) vyra::DiscardSamples(*d);
  } catch (...) {
  }
}

VYRA_EXPORT int GetUniqueID(int index, int* value) {
  try {
    DuraSerial* d = DeviceAt(index);
    return (d && value && vyra::UniqueId(*d, reinterpret_cast<int32_t*>(value))) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

VYRA_EXPORT int DeviceCommand(int index, int code, void* record) {
  try {
    DuraSerial* d = DeviceAt(index);
    return (d && vyra::RunHostCommand(*d, static_cast<uint32_t>(code), static_cast<vyra::HostCommandRecord*>(record))) ? 1
                                                                                                                 : 0;
  } catch (...) {
    return 0;
  }
}

VYRA_EXPORT int GetLastErrorMsg(int index, char* buffer) {
  try {
    return vyra::LastErrorMessage(index, buffer);
  } catch (...) {
    return 0;
  }
}

VYRA_EXPORT uint32_t InitOnMainThread() {
  try {
    return vyra::LogClock();
  } catch (...) {
    return 0;
  }
}

VYRA_EXPORT int SetControllingProxy(int index, void* proxy) {
  try {
    if (DuraSerial* d = DeviceAt(index)) d->SetControllingProxy(proxy);
  } catch (...) {
  }
  return 0;
}

#if defined(_WIN32)
namespace {

constexpr int64_t kUnloadWaitMs = 1500;  // all readers together

// Process exit: the other threads are already gone, perhaps inside one of our locks, so
// nothing is waited for or freed (the system reclaims it all); each monitor is only told to
// stop, as Close tells it, where its port can be written without waiting for a lock.
void TellMonitorsToStop() noexcept {
  for (size_t n = vyra::DeviceCount(); n > 0; --n)
    if (DuraSerial* d = DeviceAt(static_cast<int>(n - 1))) d->WriteBytesIfFree(":X\n", 3);
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  if (reason != DLL_PROCESS_DETACH) return TRUE;
  if (reserved != nullptr) {
    TellMonitorsToStop();
    return TRUE;
  }
  // FreeLibrary without CloseAll: the loader lock is held, so readers are ended without
  // waiting for anything that needs it (platform/thread_end.h), then the devices and the
  // process-wide objects go as at a CloseAll. A reader that cannot be ended in time (inside
  // a host callback that waits for this thread, or for the loader lock) would hang the host:
  // it is left running, and the module, its device and those objects stay for it.
  vyra::plat::BeginLoaderLockUnload();
  const bool allEnded = vyra::EndReadersForUnload(vyra::NowMs() + kUnloadWaitMs);
  if (!allEnded) vyra::plat::KeepModuleLoaded();
  CloseAllBody();
  if (allEnded) vyra::DestroyProcessWideObjects();
  return TRUE;
}
#else
extern "C" int __cxa_atexit(void (*)(void*), void*, void*);
extern "C" void* __dso_handle;

namespace {

// Set once the unload hook has destroyed the process-wide objects: on dlclose the exit
// handler below runs after that hook.
std::atomic<bool> g_unloaded{false};

// Process exit runs the exit handlers newest first, and the host's static objects built
// before this module was loaded are destroyed by handlers registered before this one. So
// the devices are closed here (readers stopped and joined, each monitor told to stop) while
// the host objects a reader may be posting a comment to are still there.
//
// The unload hook joins readers with the dynamic loader's lock held (dlclose). Our reader
// code never takes that lock: it converts text only between UTF-16 and the ANSI or UTF-8
// code pages, which are UTF-8 here and converted by hand, so no reader reaches iconv_open
// (whose gconv modules are loaded with dlopen); the locale's own code page is used on host
// threads only.
void CloseAllAtExit() {
  if (!g_unloaded.load()) CloseAllBody();
}

// Registered for this module, not the process: a dlclose drops the handler with the code it
// names (a sanitizer's own atexit list would otherwise call into the unmapped module at exit).
void CloseAllAtExitThunk(void*) { CloseAllAtExit(); }

__attribute__((constructor)) void LoadPlugin() { __cxa_atexit(CloseAllAtExitThunk, nullptr, &__dso_handle); }

// Runs on dlclose and, at process exit, from the dynamic loader's finalisation, after the
// exit handlers. The objects that the devices and their readers use are ProcessWide, so
// they are all still there: the devices are closed first, then those objects go.
__attribute__((destructor)) void UnloadPlugin() {
  CloseAllBody();
  g_unloaded.store(true);
  vyra::DestroyProcessWideObjects();
}

}  // namespace
#endif
