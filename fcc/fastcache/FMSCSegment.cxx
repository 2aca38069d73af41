#include <fcc/fastcache/internal/FmscReport.hxx>

#include <platform/os/internal/OsError.hxx>
#include <platform/os/internal/PrivateFile.hxx>

#include <algorithm>
#include <climits>
#include <cerrno>
#include <cstring>
#include <limits>
#include <utility>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#define FMSC_UNIT ".\\FMSCSegment.cxx"

namespace Quillomark::Fcc {

namespace Os = Platform::Os;

namespace {

// The segment table of contents' test: null pointer report (2), bad
// signature report (36).
int checkSegmentToc(const FMSC_FILETOC_T* toc, FmscWhere where) {
    if (!toc->segmentToc)
        return FMSCX_ReportNullPointer("pSegmentToc", where.unit, where.function, where.line);
    if (toc->segmentToc->signature != FMSC_FILE_SEGMENTTOC_T_SIG) {
        return FMSCX_ReportBadSig("FMSC_FILE_SEGMENTTOC_T_SIG", where.unit, where.function,
                                  where.line);
    }
    return 0;
}

std::string numbered(const std::string& base, const char* shortFormat, const char* longFormat,
                     std::int32_t extent) {
    char text[64];
    std::snprintf(text, sizeof text, extent < 1000 ? shortFormat : longFormat,
                  static_cast<int>(extent));
    return base + text;
}

// Reads count bytes at offset; false when the file holds fewer.
bool readAt(int fd, std::uint8_t* buffer, std::size_t count, std::uint64_t offset) {
    while (count > 0) {
        const ssize_t got = ::pread(fd, buffer, count, off_t(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            Os::setLastOsError(got < 0 ? errno : 0);
            return false;
        }
        buffer += got;
        count -= std::size_t(got);
        offset += std::uint64_t(got);
    }
    return true;
}

// Writes count bytes at offset; false on failure (OS error kept).
bool writeAt(int fd, const std::uint8_t* bytes, std::size_t count, std::uint64_t offset) {
    while (count > 0) {
        const ssize_t put = ::pwrite(fd, bytes, count, off_t(offset));
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) {
            Os::setLastOsError(put < 0 ? errno : EIO);
            return false;
        }
        bytes += put;
        count -= std::size_t(put);
        offset += std::uint64_t(put);
    }
    return true;
}

// Writes count zero segments from segment `from` of an open file.
bool writeZeroSegments(int fd, std::int64_t from, std::int32_t count) {
    static const std::uint8_t zeros[FMSC_SEGMENT_SIZE] = {};
    for (std::int32_t i = 0; i < count; ++i) {
        if (!writeAt(fd, zeros, FMSC_SEGMENT_SIZE, std::uint64_t(from + i) * FMSC_SEGMENT_SIZE))
            return false;
    }
    return true;
}

// The segments of an extent file: its first segment number, and how many
// of its segments the store counts (the files before the last in use are
// full), by the sizes the handle checked.
struct ExtentSpan {
    std::int32_t first;
    std::int32_t counted;
};

ExtentSpan spanOf(const FMSC_FILETOC_T* toc, std::int32_t extent) {
    const FmscLimits& limits = toc->limits;
    const std::int64_t before = std::int64_t(extent) * limits.segmentsPerExtent;
    const std::int64_t counted = std::clamp<std::int64_t>(
        FMSCX_ReadShared(toc->shared->extentSegmentsInUse) - before, 0, limits.segmentsPerExtent);
    return {std::int32_t(limits.segmentFileSegments + before), std::int32_t(counted)};
}

// The server holds each extent file it reads and writes with a mark on its
// open file, which its clients, which open the files by their paths, look
// for before they read one: a file put in the place of the server's is read
// by no client, while the server reads its own on until it finds the change
// (when it grows that file, closes or opens the cache). The mark is a shared
// lock of one byte that is this cache's and this file's own: a file that
// another open holds (the server's other extent file, another cache's, a
// file that some program locks whole) is no more its server's than one that
// nobody holds.
//
// The byte: 2^32 (beyond any byte that the cache locks in its other files,
// which a file renamed over an extent file carries with it: the meta and
// owner files whole, the first bytes of the mutex file, and the first byte
// of an extent file, which the builds before this one marked) plus the
// extent file's number plus 1000 (the most extent files) times a hash of the
// meta file's device and inode. The server holds its meta file open for its
// whole life, so that no two caches that run at once have the same one: of
// about 2^53 places, two caches meet at one with odds of 1 in 9 * 10^15.
constexpr std::uint64_t firstMarkByte = std::uint64_t(1) << 32;
constexpr std::uint64_t cachePlaces =
    (std::uint64_t(std::numeric_limits<off_t>::max()) - firstMarkByte) / FMSC_MAX_EXTENT_FILES;

// The mixing steps of splitmix64: every bit of the result depends on every
// bit of the word.
std::uint64_t mixed(std::uint64_t word) {
    word = (word ^ (word >> 30)) * 0xBF58476D1CE4E5B9u;
    word = (word ^ (word >> 27)) * 0x94D049BB133111EBu;
    return word ^ (word >> 31);
}

// The byte at which the server of the cache marks extent file `extent` as
// held; false (the OS error kept) when the meta file cannot be looked at.
bool holderMarkOf(const FMSC_FILETOC_T* toc, std::int32_t extent, std::uint64_t* byte) {
    struct stat meta {};
    if (::fstat(toc->metaMap.fd, &meta) != 0) {
        Os::setLastOsError(errno);
        return false;
    }
    const std::uint64_t place =
        mixed(mixed(std::uint64_t(meta.st_dev)) ^ meta.st_ino) % cachePlaces;
    *byte = firstMarkByte + place * FMSC_MAX_EXTENT_FILES + std::uint64_t(extent);
    return true;
}

// Puts the server's mark on its descriptor of an extent file: false (the
// OS error kept) when it cannot.
bool markAsTheServers(FMSC_FILETOC_T* toc, int fd, std::int32_t extent) {
    std::uint64_t byte = 0;
    return holderMarkOf(toc, extent, &byte) && Os::markAsHeld(fd, byte);
}

// The server's mark on its descriptor of an extent file. A descriptor that
// cannot be marked is closed.
int markServersExtent(FMSC_FILETOC_T* toc, int* fd, std::int32_t extent) {
    if (*fd < 0 || markAsTheServers(toc, *fd, extent)) return 0;
    const int error = Os::lastOsError();
    ::close(*fd);
    *fd = -1;
    Os::setLastOsError(error);
    return FMSC_FAIL_VALUE(toc, FMSC_ERROR_SEGMENT_FMSC_CANNOT_OPEN_EXTENT_FILE, extent);
}

// Whether the client's descriptor of an extent file is the server's file in
// that place: one that bears the server's mark for it, else it is closed
// (85).
int clientFindsServersExtent(FMSC_FILETOC_T* toc, int* fd, std::int32_t extent) {
    std::uint64_t byte = 0;
    if (*fd < 0 || (holderMarkOf(toc, extent, &byte) && Os::markedAsHeldByAnother(*fd, byte)))
        return 0;
    ::close(*fd);
    *fd = -1;
    Os::setLastOsError(EPERM);
    return FMSC_FAIL_VALUE(toc, FMSC_ERROR_SEGMENT_FMSC_CANNOT_OPEN_EXTENT_FILE, extent);
}

// Puts on the free list each segment from first to end - 1 that is not on
// it: segments that no page names any more.
void freeUnlisted(FMSC_FILETOC_T* toc, std::int32_t first, std::int32_t end) {
    const FmscFreeSegments& f = toc->freeSegments;
    for (std::int32_t segment = first; segment < end; ++segment) {
        const bool listed =
            segment == f.first || segment == f.last || f.next[std::size_t(segment)] != -1;
        if (!listed) FMSCSegment_FreeThisSegment(toc, -1, segment);
    }
}

}  // namespace

int FMSCX_WriteNewSegmentFile(FMSC_FILETOC_T* toc, const std::string& path) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    std::FILE* file = Os::createSharedFile(path);
    if (!file) {
        Os::setLastOsError(errno);
        return FMSC_FAIL(toc, FMSC_ERROR_SEGMENT_FMSC_CANNOT_CREATE_SEGMENT_FILE);
    }
    static const std::uint8_t zeros[FMSC_SEGMENT_SIZE] = {};
    for (std::int32_t i = 0; i < toc->shared->segmentFileSegments; ++i) {
        if (std::fwrite(zeros, FMSC_SEGMENT_SIZE, 1, file) != 1) {
            Os::setLastOsError(errno);
            std::fclose(file);
            return FMSC_FAIL(toc, FMSC_ERROR_SEGMENT_FILE_CANNOT_WRITE_BLANK_SEGMENT_FILE);
        }
    }
    if (std::fclose(file) != 0) {
        Os::setLastOsError(errno);
        return FMSC_FAIL(toc, FMSC_ERROR_SEGMENT_CANNOT_CLOSE_SEGMENT_FILE);
    }
    return 0;
}

std::string FMSCX_ExtentPath(const FMSC_FILETOC_T* toc, std::int32_t extent) {
    return numbered(toc->segmentToc->extentBasePath, "%03d", "%07d", extent);
}

std::string FMSCX_ExtentMapName(const FMSC_FILETOC_T* toc, std::int32_t extent) {
    if (toc->wellKnownName.empty())
        return FMSCX_getGetEnv(nullptr, "FMSC_DEFAULT_SEGMENTEXT_FILE_MAPNAME", "FMS_EXT");
    return numbered(toc->wellKnownName + "_EXT", "%03d", "%07d", extent);
}

int FMSCSegment_Open(FMSC_FILETOC_T* toc, const char* folder, const char* name, bool create,
                     bool deleteFiles, bool attach) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    auto fail = [toc](int error) {
        FMSCTOC_Close(toc);
        FMSCX_Traceback("FMSCSegment_Open");
        return error;
    };
    std::string directory = FMSCX_getGetEnv(folder, "FMSC_DEFAULT_CACHE_DIR", "c:");
    std::string path =
        FMSCX_getFilePath(directory, nullptr, "FMSC_DEFAULT_SEGMENT_FILE", "fms.seg");
    std::string extentBase =
        FMSCX_getFilePath(directory, nullptr, "FMSC_DEFAULT_SEGMENTEXT_FILE", "fms.ext");
    std::string mapName =
        name && *name ? std::string(name) + "_SEG"
                      : FMSCX_getGetEnv(nullptr, "FMSC_DEFAULT_SEGMENT_FILE_MAPNAME", "FMS_SEG");
    if (!attach) {
        int rc = deleteFiles ? FMSCX_DeleteOSFile(toc->error, extentBase.c_str()) : 0;
        if (!rc)
            rc = FMSCX_PrepareFile(
                toc, path, create, deleteFiles,
                FMSC_ERROR_SEGMENT_FILE_DOES_NOT_EXIST_AND_CREATE_OPTION_NOT_SPECIFIED,
                [toc, &path] { return FMSCX_WriteNewSegmentFile(toc, path); });
        if (rc) return fail(rc);
    }
    std::int64_t size = 0;
    if (const int error =
            FMSCX_CacheFileSize(toc, path, FMSC_ERROR_SEGMENT_FILE_DOES_NOT_EXIST, &size))
        return fail(error);
    if (size < std::int64_t(toc->shared->segmentFileSegments) * FMSC_SEGMENT_SIZE) {
        FMSCX_PrintErrorName(FMSC_ERROR_SEGMENT_FILE_HEADER_IS_WRONG_SIZE);
        return fail(FMSC_ERROR_SEGMENT_FILE_HEADER_IS_WRONG_SIZE);
    }
    int rc = FMSCSegmentTOC_Open(toc);
    if (rc) return fail(rc);
    FMSC_FILE_SEGMENTTOC_T* segments = toc->segmentToc.get();
    segments->path = path;
    segments->mapName = mapName;
    segments->extentBasePath = extentBase;
    rc = FMSCX_MapOSFile(toc, path, mapName, toc->client, -1, segments->map);
    if (rc) return fail(rc);
    const std::int32_t count = toc->shared->segmentFileSegments;
    if (FMSCX_MappedBytes(segments->map) < std::uint64_t(count) * FMSC_SEGMENT_SIZE) {
        FMSCX_PrintErrorName(FMSC_ERROR_SEGMENT_FILE_HEADER_IS_WRONG_SIZE);
        return fail(FMSC_ERROR_SEGMENT_FILE_HEADER_IS_WRONG_SIZE);
    }
    toc->limits.segmentFileSegments = count;
    if (attach) {
        // A client's try without the cache's lock, quiet: the server
        // removes and makes its extent files under the lock, and what this
        // try could not attach is tried again under it (FMSCIF_OpenS), where
        // the server's count and marks hold.
        const FmscQuietReports quiet;
        FMSCXSegment_OpenExtentFile(toc, false, false, true);
        return 0;
    }
    rc = FMSCXSegment_OpenExtentFile(toc, create, deleteFiles, false);
    if (rc) return fail(rc);
    return 0;
}

int FMSCXSegment_OpenExtentFile(FMSC_FILETOC_T* toc, bool create, bool deleteFiles, bool attach) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (const int error = checkSegmentToc(toc, FMSC_HERE)) return error;
    if (!attach && create && deleteFiles) {
        for (std::int32_t e = 0; e < FMSC_MAX_FILE_PAGES; ++e) {
            std::string path = FMSCX_ExtentPath(toc, e);
            int exists = FMSCX_OSFileExists(toc->error, path.c_str());
            if (exists == 0) break;
            if (exists > 1) return exists;
            if (const int error = FMSCX_DeleteOSFile(toc->error, path.c_str()))
                return FMSCX_PassOn(__func__, error);
        }
        toc->shared->extentFilesInUse = toc->header->extentFilesInUse = 0;
        toc->shared->extentSegmentsInUse = toc->header->extentSegmentsInUse = 0;
        FMSCX_ReachOpenStep("removed the extent files");
    }
    FmscExtentUse use;
    if (const int error = FMSCX_ExtentUse(toc, &use)) return FMSCX_PassOn(__func__, error);
    for (std::int32_t e = 0; e < use.files && e < FMSC_MAX_EXTENT_FILES; ++e) {
        // One that a client attached already is its server's own.
        if (attach && toc->segmentToc->extents[std::size_t(e)]) continue;
        if (const int error = FMSCSegment_AddExtentFileRecord(toc, attach, e))
            return FMSCX_PassOn(__func__, error);
        // Each file holds the segments counted in it, as the segment file
        // does: one cut short or gone since the server closed is made whole
        // again, without the blocks it lost.
        if (attach) continue;
        if (const int error = FMSCX_CheckExtentFile(toc, e)) return FMSCX_PassOn(__func__, error);
    }
    return 0;
}

int FMSCSegment_AddExtentFileRecord(FMSC_FILETOC_T* toc, bool attach, std::int32_t extent) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (const int error = checkSegmentToc(toc, FMSC_HERE)) return error;
    if (extent < 0 || extent >= FMSC_MAX_EXTENT_FILES)
        return FMSC_FAIL_VALUE(toc, FMSC_ERROR_SEGMENT_FMSC_CANNOT_OPEN_EXTENT_FILE, extent);
    auto record = std::make_unique<FmscExtentRecord>();
    record->path = FMSCX_ExtentPath(toc, extent);
    record->mapName = FMSCX_ExtentMapName(toc, extent);
    // The file is opened now, and read and written through its descriptor.
    // A server's that is gone is made anew by its check
    // (FMSCX_CheckExtentFile).
    record->map.fd = Os::openFileForMapping(record->path);
    const bool gone = !toc->client && record->map.fd < 0 && Os::lastOsError() == ENOENT;
    if (record->map.fd < 0 && !gone)
        return FMSC_FAIL_VALUE(toc,
                               attach ? FMSC_ERROR_CLIENT_CANNOT_MAP_VM_FILE
                               : Os::lastOsError() == EPERM
                                   ? FMSC_ERROR_UTIL_CANNOT_OPEN_FILE
                                   : FMSC_ERROR_SEGMENT_FMSC_CANNOT_OPEN_EXTENT_FILE,
                               extent);
    if (toc->client) {
        if (const int error = clientFindsServersExtent(toc, &record->map.fd, extent)) return error;
    } else if (record->map.fd >= 0 && !markAsTheServers(toc, record->map.fd, extent)) {
        // A file that another program locks (any lock of it, which could
        // hide the mark from the clients, or one that leaves no room for
        // it) is one that the server cannot hold: made anew by its check, as
        // one gone, without the blocks it held, while that program keeps
        // the old file.
        const int error = Os::lastOsError();
        ::close(std::exchange(record->map.fd, -1));
        Os::setLastOsError(error);
        if (error != EAGAIN && error != EACCES)
            return FMSC_FAIL_VALUE(toc, FMSC_ERROR_SEGMENT_FMSC_CANNOT_OPEN_EXTENT_FILE, extent);
    }
    // A client's extent file is watched for its removal: the server removes
    // it when it purges or shrinks and may make a new one in its place,
    // which the client's descriptor does not show. Not for the server's
    // writes, which a client that reads the file has no need to be told.
    if (toc->client) toc->fileWatch.add(record->map.fd, false);
    toc->segmentToc->extents[std::size_t(extent)] = std::move(record);
    return 0;
}

namespace {

// Makes an extent file anew at its path, holding count zero segments, and
// keeps its descriptor, through which the server reads and writes it from
// then on. An old file of that name may be open in a client: the new one
// takes the name over, and the client's descriptor keeps the old file,
// which its next read finds no more at the path. The new file bears the
// server's mark before it has the name, so that no lock that another
// program takes of it by its name comes before the mark.
int makeExtentFile(FMSC_FILETOC_T* toc, std::int32_t extent, const std::string& path,
                   std::int32_t count, int* fd) {
    std::FILE* file = Os::createSharedFile(path, [toc, extent](int made) {
        if (markAsTheServers(toc, made, extent)) return true;
        errno = Os::lastOsError();
        return false;
    });
    if (!file) {
        Os::setLastOsError(errno);
        return FMSC_FAIL_VALUE(toc, FMSC_ERROR_SEGMENT_FMSC_CANNOT_OPEN_EXTENT_FILE, extent);
    }
    const int made = ::fcntl(fileno(file), F_DUPFD_CLOEXEC, 0);
    const bool grown = made >= 0 && ::ftruncate(made, off_t(count) * FMSC_SEGMENT_SIZE) == 0;
    if (!grown) Os::setLastOsError(errno);
    const bool closed = std::fclose(file) == 0;
    if (grown && !closed) Os::setLastOsError(errno);
    if (!grown || !closed) {
        if (made >= 0) ::close(made);
        return FMSC_FAIL_VALUE(toc, FMSC_ERROR_FILE_SEGMENT_BEYOND_END_OF_EXTENT_FILE, extent);
    }
    FMSCX_ReachOpenStep("made an extent file");
    *fd = made;
    return 0;
}

}  // namespace

int FMSCX_CheckExtentFile(FMSC_FILETOC_T* toc, std::int32_t extent) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (const int error = checkSegmentToc(toc, FMSC_HERE)) return error;
    if (toc->client || extent < 0 || extent >= FMSC_MAX_EXTENT_FILES) return 0;
    FmscExtentRecord* record = toc->segmentToc->extents[std::size_t(extent)].get();
    if (!record) return 0;
    const ExtentSpan span = spanOf(toc, extent);
    const off_t whole = off_t(span.counted) * FMSC_SEGMENT_SIZE;
    struct stat held {
    }, named{};
    const bool open = record->map.fd >= 0 && ::fstat(record->map.fd, &held) == 0;
    const bool atPath = open && held.st_nlink > 0 && ::lstat(record->path.c_str(), &named) == 0 &&
                        named.st_dev == held.st_dev && named.st_ino == held.st_ino;
    if (atPath && held.st_size >= whole) return 0;
    // What is no more in the file at its path is nobody's block: a cut
    // takes the blocks beyond it, a file removed or replaced all of its
    // own (those in the file the server still holds would go with the
    // server, and its clients and its next open read the path).
    const std::int32_t kept =
        atPath ? std::int32_t(std::min<off_t>(held.st_size / FMSC_SEGMENT_SIZE, span.counted)) : 0;
    FMSCX_DropSegments(toc, span.first + kept, span.first + span.counted);
    // The file is made whole again, or anew, so that the segments the
    // blocks held are free again, and growth goes on from its end.
    if (atPath) {
        if (::ftruncate(record->map.fd, whole) != 0) {
            Os::setLastOsError(errno);
            return FMSC_FAIL_VALUE(toc, FMSC_ERROR_FILE_SEGMENT_BEYOND_END_OF_EXTENT_FILE, extent);
        }
    } else {
        int made = -1;
        if (const int error = makeExtentFile(toc, extent, record->path, span.counted, &made))
            return FMSCX_PassOn(__func__, error);
        FMSCX_UnMapOSFile(toc, record->map, false);
        record->map.fd = made;
    }
    freeUnlisted(toc, span.first + kept, span.first + span.counted);
    return 0;
}

int FMSCX_SegmentCreateInitialExtFile(FMSC_FILETOC_T* toc, std::int32_t extent) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (const int error = checkSegmentToc(toc, FMSC_HERE)) return error;
    if (extent < 0 || extent >= FMSC_MAX_EXTENT_FILES)
        return FMSC_FAIL_VALUE(toc, FMSC_ERROR_SEGMENT_FMSC_CANNOT_OPEN_EXTENT_FILE, extent);
    auto& slot = toc->segmentToc->extents[std::size_t(extent)];
    if (slot) return 0;
    auto record = std::make_unique<FmscExtentRecord>();
    record->path = FMSCX_ExtentPath(toc, extent);
    record->mapName = FMSCX_ExtentMapName(toc, extent);
    if (const int error = makeExtentFile(toc, extent, record->path, 0, &record->map.fd))
        return FMSCX_PassOn(__func__, error);
    slot = std::move(record);
    return 0;
}

int FMSCX_ExtentUse(FMSC_FILETOC_T* toc, FmscExtentUse* use) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    const FmscLimits& limits = toc->limits;
    use->files = FMSCX_ReadShared(toc->shared->extentFilesInUse);
    use->segments = FMSCX_ReadShared(toc->shared->extentSegmentsInUse);
    constexpr int beyond = FMSC_ERROR_FILE_SEGMENT_BEYOND_END_OF_EXTENT_FILE;
    switch (FMSCX_ExtentCounts(use->files, use->segments, limits.segmentsPerExtent,
                               limits.maxExtentFiles)) {
        case FmscExtentCounts::BadFiles: return FMSC_FAIL_VALUE(toc, beyond, use->files);
        case FmscExtentCounts::BadSegments: return FMSC_FAIL_VALUE(toc, beyond, use->segments);
        case FmscExtentCounts::Whole: break;
    }
    use->total = limits.segmentFileSegments + use->segments;
    return 0;
}

int FMSC_SegmentExpandExtents(FMSC_FILETOC_T* toc) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    FmscExtentUse use;
    if (const int error = FMSCX_ExtentUse(toc, &use)) return FMSCX_PassOn(__func__, error);
    const FmscLimits& limits = toc->limits;
    std::int32_t current = use.files - 1;
    const bool another = use.files == 0 || std::int64_t(use.segments) >=
                                               std::int64_t(use.files) * limits.segmentsPerExtent;
    if (another) {
        if (use.files >= limits.maxExtentFiles) return 0;
        current = use.files;
    }
    if (!toc->segmentToc->extents[std::size_t(current)]) {
        if (const int error = FMSCX_SegmentCreateInitialExtFile(toc, current))
            return FMSCX_PassOn(__func__, error);
    }
    // Counted once it exists: a count that names a file that could not be
    // made is a cache that no open takes.
    if (another) toc->header->extentFilesInUse = toc->shared->extentFilesInUse = current + 1;
    if (const int error = FMSCX_SegmentAddExtents(toc, current))
        return FMSCX_PassOn(__func__, error);
    return 0;
}

int FMSCX_SegmentAddExtents(FMSC_FILETOC_T* toc, std::int32_t extent) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (const int error = checkSegmentToc(toc, FMSC_HERE)) return error;
    if (toc->freeSegments.count > 0) return 0;
    FmscExtentUse use;
    if (const int error = FMSCX_ExtentUse(toc, &use)) return FMSCX_PassOn(__func__, error);
    // Only the last file in use grows.
    if (extent != use.files - 1)
        return FMSC_FAIL_VALUE(toc, FMSC_ERROR_SEGMENT_FMSC_CANNOT_OPEN_EXTENT_FILE, extent);
    const std::int32_t perExtent = toc->limits.segmentsPerExtent;
    std::int32_t room = std::int32_t(std::int64_t(use.files) * perExtent - use.segments);
    std::int32_t count = toc->sharingServer ? perExtent : FMSC_GROWTH_SEGMENTS;
    std::int32_t first = use.total;
    FmscFreeSegments& f = toc->freeSegments;
    // The extent file never grows beyond its size, nor the cache beyond the
    // segments its free-segment list can hold.
    std::int64_t listRoom = std::int64_t(f.next.size()) - first;
    count =
        std::int32_t(std::max<std::int64_t>(0, std::min<std::int64_t>({count, room, listRoom})));
    if (count == 0) return 0;
    // The file grown is the one the server holds, and only while its path
    // still names it, whole: one cut, removed or replaced under the server
    // is made whole or anew first, which may free segments.
    const FmscExtentRecord* record = toc->segmentToc->extents[std::size_t(extent)].get();
    if (!record)
        return FMSC_FAIL_VALUE(toc, FMSC_ERROR_SEGMENT_FMSC_CANNOT_OPEN_EXTENT_FILE, extent);
    if (const int error = FMSCX_CheckExtentFile(toc, extent)) return FMSCX_PassOn(__func__, error);
    if (toc->freeSegments.count > 0) return 0;
    if (!writeZeroSegments(record->map.fd, first - spanOf(toc, extent).first, count))
        return FMSC_FAIL_VALUE(toc, FMSC_ERROR_FILE_SEGMENT_BEYOND_END_OF_EXTENT_FILE, extent);
    for (std::int32_t i = 0; i < count; ++i)
        f.next[std::size_t(first + i)] = i + 1 < count ? first + i + 1 : -1;
    f.first = first;
    f.last = first + count - 1;
    f.count = count;
    toc->header->extentSegmentsInUse = toc->shared->extentSegmentsInUse = use.segments + count;
    return 0;
}

int FMSCX_SegmentCloseExtentFile(FMSC_FILETOC_T* toc, std::int32_t extent) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (const int error = checkSegmentToc(toc, FMSC_HERE)) return error;
    if (extent < 0 || extent >= FMSC_MAX_EXTENT_FILES) return 0;
    auto& record = toc->segmentToc->extents[std::size_t(extent)];
    if (!record) return 0;
    if (const int error = FMSCX_UnMapOSFile(toc, record->map, toc->client))
        return FMSCX_PassOn(__func__, error);
    return 0;
}

void FMSCX_RebuildFreeSegments(FMSC_FILETOC_T* toc, std::int32_t from, std::int32_t end,
                               std::vector<std::uint8_t>& held) {
    FmscFreeSegments& f = toc->freeSegments;
    end = std::int32_t(std::clamp<std::int64_t>(end, 0, std::int64_t(f.next.size())));
    // A segment that a page names stays its: the pages of every type count,
    // as at open. The marks take the memory the caller set aside.
    held.assign(std::size_t(end), 0);
    for (std::int32_t i = 0; i < toc->limits.pages; ++i) {
        const FmscFilePage& p = toc->pages[i];
        for (std::int32_t e = 0; e < std::min(p.numSegments, FMSC_SEGMENTS_PER_PAGE); ++e) {
            const std::int32_t segment = p.segments[e].segmentOffset;
            if (segment >= 0 && segment < end) held[std::size_t(segment)] = 1;
        }
    }
    std::fill(f.next.begin(), f.next.end(), -1);
    f.first = f.last = -1;
    f.count = 0;
    for (std::int32_t i = std::max(from, 0); i < end; ++i) {
        if (held[std::size_t(i)]) continue;
        if (f.last >= 0)
            f.next[std::size_t(f.last)] = i;
        else
            f.first = i;
        f.last = i;
        ++f.count;
    }
}

int FMSCX_PrepareShrink(FMSC_FILETOC_T* toc, bool shrink, FmscShrink* plan) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    FmscExtentUse use;
    if (const int error = FMSCX_ExtentUse(toc, &use)) return FMSCX_PassOn(__func__, error);
    plan->paths.clear();
    for (std::int32_t e = 0; shrink && e < use.files; ++e)
        plan->paths.push_back(FMSCX_ExtentPath(toc, e));
    plan->held.reserve(std::size_t(use.total));
    return 0;
}

int FMSCSegment_ShrinkTheSegmentExtentFile(FMSC_FILETOC_T* toc, std::int32_t megabytes,
                                           bool shrink) {
    FmscShrink plan;
    if (const int error = FMSCX_PrepareShrink(toc, shrink, &plan))
        return FMSCX_PassOn(__func__, error);
    return FMSCX_ShrinkPrepared(toc, megabytes, shrink, plan);
}

int FMSCX_ShrinkPrepared(FMSC_FILETOC_T* toc, std::int32_t megabytes, bool shrink,
                         FmscShrink& plan) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (const int error = checkSegmentToc(toc, FMSC_HERE)) return error;
    megabytes = std::max(megabytes, 0);
    FMSC_FILESHARED_T* s = toc->shared;
    const FmscLimits& limits = toc->limits;
    // The counts the plan was sized by, checked again: nothing changed yet.
    FmscExtentUse use;
    if (const int error = FMSCX_ExtentUse(toc, &use)) return FMSCX_PassOn(__func__, error);
    if (std::size_t(use.total) > plan.held.capacity())
        return FMSC_FAIL_VALUE(toc, FMSC_ERROR_FILE_SEGMENT_BEYOND_END_OF_EXTENT_FILE, use.total);
    const std::int32_t files = std::int32_t(plan.paths.size());
    if (files > 0) {
        // Only a cut to nothing is carried out, by removing the files: each
        // is looked at before anything changes.
        for (std::int32_t e = 0; e < files; ++e) {
            // One removed under the server has nothing left to remove.
            int exists = FMSCX_OSFileExists(toc->error, plan.paths[std::size_t(e)].c_str());
            if (exists > 1) return FMSC_FAIL_VALUE(toc, FMSC_ERROR_UTIL_CANNOT_OPEN_FILE, e);
            if (megabytes != 0)
                return FMSC_FAIL_VALUE(toc, FMSC_ERROR_UTIL_CANNOT_SET_END_OF_FILE, megabytes);
        }
        for (std::int32_t e = 0; e < files; ++e) {
            if (const int error = FMSCX_SegmentCloseExtentFile(toc, e))
                return FMSCX_PassOn(__func__, error);
        }
        FMSCX_ReachOpenStep("closed the extent files");
        // The blocks that the files hold go with them: no page names a
        // segment that is no more, nor one that growth hands out again.
        FMSCX_DropSegments(toc, limits.segmentFileSegments, INT32_MAX);
    }
    if (shrink && megabytes == 0) {
        s->extentSegmentsInUse = toc->header->extentSegmentsInUse = 0;
        s->extentFilesInUse = toc->header->extentFilesInUse = 0;
        use.total = limits.segmentFileSegments;
    }
    // The sharing server's own block keeps its segments whatever a client
    // wrote over its count of them.
    FMSCX_RebuildFreeSegments(toc, limits.sharedSegments, use.total, plan.held);
    // The files go once the store uses none: one that cannot be removed is
    // reported, and left to growth to make anew.
    int failed = 0;
    for (std::int32_t e = 0; e < files; ++e) {
        const int error = FMSCX_DeleteOSFile(toc->error, plan.paths[std::size_t(e)].c_str());
        if (error && !failed) failed = FMSCX_PassOn(__func__, error);
        toc->segmentToc->extents[std::size_t(e)].reset();
    }
    return failed;
}

namespace {

// The extent file of a segment beyond the segment file, and its place in
// that file, by the sizes the handle checked: false when no extent file
// the cache may have holds it.
bool locateInExtents(const FmscLimits& limits, std::int32_t segment, std::int32_t* extent,
                     std::int32_t* position) {
    if (limits.segmentsPerExtent <= 0) return false;
    const std::int32_t beyond = segment - limits.segmentFileSegments;
    *extent = beyond / limits.segmentsPerExtent;
    *position = beyond % limits.segmentsPerExtent;
    return *extent < limits.maxExtentFiles && *extent < FMSC_MAX_EXTENT_FILES;
}

}  // namespace

namespace {

// A server's extent file that a read or a write found shorter than a
// segment it is counted to hold: checked (FMSCX_CheckExtentFile) once the
// entry is done with it, when no segment is taken and not yet recorded.
void noteShortExtent(FMSC_FILETOC_T* toc, std::int32_t segment) {
    std::int32_t extent = -1, position = -1;
    if (!toc->client && locateInExtents(toc->limits, segment, &extent, &position))
        toc->extentToCheck = extent;
}

// A client's descriptor of an extent file: opened on first use, and opened
// anew when the file it reads is no more the one at its path (a purge
// removes the extent files, growth makes them anew; a file renamed away or
// named elsewhere too lives on, with the blocks of the past), which is
// looked at in each of the client's checks of its files (in a lock after
// one of them changed), or at each read without the lock.
int clientExtentFile(FMSC_FILETOC_T* toc, std::int32_t extent, int* fd) {
    auto& slot = toc->segmentToc->extents[std::size_t(extent)];
    const bool seen = toc->mutexHeld && slot && slot->atPathInCheck == toc->filesChecked;
    if (slot && slot->map.fd >= 0 && !seen) {
        if (Os::isFileAtPath(slot->map.fd, slot->path)) {
            slot->atPathInCheck = toc->filesChecked;
        } else {
            FMSCX_UnMapOSFile(toc, slot->map, true);
            slot.reset();
        }
    }
    if (!slot || slot->map.fd < 0) {
        if (const int error = FMSCSegment_AddExtentFileRecord(toc, true, extent))
            return FMSCX_PassOn(__func__, error);
        // Watched from now on; one removed before the watch began is looked
        // at again at its next use.
        if (Os::isFileAtPath(slot->map.fd, slot->path)) slot->atPathInCheck = toc->filesChecked;
    }
    *fd = slot->map.fd;
    return 0;
}

// The server's descriptor of an extent file: opened with its record, and
// opened again when growth closed it and could not open it again.
int serverExtentFile(FMSC_FILETOC_T* toc, std::int32_t extent, int* fd) {
    FmscExtentRecord* record = toc->segmentToc->extents[std::size_t(extent)].get();
    if (record && record->map.fd < 0) {
        record->map.fd = Os::openFileForMapping(record->path);
        if (const int error = markServersExtent(toc, &record->map.fd, extent)) return error;
    }
    if (!record || record->map.fd < 0)
        return FMSC_FAIL_VALUE(toc, FMSC_ERROR_SEGMENT_FMSC_CANNOT_OPEN_EXTENT_FILE, extent);
    *fd = record->map.fd;
    return 0;
}

// The descriptor of the extent file that holds a segment beyond the segment
// file, and the segment's place in that file. Extent files are read and
// written through their descriptors, never mapped: a view of a segment,
// mapped for one block and unmapped for the next, costs many times the copy
// of the block, and a view kept of a file cut short faults when touched.
int extentFileOf(FMSC_FILETOC_T* toc, std::int32_t segment, int* fd, std::int32_t* within) {
    std::int32_t extent = -1;
    if (!locateInExtents(toc->limits, segment, &extent, within))
        return FMSC_FAIL_VALUE(toc, FMSC_ERROR_FILE_SEGMENT_BEYOND_END_OF_EXTENT_FILE, segment);
    const int error =
        toc->client ? clientExtentFile(toc, extent, fd) : serverExtentFile(toc, extent, fd);
    return error ? FMSCX_PassOn(__func__, error) : 0;
}

}  // namespace

int FMSCX_SegmentAddress(FMSC_FILETOC_T* toc, std::int32_t segment, std::uint8_t** address) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (const int error = checkSegmentToc(toc, FMSC_HERE)) return error;
    if (segment < 0 || segment >= toc->limits.segmentFileSegments)
        return FMSC_FAIL_VALUE(toc, FMSC_ERROR_SEGMENT_BAD_OFFSET, segment);
    *address = toc->segmentToc->map.data + std::size_t(segment) * FMSC_SEGMENT_SIZE;
    return 0;
}

int FMSCX_ReadSegment(FMSC_FILETOC_T* toc, std::int32_t segment, std::uint8_t* buffer,
                      std::int32_t length, std::int32_t offset) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (const int error = checkSegmentToc(toc, FMSC_HERE)) return error;
    if (!buffer) return FMSCX_NullParameter(toc, "buffer", FMSC_HERE);
    if (segment < 0) return FMSC_FAIL_VALUE(toc, FMSC_ERROR_SEGMENT_BAD_OFFSET, segment);
    if (offset < 0 || length < 0 || length > FMSC_SEGMENT_SIZE - offset)
        return FMSC_FAIL_VALUE(toc, FMSC_ERROR_IF_BAD_LENGTH, length);
    // The server copies out of its view of the segment file; a client
    // reads it, as both read extent files.
    if (!toc->client && segment < toc->limits.segmentFileSegments) {
        std::uint8_t* address = nullptr;
        if (const int error = FMSCX_SegmentAddress(toc, segment, &address))
            return FMSCX_PassOn(__func__, error);
        std::memcpy(buffer, address + offset, std::size_t(length));
        return 0;
    }
    int fd = toc->segmentToc->map.fd;
    std::int32_t within = segment;
    if (segment >= toc->limits.segmentFileSegments) {
        if (const int error = extentFileOf(toc, segment, &fd, &within))
            return FMSCX_PassOn(__func__, error);
    }
    // A file cut short reads short.
    if (!readAt(fd, buffer, std::size_t(length),
                std::uint64_t(within) * FMSC_SEGMENT_SIZE + std::uint64_t(offset))) {
        if (segment >= toc->limits.segmentFileSegments) noteShortExtent(toc, segment);
        return FMSC_FAIL_VALUE(toc, FMSC_ERROR_FILE_SEGMENT_BEYOND_END_OF_EXTENT_FILE, segment);
    }
    return 0;
}

int FMSCSegment_WriteSegmentData(FMSC_FILETOC_T* toc, const std::uint8_t* bytes,
                                 std::int32_t segment, std::int32_t length) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (!bytes) return FMSCX_NullParameter(toc, "bytes", FMSC_HERE);
    if (segment < 0) return FMSC_FAIL_VALUE(toc, FMSC_ERROR_SEGMENT_BAD_OFFSET, segment);
    if (length < 0 || length > FMSC_SEGMENT_SIZE)
        return FMSC_FAIL_VALUE(toc, FMSC_ERROR_IF_BAD_LENGTH, length);
    if (segment >= toc->limits.segmentFileSegments) {
        if (const int error = FMSC_SegmentWriteExtent(toc, bytes, segment, length))
            return FMSCX_PassOn(__func__, error);
        return 0;
    }
    std::uint8_t* address = nullptr;
    if (const int error = FMSCX_SegmentAddress(toc, segment, &address))
        return FMSCX_PassOn(__func__, error);
    std::memcpy(address, bytes, std::size_t(length));
    return 0;
}

int FMSC_SegmentWriteExtent(FMSC_FILETOC_T* toc, const std::uint8_t* bytes, std::int32_t segment,
                            std::int32_t length) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (!bytes) return FMSCX_NullParameter(toc, "bytes", FMSC_HERE);
    const FmscLimits& limits = toc->limits;
    if (limits.segmentsPerExtent <= 0)
        return FMSC_FAIL_VALUE(toc, FMSC_ERROR_SEGMENT_BAD_OFFSET, segment);
    std::int32_t position = (segment - limits.segmentFileSegments) % limits.segmentsPerExtent;
    if (position < 0 || position >= limits.segmentsPerExtent)
        return FMSC_FAIL_VALUE(toc, FMSC_ERROR_SEGMENT_BAD_OFFSET, position);
    int fd = -1;
    std::int32_t within = -1;
    if (const int error = extentFileOf(toc, segment, &fd, &within))
        return FMSCX_PassOn(__func__, error);
    // Only where the file holds the segment: a file cut short under the
    // server is not made longer by the write, with zeros in place of the
    // blocks cut that pages still name (its check drops them first). Its
    // end is asked of the descriptor, whose offset nothing else uses, at a
    // fraction of the cost of its status.
    const std::uint64_t at = std::uint64_t(within) * FMSC_SEGMENT_SIZE;
    const std::int64_t size = ::lseek(fd, 0, SEEK_END);
    if (size < 0) Os::setLastOsError(errno);
    if (size >= 0 && std::uint64_t(size) < at + FMSC_SEGMENT_SIZE) noteShortExtent(toc, segment);
    if (size < 0 || std::uint64_t(size) < at + FMSC_SEGMENT_SIZE ||
        !writeAt(fd, bytes, std::size_t(length), at))
        return FMSC_FAIL_VALUE(toc, FMSC_ERROR_FILE_SEGMENT_BEYOND_END_OF_EXTENT_FILE, segment);
    return 0;
}

int FMSCFile_GetFreeSegmentMap(FMSC_FILETOC_T* toc) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    const FMSC_FILESHARED_T* s = toc->shared;
    std::int64_t existing = std::int64_t(s->segmentFileSegments) + s->extentSegmentsInUse;
    std::int64_t capacity = std::int64_t(s->totalExtentMegabytes) * 64 + s->segmentFileSegments;
    if (existing > capacity) {
        FMSCX_PrintErrorName(FMSC_ERROR_METAFILE_DATE_LIST_COUNT_IS_WRONG);
        return FMSC_FAIL(toc, FMSC_ERROR_METAFILE_DATE_LIST_COUNT_IS_WRONG);
    }
    FmscFreeSegments& f = toc->freeSegments;
    f.next.assign(std::size_t(capacity), -1);
    FMSCX_InitEmptyDateList(toc);
    std::vector<std::uint8_t> used(std::size_t(existing), 0);
    for (std::int32_t i = 0; i < toc->limits.pages; ++i) {
        const FmscFilePage& p = toc->pages[i];
        if (const int error = FMSCFile_CheckPageConsistency(toc, i, p.type))
            return FMSCX_PassOn(__func__, error);
        // Every page's entries count, not only those of allocated pages: a
        // page left floating by a delete cut short still holds its segments.
        if (p.numSegments < 0 || p.numSegments > FMSC_SEGMENTS_PER_PAGE)
            return FMSC_FAIL_VALUE(toc, FMSC_ERROR_METAFILE_SEGMENT_OFFSET, i);
        for (std::int32_t e = 0; e < p.numSegments; ++e) {
            std::int32_t segment = p.segments[e].segmentOffset;
            if (segment < 0 || segment >= existing)
                return FMSC_FAIL_VALUE(toc, FMSC_ERROR_SEGMENT_BAD_OFFSET, segment);
            if (used[std::size_t(segment)]++)
                return FMSC_FAIL_VALUE(toc, FMSC_ERROR_METAFILE_DUPLICATE_SEGMENT_OFFSET, segment);
        }
        if (p.type == FMSC_PAGE_ALLOCATED) toc->lastFileAccess[i] = p.lastAccessTime;
    }
    f.first = f.last = -1;
    f.count = 0;
    for (std::int32_t i = 0; i < existing; ++i) {
        if (used[std::size_t(i)]) continue;
        if (f.last >= 0)
            f.next[std::size_t(f.last)] = i;
        else
            f.first = i;
        f.last = i;
        ++f.count;
    }
    if (const int error = FSMCX_SortTheDateList(toc)) return FMSCX_PassOn(__func__, error);
    return 0;
}

int FMSCFile_GetFreeSegment(FMSC_FILETOC_T* toc, std::int32_t* segment) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (!segment) return FMSCX_NullParameter(toc, "segment", FMSC_HERE);
    FmscFreeSegments& f = toc->freeSegments;
    if (f.first == -1 || f.count == 0) return FMSC_FAIL(toc, FMSC_ERROR_OUT_OF_DATA_SEGMENTS);
    *segment = f.first;
    f.first = f.next[std::size_t(*segment)];
    f.next[std::size_t(*segment)] = -1;
    if (f.first == -1) f.last = -1;
    --f.count;
    return 0;
}

int FMSCSegment_FreeThisSegment(FMSC_FILETOC_T* toc, std::int32_t page, std::int32_t segment) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    (void)page;
    FmscExtentUse use;
    if (const int error = FMSCX_ExtentUse(toc, &use)) return FMSCX_PassOn(__func__, error);
    FmscFreeSegments& f = toc->freeSegments;
    if (segment < 0 || segment >= use.total || std::size_t(segment) >= f.next.size())
        return FMSC_FAIL_VALUE(toc, FMSC_ERROR_SEGMENT_BAD_OFFSET, segment);
    if (f.first == -1) {
        f.first = f.last = segment;
        f.next[std::size_t(segment)] = -1;
    } else if (segment < f.first) {
        f.next[std::size_t(segment)] = f.first;
        f.first = segment;
    } else if (segment > f.last) {
        f.next[std::size_t(f.last)] = segment;
        f.next[std::size_t(segment)] = -1;
        f.last = segment;
    } else {
        if (segment == f.first || segment == f.last || f.next[std::size_t(segment)] != -1)
            return FMSC_FAIL_VALUE(
                toc, FMSC_ERROR_METAFILE_SEGMENT_IS_ALLOCATED_AND_IN_THE_FREE_LIST, segment);
        std::int32_t below = segment - 1;
        while (below > f.first && f.next[std::size_t(below)] == -1) --below;
        f.next[std::size_t(segment)] = f.next[std::size_t(below)];
        f.next[std::size_t(below)] = segment;
    }
    ++f.count;
    return 0;
}

}  // namespace Quillomark::Fcc
