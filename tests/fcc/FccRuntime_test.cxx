// The library's own file-cache entries and the operating-system layer
// beneath them, called directly: nothing here runs the loader.

#include <fcc/internal/FccEntryTable.hxx>
#include <fcc/internal/FccErrors.hxx>
#include <fcc/internal/FccSelfProxy.hxx>
#include <platform/os/internal/NeverReusedCells.hxx>
#include <platform/os/internal/SharedLibrary.hxx>
#include <platform/os/internal/Threads.hxx>
#include <tests/support/ProxyDoubleControl.hxx>

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <set>
#include <thread>
#include <vector>

namespace {

namespace Own = Quillomark::Fcc::SelfProxy;
namespace Os = Quillomark::Platform::Os;
using Quillomark::Fcc::ERR_FMSCP_NOT_SUPPORTED;

std::string ticketOfKind(char kind) {
    std::string ticket(300, '0');
    ticket[64] = kind;
    return ticket;
}

TEST(OwnFileCacheEntries, GuidLengthByTicketKind) {
    EXPECT_EQ(Own::GUIDLength(ticketOfKind('v').c_str()), 32);
    EXPECT_EQ(Own::GUIDLength(ticketOfKind('F').c_str()), 32);
    EXPECT_EQ(Own::GUIDLength(ticketOfKind('M').c_str()), 36);
    EXPECT_EQ(Own::GUIDLength(ticketOfKind('x').c_str()), -3005);
    EXPECT_EQ(Own::GUIDLength(nullptr), -3005);
    // A ticket that ends before its kind is refused without reading past
    // its end (on the heap, an over-read shows in the sanitized build).
    std::unique_ptr<char[]> shortTicket(new char[21]);
    std::memcpy(shortTicket.get(), "vvvvvvvvvvvvvvvvvvvv", 21);
    EXPECT_EQ(Own::GUIDLength(shortTicket.get()), -3005);
}

TEST(OwnFileCacheEntries, ClockCountsWallTimeInMilliseconds) {
    const FmsClockValue before = Own::FmsClock();
    // Sleeping uses no processor time: a processor-time clock would barely
    // move here.
    Own::FmsSleepMs(120);
    const int elapsed = Own::FmsDeltaMs(Own::FmsClock(), before);
    EXPECT_GE(elapsed, 120);
    EXPECT_LT(elapsed, 60000);

    EXPECT_EQ(Own::FmsDeltaMs(1500, 500), 1000);
    EXPECT_EQ(Own::FmsDeltaMs(500, 1500), -1000);
    EXPECT_EQ(Own::FmsDeltaMs(FmsClockValue(1) << 40, 0), INT_MAX);
    EXPECT_EQ(Own::FmsDeltaMs(LLONG_MIN, LLONG_MAX), INT_MIN);
}

TEST(OwnFileCacheEntries, SynchronizeNestsWithinAThread) {
    Own::synchronize();
    Own::synchronize();
    Own::endSynchronize();
    Own::endSynchronize();
    std::thread([] {
        Own::synchronize();
        Own::endSynchronize();
    }).join();
}

TEST(NeverReusedCells, AnAddressGivenBackNeverComesOutAgain) {
    Os::NeverReusedCells cells(80);
    std::set<void*> seen;
    std::vector<void*> live;
    // Enough cells to fill chunks of 16 MiB and go on in new ones, while
    // only a few are in use at a time: the ones given back are never
    // reused, and memory that went back to the system reads as zeros.
    for (int i = 0; i < 600000; ++i) {
        void* cell = cells.take();
        ASSERT_NE(cell, nullptr);
        ASSERT_TRUE(seen.insert(cell).second) << "cell " << i << " handed out twice";
        const auto* bytes = static_cast<const unsigned char*>(cell);
        ASSERT_EQ(bytes[0] | bytes[79], 0) << "cell " << i << " not zeroed";
        std::memset(cell, 0xA5, 80);
        live.push_back(cell);
        if (live.size() > 40) {
            cells.giveBack(live.front());
            live.erase(live.begin());
        }
    }
    for (void* cell : live) cells.giveBack(cell);
    // What was not handed out here is ignored.
    int notACell = 0;
    cells.giveBack(&notACell);
    cells.giveBack(static_cast<char*>(*seen.begin()) + 1);
}

// A cell given back twice counts once: the page still goes to the system
// only when every cell on it has come back, not under one still in use.
TEST(NeverReusedCells, ACellGivenBackTwiceLeavesTheOthersOnItsPageAlone) {
    Os::NeverReusedCells cells(80);
    const std::size_t perPage = static_cast<std::size_t>(sysconf(_SC_PAGESIZE)) / 80;
    std::vector<unsigned char*> page;
    for (std::size_t i = 0; i < perPage; ++i) {
        auto* cell = static_cast<unsigned char*>(cells.take());
        ASSERT_NE(cell, nullptr);
        std::memset(cell, 0xA5, 80);
        page.push_back(cell);
    }
    cells.giveBack(page[0]);
    cells.giveBack(page[0]);
    for (std::size_t i = 2; i < perPage; ++i) cells.giveBack(page[i]);
    EXPECT_EQ(page[1][0], 0xA5);
    EXPECT_EQ(page[1][79], 0xA5);
    cells.giveBack(page[1]);
}

struct ThreadProbe {
    std::atomic<bool> stop{false};  // never set: the thread runs until terminated
    std::atomic<std::uint32_t> seenId{0};
    std::atomic<bool> finished{false};
};

unsigned sleepUntilTerminated(void* argument) {
    auto* probe = static_cast<ThreadProbe*>(argument);
    probe->seenId = Own::ThreadId();
    while (!probe->stop) Own::FmsSleepMs(10);
    return 0;
}

unsigned finishAtOnce(void* argument) {
    static_cast<ThreadProbe*>(argument)->finished = true;
    return 0;
}

bool threadExists(std::uint32_t threadId) {
    return access(("/proc/self/task/" + std::to_string(threadId)).c_str(), F_OK) == 0;
}

template <typename Condition>
void waitUntil(Condition condition) {
    for (int i = 0; i < 30000 && !condition(); ++i) Own::FmsSleepMs(1);
}

TEST(OwnFileCacheEntries, StartedThreadsReportTheirIdAndCanBeTerminated) {
    ThreadProbe probe;
    std::uint32_t threadId = 0;
    FccThreadHandle thread = Own::FCCStartThread(sleepUntilTerminated, &probe, &threadId);
    ASSERT_NE(thread, nullptr);
    ASSERT_NE(thread, Os::invalidThreadHandle);
    waitUntil([&] { return probe.seenId != 0; });
    EXPECT_EQ(probe.seenId, threadId);
    EXPECT_TRUE(threadExists(threadId));
    Own::FCCTerminateThread(thread, 0);
    waitUntil([&] { return !threadExists(threadId); });
    EXPECT_FALSE(threadExists(threadId));

    // Handles of ended threads, the invalid handle and null are ignored.
    ThreadProbe quick;
    std::uint32_t quickId = 0;
    FccThreadHandle ended = Own::FCCStartThread(finishAtOnce, &quick, &quickId);
    ASSERT_NE(ended, nullptr);
    waitUntil([&] { return !threadExists(quickId); });
    Own::FCCTerminateThread(ended, 0);
    Own::FCCTerminateThread(thread, 0);
    Own::FCCTerminateThread(Os::invalidThreadHandle, 0);
    Own::FCCTerminateThread(nullptr, 0);
    EXPECT_TRUE(quick.finished);
    EXPECT_EQ(Own::FCCStartThread(nullptr, nullptr, nullptr), nullptr);
}

TEST(FileCacheLoaderParts, LibraryIsLookedForUnderLibOfFmsHome) {
    using Quillomark::Fcc::fccProxyLibraryPath;
    EXPECT_EQ(fccProxyLibraryPath("/opt/fms"), "/opt/fms/lib/FCCClientProxyDllv80.dll");
    EXPECT_EQ(fccProxyLibraryPath("/opt/fms/"), "/opt/fms/lib/FCCClientProxyDllv80.dll");
}

TEST(FileCacheLoaderParts, SharedLibraryLoadsByPathAndFindsExports) {
    using Quillomark::Testing::FmsHomes;
    std::string error;
    Os::SharedLibrary missing = Os::SharedLibrary::open(FmsHomes::empty() + "/lib/none.so", &error);
    EXPECT_FALSE(missing.isLoaded());
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(missing.symbol("FCC_Init"), nullptr);

    const std::string path = Quillomark::Fcc::fccProxyLibraryPath(FmsHomes::missingEntry());
    Os::SharedLibrary library = Os::SharedLibrary::open(path);
    ASSERT_TRUE(library.isLoaded());
    EXPECT_NE(library.symbol("FCC_Init"), nullptr);
    EXPECT_EQ(library.symbol("FCCTerminateThread"), nullptr);
    Os::SharedLibrary moved = std::move(library);
    EXPECT_FALSE(library.isLoaded());
    EXPECT_TRUE(Quillomark::Testing::isLibraryLoaded(path));
    moved.reset();
    EXPECT_FALSE(Quillomark::Testing::isLibraryLoaded(path));
}

}  // namespace
