// Caches whose files were damaged while a server shares them, or while
// nobody had them open. The cache files come from another process: whatever
// they hold, an open or a read gives an error or a miss, never a crash, a
// hang, or a write into what the server keeps. Each damaged client runs in a
// child process, so that a crash is one failed case and not the end of the
// test program.

#include "CacheFolder.hxx"
#include "ChildProcess.hxx"

#include <fcc/fastcache/internal/FmscInterface.hxx>

#include <platform/os/internal/NamedMutex.hxx>

#include <tests/support/OutputCapture.hxx>

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <memory>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

namespace Quillomark::Fcc {
namespace {

using Testing::CacheFolder;
using Testing::endOf;
using Testing::hear;
using Testing::putWord;
using Testing::readBytes;
using Testing::runInChild;
using Testing::say;
using Testing::startChild;
using Testing::wordAt;
using Testing::writeBytes;

const std::string guidA = "AAAAAAAA11112222333344445555666677778888";
const std::string guidB = "BBBBBBBB11112222333344445555666677778888";
constexpr std::int32_t blocksOfA = 40;  // two pages, the last 33 blocks in the extent file
constexpr std::int32_t pageCount = 64;
// The files a reader may not write to but for a few words; the extent file
// is put back by the damages to it alone, being large.
const char* const cacheFiles[] = {"fms.mf", "fms.hsh", "fms.seg"};
const char* const damagedFiles[] = {"fms.mf", "fms.hsh", "fms.seg", "fms.ext000"};

std::uint8_t contentOf(std::int32_t block, std::size_t i) {
    return std::uint8_t(block * 7 + i % 251);
}

FMSC_OPEN_PARAMS sharedParams(const CacheFolder& folder, std::int32_t mode) {
    FMSC_OPEN_PARAMS p = Testing::smallCache(folder, "damaged", pageCount, mode);
    p.megabytesPerExtentFile = 16;
    p.extentFiles = 1;
    return p;
}

// Fills a cache: file A of 40 full blocks, file B of one short block.
void fill(FMSC_FILETOC_T* cache) {
    std::int32_t a = -1, b = -1;
    ASSERT_EQ(0, FMSCIF_AddFile(cache, guidA.c_str(), blocksOfA * 16384, 0, &a));
    std::vector<std::uint8_t> block(16384);
    for (std::int32_t i = 0; i < blocksOfA; ++i) {
        for (std::size_t k = 0; k < block.size(); ++k) block[k] = contentOf(i, k);
        ASSERT_EQ(0, FMSCIF_WriteBlock(cache, &a, i, block.data(), 16384));
    }
    ASSERT_EQ(0, FMSCIF_AddFile(cache, guidB.c_str(), 100, 0, &b));
    ASSERT_EQ(0, FMSCIF_WriteBlock(cache, &b, 0, block.data(), 100));
}

// What a reader does with an open cache: under the lock, find both files
// and read every block. Errors end it early.
void readEverything(FMSC_FILETOC_T* cache) {
    if (FMSCIF_LockCache(cache) == 0) {
        std::vector<std::uint8_t> buffer(16384);
        for (const std::string& guid : {guidA, guidB}) {
            std::int64_t size = 0;
            std::int32_t first = -1;
            if (FMSCIF_FindFile(cache, guid.c_str(), &size, &first) != 0) break;
            if (first == -1) continue;
            for (std::int32_t block = 0; block <= blocksOfA; ++block) {
                std::int32_t length = 0;
                if (FMSCIF_ReadBlock(cache, first, block, buffer.data(), &length) != 0) break;
            }
        }
        FMSCIF_UnLockCache(cache);
    }
}

// The same with a cache that it opens and closes.
void readEverything(const FMSC_OPEN_PARAMS& params) {
    FMSC_FILETOC_T* cache = nullptr;
    if (FMSCIF_OpenS(&params, &cache) != 0) return;
    readEverything(cache);
    FMSCIF_Close(&cache);
}

// One damage: a word written at an offset of a file, or something done to a
// file as a whole (with the way to undo it).
struct Damage {
    std::string name;
    std::function<void()> apply;
    std::function<void()> undo;
};

// The cache's files as they were before a damage, put back afterwards into
// the same files, which the server keeps mapped.
class Snapshot {
public:
    explicit Snapshot(const CacheFolder& folder) : folder(folder) {
        for (const char* name : cacheFiles) bytes.push_back(readBytes(folder.file(name)));
    }
    void restore() const {
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            int fd = ::open(folder.file(cacheFiles[i]).c_str(), O_WRONLY);
            ASSERT_GE(fd, 0) << cacheFiles[i];
            ASSERT_EQ(0, ftruncate(fd, off_t(bytes[i].size())));
            ASSERT_EQ(ssize_t(bytes[i].size()), pwrite(fd, bytes[i].data(), bytes[i].size(), 0));
            ::close(fd);
        }
    }
    const std::vector<std::uint8_t>& of(std::size_t file) const { return bytes[file]; }

private:
    const CacheFolder& folder;
    std::vector<std::vector<std::uint8_t>> bytes;
};

void writeWord(const std::string& path, std::size_t offset, std::int32_t value) {
    int fd = ::open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    std::uint8_t word[4];
    for (int i = 0; i < 4; ++i) word[i] = std::uint8_t(std::uint32_t(value) >> (8 * i));
    ASSERT_EQ(4, pwrite(fd, word, 4, off_t(offset)));
    ::close(fd);
}

void resize(const std::string& path, off_t size) { ASSERT_EQ(0, truncate(path.c_str(), size)); }

const std::int32_t damagedValues[] = {-1, 0, pageCount, 4100, 0x10000000, INT_MIN};

// The words a reader follows, each with every damaged value, and the files,
// each truncated, emptied, missing or replaced by another cache's file.
std::vector<Damage> damagesOf(const CacheFolder& folder, FMSC_FILETOC_T* server, bool sharedBlock) {
    std::vector<Damage> damages;
    auto words = [&](const std::string& name, const std::string& file, std::size_t offset) {
        for (std::int32_t value : damagedValues) {
            std::string path = folder.file(file);
            damages.push_back({name + " = " + std::to_string(value),
                               [path, offset, value] { writeWord(path, offset, value); }, [] {}});
        }
    };
    const char* headerWords[] = {
        "free first",   "free last",        "free size",           "allocated",
        "pages",        "segments",         "hash pages",          "extent segments",
        "extent files", "max extent files", "segments per extent", "extent megabytes",
        "state"};
    for (std::size_t w = 0; w < 13; ++w)
        words(std::string("header ") + headerWords[w], "fms.mf", 4 + 4 * w);
    if (sharedBlock) {
        const char* sharedWords[] = {"extent segments",
                                     "extent files",
                                     "pages",
                                     "segments",
                                     "extent megabytes",
                                     "max extent files",
                                     "segments per extent",
                                     "hash pages",
                                     "shared segments",
                                     "date head",
                                     "date tail",
                                     "date count",
                                     "clients"};
        for (std::size_t w = 0; w < 13; ++w)
            words(std::string("shared ") + sharedWords[w], "fms.seg", 24 + 4 * w);
    }
    std::int32_t a = -1, b = -1;
    std::uint32_t bucket = 0;
    FMSCHash_FindFile(server, guidA.c_str(), &a);
    FMSCHash_FindFile(server, guidB.c_str(), &b);
    FMSCHash_Entry(server, guidA.c_str(), &bucket);
    std::int32_t second = server->pages[a].nextOffset;
    if (sharedBlock) {
        for (std::int32_t page : {a, second, b}) {
            std::string at = " of page " + std::to_string(page);
            words("date" + at, "fms.seg", 76 + 4 * std::size_t(page));
            words("date next" + at, "fms.seg", 76 + 4 * std::size_t(pageCount + page));
            words("date prev" + at, "fms.seg", 76 + 4 * std::size_t(2 * pageCount + page));
        }
    }
    for (std::int32_t page : {a, second, b}) {
        std::size_t at = 512 + 512 * std::size_t(page);
        std::string of = " of page " + std::to_string(page);
        words("type byte and flags" + of, "fms.mf", at);
        words("own index" + of, "fms.mf", at + 4);
        words("next" + of, "fms.mf", at + 8);
        words("prev" + of, "fms.mf", at + 12);
        words("next collision" + of, "fms.mf", at + 16);
        words("access time" + of, "fms.mf", at + 20);
        words("entries used" + of, "fms.mf", at + 32);
        for (std::size_t e : {std::size_t(0), std::size_t(3), std::size_t(20)}) {
            std::string entry = " of entry " + std::to_string(e) + of;
            words("length" + entry, "fms.mf", at + 72 + 12 * e);
            words("segment" + entry, "fms.mf", at + 76 + 12 * e);
            words("block" + entry, "fms.mf", at + 80 + 12 * e);
        }
    }
    words("bucket of A", "fms.hsh", 4 * bucket);

    for (const char* name : damagedFiles) {
        std::string path = folder.file(name);
        std::string aside = path + ".aside";
        auto bytes = std::make_shared<std::vector<std::uint8_t>>(readBytes(path));
        auto putBack = [path, bytes] {
            int fd = ::open(path.c_str(), O_WRONLY);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(ssize_t(bytes->size()), pwrite(fd, bytes->data(), bytes->size(), 0));
            ::close(fd);
        };
        damages.push_back({std::string(name) + " missing",
                           [path, aside] { std::filesystem::rename(path, aside); },
                           [path, aside] { std::filesystem::rename(aside, path); }});
        damages.push_back({std::string(name) + " empty", [path] { resize(path, 0); }, putBack});
        damages.push_back(
            {std::string(name) + " cut short",
             [path] { resize(path, off_t(std::filesystem::file_size(path) / 2 + 100)); }, putBack});
        damages.push_back({std::string(name) + " replaced",
                           [path, aside, name] {
                               std::filesystem::rename(path, aside);
                               std::vector<std::uint8_t> other(
                                   std::string(name) == "fms.mf" ? 3 * 512 : 16384, 0xEE);
                               putWord(other, 0, 2);
                               writeBytes(path, other);
                           },
                           [path, aside] {
                               std::filesystem::remove(path);
                               std::filesystem::rename(aside, path);
                           }});
    }
    return damages;
}

// Differences in bytes a reader must leave alone: the hash file, the
// segments that hold file data, and the meta file but for the access times
// of pages.
std::string writesOf(const CacheFolder& folder, const Snapshot& before,
                     std::int32_t sharedSegments) {
    std::string found;
    for (std::size_t f = 0; f < 3; ++f) {
        const auto& was = before.of(f);
        if (!std::filesystem::exists(folder.file(cacheFiles[f]))) continue;
        auto now = readBytes(folder.file(cacheFiles[f]));
        std::size_t from = f == 2 ? std::size_t(sharedSegments) * 16384 : 0;
        for (std::size_t i = from; i < std::min(was.size(), now.size()); ++i) {
            bool accessTime = f == 0 && i >= 512 && (i - 512) % 512 >= 20 && (i - 512) % 512 < 24;
            if (was[i] != now[i] && !accessTime) {
                found += std::string(" ") + cacheFiles[f] + "@" + std::to_string(i);
                break;
            }
        }
    }
    return found;
}

// A sharing server in this process with both files cached; its client is
// opened by each case, here or in a child process.
class SharedCacheDamage : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, FMSCIF_OpenS(&serverParams, &server));
        fill(server);
        ASSERT_EQ(0, FMSCHash_FindFile(server, guidA.c_str(), &a));
    }
    void TearDown() override {
        if (!server) return;
        EXPECT_EQ(0, FMSCFile_CheckMetaFile(server, 63));
        EXPECT_EQ(0, FMSCIF_Close(&server));
    }

    CacheFolder folder;
    FMSC_OPEN_PARAMS serverParams = sharedParams(folder, FMSC_MODE_SHARING_SERVER);
    FMSC_OPEN_PARAMS clientParams = sharedParams(folder, FMSC_MODE_CLIENT);
    FMSC_FILETOC_T* server = nullptr;
    std::int32_t a = -1;  // the first page of file A
};

TEST_F(SharedCacheDamage, ClientGetsAnErrorOrAMissAndWritesNothingOutsideTheSharedBlock) {
    std::int32_t sharedSegments = server->shared->sharedSegments;
    ASSERT_EQ("", runInChild([this] { readEverything(clientParams); }));

    Snapshot original(folder);
    for (const Damage& damage : damagesOf(folder, server, true)) {
        damage.apply();
        Snapshot damaged(folder);
        std::string outcome = runInChild([this] { readEverything(clientParams); });
        EXPECT_EQ("", outcome) << damage.name;
        if (outcome.empty()) {
            EXPECT_EQ("", writesOf(folder, damaged, sharedSegments)) << damage.name;
        }
        damage.undo();
        original.restore();
    }
    // The server works on with its repaired files, and its client with it.
    std::vector<std::uint8_t> block(16384, 0x42);
    ASSERT_EQ(0, FMSCIF_WriteBlock(server, &a, blocksOfA, block.data(), 16384));
    ASSERT_EQ("", runInChild([this] { readEverything(clientParams); }));
}

TEST(DamagedCache, PrivateOpenOfADamagedCacheFailsOrReadsWithoutCrashing) {
    CacheFolder folder;
    FMSC_OPEN_PARAMS params = sharedParams(folder, FMSC_MODE_PRIVATE);
    FMSC_FILETOC_T* cache = nullptr;
    ASSERT_EQ(0, FMSCIF_OpenS(&params, &cache));
    fill(cache);
    auto damages = damagesOf(folder, cache, false);
    ASSERT_EQ(0, FMSCIF_Close(&cache));
    params.create = params.deleteFiles = 0;

    Snapshot original(folder);
    for (const Damage& damage : damages) {
        damage.apply();
        EXPECT_EQ("", runInChild([&params] { readEverything(params); })) << damage.name;
        damage.undo();
        original.restore();
    }
    // A failed open in this process leaves nothing behind for the next one.
    Testing::OutputCapture output(1);
    writeWord(folder.file("fms.mf"), 24, -5);
    EXPECT_NE(0, FMSCIF_OpenS(&params, &cache));
    writeWord(folder.file("fms.mf"), 28, 0);
    EXPECT_NE(0, FMSCIF_OpenS(&params, &cache));
    EXPECT_EQ(nullptr, cache);
    original.restore();
    ASSERT_EQ(0, FMSCIF_OpenS(&params, &cache));
    ASSERT_EQ(0, FMSCIF_Close(&cache));
}

// A sharing server whose block a client wrote over, its signature among
// what it wrote: the server's close says so (36), and lets go of every
// descriptor and mapping it has all the same.
TEST(DamagedCache, AServerClosedOverADamagedBlockSaysSoAndLetsGoOfAll) {
    CacheFolder folder;
    Testing::OutputCapture output(1);
    const int before = Testing::openDescriptors();
    const FMSC_OPEN_PARAMS params = sharedParams(folder, FMSC_MODE_SHARING_SERVER);
    FMSC_FILETOC_T* server = nullptr;
    ASSERT_EQ(0, FMSCIF_OpenS(&params, &server));
    server->shared->signature = 0x5A5A5A5A;
    EXPECT_EQ(FMSC_ERROR_BAD_TYPE_SIG, FMSCIF_Close(&server));
    EXPECT_EQ(nullptr, server);
    EXPECT_EQ(before, Testing::openDescriptors());
}

// Extent counts whose product only rounds to the megabytes: 65 segments
// per extent are one more than the megabyte holds.
TEST(DamagedCache, ExtentCountsThatDoNotMultiplyOutAreRefused) {
    CacheFolder folder;
    FMSC_FILETOC_T* cache = nullptr;
    ASSERT_EQ(
        0, FMSCIF_Open(folder.path.c_str(), "counts", 8, 2, 1, 16, true, true, 0, false, &cache));
    ASSERT_EQ(0, FMSCIF_Close(&cache));
    writeWord(folder.file("fms.mf"), 44, 65);
    writeWord(folder.file("fms.mf"), 48, 1);
    Testing::OutputCapture output(1);
    EXPECT_EQ(
        86, FMSCIF_Open(folder.path.c_str(), "counts", 8, 2, 1, 0, false, false, 0, false, &cache));
    ASSERT_EQ(nullptr, cache);
    // Had the open believed them, growth would still append no more than
    // the free-segment list has room for.
    writeWord(folder.file("fms.mf"), 44, 1024);
    writeWord(folder.file("fms.mf"), 48, 16);
    ASSERT_EQ(
        0, FMSCIF_Open(folder.path.c_str(), "counts", 8, 2, 1, 0, false, false, 0, false, &cache));
    ASSERT_EQ(1026u, cache->freeSegments.next.size());
    cache->shared->segmentsPerExtentFile = 1025;
    cache->shared->extentFilesInUse = 1;
    cache->shared->extentSegmentsInUse = 1024;
    cache->freeSegments.first = cache->freeSegments.last = -1;
    cache->freeSegments.count = 0;
    EXPECT_EQ(0, FMSCX_SegmentAddExtents(cache, 0));
    EXPECT_EQ(0, cache->freeSegments.count);
    cache->shared->segmentsPerExtentFile = 1024;
    cache->shared->extentFilesInUse = cache->shared->extentSegmentsInUse = 0;
    cache->header->extentSegmentsInUse = 0;
    ASSERT_EQ(0, FMSCIF_Close(&cache));
    // Two extent files in use, the first of them not full: growth of the
    // second would write below its start.
    ASSERT_EQ(
        0, FMSCIF_Open(folder.path.c_str(), "counts", 8, 2, 1, 64, true, true, 0, false, &cache));
    ASSERT_EQ(0, FMSCIF_Close(&cache));
    writeWord(folder.file("fms.mf"), 36, 2);
    EXPECT_EQ(
        86, FMSCIF_Open(folder.path.c_str(), "counts", 8, 2, 1, 0, false, false, 0, false, &cache));
}

// A page left taken and given to no file (a delete that stopped part way, a
// sharing open killed while it took its page) is nobody's once the cache is
// closed: the next open frees it with its segments, which no page names.
TEST(DamagedCache, APageLeftFloatingIsFreedWithItsSegmentsAtTheNextOpen) {
    CacheFolder folder;
    FMSC_FILETOC_T* cache = nullptr;
    ASSERT_EQ(
        0, FMSCIF_Open(folder.path.c_str(), "floating", 8, 4, 1, 0, true, true, 0, false, &cache));
    std::int32_t a = -1;
    std::vector<std::uint8_t> block(100, 1);
    ASSERT_EQ(0, FMSCIF_AddFile(cache, guidA.c_str(), 100, 0, &a));
    ASSERT_EQ(0, FMSCIF_WriteBlock(cache, &a, 0, block.data(), 100));
    ASSERT_EQ(0, cache->pages[a].segments[0].segmentOffset);
    std::uint32_t bucket = 0;
    ASSERT_EQ(0, FMSCHash_Entry(cache, guidA.c_str(), &bucket));
    cache->hashToc->buckets[bucket] = -1;
    cache->pages[a].type = FMSC_PAGE_FLOATING;
    ASSERT_EQ(0, FSMCX_RemovePageFromDateList(cache, a));
    ASSERT_EQ(0, FMSCIF_Close(&cache));

    ASSERT_EQ(0, FMSCIF_Open(folder.path.c_str(), "floating", 8, 4, 1, 0, false, false, 0, false,
                             &cache));
    EXPECT_EQ(FMSC_PAGE_FREE, cache->pages[a].type);
    EXPECT_EQ(8, cache->header->freePageListSize);
    EXPECT_EQ(4, cache->freeSegments.count);
    EXPECT_EQ(0, FMSCFile_CheckMetaFile(cache, 63));
    ASSERT_EQ(0, FMSCIF_Close(&cache));
}

// A count of entries that another process wrote into a page while the
// server runs: a shrink of the extent files passes the page by, and a
// negative count is no size to clear entries with.
TEST(DamagedCache, AShrinkTakesNoDamagedCountOfEntriesForASize) {
    for (std::int32_t count : {-1, INT_MIN}) {
        CacheFolder folder;
        EXPECT_EQ("", runInChild([&folder, count] {
                      Testing::OutputCapture output(1);
                      FMSC_FILETOC_T* cache = nullptr;
                      std::int32_t a = -1, b = -1;
                      std::vector<std::uint8_t> block(3 * 16384, 0xA5);
                      if (FMSCIF_Open(folder.path.c_str(), "shrunk", 8, 1, 1, 16, true, true, 0,
                                      false, &cache) != 0 ||
                          FMSCIF_AddFile(cache, guidA.c_str(), 3 * 16384, 0, &a) != 0 ||
                          FMSCIF_WriteData(cache, &a, 0, block.data(), 3 * 16384) != 0 ||
                          FMSCIF_AddFile(cache, guidB.c_str(), 100, 0, &b) != 0)
                          _exit(4);
                      cache->pages[b].numSegments = count;
                      if (FMSCIF_ShrinkTheSegmentExtentFile(cache, 0) != 0) _exit(5);
                      // A's blocks in the extent file went, the damaged page is as it was.
                      if (cache->pages[a].numSegments != 1 || cache->pages[b].numSegments != count)
                          _exit(6);
                  }))
            << count;
    }
}

// A server that makes its first extent file where an old one lies, which a
// client may still have mapped, leaves the old one's bytes alone.
TEST(DamagedCache, NewExtentFileNeverCutsAFileThatMayBeMapped) {
    CacheFolder folder;
    std::vector<std::uint8_t> old(4 * 16384, 0x0E);
    writeBytes(folder.file("fms.ext000"), old);
    int fd = ::open(folder.file("fms.ext000").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    void* view = mmap(nullptr, old.size(), PROT_READ, MAP_SHARED, fd, 0);
    ::close(fd);
    ASSERT_NE(MAP_FAILED, view);

    FMSC_FILETOC_T* cache = nullptr;
    ASSERT_EQ(
        0, FMSCIF_Open(folder.path.c_str(), "extents", 8, 1, 1, 16, true, false, 0, false, &cache));
    std::int32_t a = -1;
    std::vector<std::uint8_t> block(16384, 0xA5);
    ASSERT_EQ(0, FMSCIF_AddFile(cache, guidA.c_str(), 2 * 16384, 0, &a));
    ASSERT_EQ(0, FMSCIF_WriteData(cache, &a, 0, block.data(), 16384));
    ASSERT_EQ(0, FMSCIF_WriteBlock(cache, &a, 1, block.data(), 16384));
    EXPECT_EQ(256u * 16384u, std::filesystem::file_size(folder.file("fms.ext000")));
    std::int32_t length = 0;
    ASSERT_EQ(0, FMSCIF_ReadBlock(cache, a, 1, block.data(), &length));
    EXPECT_EQ(16384, length);
    EXPECT_EQ(0xA5, block[16383]);
    ASSERT_EQ(0, FMSCIF_Close(&cache));

    const auto* bytes = static_cast<const std::uint8_t*>(view);
    EXPECT_EQ("", runInChild([bytes] {
                  if (bytes[3 * 16384] != 0x0E) _exit(4);
              }));
    munmap(view, old.size());
}

// With every call checked, a damaged page fails the operations, not the
// lock: lock and unlock never hold the mutex on an error.
TEST_F(SharedCacheDamage, LockEntriesRunNoCheckAndNeverKeepTheMutexOnAnError) {
    FMSC_FILETOC_T* client = nullptr;
    ASSERT_EQ(0, FMSCIF_OpenS(&clientParams, &client));

    Testing::OutputCapture output(1);
    client->checkEveryCall = true;
    std::int32_t oldest = server->shared->dateHead;
    std::int32_t date = server->lastFileAccess[oldest];
    server->lastFileAccess[oldest] = 0;
    EXPECT_EQ(0, FMSCIF_LockCache(client));
    std::int64_t size = 0;
    std::int32_t first = -1;
    EXPECT_EQ(68, FMSCIF_FindFile(client, guidA.c_str(), &size, &first));
    EXPECT_EQ(0, FMSCIF_UnLockCache(client));
    Platform::Os::NamedMutex other;
    ASSERT_EQ(Platform::Os::NamedMutex::Result::Ok, other.open(server->mutexName));
    EXPECT_EQ(Platform::Os::NamedMutex::Result::Ok, other.lock(20));
    EXPECT_TRUE(other.unlock());

    // A client whose server's block changed under it lets go at once.
    server->lastFileAccess[oldest] = date;
    client->checkEveryCall = false;
    server->shared->hashBlockPages = 1000;
    EXPECT_EQ(61, FMSCIF_LockCache(client));
    EXPECT_EQ(Platform::Os::NamedMutex::Result::Ok, other.lock(20));
    EXPECT_TRUE(other.unlock());
    server->shared->hashBlockPages = 1;
    EXPECT_EQ(0, FMSCIF_LockCache(client));
    EXPECT_EQ(0, FMSCIF_FindFile(client, guidA.c_str(), &size, &first));
    EXPECT_EQ(a, first);
    EXPECT_EQ(0, FMSCIF_UnLockCache(client));
    ASSERT_EQ(0, FMSCIF_Close(&client));
}

// Words that a client wrote into its server's block: no entry of the server
// takes an extent count for an index or a size (each fails as an open fails
// on such counts in the meta file, 86, touching no memory or file beyond
// the store), nor any other size of the block, which the server holds
// apart; a block number below 0 in a page is no block of a file's summary.
TEST_F(SharedCacheDamage, TheServerTakesNoDamagedWordForASizeOrAnIndex) {
    FMSC_FILESHARED_T* s = server->shared;
    const std::int32_t perExtent = s->segmentsPerExtentFile;
    const std::int32_t held = s->segmentFileSegments;  // A's block 7, in the extent file
    struct Word {
        const char* name;
        std::int32_t* at;
        std::int32_t value;
    };
    const Word counts[] = {
        {"files -1", &s->extentFilesInUse, -1},
        {"files beyond the most", &s->extentFilesInUse, 2},
        {"files 1000", &s->extentFilesInUse, 1000},
        {"segments -1", &s->extentSegmentsInUse, -1},
        {"segments INT_MIN", &s->extentSegmentsInUse, INT_MIN},
        {"segments beyond the files", &s->extentSegmentsInUse, perExtent + 1},
    };
    const std::pair<const char*, std::function<int()>> entries[] = {
        {"growth", [&] { return FMSC_SegmentExpandExtents(server); }},
        {"a freed segment", [&] { return FMSCSegment_FreeThisSegment(server, -1, held); }},
        {"a deleted file", [&] { return FMSCIF_DeleteFile(server, guidB.c_str()); }},
        {"an eviction", [&] { return FMSCIF_DeleteOldest(server); }},
        {"purge", [&] { return FMSCIF_Purge(server, false); }},
        {"shrink", [&] { return FMSCIF_ShrinkTheSegmentExtentFile(server, 0); }},
        {"the store's checks", [&] { return FMSCFile_CheckMetaFile(server, 48); }},
    };
    const auto extent = std::filesystem::file_size(folder.file("fms.ext000"));
    Testing::OutputCapture output(1);
    for (const Word& word : counts) {
        for (const auto& [entry, run] : entries) {
            const std::int32_t before = *word.at;
            *word.at = word.value;
            EXPECT_EQ(86, run()) << word.name << ", " << entry;
            *word.at = before;
            ASSERT_EQ(0, FMSCFile_CheckMetaFile(server, 63)) << word.name << ", " << entry;
        }
    }
    EXPECT_EQ(extent, std::filesystem::file_size(folder.file("fms.ext000")));
    for (const char* other : {"fms.ext001", "fms.ext999"})
        EXPECT_FALSE(std::filesystem::exists(folder.file(other))) << other;

    // The sizes the server opened with stand, whatever the block says.
    const Word sizes[] = {{"own segments", &s->sharedSegments, 0},
                          {"segment file", &s->segmentFileSegments, 0},
                          {"extent files", &s->maxExtentFiles, 0},
                          {"extent megabytes", &s->totalExtentMegabytes, 0},
                          {"segments per extent", &s->segmentsPerExtentFile, 1}};
    std::vector<std::int32_t> before;
    for (const Word& word : sizes) before.push_back(std::exchange(*word.at, word.value));
    ASSERT_EQ(0, FMSCIF_Purge(server, false));
    EXPECT_EQ(before[0], server->freeSegments.first);
    std::vector<std::uint8_t> block(16384, 0x3C);
    std::int32_t b = -1;
    ASSERT_EQ(0, FMSCIF_AddFile(server, guidB.c_str(), 2 * 16384, 0, &b));
    for (std::int32_t i = 0; i < 2; ++i)
        ASSERT_EQ(0, FMSCIF_WriteBlock(server, &b, i, block.data(), 16384));
    for (std::size_t w = 0; w < before.size(); ++w) *sizes[w].at = before[w];

    server->summaries.clear();
    server->pages[b].segments[1].fileOffset = -1;
    ASSERT_EQ(0, FMSCIF_WriteBlock(server, &b, 2, block.data(), 16384));
    ASSERT_EQ(0, FMSCIF_WriteBlock(server, &b, 0, block.data(), 16384));
    std::vector<std::int32_t> blocks;
    ASSERT_EQ(0, FMSCIF_FindSegments(server, b, &blocks));
    EXPECT_EQ(1, std::count(blocks.begin(), blocks.end(), 0));
    server->pages[b].segments[1].fileOffset = 1;
}

// A server in this process, its client in another, taking turns under the
// named mutex: the client hits an error while it holds the lock, the server
// goes on writing, and the client reads again once the date list is mended.
TEST_F(SharedCacheDamage, ServerAndClientProcessesKeepWorkingWhileOneHitsAnError) {
    int toClient[2], toServer[2];
    ASSERT_EQ(0, pipe(toClient));
    ASSERT_EQ(0, pipe(toServer));

    pid_t child = startChild([&] {
        FMSC_FILETOC_T* client = nullptr;
        std::vector<std::uint8_t> buffer(16384);
        // Reads block 1 of A as the self-proxy does: an error of the lock
        // ends the read without an unlock.
        auto readA = [&](int expected) {
            std::int64_t size = 0;
            std::int32_t first = -1, length = 0;
            if (FMSCIF_LockCache(client) != 0) return false;
            int found = FMSCIF_FindFile(client, guidA.c_str(), &size, &first);
            int read =
                found == 0 ? FMSCIF_ReadBlock(client, first, 1, buffer.data(), &length) : found;
            bool unlocked = FMSCIF_UnLockCache(client) == 0;
            if (expected) return unlocked && read == expected;
            return unlocked && read == 0 && length == 16384 && buffer[5] == contentOf(1, 5);
        };
        if (FMSCIF_OpenS(&clientParams, &client) != 0 || !readA(0)) _exit(10);
        client->checkEveryCall = true;
        say(toServer[1], 'r');
        bool failedCleanly = hear(toClient[0]) == 'd' && readA(68);  // the date list is damaged
        say(toServer[1], 'e');
        if (hear(toClient[0]) != 'm' || !readA(0)) _exit(12);  // and mended
        if (FMSCIF_Close(&client) != 0) _exit(13);
        if (!failedCleanly) _exit(11);
    });
    ASSERT_EQ('r', hear(toServer[0]));
    ASSERT_EQ(0, FMSCIF_LockCache(server));
    std::int32_t oldest = server->shared->dateHead;
    std::int32_t date = server->lastFileAccess[oldest];
    server->lastFileAccess[oldest] = 0;
    ASSERT_EQ(0, FMSCIF_UnLockCache(server));
    say(toClient[1], 'd');
    ASSERT_EQ('e', hear(toServer[0]));
    {
        Testing::OutputCapture output(1);
        EXPECT_EQ(0, FMSCIF_LockCache(server));
    }
    std::int32_t b = -1;
    std::vector<std::uint8_t> block(16384, 0xBB);
    EXPECT_EQ(0, FMSCIF_AddFile(server, guidB.c_str(), 0, 0, &b));
    EXPECT_EQ(0, FMSCIF_WriteBlock(server, &b, 1, block.data(), 16384));
    server->lastFileAccess[oldest] = date;
    EXPECT_EQ(0, FMSCIF_UnLockCache(server));
    say(toClient[1], 'm');
    EXPECT_EQ("", endOf(child));
    for (int fd : {toClient[0], toClient[1], toServer[0], toServer[1]}) ::close(fd);
}

// A write that fails on a date link a client left damaged: the segment it
// took goes back to the free ones only when no page names it, so that no
// other file's block is written into it. The damage is mended at once.
TEST_F(SharedCacheDamage, AWriteThatFailsOnADamagedDateGivesBackNoSegmentAPageNames) {
    const std::int32_t second = server->pages[a].nextOffset;  // A's last page, with room
    ASSERT_NE(-1, second);
    std::vector<std::uint8_t> block(16384, 0x5A);
    {
        Testing::OutputCapture output(1);
        const std::int32_t link = server->datePrev[second];
        server->datePrev[second] = 4100;
        EXPECT_EQ(65, FMSCIF_WriteBlock(server, &a, blocksOfA, block.data(), 16384));
        server->datePrev[second] = link;
    }
    EXPECT_EQ(0, FMSCFile_CheckMetaFile(server, 63));
    std::int32_t b = -1;
    ASSERT_EQ(0, FMSCHash_FindFile(server, guidB.c_str(), &b));
    std::vector<std::uint8_t> other(16384, 0xB5);
    ASSERT_EQ(0, FMSCIF_WriteBlock(server, &b, 1, other.data(), 16384));
    std::vector<std::uint8_t> buffer(16384);
    std::int32_t length = 0;
    ASSERT_EQ(0, FMSCIF_ReadBlock(server, a, blocksOfA, buffer.data(), &length));
    EXPECT_EQ(-1, length);
    for (std::int32_t i = 0; i < blocksOfA; ++i) {
        ASSERT_EQ(0, FMSCIF_ReadBlock(server, a, i, buffer.data(), &length));
        ASSERT_EQ(16384, length);
        EXPECT_EQ(contentOf(i, 9), buffer[9]) << i;
    }
}

// A writer that ignores the mutex changes words of the shared files after
// the client's lock checked them: the client, in another process, reads on
// with indexes and divisors bounded by the sizes it checked when it
// attached, and gets misses, errors or wrong bytes, never a crash.
TEST_F(SharedCacheDamage, WordsChangedAfterTheLockNeverTakeTheClientOutsideItsMappings) {
    struct Word {
        std::int32_t* at;
        std::int32_t value;
    };
    FMSC_FILESHARED_T* shared = server->shared;
    const std::int32_t huge = 0x00100000;
    const std::vector<std::pair<std::string, std::vector<Word>>> rogueWrites = {
        {"hash pages 0", {{&shared->hashBlockPages, 0}}},
        {"hash pages huge", {{&shared->hashBlockPages, huge}}},
        {"segments huge", {{&shared->segmentFileSegments, huge}}},
        {"segments per extent 1", {{&shared->segmentsPerExtentFile, 1}}},
        {"segments per extent huge", {{&shared->segmentsPerExtentFile, huge}}},
        {"pages huge, shared too", {{&shared->maxFilePages, huge}}},
        {"pages huge, A's next page beyond",
         {{&server->header->maxFilePages, huge}, {&server->pages[a].nextOffset, huge - 1}}},
        {"pages huge, date list ends beyond",
         {{&server->header->maxFilePages, huge},
          {&shared->dateHead, huge - 1},
          {&shared->dateTail, huge - 2}}},
    };
    for (bool checked : {false, true}) {
        for (const auto& [name, words] : rogueWrites) {
            Testing::SteppedChild client([&](const Testing::SteppedChild::Step& locked) {
                FMSC_FILETOC_T* cache = nullptr;
                if (FMSCIF_OpenS(&clientParams, &cache) != 0) _exit(4);
                cache->checkEveryCall = checked;
                if (FMSCIF_LockCache(cache) != 0) _exit(5);
                if (!locked()) _exit(6);
                std::vector<std::uint8_t> buffer(16384);
                for (const std::string& guid : {guidA, guidB}) {
                    std::int64_t size = 0;
                    std::int32_t first = -1;
                    if (FMSCIF_FindFile(cache, guid.c_str(), &size, &first) != 0) break;
                    for (std::int32_t block = 0; first != -1 && block <= blocksOfA; ++block) {
                        std::int32_t length = 0;
                        FMSCIF_ReadBlock(cache, first, block, buffer.data(), &length);
                    }
                }
                FMSCIF_UnLockCache(cache);
            });
            std::vector<std::int32_t> before;
            const bool locked = client.reached();
            if (locked) {
                for (const Word& word : words) {
                    before.push_back(*word.at);
                    *word.at = word.value;
                }
                client.letGo();
            }
            EXPECT_EQ("", client.end()) << name << (checked ? ", every call checked" : "");
            EXPECT_TRUE(locked) << name;
            for (std::size_t w = before.size(); w-- > 0;) *words[w].at = before[w];
        }
    }
}

// A cache file cut short while a client in another process has it mapped,
// by a process that ignores the mutex (the server itself never cuts one):
// the client's next reads are misses or errors, never a fault of memory
// that the file no longer backs, and it closes the cache cleanly.
TEST_F(SharedCacheDamage, FilesCutShortUnderAClientMakeMissesNotACrash) {
    const std::vector<std::uint8_t> extent = readBytes(folder.file("fms.ext000"));
    Snapshot original(folder);
    for (const char* name : damagedFiles) {
        for (const bool empty : {false, true}) {
            const std::string path = folder.file(name);
            const std::string damage = std::string(name) + (empty ? " emptied" : " cut short");
            Testing::SteppedChild client([&](const Testing::SteppedChild::Step& cut) {
                FMSC_FILETOC_T* cache = nullptr;
                if (FMSCIF_OpenS(&clientParams, &cache) != 0) _exit(4);
                readEverything(cache);
                if (!cut()) _exit(5);
                // The block read last first, then all of them, twice.
                if (FMSCIF_LockCache(cache) == 0) {
                    std::vector<std::uint8_t> block(16384);
                    std::int64_t size = 0;
                    std::int32_t first = -1, length = 0;
                    if (FMSCIF_FindFile(cache, guidB.c_str(), &size, &first) == 0 && first >= 0)
                        FMSCIF_ReadBlock(cache, first, 0, block.data(), &length);
                    FMSCIF_UnLockCache(cache);
                }
                readEverything(cache);
                readEverything(cache);
                FMSCIF_Close(&cache);
            });
            const bool read = client.reached();
            if (read) {
                resize(path, empty ? 0 : off_t(std::filesystem::file_size(path) / 2));
                client.letGo();
            }
            EXPECT_EQ("", client.end()) << damage;
            EXPECT_TRUE(read) << damage;
            original.restore();
            int fd = ::open(folder.file("fms.ext000").c_str(), O_WRONLY);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(ssize_t(extent.size()), pwrite(fd, extent.data(), extent.size(), 0));
            ::close(fd);
        }
    }
    // The client that comes next reads the cache as it was.
    ASSERT_EQ("", runInChild([this] {
                  FMSC_FILETOC_T* client = nullptr;
                  std::vector<std::uint8_t> block(16384);
                  std::int64_t size = 0;
                  std::int32_t first = -1, length = 0;
                  bool whole =
                      FMSCIF_OpenS(&clientParams, &client) == 0 && FMSCIF_LockCache(client) == 0 &&
                      FMSCIF_FindFile(client, guidA.c_str(), &size, &first) == 0 &&
                      FMSCIF_ReadBlock(client, first, blocksOfA - 1, block.data(), &length) == 0 &&
                      length == 16384 && block[7] == contentOf(blocksOfA - 1, 7) &&
                      FMSCIF_UnLockCache(client) == 0 && FMSCIF_Close(&client) == 0;
                  if (!whole) _exit(4);
              }));
}

}  // namespace
}  // namespace Quillomark::Fcc
