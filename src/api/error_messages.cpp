// STUB: replaced by error reporting.
#include "api/error_messages.h"
namespace vyra {
int LastErrorMessage(int, char*) { return 0; }
}  // namespace vyra
