#include <windows.h>

#include "framework/host_os.h"
#include "resources/module_resources.h"

namespace vyra {

std::span<const std::byte> FindModuleResource(unsigned type, unsigned id) {
  auto module = static_cast<HMODULE>(OwnModule());
  HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(static_cast<WORD>(id)), MAKEINTRESOURCEW(static_cast<WORD>(type)));
  if (!found) return {};
  HGLOBAL loaded = LoadResource(module, found);
  const void* data = loaded ? LockResource(loaded) : nullptr;
  if (!data) return {};
  return {static_cast<const std::byte*>(data), static_cast<size_t>(SizeofResource(module, found))};
}

}  // namespace vyra
