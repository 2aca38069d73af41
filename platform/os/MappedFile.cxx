#include <platform/os/internal/MappedFile.hxx>

#include <platform/os/internal/OsError.hxx>
#include <platform/os/internal/PrivateFile.hxx>

#include <cerrno>
#include <cstdio>
#include <cstring>
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

bool isFileLinked(int fd) {
    struct stat info {};
    return ::fstat(fd, &info) == 0 && info.st_nlink > 0;
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
    if (::fcntl(fd, F_OFD_SETLK, &mark) == 0) return true;
    setLastOsError(errno);
    return false;
}

namespace {

// Whether the kernel's list of every lock in force holds a shared
// open-file-description lock of the file's byte alone. The list names a
// file by its device and inode, and the device as the file system's own,
// which a stacked one (overlayfs) gives otherwise than the file's status:
// the inode and the byte, which names the file's cache and its place in it,
// tell the mark. A line longer than any that the kernel writes is no lock.
bool listedAsHeld(int fd, std::uint64_t byte) {
    struct stat file {};
    if (::fstat(fd, &file) != 0) return false;
    std::FILE* locks = std::fopen("/proc/locks", "re");
    if (!locks) return false;
    char line[256];
    bool found = false, atLineStart = true;
    while (!found && std::fgets(line, sizeof line, locks)) {
        const bool whole = atLineStart && std::strchr(line, '\n');
        atLineStart = std::strchr(line, '\n') != nullptr;
        char kind[16], type[16];
        unsigned long long inode = 0, start = 0, end = 0;
        if (!whole || std::sscanf(line, "%*d: %15s %*15s %15s %*d %*x:%*x:%llu %llu %llu", kind,
                                  type, &inode, &start, &end) != 5)
            continue;
        found = std::strcmp(kind, "OFDLCK") == 0 && std::strcmp(type, "READ") == 0 &&
                inode == file.st_ino && start == byte && end == byte;
    }
    std::fclose(locks);
    return found;
}

}  // namespace

bool markedAsHeldByAnother(int fd, std::uint64_t byte) {
    // The lock that a writer of the byte would need conflicts with a
    // holder's mark, and the kernel names one lock it conflicts with: the
    // first that was taken. That is the mark when it is a shared one of the
    // byte alone; a shared lock of a range that takes the byte in (another
    // program's of the whole file) may hide the mark, which the kernel's
    // list of all locks then tells; an exclusive one leaves room for no mark.
    struct flock probe = heldMark(F_WRLCK, byte);
    if (::fcntl(fd, F_OFD_GETLK, &probe) != 0) {
        setLastOsError(errno);
        return false;
    }
    if (probe.l_type != F_RDLCK) return false;
    if (probe.l_start == off_t(byte) && probe.l_len == 1) return true;
    return listedAsHeld(fd, byte);
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
