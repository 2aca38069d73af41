#pragma once

// Two allocation pairs for the file-cache interface that know the blocks
// they made: a block that one pair is asked to release but the other pair
// (or plain malloc) made is counted as foreign, and released all the same,
// so that a test can tell which pair the interface used for what.

#include <cstddef>

namespace Quillomark::Testing::TaggedAllocations {

void* allocA(std::size_t size);
void releaseA(void* memory);
void* allocB(std::size_t size);
void releaseB(void* memory);

// Releases a block whichever pair (or malloc) made it: for the strings that
// the interface hands out while the pair in force may change.
void releaseAny(void* memory);

struct Counts {
    long outstanding = 0;  // blocks made by the pair and not yet released
    long foreign = 0;      // blocks the pair was asked to release but did not make
};
Counts countsOf(char pair);  // 'A' or 'B'

}  // namespace Quillomark::Testing::TaggedAllocations
