// STUB: replaced by the serial spine.
#include "platform/event.h"
namespace vyra::plat {
Event::Event() : native_(0) {}
Event::~Event() {}
void Event::Set() {}
void Event::Reset() {}
bool Event::Wait(int) { return false; }
}  // namespace vyra::plat
