#include <windows.h>

#include "platform/library.h"

namespace vyra::plat {

bool Library::Load(const std::u16string& path) {
  Unload();
  handle_ = reinterpret_cast<void*>(LoadLibraryW(reinterpret_cast<const wchar_t*>(path.c_str())));
  return handle_ != nullptr;
}

void* Library::Symbol(const char* name) const {
  return handle_ ? reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name)) : nullptr;
}

void Library::Unload() {
  if (handle_) FreeLibrary(static_cast<HMODULE>(handle_));
  handle_ = nullptr;
}

}  // namespace vyra::plat
