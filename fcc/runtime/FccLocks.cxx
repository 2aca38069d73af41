// The locks of the file-cache client and the interface's allocation pair.

#include <fcc/internal/FccSelfProxy.hxx>
#include <fcc/runtime/internal/FccRuntime.hxx>

#include <platform/os/internal/Forks.hxx>
#include <platform/os/internal/RecursiveLock.hxx>
#include <platform/os/internal/Threads.hxx>
#include <platform/os/internal/TimedLock.hxx>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace Quillomark::Fcc {

namespace Os = Quillomark::Platform::Os;

namespace {

// A recursive lock that knows which thread holds it.
class OwnedLock {
public:
    bool heldByCaller() const { return owner.load() == Os::currentThreadId(); }
    // In a forked child, for the copy of the parent's lock: how often the
    // forking thread held it (0 when it did not), or -1 when a thread that
    // the child does not have held it.
    int heldAtFork() {
        if (owner.load() == Os::forkingThreadId() && depth > 0) return depth;
        if (!mutex.try_lock()) return -1;
        mutex.unlock();
        return 0;
    }
    // In a forked child: taken by its thread as often as the forking thread
    // held the parent's copy.
    void takeOver(int times) {
        for (int i = 0; i < times; ++i) lock();
    }
    void lock() {
        mutex.lock();
        taken();
    }
    bool tryLock() {
        if (!mutex.try_lock()) return false;
        taken();
        return true;
    }
    // True when the lock is free now.
    bool unlock() {
        const bool freed = --depth == 0;
        if (freed) owner = 0;
        mutex.unlock();
        return freed;
    }

private:
    void taken() {
        if (depth++ == 0) owner = Os::currentThreadId();
    }

    Os::RecursiveLock mutex;
    std::atomic<std::uint32_t> owner{0};
    int depth = 0;  // by its holder alone
};

struct Locks {
    OwnedLock init;
    OwnedLock main;
    Os::TimedLock connect;
    std::mutex threadRecords;
    // The init lock comes before the main lock, but an application may
    // hold the main lock (synchronize) when it calls an entry that takes
    // the init lock. Such a thread waits for the init lock only while its
    // holder does not wait for the main lock: initHolderWaits tells it,
    // and turns announces each change of it and each release of the init
    // lock.
    std::mutex turn;
    std::condition_variable turns;
    bool initHolderWaits = false;
};

// Made by their first use and never destroyed, so that threads still
// running while the process ends find them intact. A forked child has
// only the thread that forked: every lock that another thread held stays
// held for good in its copy. It makes its own locks (the copies are left
// alone, reachable), its thread holding what it held in the parent. When
// another thread was in the middle of changing the ticket registry
// (fccGuardedChanges), that may be half changed: the interface is no
// longer usable in that child. One that only held the main lock leaves
// what it guards whole, or, for the list of open files, for the child to
// mend. One that held the init lock to set the interface up or end it
// leaves the child to start it afresh; one that held it only to count a
// reference leaves it whole.
struct LocksInForce {
    Os::ProcessObject<Locks> locks;
    std::atomic<bool> unusable{false};
};
LocksInForce inForce;

Locks& locks() { return *inForce.locks; }

void makeLocksInChild();

}  // namespace

namespace {

void announceTurn(Locks& all) {
    { const std::lock_guard<std::mutex> guard(all.turn); }
    all.turns.notify_all();
}

// The pair in force, read and replaced as one.
struct AllocatorInForce {
    std::mutex mutex;
    FccAllocator pair;
};

Os::ProcessObject<AllocatorInForce> allocator;
// Both short (a pair's copy, a few links of the registry), and waited for
// by a fork.
Os::ForkRegion replacingPair{Os::ForkRegion::SHORT_STEP};
Os::ForkRegion guardedChanges{Os::ForkRegion::SHORT_STEP};

AllocatorInForce& allocatorInForce() { return *allocator; }

void makeLocksInChild() {
    Locks* const parents = inForce.locks.ifMade();
    AllocatorInForce* const pair = allocator.ifMade();
    const int init = parents ? parents->init.heldAtFork() : 0;
    const int main = parents ? parents->main.heldAtFork() : 0;
    const bool halfChanged = main < 0 && guardedChanges.insideAsCopied();
    const bool afresh = !halfChanged && init < 0 && fccStartAfreshInChild();
    // A pair is replaced only by a set-up, under the init lock: one being
    // replaced as the process forked may be half written, and goes with the
    // rest of the set-up; one that was only being read is whole.
    if (halfChanged || (init < 0 && !afresh && replacingPair.inUseAtLastFork())) {
        inForce.unusable.store(true);
    }
    if (parents) {
        auto* fresh = new Locks;
        fresh->init.takeOver(init);
        fresh->main.takeOver(main);
        Os::replaceInChild(inForce.locks.slot(), fresh);
    }
    if (pair) {
        auto* freshPair = new AllocatorInForce;
        if (!afresh) freshPair->pair = pair->pair;
        Os::replaceInChild(allocator.slot(), freshPair);
    }
}

QMSOA_IN_CHILD_AFTER_FORK(locksInChild, makeLocksInChild);

}  // namespace

Os::ForkRegion& fccGuardedChanges() { return guardedChanges; }

bool fccUnusableAfterFork() {
    return inForce.unusable.load(std::memory_order_relaxed) || Os::setUpFailedInAFork();
}

void FccInitLocks() {
    locks();
    allocatorInForce();
}

bool FccInitLock() {
    if (fccUnusableAfterFork()) return false;
    Locks& all = locks();
    if (!all.main.heldByCaller() || all.init.heldByCaller()) {
        all.init.lock();
        return true;
    }
    // Taken against the order of the locks: never waited for while its
    // holder waits for the main lock that the caller holds.
    std::unique_lock<std::mutex> guard(all.turn);
    for (;;) {
        if (all.init.tryLock()) return true;
        if (all.initHolderWaits) return false;
        all.turns.wait(guard);
    }
}

void FccInitUnlock() {
    Locks& all = locks();
    if (all.init.unlock()) announceTurn(all);
}

void FccMainLock() {
    Locks& all = locks();
    if (!all.init.heldByCaller()) {
        all.main.lock();
        return;
    }
    if (all.main.tryLock()) return;
    // The holder of the init lock is about to wait: a thread that holds the
    // main lock and waits for the init lock gives up its wait.
    {
        const std::lock_guard<std::mutex> guard(all.turn);
        all.initHolderWaits = true;
    }
    all.turns.notify_all();
    all.main.lock();
    const std::lock_guard<std::mutex> guard(all.turn);
    all.initHolderWaits = false;
}

void FccMainUnlock() { locks().main.unlock(); }
void FccConnectLock() { locks().connect.lock(); }
bool FccConnectLockWithin(std::uint32_t milliseconds) {
    return locks().connect.lockWithin(milliseconds);
}
void FccConnectUnlock() { locks().connect.unlock(); }
void FccThreadRecordLock() { locks().threadRecords.lock(); }
void FccThreadRecordUnlock() { locks().threadRecords.unlock(); }

void FccSetAllocator(FccAllocFunction alloc, FccReleaseFunction release) {
    // Only a complete pair replaces the one in use: strings made by one
    // function must be released by its partner.
    if (!alloc || !release) return;
    const Os::ForkRegion::Scope replacing(replacingPair);
    AllocatorInForce& inForce = allocatorInForce();
    std::lock_guard<std::mutex> guard(inForce.mutex);
    inForce.pair = FccAllocator{alloc, release};
}

FccAllocator fccAllocator() {
    AllocatorInForce& inForce = allocatorInForce();
    std::lock_guard<std::mutex> guard(inForce.mutex);
    return inForce.pair;
}

void fccRelease(void* memory) { fccAllocator().free(memory); }

char* FccAllocator::copy(const char* text, std::size_t length) const {
    auto* copy = static_cast<char*>(allocate(length + 1));
    if (!copy) return nullptr;
    std::memcpy(copy, text, length);
    copy[length] = '\0';
    return copy;
}

char* fccCopyString(const char* text, std::size_t length) {
    return fccAllocator().copy(text, length);
}

namespace SelfProxy {

void synchronize() { FccMainLock(); }

void endSynchronize() { FccMainUnlock(); }

}  // namespace SelfProxy

}  // namespace Quillomark::Fcc
