// The self-proxy's side of the fast cache, against the fake file-cache
// server and a cache shared by a server in this process. The fake server
// names its cache folder in each case's own folder.

#include "../CacheFolder.hxx"

#include <fcc/fastcache/internal/FmscInterface.hxx>
#include <fcc/internal/FccErrors.hxx>
#include <fcc/internal/FccSelfProxy.hxx>
#include <fcc/pipe/internal/FccProtocol.hxx>
#include <fcc/pipe/internal/FccTransport.hxx>
#include <fcc/runtime/internal/FccRuntime.hxx>
#include <fcc/runtime/internal/FccTiming.hxx>
#include <fcc/selfproxy/internal/FastCacheClient.hxx>
#include <fcc/selfproxy/internal/FccFileRecord.hxx>
#include <tests/support/FakeFccServer.hxx>
#include <tests/support/OutputCapture.hxx>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <memory>
#include <unistd.h>

namespace Quillomark::Fcc {
namespace {

char cachedGuid[] = "0123456789ABCDEF0123456789ABCDEF";
char otherGuid[] = "FEDCBA9876543210FEDCBA9876543210";

class FastCacheClient : public ::testing::Test {
protected:
    void SetUp() override {
        previous = std::filesystem::current_path();
        std::filesystem::current_path(folder.path);
        setenv("FMS_HOME", folder.path.c_str(), 1);
        std::ofstream(folder.file("startfcc.bat")) << "#!/bin/sh\nexit 3\n";
        chmod(folder.file("startfcc.bat").c_str(), 0755);
        Testing::scaleFccTiming(100);
        ASSERT_EQ(0, FccReadConfiguration());
        fakeServer = std::make_unique<Quillomark::Testing::FakeFccServer>();
        std::filesystem::create_directories(
            Quillomark::Testing::FakeFccServer::describedCache().folder);
        openServerCache();
        std::int32_t first = -1;
        ASSERT_EQ(0, FMSCIF_AddFile(cache, cachedGuid, 40000, 0, &first));
        content.resize(40000);
        for (std::size_t i = 0; i < content.size(); ++i)
            content[i] = std::uint8_t(i * 13 + i / 16384);
        ASSERT_EQ(0, FMSCIF_WriteData(cache, &first, 0, content.data(), 40000));
        file.guid = cachedGuid;
    }
    void TearDown() override {
        FmscCloseFastCache();
        if (cache) FMSCIF_Close(&cache);
        fakeServer.reset();
        FccCloseAllConnections();
        std::filesystem::current_path(previous);
    }
    // The cache as the fake server describes it.
    void openServerCache(bool deleteFiles = true) {
        FMSC_OPEN_PARAMS params = Quillomark::Testing::FakeFccServer::describedCache();
        params.deleteFiles = deleteFiles;
        ASSERT_EQ(0, FMSCIF_OpenS(&params, &cache));
    }
    int readAt(std::int64_t position, int count, std::vector<std::uint8_t>& into) {
        into.assign(std::size_t(count), 0);
        file.server.position = position;
        return FmscReadBytes(&file, into.data(), count);
    }

    Quillomark::Testing::CacheFolder folder;
    std::filesystem::path previous;
    std::unique_ptr<Quillomark::Testing::FakeFccServer> fakeServer;
    FMSC_FILETOC_T* cache = nullptr;
    std::vector<std::uint8_t> content;
    FccFile file{};
};

TEST_F(FastCacheClient, ReadsCachedRangesAndLeavesTheRestToThePipe) {
    ASSERT_EQ(0, checkInitFMSC());
    EXPECT_EQ(1, cache->shared->clients);
    EXPECT_EQ(0, FmscLookupFileSize(&file));
    EXPECT_EQ(40000, file.server.size);

    std::vector<std::uint8_t> bytes;
    ASSERT_EQ(40000, readAt(0, 40000, bytes));
    EXPECT_EQ(content, bytes);
    // A range that starts in the last, short block gets what it holds.
    ASSERT_EQ(40000 - 32868, readAt(32868, 10000, bytes));
    EXPECT_EQ(content[32868], bytes[0]);
    EXPECT_EQ(content[39999], bytes[40000 - 32868 - 1]);
    EXPECT_EQ(ERR_FMSCP_EOF, readAt(40000, 10, bytes));
    ASSERT_EQ(100, readAt(0, 100, bytes));
    EXPECT_EQ(0, file.server.position);  // the caller moves the position

    // A block the cache does not hold ends the range before it.
    std::int32_t first = -1;
    std::int64_t size = 0;
    ASSERT_EQ(0, FMSCIF_FindFile(cache, cachedGuid, &size, &first));
    cache->pages[first].segments[1].fileOffset = 7;
    ASSERT_EQ(16384 - 100, readAt(100, 30000, bytes));
    EXPECT_EQ(content[16383], bytes[16383 - 100]);
    cache->pages[first].segments[1].fileOffset = 1;

    FccFile other{};
    other.guid = otherGuid;
    EXPECT_EQ(ERR_FMSCP_BAD_FILE, FmscLookupFileSize(&other));
    EXPECT_EQ(0, FmscReadBytes(&other, bytes.data(), 10));
}

TEST_F(FastCacheClient, OpenFileReadsComeFromTheCacheWithoutDataRequests) {
    std::string ticket(300, 't');
    ticket.replace(64, 4, "v123");
    ticket.replace(70, 32, cachedGuid);
    fakeServer->addFile(ticket, std::string(40000, 'p'));
    {
        Quillomark::Testing::OutputCapture output(1);
        ASSERT_EQ(0, SelfProxy::FCC_Init(nullptr, nullptr));
    }
    char* handle = nullptr;
    ASSERT_EQ(0, SelfProxy::FCC_RegisterTicket(ticket.c_str(), &handle));
    FccFile* opened = nullptr;
    ASSERT_EQ(0, SelfProxy::FCC_OpenFile(handle, &opened));
    std::vector<std::uint8_t> bytes(20000);
    int bytesRead = 0;
    ASSERT_EQ(0, SelfProxy::FCC_ReadBytes(opened, "IMD", 20000, &bytesRead, bytes.data()));
    ASSERT_EQ(20000, bytesRead);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), content.begin()));
    EXPECT_TRUE(fakeServer->requestsOf(FMS_GET_DATA_MSG).empty());
    EXPECT_EQ(0, SelfProxy::FCC_CloseFileHandlePointer(opened));
    while (SelfProxy::FCC_Term() == 0) {
    }
}

TEST_F(FastCacheClient, AttachesOnceUntilClosedAndDetachesFromAServerThatWentAway) {
    ASSERT_EQ(0, checkInitFMSC());
    const auto versionChecks =
        fakeServer->requestsOf(15).size() + fakeServer->requestsOf(14).size();
    ASSERT_EQ(0, checkInitFMSC());
    EXPECT_EQ(versionChecks, fakeServer->requestsOf(15).size() + fakeServer->requestsOf(14).size());

    ASSERT_EQ(0, FmscCloseFastCache());
    EXPECT_EQ(0, cache->shared->clients);
    ASSERT_EQ(0, checkInitFMSC());
    EXPECT_EQ(1, cache->shared->clients);

    // The server closes and makes its cache anew: the client's view is old.
    ASSERT_EQ(0, FMSCIF_Close(&cache));
    openServerCache();
    std::vector<std::uint8_t> bytes(10);
    file.server.position = 0;
    EXPECT_EQ(0, FmscReadBytes(&file, bytes.data(), 10));
    ASSERT_EQ(0, checkInitFMSC());  // attached anew
    EXPECT_EQ(1, cache->shared->clients);
}

TEST_F(FastCacheClient, PipeOnlyModeAndAMissingCacheLeaveThePipe) {
    setenv("FCC_PROXY_PIPEONLY", "", 1);
    Quillomark::Testing::OutputCapture output(1);
    EXPECT_EQ(-1, checkInitFMSC());
    EXPECT_EQ(-1, checkInitFMSC());
    unsetenv("FCC_PROXY_PIPEONLY");
    EXPECT_EQ(-1, FmscLookupFileSize(&file));
    std::vector<std::uint8_t> bytes(10);
    EXPECT_EQ(0, FmscReadBytes(&file, bytes.data(), 10));
    EXPECT_EQ(0, FmscCloseFastCache());

    ASSERT_EQ(0, FMSCIF_Close(&cache));
    std::filesystem::remove_all(Quillomark::Testing::FakeFccServer::describedCache().folder);
    EXPECT_EQ(-9, checkInitFMSC());
    std::string text = output.finish();
    const std::string pipeOnly =
        "\n***** WARNING: FCC proxy 'PIPE ONLY' mode detected. *****\n***** The FMS fast cache "
        "will continue to "
        "operate in pipe mode with possibly degraded performance. *****\n";
    EXPECT_EQ(text.find(pipeOnly), text.rfind(pipeOnly));  // once
    EXPECT_NE(std::string::npos,
              text.find("\n***** WARNING: Error 9 opening FMSCache, . *****\n***** There was "
                        "insufficient memory to open the FMS fast cache in memory mapped mode. "
                        "*****\n***** The FMS fast cache will continue"));
}

// The folder comes from the server: a relative one would be looked for from
// wherever the application happens to be, so it names no fast cache, even
// where it does name the server's.
TEST_F(FastCacheClient, ARelativeCacheFolderIsPipeMode) {
    const std::filesystem::path absolute =
        Quillomark::Testing::FakeFccServer::describedCache().folder;
    ASSERT_EQ(absolute.parent_path(), std::filesystem::current_path());
    fakeServer->describeCacheFolder(absolute.filename());
    Quillomark::Testing::OutputCapture output(1);
    const int attached = checkInitFMSC();
    const std::string printed = output.finish();
    EXPECT_EQ(-1, attached);
    EXPECT_NE(std::string::npos, printed.find("will continue to operate in pipe mode"));
    EXPECT_EQ(0, cache->shared->clients);
    EXPECT_EQ(-1, FmscLookupFileSize(&file));
}

// Files that another user could write, or that are another user's, could
// change under the client's mappings: it leaves such a cache alone.
TEST_F(FastCacheClient, CacheFilesThatOthersMayWriteAreNotMapped) {
    const std::string folder = Quillomark::Testing::FakeFccServer::describedCache().folder;
    struct Change {
        const char* file;
        mode_t mode;  // 0: owned by another user instead
    };
    std::vector<Change> changes = {{"fms.mf", 0666}, {"fms.hsh", 0620}, {"fms.seg", 0602}};
    if (geteuid() == 0) changes.push_back({"fms.mf", 0});
    std::vector<int> attached, clients;
    Quillomark::Testing::OutputCapture output(1);
    for (const Change& change : changes) {
        const std::string path = folder + "/" + change.file;
        struct stat before;
        if (stat(path.c_str(), &before) != 0) break;
        const int changed =
            change.mode ? chmod(path.c_str(), change.mode) : chown(path.c_str(), 65534, 65534);
        attached.push_back(changed == 0 ? checkInitFMSC() : 0);
        clients.push_back(cache->shared->clients);
        FmscCloseFastCache();
        chmod(path.c_str(), before.st_mode & 07777);
        if (chown(path.c_str(), before.st_uid, before.st_gid) != 0) break;
    }
    // The server makes its files anew, writable by its user alone whatever
    // the umask: its clients take them.
    ASSERT_EQ(0, FMSCIF_Close(&cache));
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    const mode_t umaskBefore = umask(0);
    openServerCache();
    umask(umaskBefore);
    attached.push_back(checkInitFMSC());
    output.finish();
    ASSERT_EQ(changes.size() + 1, attached.size());
    for (std::size_t i = 0; i < changes.size(); ++i) {
        EXPECT_NE(0, attached[i]) << changes[i].file << " " << std::oct << changes[i].mode;
        EXPECT_EQ(0, clients[i]) << changes[i].file << " " << std::oct << changes[i].mode;
    }
    for (const char* made : {"fms.mf", "fms.hsh", "fms.seg"}) {
        struct stat file;
        ASSERT_EQ(0, stat((folder + "/" + made).c_str(), &file));
        EXPECT_EQ(0u, file.st_mode & 022) << made;
    }
    EXPECT_EQ(0, attached.back());
    ASSERT_NE(nullptr, cache);
    EXPECT_EQ(1, cache->shared->clients);
}

}  // namespace
}  // namespace Quillomark::Fcc
