// Where the library's own file-cache interface has the server put and take
// files: the names and folders of downloads and the paths of uploads, as the
// server (which works in a folder of its own) receives them.

#include <fcc/FccException.hxx>
#include <fcc/FccInterface.hxx>
#include <fcc/FccProxy.hxx>
#include <fcc/internal/FccErrors.hxx>
#include <fcc/pipe/internal/FccProtocol.hxx>
#include <tests/fcc/SelfProxyFixture.hxx>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace {

namespace Fcc = Quillomark::Fcc;
using namespace Quillomark::Testing;

// The targets of the location requests, in order.
std::vector<std::string> locationTargets(const FakeFccServer& server) {
    std::vector<std::string> targets;
    for (const auto& request : server.requestsOf(Fcc::FMS_GET_LOCATION_MSG)) {
        // After the handle and the policy, up to the NUL.
        targets.emplace_back(reinterpret_cast<const char*>(request.payload.data()) + 5);
    }
    return targets;
}

// The local paths of the upload requests, in order.
std::vector<std::string> uploadPaths(const FakeFccServer& server) {
    std::vector<std::string> paths;
    for (const auto& request : server.requestsOf(Fcc::FMS_UPLOAD_MSG)) {
        paths.emplace_back(request.payload.begin() + 4, request.payload.end());
    }
    return paths;
}

TEST_F(SelfProxyServer, FileNamesThatLeaveTheirFolderAreRefusedBeforeAnythingIsSent) {
    server->addFile(makeTicket(1), "content");
    init();
    char* handle = registered(makeTicket(1));
    for (const char* name : {"", ".", "..", "a/b", "../../etc/cron.d/x", "..\\x", "a\\..\\..\\b",
                             "a\\..", "/etc/passwd"}) {
        EXPECT_EQ(
            Own::FCC_DownloadFileToLocation("IMD", handle, nullptr, nullptr, "/tmp/out", name),
            Fcc::ERR_FMSCP_BAD_ARG)
            << name;
    }
    // A batch is refused as a whole, the bad name's status says which.
    char* handles[] = {handle, handle};
    const char* names[] = {"good.txt", "../x"};
    int statuses[2];
    EXPECT_EQ(Own::FCC_DownloadFilesToLocation("IMD", 2, handles, nullptr, nullptr, "/tmp/out",
                                               names, statuses),
              Fcc::ERR_FMSCP_BAD_ARG);
    EXPECT_EQ(statuses[0], Fcc::ERR_FMSCP_NOT_EXECUTED);
    EXPECT_EQ(statuses[1], Fcc::ERR_FMSCP_BAD_ARG);
    EXPECT_TRUE(server->requestsOf(Fcc::FMS_OPEN_MSG).empty());
    EXPECT_EQ(lastError(), "[de] ERR_FMSCP_BAD_ARG");

    // Names that only look like those are names.
    for (const char* name : {"...", "..a", "a..", ".hidden"}) {
        EXPECT_EQ(
            Own::FCC_DownloadFileToLocation("IMD", handle, nullptr, nullptr, "/tmp/out", name), 0)
            << name;
    }
    EXPECT_EQ(locationTargets(*server),
              (std::vector<std::string>{"/tmp/out/...", "/tmp/out/..a", "/tmp/out/a..",
                                        "/tmp/out/.hidden"}));
}

// The server works in a folder of its own: a relative folder or path means
// what it means in the application's current folder.
TEST_F(SelfProxyServer, RelativeFoldersAndUploadPathsAreSentAsTheApplicationMeansThem) {
    server->addFile(makeTicket(1), "content");
    init();
    char* handle = registered(makeTicket(1));
    const std::string here = std::filesystem::current_path().string();
    for (const char* folder : {"downloads", "", static_cast<const char*>(nullptr), "/srv/out"}) {
        EXPECT_EQ(
            Own::FCC_DownloadFileToLocation("IMD", handle, nullptr, nullptr, folder, "drawing.txt"),
            0);
    }
    EXPECT_EQ(locationTargets(*server),
              (std::vector<std::string>{here + "/downloads/drawing.txt", here + "/drawing.txt",
                                        here + "/drawing.txt", "/srv/out/drawing.txt"}));

    char* volume = nullptr;
    EXPECT_EQ(Own::FCC_UploadFileToPLM(handle, nullptr, nullptr, "report.txt", &volume), 0);
    std::free(volume);
    EXPECT_EQ(Own::FCC_UploadFileToPLM(handle, nullptr, nullptr, "", &volume),
              Fcc::ERR_FMSCP_BAD_ARG);
    char* handles[] = {handle, handle};
    const char* paths[] = {"", "/data/b"};
    int statuses[2];
    EXPECT_EQ(Own::FCC_UploadFilesToPLM(2, handles, nullptr, nullptr, paths, 1, nullptr, statuses),
              1);
    EXPECT_EQ(statuses[0], Fcc::ERR_FMSCP_BAD_ARG);
    EXPECT_EQ(statuses[1], 0);
    EXPECT_EQ(uploadPaths(*server), (std::vector<std::string>{here + "/report.txt", "/data/b"}));
}

// Through FccProxy: a name cut short at a NUL is no name, and a batch whose
// registration fails leaves no ticket registered.
TEST_F(SelfProxyServer, ProxyTransfersRefuseBadNamesAndFailedRegistrationsLeaveNothing) {
    server->addFile(makeTicket(1), "content");
    OutputCapture out(1);
    OutputCapture err(2);
    Quillomark::Soa::Client::FccProxy proxy;
    std::map<std::string, int> failures;
    try {
        proxy.downloadFilesToLocation({{makeTicket(1), std::string("short\0.exe", 10)}}, root,
                                      failures);
        ADD_FAILURE() << "no exception";
    } catch (const Quillomark::Soa::Client::FccException& e) {
        EXPECT_EQ(e.failCode(), Fcc::ERR_FMSCP_BAD_ARG);
    }
    EXPECT_TRUE(server->requestsOf(Fcc::FMS_OPEN_MSG).empty());

    std::vector<std::string> files;
    try {
        proxy.downloadFiles({makeTicket(1), "malformed"}, files, failures);
        ADD_FAILURE() << "no exception";
    } catch (const Quillomark::Soa::Client::FccException& e) {
        EXPECT_EQ(e.failCode(), 1);
        EXPECT_NE(e.msg().find("ERR_FMSCP_BAD_TICKET"), std::string::npos) << e.msg();
    }
    EXPECT_TRUE(files.empty());
    EXPECT_TRUE(failures.empty());
    // The good ticket is no longer registered: registered once more, one
    // unregistration lets it go (a handle is known by its address, and a
    // released one names no ticket).
    char* handle = nullptr;
    ASSERT_EQ(FCC_RegisterTicket(makeTicket(1).c_str(), &handle), 0);
    EXPECT_EQ(FCC_UnRegisterTicket(handle), 0);
    EXPECT_EQ(FCC_UnRegisterTicket(handle), Fcc::ERR_FMSCP_BAD_TICKET);
    out.finish();
    err.finish();
}

}  // namespace
