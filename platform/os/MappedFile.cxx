#include <platform/os/internal/MappedFile.hxx>

#include <platform/os/internal/OsError.hxx>
#include <platform/os/internal/PrivateFile.hxx>

#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Quillomark::Platform::Os {

std::size_t allocationGranularity() {
    long size = sysconf(_SC_PAGESIZE);
    return size > 0 ? static_cast<std::size_t>(size) : 4096;
}

int openFileForMapping(const std::string& path) {
    const int fd = openPrivateFile(path, O_RDWR);
    if (fd < 0) setLastOsError(errno);
    return fd;
}

void closeMappedFile(int fd) {
    if (fd >= 0) ::close(fd);
}

std::int64_t mappedFileSize(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        setLastOsError(errno);
        return -1;
    }
    return info.st_size;
}

bool isFileAtPath(int fd, const std::string& path) {
    struct stat open {
    }, named{};
    return ::fstat(fd, &open) == 0 && ::stat(path.c_str(), &named) == 0 &&
           open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

namespace {

// The lock of the byte that marks a file as held.
struct flock heldMark(short type, std::uint64_t byte) {
    struct flock mark {};
    mark.l_type = type;
    mark.l_whence = SEEK_SET;
    mark.l_start = off_t(byte);
    mark.l_len = 1;
    return mark;
}

}  // namespace

bool markAsHeld(int fd, std::uint64_t byte) {
    struct flock mark = heldMark(F_RDLCK, byte);
    if (::fcntl(fd, F_OFD_SETLK, &mark) != 0) {
        setLastOsError(errno);
        return false;
    }
    // Another open's lock of any of the file, taken before the mark or
    // since, may come before it in the kernel's order and hide it, then or
    // once its holder locks the byte too: such a file is not marked.
    struct flock other = heldMark(F_WRLCK, 0);
    other.l_len = 0;
    const bool probed = ::fcntl(fd, F_OFD_GETLK, &other) == 0;
    if (probed && other.l_type == F_UNLCK) return true;
    const int error = probed ? EAGAIN : errno;
    mark.l_type = F_UNLCK;
    ::fcntl(fd, F_OFD_SETLK, &mark);
    setLastOsError(error);
    return false;
}

bool markedAsHeldByAnother(int fd, std::uint64_t byte) {
    // The lock that a writer of the byte would need conflicts with a
    // holder's mark, and the kernel names the first lock in its way: the
    // mark, which came before every other lock of the file.
    struct flock probe = heldMark(F_WRLCK, byte);
    if (::fcntl(fd, F_OFD_GETLK, &probe) != 0) {
        setLastOsError(errno);
        return false;
    }
    return probe.l_type == F_RDLCK && probe.l_start == off_t(byte) && probe.l_len == 1;
}

bool mapView(int fd, std::uint64_t offset, std::size_t length, bool writable, MappedView& view) {
    std::int64_t size = mappedFileSize(fd);
    if (size < 0) return false;
    if (length == 0) {
        if (static_cast<std::uint64_t>(size) <= offset) {
            setLastOsError(EINVAL);
            return false;
        }
        length = static_cast<std::size_t>(static_cast<std::uint64_t>(size) - offset);
    } else if (offset + length > static_cast<std::uint64_t>(size)) {
        setLastOsError(EINVAL);
        return false;
    }
    int protection = PROT_READ | (writable ? PROT_WRITE : 0);
    void* base = ::mmap(nullptr, length, protection, MAP_SHARED, fd, static_cast<off_t>(offset));
    if (base == MAP_FAILED) {
        setLastOsError(errno);
        return false;
    }
    view.base = base;
    view.length = length;
    return true;
}

bool unmapView(MappedView& view) {
    if (!view.base) return true;
    bool ok = ::munmap(view.base, view.length) == 0;
    if (!ok) setLastOsError(errno);
    view = MappedView{};
    return ok;
}

}  // namespace Quillomark::Platform::Os
