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

std::atomic<FccAllocFunction> allocFunction{&std::malloc};
std::atomic<FccReleaseFunction> releaseFunction{&std::free};

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
    allocFunction = alloc;
    releaseFunction = release;
}

void* fccAllocate(std::size_t size) { return allocFunction.load()(size); }

void fccRelease(void* memory) {
    if (memory) releaseFunction.load()(memory);
}

FccReleaseFunction fccReleaseFunction() { return releaseFunction.load(); }

char* fccCopyString(const char* text, std::size_t length) {
    auto* copy = static_cast<char*>(fccAllocate(length + 1));
    if (!copy) return nullptr;
    std::memcpy(copy, text, length);
    copy[length] = '\0';
    return copy;
}

namespace SelfProxy {

void synchronize() { FccMainLock(); }

void endSynchronize() { FccMainUnlock(); }

}  // namespace SelfProxy

}  // namespace Quillomark::Fcc
