#include <fcc/internal/FccErrors.hxx>
#include <fcc/internal/FccSelfProxy.hxx>
#include <fcc/pipe/internal/FccTransport.hxx>
#include <fcc/runtime/internal/FccRuntime.hxx>
#include <fcc/selfproxy/internal/FccFileRecord.hxx>
#include <fcc/selfproxy/internal/SelfProxyState.hxx>
#include <fcc/selfproxy/internal/TicketRegistry.hxx>

#include <cstring>
#include <new>

namespace Quillomark::Fcc {

namespace {

constexpr std::uint32_t OPEN = 0x600DF11E;
constexpr std::uint32_t FREED = 0xC105EDDD;

// Guarded by the main lock.
FccFile* openList = nullptr;
FccFile* pool = nullptr;

void pushFront(FccFile*& head, FccFile* file) {
    file->prev = nullptr;
    file->next = head;
    if (head) head->prev = file;
    head = file;
}

void unlink(FccFile*& head, FccFile* file) {
    if (file->prev)
        file->prev->next = file->next;
    else
        head = file->next;
    if (file->next) file->next->prev = file->prev;
    file->next = file->prev = nullptr;
}

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
    const FccAllocator pair = file->pair;
    pair.free(file->readBuffer);
    pair.free(file);
}

}  // namespace

int newFileRecord(const TicketReference& ticket, FccFile** result) {
    const auto bufferSize = static_cast<std::int32_t>(fccConfiguration().bufferSize);
    FccFile* file = nullptr;
    {
        FccMainLockGuard lock;
        // A pooled record is reused with its read buffer when that has the
        // configured size.
        if (pool) {
            file = pool;
            unlink(pool, file);
        }
    }
    if (file && file->readBufferSize != bufferSize) {
        destroyRecord(file);
        file = nullptr;
    }
    if (!file) {
        const FccAllocator pair = fccAllocator();
        void* memory = pair.allocate(sizeof(FccFile));
        if (!memory) return ERR_FMSCP_OUT_OF_MEMORY;
        file = new (memory) FccFile();
        file->pair = pair;
        file->readBuffer = static_cast<unsigned char*>(pair.allocate(bufferSize));
        if (!file->readBuffer) {
            pair.free(file);
            return ERR_FMSCP_OUT_OF_MEMORY;
        }
        file->readBufferSize = bufferSize;
    }
    file->server = FccServerFile();
    file->server.ticket = file->pair.copy(ticket.ticket(), std::strlen(ticket.ticket()));
    file->server.handle = ticket.handle();
    file->guid = file->pair.copy(ticket.guid(), std::strlen(ticket.guid()));
    file->buffered = file->bufferPos = 0;
    file->owner = SelfProxy::ThreadId();
    file->orphaned = false;
    file->magic = OPEN;
    const bool copied = file->server.ticket && file->guid;
    {
        FccMainLockGuard lock;
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
            releaseStrings(file);
            file->server = FccServerFile();
            unlink(openList, file);
            file->magic = FREED;
            file->owner = NO_OWNER;
            pushFront(pool, file);
            return;
        }
    }
    freeOrphan(file);
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
    for (FccFile** list : {&openList, &pool}) {
        for (;;) {
            FccFile* file = nullptr;
            std::uint32_t owner = NO_OWNER;
            {
                FccMainLockGuard lock;
                file = *list;
                if (!file) break;
                unlink(*list, file);
                owner = file->owner;
                // An entry is using it: that entry frees it. This is so
                // also for an entry of the caller's own, which termination
                // from inside one of its progress callbacks interrupts.
                if (owner != NO_OWNER)
                    file->orphaned = true;
                else
                    file->magic = FREED;
            }
            if (owner != NO_OWNER) {
                fccTrace(
                    "APPLICATION ERROR: File 0x%llX leaked, in use by thread ID %lld when thread "
                    "ID %lld called FCC_Term.\n",
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
}

}  // namespace Quillomark::Fcc
