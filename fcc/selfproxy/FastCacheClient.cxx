// The self-proxy's side of the fast cache: attached once per process as a
// client of the cache that the local file-cache server fills, it serves the
// bytes of files the server has cached straight out of shared memory. The
// cache never fails a transfer: whatever it cannot give comes over the pipe.

#include <fcc/fastcache/internal/FmscInterface.hxx>
#include <fcc/internal/FccErrors.hxx>
#include <fcc/pipe/internal/FccProtocol.hxx>
#include <fcc/runtime/internal/FccRuntime.hxx>
#include <fcc/runtime/internal/FccTiming.hxx>
#include <fcc/selfproxy/internal/FastCacheClient.hxx>
#include <fcc/selfproxy/internal/FccFileRecord.hxx>

#include <platform/os/internal/Forks.hxx>
#include <platform/os/internal/OsError.hxx>
#include <platform/os/internal/TimedLock.hxx>
#include <platform/os/internal/Time.hxx>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>

namespace Quillomark::Fcc {

namespace {

constexpr int PIPE_ONLY = -1;

// The locks of the fast-cache client, in the order in which they nest (the
// interface's main lock comes first, and an application may hold it around
// any call: synchronize):
//   attaching -> main lock -> cacheUse -> the cache's named mutex,
// and attachState, which is taken last and under which nothing is waited
// for. attaching is only ever tried: a thread that finds it taken reads
// over the pipe. No thread that holds cacheUse takes the main lock: a
// reader that waits for the cache's mutex holds cacheUse for as long as
// that wait, and an application that leaves the cache under synchronize
// waits for it.

struct ClientLocks {
    // Held by the one thread that uses the attached cache: its wait for the
    // cache's mutex, the lookup or read under it, and a leave. An attached
    // cache is closed only under it, once it is no longer attachedCache
    // (below), so that the reader that took it before is done with it. It
    // is waited for only within a read's wait for the cache, so that a
    // server holding its mutex for long holds up no call that does not read
    // from the cache, and a reader no longer than that wait in all.
    Platform::Os::TimedLock cacheUse;
    // Guards what the client knows of its attach, below.
    std::mutex attachState;
    // Held by the one thread that attaches, while it asks the server for
    // the cache's settings: never waited for.
    std::mutex attaching;
};

// A forked child makes its own (below).
Platform::Os::ProcessObject<ClientLocks> clientLocks;

ClientLocks& locks() { return *clientLocks; }

// Every use of the client's locks and of the attached cache, which a
// forked child must not take over half done. A fork does not wait for it:
// an attach asks the server, a read waits for the cache's mutex and copies
// a file's bytes.
Platform::Os::ForkRegion clientInUse;

// The attached cache (none until an attach succeeded), whether an attach
// was tried, and its result. A thread that takes the cache out of
// attachedCache closes it.
FMSC_FILETOC_T* attachedCache = nullptr;
bool attachTried = false;
int attachResult = 0;

// A cache that the client left by itself (its server closed it or made it
// anew, or it failed in the middle of a read), or whose first attach failed
// for a cause that may pass (reportAttachFailure), is attached to again,
// quietly, once a pause is over; each failed try doubles the pause, up to a
// limit. Reads go over the pipe meanwhile.
bool reattaching = false;
std::int64_t nextTryAt = 0;
std::uint32_t pause = 0;

// After a wait for the cache's mutex ran out (its server holds it for long,
// or is stuck), reads go over the pipe for a pause, which doubles with each
// further time-out up to a limit, instead of each waiting again. Guarded by
// cacheUse.
int lockTimeouts = 0;
std::int64_t lockTimedOutAt = 0;

// A forked child has only the thread that forked. When no other thread
// used the client as the parent forked, the child goes on with the cache
// that the parent attached (each process locks it as two processes do).
// Otherwise another thread may have held the client's locks or the cache's
// own, or been half way through opening, reading or closing the cache,
// whose descriptors a fork copies before the memory: the child makes
// locks of its own and attaches anew when it next reads, and leaves the
// parent's cache as it is in its memory (neither closed nor unmapped).
void makeClientInChild() {
    if (!clientInUse.inUseAtLastFork()) return;
    Platform::Os::replaceInChild(clientLocks.slot(), new ClientLocks);
    Platform::Os::leaveAlone(attachedCache);
    attachedCache = nullptr;
    attachTried = false;
    attachResult = 0;
    reattaching = false;
    lockTimeouts = 0;
}

QMSOA_IN_CHILD_AFTER_FORK(clientInChild, makeClientInChild);

// What a lookup or read of the cache waits for the cache's mutex in all,
// from its start: an attach's wait for it, the other threads' turns at the
// cache and its own wait for it.
class ReadWait {
public:
    ReadWait()
        : deadline(Platform::Os::monotonicMilliseconds() + fccWait(&FccTiming::cacheMutexWait)) {}
    // What is left of it now.
    std::uint32_t remaining() const { return Platform::Os::millisecondsLeft(deadline, 0x7FFFFFFF); }

private:
    std::int64_t deadline;
};

// The use of the attached cache by the calling thread, when it came within
// the read's wait.
class CacheUse {
public:
    explicit CacheUse(const ReadWait& wait)
        : wait(wait), held(locks().cacheUse.lockWithin(wait.remaining())) {}
    ~CacheUse() {
        if (held) locks().cacheUse.unlock();
    }
    CacheUse(const CacheUse&) = delete;
    CacheUse& operator=(const CacheUse&) = delete;
    explicit operator bool() const { return held; }
    std::uint32_t remainingWait() const { return wait.remaining(); }

private:
    const ReadWait& wait;
    bool held;
};

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

// Asks the server for its cache's settings and opens the cache as a client,
// within the read's wait for the cache's mutex.
int openFastCache(FMSC_FILETOC_T** cache, const ReadWait& wait) {
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
    const char* const log = std::getenv("FMSC_DEFAULT_LOGFILE");
    params.trace = log && *log;
    return FMSCIF_OpenSWithin(&params, cache, wait.remaining());
}

// Has the client attach again, by itself, once the first pause is over.
// Under attachState.
void reattachAfterAPause() {
    reattaching = true;
    pause = fccTiming().cacheReattachPause;
    nextTryAt = Platform::Os::monotonicMilliseconds() + pause;
}

// Whether checkInitFMSC is to attach now: the first time, and when the
// pause after the client left a cache is over. Under attachState.
bool attachDue() {
    return !attachTried || (reattaching && Platform::Os::monotonicMilliseconds() >= nextTryAt);
}

// Leaves the cache that the reader took, of the client's own accord,
// waiting for the cache's mutex no longer than what is left of the read's
// wait. A cache that is no longer the attached one was taken out by a
// close, which closes it once the reader lets go of cacheUse: the reader
// lets go of the cache's mutex first (a read that failed holds it), which
// the close could not take from another thread. Under cacheUse.
void leaveCache(const CacheUse& use, FMSC_FILETOC_T* cache) {
    bool attached = false;
    {
        const std::lock_guard<std::mutex> state(locks().attachState);
        attached = attachedCache == cache;
        if (attached) {
            attachedCache = nullptr;
            attachTried = true;
            attachResult = PIPE_ONLY;
            reattachAfterAPause();
        }
    }
    if (attached) {
        FMSCIF_CloseWithin(&cache, use.remainingWait());
    } else {
        FMSCIF_UnLockCache(cache);
    }
}

// Tries to attach again after the client left a cache, without the
// warnings of the first attach or the fast cache's reports: a server
// restarting may have its cache closed, or half made, for a moment, and a
// server that keeps it closed would otherwise have the application's output
// hear of each try. Not under the main lock.
int attachAgain(const ReadWait& wait) {
    FMSC_FILETOC_T* opened = nullptr;
    int tried = 0;
    {
        const FmscQuietReports quiet;
        tried = FccVersionCheck(true);
        if (tried == 0) tried = openFastCache(&opened, wait);
    }
    const bool attached = tried == 0;
    if (!attached) fccTrace("Fast cache not attached again (%d).\n", tried);
    // Under the main lock, which termination holds while it ends the
    // session: an attach that outlives the session is undone here.
    FccMainLockGuard lock;
    {
        const std::lock_guard<std::mutex> state(locks().attachState);
        if (reattaching && !fccSessionEnded()) {
            if (attached) {
                attachedCache = opened;
                attachResult = 0;
                reattaching = false;
            } else {
                pause = std::min(pause * 2, fccTiming().cacheReattachPauseLimit);
                nextTryAt = Platform::Os::monotonicMilliseconds() + pause;
            }
            return attachResult;
        }
    }
    // Closed meanwhile: the next call attaches as the first did.
    if (attached) FMSCIF_Close(&opened);
    return PIPE_ONLY;
}

// Whether reads go over the pipe for the pause after a wait for the
// cache's mutex ran out. Under cacheUse.
bool pausedAfterATimeOut() {
    if (lockTimeouts == 0) return false;
    const FccTiming timing = fccTiming();
    const int doublings = std::min(lockTimeouts - 1, 16);
    const std::int64_t pauseMs = std::min<std::int64_t>(
        std::int64_t(timing.cacheReattachPause) << doublings, timing.cacheReattachPauseLimit);
    return Platform::Os::monotonicMilliseconds() - lockTimedOutAt < pauseMs;
}

// Locks the attached cache for one lookup or read: the cache when locked,
// else null. A lock whose wait ran out (the server keeps the mutex busy)
// sends the reads to the pipe for a pause; any other failure, such as a
// cache whose files are no longer the server's (a server that made its
// cache anew has new files under the old names, which the client's
// mappings do not show), makes the client leave it. Under cacheUse, after
// checkInitFMSC.
FMSC_FILETOC_T* lockAttachedCache(const CacheUse& use) {
    FMSC_FILETOC_T* cache = nullptr;
    {
        const std::lock_guard<std::mutex> state(locks().attachState);
        cache = attachedCache;
    }
    if (!cache || pausedAfterATimeOut()) return nullptr;
    const int locked = FMSCIF_LockCacheWithin(cache, use.remainingWait());
    if (locked == 0) {
        lockTimeouts = 0;
        return cache;
    }
    if (locked == FMSC_ERROR_METAFILE_CACHE_MUTEX_TIMED_OUT) {
        ++lockTimeouts;
        lockTimedOutAt = Platform::Os::monotonicMilliseconds();
        fccTrace("Fast cache busy: reads go over the pipe for a while.\n");
        return nullptr;
    }
    leaveCache(use, cache);
    return nullptr;
}

// Lets go of the cache after a lookup or read; a cache that failed in it,
// or whose mutex cannot be let go, is left. Under cacheUse.
void unlockAttachedCache(const CacheUse& use, FMSC_FILETOC_T* cache, bool failed) {
    if (failed || FMSCIF_UnLockCache(cache) != 0) leaveCache(use, cache);
}

// Says why the first attach failed, after its error line, and whether
// that may pass: a server that has not made its cache yet, or is making it
// anew, holds its lock for long or has an extent file of its cache
// replaced, may serve it later, and memory may be had later. A server of
// another PID namespace or of another version of the files, and a cache
// folder that is no absolute path, stay as they are.
bool reportAttachFailure(int result, int osError) {
    if (result == PIPE_ONLY) {
        printLine(
            "***** The folder that the server names for the FMS fast cache is not an "
            "absolute path. *****\n");
        return false;
    }
    if (result == FMSC_ERROR_METAFILE_CANNOT_OPEN_CACHE_MUTEX && osError == ENOTSUP) {
        // The cache's lock names its holders by identifiers that only the
        // server's PID namespace reads right.
        printLine(
            "***** The FMS fast cache is shared only within the PID namespace of its "
            "server, and this process is in another one. *****\n");
        return false;
    }
    if (result == FMSC_ERROR_BAD_TYPE_SIG && osError == EPROTO) {
        printLine(
            "***** The FMS fast cache is shared only by processes of one version of its "
            "files, and its server's is another than this process's. *****\n");
        return false;
    }
    if (result == FMSC_ERROR_OUT_OF_MEMORY || osError == ENOMEM) {
        printLine(
            "***** There was insufficient memory to open the FMS fast cache in memory "
            "mapped mode. *****\n");
    } else {
        const char* name = result > 0 && result <= FMSC_ERROR_METAFILE_INSERT_ALREADY_IN_DATELIST
                               ? FMSCX_ErrorName(result)
                               : FccErrorCodeName(result);
        std::printf(
            "***** The FMS fast cache could not be opened (%s); it is tried again "
            "later. *****\n",
            name);
        std::fflush(stdout);
    }
    return true;
}

// Attaches once, within the read's wait for the cache's mutex.
int attachWithin(const ReadWait& wait) {
    {
        const std::lock_guard<std::mutex> state(locks().attachState);
        if (!attachDue()) return attachResult;
    }
    // An attach needs the pipe: from a progress callback, whose transfer is
    // in the middle of an exchange on it, it waits for a later call.
    if (FccThreadInExchange()) return PIPE_ONLY;
    // While another thread attaches, this call goes over the pipe.
    std::unique_lock<std::mutex> attach(locks().attaching, std::try_to_lock);
    if (!attach.owns_lock()) return PIPE_ONLY;
    bool again = false;
    {
        const std::lock_guard<std::mutex> state(locks().attachState);
        if (!attachDue()) return attachResult;
        again = reattaching;
    }
    if (again) return attachAgain(wait);
    FMSC_FILETOC_T* opened = nullptr;
    int result = 0;
    bool passing = false;
    if (std::getenv("FCC_PROXY_PIPEONLY")) {
        result = PIPE_ONLY;
        printLine("\n***** WARNING: FCC proxy 'PIPE ONLY' mode detected. *****\n");
        printPipeMode();
    } else if ((result = FccVersionCheck(true)) != 0) {
        printLine("\n***** WARNING: Improper FCC protocol version detected. *****\n");
        printPipeMode();
    } else if ((result = openFastCache(&opened, wait)) != 0) {
        const int osError = Platform::Os::lastOsError();
        opened = nullptr;
        std::printf("\n***** WARNING: Error %d opening FMSCache, . *****\n", result);
        passing = reportAttachFailure(result, osError);
        printPipeMode();
    }
    const int status = fastCacheStatus(result);
    // Under the main lock, which termination holds while it ends the
    // session: an attach that would outlive the session is undone here.
    FccMainLockGuard lock;
    if (fccSessionEnded()) {
        if (opened) FMSCIF_Close(&opened);
        return ERR_FMSCP_NOT_INITIALIZED;
    }
    const std::lock_guard<std::mutex> state(locks().attachState);
    attachedCache = opened;
    attachTried = true;
    attachResult = status;
    // A cause that passes is tried again after a pause, quietly, as after
    // the client left a cache.
    if (passing) reattachAfterAPause();
    return attachResult;
}

}  // namespace

void fccMakeFastCacheClientLocks() { locks(); }

int checkInitFMSC() {
    const Platform::Os::ForkRegion::Scope inUse(clientInUse);
    return attachWithin(ReadWait());
}

int FmscCloseFastCache() {
    const Platform::Os::ForkRegion::Scope inUse(clientInUse);
    FMSC_FILETOC_T* closed = nullptr;
    {
        const std::lock_guard<std::mutex> state(locks().attachState);
        closed = std::exchange(attachedCache, nullptr);
        attachTried = false;
        reattaching = false;
    }
    // A reader that took the cache before lets go within its wait for it.
    const std::lock_guard<Platform::Os::TimedLock> use(locks().cacheUse);
    lockTimeouts = 0;
    const int result = closed ? FMSCIF_Close(&closed) : 0;
    return fastCacheStatus(result);
}

int FmscLookupFileSize(FccFile* file) {
    if (!file) return ERR_FMSCP_BAD_ARG;
    if (!file->guid) return ERR_FMSCP_BAD_FILE;
    if (fccIsOpenOnServer(file->server) || file->server.size >= 0) return FCC_OK;
    // A GUID that the cache cannot hold is not cached: the client stays.
    if (!FMSCIF_CanHoldGuid(file->guid)) return ERR_FMSCP_BAD_FILE;
    FccConnectionRef record = FccGetThreadConnection();
    if (!record) return ERR_FMSCP_THREAD_COUNT;
    const Platform::Os::ForkRegion::Scope inUse(clientInUse);
    const ReadWait wait;
    if (attachWithin(wait) < 0) return PIPE_ONLY;
    const CacheUse use(wait);
    if (!use) return PIPE_ONLY;
    FMSC_FILETOC_T* cache = lockAttachedCache(use);
    if (!cache) return PIPE_ONLY;
    std::int64_t size = 0;
    std::int32_t first = -1;
    const bool failed = FMSCIF_FindFile(cache, file->guid, &size, &first) != 0;
    unlockAttachedCache(use, cache, failed);
    if (failed) return PIPE_ONLY;
    if (first == -1) return ERR_FMSCP_BAD_FILE;
    file->server.size = size;
    return FCC_OK;
}

int FmscReadBytes(FccFile* file, void* destination, int count) {
    if (!file || !destination || count < 0) return ERR_FMSCP_BAD_ARG;
    if (count == 0) return 0;
    FccConnectionRef record = FccGetThreadConnection();
    if (!record) return ERR_FMSCP_THREAD_COUNT;
    if (!FMSCIF_CanHoldGuid(file->guid)) return 0;
    const Platform::Os::ForkRegion::Scope inUse(clientInUse);
    const ReadWait wait;
    if (attachWithin(wait) < 0) return 0;
    const CacheUse use(wait);
    if (!use) return 0;
    FMSC_FILETOC_T* cache = lockAttachedCache(use);
    if (!cache) return 0;
    std::int64_t size = -1;
    std::int32_t first = -1;
    bool failed = FMSCIF_FindFile(cache, file->guid, &size, &first) != 0;
    int copied = 0;
    int result = 0;
    if (!failed && first != -1) {
        if (size >= 0) file->server.size = size;
        auto* to = static_cast<unsigned char*>(destination);
        std::int64_t position = file->server.position;
        while (copied < count) {
            std::int32_t length = 0;
            const auto block = static_cast<std::int32_t>(position / FMSC_SEGMENT_SIZE);
            const auto within = static_cast<std::int32_t>(position % FMSC_SEGMENT_SIZE);
            // Only the bytes wanted of the block, straight to the caller.
            if (FMSCIF_ReadBlockPart(cache, first, block, within, count - copied, to + copied,
                                     &length) != 0) {
                failed = true;
                break;
            }
            // A block that is not cached, or ends before the position: the
            // rest comes over the pipe.
            const std::int32_t available = length - within;
            if (length < 1 || available < 0) break;
            if (available == 0) {
                if (copied == 0) result = ERR_FMSCP_EOF;
                break;
            }
            const int piece = std::min(available, count - copied);
            copied += piece;
            position += piece;
        }
    }
    // What the cache gave before it failed still counts.
    unlockAttachedCache(use, cache, failed);
    return result ? result : copied;
}

}  // namespace Quillomark::Fcc
