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
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return nullptr;
    std::FILE* stream = ::fdopen(fd, "wb+");
    if (!stream) ::close(fd);
    return stream;
}

}  // namespace Quillomark::Platform::Os
