#include <platform/os/internal/FileWatch.hxx>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <pthread.h>
#include <sys/inotify.h>
#include <unistd.h>
#include <utility>

namespace Quillomark::Platform::Os {

namespace {

// The forks of this process, counted in parent and child alike: a watch
// made before the last one shares its notes with the other process, and
// whichever reads them first takes them from the other.
std::atomic<unsigned> forks{0};

// Held while a watch changes its instance, and by every fork from before
// it starts until parent and child counted it: a child never gets a watch
// whose instance was closed and not yet replaced (its number then free in
// the child, which the child's own next open gets and the watch's next
// change would close), nor an instance it knows nothing of. Nothing but
// system calls is made under it, so that a fork waits for nothing that
// could wait for the forking thread.
std::mutex changing;

void beforeFork() { changing.lock(); }

void afterFork() {
    forks.fetch_add(1, std::memory_order_relaxed);
    changing.unlock();
}

bool countingForks() {
    static const bool counting = ::pthread_atfork(beforeFork, afterFork, afterFork) == 0;
    return counting;
}

bool watch(int notes, int fd) {
    // Through the descriptor's own entry, which names the open file
    // whatever its path names now.
    char file[32];
    std::snprintf(file, sizeof file, "/proc/self/fd/%d", fd);
    constexpr std::uint32_t changes = IN_MODIFY | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;
    return fd >= 0 && notes >= 0 && ::inotify_add_watch(notes, file, changes) >= 0;
}

}  // namespace

FileWatch::~FileWatch() { close(); }

// Makes the notes this process's own, with every file watched again, when
// there are none yet or the process forked since they were made: true when
// it did, and the next changed() is true, since a change made meanwhile may
// have gone unseen.
bool FileWatch::renew() {
    if (notes >= 0 && forksSeen == forks.load(std::memory_order_relaxed)) return false;
    const bool counting = countingForks();
    const std::lock_guard<std::mutex> noFork(changing);
    if (notes >= 0) ::close(notes);
    forksSeen = forks.load(std::memory_order_relaxed);
    notes = counting ? ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC) : -1;
    failed = notes < 0;
    for (const int fd : files) failed = !watch(notes, fd) || failed;
    unseen = true;
    return true;
}

void FileWatch::add(int fd) {
    if (std::find(files.begin(), files.end(), fd) == files.end()) files.push_back(fd);
    if (!renew() && !failed) failed = !watch(notes, fd);
}

void FileWatch::forget(int fd) {
    files.erase(std::remove(files.begin(), files.end(), fd), files.end());
}

bool FileWatch::changed() {
    renew();
    if (std::exchange(unseen, false) || failed) return true;
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
    if (notes >= 0) {
        const std::lock_guard<std::mutex> noFork(changing);
        ::close(notes);
        notes = -1;
    }
    failed = unseen = false;
    files.clear();
}

}  // namespace Quillomark::Platform::Os
