#pragma once

#include <string>

namespace Quillomark::Platform::Os {

// The value of an environment variable; the empty string when it is unset.
std::string environmentValue(const char* name);

// The current folder's absolute path; empty when it cannot be told (it was
// removed, or its path is too long).
std::string currentFolder();

// path as it is when it is empty or begins with "/", else joined to the
// current folder; empty when the current folder cannot be told.
std::string absolutePath(const std::string& path);

}  // namespace Quillomark::Platform::Os
