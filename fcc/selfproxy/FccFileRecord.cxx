#include <fcc/internal/FccErrors.hxx>
#include <fcc/internal/FccSelfProxy.hxx>
#include <fcc/selfproxy/internal/FccFileRecord.hxx>
#include <fcc/runtime/internal/FccRuntime.hxx>
#include <fcc/selfproxy/internal/PipeClient.hxx>
#include <fcc/selfproxy/internal/SelfProxyState.hxx>
#include <fcc/selfproxy/internal/TicketRegistry.hxx>

#include <cstring>

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
    if (file->prev) file->prev->next = file->next;
    else head = file->next;
    if (file->next) file->next->prev = file->prev;
    file->next = file->prev = nullptr;
}

bool isInList(const FccFile* head, const FccFile* file) {
    for (const FccFile* f = head; f; f = f->next) {
        if (f == file) return true;
    }
    return false;
}

void destroyRecord(FccFile* file) {
    fccRelease(file->ticket);
    fccRelease(file->guid);
    fccRelease(file->readBuffer);
    fccRelease(file);
}

}  // namespace

int newFileRecord(const TicketReference& ticket, FccFile** result) {
    const std::int32_t bufferSize = FccReadBufferSize();
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
        file = static_cast<FccFile*>(fccAllocate(sizeof(FccFile)));
        if (!file) return ERR_FMSCP_OUT_OF_MEMORY;
        std::memset(file, 0, sizeof(FccFile));
        file->readBuffer = static_cast<unsigned char*>(fccAllocate(bufferSize));
        if (!file->readBuffer) {
            fccRelease(file);
            return ERR_FMSCP_OUT_OF_MEMORY;
        }
        file->readBufferSize = bufferSize;
    }
    file->ticket = fccCopyString(ticket.ticket(), std::strlen(ticket.ticket()));
    file->guid = fccCopyString(ticket.guid(), std::strlen(ticket.guid()));
    file->handle = const_cast<char*>(ticket.handle());
    file->buffered = file->bufferPos = 0;
    file->position = 0;
    file->size = -1;
    file->serverHandle = NOT_OPEN_ON_SERVER;
    file->owner = NO_OWNER;
    file->openedThrough = nullptr;
    file->pipeGeneration = 0;
    file->magic = OPEN;
    const bool copied = file->ticket && file->guid;
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

void freeFileRecord(FccFile* file) {
    markClosedOnServer(file);
    FccMainLockGuard lock;
    if (!isInList(openList, file)) return;
    fccRelease(file->ticket);
    fccRelease(file->guid);
    file->ticket = file->guid = nullptr;
    file->handle = nullptr;
    unlink(openList, file);
    file->magic = FREED;
    file->owner = NO_OWNER;
    pushFront(pool, file);
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
    if (file->owner != caller) return ERR_FMSCP_FILE_BUSY;
    if (file->openedThrough && file->openedThrough->pipeGeneration != file->pipeGeneration) {
        markClosedOnServer(file);
    }
    return FCC_OK;
}

void releaseFile(FccFile* file) {
    const std::uint32_t caller = SelfProxy::ThreadId();
    FccMainLockGuard lock;
    if (isInList(openList, file) && file->owner == caller) file->owner = NO_OWNER;
}

void markOpenOnServer(FccFile* file, std::uint32_t serverHandle) {
    markClosedOnServer(file);
    file->serverHandle = serverHandle;
    FccConnectionRef connection = FccGetThreadConnection();
    if (!connection) return;
    file->openedThrough = connection.get();
    file->pipeGeneration = connection->pipeGeneration;
    ++connection->openFiles;
}

void markClosedOnServer(FccFile* file) {
    file->serverHandle = NOT_OPEN_ON_SERVER;
    if (!file->openedThrough) return;
    --file->openedThrough->openFiles;
    file->openedThrough = nullptr;
}

void releaseAllFileRecords(void (*closeOnServer)(FccFile*)) {
    const std::uint32_t caller = SelfProxy::ThreadId();
    for (FccFile** list : {&openList, &pool}) {
        for (;;) {
            FccFile* file = nullptr;
            {
                FccMainLockGuard lock;
                file = *list;
                if (!file) break;
                unlink(*list, file);
                file->magic = FREED;
            }
            if (file->owner != NO_OWNER && file->owner != caller) {
                fccTrace(
                    "APPLICATION ERROR: File 0x%llX leaked, in use by thread ID %lld when thread "
                    "ID %lld called FCC_Term.\n",
                    static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(file)),
                    static_cast<long long>(file->owner), static_cast<long long>(caller));
                continue;
            }
            if (file->serverHandle != NOT_OPEN_ON_SERVER) {
                fccTrace("WARNING: File 0x%llX was open when FCC_Term was called.\n",
                         static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(file)));
                closeOnServer(file);
            }
            markClosedOnServer(file);
            destroyRecord(file);
        }
    }
}

}  // namespace Quillomark::Fcc
