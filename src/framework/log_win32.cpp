// The log on Windows: entries go to the host framework's log object, stamped by a
// GetTickCount clock that the framework is told about once.
#include <windows.h>

#include <atomic>
#include <mutex>

#include "framework/exceptions.h"
#include "framework/framework.h"
#include "framework/log.h"
#include "framework/log_internal.h"

namespace vyra {

namespace {

std::atomic<uint32_t> g_logStartTick{0};
std::atomic<bool> g_clockHandshakeDone{false};

// The log object, or null; what reaching it may raise ends here, logging never throws.
IFrameworkLog* LogObjectQuietly() noexcept {
  try {
    return FrameworkClassObject();
  } catch (const XHResult& x) {
    static std::atomic<bool> told{false};
    if (!told.exchange(true)) {
      wchar_t line[64];
      wsprintfW(line, L"XHResult: 0x%08lX", static_cast<unsigned long>(x.Code()));
      WriteBootLog(reinterpret_cast<const char16_t*>(line));
    }
  } catch (...) {
    // XBVL wrote its boot-log line when it was made.
  }
  return nullptr;
}

void TellFrameworkTheStartTick() noexcept {
  IFrameworkLog* log = LogObjectQuietly();
  if (!log) return;
  void* clock = nullptr;
  if (log->QueryInterface(kIID_IFrameworkLogClock, &clock) >= 0 && clock) {
    auto* c = static_cast<IFrameworkLogClock*>(clock);
    uint32_t tick = g_logStartTick.load();
    c->SetStartTick(&tick);  // the framework may read it or store its own
    g_logStartTick.store(tick);
    c->Release();
  }
}

}  // namespace

void WriteLogEntry(const char16_t* text) noexcept {
  try {
    BVL::String entry(text);
    {
      std::lock_guard<std::recursive_mutex> lock(LogLock());
      if (IFrameworkLog* log = LogObjectQuietly()) log->WriteEntry(entry.Rep());
    }
    ReportFrameworkFailure();
  } catch (...) {
  }
}

uint32_t LogClock() noexcept {
  static const bool started = [] {
    g_logStartTick.store(GetTickCount());
    return true;
  }();
  (void)started;
  if (!g_clockHandshakeDone.exchange(true)) {
    TellFrameworkTheStartTick();
    ReportFrameworkFailure();
  }
  return GetTickCount() - g_logStartTick.load();
}

}  // namespace vyra
