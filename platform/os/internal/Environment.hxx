#pragma once

#include <string>

namespace Quillomark::Platform::Os {

// The value of an environment variable; the empty string when it is unset.
std::string environmentValue(const char* name);

// path as it is when it is empty or begins with "/", else joined to the
// current folder; empty when the current folder cannot be told (it was
// removed, or its path is too long).
std::string absolutePath(const std::string& path);

}  // namespace Quillomark::Platform::Os
