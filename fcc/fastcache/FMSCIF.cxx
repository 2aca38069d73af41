#include <fcc/fastcache/internal/FmscInterface.hxx>
#include <fcc/fastcache/internal/FmscReport.hxx>

#include <platform/os/internal/Environment.hxx>

#include <algorithm>
#include <cstdarg>
#include <cstring>

#define FMSC_UNIT ".\\FMSCIF.cxx"

namespace Quillomark::Fcc {

namespace Os = Platform::Os;

namespace {

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

int checkEveryCall(FMSC_FILETOC_T* toc, const char* operation) {
    if (!toc->checkEveryCall) return 0;
    int rc = FMSCFile_CheckMetaFile(toc, 15);
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

#define FMSC_CHECK_SIZING(toc)                                                                     \
    do {                                                                                           \
        if (!(toc)->shared || (toc)->shared->signature != FMSC_FILESHARED_T_SIG)                   \
            return FMSCX_ReportBadSig("FMSC_FILESHARED_T_SIG", FMSC_UNIT, __func__, __LINE__);     \
    } while (0)

#define FMSC_BEFORE(toc) FMSC_TRY(checkEveryCall(toc, __func__))

}  // namespace

int FMSCIF_Open(const char* folder, const char* name, std::int32_t maxFilePages, std::int32_t segments,
                std::int32_t hashBlockPages, std::int32_t totalExtentMegabytes, bool create, bool deleteFiles,
                std::int32_t mode, bool trace, FMSC_FILETOC_T** handle) {
    FMSC_OPEN_PARAMS params;
    params.folder = folder;
    params.name = name;
    params.maxFilePages = maxFilePages;
    params.segments = segments;
    params.hashBlockPages = hashBlockPages;
    params.totalExtentMegabytes = totalExtentMegabytes;
    if (totalExtentMegabytes > 32) {
        std::int32_t files = totalExtentMegabytes / 32;
        params.megabytesPerExtentFile = files > FMSC_MAX_EXTENT_FILES ? totalExtentMegabytes / FMSC_MAX_EXTENT_FILES : 32;
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

int openCache(const FMSC_OPEN_PARAMS* params, FMSC_FILETOC_T** handle, FMSC_FILETOC_T*& toc) {
    FMSC_OPEN_PARAMS p = *params;
    if (p.maxFilePages > FMSC_MAX_FILE_PAGES) p.maxFilePages = FMSC_MAX_FILE_PAGES;
    if (p.maxFilePages < 2) p.maxFilePages = 1024;
    if (p.segments > FMSC_MAX_SEGMENTS) p.segments = FMSC_MAX_SEGMENTS;
    if (p.segments < 1) p.segments = 1800;
    if (p.mode == FMSC_MODE_SHARING_SERVER || p.mode == FMSC_MODE_CLIENT) {
        std::int32_t least = static_cast<std::int32_t>((12 * std::int64_t(p.maxFilePages) + 413) / FMSC_SEGMENT_SIZE + 1);
        if (p.extentFiles == 0) ++least;
        p.segments = std::max(p.segments, least);
    }
    if (p.hashBlockPages > FMSC_MAX_FILE_PAGES) p.hashBlockPages = FMSC_MAX_FILE_PAGES;
    if (p.hashBlockPages < 1) p.hashBlockPages = 15;
    std::int32_t megabytes = std::max(std::min(p.megabytesPerExtentFile, 2032), 16);
    megabytes = (megabytes + 8) / 16 * 16;
    if (p.totalExtentMegabytes > 0) p.extentFiles = (p.totalExtentMegabytes + megabytes - 1) / megabytes;
    p.extentFiles = std::max(p.extentFiles, 0);
    p.extentFiles = std::min({p.extentFiles, (2032000 - p.segments / 64) / megabytes, FMSC_MAX_EXTENT_FILES});
    p.megabytesPerExtentFile = megabytes;
    p.totalExtentMegabytes = megabytes * p.extentFiles;

    bool trace = p.trace || Os::environmentValue("FMSC_CACHE_TRACE") == "1";
    std::string folder = p.folder ? p.folder : "";
    std::replace(folder.begin(), folder.end(), '\\', '/');
    bool client = p.mode == FMSC_MODE_CLIENT;

    bool newCache = false;
    FMSC_TRY(FMSCFile_Open(p.folder ? folder.c_str() : nullptr, p.name, p.maxFilePages, p.segments, p.hashBlockPages,
                           p.extentFiles, p.megabytesPerExtentFile, p.create != 0, p.deleteFiles != 0, client, trace,
                           p.mode, &toc, &newCache));
    toc->allocationGranularity = Os::allocationGranularity();
    auto fail = [&toc](int rc) {
        if (toc && toc->signature == FMSC_FILETOC_T_SIG) FMSCFile_Close(toc);
        toc = nullptr;
        FMSCX_Traceback("FMSCIF_OpenS");
        return rc;
    };
    if (!client && toc->header->state != FMSC_STATE_CLEAN) {
        FMSCX_PrintErrorName(FMSC_ERROR_CACHE_NOT_CLEANLY_CLOSED);
        return fail(FMSC_ERROR_CACHE_NOT_CLEANLY_CLOSED);
    }
    const char* name = toc->wellKnownName.c_str();
    const char* directory = toc->folder.c_str();
    int rc = FMSCSegment_Open(toc, directory, name, p.create != 0, p.deleteFiles != 0, client);
    if (!rc) rc = FMSCFile_CheckMetaFile(toc, 64);
    if (!rc) rc = FMSCHash_Open(toc, directory, name, p.create != 0, p.deleteFiles != 0, client);
    if (!rc) rc = FMSCFile_CheckMetaFile(toc, 15);
    if (!rc && p.mode == FMSC_MODE_SHARING_SERVER) rc = FSMCFile_AllocateSharedMemoryForStructs(toc, false);
    if (!rc && client) rc = FMSCIF_UseStructsInSharedMemory(toc);
    if (!rc) rc = FMSCFile_LockCache(toc);
    if (rc) return fail(rc);
    // The client's check of the date list, on the list it uses from now on.
    if (client) rc = FMSCFile_CheckMetaFile(toc, 4);
    if (rc) return fail(rc);
    if (client) {
        ++toc->shared->clients;
    } else {
        toc->shared->hits = toc->shared->misses = 0;
        toc->shared->clients = 0;
    }
    rc = FMSCX_InitMappings(toc);
    int unlocked = FMSCFile_UnLockCache(toc);
    if (rc || unlocked) return fail(rc ? rc : unlocked);
    logLine(toc, "OpenS,%s,%d,%d,%d,%d,%d,%d", p.folder ? folder.c_str() : "", p.maxFilePages, p.segments,
            p.hashBlockPages, p.totalExtentMegabytes, p.create, p.deleteFiles);
    *handle = toc;
    if (!client) toc->header->state = FMSC_STATE_OPEN;
    if (toc->checkEveryCall) FMSC_TRY(FMSCFile_CheckMetaFile(toc, 15));
    return 0;
}

}  // namespace

int FMSCIF_OpenS(const FMSC_OPEN_PARAMS* params, FMSC_FILETOC_T** handle) {
    if (!params) return FMSCX_ReportNullParameter("pParams", FMSC_UNIT, __func__, __LINE__);
    if (!handle) return FMSCX_ReportNullParameter("ppToc", FMSC_UNIT, __func__, __LINE__);
    *handle = nullptr;
    FMSC_FILETOC_T* toc = nullptr;
    // A failed open, whatever failed, leaves nothing mapped or registered.
    try {
        return openCache(params, handle, toc);
    } catch (const std::exception&) {
        if (toc) FMSCFile_Close(toc);
        *handle = nullptr;
        return FMSCX_ReportOutOfMemory("pToc", FMSC_UNIT, __func__, __LINE__);
    }
}

int FMSCIF_Close(FMSC_FILETOC_T** handle) {
    if (!handle) return FMSCX_ReportNullParameter("ppToc", FMSC_UNIT, __func__, __LINE__);
    FMSC_FILETOC_T* toc = *handle;
    FMSC_CHECK_TOC(toc);
    logLine(toc, "Close");
    if (!toc->mutexHeld) FMSCFile_LockCache(toc);
    FMSCX_TermMappings(toc);
    if (toc->shared && toc->shared->signature == FMSC_FILESHARED_T_SIG) {
        if (toc->client) {
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
    int rc = FMSCFile_Close(toc);
    if (rc) {
        FMSCX_Traceback(__func__);
        return rc;
    }
    *handle = nullptr;
    return 0;
}

int FMSCIF_AddFile(FMSC_FILETOC_T* toc, const char* guid, std::uint32_t sizeLow, std::uint32_t sizeHigh,
                   std::int32_t* firstPage) {
    FMSC_CHECK_TOC(toc);
    FMSC_CHECK_PARAM(toc, guid);
    FMSC_CHECK_PARAM(toc, firstPage);
    FMSC_BEFORE(toc);
    logLine(toc, "AddFile,%.36s,%d", guid, static_cast<int>(sizeLow));
    return finish(toc, __func__, FMSCHash_AddPage(toc, guid, sizeLow, sizeHigh, firstPage));
}

int FMSCIF_FindFile(FMSC_FILETOC_T* toc, const char* guid, std::int64_t* size, std::int32_t* firstPage) {
    FMSC_CHECK_TOC(toc);
    FMSC_CHECK_PARAM(toc, guid);
    FMSC_CHECK_PARAM(toc, size);
    FMSC_CHECK_PARAM(toc, firstPage);
    FMSC_BEFORE(toc);
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

int FMSCIF_ReadBlock(FMSC_FILETOC_T* toc, std::int32_t firstPage, std::int32_t block, std::uint8_t* buffer,
                     std::int32_t* length) {
    FMSC_CHECK_TOC(toc);
    FMSC_CHECK_PARAM(toc, buffer);
    FMSC_CHECK_PARAM(toc, length);
    FMSC_BEFORE(toc);
    if (toc->log && firstPage >= 0 && firstPage < toc->header->maxFilePages)
        logLine(toc, "ReadBlock,%.36s,%d", toc->pages[firstPage].guid, block);
    int rc = FMSCFile_ReadBlock(toc, firstPage, block, buffer, length);
    if (!rc) {
        if (*length != -1)
            ++toc->shared->hits;
        else if (!toc->client)
            ++toc->shared->misses;
    }
    return finish(toc, __func__, rc);
}

int FMSCX_DeleteAPage(FMSC_FILETOC_T* toc, std::int32_t* firstPage) {
    FMSC_CHECK_TOC(toc);
    FMSC_CHECK_PARAM(toc, firstPage);
    if (*firstPage < 0 || *firstPage >= toc->header->maxFilePages)
        return FMSC_FAIL_VALUE(toc, FMSC_ERROR_METAFILE_FREEPAGE_OFFSET_IS_NOT_CORRECT, *firstPage);
    const FmscFilePage& first = toc->pages[*firstPage];
    char guid[FMSC_GUID_SIZE + 1] = {};
    std::memcpy(guid, first.guid, FMSC_GUID_SIZE);
    std::uint32_t sizeLow = first.fileSizeLow, sizeHigh = first.fileSizeHigh;
    FMSC_TRY(FSMCFile_DeleteOldest(toc));
    std::int32_t found = -1;
    FMSC_TRY(FMSCHash_FindFile(toc, guid, &found));
    if (found == -1) FMSC_TRY(FMSCHash_AddPage(toc, guid, sizeLow, sizeHigh, &found));
    *firstPage = found;
    return 0;
}

namespace {

int writeBlock(FMSC_FILETOC_T* toc, std::int32_t* firstPage, std::int32_t block, const std::uint8_t* bytes,
               std::int32_t length) {
    if (length < 0 || length > FMSC_SEGMENT_SIZE) return FMSC_FAIL_VALUE(toc, FMSC_ERROR_IF_BAD_LENGTH, length);
    if (toc->freeSegments.count == 0) {
        if (toc->shared->totalExtentMegabytes > 0) FMSC_TRY(FMSC_SegmentExpandExtents(toc));
        while (toc->freeSegments.count == 0 && toc->shared->dateHead != -1) FMSC_TRY(FMSCX_DeleteAPage(toc, firstPage));
    }
    std::int32_t segment = -1;
    FMSC_TRY(FMSCFile_GetFreeSegment(toc, &segment));
    FMSC_TRY(FMSCSegment_WriteSegmentData(toc, bytes, segment, length));
    bool outOfPages = false;
    FMSC_TRY(FMSCFile_AllocateSegment(toc, *firstPage, block, segment, length, &outOfPages));
    // Room made for the entry may be taken again when the file itself was
    // evicted and had to be added anew: evict until it fits.
    while (outOfPages && toc->shared->dateHead != -1) {
        FMSC_TRY(FMSCX_DeleteAPage(toc, firstPage));
        FMSC_TRY(FMSCFile_AllocateSegment(toc, *firstPage, block, segment, length, &outOfPages));
    }
    if (outOfPages) {
        FMSC_TRY(FMSCSegment_FreeThisSegment(toc, -1, segment));
        return FMSC_FAIL(toc, FMSC_ERROR_METAFILE_OUT_OF_FREE_PAGES);
    }
    return 0;
}

}  // namespace

int FMSCIF_WriteBlock(FMSC_FILETOC_T* toc, std::int32_t* firstPage, std::int32_t block, const std::uint8_t* bytes,
                      std::int32_t length) {
    FMSC_CHECK_TOC(toc);
    FMSC_CHECK_SIZING(toc);
    FMSC_CHECK_PARAM(toc, firstPage);
    FMSC_CHECK_PARAM(toc, bytes);
    FMSC_BEFORE(toc);
    if (toc->log && *firstPage >= 0 && *firstPage < toc->header->maxFilePages)
        logLine(toc, "WriteBlock,%.36s,%d,%d", toc->pages[*firstPage].guid, block, length);
    return finish(toc, __func__, writeBlock(toc, firstPage, block, bytes, length));
}

int FMSCIF_WriteData(FMSC_FILETOC_T* toc, std::int32_t* firstPage, std::int32_t firstBlock,
                     const std::uint8_t* bytes, std::int32_t length) {
    FMSC_CHECK_TOC(toc);
    FMSC_CHECK_PARAM(toc, firstPage);
    FMSC_CHECK_PARAM(toc, bytes);
    FMSC_BEFORE(toc);
    if (toc->log && *firstPage >= 0 && *firstPage < toc->header->maxFilePages)
        logLine(toc, "WriteData,%.36s,%d,%d", toc->pages[*firstPage].guid, firstBlock, length);
    if (length < 0) return finish(toc, __func__, FMSC_FAIL_VALUE(toc, FMSC_ERROR_IF_BAD_LENGTH, length));
    for (std::int32_t done = 0, block = firstBlock; done < length; done += FMSC_SEGMENT_SIZE, ++block) {
        std::int32_t piece = std::min(FMSC_SEGMENT_SIZE, length - done);
        int rc = FMSCIF_WriteBlock(toc, firstPage, block, bytes + done, piece);
        if (rc) return finish(toc, __func__, rc);
    }
    return 0;
}

int FMSCIF_DeleteFile(FMSC_FILETOC_T* toc, const char* guid) {
    FMSC_CHECK_TOC(toc);
    FMSC_CHECK_PARAM(toc, guid);
    FMSC_BEFORE(toc);
    logLine(toc, "DeleteFile,%.36s", guid);
    return finish(toc, __func__, FMSCHash_DeleteFile(toc, guid));
}

int FMSCIF_AdjustFileSize(FMSC_FILETOC_T* toc, const char* guid, std::uint32_t sizeLow, std::uint32_t sizeHigh) {
    FMSC_CHECK_TOC(toc);
    FMSC_CHECK_PARAM(toc, guid);
    FMSC_BEFORE(toc);
    logLine(toc, "AdjustFileSize,%.36s,%d", guid, static_cast<int>(sizeLow));
    return finish(toc, __func__, FMSCHash_AdjustFileSize(toc, guid, sizeLow, sizeHigh));
}

int FMSCIF_DeleteOldest(FMSC_FILETOC_T* toc) {
    FMSC_CHECK_TOC(toc);
    FMSC_BEFORE(toc);
    logLine(toc, "DeleteOldest");
    return finish(toc, __func__, FSMCFile_DeleteOldest(toc));
}

int FSMCIF_DeleteOldestFile(FMSC_FILETOC_T* toc) {
    FMSC_CHECK_TOC(toc);
    FMSC_BEFORE(toc);
    logLine(toc, "DeleteOldestFile");
    return finish(toc, __func__, FSMCFile_DeleteOldest(toc));
}

int FSMCIF_DeleteThisPage(FMSC_FILETOC_T* toc, std::int32_t page) {
    FMSC_CHECK_TOC(toc);
    FMSC_BEFORE(toc);
    return finish(toc, __func__, FSMCFile_DeleteThisPage(toc, page));
}

int FMSCIF_FindNextSegment(FMSC_FILETOC_T* toc, std::int32_t firstPage, std::int32_t block, std::int32_t* found,
                           std::int32_t* length) {
    FMSC_CHECK_TOC(toc);
    FMSC_CHECK_PARAM(toc, found);
    FMSC_CHECK_PARAM(toc, length);
    FMSC_BEFORE(toc);
    if (toc->log && firstPage >= 0 && firstPage < toc->header->maxFilePages)
        logLine(toc, "FindNextSegment,%.36s,%d", toc->pages[firstPage].guid, block);
    return finish(toc, __func__, FMSCFile_FindNextSegment(toc, firstPage, block, found, length));
}

int FMSCIF_NextFile(FMSC_FILETOC_T* toc, std::int32_t* iterator, std::int32_t* firstPage) {
    FMSC_CHECK_TOC(toc);
    FMSC_CHECK_PARAM(toc, iterator);
    FMSC_CHECK_PARAM(toc, firstPage);
    FMSC_BEFORE(toc);
    logLine(toc, "NextFile");
    return finish(toc, __func__, FMSCFile_NextFile(toc, iterator, firstPage));
}

int FMSCIF_LockCache(FMSC_FILETOC_T* toc) {
    FMSC_CHECK_TOC(toc);
    FMSC_CHECK_SIZING(toc);
    logLine(toc, "LockCache");
    toc->interfaceLock = true;
    int rc = FMSCFile_LockCache(toc);
    // A lock not taken leaves no interface lock behind to be undone. No
    // check here: one that failed would return holding the lock.
    if (rc) {
        toc->interfaceLock = false;
        FMSCX_Traceback(__func__);
    }
    return rc;
}

int FMSCIF_UnLockCache(FMSC_FILETOC_T* toc) {
    FMSC_CHECK_TOC(toc);
    FMSC_CHECK_SIZING(toc);
    logLine(toc, "UnLockCache");
    toc->interfaceLock = false;
    // No check either: the mutex is let go, the shared files are not ours.
    int rc = FMSCFile_UnLockCache(toc);
    if (rc) FMSCX_Traceback(__func__);
    return rc;
}

int FMSCIF_NumClients(FMSC_FILETOC_T* toc, std::int32_t* count) {
    FMSC_CHECK_TOC(toc);
    FMSC_CHECK_SIZING(toc);
    FMSC_CHECK_PARAM(toc, count);
    logLine(toc, "NumClients");
    *count = toc->shared->clients;
    return 0;
}

int FMSCIF_PrintHash(FMSC_FILETOC_T* toc) {
    FMSC_CHECK_TOC(toc);
    FMSC_BEFORE(toc);
    logLine(toc, "PrintHash");
    return finish(toc, __func__, FMSCHash_PrintHashTable(toc));
}

int FMSCIF_GetInfo(FMSC_FILETOC_T* toc, FMSC_INFO_T* pInfo) {
    FMSC_CHECK_TOC(toc);
    FMSC_CHECK_SIZING(toc);
    FMSC_CHECK_PARAM(toc, pInfo);
    FMSC_BEFORE(toc);
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
    info.segmentPercentFull = info.totalSegments > 0 ? 100 * info.segmentsInUse / info.totalSegments : 0;
    return finish(toc, __func__, 0);
}

int FmscPrintInfo(FMSC_FILETOC_T* toc) {
    FMSC_CHECK_TOC(toc);
    logLine(toc, "PrintInfo");
    FMSC_INFO_T info{};
    FMSC_TRY(FMSCIF_GetInfo(toc, &info));
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
    FMSC_CHECK_TOC(toc);
    FMSC_BEFORE(toc);
    logLine(toc, "Purge,%d", shrink ? 1 : 0);
    int rc = 0;
    while (!rc && toc->shared->dateHead != -1) rc = FSMCFile_DeleteOldest(toc);
    if (!rc) rc = FMSCSegment_ShrinkTheSegmentExtentFile(toc, 0, shrink);
    if (!rc) rc = FMSCX_WipeMappings(toc);
    return finish(toc, __func__, rc);
}

int FMSCIF_ShrinkTheSegmentExtentFile(FMSC_FILETOC_T* toc, std::int32_t megabytes) {
    FMSC_CHECK_TOC(toc);
    FMSC_BEFORE(toc);
    return finish(toc, __func__, FMSCSegment_ShrinkTheSegmentExtentFile(toc, megabytes, true));
}

int FMSCIF_FindSegments(FMSC_FILETOC_T* toc, std::int32_t firstPage, std::vector<std::int32_t>* blocks) {
    FMSC_CHECK_TOC(toc);
    FMSC_CHECK_PARAM(toc, blocks);
    FMSC_BEFORE(toc);
    if (toc->log && firstPage >= 0 && firstPage < toc->header->maxFilePages)
        logLine(toc, "FindSegments,%.36s", toc->pages[firstPage].guid);
    return finish(toc, __func__, FMSCFile_FindSegments(toc, firstPage, blocks));
}

}  // namespace Quillomark::Fcc
