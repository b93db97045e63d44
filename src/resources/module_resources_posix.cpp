#include "resources/module_resources.h"

namespace vyra {

std::span<const std::byte> FindModuleResource(unsigned type, unsigned id) {
  for (size_t i = 0; i < detail::kEmbeddedResourceCount; ++i) {
    const detail::EmbeddedResource& r = detail::kEmbeddedResources[i];
    if (r.type == type && r.id == id) return {reinterpret_cast<const std::byte*>(r.data), r.size};
  }
  return {};
}

}  // namespace vyra
