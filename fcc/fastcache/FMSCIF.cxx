#include <fcc/fastcache/internal/FmscInterface.hxx>
#include <fcc/fastcache/internal/FmscReport.hxx>

#include <platform/os/internal/Environment.hxx>
#include <platform/os/internal/Time.hxx>

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstring>
#include <unistd.h>
#include <utility>

#define FMSC_UNIT ".\\FMSCIF.cxx"

namespace Quillomark::Fcc {

namespace Os = Platform::Os;

namespace {

// 99, with nothing changed, when another thread of the process holds the
// cache's lock: only that thread lets it go.
int refuseAnotherThreadsLock(FMSC_FILETOC_T* toc) {
    if (!toc->mutexHeld || toc->mutex.holder() != Os::NamedMutex::Holder::OtherThread) return 0;
    return FMSC_FAIL(toc, FMSC_ERROR_METAFILE_CANNOT_RELEASE_CACHE_LOCK);
}

// The lock of an open or a close, which go on after a holder died holding
// it: told so (97, reported), they take it again.
int lockGoingOnAfterADeath(FMSC_FILETOC_T* toc, std::uint32_t waitMilliseconds) {
    const std::int64_t deadline = Os::monotonicMilliseconds() + waitMilliseconds;
    const int rc = FMSCFile_LockCache(toc, waitMilliseconds);
    if (rc != FMSC_ERROR_METAFILE_CACHE_ABANDONED) return rc;
    FMSCX_ReachOpenStep("met the lock abandoned");
    // Locked again within what is left of the caller's wait, which the
    // lock that met the death may have spent waiting for the dead reader's
    // process to end.
    return FMSCFile_LockCache(toc, Os::millisecondsLeft(deadline));
}

// One line of the log: the line counter, then the operation's text.
__attribute__((format(printf, 2, 3))) void logLine(FMSC_FILETOC_T* toc, const char* format, ...) {
    if (!toc->log) return;
    std::fprintf(toc->log, "%08d,", toc->logLine++);
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(toc->log, format, arguments);
    va_end(arguments);
    std::fputc('\n', toc->log);
    std::fflush(toc->log);
}

// The work of an entry: memory that runs out part way is a failure like
// any other, reported and returned (1), never an exception out of the
// entry, which its caller, C code, could not catch.
template <class Work>
int attempt(const char* operation, Work&& work) noexcept {
    try {
        return work();
    } catch (...) {
        return FMSCX_ReportOutOfMemory(operation, FMSC_UNIT, operation, __LINE__);
    }
}

int checkEveryCall(FMSC_FILETOC_T* toc, const char* operation) {
    if (!toc->checkEveryCall) return 0;
    int rc = attempt(operation, [toc] { return FMSCFile_CheckMetaFile(toc, 15); });
    if (rc) {
        FMSCX_PrintErrorName(rc);
        FMSCX_Traceback(operation);
    }
    return rc;
}

// The work's result: a failure gets the operation's traceback line; a
// success is followed by the check when every call is checked.
int finish(FMSC_FILETOC_T* toc, const char* operation, int rc) {
    if (rc) {
        FMSCX_Traceback(operation);
        return rc;
    }
    return checkEveryCall(toc, operation);
}

template <class Work>
int finish(FMSC_FILETOC_T* toc, const char* operation, Work&& work) {
    return finish(toc, operation, attempt(operation, std::forward<Work>(work)));
}

// The entries that change the store are its server's: a client reads what
// its server wrote and keeps none of what a writer needs (the free
// segments, the files' summaries). Such an entry on a client's handle is
// refused as one on a handle of the wrong kind, the bad signature report
// (36), before anything changes.
int refuseClient(const FMSC_FILETOC_T* toc, FmscWhere where) {
    if (!toc->client) return 0;
    return FMSCX_ReportBadSig("FMSC_FILETOC_T_SIG", where.unit, where.function, where.line);
}

// The extent file that the entry found cut short, made whole again now
// that no segment is taken and not yet recorded: 0 when there was none or
// it is whole.
int checkShortExtent(FMSC_FILETOC_T* toc) {
    const std::int32_t extent = std::exchange(toc->extentToCheck, -1);
    return extent < 0 ? 0 : FMSCX_CheckExtentFile(toc, extent);
}

// The sizing block's test: the bad signature report (36).
int checkSizing(const FMSC_FILETOC_T* toc, FmscWhere where) {
    if (toc->shared && toc->shared->signature == fmscSharedSignature(toc->version)) return 0;
    return FMSCX_ReportBadSig("FMSC_FILESHARED_T_SIG", where.unit, where.function, where.line);
}

}  // namespace

int FMSCIF_Open(const char* folder, const char* name, std::int32_t maxFilePages,
                std::int32_t segments, std::int32_t hashBlockPages,
                std::int32_t totalExtentMegabytes, bool create, bool deleteFiles, std::int32_t mode,
                bool trace, FMSC_FILETOC_T** handle) {
    FMSC_OPEN_PARAMS params;
    params.folder = folder;
    params.name = name;
    params.maxFilePages = maxFilePages;
    params.segments = segments;
    params.hashBlockPages = hashBlockPages;
    params.totalExtentMegabytes = totalExtentMegabytes;
    if (totalExtentMegabytes > 32) {
        std::int32_t files = totalExtentMegabytes / 32;
        params.megabytesPerExtentFile =
            files > FMSC_MAX_EXTENT_FILES ? totalExtentMegabytes / FMSC_MAX_EXTENT_FILES : 32;
        params.extentFiles = std::min(files, FMSC_MAX_EXTENT_FILES);
    } else if (totalExtentMegabytes > 0) {
        params.megabytesPerExtentFile = totalExtentMegabytes;
        params.extentFiles = 1;
    }
    params.create = create;
    params.deleteFiles = deleteFiles;
    params.mode = mode;
    params.trace = trace;
    return FMSCIF_OpenS(&params, handle);
}

namespace {

int openCache(const FMSC_OPEN_PARAMS* params, FMSC_FILETOC_T** handle, FMSC_FILETOC_T*& toc,
              std::uint32_t waitMilliseconds) {
    // The open waits this long at most, in all of its locks.
    const std::int64_t deadline = Os::monotonicMilliseconds() + waitMilliseconds;
    FMSC_OPEN_PARAMS p = *params;
    if (p.maxFilePages > FMSC_MAX_FILE_PAGES) p.maxFilePages = FMSC_MAX_FILE_PAGES;
    if (p.maxFilePages < 2) p.maxFilePages = 1024;
    if (p.segments > FMSC_MAX_SEGMENTS) p.segments = FMSC_MAX_SEGMENTS;
    if (p.segments < 1) p.segments = 1800;
    if (p.mode == FMSC_MODE_SHARING_SERVER || p.mode == FMSC_MODE_CLIENT) {
        std::int32_t least = static_cast<std::int32_t>(
            (12 * std::int64_t(p.maxFilePages) + 413) / FMSC_SEGMENT_SIZE + 1);
        if (p.extentFiles == 0) ++least;
        p.segments = std::max(p.segments, least);
    }
    if (p.hashBlockPages > FMSC_MAX_FILE_PAGES) p.hashBlockPages = FMSC_MAX_FILE_PAGES;
    if (p.hashBlockPages < 1) p.hashBlockPages = 15;
    std::int32_t megabytes = std::max(std::min(p.megabytesPerExtentFile, 2032), 16);
    megabytes = (megabytes + 8) / 16 * 16;
    if (p.totalExtentMegabytes > 0)
        p.extentFiles = (p.totalExtentMegabytes + megabytes - 1) / megabytes;
    p.extentFiles = std::max(p.extentFiles, 0);
    p.extentFiles =
        std::min({p.extentFiles, (2032000 - p.segments / 64) / megabytes, FMSC_MAX_EXTENT_FILES});
    p.megabytesPerExtentFile = megabytes;
    p.totalExtentMegabytes = megabytes * p.extentFiles;

    bool trace = p.trace || Os::environmentValue("FMSC_CACHE_TRACE") == "1";
    std::string folder = p.folder ? p.folder : "";
    std::replace(folder.begin(), folder.end(), '\\', '/');
    bool client = p.mode == FMSC_MODE_CLIENT;

    bool newCache = false;
    const int opened = FMSCFile_Open(
        p.folder ? folder.c_str() : nullptr, p.name, p.maxFilePages, p.segments, p.hashBlockPages,
        p.extentFiles, p.megabytesPerExtentFile, p.create != 0, p.deleteFiles != 0, client, trace,
        p.mode, Os::millisecondsLeft(deadline), &toc, &newCache);
    if (opened) return FMSCX_PassOn(__func__, opened);
    toc->allocationGranularity = Os::allocationGranularity();
    auto fail = [&toc](int rc) {
        if (toc && toc->signature == FMSC_FILETOC_T_SIG) FMSCFile_Close(toc);
        toc = nullptr;
        FMSCX_Traceback("FMSCIF_OpenS");
        return rc;
    };
    // A client of an earlier server may still read the files under the
    // mutex: a server's open holds it from before it changed any of them
    // (FMSCFile_Open) to its end.
    // A meta file made by this open is marked open already.
    if (!client && !newCache && toc->header->state != FMSC_STATE_CLEAN) {
        FMSCX_PrintErrorName(FMSC_ERROR_CACHE_NOT_CLEANLY_CLOSED);
        return fail(FMSC_ERROR_CACHE_NOT_CLEANLY_CLOSED);
    }
    // A new meta file goes with new segment and hash files: the old ones
    // (of a rebuild that was cut short) name pages it does not have. An old
    // one goes with none: a blank file made under its pages would serve
    // zeros as their blocks.
    const bool afresh = p.deleteFiles != 0 || newCache;
    const char* name = toc->wellKnownName.c_str();
    const char* directory = toc->folder.c_str();
    int rc = FMSCSegment_Open(toc, directory, name, afresh, afresh, client);
    if (!rc) rc = FMSCFile_CheckMetaFile(toc, 64);
    if (!rc) rc = FMSCHash_Open(toc, directory, name, afresh, afresh, client);
    if (!rc) rc = FMSCFile_CheckMetaFile(toc, 15);
    // Pages left taken and given to no file, by a delete that stopped part
    // way or a sharing open that was killed part way, are freed: no other
    // server has the cache open, since this one holds it (FMSCFile_Open), and
    // no client of an earlier one reads under the mutex meanwhile.
    if (!rc && !client) rc = FMSCX_FreeFloatingPages(toc);
    if (!rc && p.mode == FMSC_MODE_SHARING_SERVER)
        rc = FSMCFile_AllocateSharedMemoryForStructs(toc, false);
    if (!rc && client) rc = FMSCIF_UseStructsInSharedMemory(toc);
    if (!rc) rc = lockGoingOnAfterADeath(toc, Os::millisecondsLeft(deadline));
    if (rc) return fail(rc);
    // The client's check of the date list, on the list it uses from now on.
    if (client) rc = FMSCFile_CheckMetaFile(toc, 4);
    // Its extent files that it could not attach without the lock are tried
    // again under it, and refused only then: the server removes and makes
    // them under it, and holds each one that it counts with its mark once it
    // lets go, while outside it a purge's files stand at their paths
    // unmarked, or gone, and a new file unmarked for a moment.
    if (!rc && client) rc = FMSCXSegment_OpenExtentFile(toc, false, false, true);
    if (rc) return fail(rc);
    if (client) {
        // Counted before its note: a client killed between the two stays
        // counted, never counted off without having been counted.
        ++toc->shared->clients;
        FMSCX_ReachOpenStep("counted the client");
        toc->countedBy = ::getpid();
        toc->mutex.leaveNote(std::uint64_t(toc->countedBy));
    } else {
        toc->shared->hits = toc->shared->misses = 0;
        toc->shared->clients = 0;
    }
    // Marked open under the mutex too; an open that fails after all leaves
    // the mark as it found it.
    // Files of the previous version become this one's with it.
    const FmscFileHeader before = *toc->header;
    if (!client) {
        toc->header->state = FMSC_STATE_OPEN;
        toc->header->version = toc->version;
    }
    int unlocked = FMSCFile_UnLockCache(toc);
    if (unlocked && !client) {
        toc->header->state = before.state;
        toc->header->version = before.version;
    }
    if (unlocked) return fail(unlocked);
    toc->previousMutex.close();
    // A private cache has no mutex: the one its open took goes.
    if (!client && !toc->sharingServer) {
        toc->mutexHeld = false;
        toc->mutex.close();
    }
    logLine(toc, "OpenS,%s,%d,%d,%d,%d,%d,%d", p.folder ? folder.c_str() : "", p.maxFilePages,
            p.segments, p.hashBlockPages, p.totalExtentMegabytes, p.create, p.deleteFiles);
    *handle = toc;
    if (toc->checkEveryCall) {
        if (const int error = FMSCFile_CheckMetaFile(toc, 15)) return FMSCX_PassOn(__func__, error);
    }
    return 0;
}

}  // namespace

int FMSCIF_OpenS(const FMSC_OPEN_PARAMS* params, FMSC_FILETOC_T** handle) {
    return FMSCIF_OpenSWithin(params, handle, FMSC_MUTEX_WAIT_MS);
}

int FMSCIF_OpenSWithin(const FMSC_OPEN_PARAMS* params, FMSC_FILETOC_T** handle,
                       std::uint32_t waitMilliseconds) {
    if (!params) return FMSCX_ReportNullParameter("pParams", FMSC_UNIT, __func__, __LINE__);
    if (!handle) return FMSCX_ReportNullParameter("ppToc", FMSC_UNIT, __func__, __LINE__);
    *handle = nullptr;
    FMSC_FILETOC_T* toc = nullptr;
    // A failed open, whatever failed, leaves nothing mapped or registered.
    try {
        return openCache(params, handle, toc, waitMilliseconds);
    } catch (const std::exception&) {
        if (toc) FMSCFile_Close(toc);
        *handle = nullptr;
        return FMSCX_ReportOutOfMemory("pToc", FMSC_UNIT, __func__, __LINE__);
    }
}

int FMSCIF_Close(FMSC_FILETOC_T** handle) { return FMSCIF_CloseWithin(handle, FMSC_MUTEX_WAIT_MS); }

int FMSCIF_CloseWithin(FMSC_FILETOC_T** handle, std::uint32_t waitMilliseconds) {
    if (!handle) return FMSCX_ReportNullParameter("ppToc", FMSC_UNIT, __func__, __LINE__);
    FMSC_FILETOC_T* toc = *handle;
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    logLine(toc, "Close");
    // A close would take the mutex away from under its holder.
    if (const int refused = refuseAnotherThreadsLock(toc)) return refused;
    const bool locked = lockGoingOnAfterADeath(toc, waitMilliseconds) == 0;
    // An extent file removed or replaced under the server keeps no blocks
    // that the next open would read from what is at its path now.
    if (!toc->client && locked && toc->segmentToc) {
        attempt(__func__, [toc] {
            for (std::int32_t e = 0;
                 e < std::min(toc->limits.maxExtentFiles, FMSC_MAX_EXTENT_FILES); ++e)
                FMSCX_CheckExtentFile(toc, e);
            return 0;
        });
    }
    // A client counts itself off its server's block only under the lock,
    // while its files still hold the block.
    const bool counted = !toc->client || (locked && sizingReadable(toc));
    if (toc->shared && counted && toc->shared->signature == fmscSharedSignature(toc->version)) {
        if (toc->client) {
            // The note goes first: a client killed between the two stays
            // counted, where one killed after counting itself off would
            // leave a note by which the next lock counts it off again, and
            // so a client still attached.
            toc->countedBy = 0;
            toc->mutex.leaveNote(0);
            FMSCX_ReachOpenStep("cleared the client's note");
            if (toc->shared->clients > 0) --toc->shared->clients;
        } else if (toc->sharingServer) {
            if (toc->shared->clients > 0) {
                std::printf("***** WARNING: Closing FMSCache with client(s) attached! *****\n");
                std::fflush(stdout);
            }
            toc->shared->signature = FMSC_STATE_CLEAN;
        }
    }
    if (!toc->client && toc->header) toc->header->state = FMSC_STATE_CLEAN;
    // The handle goes even when the close reports what it found.
    const int rc = FMSCFile_Close(toc);
    *handle = nullptr;
    return rc ? FMSCX_PassOn(__func__, rc) : 0;
}

int FMSCIF_AddFile(FMSC_FILETOC_T* toc, const char* guid, std::uint32_t sizeLow,
                   std::uint32_t sizeHigh, std::int32_t* firstPage) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (const int error = refuseClient(toc, FMSC_HERE)) return error;
    if (!guid) return FMSCX_NullParameter(toc, "guid", FMSC_HERE);
    if (!firstPage) return FMSCX_NullParameter(toc, "firstPage", FMSC_HERE);
    if (const int error = checkEveryCall(toc, __func__)) return FMSCX_PassOn(__func__, error);
    logLine(toc, "AddFile,%.36s,%d", guid, static_cast<int>(sizeLow));
    return finish(toc, __func__,
                  [&] { return FMSCHash_AddPage(toc, guid, sizeLow, sizeHigh, firstPage); });
}

int FMSCIF_FindFile(FMSC_FILETOC_T* toc, const char* guid, std::int64_t* size,
                    std::int32_t* firstPage) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (!guid) return FMSCX_NullParameter(toc, "guid", FMSC_HERE);
    if (!size) return FMSCX_NullParameter(toc, "size", FMSC_HERE);
    if (!firstPage) return FMSCX_NullParameter(toc, "firstPage", FMSC_HERE);
    if (const int error = checkEveryCall(toc, __func__)) return FMSCX_PassOn(__func__, error);
    logLine(toc, "FindFile,%.36s", guid);
    int rc = FMSCHash_FindFile(toc, guid, firstPage);
    if (!rc) {
        if (*firstPage == -1) {
            if (!toc->client) ++toc->shared->misses;
        } else {
            const FmscFilePage& page = toc->pages[*firstPage];
            *size = std::int64_t((std::uint64_t(page.fileSizeHigh) << 32) | page.fileSizeLow);
        }
    }
    return finish(toc, __func__, rc);
}

int FMSCIF_ReadBlock(FMSC_FILETOC_T* toc, std::int32_t firstPage, std::int32_t block,
                     std::uint8_t* buffer, std::int32_t* length) {
    return FMSCIF_ReadBlockPart(toc, firstPage, block, 0, FMSC_SEGMENT_SIZE, buffer, length);
}

int FMSCIF_ReadBlockPart(FMSC_FILETOC_T* toc, std::int32_t firstPage, std::int32_t block,
                         std::int32_t offset, std::int32_t count, std::uint8_t* buffer,
                         std::int32_t* length) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (!buffer) return FMSCX_NullParameter(toc, "buffer", FMSC_HERE);
    if (!length) return FMSCX_NullParameter(toc, "length", FMSC_HERE);
    if (const int error = checkEveryCall(toc, "FMSCIF_ReadBlock"))
        return FMSCX_PassOn("FMSCIF_ReadBlock", error);
    if (toc->log && firstPage >= 0 && firstPage < toc->limits.pages)
        logLine(toc, "ReadBlock,%.36s,%d", toc->pages[firstPage].guid, block);
    int rc = attempt("FMSCIF_ReadBlock", [&] {
        return FMSCFile_ReadBlockPart(toc, firstPage, block, offset, count, buffer, length);
    });
    // A read that found its extent file cut short fails; the blocks beyond
    // the cut go, and the file is made whole for the writes after it.
    if (toc->extentToCheck >= 0)
        attempt("FMSCIF_ReadBlock", [toc] { return checkShortExtent(toc); });
    if (!rc) {
        if (*length != -1)
            ++toc->shared->hits;
        else if (!toc->client)
            ++toc->shared->misses;
    }
    return finish(toc, "FMSCIF_ReadBlock", rc);
}

int FMSCX_DeleteAPage(FMSC_FILETOC_T* toc, std::int32_t* firstPage) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (const int error = refuseClient(toc, FMSC_HERE)) return error;
    if (!firstPage) return FMSCX_NullParameter(toc, "firstPage", FMSC_HERE);
    if (*firstPage < 0 || *firstPage >= toc->limits.pages)
        return FMSC_FAIL_VALUE(toc, FMSC_ERROR_METAFILE_FREEPAGE_OFFSET_IS_NOT_CORRECT, *firstPage);
    const FmscFilePage& first = toc->pages[*firstPage];
    char guid[FMSC_GUID_SIZE + 1] = {};
    std::memcpy(guid, first.guid, FMSC_GUID_SIZE);
    std::uint32_t sizeLow = first.fileSizeLow, sizeHigh = first.fileSizeHigh;
    if (const int error = FSMCFile_DeleteOldest(toc)) return FMSCX_PassOn(__func__, error);
    std::int32_t found = -1;
    if (const int error = FMSCHash_FindFile(toc, guid, &found))
        return FMSCX_PassOn(__func__, error);
    if (found == -1) {
        if (const int error = FMSCHash_AddPage(toc, guid, sizeLow, sizeHigh, &found))
            return FMSCX_PassOn(__func__, error);
    }
    *firstPage = found;
    return 0;
}

namespace {

// A block number no file has: refused before anything changes.
int refuseBadBlock(FMSC_FILETOC_T* toc, std::int64_t block) {
    if (block >= 0 && block <= INT32_MAX) return 0;
    return FMSC_FAIL_VALUE(toc, FMSC_ERROR_IF_BAD_FILE_OFFSET,
                           static_cast<int>(std::max<std::int64_t>(block, INT32_MIN)));
}

// How many pages a writer may evict to make room. Each eviction takes the
// oldest page, and the writer's own file, when its last page goes, comes
// back as an empty page at the newest end: once as many went as the date
// list held, every page that could give room is gone, and more evictions
// would take the writer's empty page round for ever.
std::int32_t evictionsThatMayFree(const FMSC_FILETOC_T* toc) {
    return std::clamp(FMSCX_ReadShared(toc->shared->dateCount), 0, toc->limits.pages);
}

int writeBlock(FMSC_FILETOC_T* toc, std::int32_t* firstPage, std::int32_t block,
               const std::uint8_t* bytes, std::int32_t length) {
    if (length < 0 || length > FMSC_SEGMENT_SIZE)
        return FMSC_FAIL_VALUE(toc, FMSC_ERROR_IF_BAD_LENGTH, length);
    if (const int error = refuseBadBlock(toc, block)) return error;
    if (const int error = FMSCX_CheckFirstPage(toc, *firstPage))
        return FMSCX_PassOn(__func__, error);
    // A block cached already is written over where it lies: one entry for
    // each block, holding the bytes written last.
    std::int32_t holder = -1, held = -1;
    if (const int error = FMSCFile_PlaceBlock(toc, *firstPage, block, &holder, &held))
        return FMSCX_PassOn(__func__, error);
    if (holder != -1) {
        if (const int error = FMSCSegment_WriteSegmentData(toc, bytes, held, length))
            return FMSCX_PassOn(__func__, error);
        if (const int error = FMSCFile_SetSegmentLength(toc, holder, block, length))
            return FMSCX_PassOn(__func__, error);
        return 0;
    }
    if (toc->freeSegments.count == 0) {
        // Growth that fails (an extent file that cannot be made or grown,
        // a full disk) is reported, and the writer evicts as in a full
        // store, until a segment is free or every page went that held
        // one: a store where none frees one is full (60).
        if (std::int64_t(toc->limits.maxExtentFiles) * toc->limits.segmentsPerExtent > 0)
            FMSC_SegmentExpandExtents(toc);
        for (std::int32_t left = evictionsThatMayFree(toc);
             toc->freeSegments.count == 0 && toc->shared->dateHead != -1 && left > 0; --left) {
            if (const int error = FMSCX_DeleteAPage(toc, firstPage))
                return FMSCX_PassOn(__func__, error);
        }
    }
    std::int32_t segment = -1;
    if (const int error = FMSCFile_GetFreeSegment(toc, &segment))
        return FMSCX_PassOn(__func__, error);
    // A segment taken and not recorded goes back to the free ones, also
    // when memory runs out on the way.
    struct TakenSegment {
        FMSC_FILETOC_T* toc;
        std::int32_t segment;
        bool recorded = false;
        ~TakenSegment() {
            if (!recorded) FMSCSegment_FreeThisSegment(toc, -1, segment);
        }
    } taken{toc, segment};
    auto giveBack = [](int error) { return FMSCX_PassOn("writeBlock", error); };
    if (const int error = FMSCSegment_WriteSegmentData(toc, bytes, segment, length))
        return giveBack(error);
    bool outOfPages = false;
    const int allocated =
        FMSCFile_AllocateSegment(toc, *firstPage, block, segment, length, &outOfPages);
    if (allocated) return giveBack(allocated);
    // Room made for the entry may be taken again when the file itself was
    // evicted and had to be added anew: evict until it fits.
    for (std::int32_t left = evictionsThatMayFree(toc);
         outOfPages && toc->shared->dateHead != -1 && left > 0; --left) {
        if (const int error = FMSCX_DeleteAPage(toc, firstPage)) return giveBack(error);
        const int again =
            FMSCFile_AllocateSegment(toc, *firstPage, block, segment, length, &outOfPages);
        if (again) return giveBack(again);
    }
    if (outOfPages) return giveBack(FMSC_FAIL(toc, FMSC_ERROR_METAFILE_OUT_OF_FREE_PAGES));
    taken.recorded = true;
    return 0;
}

}  // namespace

int FMSCIF_WriteBlock(FMSC_FILETOC_T* toc, std::int32_t* firstPage, std::int32_t block,
                      const std::uint8_t* bytes, std::int32_t length) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (const int error = refuseClient(toc, FMSC_HERE)) return error;
    if (const int error = checkSizing(toc, FMSC_HERE)) return error;
    if (!firstPage) return FMSCX_NullParameter(toc, "firstPage", FMSC_HERE);
    if (!bytes) return FMSCX_NullParameter(toc, "bytes", FMSC_HERE);
    if (const int error = checkEveryCall(toc, __func__)) return FMSCX_PassOn(__func__, error);
    if (toc->log && *firstPage >= 0 && *firstPage < toc->limits.pages)
        logLine(toc, "WriteBlock,%.36s,%d,%d", toc->pages[*firstPage].guid, block, length);
    return finish(toc, __func__, [&] {
        int rc = writeBlock(toc, firstPage, block, bytes, length);
        // A write that found its extent file cut short gave back what it
        // took: the file is made whole, without the blocks beyond the cut,
        // and the write tried again there.
        if (toc->extentToCheck >= 0 && checkShortExtent(toc) == 0 &&
            rc == FMSC_ERROR_FILE_SEGMENT_BEYOND_END_OF_EXTENT_FILE)
            rc = writeBlock(toc, firstPage, block, bytes, length);
        if (toc->extentToCheck >= 0) checkShortExtent(toc);
        return rc;
    });
}

int FMSCIF_WriteData(FMSC_FILETOC_T* toc, std::int32_t* firstPage, std::int32_t firstBlock,
                     const std::uint8_t* bytes, std::int32_t length) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (const int error = refuseClient(toc, FMSC_HERE)) return error;
    if (!firstPage) return FMSCX_NullParameter(toc, "firstPage", FMSC_HERE);
    if (!bytes) return FMSCX_NullParameter(toc, "bytes", FMSC_HERE);
    if (const int error = checkEveryCall(toc, __func__)) return FMSCX_PassOn(__func__, error);
    if (toc->log && *firstPage >= 0 && *firstPage < toc->limits.pages)
        logLine(toc, "WriteData,%.36s,%d,%d", toc->pages[*firstPage].guid, firstBlock, length);
    if (length < 0)
        return finish(toc, __func__, FMSC_FAIL_VALUE(toc, FMSC_ERROR_IF_BAD_LENGTH, length));
    // Every block the bytes go to, the last included, is one a file may have.
    const std::int32_t blocks = length / FMSC_SEGMENT_SIZE + (length % FMSC_SEGMENT_SIZE ? 1 : 0);
    int refused = refuseBadBlock(toc, firstBlock);
    if (!refused && blocks > 0)
        refused = refuseBadBlock(toc, std::int64_t(firstBlock) + blocks - 1);
    if (refused) return finish(toc, __func__, refused);
    for (std::int32_t i = 0; i < blocks; ++i) {
        const std::int32_t done = i * FMSC_SEGMENT_SIZE;
        const std::int32_t piece = std::min(FMSC_SEGMENT_SIZE, length - done);
        int rc = FMSCIF_WriteBlock(toc, firstPage, firstBlock + i, bytes + done, piece);
        if (rc) return finish(toc, __func__, rc);
    }
    return 0;
}

int FMSCIF_DeleteFile(FMSC_FILETOC_T* toc, const char* guid) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (const int error = refuseClient(toc, FMSC_HERE)) return error;
    if (!guid) return FMSCX_NullParameter(toc, "guid", FMSC_HERE);
    if (const int error = checkEveryCall(toc, __func__)) return FMSCX_PassOn(__func__, error);
    logLine(toc, "DeleteFile,%.36s", guid);
    return finish(toc, __func__, [&] { return FMSCHash_DeleteFile(toc, guid); });
}

int FMSCIF_AdjustFileSize(FMSC_FILETOC_T* toc, const char* guid, std::uint32_t sizeLow,
                          std::uint32_t sizeHigh) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (const int error = refuseClient(toc, FMSC_HERE)) return error;
    if (!guid) return FMSCX_NullParameter(toc, "guid", FMSC_HERE);
    if (const int error = checkEveryCall(toc, __func__)) return FMSCX_PassOn(__func__, error);
    logLine(toc, "AdjustFileSize,%.36s,%d", guid, static_cast<int>(sizeLow));
    return finish(toc, __func__,
                  [&] { return FMSCHash_AdjustFileSize(toc, guid, sizeLow, sizeHigh); });
}

int FMSCIF_DeleteOldest(FMSC_FILETOC_T* toc) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (const int error = refuseClient(toc, FMSC_HERE)) return error;
    if (const int error = checkEveryCall(toc, __func__)) return FMSCX_PassOn(__func__, error);
    logLine(toc, "DeleteOldest");
    return finish(toc, __func__, [&] { return FSMCFile_DeleteOldest(toc); });
}

int FSMCIF_DeleteOldestFile(FMSC_FILETOC_T* toc) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (const int error = refuseClient(toc, FMSC_HERE)) return error;
    if (const int error = checkEveryCall(toc, __func__)) return FMSCX_PassOn(__func__, error);
    logLine(toc, "DeleteOldestFile");
    return finish(toc, __func__, [&] { return FSMCFile_DeleteOldest(toc); });
}

int FSMCIF_DeleteThisPage(FMSC_FILETOC_T* toc, std::int32_t page) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (const int error = refuseClient(toc, FMSC_HERE)) return error;
    if (const int error = checkEveryCall(toc, __func__)) return FMSCX_PassOn(__func__, error);
    return finish(toc, __func__, [&] { return FSMCFile_DeleteThisPage(toc, page); });
}

int FMSCIF_FindNextSegment(FMSC_FILETOC_T* toc, std::int32_t firstPage, std::int32_t block,
                           std::int32_t* found, std::int32_t* length) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (!found) return FMSCX_NullParameter(toc, "found", FMSC_HERE);
    if (!length) return FMSCX_NullParameter(toc, "length", FMSC_HERE);
    if (const int error = checkEveryCall(toc, __func__)) return FMSCX_PassOn(__func__, error);
    if (toc->log && firstPage >= 0 && firstPage < toc->limits.pages)
        logLine(toc, "FindNextSegment,%.36s,%d", toc->pages[firstPage].guid, block);
    if (const int error = refuseBadBlock(toc, block)) return finish(toc, __func__, error);
    return finish(toc, __func__,
                  [&] { return FMSCFile_FindNextSegment(toc, firstPage, block, found, length); });
}

int FMSCIF_NextFile(FMSC_FILETOC_T* toc, std::int32_t* iterator, std::int32_t* firstPage) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (!iterator) return FMSCX_NullParameter(toc, "iterator", FMSC_HERE);
    if (!firstPage) return FMSCX_NullParameter(toc, "firstPage", FMSC_HERE);
    if (const int error = checkEveryCall(toc, __func__)) return FMSCX_PassOn(__func__, error);
    logLine(toc, "NextFile");
    return finish(toc, __func__, [&] { return FMSCFile_NextFile(toc, iterator, firstPage); });
}

int FMSCIF_LockCache(FMSC_FILETOC_T* toc) {
    return FMSCIF_LockCacheWithin(toc, FMSC_MUTEX_WAIT_MS);
}

int FMSCIF_LockCacheWithin(FMSC_FILETOC_T* toc, std::uint32_t waitMilliseconds) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    // A client tests its server's block once it holds the mutex
    // (FMSCFile_LockCache): the server may close its cache while the
    // client waits.
    if (!toc->client) {
        if (const int error = checkSizing(toc, FMSC_HERE)) return error;
    }
    logLine(toc, "LockCache");
    toc->interfaceLock = true;
    int rc = FMSCFile_LockCache(toc, waitMilliseconds);
    // A lock not taken leaves no interface lock behind to be undone. No
    // check here: one that failed would return holding the lock.
    if (rc) {
        toc->interfaceLock = false;
        // A client whose server closed its cache is told so, no more.
        if (!toc->client || rc != FMSC_ERROR_BAD_TYPE_SIG) FMSCX_Traceback(__func__);
    }
    return rc;
}

int FMSCIF_UnLockCache(FMSC_FILETOC_T* toc) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    // A client tested its server's block when it took the lock.
    if (!toc->client) {
        if (const int error = checkSizing(toc, FMSC_HERE)) return error;
    }
    logLine(toc, "UnLockCache");
    if (const int refused = refuseAnotherThreadsLock(toc)) return refused;
    toc->interfaceLock = false;
    // No check either: the mutex is let go, the shared files are not ours.
    int rc = FMSCFile_UnLockCache(toc);
    if (rc) FMSCX_Traceback(__func__);
    return rc;
}

int FMSCIF_NumClients(FMSC_FILETOC_T* toc, std::int32_t* count) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (const int error = checkSizing(toc, FMSC_HERE)) return error;
    if (!count) return FMSCX_NullParameter(toc, "count", FMSC_HERE);
    logLine(toc, "NumClients");
    *count = toc->shared->clients;
    return 0;
}

int FMSCIF_PrintHash(FMSC_FILETOC_T* toc) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (const int error = checkEveryCall(toc, __func__)) return FMSCX_PassOn(__func__, error);
    logLine(toc, "PrintHash");
    return finish(toc, __func__, [&] { return FMSCHash_PrintHashTable(toc); });
}

int FMSCIF_GetInfo(FMSC_FILETOC_T* toc, FMSC_INFO_T* pInfo) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (const int error = checkSizing(toc, FMSC_HERE)) return error;
    if (!pInfo) return FMSCX_NullParameter(toc, "pInfo", FMSC_HERE);
    if (const int error = checkEveryCall(toc, __func__)) return FMSCX_PassOn(__func__, error);
    logLine(toc, "GetInfo");
    const FMSC_FILESHARED_T* s = toc->shared;
    FMSC_INFO_T& info = *pInfo;
    info.maxFiles = s->maxFilePages;
    info.fileTableBytes = (info.maxFiles + 1) * FMSC_PAGE_SIZE;
    info.maxSegmentEntries = info.maxFiles * FMSC_SEGMENTS_PER_PAGE;
    info.hashBlockPages = s->hashBlockPages;
    info.hashTableBytes = info.hashBlockPages * FMSC_PAGE_SIZE;
    info.hashTableEntries = info.hashTableBytes / 4;
    info.segmentFileSegments = s->segmentFileSegments;
    info.segmentFileBytes = info.segmentFileSegments * FMSC_SEGMENT_SIZE;
    info.megabytesPerExtentFile = s->segmentsPerExtentFile / 64;
    info.bytesPerExtentFile = std::int64_t(s->segmentsPerExtentFile) * FMSC_SEGMENT_SIZE;
    info.segmentsPerExtentFile = s->segmentsPerExtentFile;
    info.maxExtentFiles = s->maxExtentFiles;
    info.totalExtentMegabytes = s->totalExtentMegabytes;
    info.totalExtentSegments = info.segmentsPerExtentFile * info.maxExtentFiles;
    info.totalSegments = info.totalExtentSegments + info.segmentFileSegments;
    info.freePages = toc->header->freePageListSize;
    info.allocatedPages = info.maxFiles - info.freePages;
    info.cachedFiles = 0;
    for (std::int32_t iterator = -1, first = -1;;) {
        int rc = FMSCFile_NextFile(toc, &iterator, &first);
        if (rc) return finish(toc, __func__, rc);
        if (first == -1) break;
        ++info.cachedFiles;
    }
    info.extentFilesInUse = s->extentFilesInUse;
    info.extentSegmentsInUse = s->extentSegmentsInUse;
    info.freeSegments = toc->freeSegments.count;
    info.segmentsInUse = info.extentSegmentsInUse - info.freeSegments + info.segmentFileSegments;
    info.hits = s->hits;
    info.misses = s->misses;
    info.headerPercentFull = info.maxFiles > 0 ? 100 * info.allocatedPages / info.maxFiles : 0;
    info.segmentPercentFull =
        info.totalSegments > 0 ? 100 * info.segmentsInUse / info.totalSegments : 0;
    return finish(toc, __func__, 0);
}

int FmscPrintInfo(FMSC_FILETOC_T* toc) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    logLine(toc, "PrintInfo");
    FMSC_INFO_T info{};
    if (const int error = FMSCIF_GetInfo(toc, &info)) return FMSCX_PassOn(__func__, error);
    std::printf("Maximum number of files is %d\n", int(info.maxFiles));
    std::printf("Maximum number of segment entries is %d\n", int(info.maxSegmentEntries));
    std::printf("Maximum number of segment file entries is %d\n", int(info.segmentFileSegments));
    std::printf("Hash table size is %d entries\n", int(info.hashTableEntries));
    std::printf("\n");
    std::printf("Hash table size is %.0f\n", double(info.hashTableBytes));
    std::printf("Segment file size is %.0f \n", double(info.segmentFileBytes));
    std::printf("File table size is %.0f \n", double(info.fileTableBytes));
    std::printf("Max extent size is %.0fMB\n", double(info.totalExtentMegabytes));
    std::printf("Max hash block pages is %.0f\n", double(info.hashBlockPages));
    std::printf("\n");
    std::printf("File table free list size is: %.0f \n", double(info.freePages));
    std::printf("Segment free list size is:  %.0f \n", double(info.freeSegments));
    std::printf("Header file is %d percent full\n", int(info.headerPercentFull));
    std::printf("Segment files are %d percent full\n", int(info.segmentPercentFull));
    std::fflush(stdout);
    return 0;
}

int FMSCIF_Purge(FMSC_FILETOC_T* toc, bool shrink) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (const int error = refuseClient(toc, FMSC_HERE)) return error;
    if (const int error = checkEveryCall(toc, __func__)) return FMSCX_PassOn(__func__, error);
    logLine(toc, "Purge,%d", shrink ? 1 : 0);
    return finish(toc, __func__, [&] {
        // The shrink's memory is had before the first page goes.
        FmscShrink plan;
        int rc = FMSCX_PrepareShrink(toc, shrink, &plan);
        while (!rc && toc->shared->dateHead != -1) rc = FSMCFile_DeleteOldest(toc);
        if (!rc) rc = FMSCX_ShrinkPrepared(toc, 0, shrink, plan);
        return rc;
    });
}

int FMSCIF_ShrinkTheSegmentExtentFile(FMSC_FILETOC_T* toc, std::int32_t megabytes) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (const int error = refuseClient(toc, FMSC_HERE)) return error;
    if (const int error = checkEveryCall(toc, __func__)) return FMSCX_PassOn(__func__, error);
    return finish(toc, __func__,
                  [&] { return FMSCSegment_ShrinkTheSegmentExtentFile(toc, megabytes, true); });
}

int FMSCIF_FindSegments(FMSC_FILETOC_T* toc, std::int32_t firstPage,
                        std::vector<std::int32_t>* blocks) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (!blocks) return FMSCX_NullParameter(toc, "blocks", FMSC_HERE);
    if (const int error = checkEveryCall(toc, __func__)) return FMSCX_PassOn(__func__, error);
    if (toc->log && firstPage >= 0 && firstPage < toc->limits.pages)
        logLine(toc, "FindSegments,%.36s", toc->pages[firstPage].guid);
    return finish(toc, __func__, [&] { return FMSCFile_FindSegments(toc, firstPage, blocks); });
}

}  // namespace Quillomark::Fcc
