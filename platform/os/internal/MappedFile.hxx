#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace Quillomark::Platform::Os {

// A range of a file mapped into memory, shared with every other process
// that maps the same file. base is aligned to allocationGranularity().
struct MappedView {
    void* base = nullptr;
    std::size_t length = 0;
};

// The alignment that the offset of a mapped view must have.
std::size_t allocationGranularity();

// Opens an existing file of a cache for reading and writing: only a regular
// file of this user that no other user may write, and not through a
// symbolic link (openPrivateFile), since what another user could change
// under the mapping must not pass for the cache's own. -1 on failure, the
// reason kept as the last OS error: EPERM for a file refused.
int openFileForMapping(const std::string& path);
void closeMappedFile(int fd);

// The file's size in bytes, or -1 (last OS error set).
std::int64_t mappedFileSize(int fd);

// Maps length bytes of the open file from offset (aligned by the caller),
// readable and, when writable, writable. A length of 0 maps the rest of the
// file. A range that reaches beyond the file's end is refused before it is
// mapped: touching such memory would kill the process.
bool mapView(int fd, std::uint64_t offset, std::size_t length, bool writable, MappedView& view);

// Whether the open file is still the one that path names, and still has a
// name at all: a file removed or replaced under an open descriptor lives
// on unseen by the processes that open the path anew.
bool isFileAtPath(int fd, const std::string& path);
// Marks the open file as held through this open of it: a shared lock of
// one byte, which the holder chooses (it may lie beyond the file's end),
// lasts while the open file does, a forked child's copy included, and goes
// with the process however it ends; so that whoever opens the file by its
// path can tell the holder's file from one put in its place. The kernel
// keeps a file's locks in the order in which their holders first locked
// it, and names the first one in a query's way: the mark is put only on a
// file that no other open locks, so that it comes before every other lock
// of the file and none can hide it. False when the file system cannot lock
// the file, and with EAGAIN (as where another open's lock leaves no room
// for it) when another open locks any of it; the file is then unmarked.
bool markAsHeld(int fd, std::uint64_t byte);
// Whether another open of the file, of this process or another, holds the
// mark at that byte: the first lock in the way of a write of the byte is a
// shared open-file-description lock of that byte alone.
bool markedAsHeldByAnother(int fd, std::uint64_t byte);

// Unmaps a view (an empty view is left alone) and empties it.
bool unmapView(MappedView& view);

}  // namespace Quillomark::Platform::Os
