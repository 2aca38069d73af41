#pragma once

#include <string>

namespace Quillomark::Platform::Os {

// The value of an environment variable; the empty string when it is unset.
std::string environmentValue(const char* name);

}  // namespace Quillomark::Platform::Os
