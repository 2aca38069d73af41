#pragma once

#include <string>

namespace Quillomark::Platform::Os {

// The last operating-system error of the calling thread, as recorded by the
// operating-system layer when one of its calls failed (an errno value; 0 for
// none). Unlike errno it does not change on calls that succeed.
int lastOsError();
void setLastOsError(int error);

// The system's text for an error number, cut at the first line end and to
// at most 255 characters.
std::string osErrorText(int error);

}  // namespace Quillomark::Platform::Os
