// The library's own file-cache interface against a fake file-cache server:
// initialisation and termination, registration, batch transfers and reads
// of open files. Each case runs in a process of its own with a private pipe
// folder.

#include <fcc/FccException.hxx>
#include <fcc/FccInterface.hxx>
#include <fcc/FccProxy.hxx>
#include <fcc/internal/FccErrors.hxx>
#include <fcc/pipe/internal/FccProtocol.hxx>
#include <tests/fcc/SelfProxyFixture.hxx>

#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace Fcc = Quillomark::Fcc;
using namespace Quillomark::Testing;

TEST_F(SelfProxyServer, EveryInitNeedsItsTermAndAFailedInitHoldsNothing) {
    // Without FMS_HOME the attempt fails and keeps no reference.
    unsetenv("FMS_HOME");
    {
        OutputCapture out(1);
        EXPECT_EQ(Own::FCC_Init(nullptr, nullptr), -2998);
        out.finish();
    }
    const char* text = nullptr;
    EXPECT_EQ(Own::FCC_GetLastError(&text), -2999);
    EXPECT_STREQ(text, "The FMS_HOME environment variable must be set.");
    setenv("FMS_HOME", root.c_str(), 1);

    // The trial of the enabled test leaves the interface as it found it.
    int enabled = 0;
    {
        OutputCapture out(1);
        EXPECT_EQ(Own::FCC_IsFCCEnabled(&enabled), 0);
        EXPECT_EQ(out.finish(), "FCC Interface Implementation 1.2(20070517) initialized.\n");
    }
    EXPECT_EQ(enabled, 1);
    EXPECT_EQ(Own::FCC_Echo(), -2999);

    server->addFile(makeTicket(1), "left open");
    init();
    init();
    FccFile* file = nullptr;
    ASSERT_EQ(Own::FCC_OpenFile(registered(makeTicket(1)), &file), 0);
    EXPECT_EQ(Own::FCC_Term(), 0);
    EXPECT_EQ(Own::FCC_Echo(), 0);
    EXPECT_TRUE(server->requestsOf(Fcc::FMS_CLOSE_MSG).empty());
    // The last termination closes what the application left open.
    EXPECT_EQ(Own::FCC_Term(), 0);
    EXPECT_EQ(server->requestsOf(Fcc::FMS_CLOSE_MSG).size(), 1u);
    EXPECT_EQ(Own::FCC_Echo(), -2999);
    EXPECT_EQ(Own::FCC_Term(), -2999);
}

TEST_F(SelfProxyServer, BatchRegistrationCountsFailedTicketsAndKeepsTheirText) {
    init();
    const std::string tickets[] = {makeTicket(2), std::string(224, 'v'), makeTicket(3)};
    const char* input[] = {tickets[0].c_str(), tickets[1].c_str(), tickets[2].c_str()};
    char* handles[3];
    int statuses[3];
    EXPECT_EQ(Own::FCC_RegisterTickets(3, input, handles, statuses), 1);
    EXPECT_EQ(statuses[0], 0);
    EXPECT_EQ(statuses[1], -3005);
    EXPECT_EQ(statuses[2], 0);
    EXPECT_EQ(handles[1], nullptr);
    EXPECT_EQ(lastError(), "[de] ERR_FMSCP_BAD_TICKET");

    EXPECT_EQ(Own::FCC_RegisterTickets(0, input, handles, statuses), -3002);
    EXPECT_EQ(Own::FCC_RegisterTicket(nullptr, handles), -3005);
    EXPECT_EQ(Own::FCC_RegisterTicket(input[0], nullptr), -3002);
}

TEST_F(SelfProxyServer, BatchDownloadStopsAtTheFirstFailingFile) {
    for (int i : {1, 3}) server->addFile(makeTicket(i), "content " + std::to_string(i));
    init();
    char* handles[] = {registered(makeTicket(1)), registered(makeTicket(2)),
                       registered(makeTicket(3))};
    char* paths[3];
    int statuses[3];
    server->setErrorReply(-3005, "no such file");
    EXPECT_EQ(Own::FCC_DownloadFilesFromPLM("IMD", 3, handles, nullptr, nullptr, paths, statuses),
              -3005);
    EXPECT_EQ(statuses[0], 0);
    ASSERT_NE(paths[0], nullptr);
    EXPECT_EQ(statuses[1], -3005);
    EXPECT_EQ(statuses[2], -3010);
    EXPECT_EQ(paths[2], nullptr);
    EXPECT_EQ(lastError(), "[de] no such file");
    std::free(paths[0]);

    // Each file was opened on the server for its transfer and closed again.
    EXPECT_EQ(server->requestsOf(Fcc::FMS_OPEN_MSG).size(), 2u);
    EXPECT_EQ(server->requestsOf(Fcc::FMS_CLOSE_MSG).size(), 1u);
}

TEST_F(SelfProxyServer, UploadThatStopsRollsBackWhatWentBefore) {
    // The server knows the first two files only, so the third cannot be
    // opened for its upload.
    for (int i : {1, 2}) server->addFile(makeTicket(i), "");
    init();
    char* handles[] = {registered(makeTicket(1)), registered(makeTicket(2)),
                       registered(makeTicket(3))};
    const char* paths[] = {"/data/a", "/data/b", "/data/c"};
    char* volumes[3];
    int statuses[3];
    EXPECT_EQ(Own::FCC_UploadFilesToPLM(3, handles, nullptr, nullptr, paths, 0, volumes, statuses),
              -3005);
    EXPECT_EQ(statuses[0], 0);
    EXPECT_EQ(statuses[1], 0);
    EXPECT_EQ(statuses[2], -3005);
    ASSERT_NE(volumes[0], nullptr);
    ASSERT_NE(volumes[1], nullptr);
    EXPECT_EQ(volumes[2], nullptr);
    EXPECT_EQ(server->rolledBack(), (std::vector<std::string>{volumes[0], volumes[1]}));
    EXPECT_EQ(lastError(), "[de] no such file");
    for (char* volume : volumes) std::free(volume);

    // Without volumeIds of the caller's the rollback still names the
    // uploads it takes back.
    EXPECT_EQ(Own::FCC_UploadFilesToPLM(3, handles, nullptr, nullptr, paths, 0, nullptr, statuses),
              -3005);
    auto rolled = server->rolledBack();
    ASSERT_EQ(rolled.size(), 4u);
    EXPECT_NE(rolled[2], "");
    EXPECT_NE(rolled[3], "");
    EXPECT_NE(rolled[2], rolled[3]);

    // A rollback that fails leaves its upload on the server: its status
    // says so with the rollback's code, and its volume ID stays.
    server->injectFault(Fcc::FMS_ROLLBACK_MSG, Fault::Disconnect);
    EXPECT_EQ(Own::FCC_UploadFilesToPLM(3, handles, nullptr, nullptr, paths, 0, volumes, statuses),
              -3005);
    EXPECT_EQ(statuses[0], -3001);
    EXPECT_EQ(statuses[1], 0);
    EXPECT_EQ(statuses[2], -3005);
    ASSERT_NE(volumes[0], nullptr);
    EXPECT_EQ(server->rolledBack().back(), volumes[1]);
    EXPECT_EQ(lastError(), "[de] no such file");
    for (char* volume : volumes) std::free(volume);

    // Going on after a failed file counts the failures.
    EXPECT_EQ(Own::FCC_UploadFilesToPLM(3, handles, nullptr, nullptr, paths, 1, nullptr, statuses),
              1);
    EXPECT_EQ(statuses[2], -3005);
    EXPECT_EQ(server->rolledBack().size(), 6u);
}

TEST_F(SelfProxyServer, SmallReadsComeFromTheReadBufferAndSeeksKeepItWhenTheyCan) {
    std::string content(100000, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
    server->addFile(makeTicket(1), content);
    init();
    char* handle = registered(makeTicket(1));
    FccFile* file = nullptr;
    ASSERT_EQ(Own::FCC_OpenFile(handle, &file), 0);
    std::int64_t size = 0;
    EXPECT_EQ(Own::FCC_FileSize(file, &size), 0);
    EXPECT_EQ(size, 100000);

    char buffer[20000];
    int bytesRead = -1;
    ASSERT_EQ(Own::FCC_ReadBytes(file, "IMD", 10, &bytesRead, buffer), 0);
    EXPECT_EQ(std::string(buffer, bytesRead), content.substr(0, 10));
    auto reads = server->requestsOf(Fcc::FMS_GET_DATA_MSG);
    ASSERT_EQ(reads.size(), 1u);
    ASSERT_EQ(reads[0].payload.size(), 17u);
    // The one read asked for a whole buffer: 16384 bytes (big-endian count
    // after the handle and the offset).
    const auto& payload = reads[0].payload;
    EXPECT_EQ(payload[10] << 24 | payload[11] << 16 | payload[12] << 8 | payload[13], 16384);

    // Within the buffered window nothing goes to the server.
    ASSERT_EQ(Own::FCC_ReadBytes(file, "IMD", 10, &bytesRead, buffer), 0);
    EXPECT_EQ(std::string(buffer, bytesRead), content.substr(10, 10));
    ASSERT_EQ(Own::FCC_SeekRelative(file, 1000), 0);
    ASSERT_EQ(Own::FCC_ReadBytes(file, "IMD", 10, &bytesRead, buffer), 0);
    EXPECT_EQ(std::string(buffer, bytesRead), content.substr(1020, 10));
    EXPECT_EQ(server->requestsOf(Fcc::FMS_GET_DATA_MSG).size(), 1u);

    // Outside it the buffer is dropped; a large read goes straight into the
    // caller's buffer.
    ASSERT_EQ(Own::FCC_SeekAbsolute(file, 50000), 0);
    ASSERT_EQ(Own::FCC_ReadBytes(file, "IMD", 20000, &bytesRead, buffer), 0);
    EXPECT_EQ(bytesRead, 20000);
    EXPECT_EQ(std::string(buffer, bytesRead), content.substr(50000, 20000));
    std::int64_t position = 0;
    EXPECT_EQ(Own::FCC_GetSeekPointer(file, &position), 0);
    EXPECT_EQ(position, 70000);

    // The end of the file: a read across it delivers the rest, a read at
    // it fails and leaves the position.
    EXPECT_EQ(Own::FCC_SeekAbsolute(file, 100001), -3002);
    ASSERT_EQ(Own::FCC_SeekAbsolute(file, 99990), 0);
    ASSERT_EQ(Own::FCC_ReadBytes(file, "IMD", 100, &bytesRead, buffer), 0);
    EXPECT_EQ(std::string(buffer, bytesRead), content.substr(99990));
    EXPECT_EQ(Own::FCC_ReadBytes(file, "IMD", 100, &bytesRead, buffer), -3007);
    EXPECT_EQ(bytesRead, 0);
    EXPECT_EQ(lastError(), "[de] ERR_FMSCP_EOF");
    EXPECT_EQ(Own::FCC_GetSeekPointer(file, &position), 0);
    EXPECT_EQ(position, 100000);

    char* guid = nullptr;
    ASSERT_EQ(Own::FCC_GetFileGUID(file, &guid), 0);
    EXPECT_EQ(std::string(guid), makeTicket(1).substr(70, 32));
    std::free(guid);

    EXPECT_EQ(Own::FCC_CloseFileHandlePointer(file), 0);
    EXPECT_EQ(server->requestsOf(Fcc::FMS_CLOSE_MSG).size(), 1u);
    // The closed record is no file any more.
    EXPECT_EQ(Own::FCC_ReadBytes(file, "IMD", 10, &bytesRead, buffer), -3003);
    EXPECT_EQ(Own::FCC_CloseFileHandlePointer(file), -3003);
}

TEST_F(SelfProxyServer, ARefreshedTicketReopensTheFileAndAFailedOneClosesIt) {
    server->addFile(makeTicket(1), std::string(40000, 'a'));
    server->addFile(makeTicket(2), std::string(40000, 'b'));
    init();
    FccFile* file = nullptr;
    ASSERT_EQ(Own::FCC_OpenFile(registered(makeTicket(1)), &file), 0);

    // A range ahead is asked for in whole buffers, cut at the end of the
    // file; from the end on there is nothing to ask for.
    EXPECT_EQ(Own::FCC_ScheduleRange(file, "IMD", 30000, 100), 0);
    const auto ahead = server->requestsOf(Fcc::FMS_READ_AHEAD_MSG);
    ASSERT_EQ(ahead.size(), 1u);
    const auto& payload = ahead[0].payload;
    EXPECT_EQ(payload[10] << 24 | payload[11] << 16 | payload[12] << 8 | payload[13], 10000);
    EXPECT_EQ(Own::FCC_ScheduleRange(file, "IMD", 40000, 100), -3007);
    EXPECT_EQ(Own::FCC_ScheduleRange(file, "IMD", 0, 0), 0);
    EXPECT_EQ(Own::FCC_ScheduleRange(file, "IMD", -1, 10), -3002);

    char buffer[4];
    int bytesRead = 0;
    EXPECT_EQ(Own::FCC_RefreshFileTicket(file, makeTicket(2).c_str()), 0);
    ASSERT_EQ(Own::FCC_ReadBytes(file, "IMD", 4, &bytesRead, buffer), 0);
    EXPECT_EQ(std::string(buffer, bytesRead), "bbbb");
    EXPECT_EQ(Own::FCC_RefreshFileTicket(file, "not a ticket"), -3005);

    server->setErrorReply(-3005, "no such file");
    EXPECT_EQ(Own::FCC_RefreshFileTicket(file, makeTicket(3).c_str()), -3005);
    EXPECT_EQ(Own::FCC_ReadBytes(file, "IMD", 4, &bytesRead, buffer), -3003);
}

// ---- Several threads on one interface; servers that misbehave -------------

TEST_F(SelfProxyServer, TerminationLeavesARunningTransferItsRecordsAndTheirPair) {
    server->addFile(makeTicket(1), "downloaded");
    init(Tagged::allocA, Tagged::releaseA);
    char* handle = registered(makeTicket(1));
    server->injectFault(Fcc::FMS_GET_FILE_MSG, Fault::Hold);
    auto download = onThread([handle] {
        char* path = nullptr;
        const int status = Own::FCC_DownloadFileFromPLM("IMD", handle, nullptr, nullptr, &path);
        Tagged::releaseAny(path);
        return status;
    });
    ASSERT_TRUE(server->waitUntilHolding(1, 10000));
    EXPECT_EQ(Own::FCC_Term(), 0);
    EXPECT_EQ(Own::FCC_Echo(), -2999);
    // A new session with a pair of its own is under way when the transfer
    // of the old one ends.
    init(Tagged::allocB, Tagged::releaseB);
    server->releaseHeld();
    // The transfer ends as it would have, and closes its file itself.
    EXPECT_EQ(within(download, 30, "download"), 0);
    EXPECT_EQ(server->requestsOf(Fcc::FMS_CLOSE_MSG).size(), 1u);
    EXPECT_EQ(Own::FCC_Term(), 0);
    // What each pair made went back to it.
    for (char pair : {'A', 'B'}) {
        EXPECT_EQ(Tagged::countsOf(pair).foreign, 0) << pair;
        EXPECT_EQ(Tagged::countsOf(pair).outstanding, 0) << pair;
    }
}

TEST_F(SelfProxyServer, TerminationDuringAnOpenEndsThatOpenWithNotInitialised) {
    server->addFile(makeTicket(1), "opened");
    init();
    FccFile* file = nullptr;
    EXPECT_EQ(openOvertakenByTermination(registered(makeTicket(1)), Fcc::FMS_OPEN_MSG, &file),
              -2999);
    EXPECT_EQ(file, nullptr);
    // What it opened on the server it closed again.
    EXPECT_EQ(server->requestsOf(Fcc::FMS_CLOSE_MSG).size(), 1u);
}

TEST_F(SelfProxyServer, AReleasedHandleIsUnknownAndNothingIsReadThroughIt) {
    server->addFile(makeTicket(1), "content");
    init();
    char* handle = registered(makeTicket(1));
    ASSERT_EQ(Own::FCC_UnRegisterTicket(handle), 0);
    EXPECT_EQ(Own::FCC_UnRegisterTicket(handle), -3005);
    FccFile* file = nullptr;
    EXPECT_EQ(Own::FCC_OpenFile(handle, &file), -3005);
    char* path = nullptr;
    EXPECT_EQ(Own::FCC_DownloadFileFromPLM("IMD", handle, nullptr, nullptr, &path), -3005);
    int statuses[1];
    EXPECT_EQ(Own::FCC_UnRegisterTickets(1, &handle, statuses), -3005);
    EXPECT_TRUE(server->requestsOf(Fcc::FMS_OPEN_MSG).empty());
}

TEST_F(SelfProxyServer, ASilentServerHoldsUpNoOtherThreadAndSetUpGivesUp) {
    server->addFile(makeTicket(1), "content");
    init();
    // Threads that made their pipes while the server answered, and register a
    // ticket when let go: what they do is no set-up exchange, whose wait
    // the cases below shorten for the silent server's sake.
    const auto registersWhenLetGo = [](const std::string& ticket, Gate& piped, Gate& go) {
        return onThread([ticket, &piped, &go] {
            if (Own::FCC_Echo() != 0) return -1;
            piped.open();
            go.wait();
            char* handle = nullptr;
            return Own::FCC_RegisterTicket(ticket.c_str(), &handle);
        });
    };
    Gate firstPiped, firstGo, secondPiped, secondGo;
    auto registration = registersWhenLetGo(makeTicket(1), firstPiped, firstGo);
    auto claim = registersWhenLetGo(makeTicket(2), secondPiped, secondGo);
    firstPiped.wait();
    secondPiped.wait();
    Quillomark::Testing::shortWaitsButTheServers();
    Fcc::Testing::setFccWait(&Fcc::FccTiming::setUpReplyWait,
                             Fcc::FccTiming().setUpReplyWait / 100);
    // A new thread's pipe whose version check gets no answer.
    server->injectFault(Fcc::FMS_VERSION_CHECK, Fault::Silent);
    auto echo = onThread([] { return Own::FCC_Echo(); });
    ASSERT_TRUE(eventually([&] { return server->requestsOf(Fcc::FMS_VERSION_CHECK).size() == 4; }));
    firstGo.open();
    EXPECT_EQ(within(registration, 5, "registration beside a silent version check"), 0);
    EXPECT_EQ(within(echo, 30, "echo over a silent pipe"), -3001);

    // The first read of a file asks for the fast cache's settings, and gets
    // no answer either.
    server->injectFault(Fcc::FMS_GET_CACHE_INIT_INFO, Fault::Silent);
    char* handle = registered(makeTicket(1));
    FccFile* file = nullptr;
    auto open = onThread([handle, &file] { return Own::FCC_OpenFile(handle, &file); });
    ASSERT_TRUE(
        eventually([&] { return server->requestsOf(Fcc::FMS_GET_CACHE_INIT_INFO).size() == 1; }));
    secondGo.open();
    EXPECT_EQ(within(claim, 5, "registration beside a silent cache information"), 0);
    // The file is served over the pipe instead.
    EXPECT_EQ(within(open, 30, "open beside a silent cache information"), 0);
    char buffer[7];
    int bytesRead = 0;
    EXPECT_EQ(Own::FCC_ReadBytes(file, "IMD", 7, &bytesRead, buffer), 0);
    EXPECT_EQ(std::string(buffer, bytesRead), "content");
}

TEST_F(SelfProxyServer, AFileUsedOnAnotherThreadIsOpenedOnThatThreadsPipe) {
    server->setHandlesPerConnection(true);
    server->addFile(makeTicket(1), std::string(100, 'x'));
    server->addFile(makeTicket(2), std::string(100, 'y'));
    server->addFile(makeTicket(3), std::string(100, 'z'));
    init();
    FccFile* x = nullptr;
    FccFile* z = nullptr;
    ASSERT_EQ(Own::FCC_OpenFile(registered(makeTicket(1)), &x), 0);
    ASSERT_EQ(Own::FCC_OpenFile(registered(makeTicket(3)), &z), 0);
    char* second = registered(makeTicket(2));

    char buffer[4];
    int bytesRead = 0;
    std::thread([&] {
        FccFile* y = nullptr;
        ASSERT_EQ(Own::FCC_OpenFile(second, &y), 0);
        char here[4];
        int read = 0;
        // Both x and y have the first handle of their own pipe.
        EXPECT_EQ(Own::FCC_ReadBytes(x, "IMD", 4, &read, here), 0);
        EXPECT_EQ(std::string(here, read), "xxxx");
        std::int64_t size = 0;
        EXPECT_EQ(Own::FCC_FileSize(z, &size), 0);
        EXPECT_EQ(Own::FCC_ReadBytes(z, "IMD", 4, &read, here), 0);
        EXPECT_EQ(std::string(here, read), "zzzz");
        EXPECT_EQ(Own::FCC_CloseFileHandlePointer(y), 0);
    }).join();

    // Back on its first thread x is read there again.
    ASSERT_EQ(Own::FCC_SeekAbsolute(x, 50), 0);
    EXPECT_EQ(Own::FCC_ReadBytes(x, "IMD", 4, &bytesRead, buffer), 0);
    EXPECT_EQ(std::string(buffer, bytesRead), "xxxx");
    EXPECT_EQ(Own::FCC_CloseFileHandlePointer(x), 0);
    // z was last opened on the other thread's pipe: termination does not
    // send its handle over this one.
    EXPECT_EQ(Own::FCC_Term(), 0);
    EXPECT_EQ(server->strayHandles(), 0);
}

TEST_F(SelfProxyServer, AnOpenReplyWithTheNotOpenHandleIsABadReply) {
    server->addFile(makeTicket(1), "content");
    init();
    char* handle = registered(makeTicket(1));
    server->injectFault(Fcc::FMS_OPEN_MSG, Fault::NotOpenHandle);
    FccFile* file = nullptr;
    EXPECT_EQ(Own::FCC_OpenFile(handle, &file), -3002);
    EXPECT_EQ(Fcc::FccGetThreadConnection()->openFiles, 0);
    server->injectFault(Fcc::FMS_OPEN_MSG, Fault::NotOpenHandle);
    char* path = nullptr;
    EXPECT_EQ(Own::FCC_DownloadFileFromPLM("IMD", handle, nullptr, nullptr, &path), -3002);
    EXPECT_EQ(Fcc::FccGetThreadConnection()->openFiles, 0);

    ASSERT_EQ(Own::FCC_OpenFile(handle, &file), 0);
    EXPECT_EQ(Fcc::FccGetThreadConnection()->openFiles, 1);
    EXPECT_EQ(Own::FCC_CloseFileHandlePointer(file), 0);
    EXPECT_EQ(Fcc::FccGetThreadConnection()->openFiles, 0);
}

// Through the exported interface and FccProxy: without a proxy library
// under FMS_HOME the library serves the interface itself, and a single
// failing file fails the whole call.
TEST_F(SelfProxyServer, ProxyCallsFailAsAWholeWithTheOwnInterface) {
    server->addFile(makeTicket(1), "first");
    OutputCapture out(1);
    OutputCapture err(2);
    Quillomark::Soa::Client::FccProxy proxy;
    std::vector<std::string> files;
    std::map<std::string, int> failures;
    try {
        proxy.downloadFiles({makeTicket(1), makeTicket(2)}, files, failures);
        ADD_FAILURE() << "no exception";
    } catch (const Quillomark::Soa::Client::FccException& e) {
        EXPECT_EQ(e.failCode(), -3005);
        EXPECT_NE(e.msg().find("\n[de] no such file"), std::string::npos) << e.msg();
    }
    EXPECT_TRUE(failures.empty());
    // Both registrations are gone again.
    char* handle = nullptr;
    EXPECT_EQ(FCC_RegisterTicket(makeTicket(1).c_str(), &handle), 0);
    const std::string handleText = handle;
    EXPECT_EQ(FCC_UnRegisterTicket(handle), 0);
    EXPECT_EQ(FCC_UnRegisterTicket(handleText.c_str()), -3005);

    try {
        proxy.uploadFiles({{makeTicket(1), "/data/a"}, {makeTicket(2), "/data/b"}}, failures);
        ADD_FAILURE() << "no exception";
    } catch (const Quillomark::Soa::Client::FccException& e) {
        EXPECT_EQ(e.failCode(), 1);
    }
    out.finish();
    err.finish();
}

}  // namespace
