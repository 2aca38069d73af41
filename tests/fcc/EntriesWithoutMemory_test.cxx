// The exported entries of the file-cache interface are C functions: a call
// made while no memory is left, the process's first among them, returns and
// lets no exception out to a C caller.

#include <fcc/FccInterface.hxx>
#include <fcc/internal/FccEntryTable.hxx>
#include <tests/support/FailingAllocations.hxx>

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

namespace Failing = Quillomark::Testing::FailingAllocations;

// Calls the entry with a zero or null for each argument; false when it threw.
template <class R, class... A>
bool returnsWithNothing(R (*entry)(A...)) {
    Failing::failAfter = 0;
    Failing::failOnce = false;
    bool returned = true;
    try {
        entry(A{}...);
    } catch (...) {
        returned = false;
    }
    Failing::failAfter = -1;
    return returned;
}

TEST(FccEntriesWithoutMemory, EveryEntryReturns) {
    unsetenv("FMS_HOME");
#define QMSOA_FCC_RETURNS(name) EXPECT_TRUE(returnsWithNothing(&::name)) << #name;
    QMSOA_FCC_ENTRIES(QMSOA_FCC_RETURNS)
#undef QMSOA_FCC_RETURNS
}

}  // namespace
