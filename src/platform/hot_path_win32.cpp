#include "platform/hot_path.h"

namespace vyra::plat {

// PE images have no linker-made bounds for a section: the path stays grouped, unwarmed.
void WarmHotPath() noexcept {}

}  // namespace vyra::plat
