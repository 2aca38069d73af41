#pragma once

#include <cstdio>
#include <functional>
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

// Makes the file at path anew, empty, for reading and writing, as the fast
// cache makes the files it shares with its clients: a new file every time,
// which replaces the one at path, so that no descriptor or mapping of the
// old file (opened when it may have been readable by others) reaches what
// is written now. Readable and writable by the user alone (0600) whatever
// the umask, since clients map only files of their own user and others
// must not read the cached bytes; never made through a symbolic link. What
// stands at path and is not a regular file of the user's (a link, a pipe,
// someone else's file) is left as it is (EPERM). beforeNamed, when given,
// is run on the new file before it takes the path over, so that what it
// puts on the file is there when the first open by the path finds it;
// false (errno set) refuses the file. Null when that fails (errno says
// why), the file at path then left as it was.
std::FILE* createSharedFile(const std::string& path,
                            const std::function<bool(int fd)>& beforeNamed = nullptr);

// Opens the file at path with flags (O_RDWR; with O_CREAT, a file that is
// missing is made, readable and writable by the user alone), as the fast
// cache opens the files it keeps: only a regular file of this user that no
// other user may write, never through a symbolic link, and without waiting
// on what is not a regular file (a pipe). The descriptor, not inherited by
// programs that the process starts, or -1 with errno set: EPERM for what is
// refused (a link, a folder, a pipe, a device, another user's file, one that
// others may write).
int openPrivateFile(const std::string& path, int flags);

// Opens the file at path as openPrivateFile does, made when it is missing
// unless create is false (ENOENT then), and takes an exclusive lock on it,
// without waiting: the lock is the open file's, so it lasts while the
// descriptor or a copy of it (a forked child's included) is open, and goes
// with the process however it ends. The descriptor, or -1 with errno set:
// EPERM for what is refused, EWOULDBLOCK when another open of the file, in
// this process or another, holds the lock.
int lockPrivateFile(const std::string& path, bool create = true);

}  // namespace Quillomark::Platform::Os
