// The library's own file-cache interface when termination meets work still
// running (on other threads or in a progress callback), when the server
// falls silent, and when handles are used after their release.

#include <fcc/fastcache/internal/FmscInterface.hxx>
#include <fcc/internal/FccErrors.hxx>
#include <fcc/pipe/internal/FccProtocol.hxx>
#include <fcc/selfproxy/internal/TicketRegistry.hxx>
#include <tests/fcc/SelfProxyFixture.hxx>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace Fcc = Quillomark::Fcc;
namespace Own = Quillomark::Fcc::SelfProxy;
using Fault = Quillomark::Testing::FakeFccServer::Fault;
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
