// The exported entries of the file-cache interface are C functions: a call
// made while no memory is left, the process's first among them, returns and
// lets no exception out to a C caller (from a static constructor that runs
// before the library's own: LoaderBeforeTheLibrary_test.cxx). An
// application's whole session, run again with each of its allocations
// failing, ends each call with 0 or -3009, holds nothing and leaves the
// next session to work.

#include <fcc/FccErrorCodes.hxx>
#include <fcc/FccException.hxx>
#include <fcc/FccProxy.hxx>
#include <fcc/fastcache/internal/FmscInterface.hxx>
#include <fcc/pipe/internal/FccProtocol.hxx>
#include <fcc/pipe/internal/FccTransport.hxx>
#include <fcc/runtime/internal/FccRuntime.hxx>
#include <fcc/runtime/internal/FccTiming.hxx>
#include <platform/os/internal/MessagePipe.hxx>
#include <tests/fastcache/ChildProcess.hxx>
#include <tests/support/AllocationSweep.hxx>
#include <tests/fcc/EntriesWithoutMemory.hxx>
#include <tests/fcc/ThreadedCalls.hxx>
#include <tests/support/FakeFccServer.hxx>
#include <tests/support/FreshFolder.hxx>

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#if QMSOA_TEST_SANITIZED
#include <sanitizer/lsan_interface.h>
#endif

namespace {

namespace Failing = Quillomark::Testing::FailingAllocations;
namespace Fcc = Quillomark::Fcc;
using Quillomark::Testing::childSays;
using Quillomark::Testing::entriesThatThrowWithoutMemory;
using Quillomark::Testing::tell;

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

// A child forked without the memory to set the interface up anew (its
// locks, which a thread of the parent may hold) gets control back from fork
// all the same, nothing having crossed the C library's frames, and the
// interface refuses every call there with -3099.
TEST(FccEntriesWithoutMemory, AChildForkedWithoutMemoryForItsSetUpIsRefused) {
    const std::string home = Quillomark::Testing::freshFolder("set-up-in-child-");
    EXPECT_EQ(Quillomark::Testing::runInChild([&home] {
                  dup2(::open("/dev/null", O_WRONLY), 2);  // the loader's reports
                  setenv("FMS_HOME", home.c_str(), 1);
                  Fcc::FccInitLocks();  // which a child makes anew
                  Failing::failOnce = false;
                  Failing::failAfter = 0;
                  const pid_t child = fork();
                  Failing::failAfter = -1;
                  if (child == 0) {
                      const char* text = nullptr;
                      _exit(FCC_Init(nullptr, nullptr) == Fcc::ERR_FMSCP_NOT_SUPPORTED &&
                                    FCC_GetLastError(&text) == Fcc::ERR_FMSCP_NOT_SUPPORTED
                                ? 0
                                : 4);
                  }
                  // 3: fork threw in the child; 4: the interface was not refused.
                  const std::string ended = Quillomark::Testing::endOf(child);
                  if (!ended.empty()) _exit(ended == "exit 3" ? 5 : 6);
              }),
              "");
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

// ---- A whole session, each of its allocations failing in turn -------------

// The pair given to FCC_Init: its blocks come from the replaced allocation
// functions too, so that they fail and are counted with the rest.
std::atomic<long> pairBlocks{0};

void* pairAllocate(std::size_t size) {
    try {
        void* block = ::operator new(size);
        ++pairBlocks;
        return block;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void pairRelease(void* block) {
    if (!block) return;
    --pairBlocks;
    ::operator delete(block);
}

const std::string& sweptTicket() {
    static const std::string ticket = [] {
        std::string made(300, 't');
        return made.replace(64, 4, "v123");
    }();
    return ticket;
}

// The ticket of another file, for the batches.
const std::string& secondTicket() {
    static const std::string ticket = "2" + sweptTicket().substr(1);
    return ticket;
}

// Makes the folder FMS_HOME, with its pipes' folder and a launch script
// that starts no server; the tickets are made before the children, whose
// allocations are swept.
void homeAt(const std::string& root) {
    mkdir(root.c_str(), 0700);
    setenv("FMS_HOME", root.c_str(), 1);
    setenv("FMS_IPC_DIR", (root + "/ipc").c_str(), 1);
    mkdir((root + "/ipc").c_str(), 0700);
    const std::string script = root + "/startfcc.bat";
    std::ofstream(script) << "#!/bin/sh\nexit 3\n";
    chmod(script.c_str(), 0755);
    secondTicket();
}

// The fake server as a program of its own, whose allocations are not this
// process's, in a home of the case's; it knows the file of sweptTicket().
class ServerProgram {
public:
    explicit ServerProgram(const std::string& prefix) {
        homeAt(Quillomark::Testing::freshFolder(prefix));
        const std::string master = Quillomark::Platform::Os::pipePath(Fcc::FCC_DEFAULT_PIPE_NAME);
        server = fork();
        if (server == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            // A client whose memory ran out after it was given a secondary
            // pipe never connects to it: the next one is served soon.
            setenv("FAKE_FCC_SECONDARY_WAIT_MS", "200", 1);
            execl(QMSOA_FAKE_FCC_SERVER, "fake_fcc_server", sweptTicket().c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        // Listening once its pipe is there; a client that comes before it
        // listens tries again.
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (::access(master.c_str(), F_OK) != 0 && std::chrono::steady_clock::now() < limit) {
            std::this_thread::yield();
        }
    }
    ~ServerProgram() {
        ::kill(server, SIGTERM);
        waitpid(server, nullptr, 0);
    }
    ServerProgram(const ServerProgram&) = delete;
    ServerProgram& operator=(const ServerProgram&) = delete;

private:
    pid_t server = -1;
};

// The server of one process's sessions, in a process of its own whose
// allocations are not the sessions': the fake server, which knows the files
// of both tickets and reports progress once in each transfer, with the fast
// cache that it shares holding the first ticket's file, as a server that
// cached it. Asked, it makes its cache anew (as a server that restarts),
// tells the uploads it keeps and the reads that its caches served, refuses
// the next close with an error reply (whose text takes memory to keep), or
// holds the reply to the next open until it is let go.
class SessionServer {
public:
    SessionServer() {
        int asking[2], telling[2];
        if (::pipe(asking) != 0 || ::pipe(telling) != 0) _exit(6);
        server = fork();
        if (server == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            ::close(asking[1]);
            ::close(telling[0]);
            serve(asking[0], telling[1]);
            _exit(0);
        }
        ::close(asking[0]);
        ::close(telling[1]);
        ask = asking[1];
        told = telling[0];
        if (Quillomark::Testing::hear(told) != 'r') _exit(7);
    }
    ~SessionServer() {
        ::close(ask);
        waitpid(server, nullptr, 0);
        ::close(told);
    }
    SessionServer(const SessionServer&) = delete;
    SessionServer& operator=(const SessionServer&) = delete;

    void makeCacheAnew() { answer('m'); }
    // Uploads made and not rolled back.
    int keptUploads() { return answer('k'); }
    int uploadsMade() { return answer('u'); }
    int cacheReads() { return answer('h'); }
    void refuseTheNextClose() { answer('c'); }
    void holdTheNextOpen() { answer('o'); }
    // Whether an open is held (within 20 s).
    bool holding() { return answer('w') == 1; }
    void letGo() { answer('g'); }

private:
    int answer(char question) {
        Quillomark::Testing::say(ask, question);
        return static_cast<unsigned char>(Quillomark::Testing::hear(told));
    }

    static void serve(int ask, int tell) {
        namespace Testing = Quillomark::Testing;
        static const std::string content = "The file of ticket 1.\n";
        Testing::FakeFccServer fake(
            Fcc::FCC_DEFAULT_PIPE_NAME,
            {{sweptTicket(), content}, {secondTicket(), "The file of ticket 2.\n"}});
        // A client whose memory ran out after it was given a secondary pipe
        // never connects to it: the next one is served soon.
        fake.setSecondaryConnectWait(200);
        fake.setProgressReports(1);
        const std::string folder = std::string(std::getenv("FMS_HOME")) + "/fms-cache";
        mkdir(folder.c_str(), 0700);
        fake.describeCacheFolder(folder);
        Fcc::FMSC_OPEN_PARAMS params = Testing::FakeFccServer::describedCache();
        params.folder = folder.c_str();
        const std::string guid = sweptTicket().substr(70, 32);
        Fcc::FMSC_FILETOC_T* cache = nullptr;
        const auto open = [&] {
            std::int32_t first = -1;
            if (Fcc::FMSCIF_OpenS(&params, &cache) != 0 ||
                Fcc::FMSCIF_AddFile(cache, guid.c_str(), content.size(), 0, &first) != 0 ||
                Fcc::FMSCIF_WriteData(cache, &first, 0,
                                      reinterpret_cast<const std::uint8_t*>(content.data()),
                                      std::int32_t(content.size())) != 0) {
                _exit(8);
            }
        };
        open();
        long readsBefore = 0;  // of the caches made before this one
        Testing::say(tell, 'r');
        for (char question; (question = Testing::hear(ask)) != 0;) {
            long answer = 0;
            if (question == 'm') {
                readsBefore += cache->shared->hits;
                Fcc::FMSCIF_Close(&cache);
                open();
            } else if (question == 'h') {
                answer = readsBefore + cache->shared->hits;
            } else if (question == 'c') {
                fake.setErrorReply(-3003, "the handle is not open on this connection");
                fake.injectFault(Fcc::FMS_CLOSE_MSG, Testing::FakeFccServer::Fault::ErrorReply);
            } else if (question == 'o') {
                fake.injectFault(Fcc::FMS_OPEN_MSG, Testing::FakeFccServer::Fault::Hold);
            } else if (question == 'w') {
                answer = fake.waitUntilHolding(1, 20000);
            } else if (question == 'g') {
                fake.releaseHeld();
            } else if (question == 'u') {
                answer = fake.uploadsMade();
            } else {
                const std::vector<std::string> rolledBack = fake.rolledBack();
                for (int made = 1; made <= fake.uploadsMade(); ++made) {
                    answer += std::count(rolledBack.begin(), rolledBack.end(),
                                         "VOL" + std::to_string(made)) == 0;
                }
            }
            Testing::say(tell, char(answer));
        }
        Fcc::FMSCIF_Close(&cache);
    }

    pid_t server = -1;
    int ask = -1;
    int told = -1;
};

// Waits until the threads that the interface started have ended, so that
// what they free is freed.
void waitForTheOtherThreads() {
    for (;;) {
        int threads = 0;
        if (DIR* tasks = opendir("/proc/self/task")) {
            while (const dirent* task = readdir(tasks)) threads += task->d_name[0] != '.';
            closedir(tasks);
        }
        if (threads <= 1) return;
        std::this_thread::yield();
    }
}

unsigned tellStarted(void* fd) {
    Quillomark::Testing::say(*static_cast<int*>(fd), 's');
    return 0;
}

// One session of an application that moves files every way the interface
// has, one at a time and in batches, reading one from the fast cache,
// going on as far as what its calls made lets it. Every call gives what it
// gives with memory, or -3009 when an allocation of its own failed (then,
// or from then on); none throws; the server keeps the uploads that the
// application was told it keeps. The interface ends in a progress
// callback, after which nothing of the pair is held. With counts, the
// allocations that each entry made are added up there.
class Session {
public:
    // Allocation failAfter of the entries' own fails (-1: none), alone or
    // with every one after it as the hook says; with counts, the
    // allocations that each entry made are added up there.
    explicit Session(SessionServer& server, long failAfter = -1,
                     std::map<std::string, long>* counts = nullptr)
        : server(server), counts(counts), failAfter(counts ? LONG_MAX : failAfter) {}

    // Whether the allocation to fail came.
    bool reached() const { return failAfter <= 0; }

    std::string run() {
        int enabled = -1;
        expect(
            "FCC_IsFCCEnabled", [&] { return FCC_IsFCCEnabled(&enabled); }, 0);
        if (enabled == 1) {
            // Attaching to the fast cache as it is set up, which the
            // application then has emptied.
            setenv("FCC_PROXY_OPEN_CACHE_EARLY", "1", 1);
            expect(
                "FCC_Init", [] { return FCC_Init(pairAllocate, pairRelease); }, 0);
            unsetenv("FCC_PROXY_OPEN_CACHE_EARLY");
        }
        if (initialized) files();
        std::optional<Quillomark::Soa::Client::FccProxy> proxy;
        use(
            "FccProxy", [&] { proxy.emplace(); }, "FccProxy::FccProxy");
        if (proxy) {
            const std::vector<std::string> tickets{sweptTicket()};
            std::vector<std::string> paths;
            std::map<std::string, int> failures;
            use(
                "FccProxy", [&] { proxy->downloadFiles(tickets, paths, failures); },
                "FccProxy::downloadFiles");
            use(
                "FccProxy", [&] { proxy.reset(); }, "FccProxy::~FccProxy");
        }
        int started[2];
        if (::pipe(started) != 0) return "no pipe\n";
        std::uint32_t id = 0;
        FccThreadHandle thread = nullptr;
        call("FCCStartThread", [&] {
            thread = FCCStartThread(tellStarted, &started[1], &id);
            return 0;
        });
        if (thread && (Quillomark::Testing::hear(started[0]) != 's' || id == 0)) {
            wrong += "FCCStartThread: the thread did not run\n";
        }
        ::close(started[0]);
        ::close(started[1]);
        return wrong;
    }

private:
    void files() {
        keptBefore = server.keptUploads();
        expect(
            "FCC_SetLocale", [] { return FCC_SetLocale("a locale of the sweep's"); }, 0);
        expect(
            "FCC_Echo", [] { return FCC_Echo(); }, 0);
        expect(
            "FmsClearCache", [] { return FmsClearCache(); }, 0);
        char* handle = nullptr;
        expect(
            "FCC_RegisterTicket",
            [&] { return FCC_RegisterTicket(sweptTicket().c_str(), &handle); }, 0);
        FccFile* file = nullptr;
        if (handle)
            expect(
                "FCC_OpenFile", [&] { return FCC_OpenFile(handle, &file); }, 0);
        if (file) {
            std::int64_t size = 0;
            expect(
                "FCC_FileSize", [&] { return FCC_FileSize(file, &size); }, 0);
            expect(
                "FCC_RefreshFileTicket",
                [&] { return FCC_RefreshFileTicket(file, sweptTicket().c_str()); }, 0);
        }
        // Reads from the fast cache; once the server has made its cache
        // anew, over the pipe, as the client leaves the old one; and from the
        // new one, which the client attaches to again (and termination
        // leaves).
        for (int time = 0; file && time < 3; ++time) {
            if (time == 1) server.makeCacheAnew();
            expect(
                "FCC_SeekAbsolute", [&] { return FCC_SeekAbsolute(file, 0); }, 0);
            char bytes[100];
            int read = 0;
            if (expect(
                    "FCC_ReadBytes",
                    [&] { return FCC_ReadBytes(file, "IMD", sizeof bytes, &read, bytes); }, 0) &&
                std::string(bytes, read) != "The file of ticket 1.\n") {
                wrong += "FCC_ReadBytes: read the wrong bytes\n";
            }
        }
        if (file) {
            expect(
                "FCC_SeekAbsolute", [&] { return FCC_SeekAbsolute(file, 4); }, 0);
            expect(
                "FCC_ScheduleRange", [&] { return FCC_ScheduleRange(file, "IMD", 0, 10); }, 0);
            char* guid = nullptr;
            expect(
                "FCC_GetFileGUID", [&] { return FCC_GetFileGUID(file, &guid); }, 0);
            pairRelease(guid);
            expect(
                "FCC_CloseFileHandlePointer", [&] { return FCC_CloseFileHandlePointer(file); }, 0);
        }
        if (handle) {
            expect(
                "FCC_DownloadFileToLocation",
                [&] {
                    return FCC_DownloadFileToLocation("IMD", handle, nullptr, nullptr,
                                                      "/a/folder/of/the/sweep", "file");
                },
                0);
            char* path = nullptr;
            if (expect(
                    "FCC_DownloadFileFromPLM",
                    [&] { return FCC_DownloadFileFromPLM("IMD", handle, nullptr, nullptr, &path); },
                    0) &&
                !path) {
                wrong += "FCC_DownloadFileFromPLM: no path\n";
            }
            pairRelease(path);
            server.refuseTheNextClose();  // the end of the next transfer
            char* volume = nullptr;
            if (expect(
                    "FCC_UploadFileToPLM",
                    [&] {
                        return FCC_UploadFileToPLM(handle, nullptr, nullptr, "/a/file/of/the/sweep",
                                                   &volume);
                    },
                    0) &&
                !volume) {
                wrong += "FCC_UploadFileToPLM: no volume\n";
            }
            kept += volume != nullptr;
            if (volume && expect(
                              "FCC_RollbackFileUploadedToPLM",
                              [&] { return FCC_RollbackFileUploadedToPLM(handle, volume); }, 0)) {
                --kept;
            }
            pairRelease(volume);
            // Without a volume ID, an upload that reached the server stays.
            const int made = server.uploadsMade();
            if (expect(
                    "FCC_UploadFileToPLM without a volume ID",
                    [&] {
                        return FCC_UploadFileToPLM(handle, nullptr, nullptr, "/a/file/of/the/sweep",
                                                   nullptr);
                    },
                    0)) {
                ++kept;
            } else if (server.uploadsMade() != made) {
                wrong += "FCC_UploadFileToPLM without a volume ID: taken back\n";
            }
            checkUploads("FCC_UploadFileToPLM");
            // A ticket registered again has the same handle, and stays
            // registered until each registration has gone.
            char* again = nullptr;
            if (expect(
                    "FCC_RegisterTicket",
                    [&] { return FCC_RegisterTicket(sweptTicket().c_str(), &again); }, 0) &&
                again != handle) {
                wrong += "FCC_RegisterTicket: another handle for the same ticket\n";
            }
            if (again)
                expect(
                    "FCC_UnRegisterTicket", [&] { return FCC_UnRegisterTicket(again); }, 0);
            batches();
            const char* text = nullptr;
            expect(
                "FCC_GetLastError", [&] { return FCC_GetLastError(&text); }, 0);
            // The interface ends in a progress callback of a download, which
            // it cancels. An entry that runs on after the end records
            // nothing: a thread that it gave a connection record would hold
            // buffers of the pair.
            path = nullptr;
            expect(
                "FCC_DownloadFileFromPLM, ending",
                [&] { return FCC_DownloadFileFromPLM("IMD", handle, endInCallback, this, &path); },
                Fcc::ERR_FMSCP_CANCELLED);
            pairRelease(path);
            if (endedWith != 0) wrong += "FCC_Term gave " + std::to_string(endedWith) + "\n";
        }
        // Ending needs no memory.
        if (!ended)
            expect(
                "FCC_Term", [] { return FCC_Term(); }, 0, false);
        if (pairBlocks != 0) {
            wrong += std::to_string(pairBlocks) + " blocks of the pair held once it ended\n";
        }
    }

    static int endInCallback(void*, void* session, std::int64_t, std::int64_t, int* goOn) {
        auto* self = static_cast<Session*>(session);
        self->ended = true;
        self->endedWith = FCC_Term();
        *goOn = 0;
        return 0;
    }

    // The batches, over the two tickets' files, each file's status as the
    // single entry gives it: registrations, downloads and downloads into a
    // folder, uploads that stop at the first failure or go on, with the
    // volume IDs and without, rollbacks of those the application keeps, and
    // the end of the registrations (the first ticket stays registered by the
    // single registration). A handle no longer registered: its error,
    // translated, as the batches' last.
    void batches() {
        const char* tickets[] = {sweptTicket().c_str(), secondTicket().c_str()};
        char* handles[2] = {};
        int statuses[2];
        batch(
            "FCC_RegisterTickets",
            [&] { return FCC_RegisterTickets(2, tickets, handles, statuses); }, statuses, false);
        if (handles[0] && handles[1]) {
            char* paths[2] = {};
            batch(
                "FCC_DownloadFilesFromPLM",
                [&] {
                    return FCC_DownloadFilesFromPLM("IMD", 2, handles, nullptr, nullptr, paths,
                                                    statuses);
                },
                statuses, true);
            for (char* path : paths) pairRelease(path);
            const char* names[] = {"one", "two"};
            batch(
                "FCC_DownloadFilesToLocation",
                [&] {
                    return FCC_DownloadFilesToLocation("IMD", 2, handles, nullptr, nullptr,
                                                       "/a/folder/of/the/sweep", names, statuses);
                },
                statuses, true);
            for (const int goOn : {0, 1}) {
                for (const bool withIds : {false, true}) uploads(handles, goOn, withIds);
            }
            batch(
                "FCC_UnRegisterTickets",
                [&] { return FCC_UnRegisterTickets(2, handles, statuses); }, statuses, true);
        } else {
            for (char* registered : handles) {
                if (registered)
                    expect(
                        "FCC_UnRegisterTicket", [&] { return FCC_UnRegisterTicket(registered); },
                        0);
            }
        }
        expect(
            "FCC_UnRegisterTicket", [&] { return FCC_UnRegisterTicket(handles[1]); },
            Fcc::ERR_FMSCP_BAD_TICKET);
    }

    // A batch of two uploads. Where one fails, a batch that stops takes
    // back the upload before it, whose status becomes that rollback's where
    // it fails; with the volume IDs, the application takes back those that
    // it keeps with a batch of rollbacks. Without them, no upload that
    // reached the server is taken back for want of an ID that nobody needs:
    // a batch that goes on needs none, one that stops the first file's alone.
    void uploads(char** handles, int goOn, bool withIds) {
        const char* files[] = {"/a/file/of/the/batch", "/another/file/of/the/batch"};
        int statuses[2];
        char* ids[2] = {};
        const int madeBefore = server.uploadsMade();
        const int result = batch(
            "FCC_UploadFilesToPLM",
            [&] {
                return FCC_UploadFilesToPLM(2, handles, nullptr, nullptr, files, goOn,
                                            withIds ? ids : nullptr, statuses);
            },
            statuses, !goOn);
        bool keeps[2] = {};
        for (int i = 0; i < 2 && statuses[i] != Fcc::ERR_FMSCP_NOT_EXECUTED; ++i) {
            const bool stopped = !goOn && result != 0;
            keeps[i] = stopped ? i + 1 < 2 && statuses[i + 1] != Fcc::ERR_FMSCP_NOT_EXECUTED &&
                                     statuses[i] != 0
                               : statuses[i] == 0;
            kept += keeps[i];
        }
        const bool stopped = !goOn && result != 0;
        const bool atTheSecond = statuses[1] != Fcc::ERR_FMSCP_NOT_EXECUTED;
        const int made = server.uploadsMade() - madeBefore;
        if (!withIds && (!stopped || atTheSecond) &&
            made != keeps[0] + keeps[1] + (stopped && !keeps[0])) {
            wrong += "FCC_UploadFilesToPLM without volume IDs: " + std::to_string(made) +
                     " made, statuses " + std::to_string(statuses[0]) + ", " +
                     std::to_string(statuses[1]) + "\n";
        }
        checkUploads("FCC_UploadFilesToPLM");
        if (goOn && withIds) {
            const char* volumes[] = {ids[0], ids[1]};
            batch(
                "FCC_RollbackFilesUploadedToPLM",
                [&] { return FCC_RollbackFilesUploadedToPLM(2, handles, volumes, statuses); },
                statuses, false);
            for (int i = 0; i < 2; ++i) kept -= keeps[i] && statuses[i] == 0;
            checkUploads("FCC_RollbackFilesUploadedToPLM");
        }
        for (char* id : ids) pairRelease(id);
    }

    // The server keeps the uploads that the application was told it keeps.
    void checkUploads(const char* after) {
        const int onServer = server.keptUploads() - keptBefore;
        if (onServer != kept) {
            wrong += std::string(after) + ": the server keeps " + std::to_string(onServer) +
                     " uploads, the application was told of " + std::to_string(kept) + "\n";
        }
    }

    // Runs an entry, its allocations alone failing: its result, or INT_MIN
    // when it threw. ranOut tells whether an allocation failed in it.
    template <typename Call>
    int call(const char* entry, Call entryCall) {
        const long before = failAfter;
        Failing::failAfter = failAfter;
        int result = INT_MIN;
        bool threw = false;
        try {
            result = entryCall();
        } catch (...) {
            threw = true;
        }
        failAfter = Failing::failAfter;
        Failing::failAfter = -1;
        if (threw) wrong += std::string(entry) + " threw\n";
        ranOut = before >= 0 && (failAfter == -1 || (failAfter == 0 && !Failing::failOnce));
        if (counts) {
            (*counts)[entry] += LONG_MAX - failAfter;
            failAfter = LONG_MAX;
        }
        return result;
    }

    // Whether the entry gave what it gives with memory; -3009 where memory
    // ran out in it is no fault, but for an ending.
    template <typename Call>
    bool expect(const char* entry, Call entryCall, int good, bool mayRunOut = true) {
        const int result = call(entry, entryCall);
        if (result == good) {
            if (std::string(entry) == "FCC_Init") initialized = true;
            return true;
        }
        if (result != INT_MIN && !(mayRunOut && ranOut && result == Fcc::ERR_FMSCP_OUT_OF_MEMORY)) {
            wrong += std::string(entry) + " gave " + std::to_string(result) + "\n";
        }
        return false;
    }

    // A batch entry over two files: their statuses as the single entries
    // give them, -3009 for a file in which memory ran out, and the batch's
    // result: a batch that stops at its first failure gives that failure's
    // status, leaving the files after it not executed (one of uploads stops
    // after the rollbacks of those before, whose statuses are theirs where
    // they fail); one that goes on, the count of failed files. Memory that
    // runs out before the first file gives -3009 alone.
    template <typename Call>
    int batch(const char* entry, Call entryCall, const int (&statuses)[2], bool stops) {
        const int result = call(entry, entryCall);
        int done = 0;
        int failed = 0;
        bool sound = true;
        for (const int status : statuses) {
            if (status == Fcc::ERR_FMSCP_NOT_EXECUTED && (done == 0 || stops)) break;
            ++done;
            failed += status == Fcc::ERR_FMSCP_OUT_OF_MEMORY;
            sound = sound && (status == 0 || status == Fcc::ERR_FMSCP_OUT_OF_MEMORY);
        }
        for (int i = done; i < 2; ++i) sound = sound && statuses[i] == Fcc::ERR_FMSCP_NOT_EXECUTED;
        if (done == 0) {
            sound = sound && result == Fcc::ERR_FMSCP_OUT_OF_MEMORY;
        } else if (stops) {
            const bool stopped = statuses[done - 1] != 0;
            sound = sound && (done == 2 || stopped) &&
                    result == (stopped ? Fcc::ERR_FMSCP_OUT_OF_MEMORY : 0);
        } else {
            sound = sound && done == 2 && result == failed;
        }
        if (result != INT_MIN && !(sound && (ranOut || (result == 0 && failed == 0)))) {
            wrong += std::string(entry) + " gave " + std::to_string(result) + " (" +
                     std::to_string(statuses[0]) + ", " + std::to_string(statuses[1]) + ")\n";
        }
        return result;
    }

    // A step of FccProxy's: it throws FccException -3009 when memory runs
    // out, or, in a transfer, std::bad_alloc (filling the caller's
    // containers) or the count of tickets whose registration failed.
    template <typename Step>
    void use(const char* counted, Step step, const char* what) {
        std::string thrown;
        int code = 0;
        call(counted, [&] {
            try {
                step();
            } catch (const Quillomark::Soa::Client::FccException& e) {
                thrown = "FccException";
                code = e.failCode();
            } catch (const std::bad_alloc&) {
                thrown = "std::bad_alloc";
            }
            return 0;
        });
        if (thrown.empty()) return;
        // A transfer's batch registration tells how many of its tickets
        // failed.
        const bool transfer = std::string(what) == "FccProxy::downloadFiles";
        const bool forMemory = thrown == "FccException"
                                   ? code == Fcc::ERR_FMSCP_OUT_OF_MEMORY || (transfer && code == 1)
                                   : transfer;
        if (!ranOut || !forMemory) {
            wrong += std::string(what) + " threw " + thrown + " " + std::to_string(code) + "\n";
        }
    }

    SessionServer& server;
    std::map<std::string, long>* counts;
    long failAfter;
    bool ranOut = false;
    bool initialized = false;
    // Uploads the server keeps as the application was told, from those it
    // kept before the session.
    int kept = 0;
    int keptBefore = 0;
    bool ended = false;  // in the callback
    int endedWith = 0;
    std::string wrong;
};

// The torture run: the session in a process of its own with allocation n
// failing, alone and with every one after it, for every n that it makes;
// each call gives 0 or -3009, none throws, nothing is held once it ended
// and the next whole session works. The allocations each entry made are
// printed.
TEST(FccEntriesWithoutMemory, AWholeSessionWithEachAllocationFailing) {
    // Each child has a home of its own, so that a few run at once: a child
    // spends most of its time waiting for its server and the kernel.
    const std::string root = Quillomark::Testing::freshFolder("whole-session-");
    // A server's cache made anew is attached to again at the next read.
    Fcc::Testing::setFccWait(&Fcc::FccTiming::cacheReattachPause, 0);
    // The client's caches keep a log, whose name takes memory to read.
    setenv("FMSC_DEFAULT_LOGFILE", "the-client-of-the-sweep.log", 1);

    std::string counted;
    ASSERT_EQ(childSays(
                  [&root](int fd) {
                      homeAt(root + "/counted");
                      SessionServer server;
                      std::map<std::string, long> counts;
                      const std::string wrong = Session(server, -1, &counts).run();
                      std::string text;
                      for (const auto& [entry, count] : counts) {
                          text += entry + " " + std::to_string(count) + "\n";
                      }
                      text +=
                          "reads from the fast cache " + std::to_string(server.cacheReads()) + "\n";
                      tell(fd, wrong.empty() ? text : "wrong:\n" + wrong);
                  },
                  counted),
              "");
    ASSERT_EQ(counted.find("wrong"), std::string::npos) << counted;
    ASSERT_NE(counted.find("reads from the fast cache 2\n"), std::string::npos) << counted;
    std::cout << "Allocations by entry, in the process's first session:\n" << counted;

    std::string wrong;
    const long points = Quillomark::Testing::sweepAllocations(
        [&root](long allocation, int fd) {
            const std::string home =
                root + (Failing::failOnce ? "/only-" : "/from-") + std::to_string(allocation);
            std::string session;
            {
                homeAt(home);
                SessionServer server;
                Session failing(server, allocation);
                session = failing.run();
                if (!failing.reached()) _exit(Quillomark::Testing::PAST_THE_LAST);
                const int reads = server.cacheReads();
                session += Session(server).run();
                if (server.cacheReads() - reads != 2) {
                    session += "the next session read " +
                               std::to_string(server.cacheReads() - reads) +
                               " times from the fast cache\n";
                }
                waitForTheOtherThreads();
                if (pairBlocks != 0) {
                    session += std::to_string(pairBlocks) + " blocks of the pair held\n";
                }
#if QMSOA_TEST_SANITIZED
                if (__lsan_do_recoverable_leak_check() != 0) session += "leaks\n";
#endif
            }
            std::error_code ignored;
            std::filesystem::remove_all(home, ignored);
            tell(fd, session);
        },
        8, std::chrono::seconds(60),
        [&wrong](const Quillomark::Testing::SweepPoint& point) {
            if (!point.ended.empty() || !point.said.empty()) {
                wrong += std::string(point.once ? "only" : "from") + " allocation " +
                         std::to_string(point.allocation) + ": " +
                         (point.ended.empty() ? "" : point.ended + "; ") + point.said + "\n";
            }
        });
    std::cout << points << " allocations swept\n";
    EXPECT_EQ(wrong, "");
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
    unsetenv("FMSC_DEFAULT_LOGFILE");
}

// An entry that runs out of memory after another thread ended the
// interface under it records nothing: a connection record that its thread
// got for it would hold buffers of the pair once the interface has ended.
TEST(FccEntriesWithoutMemory, AnEntryThatRunsOutOnceTheInterfaceEnded) {
    homeAt(Quillomark::Testing::freshFolder("after-the-end-"));
    std::string said;
    EXPECT_EQ(childSays(
                  [](int fd) {
                      SessionServer server;
                      char* handle = nullptr;
                      if (FCC_Init(pairAllocate, pairRelease) != 0 ||
                          FCC_RegisterTicket(sweptTicket().c_str(), &handle) != 0) {
                          _exit(4);
                      }
                      server.holdTheNextOpen();
                      // Its first allocation once the file is open on the
                      // server: the folder's path with the name.
                      auto download = Quillomark::Testing::onThread([handle] {
                          return FCC_DownloadFileToLocation("IMD", handle, nullptr, nullptr,
                                                            "/a/folder/of/the/case", "file");
                      });
                      if (!server.holding() || FCC_Term() != 0) _exit(5);
                      Failing::failOnce = true;
                      Failing::failAfter = 0;
                      server.letGo();
                      const int status = Quillomark::Testing::within(download, 20, "download");
                      Failing::failAfter = -1;
                      tell(fd, "gave " + std::to_string(status) + ", " +
                                   std::to_string(pairBlocks) + " blocks of the pair held");
                  },
                  said),
              "");
    EXPECT_EQ(said, "gave -3009, 0 blocks of the pair held");
}

// The handles of tickets are cut from chunks of 16 MiB of their own: a
// registration that needs a new chunk, once one is full, with each of its
// allocations failing (the pair's do not), alone and with every one after
// it, gives -3009 and holds nothing, and the next registration works. A
// registration that begins a chunk is told by the allocations it makes
// (those of the chunk's bookkeeping on top of its own).
TEST(FccEntriesWithoutMemory, ARegistrationThatNeedsANewChunkWithoutMemory) {
    const ServerProgram server("new-chunk-");

    std::string said;
    EXPECT_EQ(childSays(
                  [](int fd) {
                      // Some 3 million registrations, under a sanitizer too.
                      alarm(300);
                      if (FCC_Init(nullptr, nullptr) != 0) _exit(4);
                      std::string ticket = sweptTicket();
                      long number = 0;
                      // Registers a new ticket and unregisters it (its
                      // handle's cell is never handed out again), with
                      // allocation failAfter failing: its status, and its
                      // allocations when none was to fail.
                      const auto next = [&ticket, &number](long failAfter, long* made = nullptr) {
                          const std::string digits = std::to_string(++number);
                          ticket.replace(0, digits.size(), digits);
                          char* handle = nullptr;
                          Failing::failAfter = failAfter < 0 ? LONG_MAX : failAfter;
                          int status = INT_MIN;
                          try {
                              status = FCC_RegisterTicket(ticket.c_str(), &handle);
                          } catch (...) {
                          }
                          if (made) *made = LONG_MAX - Failing::failAfter;
                          Failing::failAfter = -1;
                          if (status == 0 && FCC_UnRegisterTicket(handle) != 0) _exit(5);
                          return status;
                      };
                      long first = 0;
                      long plain = 0;
                      next(-1, &first);  // the process's first chunk
                      next(-1, &plain);
                      long made = 0;
                      long perChunk = 2;
                      while (next(-1, &made) == 0 && made == plain) ++perChunk;
                      if (made != first || made <= plain) _exit(6);
                      // The chunk in use full: from the first registration
                      // of a new one on.
                      const auto fill = [&] {
                          while (next(-1, &made) == 0 && made == plain) {
                          }
                          for (long i = 1; i < perChunk; ++i) next(-1);
                      };
                      std::string wrong;
                      for (const bool once : {true, false}) {
                          Failing::failOnce = once;
                          long failed = 0;
                          for (long allocation = 0; allocation <= first; ++allocation) {
                              fill();
                              const int status = next(allocation);
                              if (status == 0) break;
                              ++failed;
                              const int after = next(-1);
                              if (status != Fcc::ERR_FMSCP_OUT_OF_MEMORY || after != 0) {
                                  wrong += std::string(once ? "only" : "from") + " allocation " +
                                           std::to_string(allocation) + ": " +
                                           (status == INT_MIN ? "threw" : std::to_string(status)) +
                                           ", then " + std::to_string(after) + "\n";
                              }
                          }
                          if (failed != first) {
                              wrong += std::to_string(failed) + " allocations failed of " +
                                       std::to_string(first) + "\n";
                          }
                      }
                      if (FCC_Term() != 0) wrong += "FCC_Term\n";
                      tell(fd, wrong);
                  },
                  said),
              "");
    EXPECT_EQ(said, "");
}

}  // namespace
