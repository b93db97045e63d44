// STUB: replaced by the serial spine.
#include "platform/library.h"
namespace vyra::plat {
bool Library::Load(const std::u16string&) { return false; }
void* Library::Symbol(const char*) const { return nullptr; }
void Library::Unload() { handle_ = nullptr; }
}  // namespace vyra::plat
