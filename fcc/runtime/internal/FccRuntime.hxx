#pragma once

// What the library's own file-cache client stands on: its locks, the
// allocation pair of the interface, the table of per-thread connection
// records with the idle-connection monitor, the trace log and the
// per-thread last error.

#include <fcc/FccInterface.hxx>
#include <platform/os/internal/Forks.hxx>
#include <platform/os/internal/MessagePipe.hxx>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace Quillomark::Fcc {

// ---- Locks, in the order in which they may be nested ----------------------
// init lock -> main lock -> connect lock -> thread-record lock. The init and
// main locks may be taken again by the thread that holds them. The connect
// lock lets one thread at a time reach the master pipe or start the server
// (a thread waits for it no longer than a set-up takes); nobody waits for a
// reply of the server while holding the main lock. The fast-cache client's
// locks (FastCacheClient.cxx) come after the main lock (main lock -> its
// use of the attached cache -> the cache's named mutex), and a thread that
// holds one of them takes neither the init nor the main lock: an
// application may hold the main lock (synchronize) around any call. Its
// attach lock is the exception: the attaching thread takes the main lock
// under it to record the attach, and it is only ever tried, never waited
// for (a thread that finds it taken reads over the pipe).

// Makes the locks and the allocation pair, once per process, for
// fccMakeSelfProxyObjects; each lock operation and each use of the pair
// makes them when nothing did. Throws std::bad_alloc.
void FccInitLocks();

// False, taking nothing, when the caller holds the main lock (an application
// may call any entry under synchronize) and the init lock's holder waits for
// it: the caller would wait for ever.
bool FccInitLock();
// Each change of the ticket registry, made under the main lock and kept
// free of allocations, which a fork holds up. Only the change itself is
// inside, not the whole hold. (The list of open files needs none: a forked
// child mends it.)
Platform::Os::ForkRegion& fccGuardedChanges();
// In a child of a fork: whether a thread that the child does not have was
// in the middle of such a change as the parent forked, or of replacing the
// allocation pair. What it changed may be half done: every entry of the
// interface then fails with ERR_FMSCP_NOT_SUPPORTED, and the init lock is
// never taken.
bool fccUnusableAfterFork();
// In a child's at-fork handler, when a thread that the child does not have
// held the init lock (and none the main lock): true when that thread was
// setting the interface up or ending it, which leaves the child's
// interface uninitialised, to be set up afresh (its configuration, pipes,
// records and allocation pair its own); false, changing nothing, when it
// only counted a reference. Takes no lock.
bool fccStartAfreshInChild();
void FccInitUnlock();
// The main lock is the table entries synchronize / endSynchronize.
void FccMainLock();
void FccMainUnlock();
void FccConnectLock();
// Takes the connect lock unless it stays taken for that long: false then.
bool FccConnectLockWithin(std::uint32_t milliseconds);
void FccConnectUnlock();
void FccThreadRecordLock();
void FccThreadRecordUnlock();

// Holds one of the locks for its lifetime.
template <void (*Take)(), void (*Release)()>
class FccLockGuard {
public:
    FccLockGuard() { Take(); }
    ~FccLockGuard() { Release(); }
    FccLockGuard(const FccLockGuard&) = delete;
    FccLockGuard& operator=(const FccLockGuard&) = delete;
};

// The init lock for its lifetime, when it could be taken (see FccInitLock).
class FccInitLockGuard {
public:
    FccInitLockGuard() : taken(FccInitLock()) {}
    ~FccInitLockGuard() {
        if (taken) FccInitUnlock();
    }
    FccInitLockGuard(const FccInitLockGuard&) = delete;
    FccInitLockGuard& operator=(const FccInitLockGuard&) = delete;
    explicit operator bool() const { return taken; }

private:
    bool taken;
};
using FccMainLockGuard = FccLockGuard<FccMainLock, FccMainUnlock>;
using FccThreadRecordLockGuard = FccLockGuard<FccThreadRecordLock, FccThreadRecordUnlock>;

// ---- Allocation pair --------------------------------------------------------
// Strings handed to callers, connection buffers, ticket and file records are
// made with the pair given to FCC_Init; malloc and free until then. A later
// FCC_Init may put another pair in force while what the old one made is
// still in use (left to a thread that was running at termination): every
// record, buffer and text remembers the pair that made it and goes back to
// that pair.
struct FccAllocator {
    FccAllocFunction alloc = &std::malloc;
    FccReleaseFunction release = &std::free;

    void* allocate(std::size_t size) const { return alloc(size); }
    void free(void* memory) const {
        if (memory) release(memory);
    }
    // A copy of text (length bytes and a NUL); null when that fails.
    char* copy(const char* text, std::size_t length) const;
};

// Only a complete pair replaces the one in force.
void FccSetAllocator(FccAllocFunction alloc, FccReleaseFunction release);
// The pair in force now, both functions read together.
FccAllocator fccAllocator();
// With the pair in force now, for strings handed to callers.
void fccRelease(void* memory);
char* fccCopyString(const char* text, std::size_t length);

// ---- Sessions ----------------------------------------------------------------
// Each FCC_Init that sets the interface up begins a session; the FCC_Term
// that ends the last reference ends it. An entry works for the session in
// force when it began. Whatever it would still leave behind once that
// session has ended (a registration, an open file, a fast-cache attach, a
// connection record) is undone instead, and the entry answers -2999: the
// checks run under the lock that termination holds while it ends the
// session and empties the lists (the main lock; the thread-record lock for
// connection records).

// The session in force; 0 while the interface is not initialised.
std::uint64_t fccSessionInForce();
// FCC_Init (under the init lock): the number of the session it sets up, for
// which the initialising thread works meanwhile; opened makes it the one in
// force, and a failed set-up drops it.
std::uint64_t fccBeginSession();
void fccSessionOpened(std::uint64_t session);
void fccSessionDropped(std::uint64_t session);
// The last FCC_Term: no session in force from now on.
void fccEndSession();
// In a forked child that starts the interface afresh: no session is in
// force or being set up. Takes no lock.
void fccForgetSessionsInChild();

// The calling thread works for this session while the scope lasts (nested
// scopes, of entries called from progress callbacks, restore the outer
// one). Outside every scope a thread works for none, and nothing it does
// is undone.
class FccSessionScope {
public:
    explicit FccSessionScope(std::uint64_t session);
    ~FccSessionScope();
    FccSessionScope(const FccSessionScope&) = delete;
    FccSessionScope& operator=(const FccSessionScope&) = delete;

private:
    std::uint64_t outer;
};

// Whether the calling thread works for a session that has ended (or was
// never opened). Decisions that must hold until termination is through are
// taken under the main lock.
bool fccSessionEnded();

// ---- Connection records -----------------------------------------------------
constexpr int FCC_CONNECTION_COUNT = 100;
constexpr std::size_t FCC_REQUEST_BUFFER_SIZE = 2072;
constexpr std::size_t FCC_REPLY_BUFFER_SIZE = 16408;
constexpr std::uint32_t FCC_NO_THREAD = 0xFFFFFFFFu;

// One thread's connection to the file-cache server. Only the owning thread
// touches a record, while it holds it (FccConnectionRef); the monitor and
// termination reclaim only records that nobody holds. Other threads only
// hand back server handles of files they took over (handOver).
struct FccConnection {
    std::atomic<std::uint32_t> threadId{FCC_NO_THREAD};
    Platform::Os::MessagePipe pipe;  // the thread's secondary pipe
    std::uint16_t sequence = 0;      // number of the next request
    unsigned char* requestBuffer = nullptr;
    unsigned char* replyBuffer = nullptr;
    FccReleaseFunction bufferRelease = nullptr;  // of the pair that made the buffers
    char* errorText = nullptr;                   // standard heap
    char* savedErrorText = nullptr;
    bool localized = false;
    // An exchange runs on the pipe, from its request to its last reply. A
    // call that the same thread makes meanwhile (from a progress callback)
    // must not use the pipe: its messages would land in the middle of the
    // exchange.
    bool exchanging = false;
    // Holds of the owner (it is inside a call); -1 while being reclaimed.
    std::atomic<int> busy{0};
    std::atomic<int> idleTicks{0};
    // Files open on the server through this pipe: the monitor leaves the
    // record alone while there are any.
    std::atomic<int> openFiles{0};
    // Counts the closes of the pipe, so that a file opened through it can
    // tell that its server handle is gone.
    std::atomic<std::uint32_t> pipeGeneration{0};
    // Termination found the record held: its holder gives it up when done.
    std::atomic<bool> orphaned{false};
    // In a forked child, a record of its parent's table: never locked,
    // closed nor given up there.
    std::atomic<bool> retired{false};

    // Closes the pipe (its server handles die with it).
    void closePipe();
    // A file opened through this pipe in that generation is no longer open
    // here (false when the pipe has closed since, taking the handle along).
    bool forgetOpenFile(std::uint32_t generation);
    // The same, for a file that another thread uses now: the server handle
    // is closed over this pipe by its owner before its next request.
    void handOver(std::uint16_t serverHandle, std::uint32_t generation);
    // Takes the handles handed over, for closing.
    std::vector<std::uint16_t> takeHandedOver();

private:
    std::mutex handlesLock;  // the handles below, openFiles and closes
    std::vector<std::uint16_t> handedOver;
};

// The calling thread's record, held for as long as this object lives: the
// idle monitor cannot take it away meanwhile. Nested holds of one thread
// are fine.
class FccConnectionRef {
public:
    FccConnectionRef() = default;
    ~FccConnectionRef();
    FccConnectionRef(FccConnectionRef&& other) noexcept;
    FccConnectionRef& operator=(FccConnectionRef&& other) noexcept;
    FccConnectionRef(const FccConnectionRef&) = delete;
    FccConnectionRef& operator=(const FccConnectionRef&) = delete;

    explicit operator bool() const { return record != nullptr; }
    FccConnection* get() const { return record; }
    FccConnection* operator->() const { return record; }
    FccConnection& operator*() const { return *record; }
    // 0, or why there is no record: ERR_FMSCP_THREAD_COUNT when all are
    // taken, ERR_FMSCP_OUT_OF_MEMORY when its buffers could not be made,
    // ERR_FMSCP_NOT_INITIALIZED when the thread's session has ended.
    int status() const { return failure; }

private:
    friend FccConnectionRef FccGetThreadConnection();
    FccConnection* record = nullptr;
    int failure = 0;
};

// The calling thread's record, assigned on first use.
FccConnectionRef FccGetThreadConnection();

// Closes every record's pipe, frees its buffers and texts and gives it up
// (records that a thread holds at this moment are left alone).
void FccCloseAllConnections();
// Makes the table of records and the slot of the monitor's run, once per
// process, for fccMakeSelfProxyObjects. Throws std::bad_alloc.
void fccMakeConnectionTable();

// ---- Last error of the calling thread ---------------------------------------
// The table entries FmsErrorCode (records the text of a code when the thread
// has none yet) and FmsClearLastError live with the other entries
// (FccSelfProxy.hxx).
// Replaces the thread's text by a copy of text, of length bytes at most
// (null clears it). Throws nothing.
void FccSetLastErrorText(const char* text, std::size_t length = SIZE_MAX);
// Puts the text aside during a batch, and brings it back at its end.
void FccSaveLastError();
void FccRestoreLastError();
// The thread's text as recorded (null when none); owned by its record.
const char* FccLastErrorText();

// ---- Trace log ---------------------------------------------------------------
// Opens the file named by FMS_FCCPROXYLOG for appending, once per process.
void FccOpenTraceLog();
bool fccTracing();
// One formatted line (or part of one) into the trace log, flushed at once;
// nothing when the log is not open.
void fccTrace(const char* format, ...) __attribute__((format(printf, 1, 2)));

// ---- Runtime start and stop ------------------------------------------------
// The first initialisation: trace log, records, idle monitor. 0, or -3009
// when the monitor could not be started (for want of memory or of a
// thread): a session without it would never take back the records of
// threads that stopped calling. Throws std::bad_alloc.
int FccRuntimeStart();
// The last termination: stops the monitor, waiting a bounded time.
void FccRuntimeStop();

}  // namespace Quillomark::Fcc
