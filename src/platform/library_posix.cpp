#include <dlfcn.h>

#include "platform/codepage.h"
#include "platform/library.h"

namespace vyra::plat {

bool Library::Load(const std::u16string& path) {
  Unload();
  std::string narrow;
  if (!WideToMultiByte(kCodePageUtf8, path, narrow)) return false;
  handle_ = dlopen(narrow.c_str(), RTLD_NOW | RTLD_LOCAL);
  return handle_ != nullptr;
}

void* Library::Symbol(const char* name) const { return handle_ ? dlsym(handle_, name) : nullptr; }

void Library::Unload() {
  if (handle_) dlclose(handle_);
  handle_ = nullptr;
}

}  // namespace vyra::plat
