// The per-thread connection records of the library's own file-cache client,
// the last error kept in them and the idle monitor. Each case runs in a
// process of its own, so the process-wide table starts empty.

#include <fcc/internal/FccErrors.hxx>
#include <fcc/internal/FccSelfProxy.hxx>
#include <fcc/runtime/internal/FccRuntime.hxx>
#include <fcc/runtime/internal/FccTiming.hxx>
#include <platform/os/internal/Signal.hxx>
#include <tests/support/FreshFolder.hxx>

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace Fcc = Quillomark::Fcc;
namespace Own = Quillomark::Fcc::SelfProxy;

// Lets a group of threads wait for each other.
class Gate {
public:
    void open() { signal.raise(); }
    void wait() { ASSERT_TRUE(signal.waitFor(60000)); }

private:
    Quillomark::Platform::Os::Signal signal;
};

TEST(FccConnections, TheHundredAndFirstThreadGetsNoRecord) {
    std::vector<std::thread> holders;
    std::mutex mutex;
    int holding = 0;
    std::condition_variable allHolding;
    Gate release;
    for (int i = 0; i < Fcc::FCC_CONNECTION_COUNT; ++i) {
        holders.emplace_back([&] {
            Fcc::FccConnectionRef record = Fcc::FccGetThreadConnection();
            EXPECT_TRUE(record);
            {
                std::lock_guard<std::mutex> guard(mutex);
                ++holding;
            }
            allHolding.notify_all();
            release.wait();
        });
    }
    {
        std::unique_lock<std::mutex> lock(mutex);
        allHolding.wait(lock, [&] { return holding == Fcc::FCC_CONNECTION_COUNT; });
    }
    Fcc::FccConnectionRef none = Fcc::FccGetThreadConnection();
    EXPECT_FALSE(none);
    EXPECT_EQ(none.status(), Fcc::ERR_FMSCP_THREAD_COUNT);
    // Without a record a thread keeps no error text.
    EXPECT_EQ(Own::FmsErrorCode(-3005), -3005);
    EXPECT_EQ(Fcc::FccLastErrorText(), nullptr);
    release.open();
    for (auto& holder : holders) holder.join();

    // Records of threads that are gone come back once given up.
    Fcc::FccCloseAllConnections();
    Fcc::FccConnectionRef mine = Fcc::FccGetThreadConnection();
    ASSERT_TRUE(mine);
    EXPECT_EQ(mine->sequence, 0);
    EXPECT_FALSE(mine->pipe.isOpen());
}

TEST(FccConnections, FirstErrorOfACallWinsAndBatchesKeepTheirFailedItemsText) {
    EXPECT_EQ(Own::FmsErrorCode(-3005), -3005);
    EXPECT_EQ(Own::FmsErrorCode(-3002), -3002);
    EXPECT_STREQ(Fcc::FccLastErrorText(), "ERR_FMSCP_BAD_TICKET");
    Own::FmsClearLastError();
    EXPECT_EQ(Fcc::FccLastErrorText(), nullptr);
    EXPECT_EQ(Own::FmsErrorCode(0), 0);
    EXPECT_EQ(Fcc::FccLastErrorText(), nullptr);
    EXPECT_EQ(Own::FmsErrorCode(-4242), -4242);
    EXPECT_STREQ(Fcc::FccLastErrorText(), "ERR_FMSCP_UNKNOWN");

    // A failed item's text survives the items after it.
    Own::FmsClearLastError();
    Fcc::FccSetLastErrorText("item 2 failed");
    Fcc::FccSaveLastError();
    EXPECT_EQ(Fcc::FccLastErrorText(), nullptr);
    Fcc::FccSaveLastError();  // nothing new to put aside
    Fcc::FccSetLastErrorText("noise of item 3");
    Fcc::FccSetLastErrorText(nullptr);
    Fcc::FccRestoreLastError();
    EXPECT_STREQ(Fcc::FccLastErrorText(), "item 2 failed");

    std::thread([] { EXPECT_EQ(Fcc::FccLastErrorText(), nullptr); }).join();
}

void* failingAlloc(std::size_t) { return nullptr; }

TEST(FccConnections, ARecordWhoseBuffersCannotBeMadeIsNotHandedOut) {
    Fcc::FccSetAllocator(failingAlloc, std::free);
    Fcc::FccConnectionRef none = Fcc::FccGetThreadConnection();
    EXPECT_FALSE(none);
    EXPECT_EQ(none.status(), Fcc::ERR_FMSCP_OUT_OF_MEMORY);
    Fcc::FccSetAllocator(std::malloc, std::free);
    Fcc::FccConnectionRef record = Fcc::FccGetThreadConnection();
    ASSERT_TRUE(record);
    EXPECT_NE(record->requestBuffer, nullptr);
    EXPECT_NE(record->replyBuffer, nullptr);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Waits, a tick at a time, until the condition holds or 5 s have passed.
template <typename Condition>
bool eventually(Condition condition) {
    for (int i = 0; i < 5000; ++i) {
        if (condition()) return true;
        Own::FmsSleepMs(1);
    }
    return condition();
}

TEST(FccIdleMonitor, TakesBackIdleRecordsButNotBusyOnesOrOnesWithOpenFiles) {
    const std::string log = Quillomark::Testing::freshFolder("fccmonitor-") + "/trace.log";
    setenv("FMS_FCCPROXYLOG", log.c_str(), 1);
    Fcc::Testing::scaleFccTiming(100);  // 10 ms ticks
    Fcc::FccRuntimeStart();

    Fcc::FccConnection* idle = nullptr;
    Fcc::FccConnection* withFile = nullptr;
    std::thread([&] {
        Fcc::FccConnectionRef record = Fcc::FccGetThreadConnection();
        Fcc::FccSetLastErrorText("lost with the record");
        idle = record.get();
    }).join();
    std::thread([&] {
        Fcc::FccConnectionRef record = Fcc::FccGetThreadConnection();
        ++record->openFiles;
        withFile = record.get();
    }).join();
    Gate holding;
    Gate done;
    Fcc::FccConnection* busy = nullptr;
    std::thread holder([&] {
        Fcc::FccConnectionRef record = Fcc::FccGetThreadConnection();
        busy = record.get();
        holding.open();
        done.wait();
    });
    // The record is handed over through the gate, not read while written.
    holding.wait();

    ASSERT_TRUE(eventually([&] { return idle->threadId == Fcc::FCC_NO_THREAD; }));
    EXPECT_EQ(idle->errorText, nullptr);
    EXPECT_EQ(idle->replyBuffer, nullptr);
    // Ticks pass; the other two stay.
    Own::FmsSleepMs(200);
    EXPECT_NE(withFile->threadId, Fcc::FCC_NO_THREAD);
    ASSERT_NE(busy, nullptr);
    EXPECT_NE(busy->threadId, Fcc::FCC_NO_THREAD);
    EXPECT_EQ(busy->idleTicks, 0);
    done.open();
    holder.join();
    ASSERT_TRUE(eventually([&] { return busy->threadId == Fcc::FCC_NO_THREAD; }));

    Fcc::FccRuntimeStop();
    // The stop waits only a scaled-down while; on a loaded machine the
    // monitor may write its last line just after.
    std::string trace;
    EXPECT_TRUE(eventually([&] {
        trace = readFile(log);
        return trace.find("Idle thread monitor exiting...\n\n") != std::string::npos;
    }));
    EXPECT_NE(trace.find("Monitoring idle threads...\n\n"), std::string::npos);
    EXPECT_NE(trace.find("IDLE COUNTDOWN 10...\n"), std::string::npos);
    EXPECT_NE(trace.find("IDLE COUNTDOWN 1...\n"), std::string::npos);
    EXPECT_NE(trace.find(") TIMEOUT...\n"), std::string::npos);
}

std::size_t countOf(const std::string& text, const std::string& line) {
    std::size_t count = 0;
    for (auto at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++count;
    return count;
}

TEST(FccIdleMonitor, StopGivesUpWaitingForAMonitorThatHangs) {
    const std::string log = Quillomark::Testing::freshFolder("fccmonitor-") + "/trace.log";
    setenv("FMS_FCCPROXYLOG", log.c_str(), 1);
    const auto runsStarted = [&] { return countOf(readFile(log), "Monitoring idle threads..."); };
    const auto runsEnded = [&] { return countOf(readFile(log), "Idle thread monitor exiting..."); };
    Fcc::Testing::scaleFccTiming(1000);  // 1 ms ticks; the stop waits at most 15 ms

    // A monitor that waits for the held thread-record lock cannot end, and
    // the stop must give up on it: when the stop is back while the trace
    // has no end of that run, it gave up. A monitor that had not reached
    // the lock when the stop came ends at once instead, and the case is
    // tried again.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::size_t started = runsStarted();
        const std::size_t ended = runsEnded();
        Fcc::FccRuntimeStart();
        ASSERT_TRUE(eventually([&] { return runsStarted() > started; }));
        Fcc::FccThreadRecordLock();
        Own::FmsSleepMs(attempt);  // a longer head start for the monitor each time
        Fcc::FccRuntimeStop();
        const bool gaveUp = runsEnded() == ended;
        Fcc::FccThreadRecordUnlock();
        if (!gaveUp) continue;

        // The next start gets a monitor of its own while the old one ends.
        Fcc::FccRuntimeStart();
        std::thread([] { Fcc::FccGetThreadConnection(); }).join();
        Fcc::FccRuntimeStop();
        EXPECT_TRUE(eventually([&] { return runsEnded() == ended + 2; }));
        return;
    }
    ADD_FAILURE() << "the stop never found the monitor waiting for the lock";
}

}  // namespace
