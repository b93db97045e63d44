// Test double of the host framework "Rop.dll" for the Wine stage. Its one class object is
// the log object: every entry (the string object's UTF-16 text) is appended as a UTF-8 line
// to the file named by VYRA_ROP_LOG, and the clock handshake adds a line "[clock] start
// tick N". A string object whose text does not have the promised layout is logged as
// "[bad string]" so the test host can see it.
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>

#include "vyra/framework_interfaces.h"
#include "vyra/abi_sizes.h"

namespace {

using vyra::ComResult;
using vyra::Guid;

constexpr ComResult kNoInterface = static_cast<ComResult>(0x80004002);
constexpr ComResult kPointer = static_cast<ComResult>(0x80004003);
constexpr ComResult kClassNotAvailable = static_cast<ComResult>(0x80040111);

std::mutex g_fileLock;

void AppendLine(const std::string& line) {
  wchar_t path[MAX_PATH];
  DWORD n = GetEnvironmentVariableW(L"VYRA_ROP_LOG", path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return;
  std::lock_guard lock(g_fileLock);
  HANDLE f = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return;
  std::string data = line + "\n";
  DWORD written = 0;
  WriteFile(f, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
  CloseHandle(f);
}

// The string object's text follows its header, its length in units (NUL included) in the
// header's last word.
std::string EntryText(const IBVLString* object) {
  if (!object) return "[bad string] null";
  const auto* base = reinterpret_cast<const unsigned char*>(object);
  int32_t units = 0;
  std::memcpy(&units, base + vyra::abi::kStringLengthOffset, sizeof units);
  const auto* text = reinterpret_cast<const wchar_t*>(base + vyra::abi::kStringTextOffset);
  if (units < 1 || units > (1 << 20) || text[units - 1] != 0 || wcslen(text) != static_cast<size_t>(units - 1))
    return "[bad string] length word " + std::to_string(units);
  int bytes = WideCharToMultiByte(CP_UTF8, 0, text, units - 1, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(bytes), '\0');
  if (bytes > 0) WideCharToMultiByte(CP_UTF8, 0, text, units - 1, out.data(), bytes, nullptr, nullptr);
  return out;
}

class FrameworkObject final : public vyra::IFrameworkLog, public vyra::IFrameworkLogClock {
 public:
  // Both interfaces share these three; the clock's are thunked onto the log's.
  ComResult VYRA_COM QueryInterface(const Guid& iid, void** out) override {
    if (!out) return kPointer;
    if (iid == vyra::kIID_IUnknown || iid == vyra::kIID_IFrameworkLog) {
      *out = static_cast<vyra::IFrameworkLog*>(this);
    } else if (iid == vyra::kIID_IFrameworkLogClock) {
      *out = static_cast<vyra::IFrameworkLogClock*>(this);
    } else {
      *out = nullptr;
      return kNoInterface;
    }
    AddRef();
    return 0;
  }
  uint32_t VYRA_COM AddRef() override { return static_cast<uint32_t>(InterlockedIncrement(&refs_)); }
  uint32_t VYRA_COM Release() override { return static_cast<uint32_t>(InterlockedDecrement(&refs_)); }

  ComResult VYRA_COM WriteEntry(IBVLString* text) override {
    AppendLine(EntryText(text));
    return 0;
  }

  ComResult VYRA_COM SetStartTick(uint32_t* startTick) override {
    if (!startTick) return kPointer;
    AppendLine("[clock] start tick " + std::to_string(*startTick));
    return 0;
  }

 private:
  LONG refs_ = 1;  // the module's own; the object lives as long as the module
};

FrameworkObject g_framework;

}  // namespace

extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  if (!out) return kPointer;
  *out = nullptr;
  if (std::memcmp(&clsid, &vyra::kCLSID_Framework, sizeof(Guid)) != 0) return kClassNotAvailable;
  return g_framework.QueryInterface(reinterpret_cast<const Guid&>(iid), out);
}

extern "C" HRESULT WINAPI DllCanUnloadNow() { return S_FALSE; }
