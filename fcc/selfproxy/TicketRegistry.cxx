#include <fcc/internal/FccErrors.hxx>
#include <fcc/internal/FccSelfProxy.hxx>
#include <fcc/runtime/internal/FccRuntime.hxx>
#include <fcc/selfproxy/internal/SelfProxyState.hxx>
#include <fcc/selfproxy/internal/TicketRegistry.hxx>

#include <platform/os/internal/Forks.hxx>
#include <platform/os/internal/NeverReusedCells.hxx>

#include <atomic>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <new>
#include <unordered_map>

namespace Quillomark::Fcc {

struct TicketRecord {
    std::uint32_t magic;
    // The pair that made the record and its strings, and takes them back.
    Quillomark::Fcc::FccAllocator pair;
    char* ticket;
    char* key;  // the handle given out (never-reused memory)
    char* guid;
    int references;  // registrations and holds
    int holds;       // TicketReferences that use the record now
    bool detached;   // released at termination while held: no longer registered
    TicketRecord* next;
};

namespace {

constexpr std::uint32_t VALID = 0x600DF11E;
constexpr std::uint32_t RELEASED = 0xC105EDDD;
constexpr std::uint32_t RELEASED_AT_END = 0xDEA110CD;

constexpr std::size_t KEY_LENGTH = 64;
constexpr std::size_t KIND_POSITION = 64;
constexpr std::size_t GUID_POSITION = 70;
constexpr std::size_t SHORTEST_TICKET = 225;
constexpr std::size_t LONGEST_TICKET = 2000;
constexpr std::size_t BUCKET_COUNT = 256;

// Guarded by the main lock.
TicketRecord* buckets[BUCKET_COUNT];
std::size_t recordCount = 0;

// The memory of the handles: a handle's address is never handed out again
// once released, so that a released handle names no later ticket. Never
// destroyed, like the map below.
Platform::Os::NeverReusedCells* makeHandleCells() {
    return new Platform::Os::NeverReusedCells(KEY_LENGTH + 1);
}
Platform::Os::ProcessObject<Platform::Os::NeverReusedCells> handleCellsInForce(makeHandleCells);

Platform::Os::NeverReusedCells& handleCells() { return *handleCellsInForce; }

// A forked child whose copy of the cells was being changed makes cells of
// its own; the handles in the copy stay readable, and a release of one of
// them gives nothing back.
void makeHandleCellsInChild() {
    if (Platform::Os::NeverReusedCells::inUseAtLastFork())
        Platform::Os::replaceInChild(handleCellsInForce.slot(), makeHandleCells());
}

QMSOA_IN_CHILD_AFTER_FORK(handleCellsInChild, makeHandleCellsInChild);

// The handles given out and not yet released, by address: a handle is
// looked up here before anything is read through it. Guarded by the main
// lock; never destroyed, as a transfer may still run while the process
// ends. Made with buckets: the first insertion into a map made without
// grows it.
using HandleMap = std::unordered_map<const char*, TicketRecord*>;
Platform::Os::ProcessObject<HandleMap> handlesGivenOut([] { return new HandleMap(BUCKET_COUNT); });

HandleMap& liveHandles() { return *handlesGivenOut; }

// The registry is changed without allocating or freeing (fccGuardedChanges):
// the map's entry of a new handle is made before the main lock is taken,
// room for it is made under the lock before the change, and an entry taken
// out is freed after it.
HandleMap::node_type newHandleEntry(const char* handle, TicketRecord* record) {
    HandleMap made;
    made.emplace(handle, record);
    return made.extract(made.begin());
}

void makeRoomForOneMoreHandle() {
    HandleMap& handles = liveHandles();
    if (handles.size() + 1 > handles.bucket_count() * handles.max_load_factor())
        handles.reserve(handles.size() + 1);
}

std::size_t bucketOf(const char* key) {
    unsigned sum = 0;
    for (const char* c = key; *c; ++c) sum += static_cast<unsigned char>(*c);
    return sum % BUCKET_COUNT;
}

void freeRecord(TicketRecord* record, std::uint32_t mark) {
    record->magic = mark;
    const FccAllocator pair = record->pair;
    pair.free(record->ticket);
    handleCells().giveBack(record->key);
    pair.free(record->guid);
    pair.free(record);
}

// The registered record of a key's text. Under the main lock.
TicketRecord* lookUpLocked(const char* key) {
    for (TicketRecord* record = buckets[bucketOf(key)]; record; record = record->next) {
        if (std::strcmp(record->key, key) == 0) return record;
    }
    return nullptr;
}

// The record of a handle given out, found by its address alone. Under the
// main lock.
TicketRecord* handleRecordLocked(const char* handle) {
    const auto found = liveHandles().find(handle);
    return found == liveHandles().end() ? nullptr : found->second;
}

void releaseLocked(TicketRecord* record) {
    if (--record->references > 0) return;
    HandleMap::node_type entry;
    if (!record->detached) {
        const Platform::Os::ForkRegion::Scope changing(fccGuardedChanges());
        TicketRecord** link = &buckets[bucketOf(record->key)];
        while (*link && *link != record) link = &(*link)->next;
        if (*link) *link = record->next;
        entry = liveHandles().extract(record->key);
        --recordCount;
    }
    freeRecord(record, record->detached ? RELEASED_AT_END : RELEASED);
}

}  // namespace

void makeTicketRegistry() {
    handleCells();
    liveHandles();
}

const char* TicketReference::ticket() const { return record->ticket; }
const char* TicketReference::guid() const { return record->guid; }
const char* TicketReference::handle() const { return record->key; }

void TicketReference::reset() {
    if (!record) return;
    FccMainLockGuard lock;
    --record->holds;
    releaseLocked(record);
    record = nullptr;
}

bool isValidTicket(const char* ticket) {
    if (!ticket) return false;
    const std::size_t length = strnlen(ticket, LONGEST_TICKET + 1);
    if (length < SHORTEST_TICKET || length > LONGEST_TICKET) return false;
    const char kind = ticket[KIND_POSITION];
    if (kind != 'v' && kind != 'M' && kind != 'F') return false;
    for (std::size_t i = KIND_POSITION + 1; i <= KIND_POSITION + 3; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(ticket[i]))) return false;
    }
    return true;
}

int registerTicket(const char* ticket, char** handle) {
    if (!isValidTicket(ticket)) return ERR_FMSCP_BAD_TICKET;
    const int guidLength = SelfProxy::GUIDLength(ticket);
    if (guidLength < 0) return guidLength;

    char key[KEY_LENGTH + 1];
    std::memcpy(key, ticket, KEY_LENGTH);
    key[KEY_LENGTH] = '\0';
    {
        FccMainLockGuard lock;
        if (fccSessionEnded()) return ERR_FMSCP_NOT_INITIALIZED;
        if (TicketRecord* found = lookUpLocked(key)) {
            ++found->references;
            *handle = found->key;
            return FCC_OK;
        }
    }

    const FccAllocator pair = fccAllocator();
    auto* record = static_cast<TicketRecord*>(pair.allocate(sizeof(TicketRecord)));
    char* copy = pair.copy(ticket, std::strlen(ticket));
    char* guid = pair.copy(ticket + GUID_POSITION, guidLength);
    auto* handleText = static_cast<char*>(handleCells().take());
    if (!record || !copy || !guid || !handleText) {
        pair.free(record);
        pair.free(copy);
        pair.free(guid);
        handleCells().giveBack(handleText);
        return ERR_FMSCP_OUT_OF_MEMORY;
    }
    std::memcpy(handleText, key, sizeof key);
    *record = TicketRecord{VALID, pair, copy, handleText, guid, 1, 0, false, nullptr};
    HandleMap::node_type entry;
    try {
        entry = newHandleEntry(handleText, record);
    } catch (const std::bad_alloc&) {
        freeRecord(record, RELEASED);
        return ERR_FMSCP_OUT_OF_MEMORY;
    }

    FccMainLockGuard lock;
    // The session ended meanwhile: its registry is gone, and what this call
    // made goes with it.
    if (fccSessionEnded()) {
        freeRecord(record, RELEASED_AT_END);
        return ERR_FMSCP_NOT_INITIALIZED;
    }
    // Another thread may have registered the same ticket meanwhile: one
    // record per key.
    if (TicketRecord* found = lookUpLocked(key)) {
        ++found->references;
        freeRecord(record, RELEASED);
        *handle = found->key;
        return FCC_OK;
    }
    try {
        makeRoomForOneMoreHandle();
    } catch (const std::bad_alloc&) {
        freeRecord(record, RELEASED);
        return ERR_FMSCP_OUT_OF_MEMORY;
    }
    {
        const Platform::Os::ForkRegion::Scope changing(fccGuardedChanges());
        TicketRecord*& head = buckets[bucketOf(key)];
        record->next = head;
        head = record;
        liveHandles().insert(std::move(entry));
        ++recordCount;
    }
    *handle = record->key;
    return FCC_OK;
}

TicketReference findTicket(const char* handle) {
    FccMainLockGuard lock;
    TicketRecord* record = handleRecordLocked(handle);
    if (!record) return TicketReference();
    ++record->references;
    ++record->holds;
    return TicketReference(record);
}

int unregisterTicket(const char* handle) {
    FccMainLockGuard lock;
    TicketRecord* record = handleRecordLocked(handle);
    if (!record) return ERR_FMSCP_BAD_TICKET;
    releaseLocked(record);
    return FCC_OK;
}

// Needs no memory: each handle's entry is taken out of the map, as its
// release does, and freed outside the guarded change.
void releaseAllTickets() {
    FccMainLockGuard lock;
    for (TicketRecord*& head : buckets) {
        while (TicketRecord* record = head) {
            HandleMap::node_type entry;
            {
                const Platform::Os::ForkRegion::Scope changing(fccGuardedChanges());
                head = record->next;
                entry = liveHandles().extract(record->key);
                --recordCount;
            }
            if (record->holds > 0) {
                // An entry of another thread uses it: that entry frees it
                // with its last hold.
                record->references = record->holds;
                record->detached = true;
                continue;
            }
            freeRecord(record, RELEASED_AT_END);
        }
    }
}

std::size_t registeredTicketCount() {
    FccMainLockGuard lock;
    return recordCount;
}

namespace SelfProxy {

int GUIDLength(const char* ticket) {
    // A ticket too short to hold its kind is refused before the kind is
    // read, so that nothing is read past its end.
    if (!ticket || strnlen(ticket, KIND_POSITION + 1) <= KIND_POSITION) {
        return ERR_FMSCP_BAD_TICKET;
    }
    switch (ticket[KIND_POSITION]) {
        case 'v':
        case 'F': return 32;
        case 'M': return 36;
        default: return ERR_FMSCP_BAD_TICKET;
    }
}

}  // namespace SelfProxy

}  // namespace Quillomark::Fcc
