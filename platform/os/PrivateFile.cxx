#include <platform/os/internal/PrivateFile.hxx>

#include <platform/os/internal/Descriptor.hxx>

#include <fcntl.h>
#include <sys/random.h>
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

namespace {

// Makes a new file of the user's alone in the folder, under a short name
// of its own (O_EXCL: never through a link), so that a file of any name
// that the folder takes can be made beside it: its descriptor, or -1.
int makeTemporary(int folder, std::string& name) {
    static const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    for (int tries = 0; tries < 100; ++tries) {
        unsigned char random[8];
        if (::getrandom(random, sizeof random, 0) != sizeof random) return -1;
        name = ".new.";
        for (const unsigned char byte : random) name += digits[byte % 36];
        const int fd = ::openat(folder, name.c_str(),
                                O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

}  // namespace

std::FILE* createSharedFile(const std::string& path,
                            const std::function<bool(int fd)>& beforeNamed) {
    if (path.empty()) return nullptr;
    // What stands at the path is replaced, not emptied: a reader that
    // opened it while others could read it must not reach what is written
    // now. So the file is made under a name of its own, the user's alone
    // whatever the umask, and takes the path over once it is ready to be
    // handed out: until then the old file stays as it was. What another
    // user left there is neither replaced nor taken, and neither is what is
    // not a regular file (a link, a pipe).
    struct stat standing;
    if (::lstat(path.c_str(), &standing) == 0) {
        if (!S_ISREG(standing.st_mode) || standing.st_uid != ::geteuid()) {
            errno = EPERM;
            return nullptr;
        }
    } else if (errno != ENOENT) {
        return nullptr;
    }
    const std::size_t slash = path.rfind('/');
    const std::string folderPath = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    const Descriptor folder(::open(folderPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (folder.get() < 0) return nullptr;
    std::string fresh;
    Descriptor made(makeTemporary(folder.get(), fresh));
    if (made.get() < 0) return nullptr;
    std::FILE* stream = ::fchmod(made.get(), 0600) == 0 ? ::fdopen(made.get(), "wb+") : nullptr;
    if (stream) made.release();
    if (stream && (!beforeNamed || beforeNamed(::fileno(stream))) &&
        ::renameat(folder.get(), fresh.c_str(), folder.get(), base.c_str()) == 0)
        return stream;
    const int error = errno;
    ::unlinkat(folder.get(), fresh.c_str(), 0);
    if (stream) std::fclose(stream);
    errno = error;
    return nullptr;
}

int openPrivateFile(const std::string& path, int flags) {
    if (path.empty()) {
        errno = ENOENT;
        return -1;
    }
    // Non-blocking for the open, as above: a pipe at the path must not hold
    // the caller up (the descriptor is kept only for a regular file, which
    // the flag does not change).
    Descriptor fd(::open(path.c_str(), flags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600));
    if (fd.get() < 0) {
        // A link, a folder, a socket: refused as what is found open below.
        if (errno == ELOOP || errno == EISDIR || errno == ENXIO) errno = EPERM;
        return -1;
    }
    struct stat file;
    if (::fstat(fd.get(), &file) != 0) return -1;
    if (!S_ISREG(file.st_mode) || file.st_uid != ::geteuid() ||
        (file.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        fd.reset();
        errno = EPERM;
        return -1;
    }
    return fd.release();
}

int lockPrivateFile(const std::string& path, bool create) {
    Descriptor fd(openPrivateFile(path, O_RDWR | (create ? O_CREAT : 0)));
    if (fd.get() < 0) return -1;
    // A lock of the open file, not of the process: another open of the file
    // by this process is refused as one of another process is.
    struct flock request {};
    request.l_type = F_WRLCK;
    request.l_whence = SEEK_SET;
    if (::fcntl(fd.get(), F_OFD_SETLK, &request) != 0) {
        const int error = errno == EACCES ? EWOULDBLOCK : errno;
        fd.reset();
        errno = error;
        return -1;
    }
    return fd.release();
}

}  // namespace Quillomark::Platform::Os
