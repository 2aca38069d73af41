// The self-proxy's side of the fast cache: attached once per process as a
// client of the cache that the local file-cache server fills, it serves the
// bytes of files the server has cached straight out of shared memory.

#include <fcc/fastcache/internal/FmscInterface.hxx>
#include <fcc/internal/FccErrors.hxx>
#include <fcc/pipe/internal/FccProtocol.hxx>
#include <fcc/runtime/internal/FccRuntime.hxx>
#include <fcc/selfproxy/internal/FastCacheClient.hxx>
#include <fcc/selfproxy/internal/FccFileRecord.hxx>

#include <platform/os/internal/Environment.hxx>
#include <platform/os/internal/MappedFile.hxx>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace Quillomark::Fcc {

namespace {

constexpr int PIPE_ONLY = -1;

// The attached cache (none until an attach succeeded), whether an attach
// was tried, and its result. Guarded by the main lock.
FMSC_FILETOC_T* attachedCache = nullptr;
bool attachTried = false;
int attachResult = 0;

// Held by the one thread that attaches, while it asks the server for the
// cache's settings: never while holding the main lock, and never waited
// for.
std::mutex attaching;

void printLine(const char* text) {
    std::printf("%s", text);
    std::fflush(stdout);
}

void printPipeMode() {
    printLine(
        "***** The FMS fast cache will continue to operate in pipe mode with possibly degraded "
        "performance. *****\n");
}

// A fast-cache result as a status of the interface: the name of a fast-cache
// error number (either sign) becomes the thread's last error, untranslated,
// when it has none, and a positive number comes back negated.
int fastCacheStatus(int error) {
    const int number = error < 0 ? -error : error;
    if (number >= 1 && number <= FMSC_ERROR_METAFILE_INSERT_ALREADY_IN_DATELIST) {
        FccConnectionRef record = FccGetThreadConnection();
        if (record && !record->errorText) {
            record->localized = false;
            record->errorText = strdup(FMSCX_ErrorName(number));
        }
    }
    return error > 0 ? -error : error;
}

// Asks the server for its cache's settings and opens the cache as a client.
int openFastCache(FMSC_FILETOC_T** cache) {
    FccCacheInfo info;
    if (const int status = FccCacheInfoExchange(info)) return status;
    if (info.folder[0] != '/') {
        // A relative folder (such as a drive-letter path) would be looked
        // for from the application's current folder, which is not the
        // server's cache: no fast cache then.
        fccTrace("Fast cache folder '%s' is not an absolute path: pipe mode.\n", info.folder);
        return PIPE_ONLY;
    }
    FMSC_OPEN_PARAMS params;
    params.folder = info.folder;
    params.name = info.mapName;
    params.maxFilePages = info.filePages;
    params.segments = info.segments;
    params.hashBlockPages = info.hashBlockPages;
    params.megabytesPerExtentFile = info.mbExtents;
    params.extentFiles = info.extents;
    params.mode = FMSC_MODE_CLIENT;
    params.trace = !Platform::Os::environmentValue("FMSC_DEFAULT_LOGFILE").empty();
    return FMSCIF_OpenS(&params, cache);
}

// Whether the attached cache is still the server's: a server that closed
// marks its shared block, and one that made its cache anew has new files
// under the old names, which the client's mappings do not show.
bool attachedCacheIsCurrent() {
    return attachedCache->shared->signature == FMSC_FILESHARED_T_SIG &&
           Platform::Os::isFileAtPath(attachedCache->metaMap.fd, attachedCache->metaFilePath);
}

// Locks the attached cache for one lookup or read, detaching first when it
// is no longer the server's: 0 when locked, PIPE_ONLY without a cache, or a
// negative error. Under the main lock, after checkInitFMSC.
int lockAttachedCache() {
    if (!attachedCache) return PIPE_ONLY;
    if (attachedCache->shared->signature == FMSC_FILESHARED_T_SIG) {
        if (const int locked = FMSCIF_LockCache(attachedCache)) return fastCacheStatus(locked);
        if (attachedCacheIsCurrent()) return 0;
        FMSCIF_UnLockCache(attachedCache);
    }
    FmscCloseFastCache();
    return PIPE_ONLY;
}

}  // namespace

int checkInitFMSC() {
    {
        FccMainLockGuard lock;
        if (attachTried) return attachResult;
    }
    // While another thread attaches, this call goes over the pipe.
    std::unique_lock<std::mutex> attach(attaching, std::try_to_lock);
    if (!attach.owns_lock()) return PIPE_ONLY;
    {
        FccMainLockGuard lock;
        if (attachTried) return attachResult;
    }
    FMSC_FILETOC_T* opened = nullptr;
    int result = 0;
    if (std::getenv("FCC_PROXY_PIPEONLY")) {
        result = PIPE_ONLY;
        printLine("\n***** WARNING: FCC proxy 'PIPE ONLY' mode detected. *****\n");
        printPipeMode();
    } else if ((result = FccVersionCheck(true)) != 0) {
        printLine("\n***** WARNING: Improper FCC protocol version detected. *****\n");
        printPipeMode();
    } else if ((result = openFastCache(&opened)) != 0) {
        opened = nullptr;
        std::printf("\n***** WARNING: Error %d opening FMSCache, . *****\n", result);
        printLine(
            "***** There was insufficient memory to open the FMS fast cache in memory mapped mode. "
            "*****\n");
        printPipeMode();
    }
    FccMainLockGuard lock;
    // The session ended meanwhile: the attach would outlive it.
    if (fccSessionEnded()) {
        if (opened) FMSCIF_Close(&opened);
        return ERR_FMSCP_NOT_INITIALIZED;
    }
    attachedCache = opened;
    attachTried = true;
    attachResult = fastCacheStatus(result);
    return attachResult;
}

int FmscCloseFastCache() {
    FccMainLockGuard lock;
    int result = 0;
    if (attachedCache) result = FMSCIF_Close(&attachedCache);
    attachedCache = nullptr;
    attachTried = false;
    return fastCacheStatus(result);
}

int FmscLookupFileSize(FccFile* file) {
    if (!file) return ERR_FMSCP_BAD_ARG;
    if (!file->guid) return ERR_FMSCP_BAD_FILE;
    if (fccIsOpenOnServer(file->server) || file->server.size >= 0) return FCC_OK;
    FccConnectionRef record = FccGetThreadConnection();
    if (!record) return ERR_FMSCP_THREAD_COUNT;
    if (checkInitFMSC() < 0) return PIPE_ONLY;
    FccMainLockGuard lock;
    if (const int locked = lockAttachedCache()) return locked;
    std::int64_t size = 0;
    std::int32_t first = -1;
    int result = fastCacheStatus(FMSCIF_FindFile(attachedCache, file->guid, &size, &first));
    FMSCIF_UnLockCache(attachedCache);
    if (result) return result;
    if (first == -1) return ERR_FMSCP_BAD_FILE;
    file->server.size = size;
    return FCC_OK;
}

int FmscReadBytes(FccFile* file, void* destination, int count) {
    if (!file || !destination || count < 0) return ERR_FMSCP_BAD_ARG;
    if (count == 0) return 0;
    FccConnectionRef record = FccGetThreadConnection();
    if (!record) return ERR_FMSCP_THREAD_COUNT;
    if (!file->guid) return 0;
    if (checkInitFMSC() < 0) return 0;
    FccMainLockGuard lock;
    if (const int locked = lockAttachedCache()) return locked == PIPE_ONLY ? 0 : locked;
    std::int64_t size = -1;
    std::int32_t first = -1;
    int result = fastCacheStatus(FMSCIF_FindFile(attachedCache, file->guid, &size, &first));
    int copied = 0;
    if (!result && first != -1) {
        if (size >= 0) file->server.size = size;
        auto* to = static_cast<unsigned char*>(destination);
        std::int64_t position = file->server.position;
        while (copied < count) {
            std::int32_t length = 0;
            const auto block = static_cast<std::int32_t>(position / FMSC_SEGMENT_SIZE);
            const auto within = static_cast<std::int32_t>(position % FMSC_SEGMENT_SIZE);
            if (const int read =
                    FMSCIF_ReadBlock(attachedCache, first, block, record->replyBuffer, &length)) {
                result = fastCacheStatus(read);
                break;
            }
            if (length < 1) break;  // not cached: the rest comes over the pipe
            const std::int32_t available = length - within;
            if (available < 0) {
                result = ERR_FMSCP_BAD_ARG;
                break;
            }
            if (available == 0) {
                if (copied == 0) result = ERR_FMSCP_EOF;
                break;
            }
            const int piece = std::min(available, count - copied);
            std::memcpy(to + copied, record->replyBuffer + within, static_cast<std::size_t>(piece));
            copied += piece;
            position += piece;
        }
    }
    if (const int unlocked = FMSCIF_UnLockCache(attachedCache)) result = fastCacheStatus(unlocked);
    return result ? result : copied;
}

}  // namespace Quillomark::Fcc
