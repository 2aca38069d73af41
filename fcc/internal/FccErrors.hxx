#pragma once

#include <fcc/FccErrorCodes.hxx>

namespace Quillomark::Fcc {

// The text recorded as a thread's last error for a status: null for 0,
// "ERR_FMSCP_UNKNOWN" for a code the interface does not know.
const char* FccErrorCodeName(int code);

}  // namespace Quillomark::Fcc
