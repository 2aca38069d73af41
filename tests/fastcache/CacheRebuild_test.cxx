// A server that makes its cache's files anew (an open with delete) and is
// killed part way: whatever step it got to, the server that starts next
// either refuses the cache (and makes it anew) or finds it whole, never a
// cache whose files belong to two different caches. A client killed part
// way through its open or close is never counted off twice, and one whose
// lock meets a dead holder waits no longer than it was given. A process of
// the library's previous version that shares the cache with this one is
// refused at once.

#include "CacheFolder.hxx"
#include "ChildProcess.hxx"

#include <fcc/fastcache/internal/FmscInterface.hxx>
#include <fcc/fastcache/internal/FmscTesting.hxx>

#include <platform/os/internal/MessagePipe.hxx>
#include <platform/os/internal/NamedMutex.hxx>
#include <platform/os/internal/Time.hxx>

#include <tests/fcc/ThreadedCalls.hxx>
#include <tests/support/OutputCapture.hxx>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace Quillomark::Fcc {
namespace {

using Quillomark::Testing::CacheFolder;
using Quillomark::Testing::SteppedChild;

constexpr int BLOCKS = 3;

std::string guidFor(int n) {
    char text[40];
    std::snprintf(text, sizeof text, "%08dREBUILDREBUILDREBUILDREBUILD", n);
    return text;
}

std::vector<std::uint8_t> blockOf(int file, int block) {
    std::vector<std::uint8_t> bytes(16384);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = std::uint8_t(file * 31 + block * 7 + int(i % 251));
    return bytes;
}

FMSC_OPEN_PARAMS cacheParams(const CacheFolder& folder, std::int32_t mode, bool deleteFiles) {
    FMSC_OPEN_PARAMS p = Quillomark::Testing::smallCache(folder, "rebuilt", 64, mode);
    p.segments = 16;
    p.totalExtentMegabytes = p.megabytesPerExtentFile = 16;
    p.create = 1;
    p.deleteFiles = deleteFiles;
    return p;
}

// Caches files first … first + count - 1, BLOCKS blocks each; false on
// the first error.
bool cacheFiles(FMSC_FILETOC_T* cache, int first, int count) {
    for (int file = first; file < first + count; ++file) {
        std::int32_t page = -1;
        if (FMSCIF_AddFile(cache, guidFor(file).c_str(), BLOCKS * 16384, 0, &page) != 0)
            return false;
        for (int block = 0; block < BLOCKS; ++block) {
            if (FMSCIF_WriteBlock(cache, &page, block, blockOf(file, block).data(), 16384) != 0)
                return false;
        }
    }
    return true;
}

// Every block of the files that the cache holds is the one written.
void expectOwnBytes(FMSC_FILETOC_T* cache, int first, int count) {
    std::vector<std::uint8_t> bytes(16384);
    for (int file = first; file < first + count; ++file) {
        std::int64_t size = 0;
        std::int32_t page = -1;
        ASSERT_EQ(0, FMSCIF_FindFile(cache, guidFor(file).c_str(), &size, &page));
        if (page == -1) continue;
        EXPECT_EQ(BLOCKS * 16384, size);
        for (int block = 0; block < BLOCKS; ++block) {
            std::int32_t length = 0;
            ASSERT_EQ(0, FMSCIF_ReadBlock(cache, page, block, bytes.data(), &length));
            if (length == -1) continue;
            EXPECT_EQ(16384, length);
            EXPECT_EQ(blockOf(file, block), bytes) << file << " " << block;
        }
    }
}

// The hook of the rebuilding child: at step number stopAt it waits to be
// killed.
int stepsSeen = 0;
int stopAt = -1;
const SteppedChild::Step* stopHere = nullptr;

void atStep(const char*) {
    if (stepsSeen++ == stopAt) (*stopHere)();
}

// Opened with delete, the populated cache is made anew; the child that does
// it is killed after each step in turn, then a restarted server opens the
// cache without delete, as a server does after a crash or a stop it did
// not see.
TEST(CacheRebuild, ARebuildKilledAtAnyStepIsNeverTakenForACleanCache) {
    for (std::int32_t mode : {FMSC_MODE_PRIVATE, FMSC_MODE_SHARING_SERVER}) {
        bool finished = false;
        for (int step = 0; !finished; ++step) {
            SCOPED_TRACE("mode " + std::to_string(mode) + ", killed after step " +
                         std::to_string(step));
            ASSERT_LT(step, 20) << "the rebuild never finished";
            CacheFolder folder;
            {
                const FMSC_OPEN_PARAMS made = cacheParams(folder, mode, true);
                FMSC_FILETOC_T* cache = nullptr;
                ASSERT_EQ(0, FMSCIF_OpenS(&made, &cache));
                ASSERT_TRUE(cacheFiles(cache, 0, 40));
                ASSERT_EQ(0, FMSCIF_Close(&cache));
            }

            SteppedChild rebuild([&](const SteppedChild::Step& stop) {
                stepsSeen = 0;
                stopAt = step;
                stopHere = &stop;
                Testing::setFmscOpenStep(atStep);
                const FMSC_OPEN_PARAMS again = cacheParams(folder, mode, true);
                FMSC_FILETOC_T* cache = nullptr;
                if (FMSCIF_OpenS(&again, &cache) != 0) _exit(4);
                if (FMSCIF_Close(&cache) != 0) _exit(5);
            });
            if (rebuild.reached()) {
                rebuild.kill();
                ASSERT_EQ("Killed", rebuild.end());
            } else {
                ASSERT_EQ("", rebuild.end());
                finished = true;
            }

            Quillomark::Testing::OutputCapture output(1);
            const FMSC_OPEN_PARAMS restart = cacheParams(folder, mode, false);
            FMSC_FILETOC_T* cache = nullptr;
            const int reopened = FMSCIF_OpenS(&restart, &cache);
            if (reopened != 0) {
                // Refused: the server makes it anew.
                EXPECT_EQ(nullptr, cache);
                const FMSC_OPEN_PARAMS afresh = cacheParams(folder, mode, true);
                ASSERT_EQ(0, FMSCIF_OpenS(&afresh, &cache));
            }
            EXPECT_EQ(0, FMSCFile_CheckMetaFile(cache, 63));
            expectOwnBytes(cache, 0, 40);
            // The restarted server caches as much again, twice over what
            // fits: evicting as it goes, it meets no error.
            EXPECT_TRUE(cacheFiles(cache, 100, 200));
            EXPECT_EQ(0, FMSCFile_CheckMetaFile(cache, 63));
            expectOwnBytes(cache, 100, 200);
            for (int i = 0; i < 10; ++i) EXPECT_EQ(0, FMSCIF_DeleteOldest(cache));
            EXPECT_EQ(0, FMSCFile_CheckMetaFile(cache, 63));
            EXPECT_EQ(0, FMSCIF_Close(&cache));
        }
    }
}

// A client killed between the two steps by which its open joins the
// server's count (the count, then its note with the lock) or its close
// leaves it (the note cleared, then the count): whoever meets the lock
// abandoned next never counts it off without its count, nor twice, which
// would count off the client still attached.
TEST(CacheRebuild, AClientKilledAsItJoinsOrLeavesIsNeverCountedOffTwice) {
    for (const bool leaving : {false, true}) {
        SCOPED_TRACE(leaving ? "killed in its close" : "killed in its open");
        CacheFolder folder;
        const FMSC_OPEN_PARAMS shared = cacheParams(folder, FMSC_MODE_SHARING_SERVER, true);
        const FMSC_OPEN_PARAMS attach = cacheParams(folder, FMSC_MODE_CLIENT, false);
        FMSC_FILETOC_T *server = nullptr, *client = nullptr;
        ASSERT_EQ(0, FMSCIF_OpenS(&shared, &server));
        ASSERT_EQ(0, FMSCIF_OpenS(&attach, &client));
        SteppedChild stopped([&](const SteppedChild::Step& stop) {
            FMSC_FILETOC_T* cache = nullptr;
            if (leaving && FMSCIF_OpenS(&attach, &cache) != 0) _exit(4);
            stepsSeen = stopAt = 0;
            stopHere = &stop;
            Testing::setFmscOpenStep(atStep);
            if (leaving)
                FMSCIF_Close(&cache);
            else
                FMSCIF_OpenS(&attach, &cache);
        });
        ASSERT_TRUE(stopped.reached());
        stopped.kill();
        ASSERT_EQ("Killed", stopped.end());
        Quillomark::Testing::OutputCapture output(1);
        EXPECT_EQ(97, FMSCIF_LockCache(server));
        EXPECT_LE(1, server->shared->clients);
        EXPECT_EQ(0, FMSCIF_Close(&client));
        EXPECT_EQ(0, FMSCIF_Close(&server));
    }
}

// A client's open or close whose lock meets the lock abandoned by a thread
// of a process that lives on, and spends what the caller gave it waiting
// for that process to end, locks again within what is left, nothing: it
// finds the lock held by another thread and goes on without it (the open
// fails with 96, the close leaves the client counted) rather than waiting
// again for as long as it was given.
TEST(CacheMutex, ALockThatMeetsTheLockAbandonedWaitsAgainOnlyForWhatIsLeft) {
    CacheFolder folder;
    FMSC_OPEN_PARAMS serverParams =
        Quillomark::Testing::smallCache(folder, "remainder", 16, FMSC_MODE_SHARING_SERVER);
    FMSC_OPEN_PARAMS clientParams =
        Quillomark::Testing::smallCache(folder, "remainder", 16, FMSC_MODE_CLIENT);
    FMSC_FILETOC_T* server = nullptr;
    ASSERT_EQ(0, FMSCIF_OpenS(&serverParams, &server));
    // The process whose note the dead holders leave, which lives on.
    int alive[2];
    ASSERT_EQ(0, ::pipe(alive));
    const pid_t living = Quillomark::Testing::startChild([&] {
        ::close(alive[1]);
        Quillomark::Testing::hear(alive[0]);
    });
    ::close(alive[0]);
    static Quillomark::Testing::Gate* met;
    static Quillomark::Testing::Gate* held;
    static std::atomic<bool> lockingAgain;
    Testing::setFmscOpenStep([](const char* step) {
        if (std::string(step) != "met the lock abandoned") return;
        met->open();
        held->wait();
        lockingAgain = true;
    });
    for (const bool closing : {false, true}) {
        SCOPED_TRACE(closing ? "close" : "open");
        FMSC_FILETOC_T* client = nullptr;
        if (closing) {
            ASSERT_EQ(0, FMSCIF_OpenS(&clientParams, &client));
        }
        // Each thread through a mapping of its own, which stays mapped
        // while the thread that died holding it is its holder.
        Platform::Os::NamedMutex dying;
        ASSERT_EQ(Platform::Os::NamedMutex::Result::Ok, dying.open(server->mutexName));
        std::thread([&] { dying.lock(0, std::uint64_t(living)); }).join();
        Quillomark::Testing::Gate metGate, heldGate, done;
        met = &metGate;
        held = &heldGate;
        lockingAgain = false;
        std::atomic<std::uint32_t> caller{0};
        Quillomark::Testing::OutputCapture output(1);
        auto call = Quillomark::Testing::onThread([&] {
            caller = std::uint32_t(::gettid());
            return closing ? FMSCIF_CloseWithin(&client, 200)
                           : FMSCIF_OpenSWithin(&clientParams, &client, 200);
        });
        metGate.wait();
        std::thread holder([&] {
            Platform::Os::NamedMutex other;
            EXPECT_EQ(Platform::Os::NamedMutex::Result::Ok, other.open(server->mutexName));
            EXPECT_EQ(Platform::Os::NamedMutex::Result::Ok, other.lock(0));
            heldGate.open();
            done.wait();
            other.unlock();
        });
        // Back from its call, or waiting for the lock again.
        EXPECT_TRUE(Quillomark::Testing::eventually([&] {
            return call.wait_for(std::chrono::seconds(0)) == std::future_status::ready ||
                   (lockingAgain && Quillomark::Testing::asleep(caller));
        }));
        EXPECT_EQ(std::future_status::ready, call.wait_for(std::chrono::seconds(0)))
            << "waits for the lock again";
        done.open();
        holder.join();
        EXPECT_EQ(closing ? 0 : 96, Quillomark::Testing::within(call, 60, "the call"));
        output.finish();
        EXPECT_EQ(nullptr, client);
        EXPECT_EQ(closing ? 1 : 0, server->shared->clients);
        server->shared->clients = 0;
    }
    Testing::setFmscOpenStep(nullptr);
    ::close(alive[1]);
    EXPECT_EQ("", Quillomark::Testing::endOf(living));
    ASSERT_EQ(0, FMSCIF_Close(&server));
}

// A client attaches while its server, under the cache's lock, stands
// between the steps by which it removes its extent files (its descriptors,
// which bear its marks, closed and the files still at their paths and
// counted) or makes one (the file at its path, not yet counted): the attach
// waits for the lock and finds the server's files as the server leaves
// them, never refused for them.
TEST(CacheMutex, AnAttachWhileTheServerRemovesOrMakesAnExtentFileIsNotRefused) {
    const struct {
        const char* change;
        const char* step;
        int (*work)(FMSC_FILETOC_T* server);
    } rows[] = {
        {"a purge", "closed the extent files",
         [](FMSC_FILETOC_T* server) { return FMSCIF_Purge(server, true); }},
        {"a shrink", "closed the extent files",
         [](FMSC_FILETOC_T* server) { return FMSCIF_ShrinkTheSegmentExtentFile(server, 0); }},
        {"growth into a second extent file", "made an extent file",
         [](FMSC_FILETOC_T* server) { return cacheFiles(server, 1, 1) ? 0 : -1; }},
    };
    static Quillomark::Testing::Gate *atStep, *goOn;
    static const char* stopAt;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.change);
        CacheFolder folder;
        FMSC_OPEN_PARAMS serverParams = cacheParams(folder, FMSC_MODE_SHARING_SERVER, true);
        serverParams.totalExtentMegabytes = 32;
        FMSC_FILETOC_T* server = nullptr;
        ASSERT_EQ(0, FMSCIF_OpenS(&serverParams, &server));
        // The first extent file in use, and full.
        std::int32_t page = -1;
        ASSERT_EQ(0, FMSCIF_AddFile(server, guidFor(0).c_str(), 2000 * 16384u, 0, &page));
        for (std::int32_t b = 0;
             server->shared->extentFilesInUse == 0 || server->freeSegments.count > 0; ++b)
            ASSERT_EQ(0, FMSCIF_WriteBlock(server, &page, b, blockOf(0, b).data(), 16384));
        Quillomark::Testing::Gate reached, released;
        atStep = &reached;
        goOn = &released;
        stopAt = row.step;
        Testing::setFmscOpenStep([](const char* step) {
            if (std::string(step) != stopAt) return;
            atStep->open();
            goOn->wait();
        });
        auto serving = Quillomark::Testing::onThread([&] {
            const int locked = FMSCIF_LockCache(server);
            const int done = locked ? locked : row.work(server);
            const int unlocked = FMSCIF_UnLockCache(server);
            return done ? done : unlocked;
        });
        reached.wait();
        std::atomic<std::uint32_t> attaching{0};
        auto attach = Quillomark::Testing::onThread([&] {
            attaching = std::uint32_t(::gettid());
            const FMSC_OPEN_PARAMS clientParams = cacheParams(folder, FMSC_MODE_CLIENT, false);
            FMSC_FILETOC_T* client = nullptr;
            const int opened = FMSCIF_OpenS(&clientParams, &client);
            if (client) FMSCIF_Close(&client);
            return opened;
        });
        // Refused at once, or waiting for the server's lock.
        EXPECT_TRUE(Quillomark::Testing::eventually([&] {
            return attach.wait_for(std::chrono::seconds(0)) == std::future_status::ready ||
                   (attaching != 0 && Quillomark::Testing::asleep(attaching));
        }));
        Quillomark::Testing::OutputCapture output(1);
        released.open();
        EXPECT_EQ(0, Quillomark::Testing::within(attach, 60, "the attach"));
        EXPECT_EQ(0, Quillomark::Testing::within(serving, 60, "the server"));
        Testing::setFmscOpenStep(nullptr);
        output.finish();
        EXPECT_EQ(0, FMSCIF_Close(&server));
    }
}

// Whether the peers of the previous version name the cache's mutex as the
// later builds of that version did, by the cache's folder too, or as its
// first ones did, by the cache's name alone.
bool previousNamesByFolder = false;

// Opens the cache as a process of the previous version (setFmscPreviousVersion)
// or of this one does.
int openAs(bool previous, const FMSC_OPEN_PARAMS& p, FMSC_FILETOC_T** cache) {
    Testing::setFmscPreviousVersion(previous, previousNamesByFolder);
    const int opened = FMSCIF_OpenSWithin(&p, cache, 0);
    Testing::setFmscPreviousVersion(false);
    return opened;
}

// Runs a server of that version once, so that its mutex file stays.
void serveOnce(const CacheFolder& folder, bool previous) {
    FMSC_FILETOC_T* cache = nullptr;
    ASSERT_EQ(0, openAs(previous, cacheParams(folder, FMSC_MODE_SHARING_SERVER, true), &cache));
    ASSERT_EQ(0, FMSCIF_Close(&cache));
}

// Opens the cache as a server of this version within 200 ms, all of which
// its own mutex's wait spends (a hook sleeps it away once the open found
// the previous version's files): an open that waits for the previous
// version's mutex as long again is caught asleep there.
int openSpendingItsWait(const FMSC_OPEN_PARAMS& p, FMSC_FILETOC_T** cache) {
    static std::atomic<bool> spent;
    spent = false;
    Testing::setFmscOpenStep([](const char* step) {
        if (std::string(step) != "found the previous version's files") return;
        Platform::Os::sleepMilliseconds(201);
        spent = true;
    });
    std::atomic<std::uint32_t> caller{0};
    auto call = Quillomark::Testing::onThread([&] {
        caller = std::uint32_t(::gettid());
        return FMSCIF_OpenSWithin(&p, cache, 200);
    });
    EXPECT_TRUE(Quillomark::Testing::eventually([&] {
        return call.wait_for(std::chrono::seconds(0)) == std::future_status::ready ||
               (spent && Quillomark::Testing::asleep(caller));
    }));
    EXPECT_EQ(std::future_status::ready, call.wait_for(std::chrono::seconds(0)))
        << "waits for the previous version's mutex as long again";
    const int opened = Quillomark::Testing::within(call, 60, "the open");
    Testing::setFmscOpenStep(nullptr);
    return opened;
}

// A client attached despite its server's version reads nothing while that
// server holds the cache's lock.
void expectExcluded(FMSC_FILETOC_T* server, FMSC_FILETOC_T* client) {
    if (!client) return;
    ASSERT_EQ(0, FMSCIF_LockCache(server));
    EXPECT_NE(0, FMSCIF_LockCacheWithin(client, 0)) << "a client reads under no lock";
    FMSCIF_UnLockCache(client);
    EXPECT_EQ(0, FMSCIF_UnLockCache(server));
}

// A server of one version serves the cache where one of the other version
// ran once (whose mutex file stays): a client of that other version is
// refused.
void expectClientRefused(const CacheFolder& folder, bool previousServer) {
    serveOnce(folder, !previousServer);
    FMSC_FILETOC_T *server = nullptr, *client = nullptr;
    ASSERT_EQ(0,
              openAs(previousServer, cacheParams(folder, FMSC_MODE_SHARING_SERVER, true), &server));
    EXPECT_EQ(36, openAs(!previousServer, cacheParams(folder, FMSC_MODE_CLIENT, false), &client));
    expectExcluded(server, client);
    if (client) FMSCIF_Close(&client);
    EXPECT_EQ(0, FMSCIF_Close(&server));
}

// What processes of the library share, each met by a peer of the previous
// version, whose first builds named the cache's mutex by the cache's name
// alone (so that the two never exclude each other) and whose later ones
// named it as this version does: the files with their layout, the
// block of shared structures, and the mutex. Whichever version serves the
// cache, the other's client is refused as it attaches, or at its next lock
// when it attached to a server that closed before a server of this version
// took the files over; a server of this version takes over the files that
// the previous one closed, as they are, which that one then refuses unless
// it makes them anew; a mutex file of another layout that a peer has open
// is not made anew under it.
TEST(CacheVersions, APeerOfThePreviousVersionIsRefusedAtOnce) {
    const std::vector<std::pair<const char*, std::function<void(const CacheFolder&)>>> rows = {
        {"a client of the previous version, a server of this one",
         [](const CacheFolder& folder) { expectClientRefused(folder, false); }},
        {"a client of this version, a server of the previous one",
         [](const CacheFolder& folder) { expectClientRefused(folder, true); }},
        {"the files the previous version closed",
         [](const CacheFolder& folder) {
             const auto keep = cacheParams(folder, FMSC_MODE_SHARING_SERVER, false);
             // A reader of the previous version that holds its lock at its
             // second step: no child of the server's, whose hold of the
             // cache it would share.
             SteppedChild reader([&folder](const SteppedChild::Step& step) {
                 FMSC_FILETOC_T* cache = nullptr;
                 if (!step() ||
                     openAs(true, cacheParams(folder, FMSC_MODE_CLIENT, false), &cache) ||
                     FMSCIF_LockCache(cache) || !step() || FMSCIF_UnLockCache(cache))
                     _exit(8);
             });
             FMSC_FILETOC_T *server = nullptr, *client = nullptr;
             ASSERT_TRUE(reader.reached());
             ASSERT_EQ(0,
                       openAs(true, cacheParams(folder, FMSC_MODE_SHARING_SERVER, true), &server));
             ASSERT_TRUE(cacheFiles(server, 0, 4));
             ASSERT_EQ(0, openAs(true, cacheParams(folder, FMSC_MODE_CLIENT, false), &client));
             reader.letGo();
             ASSERT_TRUE(reader.reached());
             // The server's close runs out of time waiting for the reader and
             // goes on: the files are not taken over under the reader, nor
             // waited for longer than the open was given.
             ASSERT_EQ(0, FMSCIF_CloseWithin(&server, 0));
             const auto files = Quillomark::Testing::readBytes(folder.file("fms.mf"));
             EXPECT_EQ(96, openSpendingItsWait(keep, &server));
             EXPECT_TRUE(files == Quillomark::Testing::readBytes(folder.file("fms.mf")));
             reader.letGo();
             EXPECT_EQ("", reader.end());
             ASSERT_EQ(0, openAs(false, keep, &server));
             expectOwnBytes(server, 0, 4);
             // Attached to the previous server as it closed.
             EXPECT_EQ(FMSC_ERROR_BAD_TYPE_SIG, FMSCIF_LockCache(client));
             EXPECT_EQ(0, FMSCIF_Close(&client));
             EXPECT_EQ(36, openAs(true, cacheParams(folder, FMSC_MODE_CLIENT, false), &client));
             ASSERT_EQ(0, FMSCIF_Close(&server));
             EXPECT_EQ(36, openAs(true, keep, &server));
             ASSERT_EQ(0,
                       openAs(true, cacheParams(folder, FMSC_MODE_SHARING_SERVER, true), &server));
             EXPECT_EQ(0, FMSCIF_Close(&server));
         }},
        {"a mutex file of another layout that a peer has open",
         [](const CacheFolder& folder) {
             FMSC_FILETOC_T* server = nullptr;
             const auto open = cacheParams(folder, FMSC_MODE_SHARING_SERVER, true);
             ASSERT_EQ(0, openAs(false, open, &server));
             const std::string path = Platform::Os::ipcDirectory() + "/mutex." + server->mutexName;
             ASSERT_EQ(0, FMSCIF_Close(&server));
             const int peer = ::open(path.c_str(), O_RDWR);
             ASSERT_LE(0, peer);
             const std::uint32_t otherMark = 0x4D4E5852;
             ASSERT_EQ(4, ::pwrite(peer, &otherMark, 4, 0));
             struct flock use {};
             use.l_type = F_RDLCK;
             use.l_start = 1;
             use.l_len = 1;
             ASSERT_EQ(0, ::fcntl(peer, F_OFD_SETLK, &use));
             EXPECT_EQ(95, openAs(false, open, &server));
             if (server) FMSCIF_Close(&server);
             ::close(peer);
             EXPECT_EQ(0, openAs(false, open, &server));
             EXPECT_EQ(0, FMSCIF_Close(&server));
         }},
    };
    for (const bool byFolder : {false, true})
        for (const auto& [shared, row] : rows) {
            SCOPED_TRACE(std::string(shared) + (byFolder ? ", mutex named by folder" : ""));
            previousNamesByFolder = byFolder;
            CacheFolder folder;
            Quillomark::Testing::OutputCapture output(1);
            row(folder);
        }
    previousNamesByFolder = false;
}

// A client of the previous version still attached when a server of this
// version took its files over: its lock is refused, and its close lets go
// of every descriptor and mapping it has, whatever its server's block holds.
TEST(CacheVersions, AClientOfATakenOverCacheLetsGoOfAllItHasAtItsClose) {
    CacheFolder folder;
    Quillomark::Testing::OutputCapture output(1);
    FMSC_FILETOC_T *server = nullptr, *client = nullptr;
    const int before = Quillomark::Testing::openDescriptors();
    ASSERT_EQ(0, openAs(true, cacheParams(folder, FMSC_MODE_SHARING_SERVER, true), &server));
    ASSERT_TRUE(cacheFiles(server, 0, 4));
    ASSERT_EQ(0, openAs(true, cacheParams(folder, FMSC_MODE_CLIENT, false), &client));
    ASSERT_EQ(0, FMSCIF_Close(&server));
    ASSERT_EQ(0, openAs(false, cacheParams(folder, FMSC_MODE_SHARING_SERVER, false), &server));
    EXPECT_EQ(FMSC_ERROR_BAD_TYPE_SIG, FMSCIF_LockCache(client));
    EXPECT_EQ(0, FMSCIF_Close(&client));
    ASSERT_EQ(0, FMSCIF_Close(&server));
    EXPECT_EQ(before, Quillomark::Testing::openDescriptors());
}

}  // namespace
}  // namespace Quillomark::Fcc
