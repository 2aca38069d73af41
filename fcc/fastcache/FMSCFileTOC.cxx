#include <fcc/fastcache/internal/FmscReport.hxx>

#include <platform/os/internal/Environment.hxx>
#include <platform/os/internal/MappedFile.hxx>
#include <platform/os/internal/OsError.hxx>
#include <platform/os/internal/PrivateFile.hxx>
#include <platform/os/internal/Process.hxx>
#include <platform/os/internal/Time.hxx>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>

#define FMSC_UNIT ".\\FMSCFileTOC.cxx"

namespace Quillomark::Fcc {

namespace Os = Platform::Os;

namespace {

// A tuning value from its FMSC_ variable, else its FCC_ one: 0 when neither
// is set, else at least 1.
std::int32_t tuning(const char* fmscName, const char* fccName) {
    std::string value = Os::environmentValue(fmscName);
    if (value.empty()) value = Os::environmentValue(fccName);
    if (value.empty()) return 0;
    return std::max(std::atoi(value.c_str()), 1);
}

void pointDatesAt(FMSC_FILETOC_T* toc, std::int32_t* arrays, std::int32_t pages) {
    toc->lastFileAccess = arrays;
    toc->dateNext = arrays + pages;
    toc->datePrev = arrays + 2 * std::size_t(pages);
}

// The name of the cache's mutex: the cache's name and the device and inode
// of its folder, so that caches of one name in different folders never
// share a mutex, while a client that reaches the folder by another spelling
// of its path, or through a link, finds its server's. Empty (no mutex can
// be had) when the folder cannot be looked at. The first builds of the
// previous version named it by the cache's name alone, its later ones as
// this version does.
std::string cacheMutexName(const FMSC_FILETOC_T* toc) {
    if (FMSCX_MutexNamedByCacheAlone(toc)) return toc->wellKnownName;
    struct stat folder {};
    if (::stat(toc->folder.c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode)) return {};
    return toc->wellKnownName + "." + std::to_string(folder.st_dev) + "." +
           std::to_string(folder.st_ino);
}

// Whether a file mapped from its start still holds all that is mapped of
// it: touching what a file cut short no longer backs faults.
bool holdsMapping(const FmscMapping& map) {
    if (map.fd < 0 || !map.view.base) return true;
    const std::int64_t size = Os::mappedFileSize(map.fd);
    return size >= 0 && std::uint64_t(size) >= map.view.length;
}

// The error of the first of a client's mapped files that is shorter than
// what is mapped of it (77, 70 or 44), unreported; 0 when all are whole.
int shortClientFile(const FMSC_FILETOC_T* toc) {
    if (!holdsMapping(toc->metaMap)) return FMSC_ERROR_METAFILE_MISSING_FILE_PAGE;
    if (toc->hashToc && !holdsMapping(toc->hashToc->map))
        return FMSC_ERROR_HASH_ENTRY_DOES_NOT_EXIST;
    if (toc->segmentToc && !holdsMapping(toc->segmentToc->map))
        return FMSC_ERROR_SEGMENT_FILE_HEADER_IS_WRONG_SIZE;
    return 0;
}

}  // namespace

// Whether the sizing block in use may be read: a client's lies in its
// server's segment file, which another process may have cut short.
bool sizingReadable(const FMSC_FILETOC_T* toc) {
    return !toc->client || toc->shared == toc->privateShared.get() || shortClientFile(toc) == 0;
}

int FMSCX_CheckClientFiles(FMSC_FILETOC_T* toc) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (const int error = shortClientFile(toc)) return FMSC_FAIL(toc, error);
    return 0;
}

int FMSCTOC_Open(FMSC_FILETOC_T** result) {
    if (!result) return FMSCX_ReportNullParameter("ppToc", FMSC_UNIT, __func__, __LINE__);
    auto toc = std::make_unique<FMSC_FILETOC_T>();
    toc->version = FMSCX_OpeningVersion();
    toc->privateShared = std::make_unique<FMSC_FILESHARED_T>();
    FMSC_FILESHARED_T* s = toc->privateShared.get();
    *s = FMSC_FILESHARED_T{};
    s->signature = fmscSharedSignature(toc->version);
    s->dateHead = s->dateTail = -1;

    std::int32_t pages = tuning("FMSC_MAX_NUMBER_OF_FILE_PAGES", "FCC_MaxNumberOfFilePages");
    if (pages == 0) pages = 1024;
    if (pages > FMSC_MAX_FILE_PAGES) pages = FMSC_MAX_FILE_PAGES;
    if (pages < 2) pages = 1024;
    std::int32_t segments = tuning("FMSC_MAXIMUM_NUMBER_OF_SEGMENTS", "FCC_maxNumberOfSegments");
    if (segments == 0) segments = 1800;
    segments = std::min(segments, FMSC_MAX_SEGMENTS);
    std::int32_t hashPages = tuning("FMSC_HASH_BLOCK_PAGES", "FCC_HashBlockPages");
    if (hashPages == 0) hashPages = 15;
    hashPages = std::min(hashPages, FMSC_MAX_FILE_PAGES);
    std::int32_t megabytes =
        tuning("FMSC_MAXIMUM_EXTENT_MEGABYTES", "FCC_MaxExtentFileSizeMegabytes");
    megabytes -= megabytes % 16;
    std::int32_t perExtent = std::min(megabytes * 64, FMSC_MAX_SEGMENTS_PER_EXTENT);
    megabytes = perExtent / 64;
    std::int32_t extentFiles = tuning("FMSC_MAX_EXT_FILES", "FCC_MaxExtentFiles");
    if (extentFiles == 0) extentFiles = 1;
    extentFiles = std::min(extentFiles, perExtent > 0 ? (130048000 - segments) / perExtent : 1);
    extentFiles = std::max(std::min(extentFiles, FMSC_MAX_EXTENT_FILES), 0);

    s->maxFilePages = pages;
    s->segmentFileSegments = segments;
    s->hashBlockPages = hashPages;
    s->segmentsPerExtentFile = perExtent;
    s->maxExtentFiles = extentFiles;
    s->totalExtentMegabytes = extentFiles * megabytes;
    toc->shared = s;
    toc->error = FMSCX_Error_Create();
    *result = toc.release();
    return 0;
}

int FMSCTOC_Close(FMSC_FILETOC_T* toc) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    // The handle lets go of what is its own whatever the block of shared
    // structures holds: a server's, which its clients can write, damaged by
    // now is reported (36) once it has. A client's is its server's, which
    // may be of another version by now.
    const int damaged =
        toc->shared && !toc->client && sizingReadable(toc) &&
                toc->shared->signature != fmscSharedSignature(toc->version) &&
                toc->shared->signature != FMSC_STATE_CLEAN
            ? FMSCX_ReportBadSig("FMSC_FILESHARED_T_SIG", FMSC_UNIT, __func__, __LINE__)
            : 0;
    // The close lets go of the mutex when the calling thread holds it.
    toc->mutexHeld = false;
    toc->mutex.close();
    toc->previousMutex.close();
    toc->fileWatch.close();
    if (toc->metaMap.fd >= 0) FMSCX_UnMapOSFile(toc, toc->metaMap, toc->client);
    toc->header = nullptr;
    toc->pages = nullptr;
    FMSCX_Error_Destroy(toc->error);
    toc->error = nullptr;
    toc->freeSegments = FmscFreeSegments();
    if (toc->lastFileAccess == toc->privateDates.data())
        toc->lastFileAccess = toc->dateNext = toc->datePrev = nullptr;
    toc->privateDates = std::vector<std::int32_t>();
    toc->metaFilePath.clear();
    toc->mapName.clear();
    if (toc->log) std::fclose(toc->log);
    toc->log = nullptr;
    return damaged;
}

int FMSCSegmentTOC_Open(FMSC_FILETOC_T* toc) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    toc->segmentToc = std::make_unique<FMSC_FILE_SEGMENTTOC_T>();
    return 0;
}

int FMSCSegmentTOC_Close(FMSC_FILETOC_T* toc) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (!toc->segmentToc) return 0;
    for (auto& extent : toc->segmentToc->extents) {
        if (!extent) continue;
        FMSCX_UnMapOSFile(toc, extent->map, toc->client);
        extent.reset();
    }
    if (toc->shared != toc->privateShared.get()) {
        // The shared block goes with the mapping: keep a private copy of its
        // sizing words for whatever still reads them. A client keeps its
        // own, which it checked the block against.
        if (!toc->client)
            std::memcpy(toc->privateShared.get(), toc->shared, fmscSharedArraysOffset);
        toc->shared = toc->privateShared.get();
        toc->lastFileAccess = toc->dateNext = toc->datePrev = nullptr;
    }
    if (toc->segmentToc->map.fd >= 0) FMSCX_UnMapOSFile(toc, toc->segmentToc->map, toc->client);
    toc->segmentToc.reset();
    return 0;
}

int FMSCHashTOC_Open(FMSC_FILETOC_T* toc) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    toc->hashToc = std::make_unique<FMSC_HASHTOC_T>();
    return 0;
}

int FMSCHashTOC_Close(FMSC_FILETOC_T* toc) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (!toc->hashToc) return 0;
    if (toc->hashToc->map.fd >= 0) FMSCX_UnMapOSFile(toc, toc->hashToc->map, toc->client);
    toc->hashToc.reset();
    return 0;
}

namespace {

// The cache's mutex, made by a sharing server when it has none yet. An open
// with delete makes anew a file of the user's at its path that others may
// read or write, as it does the cache's other files.
int makeCacheMutex(FMSC_FILETOC_T* toc, bool deleteFiles) {
    if (toc->mutex.isOpen()) return 0;
    toc->mutexName = cacheMutexName(toc);
    Os::NamedMutex::Result made = toc->mutex.create(toc->mutexName);
    if (made == Os::NamedMutex::Result::Failed && deleteFiles &&
        Os::NamedMutex::removeUnusableFile(toc->mutexName))
        made = toc->mutex.create(toc->mutexName);
    switch (made) {
        case Os::NamedMutex::Result::Ok: return 0;
        case Os::NamedMutex::Result::AlreadyExists:
            return FMSC_FAIL(toc, FMSC_ERROR_METAFILE_CACHE_MUTEX_ALREADY_EXISTS);
        default: return FMSC_FAIL(toc, FMSC_ERROR_METAFILE_CANNOT_CREATE_CACHE_MUTEX);
    }
}

// The mutex that a server's open takes before it changes any file that a
// client of an earlier sharing server may still map and read under it. A
// sharing server makes it (or takes over the one left). A private one opens
// the one that a sharing server left (with none, no client can be reading),
// and makes it anew as a sharing one does when that one cannot be opened (of
// another PID namespace, or half made). A mutex of another namespace that a
// process has open is refused (95) before anything changes: that process
// may hold it.
int openCacheMutex(FMSC_FILETOC_T* toc, std::int32_t mode, bool deleteFiles) {
    if (mode != FMSC_MODE_SHARING_SERVER) {
        toc->mutexName = cacheMutexName(toc);
        switch (toc->mutex.open(toc->mutexName)) {
            case Os::NamedMutex::Result::Ok:
            case Os::NamedMutex::Result::NotFound: return 0;
            default: break;
        }
    }
    return makeCacheMutex(toc, deleteFiles);
}

// A server's open takes the cache's mutex as soon as it holds the cache,
// before it deletes or makes any file, and keeps it to its end. One whose
// last holder died holding it is taken over: the open checks the files
// (103 after a server that was killed) or makes them anew. One that the
// calling thread holds already, through a client's handle, is refused (99)
// with nothing changed: the open would let go of that hold at its end.
int lockForTheOpen(FMSC_FILETOC_T* toc, std::uint32_t waitMilliseconds) {
    if (!toc->mutex.isOpen()) return 0;
    if (toc->mutex.holder() == Os::NamedMutex::Holder::Caller) {
        toc->mutex.closeLeavingTheHold();
        return FMSC_FAIL(toc, FMSC_ERROR_METAFILE_CANNOT_RELEASE_CACHE_LOCK);
    }
    switch (toc->mutex.lock(waitMilliseconds)) {
        case Os::NamedMutex::Result::Ok:
        case Os::NamedMutex::Result::Abandoned: toc->mutexHeld = true; return 0;
        case Os::NamedMutex::Result::TimedOut:
            return FMSC_FAIL(toc, FMSC_ERROR_METAFILE_CACHE_MUTEX_TIMED_OUT);
        default: return FMSC_FAIL(toc, FMSC_ERROR_METAFILE_CANNOT_OBTAIN_THE_CACHE_LOCK);
    }
}

// A server holds its cache before it reads or changes any of its files,
// and until its close: another server's open is refused meanwhile (95), as
// a second sharing server's always was. The hold is the lock of an owner
// file beside the meta file, which the kernel lets go when the server ends,
// however it ends. The cache's mutex is opened and taken next
// (openCacheMutex, lockForTheOpen).
int holdCache(FMSC_FILETOC_T* toc, bool create, bool deleteFiles, std::int32_t mode) {
    toc->ownerLock.reset(Os::lockPrivateFile(toc->metaFilePath + ".lock"));
    if (toc->ownerLock.get() < 0) {
        const int error = errno;
        Os::setLastOsError(error);
        if (error == EWOULDBLOCK)
            return FMSC_FAIL(toc, FMSC_ERROR_METAFILE_CACHE_MUTEX_ALREADY_EXISTS);
        // No folder: the meta file could not be there either.
        if (error == ENOENT || error == ENOTDIR)
            return FMSC_FAIL(
                toc, create ? FMSC_ERROR_METAFILE_FMSC_CANNOT_CREATE_META_FILE
                            : FMSC_ERROR_METAFILE_DOES_NOT_EXIST_AND_CREATE_OPTION_NOT_SPECIFIED);
        if (error == EPERM || error == EACCES || error == ELOOP)
            return FMSC_FAIL(toc, FMSC_ERROR_UTIL_CANNOT_OPEN_FILE);
        return FMSC_FAIL(toc, FMSC_ERROR_METAFILE_CANNOT_OBTAIN_THE_CACHE_LOCK);
    }
    return openCacheMutex(toc, mode, deleteFiles);
}

// A server holds the meta file at the path too, from when its open holds
// the mutex to its close, or refuses the cache (95) when another server
// holds it: one whose owner file a cleaner of old files removed, or that a
// new file replaced, which the lock of the owner file no longer tells. A
// server's open holds the mutex from before it checks this to after it
// holds a meta file that it made, so no other server's check comes between.
// Nothing at the path, or what is not the cache's own (refused later), is
// not held.
int holdMetaFile(FMSC_FILETOC_T* toc) {
    if (toc->metaLock.get() >= 0 && Os::isFileAtPath(toc->metaLock.get(), toc->metaFilePath))
        return 0;
    toc->metaLock.reset(Os::lockPrivateFile(toc->metaFilePath, false));
    if (toc->metaLock.get() >= 0) return 0;
    const int error = errno;
    Os::setLastOsError(error);
    if (error == ENOENT || error == EPERM) return 0;
    if (error == EWOULDBLOCK) return FMSC_FAIL(toc, FMSC_ERROR_METAFILE_CACHE_MUTEX_ALREADY_EXISTS);
    return FMSC_FAIL(toc, FMSC_ERROR_METAFILE_CANNOT_OBTAIN_THE_CACHE_LOCK);
}

// A server of this version that takes over the files that one of the
// previous version closed (whose close may have run out of time waiting for
// its mutex, and gone on without it) holds that version's mutex too, to the
// end of its open, before it changes any of them: a client of that server
// may still read under it. The first builds of that version named it by the
// cache's name alone; its later ones named it as this version does, and the
// open holds that one already. Once the files are this version's, such a
// client finds at its next lock that they are no longer its server's. A
// mutex that cannot be opened is one that nobody holds.
int holdPreviousVersionsMutex(FMSC_FILETOC_T* toc, std::uint32_t waitMilliseconds) {
    if (toc->previousMutex.open(toc->wellKnownName) != Os::NamedMutex::Result::Ok) return 0;
    switch (toc->previousMutex.lock(waitMilliseconds)) {
        case Os::NamedMutex::Result::Ok:
        case Os::NamedMutex::Result::Abandoned: return 0;
        case Os::NamedMutex::Result::TimedOut:
            return FMSC_FAIL(toc, FMSC_ERROR_METAFILE_CACHE_MUTEX_TIMED_OUT);
        default: return FMSC_FAIL(toc, FMSC_ERROR_METAFILE_CANNOT_OBTAIN_THE_CACHE_LOCK);
    }
}

int openMetaFile(FMSC_FILETOC_T* toc, const char* folder, const char* name, std::int32_t pages,
                 std::int32_t segments, std::int32_t hashPages, std::int32_t extentFiles,
                 std::int32_t megabytesPerExtent, bool create, bool deleteFiles, bool client,
                 bool trace, std::int32_t mode, std::uint32_t waitMilliseconds, bool* pbNewCache) {
    auto fail = [](int error) {
        FMSCX_Traceback("FMSCFile_Open");
        return error;
    };
    // One wait for the open, whatever mutexes it takes.
    const std::int64_t deadline = Os::monotonicMilliseconds() + waitMilliseconds;
    FMSC_FILESHARED_T* s = toc->shared;
    if (pages > 0) s->maxFilePages = pages;
    if (segments > 0) s->segmentFileSegments = segments;
    if (hashPages > 0) s->hashBlockPages = hashPages;
    if (extentFiles > 0) {
        s->maxExtentFiles = extentFiles;
        s->segmentsPerExtentFile = megabytesPerExtent * 64;
        s->totalExtentMegabytes = megabytesPerExtent * extentFiles;
    }
    toc->client = client;
    toc->folder = FMSCX_getGetEnv(folder, "FMSC_DEFAULT_CACHE_DIR", "c:");
    toc->metaFilePath = FMSCX_getFilePath(toc->folder, nullptr, "FMSC_DEFAULT_METAFILE", "fms.mf");
    toc->logPath = FMSCX_getFilePath(toc->folder, nullptr, "FMSC_DEFAULT_LOGFILE", "fms.log");
    toc->wellKnownName = name && *name ? name : "fms";
    toc->mapName = toc->wellKnownName + "_MF";

    if (!client) {
        if (const int held = holdCache(toc, create, deleteFiles, mode)) return fail(held);
        if (const int locked = lockForTheOpen(toc, Os::millisecondsLeft(deadline)))
            return fail(locked);
        if (const int held = holdMetaFile(toc)) return fail(held);
        int rc = FMSCX_PrepareFile(
            toc, toc->metaFilePath, create, deleteFiles,
            FMSC_ERROR_METAFILE_DOES_NOT_EXIST_AND_CREATE_OPTION_NOT_SPECIFIED, [toc, pbNewCache] {
                if (pbNewCache) *pbNewCache = true;
                return FMSCX_WriteNewMetaFile(toc);
            });
        if (!rc) rc = holdMetaFile(toc);
        if (rc) return fail(rc);
    }
    std::int64_t size = 0;
    if (const int error =
            FMSCX_CacheFileSize(toc, toc->metaFilePath, FMSC_ERROR_METAFILE_DOES_NOT_EXIST, &size))
        return fail(error);
    // A client takes its server's sizes from the header, whatever it asked
    // for: the file must hold the header and the pages that it counts.
    const std::int64_t pagesNeeded = client ? 1 : std::int64_t(s->maxFilePages);
    if (size < (pagesNeeded + 1) * FMSC_PAGE_SIZE) {
        FMSCX_PrintErrorName(FMSC_ERROR_METAFILE_MISSING_FILE_PAGE);
        return fail(FMSC_ERROR_METAFILE_MISSING_FILE_PAGE);
    }
    int rc = FMSCX_MapOSFile(toc, toc->metaFilePath, toc->mapName, client, -1, toc->metaMap);
    if (rc) return fail(rc);
    toc->header = reinterpret_cast<FmscFileHeader*>(toc->metaMap.data);
    toc->pages = reinterpret_cast<FmscFilePage*>(toc->metaMap.data + FMSC_PAGE_SIZE);
    // The header as it is now: what is checked is what is kept.
    FmscFileHeader seen;
    std::memcpy(&seen, toc->header, sizeof seen);
    const FmscFileHeader* h = &seen;
    if (h->version != toc->version) {
        // The previous version's files, which a server of this version
        // takes over as they are once none of that version's clients reads
        // them; any other version's are refused.
        if (client || toc->version != FMSC_VERSION || h->version != FMSC_PREVIOUS_VERSION)
            return fail(FMSCX_RefuseVersion(toc, h->version));
        FMSCX_ReachOpenStep("found the previous version's files");
        if (const int held = holdPreviousVersionsMutex(toc, Os::millisecondsLeft(deadline)))
            return fail(held);
    }
    // Every page the header counts must be in what is mapped of the file.
    if (h->maxFilePages < 1 ||
        FMSCX_MappedBytes(toc->metaMap) < (std::uint64_t(h->maxFilePages) + 1) * FMSC_PAGE_SIZE) {
        FMSCX_PrintErrorName(FMSC_ERROR_METAFILE_MISSING_FILE_PAGE);
        return fail(FMSC_ERROR_METAFILE_MISSING_FILE_PAGE);
    }
    // Nothing is sized or divided by a count of the header before it passed.
    rc = FMSCX_CheckHeaderCounts(toc, seen);
    if (rc) return fail(rc);
    toc->limits.pages = h->maxFilePages;
    toc->limits.segmentsPerExtent = h->segmentsPerExtentFile;
    toc->limits.maxExtentFiles = h->maxExtentFiles;
    s->maxFilePages = h->maxFilePages;
    s->segmentFileSegments = h->segmentFileSegments;
    s->hashBlockPages = h->hashBlockPages;
    s->extentSegmentsInUse = h->extentSegmentsInUse;
    s->extentFilesInUse = h->extentFilesInUse;
    s->totalExtentMegabytes = h->totalExtentMegabytes;
    s->maxExtentFiles = h->maxExtentFiles;
    s->segmentsPerExtentFile = h->segmentsPerExtentFile;
    toc->privateDates.assign(3 * std::size_t(toc->limits.pages), 0);
    pointDatesAt(toc, toc->privateDates.data(), toc->limits.pages);
    FMSCX_InitEmptyDateList(toc);

    rc = FMSCFile_CheckMetaFile(toc, 64);
    // A client takes the server's date list and never hands out segments.
    if (!rc && !client) rc = FMSCFile_GetFreeSegmentMap(toc);
    if (rc) return fail(rc);

    if (trace) {
        toc->log = Os::openPrivateAppendFile(toc->logPath);
        if (!toc->log) {
            std::printf("***** NOTICE: Could not open FMSCache log file '%s'. *****\n",
                        toc->logPath.c_str());
            std::fflush(stdout);
        }
    }
    toc->checkEveryCall = Os::environmentValue("FMSC_CHECK_EVERY_CALL") == "1" ||
                          Os::environmentValue("FMSC_DEBUG") == "1";
    return 0;
}

}  // namespace

int FMSCFile_Open(const char* folder, const char* name, std::int32_t pages, std::int32_t segments,
                  std::int32_t hashPages, std::int32_t extentFiles, std::int32_t megabytesPerExtent,
                  bool create, bool deleteFiles, bool client, bool trace, std::int32_t mode,
                  std::uint32_t waitMilliseconds, FMSC_FILETOC_T** result, bool* pbNewCache) {
    if (!result) return FMSCX_ReportNullParameter("ppToc", FMSC_UNIT, __func__, __LINE__);
    *result = nullptr;
    if (pbNewCache) *pbNewCache = false;
    FMSC_FILETOC_T* toc = nullptr;
    if (const int error = FMSCTOC_Open(&toc)) return FMSCX_PassOn(__func__, error);
    // A failed open, whatever failed, leaves nothing mapped or registered.
    int rc = 0;
    try {
        rc = openMetaFile(toc, folder, name, pages, segments, hashPages, extentFiles,
                          megabytesPerExtent, create, deleteFiles, client, trace, mode,
                          waitMilliseconds, pbNewCache);
    } catch (const std::exception&) {
        rc = FMSCX_ReportOutOfMemory("pToc", FMSC_UNIT, __func__, __LINE__);
    }
    if (rc) {
        FMSCFile_Close(toc);
        return rc;
    }
    *result = toc;
    return 0;
}

int FMSCFile_Close(FMSC_FILETOC_T* toc) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    FMSCHashTOC_Close(toc);
    // What the close finds is passed on once the handle is gone.
    const int closed = FMSCTOC_Close(toc);
    FMSCSegmentTOC_Close(toc);
    // The next server opens the cache once nothing of this one's is mapped.
    toc->metaLock.reset();
    toc->ownerLock.reset();
    toc->signature = 0;
    delete toc;
    return closed ? FMSCX_PassOn(__func__, closed) : 0;
}

int FSMCFile_AllocateSharedMemoryForStructs(FMSC_FILETOC_T* toc, bool preallocate) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    FMSC_FILESHARED_T* s = toc->shared;
    std::int32_t pages = s->maxFilePages;
    std::int32_t needed = fmscSharedSegments(pages);
    if (needed > s->segmentFileSegments)
        return FMSC_FAIL(toc, FMSC_ERROR_IF_PREALLOCATED_SEGMENT_FILE_TOO_SMALL_FOR_SHARED_MAP);
    // The block takes the first segments of the segment file: whatever a
    // server that did not share the cache cached in them goes.
    FMSCX_DropSegments(toc, 0, needed);
    s->sharedSegments = toc->limits.sharedSegments = needed;
    s->clients = 0;
    std::int32_t first = -1;
    const int added =
        FMSCHash_AddPage(toc, FMSC_RESERVED_GUID, std::uint32_t(fmscSharedSize(pages)), 0, &first);
    if (added) return FMSCX_PassOn(__func__, added);
    // The block's segments are never handed to cached files.
    FmscFreeSegments& f = toc->freeSegments;
    if (preallocate) {
        static const char text[] = "SharedMemoryPage";
        for (std::int32_t block = 0; block < needed; ++block) {
            std::int32_t segment = -1, found = -1, length = -1, holder = -1;
            if (const int error = FMSCFile_FindSegment(toc, first, block, &holder, &found, &length))
                return FMSCX_PassOn(__func__, error);
            if (holder != -1) continue;
            if (const int error = FMSCFile_GetFreeSegment(toc, &segment))
                return FMSCX_PassOn(__func__, error);
            const int written = FMSCSegment_WriteSegmentData(
                toc, reinterpret_cast<const std::uint8_t*>(text), segment, sizeof text);
            if (written) return FMSCX_PassOn(__func__, written);
            bool outOfPages = false;
            const int allocated =
                FMSCFile_AllocateSegment(toc, first, block, segment, sizeof text, &outOfPages);
            if (allocated) return FMSCX_PassOn(__func__, allocated);
        }
    }
    while (f.first != -1 && f.first < needed) {
        std::int32_t next = f.next[std::size_t(f.first)];
        f.next[std::size_t(f.first)] = -1;
        f.first = next;
        --f.count;
    }
    if (f.first == -1) f.last = -1;
    // The reserved file's page is kept off the date list: it is never evicted.
    bool listed = s->dateHead == first || s->dateTail == first || toc->dateNext[first] != -1 ||
                  toc->datePrev[first] != -1;
    if (listed) {
        if (const int error = FSMCFile_LockPage(toc, first)) return FMSCX_PassOn(__func__, error);
    }
    // Made at the start of the open, when the open made it.
    if (const int error = makeCacheMutex(toc, false)) return error;
    std::uint8_t* block = toc->segmentToc->map.data;
    std::memcpy(block, s, fmscSharedArraysOffset);
    std::memcpy(block + fmscSharedArraysOffset, toc->lastFileAccess, 12 * std::size_t(pages));
    char* name = reinterpret_cast<char*>(block + fmscSharedNameOffset(pages));
    std::memset(name, 0, fmscSharedNameSize);
    std::memcpy(name, toc->wellKnownName.data(),
                std::min<std::size_t>(toc->wellKnownName.size(), 260));
    toc->shared = reinterpret_cast<FMSC_FILESHARED_T*>(block);
    pointDatesAt(toc, reinterpret_cast<std::int32_t*>(block + fmscSharedArraysOffset), pages);
    toc->privateDates = std::vector<std::int32_t>();
    toc->sharingServer = true;
    return 0;
}

int FMSCIF_UseStructsInSharedMemory(FMSC_FILETOC_T* toc) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (!toc->segmentToc)
        return FMSCX_ReportNullPointer("pSegmentToc", FMSC_UNIT, __func__, __LINE__);
    std::uint8_t* block = toc->segmentToc->map.data;
    auto* shared = reinterpret_cast<FMSC_FILESHARED_T*>(block);
    std::int32_t pages = toc->limits.pages;
    // The block must be the server's and fit in the segments it claims.
    bool fits = std::int64_t(fmscSharedSize(pages)) <=
                std::int64_t(toc->shared->segmentFileSegments) * FMSC_SEGMENT_SIZE;
    // A block of another version is its server's, which may take another
    // mutex.
    const std::int32_t signature = shared->signature;
    const std::int64_t version =
        std::int64_t(signature) - FMSC_FILESHARED_T_SIG + FMSC_PREVIOUS_VERSION;
    if (version != toc->version && (version == FMSC_PREVIOUS_VERSION || version == FMSC_VERSION))
        return FMSCX_RefuseVersion(toc, std::int32_t(version));
    if (signature != fmscSharedSignature(toc->version) || !fits)
        return FMSC_FAIL(toc, FMSC_ERROR_IF_BAD_LENGTH);
    if (const int error = FMSCX_CheckSharedSizing(toc, shared))
        return FMSCX_PassOn(__func__, error);
    toc->shared = shared;
    pointDatesAt(toc, reinterpret_cast<std::int32_t*>(block + fmscSharedArraysOffset), pages);
    toc->privateDates = std::vector<std::int32_t>();
    const char* name = reinterpret_cast<const char*>(block + fmscSharedNameOffset(pages));
    toc->wellKnownName.assign(name, strnlen(name, fmscSharedNameSize - 1));
    toc->mutexName = cacheMutexName(toc);
    if (toc->mutex.open(toc->mutexName) != Os::NamedMutex::Result::Ok)
        return FMSC_FAIL(toc, FMSC_ERROR_METAFILE_CANNOT_OPEN_CACHE_MUTEX);
    toc->client = true;
    for (const int fd : {toc->metaMap.fd, toc->hashToc ? toc->hashToc->map.fd : -1,
                         toc->segmentToc->map.fd, toc->mutex.descriptor()})
        toc->fileWatch.add(fd);
    return 0;
}

int FMSCX_CheckSharedSizing(FMSC_FILETOC_T* toc, const FMSC_FILESHARED_T* shared) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    // The sizes the client opened its files with, taken from the header and
    // checked against the files then.
    const FMSC_FILESHARED_T* own = toc->privateShared.get();
    const FmscFileHeader* h = toc->header;
    std::int32_t pages = own->maxFilePages;
    bool sized = shared->maxFilePages == pages &&
                 shared->segmentFileSegments == own->segmentFileSegments &&
                 shared->hashBlockPages == own->hashBlockPages &&
                 shared->totalExtentMegabytes == own->totalExtentMegabytes &&
                 shared->maxExtentFiles == own->maxExtentFiles &&
                 shared->segmentsPerExtentFile == own->segmentsPerExtentFile &&
                 shared->sharedSegments == fmscSharedSegments(pages) &&
                 shared->sharedSegments <= own->segmentFileSegments;
    bool header = h->maxFilePages == pages && h->segmentFileSegments == own->segmentFileSegments &&
                  h->hashBlockPages == own->hashBlockPages &&
                  h->maxExtentFiles == own->maxExtentFiles &&
                  h->segmentsPerExtentFile == own->segmentsPerExtentFile;
    bool inUse = FMSCX_ExtentCounts(shared->extentFilesInUse, shared->extentSegmentsInUse,
                                    own->segmentsPerExtentFile,
                                    own->maxExtentFiles) == FmscExtentCounts::Whole;
    bool dates = shared->dateHead >= -1 && shared->dateHead < pages && shared->dateTail >= -1 &&
                 shared->dateTail < pages && shared->dateCount >= 0 && shared->dateCount <= pages;
    if (!sized || !header || !inUse || !dates) return FMSC_FAIL(toc, FMSC_ERROR_IF_BAD_LENGTH);
    return 0;
}

namespace {

// Whether the client's meta, hash and segment files are still the ones at
// their paths: one replaced is one the server made anew, which the client's
// mappings and reads do not show.
bool clientFilesAtTheirPaths(const FMSC_FILETOC_T* toc) {
    return Os::isFileAtPath(toc->metaMap.fd, toc->metaFilePath) &&
           (!toc->hashToc || Os::isFileAtPath(toc->hashToc->map.fd, toc->hashToc->path)) &&
           (!toc->segmentToc || Os::isFileAtPath(toc->segmentToc->map.fd, toc->segmentToc->path));
}

// What a client checks once it holds the mutex, before it reads anything
// that its server shares: its mutex file and cache files still the ones at
// their paths (a mutex file removed under the client, and made anew by a
// server that restarted, is a mutex that excludes nobody; a cache file
// replaced is one the server made anew, which the client's mappings do
// not show), its files as long as it mapped them (a file cut short would
// fault), the server's block still open (36, unreported, in both cases: no
// damage) and sized as when the client attached (61). The files are looked
// at only when one of them may have changed since they were last found
// whole: a client's reads are many and small, and its watch of the files
// costs one system call where the checks cost several. The watch is asked
// first in any case: what it tells of changes made before the checks is not
// told again after them.
int clientFindsItsCache(FMSC_FILETOC_T* toc) {
    if (toc->fileWatch.changed() || toc->filesToCheck) {
        toc->filesToCheck = true;
        ++toc->filesChecked;
        if (!toc->mutex.isAtItsPath()) return FMSC_ERROR_BAD_TYPE_SIG;
        if (!clientFilesAtTheirPaths(toc)) return FMSC_ERROR_BAD_TYPE_SIG;
        if (const int error = FMSCX_CheckClientFiles(toc)) return error;
        toc->filesToCheck = false;
    }
    const std::int32_t signature = toc->shared->signature;
    if (signature == FMSC_STATE_CLEAN) return FMSC_ERROR_BAD_TYPE_SIG;
    if (signature != fmscSharedSignature(toc->version))
        return FMSCX_ReportBadSig("FMSC_FILESHARED_T_SIG", FMSC_UNIT, __func__, __LINE__);
    return FMSCX_CheckSharedSizing(toc, toc->shared);
}

// Whether the lock that met a holder's death may change the block of
// shared structures: only one that may be read, and is still its server's.
bool sharedBlockToMend(FMSC_FILETOC_T* toc) {
    const bool readable = toc->client
                              ? toc->shared != toc->privateShared.get() && !clientFindsItsCache(toc)
                              : toc->sharingServer;
    return readable && toc->shared->signature == fmscSharedSignature(toc->version);
}

// Counts off the client of a reader that died holding the mutex (the note it
// left), once its process has ended, waiting for that at most as long as
// the lock may still wait: its client never leaves by itself. Under the
// mutex, on a block to mend.
void countOffTheDead(FMSC_FILETOC_T* toc, std::int64_t deadline) {
    const std::uint64_t process = toc->mutex.abandonedNote();
    if (process == 0) return;
    if (!Os::processEnds(long(process), Os::millisecondsLeft(deadline, 1000))) return;
    if (toc->shared->clients > 0) --toc->shared->clients;
}

}  // namespace

int FMSCFile_LockCache(FMSC_FILETOC_T* toc, std::uint32_t waitMilliseconds) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (!toc->mutex.isOpen()) return 0;
    // Held through this handle by the calling thread: nothing more. Another
    // thread waits for it as another process does, and a holder that ended
    // holding it left it abandoned, which the lock below is told.
    if (toc->mutexHeld && toc->mutex.holder() == Os::NamedMutex::Holder::Caller) return 0;
    const std::int64_t deadline = Os::monotonicMilliseconds() + waitMilliseconds;
    switch (toc->mutex.lock(waitMilliseconds, std::uint64_t(toc->countedBy))) {
        case Os::NamedMutex::Result::Ok:
            // A client finds the server's block as it was when it attached, or
            // lets the lock go at once.
            if (toc->client && toc->shared != toc->privateShared.get()) {
                if (int rc = clientFindsItsCache(toc)) {
                    toc->mutex.unlock();
                    return rc;
                }
            }
            toc->mutexHeld = true;
            return 0;
        case Os::NamedMutex::Result::TimedOut:
            return FMSC_FAIL(toc, FMSC_ERROR_METAFILE_CACHE_MUTEX_TIMED_OUT);
        case Os::NamedMutex::Result::Abandoned:
            // Its last holder died holding it, maybe half way through a
            // change: reported, and let go like any failed lock. The date
            // list, which a reader changes, is made whole first, and a
            // reader that died with its process is counted off.
            if (sharedBlockToMend(toc)) {
                FMSCX_MendDateList(toc);
                countOffTheDead(toc, deadline);
            }
            toc->mutexHeld = false;
            toc->mutex.unlock();
            return FMSC_FAIL(toc, FMSC_ERROR_METAFILE_CACHE_ABANDONED);
        default: return FMSC_FAIL(toc, FMSC_ERROR_METAFILE_CANNOT_OBTAIN_THE_CACHE_LOCK);
    }
}

int FMSCFile_UnLockCache(FMSC_FILETOC_T* toc) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (!toc->sharingServer && !toc->client) return 0;
    if (!toc->mutex.isOpen())
        return FMSC_FAIL(toc, FMSC_ERROR_METAFILE_CACHE_LOCK_IS_NOT_INITIALIZED_WITH_A_LOCK_CALL);
    // Under the interface's lock the mutex stays held until that lock ends:
    // forgetting it here would leave it taken with nobody to release it.
    if (toc->interfaceLock) return 0;
    if (!toc->mutexHeld) return 0;
    // Only the thread that holds it lets it go; the mark goes first, while
    // the mutex still orders it after the lock that set it.
    if (toc->mutex.holder() != Os::NamedMutex::Holder::Caller)
        return FMSC_FAIL(toc, FMSC_ERROR_METAFILE_CANNOT_RELEASE_CACHE_LOCK);
    toc->mutexHeld = false;
    if (!toc->mutex.unlock()) {
        toc->mutexHeld = true;
        return FMSC_FAIL(toc, FMSC_ERROR_METAFILE_CANNOT_RELEASE_CACHE_LOCK);
    }
    return 0;
}

}  // namespace Quillomark::Fcc
