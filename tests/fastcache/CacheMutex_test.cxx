// The cache's named mutex between processes: waiters are served in turn
// however busily the holder locks again, a holder that dies leaves the
// mutex abandoned once, and the file that carries it is the user's own.

#include "CacheFolder.hxx"
#include "ChildProcess.hxx"

#include <fcc/fastcache/internal/FmscInterface.hxx>

#include <platform/os/internal/MessagePipe.hxx>
#include <platform/os/internal/NamedMutex.hxx>
#include <platform/os/internal/OsError.hxx>

#include <tests/fcc/ThreadedCalls.hxx>
#include <tests/support/OutputCapture.hxx>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <csignal>
#include <cstdarg>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <thread>
#include <vector>

namespace {
// The seconds by which the date that this process reads runs ahead of the
// system's: as if the system's date went back by as much once a deadline
// on it was set.
long dateAheadSeconds = 0;
// A case's look at a file right after the process locked or let go of a
// byte of it (F_OFD_SETLK), when set.
void (*afterByteLock)(const struct flock& request) = nullptr;
}  // namespace

extern "C" int clock_gettime(clockid_t clock, timespec* now) noexcept {
    const auto read = static_cast<int>(::syscall(SYS_clock_gettime, clock, now));
    if (read == 0 && clock == CLOCK_REALTIME) now->tv_sec += dateAheadSeconds;
    return read;
}

extern "C" int fcntl(int fd, int command, ...) {
    va_list arguments;
    va_start(arguments, command);
    const auto argument = va_arg(arguments, unsigned long);
    va_end(arguments);
    const auto result = static_cast<int>(::syscall(SYS_fcntl, fd, command, argument));
    const int error = errno;
    if (command == F_OFD_SETLK && afterByteLock)
        afterByteLock(*reinterpret_cast<const struct flock*>(argument));
    errno = error;
    return result;
}

namespace Quillomark::Fcc {
namespace {

using Platform::Os::NamedMutex;
using Testing::CacheFolder;
using Testing::endOf;
using Testing::hear;
using Testing::runFirstInAPidNamespace;
using Testing::runInChild;
using Testing::say;
using Testing::startChild;

// A flag shared with child processes made after it.
class SharedFlag {
public:
    SharedFlag()
        : flag(static_cast<std::atomic<int>*>(mmap(nullptr, sizeof(std::atomic<int>),
                                                   PROT_READ | PROT_WRITE,
                                                   MAP_SHARED | MAP_ANONYMOUS, -1, 0))) {
        new (flag) std::atomic<int>(0);
    }
    ~SharedFlag() { munmap(flag, sizeof(std::atomic<int>)); }
    void raise() { flag->store(1); }
    bool raised() const { return flag->load() != 0; }

private:
    std::atomic<int>* flag;
};

// A holder that takes the mutex again at once after each hold, as a server
// does while it streams a download into its cache, and clients that each
// lock a few times meanwhile: every client lock is served, none runs into
// the limit of its wait.
TEST(CacheMutex, WaitersAreServedInTurnBehindAHolderThatLocksBackToBack) {
    CacheFolder folder;
    NamedMutex created;
    ASSERT_EQ(NamedMutex::Result::Ok, created.create("turns"));
    for (useconds_t hold : {1000u, 200u}) {
        SharedFlag stop;
        int holding[2];
        ASSERT_EQ(0, pipe(holding));
        pid_t holder = startChild([&] {
            NamedMutex mutex;
            if (mutex.open("turns") != NamedMutex::Result::Ok) _exit(4);
            for (bool first = true; !stop.raised(); first = false) {
                if (mutex.lock(5000) != NamedMutex::Result::Ok) _exit(5);
                if (first) say(holding[1], 'h');
                usleep(hold);
                mutex.unlock();
            }
        });
        ASSERT_EQ('h', hear(holding[0]));
        std::vector<pid_t> clients;
        for (int c = 0; c < 3; ++c) {
            clients.push_back(startChild([] {
                NamedMutex mutex;
                if (mutex.open("turns") != NamedMutex::Result::Ok) _exit(4);
                for (int i = 0; i < 4; ++i) {
                    if (mutex.lock(5000) != NamedMutex::Result::Ok) _exit(6);
                    mutex.unlock();
                }
            }));
        }
        for (pid_t client : clients) EXPECT_EQ("", endOf(client)) << hold << " us holds";
        stop.raise();
        EXPECT_EQ("", endOf(holder));
        ::close(holding[0]);
        ::close(holding[1]);
    }
}

// A client process that ends while it holds the cache's lock, half way
// through moving a page to the newest end of the date list as a read does:
// the lock that meets it next, a server's or a client's, is told that the
// lock was abandoned, is not left holding it, counts the dead reader's
// client off and leaves a whole date list; the lock after that is an
// ordinary one. A client's open or close that is the first to meet such a
// lock goes on, and counts itself in or off.
TEST(CacheMutex, AHolderThatDiesLeavesTheLockAbandonedOnceAndItsClientCountedOff) {
    CacheFolder folder;
    FMSC_OPEN_PARAMS serverParams =
        Testing::smallCache(folder, "abandoned", 16, FMSC_MODE_SHARING_SERVER);
    FMSC_OPEN_PARAMS clientParams = Testing::smallCache(folder, "abandoned", 16, FMSC_MODE_CLIENT);
    FMSC_FILETOC_T *server = nullptr, *client = nullptr;
    ASSERT_EQ(0, FMSCIF_OpenS(&serverParams, &server));
    std::int32_t first = -1;
    for (const char* guid :
         {"0123456789abcdef0123456789abcdef", "fedcba9876543210fedcba9876543210"})
        ASSERT_EQ(0, FMSCIF_AddFile(server, guid, 1, 0, &first));
    for (const std::string meets : {"server", "client", "open", "close"}) {
        if (meets == "client" || meets == "close") {
            ASSERT_EQ(0, FMSCIF_OpenS(&clientParams, &client));
        }
        EXPECT_EQ("", runInChild([&clientParams] {
                      FMSC_FILETOC_T* reader = nullptr;
                      if (FMSCIF_OpenS(&clientParams, &reader) != 0) _exit(4);
                      if (FMSCIF_LockCache(reader) != 0) _exit(5);
                      // The oldest page off the list, not yet at its end.
                      const std::int32_t page = reader->shared->dateHead;
                      const std::int32_t next = reader->shared->dateHead = reader->dateNext[page];
                      reader->datePrev[next] = reader->dateNext[page] = -1;
                      _exit(0);  // holding it
                  }));
        Testing::OutputCapture output(1);
        if (meets == "server" || meets == "client") {
            FMSC_FILETOC_T* locker = meets == "server" ? server : client;
            EXPECT_EQ(97, FMSCIF_LockCache(locker));
            EXPECT_FALSE(locker->mutexHeld);
            EXPECT_EQ(0, FMSCIF_LockCache(locker));
            EXPECT_EQ(0, FMSCIF_UnLockCache(locker));
        }
        if (meets == "open") {
            EXPECT_EQ(0, FMSCIF_OpenS(&clientParams, &client));
        } else if (meets == "close") {
            EXPECT_EQ(0, FMSCIF_Close(&client));
        }
        EXPECT_NE(std::string::npos,
                  output.finish().find("FMS_ERR(97) = FMSC_ERROR_METAFILE_CACHE_ABANDONED"));
        EXPECT_EQ(client ? 1 : 0, server->shared->clients) << meets;
        EXPECT_EQ(0, FMSCFile_CheckMetaFile(server, 63)) << meets;
        if (client) FMSCIF_Close(&client);
    }
    EXPECT_EQ(0, server->shared->clients);
    ASSERT_EQ(0, FMSCIF_Close(&server));
}

// A thread that takes the cache's lock and a second thread that lets it go
// or closes the cache: the second is refused and changes nothing, and once
// the holder ends holding the lock, the next lock is told that it was
// abandoned: the mutex was left where the kernel could mark it.
TEST(CacheMutex, ALockIsLetGoOnlyByItsThreadAndNeverLeftUnusable) {
    CacheFolder folder;
    FMSC_OPEN_PARAMS params = Testing::smallCache(folder, "handed", 16, FMSC_MODE_SHARING_SERVER);
    FMSC_FILETOC_T* server = nullptr;
    ASSERT_EQ(0, FMSCIF_OpenS(&params, &server));
    Testing::Gate held, refused;
    std::thread holder([&] {
        EXPECT_EQ(0, FMSCIF_LockCache(server));
        held.open();
        refused.wait();  // and it ends holding the lock
    });
    held.wait();
    {
        Testing::OutputCapture output(1);
        EXPECT_EQ(99, FMSCIF_UnLockCache(server));
        EXPECT_EQ(99, FMSCIF_Close(&server));
        output.finish();
    }
    refused.open();
    holder.join();
    ASSERT_NE(nullptr, server);
    EXPECT_TRUE(server->mutexHeld);
    {
        Testing::OutputCapture output(1);
        EXPECT_EQ(97, FMSCIF_LockCache(server));
        output.finish();
    }
    EXPECT_FALSE(server->mutexHeld);
    // Made consistent: another process locks it as usual, and so does the
    // server, whose close then goes through.
    EXPECT_EQ("", runInChild([server] {
                  NamedMutex mutex;
                  if (mutex.open(server->mutexName) != NamedMutex::Result::Ok) _exit(4);
                  if (mutex.lock(5000) != NamedMutex::Result::Ok) _exit(5);
                  if (!mutex.unlock()) _exit(6);
              }));
    EXPECT_EQ(0, FMSCIF_LockCache(server));
    EXPECT_EQ(0, FMSCIF_UnLockCache(server));
    EXPECT_EQ(0, FMSCIF_Close(&server));
}

// The same through the mutex itself, with the holder still running: a close
// on another thread leaves the mutex mapped, so that the kernel can mark it
// abandoned when the holder ends.
TEST(CacheMutex, AMutexHeldByAnotherThreadIsNeitherLetGoNorUnmapped) {
    CacheFolder folder;
    NamedMutex created;
    ASSERT_EQ(NamedMutex::Result::Ok, created.create("closed"));
    NamedMutex opened;
    ASSERT_EQ(NamedMutex::Result::Ok, opened.open("closed"));
    Testing::Gate held, closed;
    std::thread holder([&] {
        EXPECT_EQ(NamedMutex::Result::Ok, opened.lock(5000));
        held.open();
        closed.wait();
    });
    held.wait();
    EXPECT_FALSE(opened.unlock());
    opened.close();
    closed.open();
    holder.join();
    EXPECT_EQ(NamedMutex::Result::Abandoned, created.lock(5000));
    EXPECT_TRUE(created.unlock());
    EXPECT_EQ(NamedMutex::Result::Ok, created.lock(5000));
    EXPECT_TRUE(created.unlock());
}

// A lock ends its wait in its time, by the clock, when the system's date
// goes back meanwhile: it waited for the date it aimed at, so that a wait
// of 50 ms lasted an hour.
TEST(CacheMutex, ALockWaitsItsTimeWhateverTheDateDoes) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the thread sanitizer follows only a lock's waits on the date";
#endif
    CacheFolder folder;
    NamedMutex created;
    ASSERT_EQ(NamedMutex::Result::Ok, created.create("dated"));
    ASSERT_EQ(NamedMutex::Result::Ok, created.lock(5000));
    EXPECT_EQ(runInChild([] {
                  dateAheadSeconds = 3600;
                  NamedMutex opened;
                  if (opened.open("dated") != NamedMutex::Result::Ok) _exit(4);
                  if (opened.lock(50) != NamedMutex::Result::TimedOut) _exit(5);
              }),
              "");
    EXPECT_TRUE(created.unlock());
}

// Two threads that lock and let go through one object, as the header allows:
// a lock waits while the other thread holds the mutex, an unlock of a thread
// that holds nothing says so and lets go of nothing, and the mutex is never
// left held with nobody to let it go.
TEST(CacheMutex, ThreadsSharingOneObjectExcludeEachOtherAndNeverLeaveItHeld) {
    CacheFolder folder;
    NamedMutex created;
    ASSERT_EQ(NamedMutex::Result::Ok, created.create("shared"));
    NamedMutex shared;
    ASSERT_EQ(NamedMutex::Result::Ok, shared.open("shared"));
    Testing::Gate held, tried;
    std::thread holder([&] {
        EXPECT_EQ(NamedMutex::Result::Ok, shared.lock(5000));
        held.open();
        tried.wait();
        EXPECT_TRUE(shared.unlock());
    });
    held.wait();
    EXPECT_EQ(NamedMutex::Result::TimedOut, shared.lock(0));
    EXPECT_EQ(NamedMutex::Holder::OtherThread, shared.holder());
    EXPECT_FALSE(shared.unlock());
    tried.open();
    holder.join();
    EXPECT_EQ(NamedMutex::Holder::None, shared.holder());
    ASSERT_EQ(NamedMutex::Result::Ok, created.lock(0));
    EXPECT_TRUE(created.unlock());

    // Back to back on two threads: never two holders at once, and free at
    // the end.
    std::atomic<int> inside{0}, overlaps{0}, failures{0};
    auto lockAndUnlock = [&] {
        for (int i = 0; i < 10000; ++i) {
            if (shared.lock(10000) != NamedMutex::Result::Ok) {
                ++failures;
                return;
            }
            if (inside.fetch_add(1) != 0) ++overlaps;
            inside.fetch_sub(1);
            if (!shared.unlock()) ++failures;
        }
    };
    std::thread first(lockAndUnlock), second(lockAndUnlock);
    first.join();
    second.join();
    EXPECT_EQ(0, overlaps.load());
    EXPECT_EQ(0, failures.load());
    EXPECT_EQ(NamedMutex::Result::Ok, created.lock(0));
    EXPECT_TRUE(created.unlock());
}

// A cache closed by an exit handler, as an application's termination may
// be: its close locks and lets go of the mutex after the thread's own
// objects are gone. A thread holds at most 16 mutexes at once: a lock of
// one more is refused and takes nothing.
TEST(CacheMutex, ACacheClosedAtExitLocksAndAThreadHoldsSixteenMutexesAtMost) {
    CacheFolder folder;
    EXPECT_EQ("", runInChild([&folder] {
                  static FMSC_FILETOC_T* cache = nullptr;
                  std::atexit([] { _exit(FMSCIF_Close(&cache)); });
                  FMSC_OPEN_PARAMS params =
                      Testing::smallCache(folder, "atexit", 16, FMSC_MODE_SHARING_SERVER);
                  if (FMSCIF_OpenS(&params, &cache) != 0) _exit(5);
                  std::exit(0);
              }));
    std::vector<NamedMutex> held(17);
    for (std::size_t i = 0; i < held.size(); ++i) {
        ASSERT_EQ(NamedMutex::Result::Ok, held[i].create("held" + std::to_string(i)));
        EXPECT_EQ(i < 16 ? NamedMutex::Result::Ok : NamedMutex::Result::Failed, held[i].lock(0));
    }
    EXPECT_EQ(ENOLCK, Platform::Os::lastOsError());
    EXPECT_EQ("", runInChild([] {
                  NamedMutex last;
                  if (last.open("held16") != NamedMutex::Result::Ok ||
                      last.lock(0) != NamedMutex::Result::Ok)
                      _exit(4);
              }));
}

// Makes identifier that of the next thread made in this PID namespace.
void nextThreadGets(pid_t identifier) {
    std::ofstream("/proc/sys/kernel/ns_last_pid") << identifier - 1;
}

// A thread that ends holding the mutex, then a new thread with the same
// identifier (identifiers come back once they wrap): the new thread is told
// that the mutex was abandoned and holds it, and nobody else does meanwhile,
// through the same object or another.
TEST(CacheMutex, AHolderThatEndedIsNotTakenForANewThreadOfItsIdentifier) {
    CacheFolder folder;
    const std::string outcome = runFirstInAPidNamespace([] {
        NamedMutex shared, other;
        if (shared.create("reused") != NamedMutex::Result::Ok) return 6;
        if (other.open("reused") != NamedMutex::Result::Ok) return 6;
        pid_t ended = 0;
        std::thread([&] {
            ended = gettid();
            if (shared.lock(5000) != NamedMutex::Result::Ok) _exit(7);
        }).join();
        nextThreadGets(ended);
        int failed = 0;
        std::thread([&] {
            if (gettid() != ended) {
                failed = 77;
                return;
            }
            if (shared.lock(0) != NamedMutex::Result::Abandoned) failed = 10;
            std::thread([&] {
                if (!failed && shared.lock(0) != NamedMutex::Result::TimedOut) failed = 11;
                if (!failed && other.lock(0) != NamedMutex::Result::TimedOut) failed = 12;
            }).join();
            if (!failed && !shared.unlock()) failed = 13;
        }).join();
        if (!failed && other.lock(0) != NamedMutex::Result::Ok) failed = 14;
        return failed;
    });
    if (outcome == "exit 77") GTEST_SKIP() << "no PID namespace of its own for the test";
    EXPECT_EQ("", outcome);
}

// Two processes that are each the first of a PID namespace of their own,
// as two containers of one pod that share the pipe folder are: thread 1 of
// each is another thread. The mutex is the first one's, who holds it; the
// second, through the object it inherited or one it opens, neither takes
// it nor lets it go, nor does its end, and the first one's hold stands.
TEST(CacheMutex, AThreadOfAnotherPidNamespaceNeitherTakesNorLetsGoOfTheMutex) {
    CacheFolder folder;
    const std::string outcome = runFirstInAPidNamespace([] {
        NamedMutex created, other;
        if (created.create("spaces") != NamedMutex::Result::Ok) return 6;
        if (other.open("spaces") != NamedMutex::Result::Ok) return 6;
        if (created.lock(0) != NamedMutex::Result::Ok) return 7;
        const std::string second = runFirstInAPidNamespace([&created] {
            NamedMutex opened;
            const bool took = created.lock(300) == NamedMutex::Result::Ok || created.unlock() ||
                              Platform::Os::lastOsError() != ENOTSUP ||
                              created.holder() == NamedMutex::Holder::Caller ||
                              (opened.open("spaces") == NamedMutex::Result::Ok &&
                               opened.lock(300) == NamedMutex::Result::Ok);
            created.close();
            return took ? 10 : 0;
        });
        if (second == "exit 77") return 77;
        // Each failure its bit.
        int failed = second.empty() ? 0 : 8;
        std::thread([&] {
            if (other.lock(0) != NamedMutex::Result::TimedOut) failed |= 16;
        }).join();
        if (!created.unlock()) failed |= 32;
        // Its creator gone, a creator of another namespace is refused while
        // a client has the mutex open, holding it or not; once none has, it
        // makes a mutex of its own, in a new file.
        created.close();
        if (other.lock(0) != NamedMutex::Result::Ok) failed |= 64;
        const auto third = [] {
            return runFirstInAPidNamespace([] {
                NamedMutex made;
                const NamedMutex::Result result = made.create("spaces");
                if (result == NamedMutex::Result::AlreadyExists) return 11;
                return result == NamedMutex::Result::Ok && made.lock(0) == NamedMutex::Result::Ok
                           ? 0
                           : 10;
            });
        };
        if (third() != "exit 11" || !other.isAtItsPath()) failed |= 128;
        other.unlock();
        if (third() != "exit 11") failed |= 128;
        other.close();
        if (!third().empty()) failed |= 128;
        return failed;
    });
    if (outcome == "exit 77") GTEST_SKIP() << "no PID namespace of its own for the test";
    EXPECT_EQ("", outcome);
}

// The work of a client of the cache: it attaches once let go on from its
// first step and holds the lock at its second. The client is no child of
// the server's: it would share its holds.
void holdAtStep(const CacheFolder& folder, const char* name,
                const Testing::SteppedChild::Step& step) {
    FMSC_OPEN_PARAMS c = Testing::smallCache(folder, name, 64, FMSC_MODE_CLIENT);
    FMSC_FILETOC_T* attached = nullptr;
    if (!step() || FMSCIF_OpenS(&c, &attached) || FMSCIF_LockCache(attached) || !step() ||
        FMSCIF_UnLockCache(attached) || FMSCIF_Close(&attached))
        _exit(8);
}

// A client holds the lock; its server's close runs out of time waiting for
// it and goes on; a server of another PID namespace that opens the cache,
// sharing or private, is refused (95) before it changes anything, for as
// long as the client keeps the cache open.
TEST(CacheMutex, AServerOfAnotherPidNamespaceChangesNothingUnderAnOldClient) {
    CacheFolder folder;
    const std::string outcome = runFirstInAPidNamespace([&folder] {
        FMSC_OPEN_PARAMS p = Testing::smallCache(folder, "spaces", 64, FMSC_MODE_SHARING_SERVER);
        Testing::SteppedChild client(
            [&folder](const auto& step) { holdAtStep(folder, "spaces", step); });
        FMSC_FILETOC_T* server = nullptr;
        if (!client.reached() || FMSCIF_OpenS(&p, &server)) return 6;
        client.letGo();
        if (!client.reached() || FMSCIF_CloseWithin(&server, 0)) return 6;
        const auto files = Testing::readBytes(folder.file("fms.mf"));
        const auto serverOfItsOwn = [&p](std::int32_t mode) {
            p.mode = mode;
            return runFirstInAPidNamespace([&p] {
                FMSC_FILETOC_T* other = nullptr;
                return FMSCIF_OpenS(&p, &other);
            });
        };
        p.deleteFiles = 0;
        const std::string refused =
            serverOfItsOwn(FMSC_MODE_SHARING_SERVER) + "," + serverOfItsOwn(FMSC_MODE_PRIVATE);
        const bool unchanged = Testing::readBytes(folder.file("fms.mf")) == files;
        client.letGo();
        if (!client.end().empty()) return 8;
        if (refused == "exit 77,exit 77") return 77;
        if (refused != "exit 95,exit 95" || !unchanged) return 7;
        return serverOfItsOwn(FMSC_MODE_SHARING_SERVER).empty() ? 0 : 9;
    });
    if (outcome == "exit 77") GTEST_SKIP() << "no PID namespace of its own for the test";
    EXPECT_EQ("", outcome);
}

// The same, with a new server of the client's own namespace, sharing or
// private, with delete or without: it changes no byte of the files the
// client maps before it holds the lock itself, so one that may not wait
// fails (96), and opens the cache once the client let go.
TEST(CacheMutex, ANewServerChangesNothingUnderAClientOfTheOldOne) {
    CacheFolder folder;
    FMSC_OPEN_PARAMS p = Testing::smallCache(folder, "again", 64, FMSC_MODE_SHARING_SERVER);
    Testing::SteppedChild client(
        [&folder](const auto& step) { holdAtStep(folder, "again", step); });
    FMSC_FILETOC_T* server = nullptr;
    ASSERT_TRUE(client.reached());
    ASSERT_EQ(0, FMSCIF_OpenS(&p, &server));
    client.letGo();
    ASSERT_TRUE(client.reached());
    ASSERT_EQ(0, FMSCIF_CloseWithin(&server, 0));
    const auto files = [&folder] {
        std::vector<std::vector<std::uint8_t>> bytes;
        for (const char* name : {"fms.mf", "fms.hsh", "fms.seg"})
            bytes.push_back(Testing::readBytes(folder.file(name)));
        return bytes;
    };
    const auto held = files();
    for (const std::int32_t mode : {FMSC_MODE_PRIVATE, FMSC_MODE_SHARING_SERVER})
        for (const int deleteFiles : {0, 1}) {
            p.mode = mode;
            p.deleteFiles = deleteFiles;
            EXPECT_EQ(96, FMSCIF_OpenSWithin(&p, &server, 0)) << mode << deleteFiles;
            EXPECT_TRUE(files() == held) << mode << deleteFiles;
            if (server) FMSCIF_Close(&server);
        }
    client.letGo();
    EXPECT_EQ("", client.end());
    p.deleteFiles = 0;
    for (const std::int32_t mode : {FMSC_MODE_SHARING_SERVER, FMSC_MODE_PRIVATE}) {
        p.mode = mode;
        EXPECT_EQ(0, FMSCIF_OpenSWithin(&p, &server, 0)) << mode;
        EXPECT_EQ(0, FMSCIF_Close(&server));
    }
}

// Caches of one name in different folders: a client of the one that holds
// its lock keeps no server of the other waiting, private or sharing. A
// client that reaches a cache's folder by another spelling of its path, or
// through a link, finds its server's mutex, held.
TEST(CacheMutex, CachesOfOneNameInDifferentFoldersNeverWaitOnEachOther) {
    CacheFolder folder;
    const std::string other = folder.file("other"), link = folder.file("link");
    ASSERT_EQ(0, mkdir(other.c_str(), 0700));
    ASSERT_EQ(0, symlink(folder.path.c_str(), link.c_str()));
    FMSC_OPEN_PARAMS p = Testing::smallCache(folder, nullptr, 64, FMSC_MODE_SHARING_SERVER);
    Testing::SteppedChild server([&p](const auto& step) {
        FMSC_FILETOC_T* held = nullptr;
        if (FMSCIF_OpenS(&p, &held) || !step() || FMSCIF_Close(&held)) _exit(8);
    });
    ASSERT_TRUE(server.reached());
    Testing::SteppedChild client(
        [&folder](const auto& step) { holdAtStep(folder, nullptr, step); });
    ASSERT_TRUE(client.reached());
    client.letGo();
    ASSERT_TRUE(client.reached());
    FMSC_FILETOC_T* opened = nullptr;
    p.folder = other.c_str();
    for (const std::int32_t mode : {FMSC_MODE_PRIVATE, FMSC_MODE_SHARING_SERVER}) {
        p.mode = mode;
        EXPECT_EQ(0, FMSCIF_OpenSWithin(&p, &opened, 0)) << mode;
        if (opened) FMSCIF_Close(&opened);
    }
    FMSC_OPEN_PARAMS c = Testing::smallCache(folder, nullptr, 64, FMSC_MODE_CLIENT);
    for (const std::string& spelling : {folder.path + "/", folder.path + "//./", link}) {
        c.folder = spelling.c_str();
        Testing::OutputCapture output(1);
        EXPECT_EQ(96, FMSCIF_OpenSWithin(&c, &opened, 0)) << spelling;
        output.finish();
    }
    client.letGo();
    EXPECT_EQ("", client.end());
    server.letGo();
    EXPECT_EQ("", server.end());
}

// A sharing server killed holding its lock leaves the mutex abandoned: the
// next server's open, private too, takes it over, since it checks the files
// (103 without delete) or makes them anew.
TEST(CacheMutex, AServerOpenTakesOverTheLockOfAServerKilledHoldingIt) {
    CacheFolder folder;
    FMSC_OPEN_PARAMS p = Testing::smallCache(folder, "killed", 64, FMSC_MODE_SHARING_SERVER);
    Testing::SteppedChild killed([&p](const auto& step) {
        FMSC_FILETOC_T* held = nullptr;
        if (!FMSCIF_OpenS(&p, &held) && !FMSCIF_LockCache(held)) step();
    });
    ASSERT_TRUE(killed.reached());
    killed.kill();
    killed.end();
    p.mode = FMSC_MODE_PRIVATE;
    p.deleteFiles = 0;
    FMSC_FILETOC_T* cache = nullptr;
    EXPECT_EQ(103, FMSCIF_OpenS(&p, &cache));
    p.deleteFiles = 1;
    ASSERT_EQ(0, FMSCIF_OpenS(&p, &cache));
    EXPECT_EQ(0, FMSCIF_Close(&cache));
}

// A thread that holds the lock through a client handle opens the cache as
// a server (its sharing server closed without waiting): the open would
// take the lock it holds and let it go at its end, so it fails (99) and the
// client's hold stays.
TEST(CacheMutex, AServerOpenOnAThreadThatHoldsTheLockFailsAndKeepsTheHold) {
    CacheFolder folder;
    FMSC_OPEN_PARAMS p = Testing::smallCache(folder, "same", 64, FMSC_MODE_SHARING_SERVER);
    Testing::SteppedChild server([&p](const auto& step) {
        FMSC_FILETOC_T* s = nullptr;
        if (FMSCIF_OpenS(&p, &s) || !step() || FMSCIF_CloseWithin(&s, 0) || !step()) _exit(8);
    });
    ASSERT_TRUE(server.reached());
    FMSC_OPEN_PARAMS c = Testing::smallCache(folder, "same", 64, FMSC_MODE_CLIENT);
    FMSC_FILETOC_T* client = nullptr;
    ASSERT_EQ(0, FMSCIF_OpenS(&c, &client));
    ASSERT_EQ(0, FMSCIF_LockCache(client));
    server.letGo();
    ASSERT_TRUE(server.reached());
    server.letGo();
    EXPECT_EQ("", server.end());
    p.deleteFiles = 0;
    FMSC_FILETOC_T* opened = nullptr;
    for (const std::int32_t mode : {FMSC_MODE_PRIVATE, FMSC_MODE_SHARING_SERVER}) {
        p.mode = mode;
        EXPECT_EQ(99, FMSCIF_OpenSWithin(&p, &opened, 0)) << mode;
        if (opened) FMSCIF_Close(&opened);
    }
    EXPECT_EQ(0, FMSCIF_UnLockCache(client));
    EXPECT_EQ(0, FMSCIF_Close(&client));
}

// A mutex whose holder is gone without the kernel having marked it (a
// process that unmapped it while holding it) cannot be locked any more: a
// lock reports it instead of dying on it, and the creator makes it anew.
TEST(CacheMutex, AMutexLeftByAHolderThatIsGoneIsReportedAndMadeAnew) {
    CacheFolder folder;
    NamedMutex created;
    ASSERT_EQ(NamedMutex::Result::Ok, created.create("gone"));
    const pid_t gone = startChild([] {});
    ASSERT_EQ("", endOf(gone));
    {
        const std::string path = Platform::Os::ipcDirectory() + "/mutex.gone";
        const int fd = ::open(path.c_str(), O_RDWR);
        ASSERT_GE(fd, 0);
        void* view = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        ::close(fd);
        ASSERT_NE(MAP_FAILED, view);
        // The lock word of the mutex, as its holder left it.
        auto* mutex = reinterpret_cast<pthread_mutex_t*>(static_cast<char*>(view) + 64);
        __atomic_store_n(&mutex->__data.__lock, gone, __ATOMIC_SEQ_CST);
        munmap(view, 4096);
    }
    EXPECT_EQ("", runInChild([] {
                  NamedMutex mutex;
                  if (mutex.open("gone") != NamedMutex::Result::Ok) _exit(4);
                  if (mutex.lock(5000) != NamedMutex::Result::Failed) _exit(5);
              }));
    created.close();
    ASSERT_EQ(NamedMutex::Result::Ok, created.create("gone"));
    EXPECT_EQ(NamedMutex::Result::Ok, created.lock(5000));
    EXPECT_TRUE(created.unlock());
}

// A creator that makes anew a mutex file of another layout keeps the
// processes that read the file so out of it until it is of this layout: a
// peer of that layout that opens it (takes its use lock, byte 1) as soon as
// it can never finds its own layout's mutex there, to be made anew under it.
TEST(CacheMutex, AMutexFileOfAnotherLayoutIsMadeAnewWithNoPeerLetIn) {
    CacheFolder folder;
    static std::string path;
    path = Platform::Os::ipcDirectory() + "/mutex.layout";
    static constexpr std::uint32_t otherMark = 0x4D4E5852;
    ASSERT_EQ(NamedMutex::Result::Ok, NamedMutex().create("layout"));
    {
        const int fd = ::open(path.c_str(), O_RDWR);
        ASSERT_EQ(4, ::pwrite(fd, &otherMark, 4, 0));
        ::close(fd);
    }
    static int peersLetIn;
    peersLetIn = 0;
    afterByteLock = [](const struct flock& request) {
        if (request.l_type != F_UNLCK || request.l_start != 1) return;
        const int peer = ::open(path.c_str(), O_RDWR);
        struct flock use {};
        use.l_type = F_RDLCK;
        use.l_start = 1;
        use.l_len = 1;
        std::uint32_t mark = 0;
        if (::syscall(SYS_fcntl, peer, F_OFD_SETLK, &use) == 0 && ::pread(peer, &mark, 4, 0) == 4 &&
            mark == otherMark)
            ++peersLetIn;
        ::close(peer);
    };
    NamedMutex created;
    EXPECT_EQ(NamedMutex::Result::Ok, created.create("layout"));
    afterByteLock = nullptr;
    EXPECT_EQ(0, peersLetIn) << "a peer opened the file of its layout as it was made anew";
    EXPECT_EQ(NamedMutex::Result::Ok, created.lock(0));
    EXPECT_TRUE(created.unlock());
}

// The file that carries a mutex lies in the user's private folder of named
// objects; what is found there under its name is used only when it is a
// plain file of the user's that no one else may open, and a name never
// leads out of the folder.
TEST(CacheMutex, MutexFileIsTheUsersOwnAndNeverReachedThroughALink) {
    CacheFolder folder;
    const std::string objects = Platform::Os::ipcDirectory();
    ASSERT_FALSE(objects.empty());

    ASSERT_EQ(0, symlink(folder.file("elsewhere").c_str(), (objects + "/mutex.linked").c_str()));
    EXPECT_EQ(NamedMutex::Result::Failed, NamedMutex().create("linked"));
    EXPECT_EQ(NamedMutex::Result::Failed, NamedMutex().open("linked"));
    EXPECT_FALSE(std::filesystem::exists(folder.file("elsewhere")));

    const std::string shared = objects + "/mutex.readable";
    ASSERT_EQ(0, ::close(::open(shared.c_str(), O_CREAT | O_WRONLY, 0600)));
    ASSERT_EQ(0, chmod(shared.c_str(), 0644));
    EXPECT_EQ(NamedMutex::Result::Failed, NamedMutex().create("readable"));
    EXPECT_EQ(NamedMutex::Result::Failed, NamedMutex().open("readable"));

    EXPECT_EQ(NamedMutex::Result::Failed, NamedMutex().create("../outside"));
    EXPECT_EQ(NamedMutex::Result::Failed, NamedMutex().create(""));
    EXPECT_FALSE(std::filesystem::exists(folder.file("outside")));

    NamedMutex made;
    ASSERT_EQ(NamedMutex::Result::Ok, made.create("made"));
    struct stat info {};
    ASSERT_EQ(0, lstat((objects + "/mutex.made").c_str(), &info));
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(0600u, info.st_mode & 0777);
    EXPECT_EQ(geteuid(), info.st_uid);
}

}  // namespace
}  // namespace Quillomark::Fcc
