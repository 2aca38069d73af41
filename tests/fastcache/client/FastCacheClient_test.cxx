// The self-proxy's side of the fast cache, against the fake file-cache
// server and a cache shared by a server in this process. The fake server
// names its cache folder in each case's own folder.

#include "../CacheFolder.hxx"
#include "../ChildProcess.hxx"

#include <fcc/fastcache/internal/FmscInterface.hxx>
#include <fcc/fastcache/internal/FmscTesting.hxx>
#include <fcc/internal/FccErrors.hxx>
#include <fcc/internal/FccSelfProxy.hxx>
#include <fcc/pipe/internal/FccProtocol.hxx>
#include <fcc/pipe/internal/FccTransport.hxx>
#include <fcc/runtime/internal/FccRuntime.hxx>
#include <fcc/runtime/internal/FccTiming.hxx>
#include <fcc/selfproxy/internal/FastCacheClient.hxx>
#include <fcc/selfproxy/internal/FccFileRecord.hxx>
#include <tests/fcc/ShortWaits.hxx>
#include <tests/fcc/ThreadedCalls.hxx>
#include <tests/support/FakeFccServer.hxx>
#include <tests/support/OutputCapture.hxx>

#include <platform/os/internal/MessagePipe.hxx>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sys/stat.h>
#include <memory>
#include <random>
#include <thread>
#include <future>
#include <unistd.h>

namespace Quillomark::Fcc {
namespace {

char cachedGuid[] = "0123456789ABCDEF0123456789ABCDEF";
char otherGuid[] = "FEDCBA9876543210FEDCBA9876543210";

// The lines of a fast-cache log that name an operation.
int loggedTimes(const std::string& log, const std::string& operation) {
    std::ifstream in(log);
    int count = 0;
    for (std::string line; std::getline(in, line);)
        count += line.find(operation) != std::string::npos;
    return count;
}

// Waits until the log names the operation that many times: false when it
// never does (a hang ended).
bool loggedAtLast(const std::string& log, const std::string& operation, int times) {
    for (int tries = 0; tries < 20000; ++tries) {
        if (loggedTimes(log, operation) >= times) return true;
        usleep(1000);
    }
    return false;
}

class FastCacheClient : public ::testing::Test {
protected:
    void SetUp() override {
        previous = std::filesystem::current_path();
        std::filesystem::current_path(folder.path);
        setenv("FMS_HOME", folder.path.c_str(), 1);
        std::ofstream(folder.file("startfcc.bat")) << "#!/bin/sh\nexit 3\n";
        chmod(folder.file("startfcc.bat").c_str(), 0755);
        Quillomark::Testing::shortWaitsButTheServers();
        ASSERT_EQ(0, FccReadConfiguration());
        fakeServer = std::make_unique<Quillomark::Testing::FakeFccServer>();
        std::filesystem::create_directories(
            Quillomark::Testing::FakeFccServer::describedCache().folder);
        openServerCache();
        content.resize(40000);
        for (std::size_t i = 0; i < content.size(); ++i)
            content[i] = std::uint8_t(i * 13 + i / 16384);
        cacheContent();
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
    // The server caches the file of content.
    void cacheContent() {
        std::int32_t first = -1;
        ASSERT_EQ(0, FMSCIF_AddFile(cache, cachedGuid, 40000, 0, &first));
        ASSERT_EQ(0, FMSCIF_WriteData(cache, &first, 0, content.data(), 40000));
    }
    // Attaches with the client's fast-cache log on: the log's path.
    std::string attachLogging() {
        setenv("FMSC_DEFAULT_LOGFILE", "client.log", 1);
        EXPECT_EQ(0, checkInitFMSC());
        unsetenv("FMSC_DEFAULT_LOGFILE");
        return Quillomark::Testing::FakeFccServer::describedCache().folder +
               std::string("/client.log");
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
    EXPECT_EQ(0, cache->shared->clients);
    int attached = -1;
    for (int tries = 0; tries < 20000 && attached != 0; ++tries) {
        attached = checkInitFMSC();  // anew, after a pause
        if (attached != 0) usleep(1000);
    }
    ASSERT_EQ(0, attached);
    EXPECT_EQ(1, cache->shared->clients);
}

// What the client shares with its server, each of another version than the
// client's: the pipe protocol, whose version check the server refuses, and
// the fast cache, which the server opened as the library's previous version
// did (its mutex named as its first builds named it, or as its later ones
// did). The client is refused at once, says why, and reads over the pipe.
TEST_F(FastCacheClient, AServerOfAnotherVersionIsRefusedAtOnceWithItsReason) {
    using Fault = Quillomark::Testing::FakeFccServer::Fault;
    const auto servedByThePreviousVersion = [this](bool mutexNamedByFolder) {
        return [this, mutexNamedByFolder] {
            ASSERT_EQ(0, FMSCIF_Close(&cache));
            Testing::setFmscPreviousVersion(true, mutexNamedByFolder);
            openServerCache();
            Testing::setFmscPreviousVersion(false);
            cacheContent();
        };
    };
    const struct {
        const char* peer;
        std::function<void()> serve;
        const char* reason;
    } rows[] = {
        {"the pipe protocol",
         [this] { fakeServer->injectFault(FMS_VERSION_CHECK, Fault::RefuseVersion); },
         "Improper FCC protocol version detected"},
        {"the fast cache", servedByThePreviousVersion(false),
         "its server's is another than this process's"},
        {"the fast cache, its mutex named by its folder", servedByThePreviousVersion(true),
         "its server's is another than this process's"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.peer);
        FmscCloseFastCache();
        row.serve();
        Quillomark::Testing::OutputCapture output(1);
        EXPECT_GT(0, checkInitFMSC());
        std::vector<std::uint8_t> bytes(100);
        file.server.position = 0;
        EXPECT_EQ(0, FmscReadBytes(&file, bytes.data(), 100));
        const std::string printed = output.finish();
        EXPECT_NE(std::string::npos, printed.find(row.reason)) << printed;
        EXPECT_NE(std::string::npos, printed.find("continue to operate in pipe mode")) << printed;
        EXPECT_EQ(0, cache->shared->clients);
    }
}

// Reads until one is served from the cache again, which the client's
// attach after a pause brings about; false when none is (a hang ended).
bool readsFromTheCacheAgain(FccFile& file, std::vector<std::uint8_t>& bytes) {
    for (int tries = 0; tries < 20000; ++tries) {
        file.server.position = 0;
        if (FmscReadBytes(&file, bytes.data(), int(bytes.size())) == int(bytes.size())) return true;
        usleep(1000);
    }
    return false;
}

// The server closes its cache and opens it again, as when it restarts: the
// client leaves the old cache, its reads go over the pipe, and after a pause
// it attaches to the new one by itself, a try that finds no cache yet being
// just a failed try, of which the application's output hears nothing.
TEST_F(FastCacheClient, AClientThatLeftACacheAttachesAgainAfterAPause) {
    ASSERT_EQ(0, checkInitFMSC());
    ASSERT_EQ(0, FMSCIF_Close(&cache));
    std::vector<std::uint8_t> bytes(100);
    file.server.position = 0;
    Quillomark::Testing::OutputCapture output(1);
    const auto asked = fakeServer->requestsOf(FMS_GET_CACHE_INIT_INFO).size();
    EXPECT_EQ(0, FmscReadBytes(&file, bytes.data(), 100));  // left
    // Reads go over the pipe until a try to attach again has failed.
    for (int tries = 0;
         tries < 20000 && fakeServer->requestsOf(FMS_GET_CACHE_INIT_INFO).size() == asked;
         ++tries) {
        file.server.position = 0;
        EXPECT_EQ(0, FmscReadBytes(&file, bytes.data(), 100));
        usleep(1000);
    }
    const bool triedAgain = asked < fakeServer->requestsOf(FMS_GET_CACHE_INIT_INFO).size();
    openServerCache(false);
    cacheContent();
    const bool attachedAgain = readsFromTheCacheAgain(file, bytes);
    const std::string printed = output.finish();
    EXPECT_TRUE(triedAgain);
    EXPECT_EQ(std::string::npos, printed.find("***")) << printed;
    ASSERT_TRUE(attachedAgain);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), content.begin()));
    EXPECT_EQ(0, checkInitFMSC());
    EXPECT_EQ(1, cache->shared->clients);
}

// The server closes its cache while the client waits for the cache's mutex:
// the client finds the cache closed when it gets the mutex, lets go of it
// and leaves the cache, and says nothing about it.
TEST_F(FastCacheClient, ACacheClosedWhileTheClientWaitsIsLeftWithoutAReport) {
    const std::string log = attachLogging();
    Quillomark::Testing::OutputCapture output(1);
    Testing::setFccWait(&FccTiming::cacheMutexWait, 600000);  // until the close
    ASSERT_EQ(0, FMSCIF_LockCache(cache));
    int read = -1;
    std::thread reader([this, &read] {
        std::vector<std::uint8_t> bytes(100);
        read = FmscReadBytes(&file, bytes.data(), 100);
    });
    // The client's trace tells that it is at the lock.
    EXPECT_TRUE(loggedAtLast(log, "LockCache", 1));
    ASSERT_EQ(0, FMSCIF_Close(&cache));
    reader.join();
    EXPECT_EQ(0, read);
    const std::string text = output.finish();
    EXPECT_EQ(std::string::npos, text.find("***Error")) << text;
    EXPECT_EQ(std::string::npos, text.find("BadSig")) << text;
}

// A cleaner of old files removes the cache's mutex file while the client is
// attached, and the server restarts keeping its cache: the new server locks
// a new mutex, which the client's old one no longer excludes. The client
// finds its mutex file gone from its path, reads nothing under it, leaves
// the cache, and attaches to the new mutex after a pause.
TEST_F(FastCacheClient, AClientWhoseMutexFileWasRemovedReadsNothingUnderItAndAttachesAgain) {
    ASSERT_EQ(0, checkInitFMSC());
    const std::string mutexFile = Platform::Os::ipcDirectory() + "/mutex." + cache->mutexName;
    ASSERT_EQ(0, unlink(mutexFile.c_str()));
    Quillomark::Testing::OutputCapture output(1);
    ASSERT_EQ(0, FMSCIF_Close(&cache));
    openServerCache(false);
    ASSERT_EQ(0, FMSCIF_LockCache(cache));  // the restarted server at work
    std::vector<std::uint8_t> bytes(100);
    file.server.position = 0;
    EXPECT_EQ(0, FmscReadBytes(&file, bytes.data(), 100));
    ASSERT_EQ(0, FMSCIF_UnLockCache(cache));
    const bool attachedAgain = readsFromTheCacheAgain(file, bytes);
    const std::string printed = output.finish();
    ASSERT_TRUE(attachedAgain);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), content.begin()));
    EXPECT_EQ(1, cache->shared->clients);
    EXPECT_EQ(std::string::npos, printed.find("***Error")) << printed;
}

// A read that attaches again to a cache whose server holds its lock waits
// for the lock within the read's own wait, the attach's wait included: with
// no wait at all, such reads do not wait for the lock, however often they
// try to attach.
TEST_F(FastCacheClient, AReadThatAttachesAgainWaitsForTheLockWithinItsOwnWait) {
    ASSERT_EQ(0, checkInitFMSC());
    Testing::setFccWait(&FccTiming::cacheReattachPause, 0);
    Testing::setFccWait(&FccTiming::cacheReattachPauseLimit, 0);
    // The server restarts: the client leaves the cache it closed.
    std::vector<std::uint8_t> bytes(100);
    {
        Quillomark::Testing::OutputCapture output(1);
        ASSERT_EQ(0, FMSCIF_Close(&cache));
        EXPECT_EQ(0, readAt(0, 100, bytes));
        output.finish();
    }
    openServerCache(false);

    Testing::setFccWait(&FccTiming::cacheMutexWait, 0);
    ASSERT_EQ(0, FMSCIF_LockCache(cache));
    const auto asked = fakeServer->requestsOf(FMS_GET_CACHE_INIT_INFO).size();
    auto reads = Quillomark::Testing::onThread([] {
        FccFile mine{};
        mine.guid = cachedGuid;
        std::vector<std::uint8_t> into(100);
        for (int read = 0; read < 20; ++read) {
            if (FmscReadBytes(&mine, into.data(), 100) != 0) return -1;
        }
        return 0;
    });
    EXPECT_EQ(0, Quillomark::Testing::within(reads, 30, "reads that attach again"));
    EXPECT_EQ(asked + 20, fakeServer->requestsOf(FMS_GET_CACHE_INIT_INFO).size());
    ASSERT_EQ(0, FMSCIF_UnLockCache(cache));

    Testing::setFccWait(&FccTiming::cacheMutexWait, 600000);
    ASSERT_TRUE(readsFromTheCacheAgain(file, bytes));
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), content.begin()));
}

// A server that makes one of its cache files anew (a cleaner removed it)
// puts a new file under the old name, which the client's open file no
// longer is: the client reads nothing out of the old one, and leaves.
TEST_F(FastCacheClient, ACacheFileReplacedUnderTheClientIsNotReadAgain) {
    const std::string folder = Quillomark::Testing::FakeFccServer::describedCache().folder;
    Quillomark::Testing::OutputCapture output(1);
    for (const char* name : {"fms.hsh", "fms.seg", "fms.mf"}) {
        FmscCloseFastCache();
        ASSERT_EQ(0, checkInitFMSC()) << name;
        std::vector<std::uint8_t> bytes;
        ASSERT_EQ(100, readAt(0, 100, bytes)) << name;
        const std::string path = folder + "/" + name;
        std::filesystem::copy_file(path, path + ".new");
        ASSERT_EQ(0, rename((path + ".new").c_str(), path.c_str())) << name;
        EXPECT_EQ(0, readAt(0, 100, bytes)) << name;
    }
    // The client could not count itself off files that were no longer the
    // server's: the server's close warns of it.
    FmscCloseFastCache();
    EXPECT_EQ(0, FMSCIF_Close(&cache));
    output.finish();
}

// A server that holds the cache's lock for long: a reader waits for it
// without the interface's lock, so that other calls go on meanwhile; once a
// wait has run out, the other readers go over the pipe instead of queueing
// behind it, and so do the reads after it, until a pause is over.
TEST_F(FastCacheClient, ALongHoldOfTheCacheCostsOneWaitAndHoldsUpNoOtherCall) {
    const std::string log = attachLogging();
    Quillomark::Testing::OutputCapture output(1);

    // The reader waits until the server lets go.
    Testing::setFccWait(&FccTiming::cacheMutexWait, 600000);
    ASSERT_EQ(0, FMSCIF_LockCache(cache));
    int waited = -1;
    std::thread reader([&waited] {
        FccFile mine{};
        mine.guid = cachedGuid;
        std::vector<std::uint8_t> bytes(100);
        waited = FmscReadBytes(&mine, bytes.data(), 100);
    });
    EXPECT_TRUE(loggedAtLast(log, "LockCache", 1));
    EXPECT_EQ(0, checkInitFMSC());  // the interface's lock is free meanwhile
    ASSERT_EQ(0, FMSCIF_UnLockCache(cache));
    reader.join();
    EXPECT_EQ(100, waited);

    // A short wait and a long pause: one reader's wait runs out, and no
    // read waits for the cache again while the pause lasts. The pause is
    // capped by its limit, which the scaled waits make 80 ms: both go up,
    // so that the pause outlasts the readers however slowly they run.
    Testing::setFccWait(&FccTiming::cacheMutexWait, 10);
    Testing::setFccWait(&FccTiming::cacheReattachPause, 600000);
    Testing::setFccWait(&FccTiming::cacheReattachPauseLimit, 600000);
    ASSERT_EQ(0, FMSCIF_LockCache(cache));
    const int locksBefore = loggedTimes(log, "LockCache");
    std::vector<std::thread> readers;
    std::vector<int> results(3, -1);
    for (std::size_t r = 0; r < results.size(); ++r) {
        readers.emplace_back([r, &results] {
            FccFile mine{};
            mine.guid = cachedGuid;
            std::vector<std::uint8_t> bytes(100);
            results[r] = FmscReadBytes(&mine, bytes.data(), 100);
        });
    }
    for (std::thread& r : readers) r.join();
    std::vector<std::uint8_t> bytes(100);
    file.server.position = 0;
    EXPECT_EQ(0, FmscReadBytes(&file, bytes.data(), 100));
    EXPECT_EQ(std::vector<int>(3, 0), results);
    EXPECT_EQ(locksBefore + 1, loggedTimes(log, "LockCache"));
    ASSERT_EQ(0, FMSCIF_UnLockCache(cache));
    // Once the pause is over the cache serves the reads again.
    Testing::setFccWait(&FccTiming::cacheReattachPause, 1);
    EXPECT_TRUE(readsFromTheCacheAgain(file, bytes));
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), content.begin()));
    output.finish();
    EXPECT_EQ(1, cache->shared->clients);
}

// The application holds the interface's main lock (synchronize) while it
// leaves the cache, by emptying it or by ending the interface, and a reader
// waits for the cache's mutex meanwhile; the server then closes its cache.
// The reader leaves the cache without the main lock, and the application's
// leave waits for the reader no longer than the reader's own wait.
class LeavingUnderSynchronize : public FastCacheClient {
protected:
    void leave(const std::function<int()>& leaveCache) {
        {
            Quillomark::Testing::OutputCapture output(1);
            ASSERT_EQ(0, SelfProxy::FCC_Init(nullptr, nullptr));
        }
        const std::string log = attachLogging();
        Quillomark::Testing::OutputCapture output(1);
        Testing::setFccWait(&FccTiming::cacheMutexWait, 600000);  // until the close
        ASSERT_EQ(0, FMSCIF_LockCache(cache));
        auto reader = Quillomark::Testing::onThread([] {
            FccFile mine{};
            mine.guid = cachedGuid;
            std::vector<std::uint8_t> bytes(100);
            return FmscReadBytes(&mine, bytes.data(), 100);
        });
        ASSERT_TRUE(loggedAtLast(log, "LockCache", 1));
        Quillomark::Testing::Gate synchronized, serverClosed;
        auto application = Quillomark::Testing::onThread([&] {
            SelfProxy::synchronize();
            synchronized.open();
            serverClosed.wait();
            const int left = leaveCache();
            SelfProxy::endSynchronize();
            return left;
        });
        synchronized.wait();
        ASSERT_EQ(0, FMSCIF_Close(&cache));
        serverClosed.open();
        EXPECT_EQ(0, Quillomark::Testing::within(application, 30, "the application's leave"));
        EXPECT_EQ(0, Quillomark::Testing::within(reader, 30, "the reader"));
        output.finish();
        while (SelfProxy::FCC_Term() == 0) {
        }
    }
};

TEST_F(LeavingUnderSynchronize, ClearingTheCache) {
    leave([] { return SelfProxy::FmsClearCache(); });
    EXPECT_EQ(1u, fakeServer->requestsOf(FMS_CLEAR_CACHE_MSG).size());
}

TEST_F(LeavingUnderSynchronize, EndingTheInterface) {
    leave([] { return SelfProxy::FCC_Term(); });
}

// A close of the cache (FmsClearCache, FCC_Term) takes it from the client
// while a reader waits for the cache's mutex; the reader then gets the
// mutex and fails in its read (a damaged page): it lets go of the mutex,
// so that the close closes the cache, counting the client off, and the
// server's next lock finds it free, though the reader's thread lives on.
TEST_F(FastCacheClient, AReadThatFailsWhileTheCacheIsClosedLetsGoOfTheCache) {
    const std::string log = attachLogging();
    Quillomark::Testing::OutputCapture output(1);
    Testing::setFccWait(&FccTiming::cacheMutexWait, 600000);  // until the server lets go
    std::int32_t first = -1;
    std::int64_t size = 0;
    ASSERT_EQ(0, FMSCIF_FindFile(cache, cachedGuid, &size, &first));
    ASSERT_EQ(0, FMSCIF_LockCache(cache));
    Quillomark::Testing::Gate readerMayEnd;
    std::promise<int> readResult;
    std::thread reader([&] {
        FccFile mine{};
        mine.guid = cachedGuid;
        std::vector<std::uint8_t> bytes(100);
        readResult.set_value(FmscReadBytes(&mine, bytes.data(), 100));
        readerMayEnd.wait();
    });
    ASSERT_TRUE(loggedAtLast(log, "LockCache", 1));
    std::atomic<std::uint32_t> closing{0};
    auto close = Quillomark::Testing::onThread([&closing] {
        closing = SelfProxy::ThreadId();
        return FmscCloseFastCache();
    });
    // The close waits for the reader's use of the cache.
    ASSERT_TRUE(Quillomark::Testing::eventually(
        [&] { return closing != 0 && Quillomark::Testing::asleep(closing); }));
    const std::int32_t length = cache->pages[first].segments[0].len;
    cache->pages[first].segments[0].len = FMSC_SEGMENT_SIZE + 1;
    ASSERT_EQ(0, FMSCIF_UnLockCache(cache));
    std::future<int> read = readResult.get_future();
    EXPECT_EQ(0, Quillomark::Testing::within(read, 30, "the reader"));
    EXPECT_EQ(0, Quillomark::Testing::within(close, 30, "the close"));
    cache->pages[first].segments[0].len = length;
    EXPECT_EQ(0, FMSCIF_LockCacheWithin(cache, 0));
    EXPECT_EQ(0, cache->shared->clients);
    EXPECT_EQ(0, FMSCIF_UnLockCache(cache));
    readerMayEnd.open();
    reader.join();
    output.finish();
}

// Readers race all that makes the client leave or close the cache: the
// server holding its lock, closing its cache and opening it again, its
// mutex file removed, the application emptying the cache under
// synchronize() and the cache closed. Every read gives the file's own bytes
// or none (the rest would come over the pipe), no read waits for another
// without end, and no client stays counted.
TEST_F(FastCacheClient, ReadsRaceTheServerAndTheApplicationLeavingTheCache) {
    {
        Quillomark::Testing::OutputCapture output(1);
        ASSERT_EQ(0, SelfProxy::FCC_Init(nullptr, nullptr));
    }
    Quillomark::Testing::OutputCapture output(1);
    std::atomic<bool> stop{false};
    std::atomic<int> reads{0}, served{0}, wrong{0};
    std::vector<std::future<int>> readers;
    for (unsigned r = 0; r < 8; ++r) {
        readers.push_back(Quillomark::Testing::onThread([&, r] {
            std::mt19937 random(r);
            FccFile mine{};
            mine.guid = cachedGuid;
            std::vector<std::uint8_t> bytes(20000);
            while (!stop) {
                mine.server.position = std::uniform_int_distribution<int>(0, 39999)(random);
                const int count = std::uniform_int_distribution<int>(1, 20000)(random);
                const int read = FmscReadBytes(&mine, bytes.data(), count);
                if (read > 0 && !std::equal(bytes.begin(), bytes.begin() + read,
                                            content.begin() + mine.server.position))
                    ++wrong;
                served += read > 0;
                ++reads;
            }
            return 0;
        }));
    }
    const std::string mutexFile = Platform::Os::ipcDirectory() + "/mutex." + cache->mutexName;
    std::mt19937 random(99);
    for (int round = 0; round < 300; ++round) {
        const int before = reads;
        ASSERT_TRUE(Quillomark::Testing::eventually([&] { return reads >= before + 8; }));
        switch (std::uniform_int_distribution<int>(0, 4)(random)) {
            case 0:
                ASSERT_EQ(0, FMSCIF_LockCache(cache));
                ASSERT_TRUE(Quillomark::Testing::eventually([&] { return reads >= before + 16; }));
                ASSERT_EQ(0, FMSCIF_UnLockCache(cache));
                break;
            case 1:
            case 2:
                if (round % 2) unlink(mutexFile.c_str());
                ASSERT_EQ(0, FMSCIF_Close(&cache));
                openServerCache(false);
                break;
            case 3:
                SelfProxy::synchronize();
                SelfProxy::FmsClearCache();
                SelfProxy::endSynchronize();
                break;
            default: FmscCloseFastCache(); break;
        }
    }
    stop = true;
    for (auto& reader : readers) Quillomark::Testing::within(reader, 60, "a reader");
    FmscCloseFastCache();
    output.finish();
    EXPECT_EQ(0, wrong.load());
    EXPECT_GT(served.load(), 0);
    EXPECT_EQ(0, cache->shared->clients);
    while (SelfProxy::FCC_Term() == 0) {
    }
}

// Children forked while other threads read through the client, which may
// hold its locks and the cache's, or be half way through an attach: each
// child reads the cached bytes right at once (from the parent's attach, or
// one of its own), never waiting for a lock that a thread it does not have
// holds, whatever the lock's bound.
TEST_F(FastCacheClient, ChildrenForkedWhileThreadsReadReadTheCacheAtOnce) {
    Testing::scaleFccTiming(1);
    Quillomark::Testing::OutputCapture output(1);
    std::atomic<bool> stop{false};
    std::atomic<int> reads{0};
    std::vector<std::future<int>> readers;
    for (int r = 0; r < 2; ++r) {
        readers.push_back(Quillomark::Testing::onThread([&, r] {
            FccFile mine{};
            mine.guid = cachedGuid;
            std::vector<std::uint8_t> bytes(100);
            for (int i = 0; !stop; ++i) {
                // Now and then the client leaves and attaches again.
                if (r == 1 && i % 8 == 0) FmscCloseFastCache();
                FmscReadBytes(&mine, bytes.data(), 100);
                ++reads;
            }
            return 0;
        }));
    }
    std::vector<pid_t> children;
    for (int child = 0; child < 60; ++child) {
        const int before = reads;
        ASSERT_TRUE(Quillomark::Testing::eventually([&] { return reads > before; }));
        children.push_back(Quillomark::Testing::startChild([this] {
            if (!Quillomark::Testing::childrenOfThreadsRun) return;
            FccFile mine{};
            mine.guid = cachedGuid;
            std::vector<std::uint8_t> bytes(20000);
            if (FmscReadBytes(&mine, bytes.data(), 20000) != 20000) _exit(4);
            if (!std::equal(bytes.begin(), bytes.end(), content.begin())) _exit(5);
        }));
    }
    std::string ends;
    for (const pid_t child : children) ends += Quillomark::Testing::endOf(child);
    stop = true;
    for (auto& reader : readers) Quillomark::Testing::within(reader, 60, "a reader");
    output.finish();
    if (Quillomark::Testing::childrenOfThreadsRun) {
        EXPECT_EQ("", ends);
    }
}

// A new server that makes the cache afresh after a crash removes the extent
// files before its mutex exists: a client that reads a block of a file in an
// extent file that it has not opened yet, and finds it gone, still reads
// what the cache holds before that block, and gets no error.
TEST_F(FastCacheClient, ExtentFilesRemovedUnderTheClientMakeAMissNotAnError) {
    char bigGuid[] = "11112222333344445555666677778888";
    std::vector<std::uint8_t> big(20 * 16384);
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = std::uint8_t(i * 7 + i / 16384);
    std::int32_t first = -1;
    ASSERT_EQ(0, FMSCIF_AddFile(cache, bigGuid, std::uint32_t(big.size()), 0, &first));
    ASSERT_EQ(0, FMSCIF_WriteData(cache, &first, 0, big.data(), std::int32_t(big.size())));
    std::int32_t inSegmentFile = 0;
    for (std::int32_t e = 0; e < cache->pages[first].numSegments; ++e)
        inSegmentFile +=
            cache->pages[first].segments[e].segmentOffset < cache->shared->segmentFileSegments;
    ASSERT_GT(inSegmentFile, 0);
    ASSERT_LT(inSegmentFile, 20);
    ASSERT_EQ(0, checkInitFMSC());

    const std::string extent =
        Quillomark::Testing::FakeFccServer::describedCache().folder + std::string("/fms.ext000");
    ASSERT_EQ("", Quillomark::Testing::runInChild([&extent] {
                  if (unlink(extent.c_str()) != 0) _exit(4);
              }));
    FccFile record{};
    record.guid = bigGuid;
    std::vector<std::uint8_t> bytes(big.size());
    Quillomark::Testing::OutputCapture output(1);
    const int read = FmscReadBytes(&record, bytes.data(), int(bytes.size()));
    const std::string text = output.finish();
    EXPECT_EQ(inSegmentFile * 16384, read) << text;
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + inSegmentFile * 16384, big.begin()));
}

// A ticket's GUID that no page of the cache can hold (a byte that is not
// printable, fewer than 32 bytes) names no cached file: a miss, which the
// pipe serves, and the client stays attached without a word.
TEST_F(FastCacheClient, AGuidTheCacheCannotHoldIsAMissAndTheClientStays) {
    ASSERT_EQ(0, checkInitFMSC());
    char unprintable[] = "0123456789ABCDEF0123456789ABCDE\x7F";
    char high[] =
        "0123456789ABCDEF\xC3\xA9"
        "23456789ABCDE";
    char shortGuid[] = "0123456789ABCDEF";
    Quillomark::Testing::OutputCapture output(1);
    for (char* guid : {unprintable, high, shortGuid}) {
        FccFile other{};
        other.guid = guid;
        EXPECT_EQ(ERR_FMSCP_BAD_FILE, FmscLookupFileSize(&other)) << guid;
        std::vector<std::uint8_t> bytes(10);
        EXPECT_EQ(0, FmscReadBytes(&other, bytes.data(), 10)) << guid;
        EXPECT_EQ(1, cache->shared->clients) << guid;
    }
    std::vector<std::uint8_t> bytes;
    EXPECT_EQ(100, readAt(0, 100, bytes));
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), content.begin()));
    const std::string printed = output.finish();
    EXPECT_EQ(std::string::npos, printed.find("***")) << printed;
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
    std::string text = output.finish();
    const std::string pipeOnly =
        "\n***** WARNING: FCC proxy 'PIPE ONLY' mode detected. *****\n***** The FMS fast cache "
        "will continue to "
        "operate in pipe mode with possibly degraded performance. *****\n";
    EXPECT_EQ(text.find(pipeOnly), text.rfind(pipeOnly));  // once
}

// A first attach that fails for a cause that passes: the server has not
// made its cache yet, holds its lock for longer than a read waits, or has
// not yet made anew an extent file that was replaced under it. The client
// says what failed, not that memory ran out, reads over the pipe, and
// attaches by itself once the cause is gone, quietly, as after a server's
// restart.
TEST_F(FastCacheClient, AFirstAttachThatFailsForACauseThatPassesIsTriedAgain) {
    const std::string folder = Quillomark::Testing::FakeFccServer::describedCache().folder;
    const struct {
        const char* cause;
        std::function<void()> make, mend;
        const char* printed;
    } rows[] = {
        {"no cache yet",
         [&] {
             ASSERT_EQ(0, FMSCIF_Close(&cache));
             std::filesystem::remove_all(folder);
         },
         [&] {
             std::filesystem::create_directories(folder);
             openServerCache();
             cacheContent();
         },
         "Error 9 opening FMSCache, . *****\n***** The FMS fast cache could not be opened "
         "(FMSC_ERROR_METAFILE_DOES_NOT_EXIST); it is tried again later. *****\n"},
        {"the cache's lock held", [&] { ASSERT_EQ(0, FMSCIF_LockCache(cache)); },
         [&] { ASSERT_EQ(0, FMSCIF_UnLockCache(cache)); },
         "Error 96 opening FMSCache, . *****\n***** The FMS fast cache could not be opened "
         "(FMSC_ERROR_METAFILE_CACHE_MUTEX_TIMED_OUT); it is tried again later. *****\n"},
        {"an extent file replaced under the server",
         [&] {
             std::int32_t first = -1;
             const std::vector<std::uint8_t> block(16384, 0xE0);
             ASSERT_EQ(0, FMSCIF_AddFile(cache, otherGuid, 20 * 16384, 0, &first));
             for (std::int32_t b = 0; b < 20; ++b)
                 ASSERT_EQ(0, FMSCIF_WriteBlock(cache, &first, b, block.data(), 16384));
             const std::string extent = folder + "/fms.ext000";
             std::filesystem::copy_file(extent, extent + ".copy");
             ASSERT_EQ(0, rename((extent + ".copy").c_str(), extent.c_str()));
         },
         [&] {
             ASSERT_EQ(0, FMSCIF_Close(&cache));
             openServerCache(false);
         },
         "Error 85 opening FMSCache, . *****\n***** The FMS fast cache could not be opened "
         "(FMSC_ERROR_SEGMENT_FMSC_CANNOT_OPEN_EXTENT_FILE); it is tried again later. *****\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.cause);
        FmscCloseFastCache();
        row.make();
        Quillomark::Testing::OutputCapture output(1);
        // Beside the server's thread, whose lock is not the attach's.
        auto attach = Quillomark::Testing::onThread([] {
            FccFile mine{};
            mine.guid = cachedGuid;
            std::vector<std::uint8_t> bytes(100);
            return checkInitFMSC() < 0 ? FmscReadBytes(&mine, bytes.data(), 100) : -1;
        });
        EXPECT_EQ(0, Quillomark::Testing::within(attach, 60, "the first attach"));
        row.mend();
        std::vector<std::uint8_t> bytes(100);
        EXPECT_TRUE(readsFromTheCacheAgain(file, bytes));
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), content.begin()));
        const std::string printed = output.finish();
        EXPECT_NE(std::string::npos, printed.find(row.printed)) << printed;
        EXPECT_EQ(printed.find("opening FMSCache"), printed.rfind("opening FMSCache")) << printed;
        EXPECT_EQ(std::string::npos, printed.find("insufficient memory")) << printed;
        EXPECT_EQ(1, cache->shared->clients);
    }
}

// A process of another PID namespace than the cache's server cannot share
// its lock: the client says so, and does not blame the memory.
TEST_F(FastCacheClient, AClientOfAnotherPidNamespaceNamesThatCause) {
    const std::string outcome = Quillomark::Testing::runFirstInAPidNamespace([] {
        Quillomark::Testing::OutputCapture output(1);
        const int attached = checkInitFMSC();
        const std::string printed = output.finish();
        if (attached != -FMSC_ERROR_METAFILE_CANNOT_OPEN_CACHE_MUTEX) return 3;
        if (printed.find("insufficient memory") != std::string::npos) return 4;
        return printed.find(
                   "***** The FMS fast cache is shared only within the PID namespace of "
                   "its server, and this process is in another one. *****\n") == std::string::npos
                   ? 5
                   : 0;
    });
    if (outcome == "exit 77") GTEST_SKIP() << "no PID namespace of its own for the test";
    EXPECT_EQ("", outcome);
}

// The folder comes from the server: a relative one would be looked for from
// wherever the application happens to be, so it names no fast cache, even
// where it does name the server's.
TEST_F(FastCacheClient, ARelativeCacheFolderIsPipeMode) {
    const std::filesystem::path relative =
        std::filesystem::relative(Quillomark::Testing::FakeFccServer::describedCache().folder);
    ASSERT_TRUE(relative.is_relative());
    fakeServer->describeCacheFolder(relative);
    Quillomark::Testing::OutputCapture output(1);
    const int attached = checkInitFMSC();
    const std::string printed = output.finish();
    EXPECT_EQ(-1, attached);
    EXPECT_NE(std::string::npos, printed.find("The folder that the server names for the FMS fast "
                                              "cache is not an absolute path. *****\n***** The "
                                              "FMS fast cache will continue to operate in pipe"))
        << printed;
    EXPECT_EQ(0, cache->shared->clients);
    EXPECT_EQ(-1, FmscLookupFileSize(&file));
}

void writeFileOfMode(const std::string& path, mode_t mode) {
    std::ofstream(path) << "left by an earlier cache";
    ASSERT_EQ(0, chmod(path.c_str(), mode));
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
    // The server makes its files anew, for its user alone whatever the
    // umask (also over files of another mode): its clients take them.
    ASSERT_EQ(0, FMSCIF_Close(&cache));
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    writeFileOfMode(folder + "/fms.hsh", 0666);
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
        ASSERT_EQ(0, stat((folder + "/" + made).c_str(), &file)) << made;
        EXPECT_EQ(0600u, file.st_mode & 07777) << made;
    }
    EXPECT_EQ(0, attached.back());
    ASSERT_NE(nullptr, cache);
    EXPECT_EQ(1, cache->shared->clients);
}

}  // namespace
}  // namespace Quillomark::Fcc
