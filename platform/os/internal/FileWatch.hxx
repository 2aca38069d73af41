#pragma once

namespace Quillomark::Platform::Os {

// Tells whether any of a set of open files may have changed since it was
// last asked: written to, cut, its attributes or links changed (removed,
// replaced by a rename), at the cost of one system call when none did. The
// kernel notes each such change of a watched file as it is made; changes
// made through a mapping of the file are not noted.
class FileWatch {
public:
    FileWatch() = default;
    ~FileWatch();
    FileWatch(const FileWatch&) = delete;
    FileWatch& operator=(const FileWatch&) = delete;

    // Watches the open file (the file itself, whatever name it has now or
    // later). A file that cannot be watched makes every later changed()
    // true.
    void add(int fd);
    // Whether a watched file may have changed since the last call; true as
    // long as a file could not be watched. The notes are used up.
    bool changed();
    void close();

private:
    int notes = -1;
    bool failed = false;
};

}  // namespace Quillomark::Platform::Os
