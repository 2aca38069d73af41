#include <platform/os/internal/PrivateFile.hxx>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

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
    // Not emptied before it is known to be a file of the user's: what
    // another user left there is neither cut nor taken.
    const int fd =
        ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0) return nullptr;
    struct stat file;
    const bool ours =
        ::fstat(fd, &file) == 0 && S_ISREG(file.st_mode) && file.st_uid == ::geteuid();
    // The user's alone, whatever the umask or the mode of a file it replaces:
    // a folder others may enter would otherwise hand them the cached bytes.
    std::FILE* stream = ours && ::fchmod(fd, 0600) == 0 && ::ftruncate(fd, 0) == 0 &&
                                ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) == 0
                            ? ::fdopen(fd, "wb+")
                            : nullptr;
    if (!stream) {
        const int error = ours ? errno : EPERM;
        ::close(fd);
        errno = error;
    }
    return stream;
}

}  // namespace Quillomark::Platform::Os
