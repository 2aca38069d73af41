// The library's own file-cache client against a fake server: its
// configuration, the pipes, the launch of the server and the message
// exchanges with their checks. Each case runs in a process of its own with
// a private pipe folder.

#include <fcc/internal/FccErrors.hxx>
#include <fcc/internal/FccSelfProxy.hxx>
#include <fcc/pipe/internal/FccProtocol.hxx>
#include <fcc/pipe/internal/FccTransport.hxx>
#include <fcc/runtime/internal/FccRuntime.hxx>
#include <fcc/runtime/internal/FccTiming.hxx>
#include <platform/os/internal/MessagePipe.hxx>
#include <tests/fastcache/ChildProcess.hxx>
#include <tests/fcc/ChildProcesses.hxx>
#include <tests/fcc/ShortWaits.hxx>
#include <tests/fcc/ThreadedCalls.hxx>
#include <tests/support/FakeFccServer.hxx>
#include <tests/support/FreshFolder.hxx>
#include <tests/support/OutputCapture.hxx>

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace Fcc = Quillomark::Fcc;
namespace Own = Quillomark::Fcc::SelfProxy;
using Quillomark::Testing::children;
using Quillomark::Testing::endedAndWaitable;
using Quillomark::Testing::eventually;
using Quillomark::Testing::onThread;
using Quillomark::Testing::OutputCapture;
using Quillomark::Testing::runInChild;
using Quillomark::Testing::stateOf;
using Quillomark::Testing::within;
using Fault = Quillomark::Testing::FakeFccServer::Fault;
using Quillomark::Testing::FakeFccServer;

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeScript(const std::string& path, const std::string& body, mode_t mode = 0755) {
    std::ofstream(path) << body;
    chmod(path.c_str(), mode);
}

std::string ticketFor(char kind, char fill) {
    std::string ticket(300, fill);
    ticket[64] = kind;
    return ticket;
}

// A private pipe folder, an FMS_HOME with a launch script, short waits but
// for the servers, the trace log, and (unless a case wants none) a fake
// server.
class FccPipe : public ::testing::Test {
protected:
    void SetUp() override {
        root = Quillomark::Testing::freshFolder("fccpipe-");
        setenv("FMS_IPC_DIR", (root + "/ipc").c_str(), 1);
        setenv("FMS_HOME", root.c_str(), 1);
        trace = root + "/trace.log";
        setenv("FMS_FCCPROXYLOG", trace.c_str(), 1);
        writeScript(root + "/startfcc.bat", "#!/bin/sh\nexit 3\n");
        Quillomark::Testing::shortWaitsButTheServers();
        Fcc::FccOpenTraceLog();
        ASSERT_EQ(Fcc::FccReadConfiguration(), 0);
    }

    void startServer() { server = std::make_unique<FakeFccServer>(); }

    std::string traced() { return readFile(trace); }

    Fcc::FccConnectionRef record() { return Fcc::FccGetThreadConnection(); }

    std::string root;
    std::string trace;
    std::unique_ptr<FakeFccServer> server;
};

TEST_F(FccPipe, ConfigurationFromTheEnvironment) {
    setenv("FMS_HOME", (root + "/").c_str(), 1);
    setenv("FCC_PROXYBUFFERSIZE", "256", 1);
    setenv("FCC_PROXYLOCALE", "de_DE", 1);
    ASSERT_EQ(Fcc::FccReadConfiguration(), 0);
    Fcc::FccConfiguration read = Fcc::fccConfiguration();
    EXPECT_EQ(read.launchScript, root + "/startfcc.bat");
    EXPECT_EQ(read.bufferSize, 16384);
    EXPECT_EQ(read.locale, "de_DE");
    EXPECT_EQ(read.masterPipeName, "\\\\.\\pipe\\FMSClientPipe");
    setenv("FCC_PROXYBUFFERSIZE", "1024", 1);
    ASSERT_EQ(Fcc::FccReadConfiguration(), 0);
    EXPECT_EQ(Fcc::fccConfiguration().bufferSize, 1024);
    // A size past the 32-bit read-buffer counters would wrap: the default stays.
    setenv("FCC_PROXYBUFFERSIZE", "2147483648", 1);
    ASSERT_EQ(Fcc::FccReadConfiguration(), 0);
    EXPECT_EQ(Fcc::fccConfiguration().bufferSize, 16384);
    EXPECT_EQ(Fcc::fccLaunchScriptPath("D:\\fms", "bin\\start.sh"), "D:/fms/bin/start.sh");

    // A pipe name that cannot become a local pipe is refused at once.
    setenv("FCC_PROXYPIPENAME", std::string(200, 'p').c_str(), 1);
    EXPECT_EQ(Fcc::FccReadConfiguration(), Fcc::ERR_FMSCP_NO_CONFIGURATION);
    unsetenv("FCC_PROXYPIPENAME");
    setenv("FCC_PROXYEXECNAME", "missing.sh", 1);
    EXPECT_EQ(Fcc::FccReadConfiguration(), Fcc::ERR_FMSCP_START_SCRIPT);
    unsetenv("FMS_HOME");
    EXPECT_EQ(Fcc::FccReadConfiguration(), Fcc::ERR_FMSCP_NO_FMS_HOME);
    EXPECT_NE(traced().find("   FCC_PROXYBUFFERSIZE = 1024\n"), std::string::npos);
}

// The trace log is opened once per process: each case is a process of its
// own, as every case here.
class FccTraceLog : public ::testing::Test {
protected:
    void SetUp() override {
        root = Quillomark::Testing::freshFolder("fcctrace-");
        path = root + "/trace.log";
        setenv("FMS_FCCPROXYLOG", path.c_str(), 1);
    }
    std::string root;
    std::string path;
};

TEST_F(FccTraceLog, IsMadeReadableByTheUserAlone) {
    Fcc::FccOpenTraceLog();
    ASSERT_TRUE(Fcc::fccTracing());
    Fcc::fccTrace("Open Pipe '%s'...\n", "x");
    struct stat made;
    ASSERT_EQ(stat(path.c_str(), &made), 0);
    EXPECT_EQ(made.st_mode & 0777, 0600u);
    EXPECT_EQ(readFile(path), "Open Pipe 'x'...\n");
}

TEST_F(FccTraceLog, IsNotWrittenThroughALinkPlantedAtItsPath) {
    const std::string victim = root + "/own-file";
    std::ofstream(victim) << "the user's own lines\n";
    ASSERT_EQ(symlink(victim.c_str(), path.c_str()), 0);
    Fcc::FccOpenTraceLog();
    EXPECT_FALSE(Fcc::fccTracing());
    Fcc::fccTrace("Open Pipe '%s'...\n", "x");
    EXPECT_EQ(readFile(victim), "the user's own lines\n");
    // Without its trace the interface works all the same.
    setenv("FMS_HOME", root.c_str(), 1);
    writeScript(root + "/startfcc.bat", "#!/bin/sh\nexit 3\n");
    EXPECT_EQ(Fcc::FccReadConfiguration(), 0);
}

TEST_F(FccPipe, RequestsAreByteExactAndNumberedFromTheVersionCheck) {
    startServer();
    const std::string ticket = ticketFor('v', 'a');
    server->addFile(ticket, "hello");
    Fcc::FccServerFile file;
    file.ticket = ticket.c_str();
    ASSERT_EQ(Fcc::FccOpenExchange(file), 1);
    EXPECT_EQ(file.size, 5);
    EXPECT_EQ(Fcc::FccUploadExchange(file, "/tmp/up.bin", nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(Fcc::FccCloseExchange(file), 0);
    EXPECT_EQ(file.serverHandle, Fcc::FCC_NOT_OPEN);
    EXPECT_EQ(Fcc::FccCloseExchange(file), 0);  // nothing to close: no message

    const auto requests = server->requests();
    ASSERT_EQ(requests.size(), 4u);
    const std::vector<unsigned char> versionCheck = {0x01, 0x00, 0x00, 0x00, 0x00, 0x0F,
                                                     0xFF, 0xF0, 0x00, 0x00, 0x00, 0x04,
                                                     0x0A, 0x00, 0x00, 0x0A};
    ASSERT_EQ(requests[0].records.size(), 1u);
    EXPECT_EQ(requests[0].records[0], versionCheck);
    // The open: sequence 1, the header and the ticket as two messages.
    EXPECT_EQ(requests[1].sequence, 1);
    ASSERT_EQ(requests[1].records.size(), 2u);
    EXPECT_EQ(requests[1].records[0].size(), 12u);
    EXPECT_EQ(requests[1].records[1].size(), ticket.size() + 1);
    // The upload: 16 bytes with handle and length, then the path alone.
    ASSERT_EQ(requests[2].records.size(), 2u);
    const std::vector<unsigned char> uploadHead = {0x01, 0x00, 0x00, 0x02, 0x00, 0x07, 0xFF, 0xF8,
                                                   0x00, 0x00, 0x00, 0x0F, 0x00, 0x01, 0x00, 0x0B};
    EXPECT_EQ(requests[2].records[0], uploadHead);
    EXPECT_EQ(std::string(requests[2].records[1].begin(), requests[2].records[1].end()),
              "/tmp/up.bin");
    EXPECT_EQ(requests[3].messageType, 0x0005FFFAu);
    EXPECT_EQ(requests[3].payload, (std::vector<unsigned char>{0x00, 0x01}));

    const std::string log = traced();
    EXPECT_NE(log.find("16 byte VERSION CHECK request sent to FCC\n"), std::string::npos);
    EXPECT_NE(log.find("301 byte OPEN ticket sent to FCC\n"), std::string::npos);
    EXPECT_NE(log.find("11 byte UPLOAD filepath sent to FCC\n"), std::string::npos);
}

TEST_F(FccPipe, RepliesOutOfStepAreRefusedWithTheirCodes) {
    startServer();
    const std::string ticket = ticketFor('M', 'b');
    server->addFile(ticket, "content");
    Fcc::FccServerFile file;
    file.ticket = ticket.c_str();
    ASSERT_EQ(Fcc::FccEchoExchange(), 0);

    server->injectFault(1, Fault::WrongSequence);
    EXPECT_EQ(Fcc::FccOpenExchange(file), Fcc::ERR_FMSCP_SEQUENCE);
    EXPECT_NE(traced().find("MESSAGE ERROR: Invalid SeqNum 0x3, expecting 0x2 (FMS_OPEN_MSG)\n"),
              std::string::npos);
    EXPECT_FALSE(record()->pipe.isOpen());  // out of step with the server
    server->injectFault(1, Fault::WrongMessageType);
    EXPECT_EQ(Fcc::FccOpenExchange(file), Fcc::ERR_FMSCP_MSG_TYPE);
    EXPECT_NE(
        traced().find("MESSAGE ERROR: Invalid msgType 1FFFF, expecting 1FFFE (FMS_OPEN_MSG)\n"),
        std::string::npos);
    server->injectFault(1, Fault::WrongTypeId);
    EXPECT_EQ(Fcc::FccOpenExchange(file), Fcc::ERR_FMSCP_UNKNOWN);
    // Progress reports belong to transfers, the end of data to reads.
    server->injectFault(1, Fault::ProgressInstead);
    EXPECT_EQ(Fcc::FccOpenExchange(file), Fcc::ERR_FMSCP_UNKNOWN);
    server->injectFault(6, Fault::EndOfDataInstead);
    EXPECT_EQ(Fcc::FccEchoExchange(), Fcc::ERR_FMSCP_UNKNOWN);
    EXPECT_NE(traced().find("MESSAGE ERROR: Invalid typeID 2\n"), std::string::npos);
    // The second group answers either mismatch with a bad argument.
    server->injectFault(6, Fault::WrongSequence);
    EXPECT_EQ(Fcc::FccEchoExchange(), Fcc::ERR_FMSCP_BAD_ARG);
    server->injectFault(6, Fault::WrongMessageType);
    EXPECT_EQ(Fcc::FccEchoExchange(), Fcc::ERR_FMSCP_BAD_ARG);

    // Error replies: a positive code is negated, 0 means a bad file, and the
    // text becomes the thread's last error.
    for (std::int32_t code : {3005, -3005}) {
        server->setErrorReply(code, "ticket refused");
        server->injectFault(1, Fault::ErrorReply);
        Quillomark::Fcc::SelfProxy::FmsClearLastError();
        EXPECT_EQ(Fcc::FccOpenExchange(file), -3005);
        EXPECT_STREQ(Fcc::FccLastErrorText(), "ticket refused");
    }
    server->setErrorReply(0, "");
    server->injectFault(6, Fault::ErrorReply);
    EXPECT_EQ(Fcc::FccEchoExchange(), Fcc::ERR_FMSCP_BAD_FILE);
    EXPECT_NE(traced().find("ERROR REPLY: -3005 ticket refused\n"), std::string::npos);

    // A reply that is no reply, or too large for the reply buffer, costs the
    // pipe; the next exchange connects again.
    server->injectFault(6, Fault::WrongDirection);
    EXPECT_EQ(Fcc::FccEchoExchange(), Fcc::ERR_FMSCP_BAD_ARG);
    EXPECT_FALSE(record()->pipe.isOpen());
    server->injectFault(6, Fault::HugeLength);
    EXPECT_EQ(Fcc::FccEchoExchange(), Fcc::ERR_FMSCP_NOT_SUPPORTED);
    EXPECT_FALSE(record()->pipe.isOpen());
    ASSERT_EQ(Fcc::FccEchoExchange(), 0);
    const int connections = server->connectionsAccepted();
    server->injectFault(6, Fault::Disconnect);
    EXPECT_EQ(Fcc::FccEchoExchange(), Fcc::ERR_FMSCP_NO_CACHE);
    EXPECT_EQ(Fcc::FccEchoExchange(), 0);
    EXPECT_EQ(server->connectionsAccepted(), connections + 1);
    EXPECT_NE(traced().find("Error ZERO_BYTES reading pipe\n"), std::string::npos);
}

TEST_F(FccPipe, SequenceNumbersWrapAround) {
    startServer();
    ASSERT_EQ(Fcc::FccEchoExchange(), 0);
    record()->sequence = 0xFFFF;
    EXPECT_EQ(Fcc::FccEchoExchange(), 0);
    EXPECT_EQ(record()->sequence, 0);
    EXPECT_EQ(Fcc::FccEchoExchange(), 0);
}

TEST_F(FccPipe, DataArrivesInPiecesAndBadPiecesAreRefused) {
    startServer();
    const std::string ticket = ticketFor('F', 'c');
    std::string content(100000, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
    server->addFile(ticket, content, true);
    server->setChunkSize(3000);
    Fcc::FccServerFile file;
    file.ticket = ticket.c_str();
    std::string into(16384, '\0');
    // The file is opened on the way; its size is not known before.
    EXPECT_EQ(Fcc::FccDataExchange(file, "IMD", &into[0], 16384, 100), 16384);
    EXPECT_EQ(file.size, -1);
    EXPECT_EQ(into.substr(100), content.substr(100, 16284));
    EXPECT_EQ(Fcc::FccSizeExchange(file), 100000);

    file.position = 99000;
    EXPECT_EQ(Fcc::FccDataExchange(file, "IMD", &into[0], 16384, 0), 1000);  // the file ended
    EXPECT_EQ(into.substr(0, 1000), content.substr(99000));

    file.position = 0;
    server->injectFault(3, Fault::DataOffset);
    EXPECT_EQ(Fcc::FccDataExchange(file, "IMD", &into[0], 100, 0), Fcc::ERR_FMSCP_SEQUENCE);
    EXPECT_NE(traced().find("MESSAGE ERROR: Invalid offset 1, expected 0\n"), std::string::npos);
    // The rest of the refused stream is still on its way: the pipe goes,
    // and the next exchange starts on a new one.
    EXPECT_FALSE(record()->pipe.isOpen());
    server->injectFault(3, Fault::DataLength);
    EXPECT_EQ(Fcc::FccDataExchange(file, "IMD", &into[0], 100, 0), Fcc::ERR_FMSCP_MSG_DATA);
    EXPECT_EQ(Fcc::FccDataExchange(file, "IMD", &into[0], 100, 0), 100);
    EXPECT_EQ(into.substr(0, 100), content.substr(0, 100));
    // More bytes than were asked for would run past the caller's buffer.
    std::unique_ptr<char[]> exact(new char[100]);
    server->injectFault(3, Fault::DataTooLong);
    EXPECT_EQ(Fcc::FccDataExchange(file, "IMD", exact.get(), 100, 0), Fcc::ERR_FMSCP_MSG_DATA);
}

struct ProgressProbe {
    int calls = 0;
    int result = 0;
    int go = 1;
    std::int64_t lastDone = 0;
    std::int64_t lastTotal = 0;
    void* context = nullptr;
};

int onProgress(void* context, void* data, std::int64_t done, std::int64_t total, int* go) {
    auto* probe = static_cast<ProgressProbe*>(data);
    EXPECT_EQ(*go, 0);
    ++probe->calls;
    probe->context = context;
    probe->lastDone = done;
    probe->lastTotal = total;
    *go = probe->go;
    return probe->result;
}

TEST_F(FccPipe, TransfersReportProgressAndTheCallbackDecides) {
    startServer();
    const std::string ticket = ticketFor('v', 'd');
    server->addFile(ticket, std::string(5000, 'z'), true);
    server->setProgressReports(2);
    Fcc::FccServerFile file;
    file.ticket = ticket.c_str();
    file.handle = "the handle";

    ProgressProbe going;
    char* path = nullptr;
    ASSERT_EQ(Fcc::FccFileExchange(file, &path, "IMD", onProgress, &going), 0);
    ASSERT_NE(path, nullptr);
    EXPECT_STREQ(path, "cache/files/1");
    Fcc::fccRelease(path);
    EXPECT_EQ(going.calls, 2);
    EXPECT_EQ(going.lastDone, 5000);
    EXPECT_EQ(going.lastTotal, 5000);
    EXPECT_EQ(file.size, 5000);  // taken from the progress reports
    EXPECT_EQ(going.context, file.handle);
    // Statuses carry the counter as the request left it, and do not move
    // it: the replies after them still carry the request's number.
    const auto files = server->requestsOf(4);
    const auto statuses = server->requestsOf(10);
    ASSERT_EQ(statuses.size(), 2u);
    EXPECT_EQ(statuses[0].sequence, files[0].sequence + 1);
    EXPECT_EQ(statuses[1].sequence, files[0].sequence + 1);
    EXPECT_EQ(statuses[0].payload, (std::vector<unsigned char>{0, 0, 0, 0}));

    ProgressProbe cancelling;
    cancelling.go = 0;
    EXPECT_EQ(
        Fcc::FccLocationExchange(file, "IMD", onProgress, &cancelling, root.c_str(), "out.bin"),
        Fcc::ERR_FMSCP_CANCELLED);
    EXPECT_EQ(cancelling.calls, 1);
    ProgressProbe failing;
    failing.result = -7;
    char* volume = nullptr;
    EXPECT_EQ(Fcc::FccUploadExchange(file, "/tmp/x", onProgress, &failing, &volume), -7);
    EXPECT_EQ(volume, nullptr);
    const std::string log = traced();
    EXPECT_NE(log.find("byte STATUS: CANCEL request sent to FCC\n"), std::string::npos);
    EXPECT_NE(log.find("byte STATUS: FAIL (-7) request sent to FCC\n"), std::string::npos);
    const auto locations = server->requestsOf(13);
    ASSERT_EQ(locations.size(), 1u);
    const std::string target(locations[0].payload.begin() + 5, locations[0].payload.end());
    EXPECT_EQ(target, root + "/out.bin" + std::string(1, '\0'));

    // A target too long for a request is refused before anything is sent.
    const std::string longName(2100, 'n');
    EXPECT_EQ(Fcc::FccLocationExchange(file, "IMD", nullptr, nullptr, nullptr, longName.c_str()),
              Fcc::ERR_FMSCP_BAD_ARG);
    EXPECT_EQ(server->requestsOf(13).size(), 1u);

    // Without a callback a transfer goes on; a string longer than its reply
    // is refused.
    server->setProgressReports(0);
    server->injectFault(7, Fault::ShortString);
    EXPECT_EQ(Fcc::FccUploadExchange(file, "/tmp/x", nullptr, nullptr, &volume),
              Fcc::ERR_FMSCP_BAD_ARG);
    EXPECT_NE(traced().find("MESSAGE ERROR: Invalid volumeID length"), std::string::npos);
    EXPECT_EQ(Fcc::FccRollbackExchange(file, nullptr), 0);
    EXPECT_EQ(Fcc::FccRollbackExchange(file, "VOL7"), 0);
    EXPECT_EQ(server->rolledBack(), (std::vector<std::string>{"", "VOL7"}));
}

TEST_F(FccPipe, CacheInformationIsCheckedFieldByField) {
    startServer();
    Fcc::FccCacheInfo info;
    ASSERT_EQ(Fcc::FccCacheInfoExchange(info), 0);
    EXPECT_STREQ(info.folder, FakeFccServer::describedCache().folder);
    EXPECT_STREQ(info.mapName, "fms");
    EXPECT_EQ(info.filePages, 1024);
    EXPECT_EQ(info.segments, 16);
    EXPECT_EQ(info.hashBlockPages, 8);
    EXPECT_EQ(info.mbExtents, 32);
    EXPECT_EQ(info.extents, 2);

    const char* lines[] = {
        "number of file pages 0",  "number of segments 0", "number of hash block pages 0",
        "number of MB extents -1", "number of extents -1", "cache directory name size 0",
        "map name size 200"};
    for (int field = 0; field < 7; ++field) {
        server->setInvalidCacheInfoField(field);
        Fcc::FccCacheInfo refused;
        EXPECT_EQ(Fcc::FccCacheInfoExchange(refused), Fcc::ERR_FMSCP_BAD_ARG) << field;
        EXPECT_EQ(refused.folder, nullptr);
        EXPECT_NE(traced().find(std::string("MESSAGE ERROR: Invalid ") + lines[field]),
                  std::string::npos)
            << lines[field];
    }
}

TEST_F(FccPipe, LastErrorIsTranslatedOnceAndOnlyOverAnOpenPipe) {
    Fcc::FccSetLastErrorText("ERR_FMSCP_EOF");
    EXPECT_STREQ(Fcc::FccGetLastErrorText(), "ERR_FMSCP_EOF");  // no pipe: no wait for a server
    startServer();
    ASSERT_EQ(Fcc::FccEchoExchange(), 0);
    EXPECT_STREQ(Fcc::FccGetLastErrorText(), "[de] ERR_FMSCP_EOF");
    EXPECT_STREQ(Fcc::FccGetLastErrorText(), "[de] ERR_FMSCP_EOF");
    EXPECT_EQ(server->requestsOf(12).size(), 1u);
    char* translated = nullptr;
    server->injectFault(12, Fault::ErrorReply);
    EXPECT_EQ(Fcc::FccLocalizeExchange("plain", &translated), -3005);
    EXPECT_STREQ(translated, "plain");  // the untranslated copy stays
    std::free(translated);
    // Asked again from an exit handler, after the thread's own objects
    // were destroyed.
    EXPECT_EQ("", runInChild([] {
                  static const char* const text = "a text too long to fit in a string's own room";
                  Fcc::FccSetLastErrorText(text);
                  if (!Fcc::FccGetLastErrorText()) _exit(4);
                  std::atexit([] {
                      const char* again = Fcc::FccGetLastErrorText();
                      _exit(again && std::strcmp(again, text) == 0 ? 0 : 5);
                  });
                  std::exit(0);
              }));
}

// A server silent on the translation costs the caller a bounded wait, and
// the untranslated text.
TEST_F(FccPipe, ATranslationThatNeverComesGivesTheTextUntranslated) {
    Fcc::Testing::setFccWait(&Fcc::FccTiming::translationWait, 50);
    startServer();
    auto call = onThread([this] {
        if (Fcc::FccEchoExchange() != 0) return -1;
        Fcc::FccSetLastErrorText("ERR_FMSCP_EOF");
        server->injectFault(12, Fault::Silent);
        const char* text = Fcc::FccGetLastErrorText();
        return text && std::string(text) == "ERR_FMSCP_EOF" ? 1 : 0;
    });
    EXPECT_EQ(within(call, 30, "the translation of a last error"), 1);
    EXPECT_NE(traced().find("No reply from FCC (FMS_LOCALIZE_MSG)"), std::string::npos);
}

// A request sent on a closed pipe connects first; the version check of that
// connect does not take the place of the request in the record's buffer.
TEST_F(FccPipe, AReconnectSendsTheRequestItWasGiven) {
    startServer();
    Fcc::FccConnectionRef mine = record();
    ASSERT_EQ(Fcc::FccEchoExchange(), 0);
    mine->closePipe();
    unsigned char* request = mine->requestBuffer;
    const unsigned char echo[12] = {1, 0, 0x12, 0x34, 0x00, 0x06, 0xFF, 0xF9, 0, 0, 0, 0};
    std::memcpy(request, echo, sizeof echo);
    ASSERT_EQ(Fcc::FccSendRequest(mine.get(), request, sizeof echo), 12);
    ASSERT_TRUE(eventually([&] { return server->requests().size() == 4; }));
    const auto last = server->requests().back();
    EXPECT_EQ(last.messageType, Fcc::fccMessageType(Fcc::FMS_ECHO_MSG));
    EXPECT_EQ(last.sequence, 0x1234);
}

TEST_F(FccPipe, ARefusedVersionLeavesNoPipeOpen) {
    startServer();
    server->injectFault(15, Fault::RefuseVersion);
    Fcc::FccConnectionRef mine = record();
    EXPECT_EQ(Fcc::FccConnectProxyLocked(mine.get()), Fcc::ERR_FMSCP_VERSION);
    EXPECT_FALSE(mine->pipe.isOpen());
    EXPECT_EQ(Fcc::FccConnectProxyLocked(mine.get()), 0);
    EXPECT_TRUE(mine->pipe.isOpen());
}

TEST_F(FccPipe, AFileOpenedThroughAClosedPipeIsOpenedAgain) {
    startServer();
    const std::string ticket = ticketFor('v', 'e');
    server->addFile(ticket, "0123456789", true);
    Fcc::FccServerFile file;
    file.ticket = ticket.c_str();
    ASSERT_GT(Fcc::FccOpenExchange(file), 0);
    EXPECT_EQ(record()->openFiles, 1);
    record()->closePipe();
    EXPECT_FALSE(Fcc::fccIsOpenOnServer(file));
    EXPECT_EQ(Fcc::FccSizeExchange(file), 10);
    EXPECT_EQ(server->requestsOf(1).size(), 2u);
    EXPECT_EQ(record()->openFiles, 1);
    EXPECT_EQ(Fcc::FccCloseExchange(file), 0);
    EXPECT_EQ(record()->openFiles, 0);
}

TEST_F(FccPipe, IdleThreadsLoseTheirPipeUnlessTheyHoldAnOpenFile) {
    startServer();
    const std::string ticket = ticketFor('v', 'f');
    server->addFile(ticket, "kept");
    Fcc::FccRuntimeStart();  // 10 ms ticks
    Fcc::FccServerFile file;
    file.ticket = ticket.c_str();
    Fcc::FccConnection* withFile = nullptr;
    Fcc::FccConnection* idle = nullptr;
    std::thread([&] {
        EXPECT_GT(Fcc::FccOpenExchange(file), 0);
        withFile = record().get();
    }).join();
    std::thread([&] {
        EXPECT_EQ(Fcc::FccEchoExchange(), 0);
        idle = record().get();
    }).join();
    // The other record has been idle longer: the monitor's pass that gave
    // the idle one up, which ends when its lock is free, would have closed
    // the other one's pipe too.
    ASSERT_TRUE(eventually([&] { return idle->threadId == Fcc::FCC_NO_THREAD; }));
    Fcc::FccThreadRecordLock();
    Fcc::FccThreadRecordUnlock();
    ASSERT_TRUE(eventually([&] { return server->connectionsClosed() > 0; }));
    EXPECT_EQ(server->connectionsClosed(), 1);
    EXPECT_TRUE(withFile->pipe.isOpen());
    Fcc::FccRuntimeStop();
}

TEST_F(FccPipe, NoServerAndAScriptThatFailsGiveStartFailed) {
    Fcc::FccConnectionRef mine = record();
    EXPECT_EQ(Fcc::FccConnectProxyLocked(mine.get()), Fcc::ERR_FMSCP_START_FAILED);
    EXPECT_NE(traced().find("ConnectProxy: The launched FCC process '" + root +
                            "/startfcc.bat' terminated"),
              std::string::npos);
    EXPECT_EQ(Fcc::FccEchoExchange(), Fcc::ERR_FMSCP_NO_CACHE);

    // A script that cannot be run at all.
    writeScript(root + "/startfcc.bat", "exit 0\n", 0755);  // no interpreter line
    EXPECT_EQ(Fcc::FccConnectProxyLocked(mine.get()), Fcc::ERR_FMSCP_START_FAILED);
    EXPECT_NE(
        traced().find("Failed to start '" + root + "/startfcc.bat' in directory '" + root + "'\n"),
        std::string::npos);
}

TEST_F(FccPipe, ARelativeHomeStartsTheScriptThatWasChecked) {
    // The script of FMS_HOME=home, and a decoy where a launch that changed
    // into home first would look for home/startfcc.bat.
    mkdir((root + "/home").c_str(), 0700);
    mkdir((root + "/home/home").c_str(), 0700);
    writeScript(root + "/home/startfcc.bat",
                std::string("#!/bin/sh\nexec ") + QMSOA_FAKE_FCC_SERVER + "\n");
    writeScript(root + "/home/home/startfcc.bat", "#!/bin/sh\nexit 7\n");
    ASSERT_EQ(chdir(root.c_str()), 0);
    setenv("FMS_HOME", "home", 1);
    ASSERT_EQ(Fcc::FccReadConfiguration(), 0);
    EXPECT_EQ(Fcc::fccConfiguration().launchScript, root + "/home/startfcc.bat");

    // The application's folder may change before the server is needed.
    ASSERT_EQ(chdir("/"), 0);
    Fcc::FccConnectionRef mine = record();
    EXPECT_EQ(Fcc::FccConnectProxyLocked(mine.get()), 0);
    EXPECT_TRUE(mine->pipe.isOpen());
    EXPECT_EQ(Fcc::FccEchoExchange(), 0);
}

TEST_F(FccPipe, AServerThatNeverAnswersLeavesThePipeClosedAfterTheWait) {
    Fcc::Testing::setFccWait(&Fcc::FccTiming::launchWaitLimit, 600);
    writeScript(root + "/startfcc.bat", "#!/bin/sh\nexec sleep 30\n");
    Fcc::FccConnectionRef mine = record();
    EXPECT_EQ(Fcc::FccConnectProxyLocked(mine.get()), 0);
    EXPECT_FALSE(mine->pipe.isOpen());
    const char byte = 1;
    EXPECT_EQ(Fcc::FccSendRequest(mine.get(), &byte, 1), Fcc::ERR_FMSCP_NO_CACHE);
}

// What the set-up makes of the launch script: its status, the calling
// thread's last error, and what it printed on standard error.
struct ScriptCheck {
    int status = 0;
    std::string lastError;
    std::string printed;
};

ScriptCheck checkScript() {
    ScriptCheck check;
    OutputCapture out(1);
    OutputCapture err(2);
    auto reading = onThread([&check] {
        const int status = Fcc::FccReadConfiguration();
        const char* text = Fcc::FccLastErrorText();
        check.lastError = text ? text : "";
        return status;
    });
    check.status = within(reading, 30, "the check of the launch script");
    check.printed = err.finish();
    out.finish();
    return check;
}

// A launch script that another local user could have written, or that is
// no file at all, is refused at set-up, naming the path and the reason,
// without waiting on it; one that becomes so afterwards is not run.
TEST_F(FccPipe, ALaunchScriptOthersMayWriteIsNeitherAcceptedNorRun) {
    const std::string script = root + "/startfcc.bat";
    const auto refusedFor = [&](const std::string& reason) {
        const ScriptCheck check = checkScript();
        const std::string text = "The FCC launch script '" + script + "' is not used: " + reason;
        EXPECT_EQ(check.status, Fcc::ERR_FMSCP_START_SCRIPT) << reason;
        EXPECT_EQ(check.lastError, text + ".");
        EXPECT_NE(check.printed.find(text), std::string::npos) << check.printed;
        EXPECT_NE(traced().find(text), std::string::npos) << reason;
    };
    ASSERT_EQ(unlink(script.c_str()), 0);
    ASSERT_EQ(mkfifo(script.c_str(), 0755), 0);
    refusedFor("it is not a regular file");
    ASSERT_EQ(unlink(script.c_str()), 0);

    const std::string ran = root + "/ran";
    writeScript(script, "#!/bin/sh\ntouch " + ran + "\nexit 3\n", 0777);
    refusedFor("it may be written by users other than its owner");
    ASSERT_EQ(chmod(script.c_str(), 0755), 0);
    ASSERT_EQ(chmod(root.c_str(), 0777), 0);
    refusedFor("its folder '" + root + "' may be written by users other than its owner");
    // A folder whose sticky bit keeps others from replacing what they do
    // not own is used, but not a script that another user put into it; in
    // a folder only its owner may write, a script of another user that only
    // its owner may write is used.
    ASSERT_EQ(chmod(root.c_str(), 01777), 0);
    EXPECT_EQ(checkScript().status, 0);
    if (geteuid() == 0) {
        ASSERT_EQ(chown(script.c_str(), 65534, 65534), 0);
        refusedFor("it belongs to another user (uid 65534) and lies in the folder '" + root +
                   "', which others may write");
        ASSERT_EQ(chmod(root.c_str(), 0700), 0);
        EXPECT_EQ(checkScript().status, 0);
        ASSERT_EQ(chown(script.c_str(), 0, 0), 0);
    } else {
        std::printf("(a script of another user: skipped, only root can make one)\n");
    }
    ASSERT_EQ(chmod(root.c_str(), 0700), 0);
    EXPECT_EQ(checkScript().status, 0);

    // Checked at set-up, made writable by others before the launch: not run.
    // (A script that is run is waited for until it ends.)
    Fcc::Testing::setFccWait(&Fcc::FccTiming::launchWaitLimit, 600000);
    ASSERT_EQ(chmod(script.c_str(), 0777), 0);
    Fcc::FccConnectionRef mine = record();
    {
        OutputCapture err(2);
        EXPECT_EQ(Fcc::FccConnectProxyLocked(mine.get()), Fcc::ERR_FMSCP_START_FAILED);
        err.finish();
    }
    EXPECT_FALSE(std::filesystem::exists(ran));
    ASSERT_EQ(chmod(script.c_str(), 0755), 0);
    EXPECT_EQ(Fcc::FccConnectProxyLocked(mine.get()), Fcc::ERR_FMSCP_START_FAILED);
    EXPECT_TRUE(std::filesystem::exists(ran));
}

// A path that passes the check but that the launch could not run would
// fail only after the launch wait: it is refused at set-up.
TEST_F(FccPipe, ALaunchScriptPathTheSystemCannotRunIsRefusedAtSetUp) {
    const std::string script = root + "/startfcc.bat";
    setenv("FCC_PROXYEXECNAME", "startfcc.bat/", 1);
    EXPECT_EQ(checkScript().status, Fcc::ERR_FMSCP_START_SCRIPT);
    std::string padded = "startfcc.bat";
    while (root.size() + 1 + padded.size() < PATH_MAX) padded = "./" + padded;
    setenv("FCC_PROXYEXECNAME", padded.c_str(), 1);
    const ScriptCheck check = checkScript();
    EXPECT_EQ(check.status, Fcc::ERR_FMSCP_START_SCRIPT);
    EXPECT_EQ(check.lastError, "The FCC launch script '" + root + "/" + padded +
                                   "' is not used: its path is longer than " +
                                   std::to_string(PATH_MAX - 1) + " bytes.");
    padded.erase(0, 2);
    setenv("FCC_PROXYEXECNAME", padded.c_str(), 1);
    EXPECT_EQ(checkScript().status, 0);
    unsetenv("FCC_PROXYEXECNAME");
}

TEST_F(FccPipe, TheLaunchScriptStartsTheServer) {
    writeScript(root + "/startfcc.bat",
                std::string("#!/bin/sh\nexec ") + QMSOA_FAKE_FCC_SERVER + "\n");
    Fcc::FccConnectionRef mine = record();
    EXPECT_EQ(Fcc::FccConnectProxyLocked(mine.get()), 0);
    EXPECT_TRUE(mine->pipe.isOpen());
    EXPECT_EQ(Fcc::FccEchoExchange(), 0);
    EXPECT_NE(traced().find("Pipe not connected - waking up FMS Cache Server\n"),
              std::string::npos);
}

// ---- A server that falls silent, one that dies -----------------------------

// A master pipe that takes every connection and never says a word.
class SilentMasterPipe {
public:
    SilentMasterPipe() : path(Quillomark::Platform::Os::pipePath(Fcc::FCC_DEFAULT_PIPE_NAME)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        listener = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(listener, 16) != 0) {
            ADD_FAILURE() << "cannot listen at " << path;
        }
        acceptor = std::thread([this] {
            for (;;) {
                const int taken = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
                if (taken < 0) return;
                std::lock_guard<std::mutex> guard(mutex);
                clients.push_back(taken);
            }
        });
    }
    ~SilentMasterPipe() {
        shutdown(listener, SHUT_RDWR);
        acceptor.join();
        for (int client : clients) close(client);
        close(listener);
        unlink(path.c_str());
    }
    int connections() {
        std::lock_guard<std::mutex> guard(mutex);
        return static_cast<int>(clients.size());
    }

private:
    std::string path;
    int listener = -1;
    std::thread acceptor;
    std::mutex mutex;
    std::vector<int> clients;
};

int connectCallingThread() {
    Fcc::FccConnectionRef mine = Fcc::FccGetThreadConnection();
    return Fcc::FccConnectProxyLocked(mine.get());
}

TEST_F(FccPipe, ASilentMasterPipeIsTriedOnceAndTheCallersBehindItGiveUp) {
    Fcc::Testing::setFccWait(&Fcc::FccTiming::setUpReplyWait, 600);
    SilentMasterPipe master;
    std::vector<std::future<int>> connects;
    for (int i = 0; i < 4; ++i) connects.push_back(onThread(connectCallingThread));
    for (auto& connect : connects) {
        EXPECT_EQ(within(connect, 120, "connect to a silent master pipe"), Fcc::ERR_FMSCP_NO_CACHE);
    }
    EXPECT_LE(master.connections(), 4);
    // A server is there: none is launched.
    EXPECT_EQ(traced().find("Pipe not connected - waking up FMS Cache Server\n"),
              std::string::npos);
}

TEST_F(FccPipe, AThreadWaitingForTheConnectLockGivesUp) {
    Fcc::Testing::setFccWait(&Fcc::FccTiming::setUpReplyWait, 600);
    Fcc::FccConnectLock();
    auto connect = onThread(connectCallingThread);
    EXPECT_EQ(within(connect, 120, "connect behind a held connect lock"), Fcc::ERR_FMSCP_NO_CACHE);
    Fcc::FccConnectUnlock();
}

TEST_F(FccPipe, LaunchedServersThatDieAreReaped) {
    writeScript(root + "/startfcc.bat",
                std::string("#!/bin/sh\nexec ") + QMSOA_FAKE_FCC_SERVER + "\n");
    {
        OutputCapture out(1);
        ASSERT_EQ(Own::FCC_Init(nullptr, nullptr), 0);
        out.finish();
    }
    std::vector<pid_t> launched = children();
    ASSERT_EQ(launched.size(), 1u);
    const pid_t first = launched[0];
    ASSERT_EQ(kill(first, SIGKILL), 0);
    ASSERT_TRUE(eventually([&] { return endedAndWaitable(first); }));
    EXPECT_EQ(stateOf(first), 'Z');
    // The next requests find the server gone and launch it again: the
    // first fails on the broken pipe, unless the idle monitor's short ticks
    // took the thread's pipe away before it (as they may on a busy machine),
    // and then it launches the server itself.
    const int afterTheKill = Own::FCC_Echo();
    EXPECT_TRUE(afterTheKill == Fcc::ERR_FMSCP_NO_CACHE || afterTheKill == 0) << afterTheKill;
    EXPECT_EQ(Own::FCC_Echo(), 0);
    EXPECT_EQ(stateOf(first), 0);

    launched = children();
    ASSERT_EQ(launched.size(), 1u);
    const pid_t second = launched[0];
    ASSERT_EQ(kill(second, SIGKILL), 0);
    ASSERT_TRUE(eventually([&] { return endedAndWaitable(second); }));
    EXPECT_EQ(Own::FCC_Term(), 0);
    EXPECT_EQ(stateOf(second), 0);
}

}  // namespace
