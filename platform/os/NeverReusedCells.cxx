#include <platform/os/internal/Forks.hxx>
#include <platform/os/internal/NeverReusedCells.hxx>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <new>
#include <utility>

#if defined(__SANITIZE_ADDRESS__)
#define QMSOA_ADDRESS_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QMSOA_ADDRESS_SANITIZED 1
#endif
#endif

#if defined(QMSOA_ADDRESS_SANITIZED)
#include <sanitizer/asan_interface.h>
#include <sanitizer/lsan_interface.h>
#endif

namespace Quillomark::Platform::Os {

namespace {

// Every take and give-back of every set, which a forked child must not
// take over half done: short, and waited for by a fork.
ForkRegion cellsInUse{ForkRegion::SHORT_STEP};

constexpr std::size_t CHUNK_SIZE = std::size_t(16) << 20;

std::size_t alignedCellSize(std::size_t size) {
    constexpr std::size_t alignment = alignof(std::max_align_t);
    return (std::max<std::size_t>(size, 1) + alignment - 1) / alignment * alignment;
}

std::size_t systemPageSize() {
    const long size = sysconf(_SC_PAGESIZE);
    return size > 0 ? static_cast<std::size_t>(size) : 4096;
}

// A chunk of address space, readable and writable, committed only as it is
// touched.
char* reserveChunk() {
    void* base = mmap(nullptr, CHUNK_SIZE, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (base == MAP_FAILED) return nullptr;
#if defined(QMSOA_ADDRESS_SANITIZED)
    // The cells may hold the only pointers to heap blocks.
    __lsan_register_root_region(base, CHUNK_SIZE);
#endif
    return static_cast<char*>(base);
}

// A chunk from which no cell was handed out goes back whole.
void release(char* base) {
#if defined(QMSOA_ADDRESS_SANITIZED)
    __lsan_unregister_root_region(base, CHUNK_SIZE);
#endif
    munmap(base, CHUNK_SIZE);
}

}  // namespace

bool NeverReusedCells::inUseAtLastFork() { return cellsInUse.inUseAtLastFork(); }

// Cells never straddle a page, so that a page can go back whole.
NeverReusedCells::NeverReusedCells(std::size_t size)
    : cellSize(alignedCellSize(size)),
      pageSize(systemPageSize()),
      cellsPerPage(std::max<std::size_t>(pageSize / cellSize, 1)),
      cellsPerChunk(CHUNK_SIZE / pageSize * cellsPerPage) {}

// The chunks stay reserved: their addresses must never come back.
NeverReusedCells::~NeverReusedCells() = default;

char* NeverReusedCells::cellAt(char* base, std::size_t index) const {
    return base + index / cellsPerPage * pageSize + index % cellsPerPage * cellSize;
}

// A new chunk becomes current only once it is whole: one whose bookkeeping
// could not be made goes back at once, and leaves the set as it was.
void* NeverReusedCells::take() {
    const ForkRegion::Scope inUse(cellsInUse);
    std::lock_guard<std::mutex> guard(mutex);
    if (!current || chunks.find(current)->second.handedOut == cellsPerChunk) {
        char* const base = reserveChunk();
        if (!base) return nullptr;
        try {
            Chunk made;
            made.livePerPage.assign(cellsPerChunk / cellsPerPage, 0);
            made.cellLive.assign(cellsPerChunk, false);
            chunks.emplace(base, std::move(made));
        } catch (const std::bad_alloc&) {
            release(base);
            return nullptr;
        }
        char* const full = current;
        current = base;
        // A full chunk whose cells have all come back already is done.
        if (full && chunks.find(full)->second.live == 0) retire(full);
    }
    Chunk& chunk = chunks.find(current)->second;
    const std::size_t index = chunk.handedOut++;
    ++chunk.live;
    ++chunk.livePerPage[index / cellsPerPage];
    chunk.cellLive[index] = true;
    return cellAt(current, index);
}

void NeverReusedCells::giveBack(void* cell) {
    if (!cell) return;
    char* const address = static_cast<char*>(cell);
    const ForkRegion::Scope inUse(cellsInUse);
    std::lock_guard<std::mutex> guard(mutex);
    auto found = chunks.upper_bound(address);
    if (found == chunks.begin()) return;
    --found;
    char* const base = found->first;
    Chunk& chunk = found->second;
    if (address >= base + CHUNK_SIZE) return;
    const std::size_t page = static_cast<std::size_t>(address - base) / pageSize;
    const std::size_t within = static_cast<std::size_t>(address - base) % pageSize;
    if (within % cellSize != 0 || within / cellSize >= cellsPerPage) return;
    const std::size_t index = page * cellsPerPage + within / cellSize;
    if (index >= chunk.handedOut || !chunk.cellLive[index]) return;
    chunk.cellLive[index] = false;
#if defined(QMSOA_ADDRESS_SANITIZED)
    ASAN_POISON_MEMORY_REGION(cell, cellSize);
#endif
    --chunk.live;
    // A page whose cells have all been handed out and come back goes back
    // to the system.
    if (--chunk.livePerPage[page] == 0 && (page + 1) * cellsPerPage <= chunk.handedOut) {
        madvise(base + page * pageSize, pageSize, MADV_DONTNEED);
    }
    if (chunk.live == 0 && chunk.handedOut == cellsPerChunk && base != current) retire(base);
}

void NeverReusedCells::retire(char* base) {
    chunks.erase(base);
#if defined(QMSOA_ADDRESS_SANITIZED)
    __lsan_unregister_root_region(base, CHUNK_SIZE);
#endif
    // Mapped anew over itself, inaccessible: the memory and the page tables
    // go, the addresses stay taken.
    mmap(base, CHUNK_SIZE, PROT_NONE, MAP_FIXED | MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1,
         0);
}

}  // namespace Quillomark::Platform::Os
