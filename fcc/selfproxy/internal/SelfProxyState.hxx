#pragma once

// Process-wide state of the library's own file-cache interface: whether it
// is initialised and how its last initialisation ended.

#include <fcc/FccInterface.hxx>

namespace Quillomark::Fcc {

// True between the first successful FCC_Init and the FCC_Term that ends
// the last reference.
bool selfProxyInitialized();

// The code of the last initialisation: -2999 before any succeeded and
// after termination, 0 while initialised, the error of a failed one.
int lastInitializationError();

// The start of every entry that needs the interface initialised: -2999
// (not recorded) when it is not, otherwise the thread's last error is
// cleared and 0 returned.
int beginEntry();

}  // namespace Quillomark::Fcc
