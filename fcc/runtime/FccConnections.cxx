// The per-thread connection records of the file-cache client and the
// monitor that takes them back from threads that stopped calling.

#include <fcc/internal/FccErrors.hxx>
#include <fcc/internal/FccSelfProxy.hxx>
#include <fcc/runtime/internal/FccRuntime.hxx>
#include <fcc/runtime/internal/FccTiming.hxx>

#include <platform/os/internal/Forks.hxx>
#include <platform/os/internal/Signal.hxx>
#include <platform/os/internal/Threads.hxx>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <utility>

namespace Quillomark::Fcc {

namespace Os = Quillomark::Platform::Os;

namespace {

struct ConnectionTable {
    FccConnection records[FCC_CONNECTION_COUNT];
    // Records below this index are in use or were once; searches look no
    // further.
    std::atomic<int> usedCount{0};
    int nextHint = 0;  // where the next search for a free record starts
};

// Never destroyed: the monitor may still run while the process ends.
Os::ProcessObject<ConnectionTable> tableInForce;

ConnectionTable& table() { return *tableInForce; }

// Where the calling thread found its record last time.
thread_local int recordHint = -1;

// One run of the idle monitor. Each run has its own stop flag, so that a
// run that outlived its stop never takes up the flag of the next.
struct MonitorRun {
    Os::Signal stop;
    Os::Signal ended;
};

// The latest run; guarded by the main lock. Never destroyed, like the
// table.
Os::ProcessObject<std::shared_ptr<MonitorRun>> monitorInForce;

std::shared_ptr<MonitorRun>& currentMonitor() { return *monitorInForce; }

// A forked child has none of its parent's threads: the records are theirs,
// and their pipes are the parent's connections, which a child that wrote
// to them or closed them would take from it (the server would answer one
// process's request to the other). The child makes its own records and
// connects its own pipes; the copies stay as they are, each closed in the
// child's eyes, so that a file opened through one in the parent is opened
// anew through the child's pipe. They are retired: the child never takes
// their handle locks, which a thread it does not have may hold, nor closes
// or gives them up. Nor does the parent's monitor run in the child, which
// starts its own when it sets the interface up again.
void makeRecordsInChild() {
    if (ConnectionTable* parents = tableInForce.ifMade()) {
        for (FccConnection& record : parents->records) {
            record.retired = true;
            record.pipeGeneration.fetch_add(1);
        }
        Os::replaceInChild(tableInForce.slot(), new ConnectionTable);
    }
    if (monitorInForce.ifMade())
        Os::replaceInChild(monitorInForce.slot(), new std::shared_ptr<MonitorRun>);
}

QMSOA_IN_CHILD_AFTER_FORK(recordsInChild, makeRecordsInChild);

// Holds the record for the calling thread when it is still the owner.
bool hold(FccConnection& record, std::uint32_t self) {
    int holds = record.busy.load();
    do {
        if (holds < 0) return false;  // being reclaimed
    } while (!record.busy.compare_exchange_weak(holds, holds + 1));
    if (record.threadId.load() == self) return true;
    record.busy.fetch_sub(1);  // it changed hands in between
    return false;
}

// Frees what the record holds and gives it up, unless a thread holds it
// now. Called under the thread-record lock.
bool reclaim(FccConnection& record) {
    if (record.retired) return false;
    int idle = 0;
    if (!record.busy.compare_exchange_strong(idle, -1)) return false;
    record.closePipe();
    if (record.bufferRelease) {
        if (record.requestBuffer) record.bufferRelease(record.requestBuffer);
        if (record.replyBuffer) record.bufferRelease(record.replyBuffer);
    }
    record.requestBuffer = record.replyBuffer = nullptr;
    record.bufferRelease = nullptr;
    std::free(std::exchange(record.errorText, nullptr));
    std::free(std::exchange(record.savedErrorText, nullptr));
    record.localized = false;
    record.idleTicks = 0;
    record.orphaned = false;
    record.threadId = FCC_NO_THREAD;
    record.busy = 0;
    return true;
}

// Assigns record i to the calling thread. Under the thread-record lock.
int take(FccConnection& record, std::uint32_t self) {
    const FccAllocator pair = fccAllocator();
    record.requestBuffer = static_cast<unsigned char*>(pair.allocate(FCC_REQUEST_BUFFER_SIZE));
    record.replyBuffer = static_cast<unsigned char*>(pair.allocate(FCC_REPLY_BUFFER_SIZE));
    record.bufferRelease = pair.release;
    if (!record.requestBuffer || !record.replyBuffer) {
        pair.free(record.requestBuffer);
        pair.free(record.replyBuffer);
        record.requestBuffer = record.replyBuffer = nullptr;
        return ERR_FMSCP_OUT_OF_MEMORY;
    }
    record.sequence = 0;
    record.exchanging = false;
    record.idleTicks = 0;
    record.openFiles = 0;
    record.orphaned = false;
    // Added, not stored: a former owner may be between its hold and its
    // check of the owner, and will take its hold back.
    record.busy.fetch_add(1);
    record.threadId = self;
    return 0;
}

unsigned monitorIdleThreads(void* argument) {
    const std::shared_ptr<MonitorRun> run = *static_cast<std::shared_ptr<MonitorRun>*>(argument);
    delete static_cast<std::shared_ptr<MonitorRun>*>(argument);
    fccTrace("Monitoring idle threads...\n\n");
    while (!run->stop.waitFor(fccTiming().monitorTick)) {
        FccThreadRecordLockGuard guard;
        ConnectionTable& records = table();
        const int used = records.usedCount.load();
        for (int i = 0; i < used; ++i) {
            FccConnection& record = records.records[i];
            const std::uint32_t owner = record.threadId.load();
            if (owner == FCC_NO_THREAD) continue;
            if (record.busy.load() > 0) {
                record.idleTicks = 0;
                continue;
            }
            const int ticks = ++record.idleTicks;
            if (ticks > FCC_IDLE_TICK_LIMIT) {
                if (record.openFiles.load() == 0 && reclaim(record)) {
                    fccTrace(">>>THREAD %u (ID %u) TIMEOUT...\n", static_cast<unsigned>(i), owner);
                }
            } else {
                fccTrace(">>>THREAD %u (ID %u) IDLE COUNTDOWN %d...\n", static_cast<unsigned>(i),
                         owner, FCC_IDLE_TICK_LIMIT + 1 - ticks);
            }
        }
    }
    fccTrace("Idle thread monitor exiting...\n\n");
    run->ended.raise();
    return 0;
}

}  // namespace

void FccConnection::closePipe() {
    if (retired || !pipe.isOpen()) return;
    std::lock_guard<std::mutex> guard(handlesLock);
    pipe.close();
    // Server handles die with the pipe they were opened through.
    openFiles = 0;
    handedOver.clear();
    ++pipeGeneration;
}

// A generation that has passed stays passed (they only grow): the lock is
// not needed to tell, and a forked child, which moved every record of its
// parent's on, takes none of theirs.
bool FccConnection::forgetOpenFile(std::uint32_t generation) {
    if (retired || generation != pipeGeneration) return false;
    std::lock_guard<std::mutex> guard(handlesLock);
    if (generation != pipeGeneration) return false;
    --openFiles;
    return true;
}

void FccConnection::handOver(std::uint16_t serverHandle, std::uint32_t generation) {
    if (retired || generation != pipeGeneration) return;
    std::lock_guard<std::mutex> guard(handlesLock);
    if (generation != pipeGeneration) return;
    --openFiles;
    handedOver.push_back(serverHandle);
}

std::vector<std::uint16_t> FccConnection::takeHandedOver() {
    if (retired) return {};
    std::lock_guard<std::mutex> guard(handlesLock);
    return std::exchange(handedOver, {});
}

namespace {

void dropHold(FccConnection* record) {
    if (!record || record->busy.fetch_sub(1) != 1 || !record->orphaned) return;
    // The last hold of a record that termination had to leave: given up
    // now, unless the thread holds it again meanwhile.
    FccThreadRecordLockGuard guard;
    if (record->orphaned) reclaim(*record);
}

}  // namespace

FccConnectionRef::~FccConnectionRef() { dropHold(record); }

FccConnectionRef::FccConnectionRef(FccConnectionRef&& other) noexcept
    : record(std::exchange(other.record, nullptr)), failure(other.failure) {}

FccConnectionRef& FccConnectionRef::operator=(FccConnectionRef&& other) noexcept {
    if (this != &other) {
        dropHold(record);
        record = std::exchange(other.record, nullptr);
        failure = other.failure;
    }
    return *this;
}

FccConnectionRef FccGetThreadConnection() {
    ConnectionTable& records = table();
    const std::uint32_t self = SelfProxy::ThreadId();
    FccConnectionRef found;

    const int hint = recordHint;
    if (hint >= 0 && records.records[hint].threadId.load() == self &&
        hold(records.records[hint], self)) {
        found.record = &records.records[hint];
    }
    for (int i = 0, used = records.usedCount.load(); !found && i < used; ++i) {
        if (records.records[i].threadId.load() == self && hold(records.records[i], self)) {
            found.record = &records.records[i];
            recordHint = i;
        }
    }
    if (found) {
        found->idleTicks = 0;
        return found;
    }

    FccThreadRecordLockGuard guard;
    // A thread that works for a session that has ended gets no new record:
    // termination, which takes this lock to give the records up, would not
    // see it.
    if (fccSessionEnded()) {
        found.failure = ERR_FMSCP_NOT_INITIALIZED;
        return found;
    }
    int i = records.nextHint;
    do {
        FccConnection& record = records.records[i];
        if (record.threadId.load() == FCC_NO_THREAD) {
            found.failure = take(record, self);
            if (found.failure != 0) return found;
            if (i >= records.usedCount.load()) records.usedCount = i + 1;
            records.nextHint = (i + 1) % FCC_CONNECTION_COUNT;
            found.record = &record;
            recordHint = i;
            return found;
        }
        i = (i + 1) % FCC_CONNECTION_COUNT;
    } while (i != records.nextHint);
    found.failure = ERR_FMSCP_THREAD_COUNT;
    return found;
}

void FccCloseAllConnections() {
    FccThreadRecordLockGuard guard;
    ConnectionTable& records = table();
    int stillHeld = 0;
    for (int i = 0; i < FCC_CONNECTION_COUNT; ++i) {
        FccConnection& record = records.records[i];
        if (record.threadId.load() != FCC_NO_THREAD && !reclaim(record)) {
            record.orphaned = true;
            stillHeld = i + 1;
        }
    }
    records.usedCount = stillHeld;
    records.nextHint = 0;
}

void fccMakeConnectionTable() {
    table();
    currentMonitor();
}

int FccRuntimeStart() {
    FccOpenTraceLog();
    FccCloseAllConnections();
    {
        FccMainLockGuard guard;
        const std::shared_ptr<MonitorRun>& current = currentMonitor();
        if (current && !current->stop.isRaised()) return 0;  // still running
    }
    // A run that outlived its stop keeps its own raised flag and ends on
    // its own. The thread is started outside the main lock, which a child
    // forked meanwhile could not take (start and stop run under the init
    // lock, one at a time).
    auto run = std::make_shared<MonitorRun>();
    auto* argument = new std::shared_ptr<MonitorRun>(run);
    std::uint32_t threadId = 0;
    if (!SelfProxy::FCCStartThread(monitorIdleThreads, argument, &threadId)) {
        delete argument;
        return ERR_FMSCP_OUT_OF_MEMORY;
    }
    FccMainLockGuard guard;
    currentMonitor() = std::move(run);
    return 0;
}

void FccRuntimeStop() {
    std::shared_ptr<MonitorRun> run;
    {
        FccMainLockGuard guard;
        run = currentMonitor();
    }
    if (!run) return;
    run->stop.raise();
    run->ended.waitFor(fccTiming().monitorStopLimit);
}

}  // namespace Quillomark::Fcc
