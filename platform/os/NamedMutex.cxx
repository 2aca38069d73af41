#include <platform/os/internal/NamedMutex.hxx>

#include <platform/os/internal/MessagePipe.hxx>
#include <platform/os/internal/OsError.hxx>
#include <platform/os/internal/Time.hxx>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace Quillomark::Platform::Os {

namespace {

// Byte 0 of the lock file marks that the creator lives; byte 1 is the mutex.
constexpr off_t existenceByte = 0;
constexpr off_t mutexByte = 1;

int setLock(int fd, short type, off_t byte) {
    struct flock request {};
    request.l_type = type;
    request.l_whence = SEEK_SET;
    request.l_start = byte;
    request.l_len = 1;
    return ::fcntl(fd, F_OFD_SETLK, &request);
}

std::string lockFilePath(const std::string& name) {
    std::string folder = ipcDirectory();
    if (folder.empty()) return std::string();
    return folder + "/mutex." + name;
}

}  // namespace

NamedMutex::~NamedMutex() { close(); }

NamedMutex::Result NamedMutex::create(const std::string& name) {
    close();
    std::string path = lockFilePath(name);
    if (path.empty()) return Result::Failed;
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        setLastOsError(errno);
        return Result::Failed;
    }
    if (setLock(fd, F_WRLCK, existenceByte) != 0) {
        int error = errno;
        setLastOsError(error);
        close();
        return error == EAGAIN || error == EACCES ? Result::AlreadyExists : Result::Failed;
    }
    return Result::Ok;
}

NamedMutex::Result NamedMutex::open(const std::string& name) {
    close();
    std::string path = lockFilePath(name);
    if (path.empty()) return Result::Failed;
    fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        int error = errno;
        setLastOsError(error);
        return error == ENOENT ? Result::NotFound : Result::Failed;
    }
    return Result::Ok;
}

NamedMutex::Result NamedMutex::lock(std::uint32_t timeoutMilliseconds) {
    if (fd < 0) return Result::Failed;
    std::int64_t deadline = monotonicMilliseconds() + timeoutMilliseconds;
    std::uint32_t pause = 1;
    for (;;) {
        if (setLock(fd, F_WRLCK, mutexByte) == 0) return Result::Ok;
        if (errno != EAGAIN && errno != EACCES && errno != EINTR) {
            setLastOsError(errno);
            return Result::Failed;
        }
        if (monotonicMilliseconds() >= deadline) return Result::TimedOut;
        sleepMilliseconds(pause);
        if (pause < 5) ++pause;
    }
}

bool NamedMutex::unlock() {
    if (fd < 0 || setLock(fd, F_UNLCK, mutexByte) != 0) {
        setLastOsError(fd < 0 ? EBADF : errno);
        return false;
    }
    return true;
}

void NamedMutex::close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

}  // namespace Quillomark::Platform::Os
