// Progress callbacks of transfers: calls of the interface made from one run
// on the calling thread's pipe, in the middle of its progress handshake, and
// must leave the transfer as it would have been without them; a callback
// that stops the transfer ends it, whatever the server does next.

#include <fcc/FccException.hxx>
#include <fcc/FccInterface.hxx>
#include <fcc/FccProxy.hxx>
#include <fcc/internal/FccErrors.hxx>
#include <fcc/pipe/internal/FccProtocol.hxx>
#include <fcc/selfproxy/internal/FccFileRecord.hxx>
#include <fcc/selfproxy/internal/TicketRegistry.hxx>
#include <platform/os/internal/Forks.hxx>
#include <tests/fastcache/ChildProcess.hxx>
#include <tests/fcc/SelfProxyFixture.hxx>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <dlfcn.h>
#include <functional>
#include <map>
#include <stdexcept>
#include <pthread.h>
#include <sched.h>
#include <string>
#include <thread>
#include <vector>

namespace {

// Stops the next 2-byte allocation of the thread that armed it (the first
// server handle handed back to a record, made under that record's handle
// lock) until let go: a parent thread holds the lock as another forks.
thread_local bool stopAtNextPush = false;
int stopped[2] = {-1, -1};
int letGo[2] = {-1, -1};
// The allocations of the thread that set the flag inside a change of the
// registered tickets.
thread_local bool countInChanges = false;
thread_local int allocationsInChanges = 0;

}  // namespace

// The allocation that follows is the process's own: the sanitizers' when
// they run, whose deletes then match.
void* operator new(std::size_t size) {
    if (stopAtNextPush && size == 2) {
        stopAtNextPush = false;
        if (!Quillomark::Testing::say(stopped[1], 's') ||
            Quillomark::Testing::hear(letGo[0]) != 'g')
            std::abort();
    }
    if (countInChanges && Quillomark::Fcc::fccGuardedChanges().anyThreadInside())
        ++allocationsInChanges;
    static const auto next = reinterpret_cast<void* (*)(std::size_t)>(dlsym(RTLD_NEXT, "_Znwm"));
    return next(size);
}

namespace {

namespace Fcc = Quillomark::Fcc;
namespace Client = Quillomark::Soa::Client;
using namespace Quillomark::Testing;

// What the callback did, call by call.
struct NestedCalls {
    char* otherHandle = nullptr;
    std::vector<int> echoes;
    std::vector<int> opens;
    std::vector<std::string> errorsSeen;
    bool closeOwnPipe = false;
};

int callingProgress(void*, void* data, std::int64_t, std::int64_t, int* go) {
    auto* calls = static_cast<NestedCalls*>(data);
    if (calls->closeOwnPipe) {
        // As a pipe lost meanwhile would be: the handshake's answer has
        // nowhere to go.
        Fcc::FccGetThreadConnection()->closePipe();
    } else {
        calls->echoes.push_back(Own::FCC_Echo());
        FccFile* file = nullptr;
        calls->opens.push_back(Own::FCC_OpenFile(calls->otherHandle, &file));
        if (file) Own::FCC_CloseFileHandlePointer(file);
        const char* text = nullptr;
        Own::FCC_GetLastError(&text);
        calls->errorsSeen.push_back(text ? text : "");
    }
    *go = 1;
    return 0;
}

std::vector<std::uint32_t> messagesReceived(const FakeFccServer& server) {
    std::vector<std::uint32_t> numbers;
    for (const auto& request : server.requests()) numbers.push_back(request.messageType >> 16);
    return numbers;
}

// A callback's call that needs the pipe is refused with its own code and
// sends nothing; the transfer's handshake goes on in step, and the pipe
// serves the same calls once the transfer is done.
TEST_F(SelfProxyServer, CallsFromAProgressCallbackLeaveTheRunningTransferInStep) {
    server->addFile(makeTicket(1), std::string(5000, 'p'));
    server->addFile(makeTicket(2), "the other file");
    server->setProgressReports(2);
    init();
    char* handle = registered(makeTicket(1));
    NestedCalls calls;
    calls.otherHandle = registered(makeTicket(2));
    char* path = nullptr;
    EXPECT_EQ(Own::FCC_DownloadFileFromPLM("IMD", handle, callingProgress, &calls, &path), 0);
    EXPECT_NE(path, nullptr);
    std::free(path);
    const std::vector<int> refused(2, Fcc::ERR_FMSCP_NOT_SUPPORTED);
    EXPECT_EQ(calls.echoes, refused);
    EXPECT_EQ(calls.opens, refused);
    EXPECT_EQ(calls.errorsSeen,
              std::vector<std::string>(2, "ERR_FMSCP_NOT_SUPPORTED"));  // not translated now
    const std::vector<std::uint32_t> expected = {Fcc::FMS_VERSION_CHECK, Fcc::FMS_OPEN_MSG,
                                                 Fcc::FMS_GET_FILE_MSG,  Fcc::FMS_STATUS_MSG,
                                                 Fcc::FMS_STATUS_MSG,    Fcc::FMS_CLOSE_MSG};
    EXPECT_EQ(messagesReceived(*server), expected);
    // The refusals were the callback's: the transfer left no error.
    EXPECT_EQ(lastError(), "");

    EXPECT_EQ(Own::FCC_Echo(), 0);
    FccFile* file = nullptr;
    ASSERT_EQ(Own::FCC_OpenFile(calls.otherHandle, &file), 0);
    char bytes[14] = {};
    int read = 0;
    EXPECT_EQ(Own::FCC_ReadBytes(file, "IMD", sizeof bytes, &read, bytes), 0);
    EXPECT_EQ(std::string(bytes, read), "the other file");
    EXPECT_EQ(Own::FCC_CloseFileHandlePointer(file), 0);
}

// A pipe that closes in the middle of the handshake ends the transfer: the
// answer to the progress report is not sent on a new pipe, where it would
// meet a server that knows nothing of the transfer.
TEST_F(SelfProxyServer, APipeLostInTheMiddleOfAHandshakeEndsTheTransfer) {
    server->addFile(makeTicket(1), std::string(5000, 'p'));
    server->setProgressReports(2);
    init();
    char* handle = registered(makeTicket(1));
    NestedCalls calls;
    calls.closeOwnPipe = true;
    char* path = nullptr;
    EXPECT_EQ(Own::FCC_DownloadFileFromPLM("IMD", handle, callingProgress, &calls, &path),
              Fcc::ERR_FMSCP_NO_CACHE);
    EXPECT_EQ(path, nullptr);
    const std::vector<std::uint32_t> expected = {Fcc::FMS_VERSION_CHECK, Fcc::FMS_OPEN_MSG,
                                                 Fcc::FMS_GET_FILE_MSG};
    EXPECT_EQ(messagesReceived(*server), expected);
    // The next call connects anew.
    EXPECT_EQ(Own::FCC_Echo(), 0);
}

// A child forked in a progress callback: the parent's transfer goes on on
// its pipe, and the child's copy of the transfer ends without a word on it.
pid_t forkedInCallback = -1;

int forkingProgress(void*, void*, std::int64_t, std::int64_t, int* go) {
    if (forkedInCallback < 0 && (forkedInCallback = fork()) == 0) {
        if (!childrenOfThreadsRun) _exit(0);
        alarm(20);
    }
    *go = 1;
    return 0;
}

TEST_F(SelfProxyServer, AChildForkedInAProgressCallbackLeavesTheTransferToItsParent) {
    server->addFile(makeTicket(1), std::string(5000, 'p'));
    server->setProgressReports(2);
    init();
    char* handle = registered(makeTicket(1));
    char* path = nullptr;
    const int result = Own::FCC_DownloadFileFromPLM("IMD", handle, forkingProgress, nullptr, &path);
    if (forkedInCallback == 0) _exit(result == Fcc::ERR_FMSCP_NO_CACHE && !path ? 0 : 1);
    EXPECT_EQ(result, 0);
    EXPECT_NE(path, nullptr);
    std::free(path);
    const std::string childEnd = endOf(forkedInCallback);
    // The child sent nothing on it.
    const std::vector<std::uint32_t> expected = {Fcc::FMS_VERSION_CHECK, Fcc::FMS_OPEN_MSG,
                                                 Fcc::FMS_GET_FILE_MSG,  Fcc::FMS_STATUS_MSG,
                                                 Fcc::FMS_STATUS_MSG,    Fcc::FMS_CLOSE_MSG};
    EXPECT_EQ(messagesReceived(*server), expected);
    if (childrenOfThreadsRun) {
        EXPECT_EQ(childEnd, "");
    }
}

// A child forked in a progress callback while a parent thread hands a file
// opened through the forking thread's record back to that record, under its
// lock: the child ends its copy of the transfer and reads another file opened
// through that record over a pipe of its own, taking no lock of the record.
struct HandingBack {
    FccFile* moved = nullptr;
    FccFile* kept = nullptr;
    pid_t child = -1;
};

int forkingAsAFileIsHandedBack(void*, void* data, std::int64_t, std::int64_t, int* go) {
    auto* state = static_cast<HandingBack*>(data);
    *go = 1;
    if (state->child >= 0) return 0;
    // Left to its parent by a child, which has no such thread.
    auto* reader = new std::thread([state] {
        stopAtNextPush = true;
        char bytes[16];
        int read = 0;
        Own::FCC_ReadBytes(state->moved, "IMD", sizeof bytes, &read, bytes);
    });
    if (hear(stopped[0]) != 's') return 0;
    if ((state->child = fork()) == 0) {
        alarm(20);
        return 0;
    }
    say(letGo[1], 'g');
    reader->join();
    delete reader;
    return 0;
}

TEST_F(SelfProxyServer, AChildForkedAsAParentThreadHandsAFileBackTakesNoLockOfItsRecord) {
    ASSERT_EQ(pipe(stopped), 0);
    ASSERT_EQ(pipe(letGo), 0);
    server->addFile(makeTicket(1), std::string(5000, 'p'));
    server->addFile(makeTicket(2), std::string(5000, 'm'));
    server->addFile(makeTicket(3), std::string(5000, 'k'));
    server->setProgressReports(2);
    init();
    char* handle = registered(makeTicket(1));
    HandingBack state;
    ASSERT_EQ(Own::FCC_OpenFile(registered(makeTicket(2)), &state.moved), 0);
    ASSERT_EQ(Own::FCC_OpenFile(registered(makeTicket(3)), &state.kept), 0);
    char* path = nullptr;
    const int result =
        Own::FCC_DownloadFileFromPLM("IMD", handle, forkingAsAFileIsHandedBack, &state, &path);
    if (state.child == 0) {
        if (!childrenOfThreadsRun) _exit(0);
        if (result != Fcc::ERR_FMSCP_NO_CACHE) _exit(2);
        char bytes[16] = {};
        int read = 0;
        const int status = Own::FCC_ReadBytes(state.kept, "IMD", sizeof bytes, &read, bytes);
        _exit(status == 0 && read == 16 && bytes[0] == 'k' ? 0 : 3);
    }
    EXPECT_EQ(result, 0);
    std::free(path);
    EXPECT_EQ(endOf(state.child), "");
}

// A thread that forks holding synchronize() holds it in the child too: the
// child ends it and goes on with the interface.
TEST_F(SelfProxyServer, AChildForkedUnderSynchronizeHoldsItAndEndsIt) {
    server->addFile(makeTicket(1), "the file");
    init();
    Own::synchronize();
    const std::string end = runInChild([] {
        if (!childrenOfThreadsRun) return;
        Own::endSynchronize();
        std::thread([] {
            char* handle = nullptr;
            if (Own::FCC_RegisterTicket(makeTicket(1).c_str(), &handle) != 0) _exit(4);
            FccFile* file = nullptr;
            if (Own::FCC_OpenFile(handle, &file) != 0) _exit(5);
        }).join();
    });
    Own::endSynchronize();
    EXPECT_EQ(end, "");
}

// A child forked while another thread of its parent sets the interface up
// or ends it, held there in its exchange with the server under the init
// lock, starts the interface afresh: it sets it up, finds nothing of the
// session being ended, and moves a file, as the README's transfer example
// does.
TEST_F(SelfProxyServer, AChildForkedWhileAParentThreadSetsUpOrEndsTheInterfaceStartsAfresh) {
    struct Phase {
        const char* name;
        std::uint16_t held;
        std::function<int()> call;
    };
    char* handle = nullptr;
    const Phase phases[] = {
        {"set-up", Fcc::FMS_VERSION_CHECK, [] { return Own::FCC_Init(nullptr, nullptr); }},
        {"trial", Fcc::FMS_VERSION_CHECK,
         [] {
             int enabled = 0;
             return Own::FCC_IsFCCEnabled(&enabled);
         }},
        // Termination closes the file that its thread left open.
        {"ending", Fcc::FMS_CLOSE_MSG,
         [&handle] {
             FccFile* file = nullptr;
             return Own::FCC_OpenFile(handle, &file) == 0 ? Own::FCC_Term() : -1;
         }},
    };
    for (const Phase& phase : phases) {
        server.reset();  // a Hold is let go of once per server
        server = std::make_unique<FakeFccServer>();
        server->addFile(makeTicket(1), "the file");
        if (phase.held == Fcc::FMS_CLOSE_MSG) {
            init();
            handle = registered(makeTicket(1));
        }
        server->injectFault(phase.held, Fault::Hold);
        OutputCapture out(1);
        auto call = onThread(phase.call);
        ASSERT_TRUE(server->waitUntilHolding(1, 10000)) << phase.name;
        const std::string end = runInChild([] {
            if (!childrenOfThreadsRun) return;
            if (Own::FCC_Init(nullptr, nullptr) != 0) _exit(2);
            if (Fcc::registeredTicketCount() != 0 || Fcc::openFileCount() != 0) _exit(3);
            int enabled = 0;
            if (Own::FCC_IsFCCEnabled(&enabled) != 0 || !enabled) _exit(4);
            char* own = nullptr;
            char* path = nullptr;
            if (Own::FCC_RegisterTicket(makeTicket(1).c_str(), &own) != 0 ||
                Own::FCC_DownloadFileFromPLM("IMD", own, nullptr, nullptr, &path) != 0) {
                _exit(5);
            }
            // Its own fork, while a thread of its own holds the init lock
            // as a call that counts a hold does, leaves the interface set
            // up: the parent's thread that was setting it up is no thread
            // of the child's.
            Gate held, letGo;
            std::thread holding([&] {
                Fcc::FccInitLock();
                held.open();
                letGo.wait();
                Fcc::FccInitUnlock();
            });
            held.wait();
            const std::string grandchild = runInChild([] {
                const char* text = nullptr;
                if (Own::FCC_GetLastError(&text) != 0) _exit(2);
            });
            letGo.open();
            holding.join();
            if (!grandchild.empty()) _exit(7);
            if (Own::FCC_Term() != 0) _exit(6);
        });
        server->releaseHeld();
        EXPECT_EQ(within(call, 30, phase.name), 0);
        out.finish();
        EXPECT_EQ(end, "") << phase.name;
        while (Own::FCC_Term() == 0) {
        }
    }
}

// Whatever region a thread of the parent was inside at the fork (the
// registry's changes, or one of the test's own standing for the library's
// others), the child knows of it, and the forks that the child makes in
// turn are told of the child's own threads alone.
Quillomark::Platform::Os::ForkRegion aRegionOfTheTests;

TEST(ForkRegions, AChildsOwnForksAreToldOfItsThreadsAlone) {
    if (!childrenOfThreadsRun) GTEST_SKIP() << "a child of a threaded parent, sanitized";
    for (Quillomark::Platform::Os::ForkRegion* region :
         {&Fcc::fccGuardedChanges(), &aRegionOfTheTests}) {
        Gate inside, leave;
        std::thread holding([&] {
            const Quillomark::Platform::Os::ForkRegion::Scope scope(*region);
            inside.open();
            leave.wait();
        });
        inside.wait();
        const std::string end = runInChild([region] {
            if (!region->inUseAtLastFork()) _exit(2);
            if (!runInChild([region] { _exit(region->inUseAtLastFork() ? 4 : 0); }).empty())
                _exit(3);
        });
        leave.open();
        holding.join();
        EXPECT_EQ(end, "");
    }
}

// A signal's handler forks while its thread enters and leaves a step over
// and over, inside another of the same region, so that many forks come
// between the two counts that the thread keeps of a step's beginning or
// end; in the child the handler takes a step of its own before the thread
// goes on. In each child, once the thread is out of the steps, no thread is
// inside, and its own forks find the region free.
Quillomark::Platform::Os::ForkRegion aShortRegionOfTheTests{
    Quillomark::Platform::Os::ForkRegion::SHORT_STEP};
Quillomark::Platform::Os::ForkRegion* stepping = nullptr;
volatile sig_atomic_t inTheChild = 0;
std::atomic<int> forksBySignal{0};
pid_t forkedBySignal[300];

TEST(ForkRegions, AForkFromASignalsHandlerBetweenAThreadsCountsLeavesThemWhole) {
    if (!childrenOfThreadsRun) GTEST_SKIP() << "a child of a threaded parent, sanitized";
    for (Quillomark::Platform::Os::ForkRegion* region :
         {&aRegionOfTheTests, &aShortRegionOfTheTests}) {
        stepping = region;
        EXPECT_EQ(
            runInChild([] {
                struct sigaction forking = {};
                forking.sa_handler = [](int) {
                    const pid_t pid = ::fork();
                    if (pid == 0) {
                        inTheChild = 1;
                        const Quillomark::Platform::Os::ForkRegion::Scope own(*stepping);
                    } else {
                        forkedBySignal[forksBySignal.load()] = pid;
                        ++forksBySignal;
                    }
                };
                ::sigaction(SIGUSR1, &forking, nullptr);
                const pthread_t main = ::pthread_self();
                std::thread signalling([main] {
                    for (int sent = 0; sent < 300; ++sent) {
                        ::pthread_kill(main, SIGUSR1);
                        while (forksBySignal.load() == sent) sched_yield();
                    }
                });
                while (!inTheChild && forksBySignal.load() < 300) {
                    const Quillomark::Platform::Os::ForkRegion::Scope outer(*stepping);
                    { const Quillomark::Platform::Os::ForkRegion::Scope inner(*stepping); }
                }
                if (inTheChild) {
                    if (stepping->anyThreadInside()) _exit(1);
                    _exit(runInChild([] { _exit(stepping->inUseAtLastFork() ? 1 : 0); }).empty()
                              ? 0
                              : 2);
                }
                signalling.join();
                int wrong = 0;
                for (const pid_t child : forkedBySignal) wrong += !endOf(child).empty();
                _exit(wrong == 0 ? 0 : 3);
            }),
            "")
            << (region == &aRegionOfTheTests ? "a region" : "a short region");
    }
}

// Threads that enter a region first at once (the first parses or file-cache
// calls of a process's threads) make it known to the forks once: a region
// that the forks lost count of is taken for in use in every child. Eight
// fresh regions, each entered first by eight threads at once, in a process
// of their own.
TEST(ForkRegions, ThreadsThatEnterARegionFirstAtOnceMakeItKnownOnce) {
    if (!childrenOfThreadsRun) GTEST_SKIP() << "a child of a threaded parent, sanitized";
    EXPECT_EQ(runInChild([] {
                  std::vector<Quillomark::Platform::Os::ForkRegion*> regions;
                  for (int round = 0; round < 8; ++round) {
                      regions.push_back(new Quillomark::Platform::Os::ForkRegion);  // kept
                      std::atomic<int> ready{0};
                      std::vector<std::thread> threads;
                      for (int thread = 0; thread < 8; ++thread) {
                          threads.emplace_back([&ready, region = regions.back()] {
                              for (++ready; ready.load() < 8;) {
                              }
                              const Quillomark::Platform::Os::ForkRegion::Scope inside(*region);
                          });
                      }
                      for (std::thread& thread : threads) thread.join();
                  }
                  _exit(runInChild([&regions] {
                            for (auto* region : regions) {
                                if (region->inUseAtLastFork()) _exit(2);
                            }
                        }).empty()
                            ? 0
                            : 2);
              }),
              "");
}

// A child forked while another thread of its parent was in the middle of a
// change of the registered tickets cannot trust them: each
// entry refuses it with -3099, and the last error, through FccProxy too,
// says why.
TEST_F(SelfProxyServer, AChildRefusedForItsForkIsToldWhy) {
    {
        OutputCapture out(1), err(2);
        FmsClock();  // the loader's banner and warning go here
    }
    OutputCapture out(1);
    const Client::FccProxy before;
    Gate inside, leave;
    std::thread changing([&] {
        Own::synchronize();
        {
            const Quillomark::Platform::Os::ForkRegion::Scope change(Fcc::fccGuardedChanges());
            inside.open();
            leave.wait();
        }
        Own::endSynchronize();
    });
    inside.wait();
    const std::string end = runInChild([&before] {
        if (!childrenOfThreadsRun) return;
        const std::string why =
            "The file-cache interface cannot be used in a process forked while another thread of "
            "its parent was changing its registered tickets: that change may be half done. Run a "
            "new program in the child to move files.";
        const std::function<int()> entries[] = {
            [] { return Own::FCC_Init(nullptr, nullptr); },
            [] {
                int enabled = 0;
                return Own::FCC_IsFCCEnabled(&enabled);
            },
            [] {
                char* handle = nullptr;
                return Own::FCC_RegisterTicket(makeTicket(1).c_str(), &handle);
            },
            [] { return Own::FCC_Echo(); },
            [] { return Own::FCC_Term(); },
        };
        for (int i = 0; i < 5; ++i) {
            const char* text = nullptr;
            if (entries[i]() != Fcc::ERR_FMSCP_NOT_SUPPORTED) _exit(10 + i);
            if (Own::FCC_GetLastError(&text) != Fcc::ERR_FMSCP_NOT_SUPPORTED || !text ||
                text != why)
                _exit(20 + i);
        }
        const auto toldWhy = [&why](const Client::FccException& e) {
            return e.failCode() == Fcc::ERR_FMSCP_NOT_SUPPORTED && e.msg().size() > why.size() &&
                   e.msg().compare(e.msg().size() - why.size(), why.size(), why) == 0;
        };
        try {
            const Client::FccProxy made;
            _exit(30);
        } catch (const Client::FccException& e) {
            if (!toldWhy(e)) _exit(31);
        }
        try {
            std::vector<std::string> files;
            std::map<std::string, int> failures;
            before.downloadFiles({makeTicket(1)}, files, failures);
            _exit(32);
        } catch (const Client::FccException& e) {
            if (!toldWhy(e)) _exit(33);
        }
    });
    leave.open();
    changing.join();
    out.finish();
    EXPECT_EQ(end, "");
}

// A change of the registered tickets allocates nothing, so that a fork
// holds up no thread inside one for longer than a few writes: also the
// first registration of a session.
TEST_F(SelfProxyServer, ChangesOfTheRegisteredTicketsAllocateNothing) {
    countInChanges = true;
    for (int session = 0; session < 2; ++session) {
        init();
        EXPECT_EQ(Own::FCC_UnRegisterTicket(registered(makeTicket(1))), 0);
        EXPECT_EQ(Own::FCC_Term(), 0);
    }
    countInChanges = false;
    EXPECT_EQ(allocationsInChanges, 0);
}

// Children that end through exit(), as an application's do, find all that
// their parent made still reachable, also what a fork handler put a fresh
// copy in place of (LeakSanitizer looks as they end, in the sanitized
// build): forked before the interface is used, while it is in use (a file
// open and read, a last error kept) and after it ended. No thread of the
// test's own runs at a fork, so that the children run under the sanitizers
// too.
TEST_F(SelfProxyServer, ChildrenThatEndThroughExitLoseNothingOfTheirParents) {
    const auto exitingChild = [] { return runInChild([] { std::exit(0); }); };
    server.reset();
    EXPECT_EQ(exitingChild(), "") << "nothing used";
    server = std::make_unique<FakeFccServer>();
    server->addFile(makeTicket(1), "the file");
    init();
    FccFile* file = nullptr;
    ASSERT_EQ(Own::FCC_OpenFile(registered(makeTicket(1)), &file), 0);
    char bytes[8];
    int read = 0;
    ASSERT_EQ(Own::FCC_ReadBytes(file, "IMD", sizeof bytes, &read, bytes), 0);
    EXPECT_EQ(Own::FCC_OpenFile(registered(makeTicket(2)), &file), Fcc::ERR_FMSCP_BAD_TICKET);
    EXPECT_NE(lastError(), "");
    server.reset();
    EXPECT_EQ(exitingChild(), "") << "in use";
    EXPECT_EQ(Own::FCC_Term(), 0);
    EXPECT_EQ(exitingChild(), "") << "ended";
}

// A callback that stops its transfer: it cancels (leaves the flag at 0)
// or returns result, and counts its calls.
struct Stopping {
    int result = 0;
    int calls = 0;
};

int stoppingProgress(void*, void* data, std::int64_t, std::int64_t, int*) {
    auto* stopping = static_cast<Stopping*>(data);
    ++stopping->calls;
    return stopping->result;
}

// Lets the transfer go on at the first report and throws at the second.
int throwingProgress(void*, void* data, std::int64_t, std::int64_t, int* go) {
    if (++static_cast<Stopping*>(data)->calls == 2) throw std::runtime_error("stopped");
    *go = 1;
    return 0;
}

// A download whose callback waits, at the first report, to be cancelled
// with its thread.
struct Cancelled {
    char* handle;
    Gate reported;
};

unsigned downloadUntilCancelled(void* data) {
    auto* cancelled = static_cast<Cancelled*>(data);
    char* path = nullptr;
    Own::FCC_DownloadFileFromPLM(
        "IMD", cancelled->handle,
        [](void*, void* data, std::int64_t, std::int64_t, int*) {
            static_cast<Cancelled*>(data)->reported.open();
            // Cancelled here, not inside a blocking call, which the thread
            // sanitizer could not follow out of.
            for (;;) {
                pthread_testcancel();
                sched_yield();
            }
            return 0;
        },
        cancelled, &path);
    return 0;
}

// The callback's stop (a cancel, a failure, a throw) is the transfer's end,
// also with a server that goes on as though it had been told to: the
// callback is not asked again and nothing the server sends after the stop
// is handed out. A server that reports progress once more has lost step
// and loses its pipe; one whose result comes next keeps it.
TEST_F(SelfProxyServer, AStoppedTransferEndsWithTheStopWhateverTheServerAnswers) {
    server->addFile(makeTicket(1), std::string(5000, 'p'));
    server->setProgressReports(3);
    server->setIgnoreStop(true);
    init();
    char* handle = registered(makeTicket(1));

    Stopping cancel;
    char* path = nullptr;
    EXPECT_EQ(Own::FCC_DownloadFileFromPLM("IMD", handle, stoppingProgress, &cancel, &path),
              Fcc::ERR_FMSCP_CANCELLED);
    EXPECT_EQ(path, nullptr);
    EXPECT_EQ(cancel.calls, 1);
    Stopping fail{-42};
    EXPECT_EQ(Own::FCC_DownloadFileToLocation("IMD", handle, stoppingProgress, &fail, root.c_str(),
                                              "out.bin"),
              -42);
    EXPECT_EQ(fail.calls, 1);
    Stopping cancelUpload;
    char* volume = nullptr;
    EXPECT_EQ(Own::FCC_UploadFileToPLM(handle, stoppingProgress, &cancelUpload, "/data/a", &volume),
              Fcc::ERR_FMSCP_CANCELLED);
    EXPECT_EQ(volume, nullptr);
    EXPECT_EQ(cancelUpload.calls, 1);
    Stopping failUpload{-42};
    EXPECT_EQ(Own::FCC_UploadFileToPLM(handle, stoppingProgress, &failUpload, "/data/a", &volume),
              -42);
    EXPECT_EQ(volume, nullptr);
    EXPECT_EQ(failUpload.calls, 1);
    // Untranslated: the pipe that went out of step is gone.
    EXPECT_EQ(lastError(), "ERR_FMSCP_UNKNOWN");

    server->setProgressReports(1);
    EXPECT_EQ(Own::FCC_Echo(), 0);
    const int connections = server->connectionsAccepted();
    Stopping last;
    EXPECT_EQ(Own::FCC_DownloadFileFromPLM("IMD", handle, stoppingProgress, &last, &path),
              Fcc::ERR_FMSCP_CANCELLED);
    EXPECT_EQ(path, nullptr);
    EXPECT_EQ(last.calls, 1);
    EXPECT_EQ(Own::FCC_Echo(), 0);
    EXPECT_EQ(server->connectionsAccepted(), connections);

    // A throw is a cancel: the file is closed and freed each time.
    server->setProgressReports(2);
    for (int i = 0; i < 3; ++i) {
        Stopping throwing;
        EXPECT_EQ(Own::FCC_DownloadFileFromPLM("IMD", handle, throwingProgress, &throwing, &path),
                  Fcc::ERR_FMSCP_CANCELLED);
        EXPECT_EQ(throwing.calls, 2);
    }
    EXPECT_EQ(Fcc::openFileCount(), 0u);
    EXPECT_EQ(Own::FCC_Echo(), 0);
    EXPECT_EQ(server->connectionsAccepted(), connections);

    // So is a thread cancelled in its callback: the file is freed as the
    // thread unwinds.
    Cancelled cancelled{handle, {}};
    std::thread thread(downloadUntilCancelled, &cancelled);
    cancelled.reported.wait();
    pthread_cancel(thread.native_handle());
    thread.join();
    EXPECT_EQ(Fcc::openFileCount(), 0u);
}

}  // namespace
