#pragma once
// Access to the host's in-process framework ("Rop.dll", a COM server beside the host's
// executable) and its log object. Windows only; on POSIX the log goes to VYRA_LOG instead.
#include "vyra/framework_interfaces.h"

namespace vyra {

// Makes the framework's main class obtainable through COM in this process: nothing when
// the host registered it; otherwise initialises OLE on this thread (once) and loads
// "Rop.dll" beside the host's executable (once) and registers its class object.
// Throws XBVL when OLE cannot be initialised (the flag is cleared, so a later call tries
// again) and XHResult when the framework refuses its class object or its registration.
// Returns false when "Rop.dll" cannot be used; the failure is kept for
// ReportFrameworkFailure. Never ends the process.
bool EnsureFramework();

// The framework's log object, cached without a reference of its own (its class stays
// registered for the life of the process); null when COM cannot supply it (the next call
// tries again) and after the plug-in began unloading. May throw what EnsureFramework throws.
IFrameworkLog* FrameworkClassObject();

// Tells the user, once per process, that the framework could not be loaded, on a thread of
// its own: the caller never waits for the user.
void ReportFrameworkFailure() noexcept;

}  // namespace vyra
