#pragma once

// The fast cache: files cut into 16384-byte blocks, kept in memory-mapped
// files that the local file-cache server and its client processes share.
// The layouts of the mapped files are shared with the server byte for byte:
// fixed-width little-endian fields at fixed offsets.

#include <fcc/FccErrorCodes.hxx>

#include <platform/os/internal/Descriptor.hxx>
#include <platform/os/internal/MappedFile.hxx>
#include <platform/os/internal/FileWatch.hxx>
#include <platform/os/internal/NamedMutex.hxx>

#include <array>
#include <cstddef>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the cache files are little-endian");

namespace Quillomark::Fcc {

constexpr std::int32_t FMSC_SEGMENT_SIZE = 16384;
constexpr std::int32_t FMSC_PAGE_SIZE = 512;
constexpr std::int32_t FMSC_SEGMENTS_PER_PAGE = 36;
constexpr std::int32_t FMSC_GUID_SIZE = 36;
// The version of what processes of the library share through a cache: its
// files and their layout, the block of shared structures that a sharing
// server keeps at the start of "fms.seg", and the cache's mutex, whose name
// each version gives it. The meta file's header carries it, and the block
// its signature (fmscSharedSignature), which both sides check: a client of
// one version never maps the cache of a server of another, nor a server the
// files that a server of another version holds or made, since the two may
// not take one mutex. Version 2 covers two namings of the mutex: its first
// builds named it by the cache's name alone (mutex.<name>), its later ones
// by the device and inode of the cache's folder too
// (mutex.<name>.<device>.<inode>), as version 3 does; a peer of either is
// refused alike. A server of this version takes over the files that one of
// version 2 closed.
constexpr std::int32_t FMSC_VERSION = 3;
constexpr std::int32_t FMSC_PREVIOUS_VERSION = 2;
constexpr std::int32_t FMSC_STATE_CLEAN = 24589;  // 0x600D
constexpr std::int32_t FMSC_STATE_OPEN = 47824;   // 0xBAD0
constexpr std::int32_t FMSC_MAX_FILE_PAGES = 2097151;
constexpr std::int32_t FMSC_MAX_SEGMENTS = 65535;
constexpr std::int32_t FMSC_MAX_EXTENT_FILES = 1000;
constexpr std::int32_t FMSC_MAX_SEGMENTS_PER_EXTENT = 130048;
constexpr std::int32_t FMSC_GROWTH_SEGMENTS = 256;
constexpr std::uint32_t FMSC_MUTEX_WAIT_MS = 5000;

// Structure signatures.
constexpr std::int32_t FMSC_FILETOC_T_SIG = 123;
constexpr std::int32_t FMSC_ERROR_T_SIG = 123;
constexpr std::int32_t FMSC_FILE_SEGMENTTOC_T_SIG = 126;
constexpr std::int32_t FMSC_HASHTOC_T_SIG = 127;
constexpr std::int32_t FMSC_EXTENT_SIG = 129;
// The signature of a sharing server's block of shared structures of
// version 2; each later version has its own (fmscSharedSignature).
constexpr std::int32_t FMSC_FILESHARED_T_SIG = 4321;

constexpr std::int32_t fmscSharedSignature(std::int32_t version) {
    return FMSC_FILESHARED_T_SIG + version - FMSC_PREVIOUS_VERSION;
}

enum FmscPageType : std::uint8_t {
    FMSC_PAGE_FREE = 1,
    FMSC_PAGE_ALLOCATED = 2,
    FMSC_PAGE_FLOATING = 3
};

enum FmscMode : std::int32_t {
    FMSC_MODE_PRIVATE = 0,
    FMSC_MODE_SHARING_SERVER = 1,
    FMSC_MODE_CLIENT = 2
};

// ---- Mapped formats -------------------------------------------------------

// Header of "fms.mf", at offset 0.
struct FmscFileHeader {
    std::int32_t version;
    std::int32_t freePageListFirst;
    std::int32_t freePageListLast;
    std::int32_t freePageListSize;
    std::int32_t allocatedSize;
    std::int32_t maxFilePages;
    std::int32_t segmentFileSegments;
    std::int32_t hashBlockPages;
    std::int32_t extentSegmentsInUse;
    std::int32_t extentFilesInUse;
    std::int32_t maxExtentFiles;
    std::int32_t segmentsPerExtentFile;
    std::int32_t totalExtentMegabytes;
    std::int32_t state;
    std::uint8_t zero[456];
};
static_assert(sizeof(FmscFileHeader) == 512);
static_assert(offsetof(FmscFileHeader, maxFilePages) == 20);
static_assert(offsetof(FmscFileHeader, extentSegmentsInUse) == 32);
static_assert(offsetof(FmscFileHeader, extentFilesInUse) == 36);
static_assert(offsetof(FmscFileHeader, state) == 52);

// One cached block of a file: block fileOffset is len bytes in segment
// segmentOffset. Entries not in use are all 0xFF bytes.
struct FmscSegmentEntry {
    std::int32_t len;
    std::int32_t segmentOffset;
    std::int32_t fileOffset;
};
static_assert(sizeof(FmscSegmentEntry) == 12);

// Page i of "fms.mf", at offset 512 + 512 * i.
struct FmscFilePage {
    std::uint8_t signature;
    std::uint8_t type;
    std::uint8_t firstPage;
    std::uint8_t zero;
    std::int32_t myOffset;
    std::int32_t nextOffset;
    std::int32_t prevOffset;
    std::int32_t nextCollision;
    std::int32_t lastAccessTime;
    std::uint32_t fileSizeLow;
    std::uint32_t fileSizeHigh;
    std::int32_t numSegments;
    char guid[FMSC_GUID_SIZE];
    FmscSegmentEntry segments[FMSC_SEGMENTS_PER_PAGE];
    std::uint8_t tail[8];
};
static_assert(sizeof(FmscFilePage) == 512);
static_assert(offsetof(FmscFilePage, myOffset) == 4);
static_assert(offsetof(FmscFilePage, nextCollision) == 16);
static_assert(offsetof(FmscFilePage, fileSizeLow) == 24);
static_assert(offsetof(FmscFilePage, numSegments) == 32);
static_assert(offsetof(FmscFilePage, guid) == 36);
static_assert(offsetof(FmscFilePage, segments) == 72);
static_assert(offsetof(FmscFilePage, tail) == 504);

constexpr std::uint8_t FMSC_PAGE_SIGNATURE = '}';

// The sizing block. Private to a process, or, when a server shares its
// structures, at offset 0 of the mapped "fms.seg". Its shared form is 76
// bytes followed by the date arrays: the compiler pads the struct to 80, so
// its size never places anything (see fmscShared* below).
struct FMSC_FILESHARED_T {
    std::int32_t signature;
    std::int32_t reserved;
    std::int64_t hits;
    std::int64_t misses;
    std::int32_t extentSegmentsInUse;
    std::int32_t extentFilesInUse;
    std::int32_t maxFilePages;
    std::int32_t segmentFileSegments;
    std::int32_t totalExtentMegabytes;
    std::int32_t maxExtentFiles;
    std::int32_t segmentsPerExtentFile;
    std::int32_t hashBlockPages;
    std::int32_t sharedSegments;
    std::int32_t dateHead;
    std::int32_t dateTail;
    std::int32_t dateCount;
    std::int32_t clients;
};
static_assert(offsetof(FMSC_FILESHARED_T, hits) == 8);
static_assert(offsetof(FMSC_FILESHARED_T, misses) == 16);
static_assert(offsetof(FMSC_FILESHARED_T, extentSegmentsInUse) == 24);
static_assert(offsetof(FMSC_FILESHARED_T, hashBlockPages) == 52);
static_assert(offsetof(FMSC_FILESHARED_T, sharedSegments) == 56);
static_assert(offsetof(FMSC_FILESHARED_T, dateHead) == 60);
static_assert(offsetof(FMSC_FILESHARED_T, clients) == 72);

constexpr std::size_t fmscSharedArraysOffset = 76;
constexpr std::size_t fmscSharedNameSize = 261;
constexpr std::size_t fmscSharedNameOffset(std::int32_t pages) {
    return 76 + 12 * std::size_t(pages);
}
constexpr std::size_t fmscSharedSize(std::int32_t pages) { return 12 * std::size_t(pages) + 337; }
constexpr std::int32_t fmscSharedSegments(std::int32_t pages) {
    return static_cast<std::int32_t>(fmscSharedSize(pages) / FMSC_SEGMENT_SIZE) + 1;
}

constexpr const char* FMSC_RESERVED_GUID = "CBA81E5BC44A4bb18B5E93035DA083B7";

// ---- Process-private structures -------------------------------------------

// The last failure of a cache, with the operating system's text.
struct FMSC_ERROR_T {
    std::int32_t signature = FMSC_ERROR_T_SIG;
    char method[256] = {};
    char file[256] = {};
    int lineNumber = 0;
    int osError = 0;
    int fmscError = 0;
    char osErrorText[256] = {};
    char fmscErrorText[256] = {};
};

// An open file with one mapped view of it. The mapping name is the label
// under which a creator registered the mapping in this process (empty for a
// client or an unregistered mapping).
struct FmscMapping {
    Platform::Os::MappedView view;
    std::uint8_t* data = nullptr;
    int fd = -1;
    std::string registeredName;
};

struct FmscExtentRecord {
    std::int32_t signature = FMSC_EXTENT_SIG;
    std::string path;
    std::string mapName;
    FmscMapping map;
    // The client's check of its files in which it last found this one
    // still at its path.
    std::uint32_t atPathInCheck = 0;
};

struct FMSC_FILE_SEGMENTTOC_T {
    std::int32_t signature = FMSC_FILE_SEGMENTTOC_T_SIG;
    std::string path;
    std::string mapName;
    std::string extentBasePath;
    FmscMapping map;
    std::array<std::unique_ptr<FmscExtentRecord>, FMSC_MAX_EXTENT_FILES> extents;
};

struct FMSC_HASHTOC_T {
    std::int32_t signature = FMSC_HASHTOC_T_SIG;
    std::string path;
    std::string mapName;
    FmscMapping map;
    std::int32_t* buckets = nullptr;
};

// The segments not held by any page, linked in rising order.
struct FmscFreeSegments {
    std::vector<std::int32_t> next;
    std::int32_t first = -1;
    std::int32_t last = -1;
    std::int32_t count = 0;
};

// The sizes of a cache as its handle checked them against the files when it
// opened them, kept where no other process writes: every index into a
// mapping, and every divisor, that another process could change is bounded
// by them. 0 until the file that each describes is open.
struct FmscLimits {
    std::int32_t pages = 0;                // of "fms.mf"
    std::int32_t segmentFileSegments = 0;  // of "fms.seg"
    std::uint32_t hashBuckets = 0;         // of "fms.hsh"
    std::int32_t segmentsPerExtent = 0;
    std::int32_t maxExtentFiles = 0;
    std::int32_t sharedSegments = 0;  // of "fms.seg" that a sharing server's block takes
};

// A word of the shared files, which other processes may write, read once:
// a value that is checked and then used is the value that was checked.
inline std::int32_t FMSCX_ReadShared(const std::int32_t& word) {
    return __atomic_load_n(&word, __ATOMIC_RELAXED);
}

// The pages of a stretch of 16 blocks of a file, from a block that is a
// multiple of 16: the page that holds each block, plus 1 (0: the chain does
// not hold it). Short, so that a file whose blocks lie far apart costs
// little for each.
constexpr std::int32_t FMSC_INDEX_STRETCH = 16;
using FmscStretchPages = std::array<std::int32_t, FMSC_INDEX_STRETCH>;

// A file's GUID as its pages hold it: 36 bytes, padded with NUL bytes.
using FmscGuidKey = std::array<char, FMSC_GUID_SIZE>;

struct FmscGuidKeyHash {
    std::size_t operator()(const FmscGuidKey& key) const noexcept {
        return std::hash<std::string_view>()(std::string_view(key.data(), key.size()));
    }
};

// What a server's handle knows of a file's chain without walking it, so
// that a block write costs the same however long the file and whatever is
// written between its blocks: where each block the chain holds lies, so
// that a block the chain holds is found, and one it does not hold known to
// be new, without a walk however long the chain; and the first page of the
// chain with room for another entry, checked against that page before it
// is used. It follows what the chain holds: a page that leaves the chain
// (evicted, deleted) or loses entries (segments dropped) takes its blocks
// out of the index, and a stretch of the index without a block goes, so
// that a store that evicts walks no chain. A page taken from the index is
// used only when it still holds the block (else the chain is walked).
// Any change of a summary that runs out of memory drops the summary: the
// file's next write walks its chain and makes it anew.
struct FmscFileSummary {
    // -1: no page has room; -2: not known.
    std::int32_t room = -2;
    // By the stretch's number (block / FMSC_INDEX_STRETCH); only stretches
    // in which the chain holds a block.
    std::unordered_map<std::int32_t, FmscStretchPages> pages;
};

// What a walk of a file's whole chain found: the first page in chain order
// with room for another entry (-1: none) and where each block the chain
// holds lies, unless memory ran out while they were gathered (whole false):
// the summary the walk makes, so that it takes no more memory than that.
struct FmscChainWalk {
    std::int32_t room = -1;
    bool whole = true;
    FmscFileSummary found;
};

// The handle of an open cache.
struct FMSC_FILETOC_T {
    std::int32_t signature = FMSC_FILETOC_T_SIG;
    // The version of the files and of the shared block that the handle
    // writes and accepts.
    std::int32_t version = FMSC_VERSION;
    std::string wellKnownName;
    std::string metaFilePath;
    std::string folder;
    std::string mapName;
    std::string logPath;
    FmscMapping metaMap;
    FmscFileHeader* header = nullptr;
    FmscFilePage* pages = nullptr;
    FmscLimits limits;
    FmscFreeSegments freeSegments;
    std::unique_ptr<FMSC_FILE_SEGMENTTOC_T> segmentToc;
    std::unique_ptr<FMSC_HASHTOC_T> hashToc;
    FMSC_ERROR_T* error = nullptr;
    // The sizing block in use: the private one, or the shared one.
    FMSC_FILESHARED_T* shared = nullptr;
    std::unique_ptr<FMSC_FILESHARED_T> privateShared;
    bool checkEveryCall = false;
    std::FILE* log = nullptr;
    int logLine = 0;
    bool sharingServer = false;
    bool client = false;
    // The mutex is held through this handle (by the thread that locked it;
    // others read the mark only to refuse to let go of it).
    std::atomic<bool> mutexHeld{false};
    bool interfaceLock = false;
    // The cache's mutex and the name it was made or opened under.
    Platform::Os::NamedMutex mutex;
    std::string mutexName;
    // A server's open that takes over the files of a server of the previous
    // version holds that version's mutex too, to its end.
    Platform::Os::NamedMutex previousMutex;
    // A client counted in its server's block: the process whose open
    // counted it (0: not counted), which the client leaves with the mutex
    // while it holds it, so that whoever finds the mutex abandoned by a
    // reader that died counts the client off once that process has ended.
    std::int64_t countedBy = 0;
    // A server's hold of its cache, from before its open reads the files to
    // the end of its close: the lock of the owner file beside the meta file,
    // and, once the open holds the mutex, the lock of the meta file itself,
    // which is there as long as the cache is (a cleaner of old files may
    // remove the owner file, which nothing writes).
    Platform::Os::Descriptor ownerLock;
    Platform::Os::Descriptor metaLock;
    // A client's files (meta, hash, segment, extent and mutex files) are
    // checked under its lock only when one may have changed since they were
    // last found whole: the watch tells, and filesChecked counts the checks.
    Platform::Os::FileWatch fileWatch;
    bool filesToCheck = true;
    std::uint32_t filesChecked = 0;
    // The date list: three arrays of one entry per page; head, tail and
    // count live in the sizing block in use.
    std::int32_t* lastFileAccess = nullptr;
    std::int32_t* dateNext = nullptr;
    std::int32_t* datePrev = nullptr;
    std::vector<std::int32_t> privateDates;
    std::size_t allocationGranularity = 0;
    // Where the last block found lay: the file's first page and the page.
    std::int32_t hintFirstPage = -1;
    std::int32_t hintPage = -1;
    // Where a block of each stretch of 36 blocks of a file was last found
    // (a file written in order has each stretch on a page of its own), by
    // the stretch's number modulo their count.
    struct StretchHint {
        std::int32_t firstPage = -1;
        std::int32_t stretch = -1;
        std::int32_t page = -1;
    };
    std::array<StretchHint, 256> stretchHints{};
    // The files written through the handle (FMSCFile_PlaceBlock), each
    // kept until the file leaves the store.
    std::unordered_map<FmscGuidKey, FmscFileSummary, FmscGuidKeyHash> summaries;
    // A server's extent file that a read or a write found cut short, to be
    // checked when the entry is done with it; -1: none.
    std::int32_t extentToCheck = -1;
};

// Parameters of FMSCIF_OpenS.
struct FMSC_OPEN_PARAMS {
    const char* folder = nullptr;
    const char* name = nullptr;
    std::int32_t maxFilePages = 0;
    std::int32_t segments = 0;
    std::int32_t hashBlockPages = 0;
    std::int32_t totalExtentMegabytes = 0;
    std::int32_t megabytesPerExtentFile = 0;
    std::int32_t extentFiles = 0;
    std::int32_t create = 0;
    std::int32_t deleteFiles = 0;
    std::int32_t mode = FMSC_MODE_PRIVATE;
    std::int32_t trace = 0;
};

// Statistics of FMSCIF_GetInfo.
struct FMSC_INFO_T {
    std::int64_t maxFiles;
    std::int64_t fileTableBytes;
    std::int64_t maxSegmentEntries;
    std::int64_t hashBlockPages;
    std::int64_t hashTableBytes;
    std::int64_t hashTableEntries;
    std::int64_t segmentFileSegments;
    std::int64_t segmentFileBytes;
    std::int64_t megabytesPerExtentFile;
    std::int64_t bytesPerExtentFile;
    std::int64_t segmentsPerExtentFile;
    std::int64_t maxExtentFiles;
    std::int64_t totalExtentMegabytes;
    std::int64_t totalExtentSegments;
    std::int64_t totalSegments;
    std::int64_t freePages;
    std::int64_t allocatedPages;
    std::int64_t cachedFiles;
    std::int64_t extentFilesInUse;
    std::int64_t extentSegmentsInUse;
    std::int64_t freeSegments;
    std::int64_t segmentsInUse;
    std::int64_t hits;
    std::int64_t misses;
    std::int64_t headerPercentFull;
    std::int64_t segmentPercentFull;
};

}  // namespace Quillomark::Fcc
