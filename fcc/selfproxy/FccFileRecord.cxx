#include <fcc/internal/FccErrors.hxx>
#include <fcc/internal/FccSelfProxy.hxx>
#include <fcc/pipe/internal/FccTransport.hxx>
#include <fcc/runtime/internal/FccRuntime.hxx>
#include <fcc/selfproxy/internal/FccFileRecord.hxx>
#include <fcc/selfproxy/internal/SelfProxyState.hxx>
#include <fcc/selfproxy/internal/TicketRegistry.hxx>

#include <platform/os/internal/Forks.hxx>
#include <platform/os/internal/NeverReusedCells.hxx>

#include <atomic>
#include <cstring>
#include <new>

namespace Quillomark::Fcc {

namespace {

constexpr std::uint32_t OPEN = 0x600DF11E;
constexpr std::uint32_t FREED = 0xC105EDDD;

// Guarded by the main lock.
FccFile* openList = nullptr;

// The memory of the records, which are the handles of open files: a
// record's address is never handed out again once it is freed, so that a
// closed file's handle names no later file. Never destroyed.
Platform::Os::NeverReusedCells* makeRecordCells() {
    return new Platform::Os::NeverReusedCells(sizeof(FccFile));
}
Platform::Os::ProcessObject<Platform::Os::NeverReusedCells> recordCellsInForce(makeRecordCells);

Platform::Os::NeverReusedCells& recordCells() { return *recordCellsInForce; }

// A forked child whose copy of the cells was being changed makes cells of
// its own; the records in the copy stay readable, and freeing one of them
// gives nothing back.
void makeRecordCellsInChild() {
    if (Platform::Os::NeverReusedCells::inUseAtLastFork())
        Platform::Os::replaceInChild(recordCellsInForce.slot(), makeRecordCells());
}

QMSOA_IN_CHILD_AFTER_FORK(recordCellsInChild, makeRecordCellsInChild);

// A change of the list keeps the chain of next links from the head whole
// whichever of its writes a fork copies: a fork copies each thread's writes
// up to the first that it holds up, and the write that changes what the
// chain holds for good (the new head, the cleared link of the record taken
// out) is a release store after the others. A forked child whose copy
// another thread of the parent left half changed finds a whole chain and
// makes the back links anew from it (mendOpenListInChild).
void pushFront(FccFile*& head, FccFile* file) {
    file->prev = nullptr;
    file->next = head;
    if (head) head->prev = file;
    __atomic_store_n(&head, file, __ATOMIC_RELEASE);
}

void unlink(FccFile*& head, FccFile* file) {
    if (file->prev)
        file->prev->next = file->next;
    else
        head = file->next;
    if (file->next) file->next->prev = file->prev;
    file->prev = nullptr;
    __atomic_store_n(&file->next, nullptr, __ATOMIC_RELEASE);
}

void mendOpenListInChild() {
    FccFile* previous = nullptr;
    for (FccFile* file = openList; file; file = file->next) {
        file->prev = previous;
        previous = file;
    }
}

QMSOA_IN_CHILD_AFTER_FORK(openListInChild, mendOpenListInChild);

bool isInList(const FccFile* head, const FccFile* file) {
    for (const FccFile* f = head; f; f = f->next) {
        if (f == file) return true;
    }
    return false;
}

void releaseStrings(FccFile* file) {
    file->pair.free(const_cast<char*>(file->server.ticket));
    file->pair.free(file->guid);
    file->server.ticket = file->guid = nullptr;
}

void destroyRecord(FccFile* file) {
    releaseStrings(file);
    file->pair.free(file->readBuffer);
    file->magic = FREED;
    file->~FccFile();
    recordCells().giveBack(file);
}

}  // namespace

void makeFileRecordCells() { recordCells(); }

int newFileRecord(const TicketReference& ticket, FccFile** result) {
    const auto bufferSize = static_cast<std::int32_t>(fccConfiguredBufferSize());
    void* memory = recordCells().take();
    if (!memory) return ERR_FMSCP_OUT_OF_MEMORY;
    FccFile* file = new (memory) FccFile();
    file->pair = fccAllocator();
    file->readBuffer = static_cast<unsigned char*>(file->pair.allocate(bufferSize));
    file->readBufferSize = bufferSize;
    file->server = FccServerFile();
    file->server.ticket = file->pair.copy(ticket.ticket(), std::strlen(ticket.ticket()));
    file->server.handle = ticket.handle();
    file->guid = file->pair.copy(ticket.guid(), std::strlen(ticket.guid()));
    file->buffered = file->bufferPos = 0;
    file->owner = SelfProxy::ThreadId();
    file->orphaned = false;
    file->magic = OPEN;
    const bool copied = file->readBuffer && file->server.ticket && file->guid;
    {
        FccMainLockGuard lock;
        // The session ended meanwhile: the record would outlive it.
        if (fccSessionEnded()) {
            destroyRecord(file);
            return ERR_FMSCP_NOT_INITIALIZED;
        }
        pushFront(openList, file);
    }
    if (!copied) {
        freeFileRecord(file);
        return ERR_FMSCP_OUT_OF_MEMORY;
    }
    *result = file;
    return FCC_OK;
}

namespace {

// Frees a record that termination left to the calling thread.
void freeOrphan(FccFile* file) {
    FccCloseExchange(file->server);
    destroyRecord(file);
}

}  // namespace

void freeFileRecord(FccFile* file) {
    {
        FccMainLockGuard lock;
        if (!file->orphaned) {
            if (!isInList(openList, file)) return;
            unlink(openList, file);
        }
    }
    // Out of the list, no other thread reaches it any more.
    if (file->orphaned)
        freeOrphan(file);
    else
        destroyRecord(file);
}

std::size_t openFileCount() {
    FccMainLockGuard lock;
    std::size_t count = 0;
    for (const FccFile* file = openList; file; file = file->next) ++count;
    return count;
}

bool isOpenFile(const FccFile* file) {
    if (!file) return false;
    FccMainLockGuard lock;
    return isInList(openList, file);
}

int claimFile(FccFile* file) {
    if (!file) return ERR_FMSCP_BAD_FILE;
    const std::uint32_t caller = SelfProxy::ThreadId();
    FccMainLockGuard lock;
    if (!isInList(openList, file)) return ERR_FMSCP_BAD_FILE;
    if (file->owner == NO_OWNER) file->owner = caller;
    return file->owner == caller ? FCC_OK : ERR_FMSCP_FILE_BUSY;
}

bool releaseFile(FccFile* file) {
    const std::uint32_t caller = SelfProxy::ThreadId();
    {
        FccMainLockGuard lock;
        if (!file->orphaned || file->owner != caller) {
            if (isInList(openList, file) && file->owner == caller) file->owner = NO_OWNER;
            return true;
        }
    }
    freeOrphan(file);
    return false;
}

void releaseAllFileRecords(void (*closeOnServer)(FccFile*)) {
    const std::uint32_t caller = SelfProxy::ThreadId();
    for (;;) {
        FccFile* file = nullptr;
        std::uint32_t owner = NO_OWNER;
        {
            FccMainLockGuard lock;
            file = openList;
            if (!file) break;
            unlink(openList, file);
            owner = file->owner;
            // An entry is using it: that entry frees it. This is so also
            // for an entry of the caller's own, which termination from
            // inside one of its progress callbacks interrupts.
            if (owner != NO_OWNER) file->orphaned = true;
        }
        if (owner != NO_OWNER) {
            fccTrace(
                "APPLICATION ERROR: File 0x%llX leaked, in use by thread ID %lld when thread ID "
                "%lld called FCC_Term.\n",
                static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(file)),
                static_cast<long long>(owner), static_cast<long long>(caller));
            continue;
        }
        if (fccIsOpenOnServer(file->server)) {
            fccTrace("WARNING: File 0x%llX was open when FCC_Term was called.\n",
                     static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(file)));
            closeOnServer(file);
        }
        destroyRecord(file);
    }
}

}  // namespace Quillomark::Fcc
