#include "resources/module_resources.h"

#include "platform/embedded_resources.h"

namespace vyra {

std::span<const std::byte> FindModuleResource(unsigned type, unsigned id) { return plat::FindEmbeddedResource(type, id); }

}  // namespace vyra
