// The library's own file-cache interface when termination meets work still
// running (on other threads or in a progress callback), when the server
// falls silent, and when handles are used after their release.

#include <fcc/fastcache/internal/FmscInterface.hxx>
#include <fcc/internal/FccErrors.hxx>
#include <fcc/pipe/internal/FccProtocol.hxx>
#include <fcc/selfproxy/internal/TicketRegistry.hxx>
#include <tests/fcc/SelfProxyFixture.hxx>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace Fcc = Quillomark::Fcc;
using namespace Quillomark::Testing;

TEST_F(SelfProxyServer, TheLastErrorTextStaysTheCallersUntilItsNextCall) {
    init();
    Gate read;
    Gate terminated;
    auto caller = onThread([&] {
        EXPECT_EQ(Own::FCC_Echo(), 0);  // the thread's pipe, for the translation
        char* handle = nullptr;
        EXPECT_EQ(Own::FCC_RegisterTicket("not a ticket", &handle), -3005);
        const char* text = nullptr;
        EXPECT_EQ(Own::FCC_GetLastError(&text), 0);
        read.open();
        terminated.wait();
        // Termination on another thread took this thread's record away.
        EXPECT_STREQ(text, "[de] ERR_FMSCP_BAD_TICKET");
        return 0;
    });
    read.wait();
    EXPECT_EQ(Own::FCC_Term(), 0);
    terminated.open();
    within(caller, 30, "the caller of FCC_GetLastError");
}

// ---- Work that passed the "initialised" check when termination came ------

// Stops a thread that asks for it at its next allocation through the
// interface's alloc function, until the test lets it go on: a point inside
// an entry, past its check that the interface is initialised.
struct AllocationStop {
    Gate reached;
    Gate resume;
};
AllocationStop* allocationStop = nullptr;
thread_local bool stopAtNextAllocation = false;

void* stoppingAlloc(std::size_t size) {
    if (stopAtNextAllocation) {
        stopAtNextAllocation = false;
        allocationStop->reached.open();
        allocationStop->resume.wait();
    }
    return std::malloc(size);
}

TEST_F(SelfProxyServer, ARegistrationOvertakenByTerminationIsUndone) {
    AllocationStop stop;
    allocationStop = &stop;
    init(stoppingAlloc, std::free);
    auto registration = onThread([] {
        Own::FCC_Echo();  // the thread's record, made beforehand
        stopAtNextAllocation = true;
        char* handle = nullptr;
        return Own::FCC_RegisterTicket(makeTicket(1).c_str(), &handle);
    });
    stop.reached.wait();
    EXPECT_EQ(Own::FCC_Term(), 0);
    stop.resume.open();
    EXPECT_EQ(within(registration, 30, "registration"), -2999);
    EXPECT_EQ(Fcc::registeredTicketCount(), 0u);
}

TEST_F(SelfProxyServer, AnOpenOvertakenByTerminationIsUndone) {
    server->addFile(makeTicket(1), "content");
    AllocationStop stop;
    allocationStop = &stop;
    init(stoppingAlloc, std::free);
    char* handle = registered(makeTicket(1));
    FccFile* file = nullptr;
    auto open = onThread([handle, &file] {
        Own::FCC_Echo();
        stopAtNextAllocation = true;
        return Own::FCC_OpenFile(handle, &file);
    });
    OutputCapture out(1);  // the fast cache's warnings, when it is tried
    stop.reached.wait();
    EXPECT_EQ(Own::FCC_Term(), 0);
    stop.resume.open();
    EXPECT_EQ(within(open, 30, "open"), -2999);
    out.finish();
    EXPECT_EQ(file, nullptr);
    // A new session finds nothing of it.
    init();
    if (file) {
        char buffer[7];
        int bytesRead = 0;
        EXPECT_EQ(Own::FCC_ReadBytes(file, "IMD", 7, &bytesRead, buffer), -3003);
    }
}

TEST_F(SelfProxyServer, AFastCacheAttachOvertakenByTerminationIsUndone) {
    // The cache the fake server describes, made here as its server makes
    // it; the described folder is taken relative to the working folder.
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(root);
    Fcc::FMSC_OPEN_PARAMS params = FakeFccServer::describedCache();
    std::filesystem::create_directories(params.folder);
    Fcc::FMSC_FILETOC_T* cache = nullptr;
    ASSERT_EQ(Fcc::FMSCIF_OpenS(&params, &cache), 0);

    server->addFile(makeTicket(1), "content");
    init();
    FccFile* file = nullptr;
    EXPECT_EQ(
        openOvertakenByTermination(registered(makeTicket(1)), Fcc::FMS_GET_CACHE_INIT_INFO, &file),
        -2999);
    // The server counts no client of an ended session.
    EXPECT_EQ(cache->shared->clients, 0);

    Fcc::FMSCIF_Close(&cache);
    std::filesystem::current_path(previous);
}

// ---- Termination from inside a transfer, and beside a silent server -------

int terminatingProgress(void*, void* data, std::int64_t, std::int64_t, int* go) {
    auto* calls = static_cast<int*>(data);
    if (++*calls == 1) {
        EXPECT_EQ(Own::FCC_Term(), 0);
    }
    *go = 1;
    return 0;
}

TEST_F(SelfProxyServer, TerminationFromAProgressCallbackLeavesTheTransferItsRecord) {
    server->addFile(makeTicket(1), std::string(5000, 'p'));
    server->setProgressReports(2);
    init();
    char* handle = registered(makeTicket(1));
    int calls = 0;
    char* path = nullptr;
    EXPECT_EQ(Own::FCC_DownloadFileFromPLM("IMD", handle, terminatingProgress, &calls, &path), 0);
    EXPECT_EQ(calls, 2);
    EXPECT_NE(path, nullptr);
    std::free(path);
    EXPECT_EQ(Own::FCC_Echo(), -2999);

    // The transfer went on to its end and closed its file after it, not in
    // the middle of the progress exchange.
    std::vector<std::uint32_t> types;
    for (const auto& request : server->requests()) types.push_back(request.messageType >> 16);
    const std::vector<std::uint32_t> expected = {Fcc::FMS_VERSION_CHECK, Fcc::FMS_OPEN_MSG,
                                                 Fcc::FMS_GET_FILE_MSG,  Fcc::FMS_STATUS_MSG,
                                                 Fcc::FMS_STATUS_MSG,    Fcc::FMS_CLOSE_MSG};
    EXPECT_EQ(types, expected);
}

TEST_F(SelfProxyServer, TerminationGivesUpOnAServerSilentOnItsClose) {
    server->addFile(makeTicket(1), "left open");
    init();
    char* handle = registered(makeTicket(1));
    // The file is open on the pipe of the thread that terminates.
    auto termination = onThread([this, handle] {
        FccFile* file = nullptr;
        if (Own::FCC_OpenFile(handle, &file) != 0) return -1;
        // The close's reply is one that termination waits a bounded time for.
        Quillomark::Testing::shortWaitsButTheServers();
        Fcc::Testing::setFccWait(&Fcc::FccTiming::setUpReplyWait,
                                 Fcc::FccTiming().setUpReplyWait / 100);
        server->injectFault(Fcc::FMS_CLOSE_MSG, Fault::Silent);
        return Own::FCC_Term();
    });
    EXPECT_EQ(within(termination, 60, "termination beside a silent server"), 0);
    EXPECT_EQ(server->requestsOf(Fcc::FMS_CLOSE_MSG).size(), 1u);
    int enabled = 0;
    OutputCapture out(1);
    EXPECT_EQ(Own::FCC_IsFCCEnabled(&enabled), 0);
    out.finish();
}

// A file opened on one thread and closed on another owes its close to the
// first thread's pipe, which sends it before its next request: when that
// request is the translation of a last error, the server's silence on the
// close costs no more than the translation's wait.
TEST_F(SelfProxyServer, ALastErrorWaitsNoLongerForACloseItsPipeOwes) {
    server->addFile(makeTicket(1), "content");
    init();
    char* handle = registered(makeTicket(1));
    Gate opened, closed;
    FccFile* file = nullptr;
    OutputCapture out(1);  // the fast cache's warnings, when it is tried
    auto worker = onThread([&] {
        if (Own::FCC_OpenFile(handle, &file) != 0) return -1;
        opened.open();
        closed.wait();
        char* none = nullptr;
        if (Own::FCC_RegisterTicket("not a ticket", &none) != -3005) return -2;
        return lastError() == "ERR_FMSCP_BAD_TICKET" ? 0 : -3;
    });
    opened.wait();
    EXPECT_EQ(Own::FCC_CloseFileHandlePointer(file), 0);
    EXPECT_TRUE(server->requestsOf(Fcc::FMS_CLOSE_MSG).empty());  // owed by the worker's pipe
    Quillomark::Testing::shortWaitsButTheServers();
    server->injectFault(Fcc::FMS_CLOSE_MSG, Fault::Silent);
    closed.open();
    EXPECT_EQ(within(worker, 30, "the last error of a thread whose pipe owes a close"), 0);
    out.finish();
    // The worker no longer waits for the close's reply: the server reads the
    // close in its own time.
    ASSERT_TRUE(eventually([&] { return !server->requestsOf(Fcc::FMS_CLOSE_MSG).empty(); }));
    EXPECT_EQ(server->requestsOf(Fcc::FMS_CLOSE_MSG).size(), 1u);
}

// ---- The application's synchronize() around initialisation and termination

// An application thread that holds synchronize() terminates while another
// thread initialises, which needs that lock: the termination does not wait
// for the initialisation, which waits for it, but is refused; the
// initialisation goes on once the application lets go.
TEST_F(SelfProxyServer, TerminationUnderSynchronizeWaitsForNoInitialisationThatWaitsForIt) {
    Gate synchronized, initialisationWaits;
    auto termination = onThread([&] {
        Own::synchronize();
        synchronized.open();
        initialisationWaits.wait();
        const int terminated = Own::FCC_Term();
        Own::endSynchronize();
        return terminated;
    });
    synchronized.wait();
    std::atomic<std::uint32_t> initialising{0};
    OutputCapture out(1);
    auto initialisation = onThread([&initialising] {
        initialising = Own::ThreadId();
        return Own::FCC_Init(nullptr, nullptr);
    });
    ASSERT_TRUE(eventually([&] { return initialising != 0 && asleep(initialising); }));
    initialisationWaits.open();
    EXPECT_EQ(within(termination, 30, "termination under synchronize"), -3099);
    EXPECT_EQ(within(initialisation, 30, "initialisation"), 0);
    out.finish();
}

// ---- Handles after their release --------------------------------------------

TEST_F(SelfProxyServer, AReleasedHandleNeverNamesAnotherTicketOrFile) {
    server->addFile(makeTicket(1), "aaaa");
    server->addFile(makeTicket(2), "bbbb");
    init();
    char* released = registered(makeTicket(1));
    ASSERT_EQ(Own::FCC_UnRegisterTicket(released), 0);
    registered(makeTicket(2));
    EXPECT_EQ(Own::FCC_UnRegisterTicket(released), -3005);
    EXPECT_EQ(Fcc::registeredTicketCount(), 1u);

    FccFile* closed = nullptr;
    ASSERT_EQ(Own::FCC_OpenFile(registered(makeTicket(2)), &closed), 0);
    ASSERT_EQ(Own::FCC_CloseFileHandlePointer(closed), 0);
    FccFile* open = nullptr;
    ASSERT_EQ(Own::FCC_OpenFile(registered(makeTicket(1)), &open), 0);
    char buffer[4];
    int bytesRead = 0;
    EXPECT_EQ(Own::FCC_ReadBytes(closed, "IMD", 4, &bytesRead, buffer), -3003);
    EXPECT_EQ(Own::FCC_CloseFileHandlePointer(closed), -3003);
    ASSERT_EQ(Own::FCC_ReadBytes(open, "IMD", 4, &bytesRead, buffer), 0);
    EXPECT_EQ(std::string(buffer, bytesRead), "aaaa");
}

}  // namespace
