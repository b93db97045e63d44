#pragma once
// The stand-in for a PE resource section where the module format has none (POSIX): tables
// generated from vyra.rc at build time (src/resources/embed.cmake).
#include <cstddef>
#include <span>

namespace vyra::plat {

struct EmbeddedResource {
  unsigned type;
  unsigned id;
  const unsigned char* data;
  size_t size;
};
extern const EmbeddedResource kEmbeddedResources[];
extern const size_t kEmbeddedResourceCount;

// The bytes of resource (type, id) of this module; empty when there is none.
inline std::span<const std::byte> FindEmbeddedResource(unsigned type, unsigned id) {
  for (size_t i = 0; i < kEmbeddedResourceCount; ++i) {
    const EmbeddedResource& r = kEmbeddedResources[i];
    if (r.type == type && r.id == id) return {reinterpret_cast<const std::byte*>(r.data), r.size};
  }
  return {};
}

}  // namespace vyra::plat
