#include <platform/os/internal/FileWatch.hxx>
#include <platform/os/internal/Forks.hxx>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace Quillomark::Platform::Os {

namespace {

// A watch made before the last fork is its parent's instance, whose notes
// the parent reads. The child makes its own instead and never reads the
// parent's, so that the parent keeps its instance and its notes whole; no
// lock is taken around a fork. The child closes its copy of the parent's
// descriptor when it makes its own, so that a process holds no more than
// its own and, until it makes that, its parent's, whatever the generation:
// but only while the number still names that instance. A fork copies the
// descriptors before the memory, so that the number of a watch made or
// closed on another thread as the parent forked may name nothing in the
// child, or by now a file of the application's: such a number is left
// alone, and stays open in the child until it runs a program.
ForkRegion watchDescriptors;

// The identity of a descriptor (every inotify instance has the same one),
// which tells an instance from a file the application put under its number.
std::pair<std::uint64_t, std::uint64_t> identityOf(int fd) {
    struct stat found {};
    if (fd < 0 || ::fstat(fd, &found) != 0) return {0, 0};
    return {found.st_dev, found.st_ino};
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
    const unsigned now = forksSoFar();
    if (notes >= 0 && forksSeen == now) return false;
    const ForkRegion::Scope changing(watchDescriptors);
    const int inherited = notes;
    notes = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inherited >= 0 && watchDescriptors.wholeSince(forksSeen) &&
        identityOf(inherited) == identity) {
        ::close(inherited);
    }
    identity = identityOf(notes);
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
    const ForkRegion::Scope changing(watchDescriptors);
    const int old = std::exchange(notes, -1);
    if (old >= 0 && (forksSeen == forksSoFar() ||
                     (watchDescriptors.wholeSince(forksSeen) && identityOf(old) == identity))) {
        ::close(old);
    }
    failed = unseen = false;
    files.clear();
}

}  // namespace Quillomark::Platform::Os
