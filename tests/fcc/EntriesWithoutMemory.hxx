#pragma once

// Every entry of the file-cache interface called while no memory is left,
// in a program built with tests/support/FailingAllocations.cxx.

#include <fcc/FccInterface.hxx>
#include <fcc/internal/FccEntryTable.hxx>
#include <tests/support/FailingAllocations.hxx>

#include <string>

namespace Quillomark::Testing {

// Calls the entry with a zero or null for each argument while every
// allocation fails; false when it threw.
template <class R, class... A>
bool returnsWithoutMemory(R (*entry)(A...)) {
    FailingAllocations::failAfter = 0;
    FailingAllocations::failOnce = false;
    bool returned = true;
    try {
        entry(A{}...);
    } catch (...) {
        returned = false;
    }
    FailingAllocations::failAfter = -1;
    return returned;
}

// The names of the entries that threw so, each after a blank; "" when none.
inline std::string entriesThatThrowWithoutMemory() {
    bool returned[Fcc::FCC_ENTRY_COUNT];
    int slot = 0;
#define QMSOA_FCC_RETURNS(name) returned[slot++] = returnsWithoutMemory(&::name);
    QMSOA_FCC_ENTRIES(QMSOA_FCC_RETURNS)
#undef QMSOA_FCC_RETURNS
    std::string names;
    for (slot = 0; slot < Fcc::FCC_ENTRY_COUNT; ++slot) {
        if (!returned[slot]) names += std::string(" ") + Fcc::fccEntryName(Fcc::FccSlot(slot));
    }
    return names;
}

}  // namespace Quillomark::Testing
