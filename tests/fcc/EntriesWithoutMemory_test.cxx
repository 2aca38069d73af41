// The exported entries of the file-cache interface are C functions: a call
// made while no memory is left, the process's first among them, returns and
// lets no exception out to a C caller (from a static constructor that runs
// before the library's own: LoaderBeforeTheLibrary_test.cxx).

#include <fcc/FccErrorCodes.hxx>
#include <fcc/runtime/internal/FccRuntime.hxx>
#include <tests/fastcache/ChildProcess.hxx>
#include <tests/fcc/EntriesWithoutMemory.hxx>
#include <tests/fcc/ThreadedCalls.hxx>
#include <tests/support/FreshFolder.hxx>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

namespace Failing = Quillomark::Testing::FailingAllocations;
namespace Fcc = Quillomark::Fcc;
using Quillomark::Testing::entriesThatThrowWithoutMemory;

// In a process of its own, whose first calls these are.
TEST(FccEntriesWithoutMemory, EveryEntryReturns) {
    EXPECT_EQ(Quillomark::Testing::runInChild([] {
                  unsetenv("FMS_HOME");
                  const std::string threw = entriesThatThrowWithoutMemory();
                  if (!threw.empty()) std::fprintf(stderr, "Threw:%s\n", threw.c_str());
                  _exit(threw.empty() ? 0 : 3);
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
                if (!entriesThatThrowWithoutMemory().empty()) _exit(3);
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

// synchronize() as the process's first call, with no memory left to load
// the interface, takes nothing; its endSynchronize(), once memory is back
// and loads it, releases nothing either. The main lock then still knows
// its holder: under synchronize(), a wait for the init lock whose holder
// waits for the main lock is given up, not waited for ever.
TEST(FccEntriesWithoutMemory, TheEndOfASynchronizeThatTookNothingReleasesNothing) {
    const std::string home = Quillomark::Testing::freshFolder("synchronize-");
    EXPECT_EQ(Quillomark::Testing::runInChild([&home] {
                  dup2(::open("/dev/null", O_WRONLY), 2);  // the loader's reports
                  setenv("FMS_HOME", home.c_str(), 1);
                  Failing::failOnce = false;
                  Failing::failAfter = 0;
                  synchronize();
                  Failing::failAfter = -1;
                  endSynchronize();
                  synchronize();
                  Quillomark::Testing::Gate initTaken;
                  std::thread setUp([&initTaken] {
                      if (!Fcc::FccInitLock()) _exit(2);
                      initTaken.open();
                      Fcc::FccMainLock();
                      Fcc::FccMainUnlock();
                      Fcc::FccInitUnlock();
                  });
                  initTaken.wait();
                  if (Fcc::FccInitLock()) _exit(3);
                  endSynchronize();
                  setUp.join();
              }),
              "");
}

}  // namespace
