#include <platform/os/internal/FileWatch.hxx>
#include <platform/os/internal/Forks.hxx>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <charconv>
#include <cstdio>
#include <fcntl.h>
#include <string_view>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
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
// alone, and stays open in the child until it runs a program. The changes
// are short (a few calls on descriptors and the process's own descriptor
// list), and a fork waits for them.
ForkRegion watchDescriptors{ForkRegion::SHORT_STEP};

using Identity = std::pair<std::uint64_t, std::uint64_t>;  // device, inode

// Whether the descriptor is an inotify instance that watches some of the
// given files and nothing else (by device and inode, as the kernel lists
// them): only then is it the one made for them before the fork. Every
// inotify, epoll, eventfd and timerfd descriptor has the same identity to
// fstat, and the number may by now name one of the application's. The
// kernel drops the watch of a file removed since, which is why some will do.
bool watchesOnly(int fd, std::vector<Identity> given) {
    if (fd < 0 || given.empty()) return false;
    char path[48];
    std::snprintf(path, sizeof path, "/proc/self/fdinfo/%d", fd);
    const int info = ::open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (info < 0) return false;
    // A line per watch: a list longer than this watches other files too.
    char text[16384];
    std::size_t used = 0;
    ssize_t got = 0;
    while (used < sizeof text && (got = ::read(info, text + used, sizeof text - used)) != 0) {
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) break;
        used += static_cast<std::size_t>(got);
    }
    ::close(info);
    if (got != 0) return false;
    const auto hexAfter = [](std::string_view line, std::string_view key, std::uint64_t& value) {
        const std::size_t at = line.find(key);
        if (at == std::string_view::npos) return false;
        const char* begin = line.data() + at + key.size();
        const auto [end, error] = std::from_chars(begin, line.data() + line.size(), value, 16);
        return error == std::errc() && end != begin;
    };
    // The kernel lists a device as its major above 20 bits of minor.
    for (Identity& file : given)
        file.first = (std::uint64_t{major(file.first)} << 20) | minor(file.first);
    bool any = false;
    std::string_view rest(text, used);
    while (!rest.empty()) {
        const std::size_t end = std::min(rest.find('\n'), rest.size());
        const std::string_view line = rest.substr(0, end);
        rest.remove_prefix(std::min(end + 1, rest.size()));
        if (line.substr(0, 8) != "inotify ") continue;
        Identity watched{0, 0};
        if (!hexAfter(line, " ino:", watched.second) || !hexAfter(line, " sdev:", watched.first) ||
            std::find(given.begin(), given.end(), watched) == given.end()) {
            return false;
        }
        any = true;
    }
    return any;
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

// Closes notes that nothing names any more, once out of the step that a
// fork waits for: the kernel's close of notes with watches waits for its
// readers to be done (milliseconds, tens on a busy machine). A fork
// meanwhile leaves its child a copy that it never names, closed on exec.
void closeForgotten(int notes) {
    if (notes >= 0) ::close(notes);
}

}  // namespace

FileWatch::~FileWatch() { close(); }

bool FileWatch::watchesMine(int fd) const { return watchesOnly(fd, given); }

bool FileWatch::watchFile(const File& file) {
    struct stat found {};
    if (file.fd >= 0 && ::fstat(file.fd, &found) == 0) {
        const Identity identity{found.st_dev, found.st_ino};
        if (std::find(given.begin(), given.end(), identity) == given.end())
            given.push_back(identity);
    }
    return watch(notes, file.fd, file.writes);
}

// Makes the notes this process's own, with every file watched again, when
// there are none yet or the process was forked since they were made: true
// when it did, and the next changed() is true, since a change made
// meanwhile may have gone unseen.
bool FileWatch::renew() {
    const unsigned now = forksSoFar();
    if (notes >= 0 && forksSeen == now) return false;
    int stale = -1;
    {
        const ForkRegion::Scope changing(watchDescriptors);
        const int inherited = notes;
        notes = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (inherited >= 0 && watchDescriptors.wholeSince(forksSeen) && watchesMine(inherited))
            stale = inherited;
        failed = notes < 0;
        given.clear();
        for (const File& file : files) failed = !watchFile(file) || failed;
        forksSeen = now;
        unseen = true;
    }
    closeForgotten(stale);
    return true;
}

void FileWatch::add(int fd, bool writes) {
    auto known =
        std::find_if(files.begin(), files.end(), [fd](const File& file) { return file.fd == fd; });
    if (known == files.end())
        files.push_back({fd, writes});
    else
        known->writes = writes;
    if (!renew() && !failed) failed = !watchFile({fd, writes});
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
    int stale = -1;
    {
        const ForkRegion::Scope changing(watchDescriptors);
        const int old = std::exchange(notes, -1);
        if (old >= 0 && (forksSeen == forksSoFar() ||
                         (watchDescriptors.wholeSince(forksSeen) && watchesMine(old)))) {
            stale = old;
        }
    }
    closeForgotten(stale);
    failed = unseen = false;
    files.clear();
    given.clear();
}

}  // namespace Quillomark::Platform::Os
