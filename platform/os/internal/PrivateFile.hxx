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

// Makes the file at path anew (emptied when it exists) for reading and
// writing, as the fast cache makes the files it shares with its clients:
// readable and writable by the user alone (0600) whatever the umask or the
// mode it had, since clients map only files of their own user and others
// must not read the cached bytes, and not through a symbolic link. What is
// not a regular file of the user's is left as it is (EPERM). Null when that
// fails (errno says why).
std::FILE* createSharedFile(const std::string& path);

}  // namespace Quillomark::Platform::Os
