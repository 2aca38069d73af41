#include <platform/os/internal/FileWatch.hxx>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <pthread.h>
#include <sys/inotify.h>
#include <unistd.h>
#include <utility>

namespace Quillomark::Platform::Os {

namespace {

// The forks that made this process, counted in the child: a watch made
// before the last one is its parent's instance, whose notes the parent
// reads. The child makes its own instead and never reads the parent's, so
// that the parent keeps its instance and its notes whole; no lock is taken
// around a fork. Nor does the child close the descriptor it inherited: a
// fork copies the descriptors before the memory, so that the number a child
// finds in its watch may name nothing in it, or by now a file of the
// application's. It stays open in the child, closed when it runs a program.
std::atomic<unsigned> forks{0};

void forked() { forks.fetch_add(1, std::memory_order_relaxed); }

bool countingForks() {
    static const bool counting = ::pthread_atfork(nullptr, nullptr, forked) == 0;
    return counting;
}

bool watch(int notes, int fd, bool writes) {
    // Through the descriptor's own entry, which names the open file
    // whatever its path names now.
    char file[32];
    std::snprintf(file, sizeof file, "/proc/self/fd/%d", fd);
    constexpr std::uint32_t links = IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;
    const std::uint32_t changes = writes ? links | IN_MODIFY : links;
    return fd >= 0 && notes >= 0 && ::inotify_add_watch(notes, file, changes) >= 0;
}

}  // namespace

FileWatch::~FileWatch() { close(); }

// Makes the notes this process's own, with every file watched again, when
// there are none yet or the process was forked since they were made: true
// when it did, and the next changed() is true, since a change made
// meanwhile may have gone unseen.
bool FileWatch::renew() {
    const unsigned now = forks.load(std::memory_order_relaxed);
    if (notes >= 0 && forksSeen == now) return false;
    notes = countingForks() ? ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC) : -1;
    failed = notes < 0;
    for (const File& file : files) failed = !watch(notes, file.fd, file.writes) || failed;
    forksSeen = now;
    unseen = true;
    return true;
}

void FileWatch::add(int fd, bool writes) {
    auto known =
        std::find_if(files.begin(), files.end(), [fd](const File& file) { return file.fd == fd; });
    if (known == files.end())
        files.push_back({fd, writes});
    else
        known->writes = writes;
    if (!renew() && !failed) failed = !watch(notes, fd, writes);
}

void FileWatch::forget(int fd) {
    files.erase(std::remove_if(files.begin(), files.end(),
                               [fd](const File& file) { return file.fd == fd; }),
                files.end());
}

bool FileWatch::changed() {
    renew();
    if (failed) return true;
    // Made anew: true, with what the new notes hold already used up.
    bool any = std::exchange(unseen, false);
    alignas(inotify_event) char buffer[4096];
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
    // Only notes that this process made are its to close; forgotten before
    // they are closed, so that a fork meanwhile leaves the child none.
    const int old = std::exchange(notes, -1);
    if (old >= 0 && forksSeen == forks.load(std::memory_order_relaxed)) ::close(old);
    failed = unseen = false;
    files.clear();
}

}  // namespace Quillomark::Platform::Os
