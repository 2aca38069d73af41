// The locks of the file-cache client and the interface's allocation pair.

#include <fcc/internal/FccSelfProxy.hxx>
#include <fcc/runtime/internal/FccRuntime.hxx>

#include <platform/os/internal/RecursiveLock.hxx>
#include <platform/os/internal/TimedLock.hxx>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace Quillomark::Fcc {

namespace Os = Quillomark::Platform::Os;

namespace {

struct Locks {
    Os::RecursiveLock init;
    Os::RecursiveLock main;
    Os::TimedLock connect;
    std::mutex threadRecords;
};

// Made once and never destroyed, so that threads still running while the
// process ends find them intact.
Locks& locks() {
    static Locks* const instance = new Locks;
    return *instance;
}

// The pair in force, read and replaced as one.
struct AllocatorInForce {
    std::mutex mutex;
    FccAllocator pair;
};

AllocatorInForce& allocatorInForce() {
    static AllocatorInForce* const instance = new AllocatorInForce;
    return *instance;
}

}  // namespace

void FccInitLocks() { locks(); }

void FccInitLock() { locks().init.lock(); }
void FccInitUnlock() { locks().init.unlock(); }
void FccMainLock() { locks().main.lock(); }
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
