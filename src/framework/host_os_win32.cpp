#include <windows.h>

#include <cstdio>
#include <string>

#include "framework/host_os.h"

namespace vyra {

ModuleHandle OwnModule() noexcept {
  HMODULE self = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&OwnModule), &self);
  return self;
}

std::span<const std::byte> FindStringBlock(ModuleHandle module, unsigned block) {
  HMODULE m = module ? static_cast<HMODULE>(module) : GetModuleHandleW(nullptr);
  HRSRC found = FindResourceW(m, MAKEINTRESOURCEW(static_cast<WORD>(block)), MAKEINTRESOURCEW(6) /* RT_STRING */);
  if (!found) return {};
  HGLOBAL loaded = LoadResource(m, found);
  const void* data = loaded ? LockResource(loaded) : nullptr;
  if (!data) return {};
  return {static_cast<const std::byte*>(data), static_cast<size_t>(SizeofResource(m, found))};
}

std::u16string SystemMessageText(uint32_t code, size_t maxUnits) {
  std::wstring buf(maxUnits + 1, L'\0');
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                           MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buf.data(), static_cast<DWORD>(maxUnits), nullptr);
  return std::u16string(reinterpret_cast<const char16_t*>(buf.data()), n);
}

bool MessageBoxesDisabled() noexcept {
  wchar_t v[8] = {};
  DWORD n = GetEnvironmentVariableW(L"VYRA_NO_MSGBOX", v, 8);
  return n > 0 && !(n == 1 && v[0] == L'0');
}

void ShowUserMessage(std::u16string_view text, std::u16string_view caption, MessageKind kind) noexcept {
  try {
    std::wstring t(text.begin(), text.end());
    std::wstring c(caption.begin(), caption.end());
    if (MessageBoxesDisabled()) {
      std::wstring line = c + L": " + t + L"\n";
      OutputDebugStringW(line.c_str());
      std::fwprintf(stderr, L"%ls", line.c_str());
      std::fflush(stderr);
      return;
    }
    if (kind == MessageKind::TaskModal) {
      MessageBoxW(nullptr, t.c_str(), c.c_str(), MB_OK | MB_TASKMODAL);
    } else {
      MessageBoxExW(nullptr, t.c_str(), c.c_str(), MB_OK, MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL));
    }
  } catch (...) {
  }
}

}  // namespace vyra
