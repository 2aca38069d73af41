#include <platform/os/internal/PrivateFile.hxx>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace Quillomark::Platform::Os {

std::FILE* openPrivateAppendFile(const std::string& path) {
    if (path.empty()) return nullptr;
    // Non-blocking for the open only: a pipe planted at the path would
    // otherwise hold the caller up until someone reads it.
    const int fd = ::open(
        path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0) return nullptr;
    struct stat file;
    const bool ours =
        ::fstat(fd, &file) == 0 && S_ISREG(file.st_mode) && file.st_uid == ::geteuid();
    const int flags = ours ? ::fcntl(fd, F_GETFL) : -1;
    std::FILE* stream =
        flags >= 0 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0 ? ::fdopen(fd, "a") : nullptr;
    if (!stream) {
        ::close(fd);
        errno = EPERM;
    }
    return stream;
}

std::FILE* createSharedFile(const std::string& path) {
    if (path.empty()) return nullptr;
    // What stands at the path is replaced, not emptied: a reader that
    // opened it while others could read it must not reach what is written
    // now. So the file is made under a name of its own (O_EXCL: never
    // through a link), the user's alone whatever the umask, and takes the
    // path over. What another user left there is neither replaced nor
    // taken, and neither is what is not a regular file (a link, a pipe).
    struct stat standing;
    if (::lstat(path.c_str(), &standing) == 0) {
        if (!S_ISREG(standing.st_mode) || standing.st_uid != ::geteuid()) {
            errno = EPERM;
            return nullptr;
        }
    } else if (errno != ENOENT) {
        return nullptr;
    }
    std::string fresh = path + ".XXXXXX";
    const int fd = ::mkostemp(fresh.data(), O_CLOEXEC);
    if (fd < 0) return nullptr;
    if (::fchmod(fd, 0600) != 0 || ::rename(fresh.c_str(), path.c_str()) != 0) {
        const int error = errno;
        ::unlink(fresh.c_str());
        ::close(fd);
        errno = error;
        return nullptr;
    }
    std::FILE* stream = ::fdopen(fd, "wb+");
    if (!stream) {
        const int error = errno;
        ::close(fd);
        errno = error;
    }
    return stream;
}

}  // namespace Quillomark::Platform::Os
