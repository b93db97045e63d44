#include "resources/module_resources.h"

#include "framework/host_strings.h"

namespace vyra {

BVL::String ModuleString(unsigned id) { return LoadHostString(OwnModule(), id, false); }

}  // namespace vyra
