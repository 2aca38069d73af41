// The exported entries of the file-cache interface are C functions: a call
// made while no memory is left, the process's first among them, returns and
// lets no exception out to a C caller; also one that a static constructor
// makes before the library's own run (an application's may, in a static
// link).

#include <fcc/FccErrorCodes.hxx>
#include <fcc/FccInterface.hxx>
#include <fcc/internal/FccEntryTable.hxx>
#include <tests/fastcache/ChildProcess.hxx>
#include <tests/support/FailingAllocations.hxx>
#include <tests/support/FreshFolder.hxx>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

namespace Failing = Quillomark::Testing::FailingAllocations;
namespace Fcc = Quillomark::Fcc;

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

// The entries that threw, one bit for each slot.
std::uint64_t entriesThatThrow() {
    std::uint64_t threw = 0;
    int slot = 0;
#define QMSOA_FCC_RETURNS(name) threw |= std::uint64_t(!returnsWithNothing(&::name)) << slot++;
    QMSOA_FCC_ENTRIES(QMSOA_FCC_RETURNS)
#undef QMSOA_FCC_RETURNS
    return threw;
}

std::string namesOf(std::uint64_t slots) {
    std::string names;
    for (int slot = 0; slot < Fcc::FCC_ENTRY_COUNT; ++slot) {
        if (slots >> slot & 1) names += std::string(" ") + Fcc::fccEntryName(Fcc::FccSlot(slot));
    }
    return names;
}

// In a process of its own, whose first calls these are.
TEST(FccEntriesWithoutMemory, EveryEntryReturns) {
    EXPECT_EQ(Quillomark::Testing::runInChild([] {
                  unsetenv("FMS_HOME");
                  const std::uint64_t threw = entriesThatThrow();
                  std::fprintf(stderr, "Threw:%s\n", namesOf(threw).c_str());
                  _exit(threw == 0 ? 0 : 3);
              }),
              "");
}

// A process's first call runs the loader, which finds no proxy library and
// puts the own implementation in the table, with what that uses for the
// life of the process. An allocation that fails on the way, alone or with
// every one after it, gives the status of no memory, and leaves the loader
// to run again; one that does not leaves nothing for a later entry to make.
// Either way, no entry throws then with every allocation failing, and once
// memory is back the interface is set up as in a process where none failed
// (with no launch script under FMS_HOME, -2997). A process of its own for
// each allocation.
TEST(FccEntriesWithoutMemory, TheFirstCallsAllocationsFailOneAfterAnother) {
    const std::string home = Quillomark::Testing::freshFolder("without-memory-");
    std::string wrong;
    for (const bool once : {true, false}) {
        for (long allocation = 0; allocation < 1000; ++allocation) {
            const std::string ended = Quillomark::Testing::runInChild([&] {
                dup2(::open("/dev/null", O_WRONLY), 2);  // the loader's reports
                setenv("FMS_HOME", home.c_str(), 1);
                Failing::failOnce = once;
                Failing::failAfter = allocation;
                int status = 0;
                try {
                    status = FCC_IsFCCEnabled(nullptr);
                } catch (...) {
                    _exit(2);
                }
                if (entriesThatThrow() != 0) _exit(3);
                if (FCC_Init(nullptr, nullptr) != Fcc::ERR_FMSCP_START_SCRIPT ||
                    FCC_Term() != Fcc::ERR_FMSCP_NOT_INITIALIZED) {
                    _exit(4);
                }
                _exit(status == Fcc::ERR_FMSCP_OUT_OF_MEMORY ? 1
                      : status == Fcc::ERR_FMSCP_BAD_ARG     ? 0
                                                             : 5);
            });
            if (ended == "") break;  // no allocation failed: the last
            if (ended != "exit 1") {
                wrong += std::string(once ? "\n  only" : "\n  from") + " allocation " +
                         std::to_string(allocation) + ": " + ended;
            }
        }
    }
    EXPECT_EQ(wrong, "") << "exit 2: the first call threw, 3: a later entry did, 4: the "
                            "set-up with memory failed, 5: the first call said something else";
}

}  // namespace
