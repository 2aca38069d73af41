#pragma once

#include <cstdio>
#include <string>

namespace Quillomark::Platform::Os {

// Opens the file at path for appending, as a log of the library is: made
// readable and writable by the user alone when it is missing. What another
// local user may have put at that path is not written through: a symbolic
// link is not followed, and a file that is not a regular file of this user
// (a pipe, a device, someone else's file) is refused. Null when the file
// cannot be opened so (errno says why: EPERM for a file refused); the descriptor is not inherited
// by programs that the process starts.
std::FILE* openPrivateAppendFile(const std::string& path);

}  // namespace Quillomark::Platform::Os
