// The trace file on Windows: VYRA_TRACE's path, a disk file only; a pipe or a console could
// make WriteFile wait.
#include <windows.h>

#include <string>

#include "framework/byte_trace.h"
#include "platform/codepage.h"

namespace vyra {

namespace {

class Win32TraceFile final : public TraceFile {
 public:
  explicit Win32TraceFile(HANDLE file) : file_(file) {}
  ~Win32TraceFile() override { CloseHandle(file_); }

  long WriteSome(const char* data, size_t size) noexcept override {
    DWORD written = 0;
    const DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
    if (!WriteFile(file_, data, chunk, &written, nullptr)) return -1;
    return static_cast<long>(written);
  }

 private:
  HANDLE file_;
};

}  // namespace

std::unique_ptr<TraceFile> OpenTraceFileFromEnvironment() noexcept {
  try {
    std::wstring path(MAX_PATH, L'\0');
    DWORD n = GetEnvironmentVariableW(L"VYRA_TRACE", path.data(), static_cast<DWORD>(path.size()));
    if (n >= path.size()) {
      path.resize(n);
      n = GetEnvironmentVariableW(L"VYRA_TRACE", path.data(), static_cast<DWORD>(path.size()));
    }
    if (n == 0 || n >= path.size()) return nullptr;
    path.resize(n);
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return nullptr;
    if (GetFileType(file) != FILE_TYPE_DISK) {
      CloseHandle(file);
      return nullptr;
    }
    return std::make_unique<Win32TraceFile>(file);
  } catch (...) {
    return nullptr;
  }
}

std::string TracedProcess() {
  wchar_t exe[MAX_PATH] = {};
  const DWORD n = GetModuleFileNameW(nullptr, exe, MAX_PATH);
  std::string program;
  if (n == 0 || !plat::WideToMultiByte(plat::kCodePageUtf8,
                                       std::u16string_view(reinterpret_cast<const char16_t*>(exe), n), program))
    program = "a program";
  return program + " (process " + std::to_string(GetCurrentProcessId()) + ")";
}

}  // namespace vyra
