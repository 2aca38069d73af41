#include "CacheFolder.hxx"
#include "ChildProcess.hxx"

#include <fcc/fastcache/internal/FmscInterface.hxx>
#include <fcc/fastcache/internal/FmscTesting.hxx>

#include <platform/os/internal/Descriptor.hxx>
#include <platform/os/internal/FileWatch.hxx>
#include <platform/os/internal/NamedMutex.hxx>
#include <platform/os/internal/OsError.hxx>

#include <tests/support/OutputCapture.hxx>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <sched.h>
#include <set>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

// The at-fork handlers registered while a case counts them (-1: none
// counts). The library's calls reach this definition, which registers them
// as the C library's does.
std::atomic<int> atForkRegistrations{-1};
extern "C" int __register_atfork(void (*)(), void (*)(), void (*)(), void*);
extern "C" void* __dso_handle;
extern "C" int pthread_atfork(void (*prepare)(), void (*parent)(), void (*child)()) noexcept {
    if (atForkRegistrations >= 0) ++atForkRegistrations;
    return __register_atfork(prepare, parent, child, __dso_handle);
}

// The opens of the kernel's list of every lock in force, whose every read
// holds each lock and close() of every process of the machine. The
// library's calls reach these definitions.
std::atomic<int> lockListOpens{0};
extern "C" std::FILE* fopen(const char* path, const char* mode) {
    lockListOpens += std::strcmp(path, "/proc/locks") == 0;
    return fopen64(path, mode);
}
extern "C" int open(const char* path, int flags, ...) {
    lockListOpens += std::strcmp(path, "/proc/locks") == 0;
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = flags & (O_CREAT | O_TMPFILE) ? va_arg(arguments, mode_t) : 0;
    va_end(arguments);
    return static_cast<int>(::syscall(SYS_openat, AT_FDCWD, path, flags, mode));
}

namespace Quillomark::Fcc {
namespace {

using Platform::Os::NamedMutex;
using Quillomark::Testing::CacheFolder;
using Quillomark::Testing::readBytes;
using Quillomark::Testing::wordAt;

const std::string guidA = "AAAAAAAA11112222333344445555666677778888";
const std::string guidB = "BBBBBBBB11112222333344445555666677778888";

FMSC_OPEN_PARAMS params(const CacheFolder& folder, std::int32_t mode) {
    return Quillomark::Testing::smallCache(folder, "shared", 64, mode);
}

TEST(SharedCache, ClientAttachesToTheServersStructuresAndReadsItsBlocks) {
    CacheFolder folder;
    FMSC_OPEN_PARAMS serverParams = params(folder, FMSC_MODE_SHARING_SERVER);
    FMSC_FILETOC_T* server = nullptr;
    ASSERT_EQ(0, FMSCIF_OpenS(&serverParams, &server));
    std::int32_t a = -1, b = -1;
    ASSERT_EQ(0, FMSCIF_AddFile(server, guidA.c_str(), 20000, 0, &a));
    std::vector<std::uint8_t> data(20000);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = std::uint8_t(i % 241);
    ASSERT_EQ(0, FMSCIF_WriteData(server, &a, 0, data.data(), 20000));
    ASSERT_EQ(0, FMSCIF_AddFile(server, guidB.c_str(), 10, 0, &b));
    std::int32_t shared = server->shared->sharedSegments;
    EXPECT_EQ(1, shared);
    for (std::int32_t e = 0; e < server->pages[a].numSegments; ++e)
        EXPECT_GE(server->pages[a].segments[e].segmentOffset, shared);

    auto segmentFile = readBytes(folder.file("fms.seg"));
    EXPECT_EQ(4322, wordAt(segmentFile, 0));
    EXPECT_EQ(64, wordAt(segmentFile, 32));
    EXPECT_EQ(1, wordAt(segmentFile, 52));
    EXPECT_EQ(1, wordAt(segmentFile, 56));
    EXPECT_EQ(a, wordAt(segmentFile, 60));
    EXPECT_EQ(b, wordAt(segmentFile, 64));
    EXPECT_EQ(std::string("shared"), reinterpret_cast<const char*>(&segmentFile[76 + 12 * 64]));

    // Sizes mean nothing to a client, which takes its server's.
    FMSC_OPEN_PARAMS clientParams = params(folder, FMSC_MODE_CLIENT);
    clientParams.maxFilePages = 128;
    clientParams.segments = 64;
    clientParams.hashBlockPages = 4;
    clientParams.megabytesPerExtentFile = clientParams.extentFiles = 16;
    FMSC_FILETOC_T* client = nullptr;
    ASSERT_EQ(0, FMSCIF_OpenS(&clientParams, &client));
    EXPECT_EQ(64, client->shared->maxFilePages);
    std::int32_t count = 0;
    ASSERT_EQ(0, FMSCIF_NumClients(server, &count));
    EXPECT_EQ(1, count);

    ASSERT_EQ(0, FMSCIF_LockCache(client));
    std::int64_t size = 0;
    std::int32_t first = -1, length = 0;
    ASSERT_EQ(0, FMSCIF_FindFile(client, guidA.c_str(), &size, &first));
    EXPECT_EQ(20000, size);
    std::vector<std::uint8_t> block(16384);
    ASSERT_EQ(0, FMSCIF_ReadBlock(client, first, 1, block.data(), &length));
    ASSERT_EQ(20000 - 16384, length);
    EXPECT_EQ(data[16384 + 100], block[100]);
    ASSERT_EQ(0,
              FMSCIF_FindFile(client, "CCCCCCCC11112222333344445555666677778888", &size, &first));
    EXPECT_EQ(-1, first);
    ASSERT_EQ(0, FMSCIF_UnLockCache(client));

    // The client's read moved a to the newest end of the one shared list.
    EXPECT_EQ(b, server->shared->dateHead);
    EXPECT_EQ(a, server->shared->dateTail);
    EXPECT_EQ(1, server->shared->hits);
    EXPECT_EQ(0, server->shared->misses);

    ASSERT_EQ(0, FMSCIF_Close(&client));
    ASSERT_EQ(0, FMSCIF_NumClients(server, &count));
    EXPECT_EQ(0, count);
    ASSERT_EQ(0, FMSCIF_Close(&server));
    EXPECT_EQ(24589, wordAt(readBytes(folder.file("fms.seg")), 0));
    EXPECT_EQ(24589, wordAt(readBytes(folder.file("fms.mf")), 52));

    // A client finds no server's block any more.
    FMSC_FILETOC_T* late = nullptr;
    Quillomark::Testing::OutputCapture output(1);
    EXPECT_EQ(61, FMSCIF_OpenS(&clientParams, &late));
    EXPECT_EQ(nullptr, late);
}

// A client reads the server's store and changes none of it: each entry that
// would is refused as one of a handle of the wrong kind.
TEST(SharedCache, AClientIsRefusedEveryEntryThatChangesTheStore) {
    CacheFolder folder;
    FMSC_OPEN_PARAMS serverParams = params(folder, FMSC_MODE_SHARING_SERVER);
    FMSC_FILETOC_T* server = nullptr;
    ASSERT_EQ(0, FMSCIF_OpenS(&serverParams, &server));
    std::int32_t a = -1;
    ASSERT_EQ(0, FMSCIF_AddFile(server, guidA.c_str(), 16384, 0, &a));
    std::vector<std::uint8_t> block(16384, 0xA1);
    ASSERT_EQ(0, FMSCIF_WriteBlock(server, &a, 0, block.data(), 16384));
    FMSC_OPEN_PARAMS clientParams = params(folder, FMSC_MODE_CLIENT);
    FMSC_FILETOC_T* client = nullptr;
    ASSERT_EQ(0, FMSCIF_OpenS(&clientParams, &client));
    std::vector<std::vector<std::uint8_t>> files;
    for (const char* name : {"fms.mf", "fms.hsh", "fms.seg"})
        files.push_back(readBytes(folder.file(name)));
    std::int32_t first = a, page = -1;
    const std::function<int()> entries[] = {
        [&] { return FMSCIF_WriteBlock(client, &first, 0, block.data(), 100); },
        [&] { return FMSCIF_WriteBlock(client, &first, 1, block.data(), 100); },
        [&] { return FMSCIF_WriteData(client, &first, 0, block.data(), 100); },
        [&] { return FMSCIF_AddFile(client, guidB.c_str(), 10, 0, &page); },
        [&] { return FMSCIF_AdjustFileSize(client, guidA.c_str(), 5, 0); },
        [&] { return FMSCX_DeleteAPage(client, &first); },
        [&] { return FSMCIF_DeleteThisPage(client, a); },
        [&] { return FMSCIF_DeleteOldest(client); },
        [&] { return FSMCIF_DeleteOldestFile(client); },
        [&] { return FMSCIF_DeleteFile(client, guidA.c_str()); },
        [&] { return FMSCIF_Purge(client, false); },
        [&] { return FMSCIF_Purge(client, true); },
        [&] { return FMSCIF_ShrinkTheSegmentExtentFile(client, 0); },
    };
    ASSERT_EQ(0, FMSCIF_LockCache(client));
    for (std::size_t i = 0; i < std::size(entries); ++i) {
        Quillomark::Testing::OutputCapture output(1);
        EXPECT_EQ(36, entries[i]()) << "entry " << i;
    }
    ASSERT_EQ(0, FMSCIF_UnLockCache(client));
    std::size_t n = 0;
    for (const char* name : {"fms.mf", "fms.hsh", "fms.seg"})
        EXPECT_TRUE(files[n++] == readBytes(folder.file(name))) << name;
    ASSERT_EQ(0, FMSCIF_Close(&client));
    ASSERT_EQ(0, FMSCIF_Close(&server));
}

// A write that finds no segment free grows the extent files, else evicts
// the oldest pages, the writer's own among them. Where neither frees one
// (the segment file holds the shared block alone and the extent files
// cannot grow), the store is full: the write fails with 60 at once, and
// writes go on once the files can grow. Where the writer's own page makes
// the room, the write goes through.
TEST(SharedCache, AWriteThatNothingFreesRoomForFailsAsInAFullStore) {
    const auto limitFileSize = [](rlim_t bytes) {
        rlimit limit{};
        getrlimit(RLIMIT_FSIZE, &limit);
        limit.rlim_cur = std::min(bytes, limit.rlim_max);
        setrlimit(RLIMIT_FSIZE, &limit);
    };
    struct Case {
        const char* name;
        std::int32_t pages, segments, megabytesPerExtent, written;
        int expected;
        std::function<void(const CacheFolder&)> block, unblock;
    };
    const Case cases[] = {
        {"the extent file's name taken by a folder", 64, 1, 16, 0, 60,
         [](const CacheFolder& f) { mkdir(f.file("fms.ext000").c_str(), 0700); },
         [](const CacheFolder& f) { rmdir(f.file("fms.ext000").c_str()); }},
        {"a full disk", 64, 1, 16, 0, 60, [&](const CacheFolder&) { limitFileSize(1 << 20); },
         [&](const CacheFolder&) { limitFileSize(RLIM_INFINITY); }},
        {"one segment, the writer's", 64, 1, 0, 1, 0, nullptr, nullptr},
        {"no page free, the writer's full", 2, 40, 0, 36, 0, nullptr, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CacheFolder folder;
        EXPECT_EQ("", Quillomark::Testing::runInChild([&] {
                      signal(SIGXFSZ, SIG_IGN);
                      FMSC_OPEN_PARAMS p = Quillomark::Testing::smallCache(
                          folder, "full", c.pages, FMSC_MODE_SHARING_SERVER);
                      p.segments = c.segments;
                      p.megabytesPerExtentFile = c.megabytesPerExtent;
                      p.extentFiles = c.megabytesPerExtent ? 1 : 0;
                      FMSC_FILETOC_T* server = nullptr;
                      std::int32_t a = -1, length = 0;
                      std::vector<std::uint8_t> bytes(16384);
                      auto write = [&](std::int32_t block) {
                          bytes.assign(bytes.size(), std::uint8_t(block));
                          return FMSCIF_WriteBlock(server, &a, block, bytes.data(), 16384);
                      };
                      if (FMSCIF_OpenS(&p, &server) != 0 ||
                          FMSCIF_AddFile(server, guidA.c_str(), 0, 0, &a) != 0)
                          _exit(4);
                      for (std::int32_t block = 0; block < c.written; ++block)
                          if (write(block) != 0) _exit(5);
                      if (c.block) c.block(folder);
                      if (write(c.written) != c.expected) _exit(6);
                      if (c.unblock) c.unblock(folder);
                      if (write(c.written) != 0 ||
                          FMSCIF_ReadBlock(server, a, c.written, bytes.data(), &length) != 0 ||
                          length != 16384 || bytes[100] != std::uint8_t(c.written) ||
                          FMSCFile_CheckMetaFile(server, 63) != 0 || FMSCIF_Close(&server) != 0)
                          _exit(7);
                  }));
    }
}

// A cache filled by a server that did not share it, opened again by one
// that does: the segments that its block of shared structures takes may
// hold cached blocks. Those blocks go; the others stay their files' own,
// and the block's words are never read as a file's bytes.
TEST(SharedCache, TheSharedBlockTakesNoSegmentThatACachedBlockHolds) {
    CacheFolder folder;
    FMSC_OPEN_PARAMS privateParams = params(folder, FMSC_MODE_PRIVATE);
    FMSC_FILETOC_T* cache = nullptr;
    ASSERT_EQ(0, FMSCIF_OpenS(&privateParams, &cache));
    std::int32_t a = -1;
    ASSERT_EQ(0, FMSCIF_AddFile(cache, guidA.c_str(), 3 * 16384, 0, &a));
    std::vector<std::uint8_t> block(16384);
    for (std::int32_t i = 0; i < 3; ++i) {
        block.assign(block.size(), std::uint8_t(0xA0 + i));
        ASSERT_EQ(0, FMSCIF_WriteBlock(cache, &a, i, block.data(), 16384));
    }
    ASSERT_EQ(0, cache->pages[a].segments[0].segmentOffset);
    ASSERT_EQ(0, FMSCIF_Close(&cache));

    FMSC_OPEN_PARAMS serverParams = params(folder, FMSC_MODE_SHARING_SERVER);
    serverParams.create = serverParams.deleteFiles = 0;
    ASSERT_EQ(0, FMSCIF_OpenS(&serverParams, &cache));
    ASSERT_EQ(1, cache->shared->sharedSegments);
    EXPECT_EQ(0, FMSCFile_CheckMetaFile(cache, 63));
    std::int64_t size = 0;
    ASSERT_EQ(0, FMSCIF_FindFile(cache, guidA.c_str(), &size, &a));
    ASSERT_NE(-1, a);
    std::int32_t length = 0;
    ASSERT_EQ(0, FMSCIF_ReadBlock(cache, a, 0, block.data(), &length));
    EXPECT_EQ(-1, length);
    for (std::int32_t i = 1; i < 3; ++i) {
        ASSERT_EQ(0, FMSCIF_ReadBlock(cache, a, i, block.data(), &length));
        ASSERT_EQ(16384, length);
        EXPECT_EQ(0xA0 + i, block[100]);
    }
    // The block written again goes to a segment of its own.
    block.assign(block.size(), 0xA0);
    ASSERT_EQ(0, FMSCIF_WriteBlock(cache, &a, 0, block.data(), 16384));
    ASSERT_EQ(0, FMSCIF_ReadBlock(cache, a, 0, block.data(), &length));
    EXPECT_EQ(0xA0, block[100]);
    EXPECT_EQ(0, FMSCFile_CheckMetaFile(cache, 63));
    ASSERT_EQ(0, FMSCIF_Close(&cache));
}

TEST(SharedCache, ClientInAnotherProcessReadsWhatTheServerWrote) {
    CacheFolder folder;
    FMSC_OPEN_PARAMS serverParams = params(folder, FMSC_MODE_SHARING_SERVER);
    FMSC_FILETOC_T* server = nullptr;
    ASSERT_EQ(0, FMSCIF_OpenS(&serverParams, &server));
    std::int32_t a = -1;
    ASSERT_EQ(0, FMSCIF_AddFile(server, guidA.c_str(), 300, 0, &a));
    std::vector<std::uint8_t> data(300, 0x5A);
    ASSERT_EQ(0, FMSCIF_WriteBlock(server, &a, 0, data.data(), 300));

    pid_t child = fork();
    ASSERT_NE(-1, child);
    if (child == 0) {
        FMSC_OPEN_PARAMS clientParams = params(folder, FMSC_MODE_CLIENT);
        FMSC_FILETOC_T* client = nullptr;
        std::int64_t size = 0;
        std::int32_t first = -1, length = 0;
        std::vector<std::uint8_t> block(16384);
        bool ok = FMSCIF_OpenS(&clientParams, &client) == 0 && FMSCIF_LockCache(client) == 0 &&
                  FMSCIF_FindFile(client, guidA.c_str(), &size, &first) == 0 && size == 300 &&
                  FMSCIF_ReadBlock(client, first, 0, block.data(), &length) == 0 && length == 300 &&
                  block[299] == 0x5A && FMSCIF_UnLockCache(client) == 0 &&
                  FMSCIF_Close(&client) == 0;
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(1, server->shared->hits);
    EXPECT_EQ(0, server->shared->clients);
    ASSERT_EQ(0, FMSCIF_Close(&server));
}

// The server's extent file leaves its path (the purge removes it, or a
// program has renamed it away or keeps another name of it first): the
// clients read the file that the server makes at the path after, never the
// old one, which still has a name and the server's old blocks.
TEST(SharedCache, ClientSeesTheNewExtentFileAfterTheServerPurged) {
    const struct {
        const char* away;
        int (*keep)(const char* from, const char* to);  // null: the purge's removal alone
    } rows[] = {{"removed", nullptr}, {"renamed away", ::rename}, {"linked elsewhere", ::link}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.away);
        CacheFolder folder, elsewhere;
        FMSC_OPEN_PARAMS serverParams = params(folder, FMSC_MODE_SHARING_SERVER);
        serverParams.segments = 2;
        serverParams.megabytesPerExtentFile = 16;
        serverParams.extentFiles = 1;
        FMSC_FILETOC_T* server = nullptr;
        ASSERT_EQ(0, FMSCIF_OpenS(&serverParams, &server));
        FMSC_OPEN_PARAMS clientParams = serverParams;
        clientParams.mode = FMSC_MODE_CLIENT;
        clientParams.create = clientParams.deleteFiles = 0;
        FMSC_FILETOC_T* client = nullptr;
        ASSERT_EQ(0, FMSCIF_OpenS(&clientParams, &client));

        auto fill = [server](const std::string& guid, std::uint8_t value) {
            std::int32_t first = -1;
            std::vector<std::uint8_t> bytes(2 * 16384, value);
            ASSERT_EQ(0, FMSCIF_AddFile(server, guid.c_str(), 2 * 16384, 0, &first));
            ASSERT_EQ(0, FMSCIF_WriteData(server, &first, 0, bytes.data(), 2 * 16384));
            ASSERT_EQ(2,
                      server->pages[first].segments[1].segmentOffset);  // the first extent segment
        };
        auto secondBlock = [](FMSC_FILETOC_T* reader, const std::string& guid) {
            std::int64_t size = 0;
            std::int32_t first = -1, length = 0;
            std::vector<std::uint8_t> block(16384);
            EXPECT_EQ(0, FMSCIF_LockCache(reader));
            EXPECT_EQ(0, FMSCIF_FindFile(reader, guid.c_str(), &size, &first));
            EXPECT_EQ(0, FMSCIF_ReadBlock(reader, first, 1, block.data(), &length));
            EXPECT_EQ(0, FMSCIF_UnLockCache(reader));
            return length == 16384 ? block[16383] : -1;
        };
        fill(guidA, 0xA0);
        // One client opened the extent file to read, the other as it attached.
        // The first opened it after a fork made while it held its lock: a
        // change made meanwhile is looked at when it next locks.
        ASSERT_EQ(0, FMSCIF_LockCache(client));
        EXPECT_EQ("", Quillomark::Testing::runInChild([] {}));
        ASSERT_EQ(0, chmod(folder.file("fms.hsh").c_str(), 0600));
        EXPECT_EQ(0xA0, secondBlock(client, guidA));
        const std::uint32_t checked = client->filesChecked;
        EXPECT_EQ(0xA0, secondBlock(client, guidA));
        EXPECT_EQ(checked + 1, client->filesChecked);
        FMSC_FILETOC_T* attached = nullptr;
        ASSERT_EQ(0, FMSCIF_OpenS(&clientParams, &attached));
        EXPECT_EQ(0xA0, secondBlock(attached, guidA));
        if (row.keep) {
            ASSERT_EQ(0,
                      row.keep(folder.file("fms.ext000").c_str(), elsewhere.file("kept").c_str()));
        }
        ASSERT_EQ(0, FMSCIF_Purge(server, true));
        fill(guidB, 0xB0);
        for (FMSC_FILETOC_T* reader : {client, attached})
            EXPECT_EQ(0xB0, secondBlock(reader, guidB));
        // The server's writes into an extent file, which a client reads, send
        // no client to look at its files again (once the close of the removed
        // file that it read before has been told).
        EXPECT_EQ(0xB0, secondBlock(client, guidB));
        const std::uint32_t before = client->filesChecked;
        std::int64_t size = 0;
        std::int32_t b = -1;
        ASSERT_EQ(0, FMSCIF_FindFile(server, guidB.c_str(), &size, &b));
        const std::vector<std::uint8_t> again(16384, 0xB1);
        ASSERT_EQ(0, FMSCIF_WriteBlock(server, &b, 1, again.data(), 16384));
        EXPECT_EQ(0xB1, secondBlock(client, guidB));
        EXPECT_EQ(before, client->filesChecked);

        // Another file renamed over the server's: the server reads its own on,
        // and no client takes the other's bytes for the blocks.
        Quillomark::Testing::writeBytes(folder.file("other"),
                                        std::vector<std::uint8_t>(64 * 16384, 0xEE));
        ASSERT_EQ(0, ::rename(folder.file("other").c_str(), folder.file("fms.ext000").c_str()));
        EXPECT_EQ(0xB1, secondBlock(server, guidB));
        for (FMSC_FILETOC_T* reader : {client, attached}) {
            Quillomark::Testing::OutputCapture output(1);
            std::vector<std::uint8_t> block(16384);
            std::int32_t length = 0;
            ASSERT_EQ(0, FMSCIF_LockCache(reader));
            ASSERT_EQ(0, FMSCIF_FindFile(reader, guidB.c_str(), &size, &b));
            const int read = FMSCIF_ReadBlock(reader, b, 1, block.data(), &length);
            EXPECT_TRUE(read != 0 || length != 16384 || block[0] != 0xEE) << "read the other file";
            EXPECT_EQ(0, FMSCIF_UnLockCache(reader));
        }

        ASSERT_EQ(0, FMSCIF_Close(&attached));
        ASSERT_EQ(0, FMSCIF_Close(&client));
        ASSERT_EQ(0, FMSCIF_Close(&server));
    }
}

// A file that some open holds (the server's other extent file, the extent
// file of another cache whose server runs, a file that a program locks
// whole, as the server does its meta file, or marks on its first byte, as
// the builds before this one marked an extent file) renamed over the
// server's: no client takes its bytes for the blocks, as for a file that
// nobody holds; a client reads the server's own, which a program locks
// whole. Neither the reads, each of which meets the file anew where it is
// not the server's, nor an attach that meets it first reads the kernel's
// list of every lock.
TEST(SharedCache, AHeldFileRenamedOverTheServersExtentFileIsReadByNoClient) {
    const struct {
        const char* file;
        bool otherCache;
        off_t lockedLength;  // -1: the test locks none of it
        bool own;
    } rows[] = {{"the server's second extent file", false, -1, false},
                {"the first extent file of another cache", true, -1, false},
                {"a file that a program locks whole", false, 0, false},
                {"a file locked on its first byte", false, 1, false},
                {"the server's own, which a program locks whole", false, 0, true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.file);
        const int listOpens = lockListOpens;
        CacheFolder folder, elsewhere;
        FMSC_OPEN_PARAMS serverParams = params(folder, FMSC_MODE_SHARING_SERVER);
        serverParams.segments = 2;
        serverParams.megabytesPerExtentFile = 16;
        serverParams.extentFiles = 2;
        FMSC_OPEN_PARAMS otherParams = serverParams;
        otherParams.folder = elsewhere.path.c_str();
        otherParams.name = "other";
        FMSC_FILETOC_T *server = nullptr, *other = nullptr, *client = nullptr;
        ASSERT_EQ(0, FMSCIF_OpenS(&serverParams, &server));
        ASSERT_EQ(0, FMSCIF_OpenS(&otherParams, &other));
        // Blocks of 0xA0 fill the first extent file, 0xB0 the second; the
        // other cache's are 0xC0.
        auto fill = [](FMSC_FILETOC_T* cache, std::int32_t blocks, auto value) {
            std::int32_t first = -1;
            EXPECT_EQ(
                0, FMSCIF_AddFile(cache, guidA.c_str(), std::uint32_t(blocks) * 16384u, 0, &first));
            for (std::int32_t b = 0; b < blocks; ++b) {
                const std::vector<std::uint8_t> bytes(16384, value(b));
                EXPECT_EQ(0, FMSCIF_WriteBlock(cache, &first, b, bytes.data(), 16384));
            }
            return first;
        };
        const std::int32_t first =
            fill(server, 1100, [](std::int32_t b) { return std::uint8_t(b < 1000 ? 0xA0 : 0xB0); });
        fill(other, 40, [](std::int32_t) { return std::uint8_t(0xC0); });
        FMSC_OPEN_PARAMS clientParams = serverParams;
        clientParams.mode = FMSC_MODE_CLIENT;
        clientParams.create = clientParams.deleteFiles = 0;
        ASSERT_EQ(0, FMSCIF_OpenS(&clientParams, &client));
        const std::string own = folder.file("fms.ext000");
        std::string from = row.own          ? own
                           : row.otherCache ? elsewhere.file("fms.ext000")
                                            : folder.file("fms.ext001");
        const Platform::Os::Descriptor holder(row.lockedLength < 0 ? -1 : [&] {
            if (!row.own) {
                from = elsewhere.file("locked");
                Quillomark::Testing::writeBytes(from, std::vector<std::uint8_t>(40 * 16384, 0xC0));
            }
            return ::open(from.c_str(), O_RDWR);
        }());
        struct flock lock {};
        lock.l_type = F_RDLCK;
        lock.l_len = row.lockedLength;
        if (row.lockedLength >= 0) {
            ASSERT_EQ(0, ::fcntl(holder.get(), F_OFD_SETLK, &lock));
        }
        if (!row.own) {
            ASSERT_EQ(0, ::rename(from.c_str(), own.c_str()));
        }
        int read = 0, wrong = 0;
        std::vector<std::uint8_t> block(16384);
        Quillomark::Testing::OutputCapture output(1);
        ASSERT_EQ(0, FMSCIF_LockCache(client));
        for (std::int32_t b = 1; b < 40; ++b) {
            std::int32_t length = 0;
            if (FMSCIF_ReadBlock(client, first, b, block.data(), &length) == 0 && length == 16384)
                ++read, wrong += block[0] != 0xA0;
        }
        EXPECT_EQ(0, wrong) << "blocks of 39 read from the file renamed over the server's";
        EXPECT_EQ(row.own ? 39 : 0, read);
        FMSCIF_UnLockCache(client);
        FMSC_FILETOC_T* late = nullptr;
        EXPECT_EQ(row.own ? 0 : 85, FMSCIF_OpenS(&clientParams, &late));
        EXPECT_EQ(listOpens, lockListOpens) << "reads of the kernel's list of every lock";
        if (late) FMSCIF_Close(&late);
        FMSCIF_Close(&client);
        FMSCIF_Close(&other);
        FMSCIF_Close(&server);
    }
}

// Another program holds a POSIX lock of a server's extent file, taken
// before the server opens its cache or after: a lock of other bytes than
// the server's mark, or of the whole file, shared or exclusive. The server
// opens its cache, and its clients attach, reading no list of every lock,
// and read its blocks; a file locked as the server opens (a lock that could
// hide the server's mark, then or once its holder locks the whole file, or
// leaves no room for it) is made anew in its place without the blocks it
// held, which are then misses, never wrong. A program that locks each
// extent file as soon as it has a name (as one that follows the folder
// does) locks it after the server's mark.
std::string lockedAsNamed;
std::vector<int> locksAsNamed;

TEST(SharedCache, AnotherProgramsLockOfAnExtentFileShutsNoClientOut) {
    const struct {
        const char* lock;
        short type;
        off_t length;  // 0: the whole file
        bool beforeTheServer, thenWhole, asNamed;
    } rows[] = {{"shared, whole, before", F_RDLCK, 0, true, false, false},
                {"exclusive, whole, before", F_WRLCK, 0, true, false, false},
                {"shared, its first block, before", F_RDLCK, 16384, true, false, false},
                {"shared, its first block, before, then whole", F_RDLCK, 16384, true, true, false},
                {"exclusive, its first block, before", F_WRLCK, 16384, true, false, false},
                {"shared, whole, after", F_RDLCK, 0, false, false, false},
                {"shared, whole, before, and the new file as named", F_RDLCK, 0, true, false, true},
                {"the file as growth names it", F_RDLCK, -1, false, false, true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.lock);
        CacheFolder folder;
        FMSC_OPEN_PARAMS serverParams = params(folder, FMSC_MODE_SHARING_SERVER);
        serverParams.segments = 2;
        serverParams.megabytesPerExtentFile = 16;
        serverParams.extentFiles = 2;
        FMSC_FILETOC_T *server = nullptr, *client = nullptr;
        lockedAsNamed = folder.file("fms.ext000");
        const auto lockAsNamed = [] {
            Testing::setFmscOpenStep([](const char* step) {
                if (std::string(step) != "made an extent file") return;
                locksAsNamed.emplace_back(::open(lockedAsNamed.c_str(), O_RDONLY));
                struct flock lock {};
                lock.l_type = F_RDLCK;
                ASSERT_EQ(0, ::fcntl(locksAsNamed.back(), F_OFD_SETLK, &lock));
            });
        };
        if (row.asNamed && !row.beforeTheServer) lockAsNamed();
        ASSERT_EQ(0, FMSCIF_OpenS(&serverParams, &server));
        std::int32_t first = -1;
        ASSERT_EQ(0, FMSCIF_AddFile(server, guidA.c_str(), 40 * 16384, 0, &first));
        for (std::int32_t b = 0; b < 40; ++b) {
            const std::vector<std::uint8_t> bytes(16384, std::uint8_t(b));
            ASSERT_EQ(0, FMSCIF_WriteBlock(server, &first, b, bytes.data(), 16384));
        }
        serverParams.deleteFiles = 0;
        if (row.beforeTheServer) {
            ASSERT_EQ(0, FMSCIF_Close(&server));
        }
        const std::string extent = folder.file("fms.ext000");
        Quillomark::Testing::SteppedChild program(
            [&](const Quillomark::Testing::SteppedChild::Step& step) {
                if (row.length < 0) {
                    step();
                    return;
                }
                const int fd = ::open(extent.c_str(), O_RDWR);
                struct flock lock {};
                lock.l_type = row.type;
                lock.l_len = row.length;
                if (fd < 0 || ::fcntl(fd, F_SETLK, &lock) != 0) _exit(4);
                lock.l_len = 0;
                if (step() && row.thenWhole && (::fcntl(fd, F_SETLK, &lock) != 0 || !step()))
                    _exit(5);
            });
        ASSERT_TRUE(program.reached());
        Quillomark::Testing::OutputCapture output(1);
        if (row.asNamed && row.beforeTheServer) lockAsNamed();
        if (row.beforeTheServer) {
            EXPECT_EQ(0, FMSCIF_OpenS(&serverParams, &server));
        }
        if (row.thenWhole) {
            program.letGo();
            ASSERT_TRUE(program.reached());
        }
        FMSC_OPEN_PARAMS clientParams = params(folder, FMSC_MODE_CLIENT);
        const int listOpens = lockListOpens;
        EXPECT_EQ(0, FMSCIF_OpenS(&clientParams, &client));
        int read = 0, wrong = 0;
        if (client && FMSCIF_LockCache(client) == 0) {
            std::int64_t size = 0;
            EXPECT_EQ(0, FMSCIF_FindFile(client, guidA.c_str(), &size, &first));
            std::vector<std::uint8_t> block(16384);
            for (std::int32_t b = 0; first >= 0 && b < 40; ++b) {
                std::int32_t length = 0;
                if (FMSCIF_ReadBlock(client, first, b, block.data(), &length) != 0 || length == -1)
                    continue;
                ++read;
                wrong += length != 16384 || block[0] != b || block[16383] != b;
            }
            EXPECT_EQ(0, FMSCIF_UnLockCache(client));
        }
        EXPECT_EQ(0, wrong);
        EXPECT_EQ(row.beforeTheServer ? 1 : 40, read);
        EXPECT_EQ(listOpens, lockListOpens) << "reads of the kernel's list of every lock";
        program.letGo();
        EXPECT_EQ("", program.end());
        if (client) FMSCIF_Close(&client);
        if (server) FMSCIF_Close(&server);
        Testing::setFmscOpenStep(nullptr);
        EXPECT_EQ(row.asNamed ? 1u : 0u, locksAsNamed.size()) << "files locked as named";
        for (const int fd : locksAsNamed) ::close(fd);
        locksAsNamed.clear();
    }
}

// An application's own at-fork handler takes its lock, and a thread that
// holds that lock reads through the client while another thread forks: the
// fork waits for the lock, and the reader for nothing that the fork holds.
pthread_mutex_t applicationLock = PTHREAD_MUTEX_INITIALIZER;
std::atomic<bool> forkWaits{false};

TEST(SharedCache, AReaderUnderALockThatTheApplicationTakesForAForkGoesOn) {
    CacheFolder folder;
    EXPECT_EQ("", Quillomark::Testing::runInChild([&folder] {
                  pthread_atfork([] { forkWaits = true, pthread_mutex_lock(&applicationLock); },
                                 [] { pthread_mutex_unlock(&applicationLock); },
                                 [] { pthread_mutex_unlock(&applicationLock); });
                  FMSC_OPEN_PARAMS serverParams = params(folder, FMSC_MODE_SHARING_SERVER);
                  FMSC_OPEN_PARAMS clientParams = params(folder, FMSC_MODE_CLIENT);
                  FMSC_FILETOC_T *server = nullptr, *client = nullptr;
                  if (FMSCIF_OpenS(&serverParams, &server) != 0 ||
                      FMSCIF_OpenS(&clientParams, &client) != 0 ||
                      !Quillomark::Testing::runInChild([] {}).empty())
                      _exit(4);
                  forkWaits = false;
                  pthread_mutex_lock(&applicationLock);
                  std::thread forker([] { Quillomark::Testing::runInChild([] {}); });
                  while (!forkWaits) std::this_thread::yield();
                  if (FMSCIF_LockCache(client) != 0 || FMSCIF_UnLockCache(client) != 0) _exit(5);
                  pthread_mutex_unlock(&applicationLock);
                  forker.join();
              }));
}

// The library registers its at-fork handlers as it loads: one registered
// at a first use, under a function-local static's guard, leaves a child
// forked meanwhile waiting for that guard for good.
TEST(SharedCache, FirstUsesRegisterNoAtForkHandler) {
    atForkRegistrations = 0;
    CacheFolder folder;
    FMSC_OPEN_PARAMS serverParams = params(folder, FMSC_MODE_SHARING_SERVER);
    FMSC_OPEN_PARAMS clientParams = params(folder, FMSC_MODE_CLIENT);
    FMSC_FILETOC_T *server = nullptr, *client = nullptr;
    ASSERT_EQ(0, FMSCIF_OpenS(&serverParams, &server));
    ASSERT_EQ(0, FMSCIF_OpenS(&clientParams, &client));
    std::thread([client] {
        EXPECT_EQ(0, FMSCIF_LockCache(client));
        EXPECT_EQ(0, FMSCIF_UnLockCache(client));
    }).join();
    EXPECT_EQ(0, atForkRegistrations.exchange(-1));
    EXPECT_EQ(0, FMSCIF_Close(&client));
    EXPECT_EQ(0, FMSCIF_Close(&server));
}

TEST(SharedCache, LockIsExclusiveBetweenHandlesAndReleasedOnlyByTheInterfaceUnlock) {
    CacheFolder folder;
    FMSC_OPEN_PARAMS serverParams = params(folder, FMSC_MODE_SHARING_SERVER);
    FMSC_FILETOC_T* server = nullptr;
    ASSERT_EQ(0, FMSCIF_OpenS(&serverParams, &server));
    FMSC_OPEN_PARAMS clientParams = params(folder, FMSC_MODE_CLIENT);
    FMSC_FILETOC_T* client = nullptr;
    ASSERT_EQ(0, FMSCIF_OpenS(&clientParams, &client));

    ASSERT_EQ(0, FMSCIF_LockCache(client));
    ASSERT_EQ(0, FMSCFile_UnLockCache(client));  // an inner unlock keeps the interface's lock
    NamedMutex other;
    ASSERT_EQ(NamedMutex::Result::Ok, other.open(server->mutexName));
    // Another thread's lock, through another handle.
    const auto otherThreadLocks = [&other] {
        return std::async(std::launch::async,
                          [&other] {
                              const NamedMutex::Result result = other.lock(20);
                              if (result == NamedMutex::Result::Ok) other.unlock();
                              return result;
                          })
            .get();
    };
    EXPECT_EQ(NamedMutex::Result::TimedOut, otherThreadLocks());
    ASSERT_EQ(0, FMSCIF_UnLockCache(client));
    EXPECT_EQ(NamedMutex::Result::Ok, otherThreadLocks());

    NamedMutex second;
    const std::string name = server->mutexName;
    EXPECT_EQ(NamedMutex::Result::AlreadyExists, second.create(name));
    ASSERT_EQ(0, FMSCIF_Close(&client));
    ASSERT_EQ(0, FMSCIF_Close(&server));
    EXPECT_EQ(NamedMutex::Result::Ok, second.create(name));
    EXPECT_EQ(NamedMutex::Result::NotFound, NamedMutex().open("nobody"));
}

// A client looks at its files (whole, still the server's) under its lock
// only after one of them may have changed: each change that can cut or
// replace a file is noted, the server's work through its mappings is not,
// and a file that cannot be watched makes every lock look.
TEST(SharedCache, AClientLooksAtItsFilesAgainAfterEachChangeThatCanCutOrReplaceThem) {
    CacheFolder folder;
    FMSC_OPEN_PARAMS serverParams = params(folder, FMSC_MODE_SHARING_SERVER);
    FMSC_FILETOC_T* server = nullptr;
    ASSERT_EQ(0, FMSCIF_OpenS(&serverParams, &server));
    FMSC_OPEN_PARAMS clientParams = params(folder, FMSC_MODE_CLIENT);
    FMSC_FILETOC_T* client = nullptr;
    ASSERT_EQ(0, FMSCIF_OpenS(&clientParams, &client));
    auto lockAndUnlock = [client] {
        return FMSCIF_LockCache(client) == 0 && FMSCIF_UnLockCache(client) == 0;
    };
    ASSERT_TRUE(lockAndUnlock());
    const std::uint32_t checked = client->filesChecked;
    ASSERT_TRUE(lockAndUnlock());
    std::int32_t first = -1;
    ASSERT_EQ(0, FMSCIF_AddFile(server, guidA.c_str(), 100, 0, &first));
    const std::vector<std::uint8_t> data(100, 7);
    ASSERT_EQ(0, FMSCIF_WriteData(server, &first, 0, data.data(), 100));
    ASSERT_TRUE(lockAndUnlock());
    EXPECT_EQ(checked, client->filesChecked);

    // Its attributes changed, then a byte written in place: each looked at.
    ASSERT_EQ(0, chmod(folder.file("fms.hsh").c_str(), 0600));
    ASSERT_TRUE(lockAndUnlock());
    EXPECT_EQ(checked + 1, client->filesChecked);
    const std::vector<std::uint8_t> segments = readBytes(folder.file("fms.seg"));
    const int fd = ::open(folder.file("fms.seg").c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(1, pwrite(fd, &segments.back(), 1, off_t(segments.size() - 1)));
    ::close(fd);
    ASSERT_TRUE(lockAndUnlock());
    EXPECT_EQ(checked + 2, client->filesChecked);
    ASSERT_TRUE(lockAndUnlock());
    EXPECT_EQ(checked + 2, client->filesChecked);

    // A child whose copy of a watch names a descriptor of the child's own: a
    // fork copies the descriptors before the memory, so that a watch made
    // on another thread as the parent forked names a number that is not
    // open in the child, and then one the child opens. The watch makes its
    // own notes and closes none of the child's.
    const auto inotifyDescriptors = [] {
        std::set<int> found;
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
            std::error_code unreadable;
            if (std::filesystem::read_symlink(entry, unreadable) == "anon_inode:inotify")
                found.insert(std::stoi(entry.path().filename()));
        }
        return found;
    };
    const std::set<int> before = inotifyDescriptors();
    Platform::Os::FileWatch watch;
    const int watched = ::open(folder.file("fms.seg").c_str(), O_RDONLY);
    watch.add(watched);
    std::set<int> made = inotifyDescriptors();
    for (const int fd : before) made.erase(fd);
    ASSERT_EQ(1u, made.size());
    EXPECT_EQ("", Quillomark::Testing::runInChild([&watch, number = *made.begin()] {
                  if (dup2(::open("/dev/null", O_RDONLY), number) != number) _exit(4);
                  if (!watch.changed()) _exit(5);
                  watch.close();
                  struct stat info {};
                  if (fstat(number, &info) != 0 || !S_ISCHR(info.st_mode)) _exit(6);
              }));
    // Nor the application's epoll instance under that number, whose identity
    // is that of every inotify instance.
    EXPECT_EQ("", Quillomark::Testing::runInChild([&watch, number = *made.begin()] {
                  ::close(number);
                  if (epoll_create1(EPOLL_CLOEXEC) != number) _exit(4);
                  watch.changed();
                  watch.close();
                  if (fcntl(number, F_GETFD) < 0) _exit(7);
              }));
    watch.close();
    ::close(watched);

    // A chain of generations, each of which locks: each makes its own
    // notes and closes its copy of its parent's, so that none holds more
    // instances than the first process.
    const std::size_t instances = inotifyDescriptors().size();
    std::function<void(int)> generation = [&](int left) {
        if (!lockAndUnlock()) _exit(4);
        if (inotifyDescriptors().size() > instances) _exit(5);
        if (left > 0 && !Quillomark::Testing::runInChild([&] { generation(left - 1); }).empty())
            _exit(6);
    };
    EXPECT_EQ("", Quillomark::Testing::runInChild([&] { generation(6); }));

    // Cut short: looked at, found short, the lock refused until the file is
    // whole again; also in processes forked from the client's, forked before
    // or after the cut, whichever of them locks first.
    const auto refused = [client] {
        if (FMSCIF_LockCache(client) == 0) _exit(1);
    };
    Quillomark::Testing::SteppedChild sibling(
        [&refused](const Quillomark::Testing::SteppedChild::Step& cut) {
            if (cut()) refused();
        });
    ASSERT_TRUE(sibling.reached());
    ASSERT_EQ(0, truncate(folder.file("fms.hsh").c_str(), 0));
    Quillomark::Testing::OutputCapture output(1);
    EXPECT_EQ("", Quillomark::Testing::runInChild(refused));
    EXPECT_NE(0, FMSCIF_LockCache(client));
    sibling.letGo();
    EXPECT_EQ("", sibling.end());
    EXPECT_NE(0, FMSCIF_LockCache(client));
    EXPECT_FALSE(client->mutexHeld);
    EXPECT_EQ(0, FMSCIF_Close(&client));
    EXPECT_EQ(0, FMSCIF_Close(&server));
    output.finish();

    Platform::Os::FileWatch unwatchable;
    unwatchable.add(-1);
    EXPECT_TRUE(unwatchable.changed());
    EXPECT_TRUE(unwatchable.changed());
}

// One server at a time holds a cache, from before its open reads anything
// to its close: another open, of this process or of another started at the
// same moment, is refused (95) meanwhile; one killed holding it leaves it
// to the next.
TEST(SharedCache, OneServerAtATimeHoldsTheCache) {
    CacheFolder folder;
    FMSC_OPEN_PARAMS owner = params(folder, FMSC_MODE_PRIVATE);
    FMSC_FILETOC_T *first = nullptr, *second = nullptr;
    ASSERT_EQ(0, FMSCIF_OpenS(&owner, &first));
    owner.deleteFiles = 0;
    FMSC_OPEN_PARAMS sharing = owner;
    sharing.mode = FMSC_MODE_SHARING_SERVER;
    EXPECT_EQ(95, FMSCIF_OpenS(&owner, &second));
    EXPECT_EQ(95, FMSCIF_OpenS(&sharing, &second));
    ASSERT_EQ(0, FMSCIF_Close(&first));

    // Each child holds what it got until both tried.
    struct Pair {
        std::atomic<int> inside, tried, both, refused;
    };
    void* memory =
        mmap(nullptr, sizeof(Pair), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(MAP_FAILED, memory);
    auto* pair = new (memory) Pair{};
    int both = 0, refused = 0;
    for (int round = 0; round < 100; ++round) {
        pair->inside = pair->tried = pair->both = pair->refused = 0;
        int gate[2];
        ASSERT_EQ(0, pipe(gate));
        const auto opens = [&] {
            ::close(gate[1]);
            Quillomark::Testing::hear(gate[0]);
            FMSC_FILETOC_T* held = nullptr;
            const int rc = FMSCIF_OpenS(&owner, &held);
            pair->inside += rc == 0;
            pair->refused += rc == 95;
            for (const int step : {2, 4}) {
                if (++pair->tried == step && pair->inside == 2) pair->both = 1;
                while (pair->tried < step) sched_yield();
            }
            if (rc == 0 && FMSCIF_Close(&held) != 0) _exit(5);
        };
        const pid_t children[] = {Quillomark::Testing::startChild(opens),
                                  Quillomark::Testing::startChild(opens)};
        ::close(gate[0]);
        ::close(gate[1]);
        for (const pid_t child : children) ASSERT_EQ("", Quillomark::Testing::endOf(child));
        both += pair->both;
        refused += pair->refused;
    }
    munmap(memory, sizeof(Pair));
    EXPECT_EQ(0, both);
    EXPECT_EQ(100, refused);

    Quillomark::Testing::SteppedChild killed(
        [&owner](const Quillomark::Testing::SteppedChild::Step& opened) {
            FMSC_FILETOC_T* held = nullptr;
            if (FMSCIF_OpenS(&owner, &held) == 0) opened();
        });
    ASSERT_TRUE(killed.reached());
    killed.kill();
    killed.end();
    EXPECT_EQ(103, FMSCIF_OpenS(&owner, &first));
    owner.deleteFiles = 1;
    ASSERT_EQ(0, FMSCIF_OpenS(&owner, &first));
    EXPECT_EQ(0, FMSCIF_Close(&first));
}

// A cleaner of old files removes the owner file while a server holds the
// cache, or a new one takes its place: no second server, private or
// sharing, with delete or without, opens the cache meanwhile (95), and the
// first one's meta file stays as it was.
TEST(SharedCache, ARemovedOrReplacedOwnerFileLetsNoSecondServerIn) {
    CacheFolder folder;
    const std::string owner = folder.file("fms.mf.lock"), meta = folder.file("fms.mf");
    for (const std::int32_t first : {FMSC_MODE_PRIVATE, FMSC_MODE_SHARING_SERVER})
        for (const bool replaced : {false, true}) {
            FMSC_OPEN_PARAMS p = params(folder, first);
            Quillomark::Testing::SteppedChild holder(
                [&p](const Quillomark::Testing::SteppedChild::Step& step) {
                    FMSC_FILETOC_T* held = nullptr;
                    if (FMSCIF_OpenS(&p, &held) || !step() || FMSCIF_Close(&held)) _exit(8);
                });
            ASSERT_TRUE(holder.reached());
            ASSERT_EQ(0, unlink(owner.c_str()));
            if (replaced) std::ofstream(owner) << "";
            struct stat before {
            }, after{};
            ASSERT_EQ(0, stat(meta.c_str(), &before));
            const auto bytes = readBytes(meta);
            for (const std::int32_t second : {FMSC_MODE_PRIVATE, FMSC_MODE_SHARING_SERVER})
                for (const int deleteFiles : {0, 1}) {
                    FMSC_OPEN_PARAMS q = params(folder, second);
                    q.deleteFiles = deleteFiles;
                    FMSC_FILETOC_T* opened = nullptr;
                    Quillomark::Testing::OutputCapture output(1);
                    EXPECT_EQ(95, FMSCIF_OpenSWithin(&q, &opened, 0))
                        << first << replaced << second << deleteFiles;
                    output.finish();
                    if (opened) FMSCIF_Close(&opened);
                }
            ASSERT_EQ(0, stat(meta.c_str(), &after));
            EXPECT_EQ(before.st_ino, after.st_ino) << first << replaced;
            EXPECT_TRUE(bytes == readBytes(meta)) << first << replaced;
            holder.letGo();
            EXPECT_EQ("", holder.end());
        }
}

TEST(CacheReports, ErrorObjectPrintsItsFastCacheAndOsErrors) {
    FMSC_ERROR_T* error = FMSCX_Error_Create();
    Quillomark::Testing::OutputCapture output(1);
    Platform::Os::setLastOsError(0);
    EXPECT_EQ(77, FmscErrorSet(error, ".\\FMSCFile.cxx", "FMSCFile_Open", 12, 77));
    Platform::Os::setLastOsError(ENOENT);
    EXPECT_EQ(91, FmscErrorSetValue(error, ".\\FMSCUtil.cxx", "FMSCX_Open", 34, 91, 5));
    Platform::Os::setLastOsError(0);
    std::string text = output.finish();
    FMSCX_Error_Destroy(error);
    std::string first = text.substr(0, text.find("FMSCX_Open"));
    EXPECT_NE(std::string::npos,
              first.find("\n***ERROR:     FILE        = .\\FMSCFile.cxx\n              METHOD      "
                         "= FMSCFile_Open\n"
                         "              LINENO      = 12\n              FMS_ERR(77) = "
                         "FMSC_ERROR_METAFILE_MISSING_FILE_PAGE\n"));
    EXPECT_EQ(std::string::npos, first.find("OS_ERR"));
    EXPECT_NE(std::string::npos, text.find("FMS_ERR(91) = FMSC_ERROR_UTIL_CANNOT_OPEN_FILE:= 5\n"));
    EXPECT_NE(std::string::npos, text.find("***OSERROR: No such file or directory\n"));
    EXPECT_NE(std::string::npos, text.find("OS_ERR      = (2): No such file or directory\n"));
    EXPECT_STREQ("FMSC_EROR_NULL_PARAMETER", FMSCX_ErrorName(76));
    EXPECT_STREQ("FMSC_ERROR_METAFILE_INSERT_ALREADY_IN_DATELIST", FMSCX_ErrorName(106));
    EXPECT_STREQ("**** NO SUCH ERROR CODE *****", FMSCX_ErrorName(107));
}

TEST(CacheReports, PathsJoinFolderAndNameWithOneSeparator) {
    EXPECT_EQ("c:/fms.mf", FMSCX_MakeFullPath("c:", "fms.mf"));
    EXPECT_EQ("/var/cache/fms.mf", FMSCX_MakeFullPath("/var/cache/", "fms.mf"));
    EXPECT_EQ("fms.mf", FMSCX_MakeFullPath("", "fms.mf"));
}

TEST(CacheTuning, EnvironmentAndOpenParametersAreBoundedAndRounded) {
    setenv("FMSC_MAXIMUM_EXTENT_MEGABYTES", "40", 1);
    setenv("FMSC_MAX_NUMBER_OF_FILE_PAGES", "0", 1);
    FMSC_FILETOC_T* toc = nullptr;
    ASSERT_EQ(0, FMSCTOC_Open(&toc));
    unsetenv("FMSC_MAXIMUM_EXTENT_MEGABYTES");
    unsetenv("FMSC_MAX_NUMBER_OF_FILE_PAGES");
    EXPECT_EQ(2048, toc->shared->segmentsPerExtentFile);
    EXPECT_EQ(32, toc->shared->totalExtentMegabytes);
    EXPECT_EQ(1024, toc->shared->maxFilePages);
    EXPECT_EQ(1800, toc->shared->segmentFileSegments);
    EXPECT_EQ(15, toc->shared->hashBlockPages);
    FMSCFile_Close(toc);

    CacheFolder folder;
    FMSC_OPEN_PARAMS p;
    p.folder = folder.path.c_str();
    p.maxFilePages = 8;
    p.segments = 4;
    p.hashBlockPages = 1;
    p.megabytesPerExtentFile = 40;
    p.extentFiles = 2;
    p.create = p.deleteFiles = 1;
    FMSC_FILETOC_T* cache = nullptr;
    ASSERT_EQ(0, FMSCIF_OpenS(&p, &cache));
    EXPECT_EQ(48 * 64, cache->header->segmentsPerExtentFile);
    EXPECT_EQ(96, cache->header->totalExtentMegabytes);
    ASSERT_EQ(0, FMSCIF_Close(&cache));

    // 100 megabytes ask for 3 files of 32; the open makes it 4.
    ASSERT_EQ(
        0, FMSCIF_Open(folder.path.c_str(), nullptr, 8, 4, 1, 100, true, true, 0, false, &cache));
    EXPECT_EQ(4, cache->header->maxExtentFiles);
    EXPECT_EQ(128, cache->header->totalExtentMegabytes);
    ASSERT_EQ(0, FMSCIF_Close(&cache));
}

}  // namespace
}  // namespace Quillomark::Fcc
