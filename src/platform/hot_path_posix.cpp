#include "platform/hot_path.h"

// Set by the linker around the section VYRA_HOT_PATH places code in; weak, so a program
// without the section links and warms nothing.
extern "C" {
[[gnu::weak]] extern const char __start_vyra_hot[];
[[gnu::weak]] extern const char __stop_vyra_hot[];
}

namespace vyra::plat {

VYRA_PLATFORM_HOT_PATH void WarmHotPath() noexcept {
  constexpr int kCacheLine = 64;
  for (const char* p = __start_vyra_hot; p < __stop_vyra_hot; p += kCacheLine) __builtin_prefetch(p);
}

}  // namespace vyra::plat
