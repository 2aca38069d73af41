#pragma once

#include <cstdint>
#include <utility>
#include <vector>

namespace Quillomark::Platform::Os {

// Tells whether any of a set of open files may have changed since it was
// last asked: written to, cut, its attributes or links changed (removed,
// replaced by a rename), at the cost of one system call when none did. The
// kernel notes each such change of a watched file as it is made; changes
// made through a mapping of the file are not noted. The kernel's notes are
// read by one process only: a child of fork watches the files anew with
// notes of its own at its first call of the watch, and its next changed() is
// true, whichever call that first one was; the parent goes on with its own.
// The child then closes its copy of the parent's notes, unless a watch was
// being made or closed as the parent forked, or the number no longer names
// an inotify instance that watches only files given to the notes.
class FileWatch {
public:
    FileWatch() = default;
    ~FileWatch();
    FileWatch(const FileWatch&) = delete;
    FileWatch& operator=(const FileWatch&) = delete;

    // Watches the open file (the file itself, whatever name it has now or
    // later); with writes false, only for a change of its attributes or
    // links, for a file read through its descriptor alone, which a write or
    // a cut cannot make unsafe to read. A file that cannot be watched makes
    // every later changed() true.
    void add(int fd, bool writes = true);
    // No longer watches the descriptor, which is about to be closed.
    void forget(int fd);
    // Whether a watched file may have changed since the last call; true as
    // long as a file could not be watched. The notes are used up.
    bool changed();
    void close();

private:
    struct File {
        int fd;
        bool writes;
    };

    bool renew();
    // Watches the file with the notes, noting it as given to them.
    bool watchFile(const File& file);
    // Whether the descriptor is an inotify instance that watches only files
    // given to the notes: the notes made before the last fork.
    bool watchesMine(int fd) const;

    int notes = -1;
    bool failed = false;
    // Made anew since changed() last told: its next answer is true.
    bool unseen = false;
    unsigned forksSeen = 0;
    std::vector<File> files;
    // The device and inode of each file given to the notes.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> given;
};

}  // namespace Quillomark::Platform::Os
