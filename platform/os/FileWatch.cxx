#include <platform/os/internal/FileWatch.hxx>

#include <cerrno>
#include <cstdint>
#include <string>
#include <sys/inotify.h>
#include <unistd.h>

namespace Quillomark::Platform::Os {

FileWatch::~FileWatch() { close(); }

void FileWatch::add(int fd) {
    if (failed) return;
    if (notes < 0) notes = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    // Through the descriptor's own entry, which names the open file
    // whatever its path names now.
    const std::string file = "/proc/self/fd/" + std::to_string(fd);
    constexpr std::uint32_t changes = IN_MODIFY | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;
    if (fd < 0 || notes < 0 || ::inotify_add_watch(notes, file.c_str(), changes) < 0) failed = true;
}

bool FileWatch::changed() {
    if (failed || notes < 0) return true;
    alignas(inotify_event) char buffer[4096];
    bool any = false;
    for (;;) {
        const ssize_t read = ::read(notes, buffer, sizeof buffer);
        if (read > 0) {
            any = true;
            continue;
        }
        if (read < 0 && errno == EINTR) continue;
        if (read < 0 && errno == EAGAIN) return any;
        // The notes cannot be read any more: nothing can be told.
        failed = true;
        return true;
    }
}

void FileWatch::close() {
    if (notes >= 0) ::close(notes);
    notes = -1;
    failed = false;
}

}  // namespace Quillomark::Platform::Os
