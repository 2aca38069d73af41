#include <platform/os/internal/MessagePipe.hxx>
#include <platform/os/internal/Environment.hxx>
#include <platform/os/internal/Time.hxx>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

namespace Quillomark::Platform::Os {

namespace {

// The largest message a pipe keeps in pieces: well above any message of the
// file-cache protocol.
constexpr std::size_t SPILL_SIZE = 65536;
constexpr unsigned BUSY_RETRY_MS = 10;

// Makes the folder private to the user when it is missing, and accepts it
// only when no other user can put a socket into it.
bool isPrivateDirectory(const std::string& path, std::string* problem) {
    const auto refuse = [&](const std::string& why) {
        if (problem) *problem = "The pipe folder '" + path + "' " + why + ": it is not used.";
        return false;
    };
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        return refuse(std::string("cannot be made (") + std::strerror(errno) + ")");
    }
    struct stat status;
    if (lstat(path.c_str(), &status) != 0) {
        return refuse(std::string("cannot be examined (") + std::strerror(errno) + ")");
    }
    if (!S_ISDIR(status.st_mode)) return refuse("is not a folder (a link or a file)");
    if (status.st_uid != geteuid()) {
        return refuse("belongs to another user (uid " + std::to_string(status.st_uid) + ")");
    }
    if (status.st_mode & (S_IWGRP | S_IWOTH)) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
        return refuse(std::string("may be written by users other than its owner (mode ") + mode +
                      ")");
    }
    return true;
}

bool startsWithPipePrefix(const std::string& name) {
    static const char prefix[] = "\\\\.\\pipe\\";
    const std::size_t length = sizeof prefix - 1;
    if (name.size() < length) return false;
    for (std::size_t i = 0; i < length; ++i) {
        const char want = prefix[i];
        const char have = name[i];
        if (want == '\\' ? (have != '\\' && have != '/')
                         : std::tolower(static_cast<unsigned char>(have)) != want) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::string ipcDirectory(std::string* problem) {
    std::string directory = environmentValue("FMS_IPC_DIR");
    if (directory.empty()) {
        const std::string runtime = environmentValue("XDG_RUNTIME_DIR");
        directory = runtime.empty() ? "/tmp/fms-" + std::to_string(geteuid()) : runtime + "/fms";
    }
    return isPrivateDirectory(directory, problem) ? directory : std::string();
}

std::string pipePath(const std::string& pipeName, std::string* problem) {
    std::string rest = startsWithPipePrefix(pipeName) ? pipeName.substr(9) : pipeName;
    if (rest.empty()) return std::string();
    std::replace(rest.begin(), rest.end(), '\\', '_');
    std::replace(rest.begin(), rest.end(), '/', '_');
    const std::string directory = ipcDirectory(problem);
    if (directory.empty()) return std::string();
    std::string path = directory + "/pipe." + rest;
    if (path.size() >= sizeof(sockaddr_un{}.sun_path)) return std::string();
    return path;
}

MessagePipe::MessagePipe() = default;

MessagePipe::~MessagePipe() { close(); }

MessagePipe::MessagePipe(MessagePipe&& other) noexcept
    : fd(std::exchange(other.fd, -1)),
      spill(std::move(other.spill)),
      spillBegin(std::exchange(other.spillBegin, 0)),
      spillEnd(std::exchange(other.spillEnd, 0)) {}

MessagePipe& MessagePipe::operator=(MessagePipe&& other) noexcept {
    if (this != &other) {
        close();
        fd = std::exchange(other.fd, -1);
        spill = std::move(other.spill);
        spillBegin = std::exchange(other.spillBegin, 0);
        spillEnd = std::exchange(other.spillEnd, 0);
    }
    return *this;
}

MessagePipe::Connect MessagePipe::connect(const std::string& path, unsigned busyWaitMs) {
    close();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) return Connect::Absent;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);

    const std::int64_t start = monotonicMilliseconds();
    for (;;) {
        // Non-blocking, so that a server whose queue of waiting clients is
        // full answers "busy" instead of holding us up.
        const int socketFd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (socketFd < 0) return Connect::Absent;
        if (::connect(socketFd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
            // Whoever serves the pipe gets tickets and file contents: it
            // must be this user's own server.
            ucred peer{};
            socklen_t size = sizeof peer;
            const bool known = getsockopt(socketFd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0;
            if (!known || peer.uid != geteuid()) {
                ::close(socketFd);
                otherUser = peer.uid;
                return known ? Connect::OtherUser : Connect::Absent;
            }
            const int flags = fcntl(socketFd, F_GETFL);
            fcntl(socketFd, F_SETFL, flags & ~O_NONBLOCK);
            fd = socketFd;
            return Connect::Connected;
        }
        const int error = errno;
        ::close(socketFd);
        if (error != EAGAIN) return Connect::Absent;
        if (monotonicMilliseconds() - start >= busyWaitMs) return Connect::Busy;
        sleepMilliseconds(BUSY_RETRY_MS);
    }
}

MessagePipe::ReadResult MessagePipe::read(void* buffer, std::size_t count) {
    if (fd < 0) return {Read::Failed, 0, EBADF};
    if (spillBegin < spillEnd) {
        const std::size_t bytes = std::min(count, spillEnd - spillBegin);
        std::memcpy(buffer, spill.get() + spillBegin, bytes);
        spillBegin += bytes;
        return {spillBegin < spillEnd ? Read::MoreData : Read::Complete, bytes, 0};
    }
    if (!spill) spill.reset(new unsigned char[SPILL_SIZE]);
    // What does not fit the caller's buffer lands in the spill and is kept:
    // a short read of a sequenced packet would otherwise discard it.
    iovec parts[2] = {{buffer, count}, {spill.get(), SPILL_SIZE}};
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = 2;
    ssize_t received;
    do {
        received = recvmsg(fd, &message, 0);
    } while (received < 0 && errno == EINTR);
    // A server that went away with requests unread resets the connection:
    // for the client that is the same as an orderly close.
    if (received == 0 || (received < 0 && errno == ECONNRESET)) return {Read::Closed, 0, 0};
    if (received < 0) return {Read::Failed, 0, errno};
    if (message.msg_flags & MSG_TRUNC) return {Read::Overflow, 0, 0};
    const auto bytes = static_cast<std::size_t>(received);
    if (bytes <= count) return {Read::Complete, bytes, 0};
    spillBegin = 0;
    spillEnd = bytes - count;
    return {Read::MoreData, count, 0};
}

bool MessagePipe::waitForData(unsigned waitMs) {
    if (fd < 0 || spillBegin < spillEnd) return true;
    return pollWithin(fd, POLLIN, waitMs) != 0;
}

long MessagePipe::write(const void* buffer, std::size_t count) {
    if (fd < 0) return -1;
    ssize_t sent;
    do {
        sent = send(fd, buffer, count, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return sent < 0 ? -1 : static_cast<long>(sent);
}

void MessagePipe::close() {
    if (fd >= 0) ::close(std::exchange(fd, -1));
    spillBegin = spillEnd = 0;
}

}  // namespace Quillomark::Platform::Os
