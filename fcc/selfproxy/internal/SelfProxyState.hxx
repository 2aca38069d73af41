#pragma once

// Process-wide state of the library's own file-cache interface: whether it
// is initialised and how its last initialisation ended.

#include <fcc/FccInterface.hxx>
#include <fcc/runtime/internal/FccRuntime.hxx>

#include <cstdint>

namespace Quillomark::Fcc {

// True between the first successful FCC_Init and the FCC_Term that ends
// the last reference (while a session is in force).
bool selfProxyInitialized();

// The code of the last initialisation: -2999 before any succeeded and
// after termination, 0 while initialised, the error of a failed one.
int lastInitializationError();

// The start of every entry that needs the interface initialised: status()
// is -2999 (not recorded) when it is not; otherwise the thread's last error
// is cleared (unless the entry keeps it) and status() is 0, and until the
// entry returns the thread works for the session in force (what it would
// leave behind after that session has ended is undone).
class Entry {
public:
    explicit Entry(bool clearLastError = true);
    int status() const { return failure; }

private:
    std::uint64_t session;
    FccSessionScope scope;
    int failure;
};

}  // namespace Quillomark::Fcc
