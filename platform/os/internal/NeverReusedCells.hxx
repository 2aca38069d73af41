#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

namespace Quillomark::Platform::Os {

// Cells of one size whose addresses are handed out once in the life of the
// process: a cell that was given back never comes out again, from here or
// from any other allocator, so that a pointer to a cell can serve as a
// handle that names nothing else once it has been released.
//
// The cells are cut from chunks of address space reserved for them alone
// (16 MiB each). The memory of a page whose cells have all come back goes
// back to the system (the page then reads as zeros), and a chunk whose cells
// have all come back keeps only its addresses, reserved and inaccessible.
// So the memory in use follows the cells in use (with a bit per cell of each
// chunk still in use); what grows with every cell ever handed out is
// reserved address space, the cell size per cell (for cells of 80 bytes,
// some 80 GB of the 128 TB of a process after a billion handles).
class NeverReusedCells {
public:
    explicit NeverReusedCells(std::size_t cellSize);
    ~NeverReusedCells();
    NeverReusedCells(const NeverReusedCells&) = delete;
    NeverReusedCells& operator=(const NeverReusedCells&) = delete;

    // A zeroed cell, aligned for any object that fits it (cells are at most
    // a page); null when no address space could be reserved, or no memory
    // for a new chunk's bookkeeping (the set is then as it was). Throws
    // nothing.
    void* take();
    // Gives a cell back; its address never comes out again. Anything but a
    // cell handed out here and not yet given back is ignored.
    void giveBack(void* cell);
    // In a forked child: whether a thread of the parent was taking or
    // giving back a cell of any set as it forked. The child's copy of such
    // a set may be held and half changed: it is to be left as it is (its
    // cells still read right) and a new set made for what comes next.
    static bool inUseAtLastFork();

private:
    struct Chunk {
        std::size_t handedOut = 0;  // cells handed out so far, in order
        std::size_t live = 0;       // of those, the ones not given back
        std::vector<std::uint16_t> livePerPage;
        std::vector<bool> cellLive;  // by index: handed out and not given back
    };

    char* cellAt(char* base, std::size_t index) const;
    void retire(char* base);

    const std::size_t cellSize;
    const std::size_t pageSize;
    const std::size_t cellsPerPage;
    const std::size_t cellsPerChunk;
    std::mutex mutex;
    // The chunks with cells still handed out, and the one being cut, by
    // their first address.
    std::map<char*, Chunk> chunks;
    char* current = nullptr;
};

}  // namespace Quillomark::Platform::Os
