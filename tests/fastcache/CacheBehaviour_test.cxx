#include "CacheFolder.hxx"

#include <fcc/fastcache/internal/FmscInterface.hxx>

#include <tests/support/OutputCapture.hxx>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <functional>
#include <string>

namespace Quillomark::Fcc {
namespace {

using Testing::CacheFolder;

std::string guidFor(int n) {
    char text[40];
    std::snprintf(text, sizeof text, "%08dAAAABBBBCCCCDDDDEEEEFFFFGGGG", n);
    return text;
}

class Cache : public ::testing::Test {
protected:
    void open(std::int32_t pages, std::int32_t segments, std::int32_t totalMegabytes = 0,
              bool afresh = true) {
        sizes = {pages, segments, totalMegabytes};
        ASSERT_EQ(0, FMSCIF_Open(folder.path.c_str(), "behaviour", pages, segments, 1,
                                 totalMegabytes, afresh, afresh, 0, false, &cache));
    }
    // Closed and opened again as a server does after a clean stop.
    void reopen() {
        ASSERT_EQ(0, FMSCIF_Close(&cache));
        open(sizes[0], sizes[1], sizes[2], false);
    }
    void TearDown() override {
        if (cache) {
            EXPECT_EQ(0, FMSCFile_CheckMetaFile(cache, 63));
            EXPECT_EQ(0, FMSCIF_Close(&cache));
        }
    }
    std::int32_t add(int n, std::uint32_t size = 1000) {
        std::int32_t first = -1;
        EXPECT_EQ(0, FMSCIF_AddFile(cache, guidFor(n).c_str(), size, 0, &first));
        return first;
    }
    std::int32_t find(int n) {
        std::int64_t size = 0;
        std::int32_t first = -1;
        EXPECT_EQ(0, FMSCIF_FindFile(cache, guidFor(n).c_str(), &size, &first));
        return first;
    }
    void write(std::int32_t& first, std::int32_t block, std::uint8_t fill,
               std::int32_t length = 16384) {
        std::vector<std::uint8_t> bytes(std::size_t(length), fill);
        ASSERT_EQ(0, FMSCIF_WriteBlock(cache, &first, block, bytes.data(), length));
    }
    std::int32_t read(std::int32_t first, std::int32_t block, std::uint8_t* fill = nullptr) {
        std::vector<std::uint8_t> bytes(16384, 0);
        std::int32_t length = 0;
        EXPECT_EQ(0, FMSCIF_ReadBlock(cache, first, block, bytes.data(), &length));
        if (fill && length > 0) *fill = bytes[std::size_t(length) - 1];
        return length;
    }

    CacheFolder folder;
    FMSC_FILETOC_T* cache = nullptr;
    std::array<std::int32_t, 3> sizes{};
};

TEST_F(Cache, FullCacheEvictsTheLeastRecentlyUsedPageAndReusesTheLastFreedPageFirst) {
    open(3, 8);
    std::int32_t a = add(1), b = add(2), c = add(3);
    std::uint8_t fill = 0;
    write(a, 0, 0xA1);
    ASSERT_EQ(16384, read(a, 0, &fill));  // a becomes the most recent
    EXPECT_EQ(0xA1, fill);
    std::int32_t d = add(4);  // no page free: b, the oldest, goes
    EXPECT_EQ(b, d);
    EXPECT_EQ(-1, find(2));
    EXPECT_EQ(a, find(1));
    EXPECT_EQ(c, find(3));

    ASSERT_EQ(0, FMSCIF_DeleteFile(cache, guidFor(3).c_str()));
    ASSERT_EQ(0, FMSCIF_DeleteFile(cache, guidFor(1).c_str()));
    EXPECT_EQ(64, FMSCIF_DeleteFile(cache, guidFor(1).c_str()));
    EXPECT_EQ(a, add(5));
    EXPECT_EQ(c, add(6));
}

TEST_F(Cache, ThirtySeventhBlockGoesToASecondPageAndAFullCacheReportsOutOfPages) {
    open(2, 80);
    std::int32_t first = add(1, 37 * 16384);
    for (std::int32_t block = 0; block < 37; ++block) write(first, block, std::uint8_t(block));
    std::vector<std::int32_t> blocks;
    ASSERT_EQ(0, FMSCIF_FindSegments(cache, first, &blocks));
    ASSERT_EQ(37u, blocks.size());
    EXPECT_EQ(36, cache->pages[first].numSegments);
    std::int32_t second = cache->pages[first].nextOffset;
    ASSERT_NE(-1, second);
    EXPECT_EQ(1, cache->pages[second].numSegments);
    EXPECT_EQ(cache->pages[first].fileSizeLow, cache->pages[second].fileSizeLow);
    std::uint8_t fill = 0;
    EXPECT_EQ(16384, read(first, 36, &fill));
    EXPECT_EQ(36, fill);
    // The second page starts no file: each entry that takes a first page
    // refuses it.
    {
        Testing::OutputCapture output(1);
        std::int32_t found = 0, length = 0, page = second;
        std::vector<std::uint8_t> bytes(16384);
        EXPECT_EQ(40, FMSCIF_ReadBlock(cache, second, 36, bytes.data(), &length));
        EXPECT_EQ(40, FMSCIF_FindSegments(cache, second, &blocks));
        EXPECT_EQ(40, FMSCIF_FindNextSegment(cache, second, 0, &found, &length));
        EXPECT_EQ(40, FMSCIF_WriteBlock(cache, &page, 37, bytes.data(), 10));
    }

    for (std::int32_t block = 37; block < 72; ++block) write(first, block, 1);
    bool outOfPages = false;
    ASSERT_EQ(0, FMSCFile_AllocateSegment(cache, first, 72, 39, 10, &outOfPages));
    EXPECT_TRUE(outOfPages);
    std::int32_t found = 0, length = 0;
    ASSERT_EQ(0, FMSCIF_FindNextSegment(cache, first, 80, &found, &length));
    EXPECT_EQ(-1, found);
    ASSERT_EQ(0, FMSCIF_FindNextSegment(cache, first, 71, &found, &length));
    EXPECT_EQ(71, found);
}

TEST_F(Cache, WriterWithoutFreeSegmentsEvictsOtherFilesButKeepsItsOwn) {
    open(4, 4);
    std::int32_t a = add(1);
    for (std::int32_t block = 0; block < 4; ++block) write(a, block, 0xAA);
    std::int32_t b = add(2);
    write(b, 0, 0xBB, 100);  // a's only page goes
    EXPECT_EQ(-1, find(1));
    std::uint8_t fill = 0;
    EXPECT_EQ(100, read(find(2), 0, &fill));
    EXPECT_EQ(0xBB, fill);

    // Evicting the writer's own page keeps the file, empty, under its GUID.
    std::int32_t own = find(2);
    write(own, 1, 0xB1);
    write(own, 2, 0xB2);
    write(own, 3, 0xB3);
    write(own, 4, 0xB4);
    EXPECT_NE(-1, find(2));
    EXPECT_EQ(-1, read(find(2), 0));
    EXPECT_EQ(16384, read(find(2), 4, &fill));
    EXPECT_EQ(0xB4, fill);
}

// A writer's summary of a file knows no more blocks than the file's chain
// holds, nor keeps room for many more: blocks whose pages were evicted
// leave it, though the first page, written again and again, stays, also
// when another file takes every other page.
TEST_F(Cache, AWritersSummaryOfAFileStaysWithinWhatItsChainHolds) {
    open(64, 400);
    std::int32_t first = add(1), other = -1;
    for (std::int32_t i = 1; i <= 4800; ++i) {
        if (i == 4001) other = add(2);
        if (i <= 4000)
            write(first, i * 16, 1, 64);
        else
            write(other, i, 2, 64);
        if (i % 8 == 0) write(first, 0, 0, 64);
    }
    ASSERT_EQ(first, find(1));
    std::vector<std::int32_t> blocks;
    ASSERT_EQ(0, FMSCIF_FindSegments(cache, first, &blocks));
    FmscGuidKey key{};
    guidFor(1).copy(key.data(), key.size());
    const FmscFileSummary& summary = cache->summaries.at(key);
    EXPECT_LE(summary.pages.size(), blocks.size());
    EXPECT_LE(summary.pages.bucket_count(), std::max<std::size_t>(64, 4 * blocks.size()));
}

TEST_F(Cache, DataBeyondTheSegmentFileGoesToGrowingExtentFiles) {
    open(16, 2, 16);
    EXPECT_EQ(1024, cache->shared->segmentsPerExtentFile);
    std::int32_t first = add(1);
    std::vector<std::uint8_t> data(3 * 16384 + 5);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = std::uint8_t(i * 7);
    ASSERT_EQ(0, FMSCIF_WriteData(cache, &first, 0, data.data(), std::int32_t(data.size())));
    EXPECT_EQ(4 * 1024 * 1024, std::filesystem::file_size(folder.file("fms.ext000")));
    auto meta = Testing::readBytes(folder.file("fms.mf"));
    EXPECT_EQ(256, Testing::wordAt(meta, 32));
    EXPECT_EQ(1, Testing::wordAt(meta, 36));
    for (std::int32_t block = 0; block < 4; ++block) {
        std::vector<std::uint8_t> bytes(16384);
        std::int32_t length = 0;
        ASSERT_EQ(0, FMSCIF_ReadBlock(cache, first, block, bytes.data(), &length));
        ASSERT_EQ(block == 3 ? 5 : 16384, length);
        for (std::int32_t i = 0; i < length; ++i)
            ASSERT_EQ(data[std::size_t(block) * 16384 + std::size_t(i)], bytes[std::size_t(i)])
                << block << " " << i;
    }
    // A view of one segment for reading, in place of the extent's view.
    FmscMapping& view = cache->segmentToc->extents[0]->map;
    ASSERT_EQ(0, FMSCX_ReMapOSFile(cache, true, 1, view));
    EXPECT_EQ(data[3 * 16384 + 4], view.data[4]);
    EXPECT_EQ(FMSCX_ExtentPath(cache, 999), folder.file("fms.ext999"));
    EXPECT_EQ(FMSCX_ExtentPath(cache, 1000), folder.file("fms.ext0001000"));
    EXPECT_EQ("behaviour_EXT999", FMSCX_ExtentMapName(cache, 999));
    EXPECT_EQ("behaviour_EXT0001000", FMSCX_ExtentMapName(cache, 1000));

    ASSERT_EQ(0, FMSCIF_Purge(cache, true));
    EXPECT_FALSE(std::filesystem::exists(folder.file("fms.ext000")));
    EXPECT_EQ(-1, find(1));
    EXPECT_EQ(2, cache->freeSegments.count);
}

// An extent file cut short, removed or replaced under the server, while it
// has the cache open or while it is closed: no block is read with bytes
// other than those written (a miss or an error will do), writes go on (into
// the file made whole again or anew), and the cache opens again. Blocks 1
// to 9 of file 1 lie in the extent file, block 0 in the segment file; the
// writes of file 2 go beyond the file's first growth.
TEST_F(Cache, AnExtentFileCutRemovedOrReplacedServesNoOtherBytes) {
    const auto replace = [](const std::string& path, std::uintmax_t size) {
        Testing::writeBytes(path + ".other", std::vector<std::uint8_t>(size, 0xEE));
        ASSERT_EQ(0, ::rename((path + ".other").c_str(), path.c_str()));
    };
    const auto cut = [](off_t size) {
        return [size](const std::string& path) { ASSERT_EQ(0, ::truncate(path.c_str(), size)); };
    };
    const auto removed = [](const std::string& path) { ASSERT_EQ(0, ::unlink(path.c_str())); };
    struct Case {
        const char* name;
        bool closed;
        int reopened;
        int purgedWithShrink;  // -1: no purge after the damage
        std::function<void(const std::string& path)> damage;
    };
    const Case cases[] = {
        {"cut to 4 segments", false, 0, -1, cut(4 * 16384)},
        {"cut to 4 segments, then purged", false, 0, 0, cut(4 * 16384)},
        {"cut to 4 segments while closed", true, 0, -1, cut(4 * 16384)},
        {"emptied while closed", true, 0, -1, cut(0)},
        {"removed", false, 0, -1, removed},
        {"removed, then purged with a shrink", false, 0, 1, removed},
        {"removed while closed", true, 0, -1, removed},
        {"replaced", false, 0, -1, [&](const std::string& p) { replace(p, 256 * 16384); }},
        // Never followed: not made anew either, since it is no file of the cache's.
        {"replaced by a link while closed", true, 91, -1,
         [&](const std::string& p) {
             replace(p + ".target", 256 * 16384);
             removed(p);
             ASSERT_EQ(0, ::symlink((p + ".target").c_str(), p.c_str()));
         }},
    };
    const auto readsAsWritten = [this](int n, std::int32_t blocks) {
        const std::int32_t first = find(n);
        for (std::int32_t block = 0; first != -1 && block < blocks; ++block) {
            std::vector<std::uint8_t> bytes(16384, 0);
            std::int32_t length = 0;
            const int rc = FMSCIF_ReadBlock(cache, first, block, bytes.data(), &length);
            EXPECT_TRUE(rc == 86 || (rc == 0 && (length == -1 || length == 16384))) << block;
            if (rc == 0 && length == 16384) {
                EXPECT_EQ(std::uint8_t(n * 16 + block), bytes[0]) << block;
                EXPECT_EQ(std::uint8_t(n * 16 + block), bytes[16383]) << block;
            }
        }
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        open(16, 1, 16);
        std::int32_t first = add(1);
        for (std::int32_t block = 0; block < 10; ++block)
            write(first, block, std::uint8_t(16 + block));
        if (c.closed) {
            ASSERT_EQ(0, FMSCIF_Close(&cache));
        }
        c.damage(folder.file("fms.ext000"));
        Testing::OutputCapture output(1);
        if (c.closed) {
            ASSERT_EQ(c.reopened, FMSCIF_Open(folder.path.c_str(), "behaviour", 16, 1, 1, 16, false,
                                              false, 0, false, &cache));
            if (c.reopened) continue;
        }
        if (c.purgedWithShrink >= 0) {
            EXPECT_EQ(0, FMSCIF_Purge(cache, c.purgedWithShrink));
        }
        readsAsWritten(1, 10);
        first = add(2);
        for (std::int32_t block = 0; block < 300; ++block)
            write(first, block, std::uint8_t(32 + block));
        readsAsWritten(1, 10);
        readsAsWritten(2, 300);
        reopen();
        readsAsWritten(1, 10);
        readsAsWritten(2, 300);
        if (c.purgedWithShrink < 0) {
            EXPECT_EQ(16384, read(find(1), 0));
        }
        EXPECT_EQ(0, FMSCFile_CheckMetaFile(cache, 63));
        ASSERT_EQ(0, FMSCIF_Close(&cache));
    }
}

// A shrink of the extent files while files are cached: what it cannot keep
// it drops, what it keeps stays the file's own, and no segment a file holds
// is handed to another.
TEST_F(Cache, ShrinkingTheExtentFilesNeverHandsOneFilesBlocksToAnother) {
    for (std::int32_t megabytes : {16, 0}) {
        SCOPED_TRACE(megabytes);
        open(16, megabytes ? 2 : 8, megabytes);
        std::int32_t a = add(1, 4 * 16384);
        for (std::int32_t block = 0; block < 4; ++block)
            write(a, block, std::uint8_t(0xA0 + block));
        ASSERT_EQ(0, FMSCIF_ShrinkTheSegmentExtentFile(cache, 0));
        EXPECT_EQ(0, FMSCFile_CheckMetaFile(cache, 63));
        std::int32_t b = add(2, 4 * 16384);
        for (std::int32_t block = 0; block < 4; ++block)
            write(b, block, std::uint8_t(0xB0 + block));
        EXPECT_EQ(0, FMSCFile_CheckMetaFile(cache, 63));
        a = find(1);
        ASSERT_NE(-1, a);
        std::uint8_t fill = 0;
        for (std::int32_t block = 0; block < 4; ++block) {
            // The segment file's two blocks are kept; the extent file's go,
            // unless the cache has none and nothing had to go.
            const bool kept = block < 2 || megabytes == 0;
            ASSERT_EQ(kept ? 16384 : -1, read(a, block, &fill)) << block;
            if (kept) {
                EXPECT_EQ(0xA0 + block, fill) << block;
            }
            ASSERT_EQ(16384, read(find(2), block, &fill)) << block;
            EXPECT_EQ(0xB0 + block, fill) << block;
        }
        EXPECT_EQ(0, FMSCFile_CheckMetaFile(cache, 63));
        ASSERT_EQ(0, FMSCIF_Close(&cache));
    }
}

// A shrink that cannot remove an extent file (a folder stands at its path,
// which the cache never removes: 91) says so, and leaves the store
// as it would have been: the extent's blocks gone, none of its segments in
// use or free, and a cache that opens again. While the file stands, growth
// cannot make it anew: a write evicts, as in a full store, and the cache
// still opens.
TEST_F(Cache, AShrinkThatCannotRemoveAnExtentFileLeavesTheStoreWhole) {
    open(8, 1, 16);
    std::int32_t first = add(1, 3 * 16384);
    for (std::int32_t block = 0; block < 3; ++block) write(first, block, std::uint8_t(block));
    ASSERT_EQ(0, ::rename(folder.file("fms.ext000").c_str(), folder.file("aside").c_str()));
    ASSERT_EQ(0, ::mkdir(folder.file("fms.ext000").c_str(), 0700));
    {
        Testing::OutputCapture output(1);
        EXPECT_EQ(91, FMSCIF_ShrinkTheSegmentExtentFile(cache, 0));
    }
    EXPECT_EQ(0, FMSCFile_CheckMetaFile(cache, 63));
    FMSC_INFO_T info{};
    ASSERT_EQ(0, FMSCIF_GetInfo(cache, &info));
    EXPECT_EQ(0, info.extentFilesInUse);
    EXPECT_EQ(0, info.extentSegmentsInUse);
    EXPECT_EQ(0, info.freeSegments);
    EXPECT_EQ(1, cache->pages[first].numSegments);
    {
        Testing::OutputCapture output(1);
        write(first, 1, 0x11);
    }
    reopen();
    std::uint8_t fill = 0;
    EXPECT_EQ(16384, read(find(1), 1, &fill));
    EXPECT_EQ(0x11, fill);
}

// A block written goes to the first page of its file's chain with room, as
// whatever came between the writes left the chain: here a shrink that took
// blocks off both pages of the file written just before.
TEST_F(Cache, AfterAShrinkABlockGoesToTheFirstPageWithRoom) {
    open(8, 8, 16);
    std::int32_t first = add(1, 42 * 16384);
    for (std::int32_t block = 0; block <= 40; ++block) write(first, block, std::uint8_t(block));
    const std::int32_t second = cache->pages[first].nextOffset;
    ASSERT_NE(-1, second);
    ASSERT_EQ(36, cache->pages[first].numSegments);
    ASSERT_EQ(5, cache->pages[second].numSegments);
    ASSERT_EQ(0, FMSCIF_ShrinkTheSegmentExtentFile(cache, 0));
    ASSERT_EQ(8, cache->pages[first].numSegments);
    ASSERT_EQ(0, cache->pages[second].numSegments);
    write(first, 41, 0x41);
    EXPECT_EQ(9, cache->pages[first].numSegments);
    EXPECT_EQ(41, cache->pages[first].segments[8].fileOffset);
    EXPECT_EQ(0, cache->pages[second].numSegments);
}

// A block written again takes the place of the one cached, bytes and
// length, and is held and listed once.
TEST_F(Cache, ABlockWrittenAgainReplacesTheCachedOne) {
    open(4, 80);
    std::int32_t first = add(1, 37 * 16384);
    for (std::int32_t block = 0; block < 37; ++block) write(first, block, 0x11);
    write(first, 5, 0x22);
    write(first, 36, 0x33, 100);
    std::uint8_t fill = 0;
    EXPECT_EQ(16384, read(first, 5, &fill));
    EXPECT_EQ(0x22, fill);
    EXPECT_EQ(100, read(first, 36, &fill));
    EXPECT_EQ(0x33, fill);
    std::vector<std::int32_t> blocks;
    ASSERT_EQ(0, FMSCIF_FindSegments(cache, first, &blocks));
    std::sort(blocks.begin(), blocks.end());
    std::vector<std::int32_t> each(37);
    for (std::int32_t block = 0; block < 37; ++block) each[std::size_t(block)] = block;
    EXPECT_EQ(each, blocks);
    FMSC_INFO_T info{};
    ASSERT_EQ(0, FMSCIF_GetInfo(cache, &info));
    EXPECT_EQ(37, info.segmentsInUse);
    EXPECT_EQ(80 - 37, info.freeSegments);
    // And so after a reopen, which rebuilds the segment map from the pages.
    reopen();
    ASSERT_EQ(0, FMSCIF_GetInfo(cache, &info));
    EXPECT_EQ(80 - 37, info.freeSegments);
    EXPECT_EQ(16384, read(find(1), 5, &fill));
    EXPECT_EQ(0x22, fill);
}

// Each entry refuses a block number no file has, and a first page that is
// no file's, before it changes anything: the cache opens again as it was.
TEST_F(Cache, BlockNumbersAndFirstPagesNoFileHasAreRefusedBeforeAnythingChanges) {
    open(4, 8);
    std::int32_t first = add(1, 3 * 16384);
    write(first, 0, 0x10);
    FMSC_INFO_T before{};
    ASSERT_EQ(0, FMSCIF_GetInfo(cache, &before));
    std::vector<std::uint8_t> bytes(2 * 16384, 0x77);
    std::int32_t found = 0, length = 0;
    {
        Testing::OutputCapture output(1);
        EXPECT_EQ(62, FMSCIF_WriteBlock(cache, &first, -1, bytes.data(), 10));
        EXPECT_EQ(62, FMSCIF_WriteData(cache, &first, -3, bytes.data(), 10));
        // The second block would be numbered past the largest there is.
        EXPECT_EQ(62, FMSCIF_WriteData(cache, &first, 2147483647, bytes.data(), 2 * 16384));
        EXPECT_EQ(62, FMSCIF_FindNextSegment(cache, first, -1, &found, &length));
        EXPECT_EQ(62, FMSCIF_ReadBlock(cache, first, -1, bytes.data(), &length));
        bool outOfPages = false;
        EXPECT_NE(0, FMSCFile_AllocateSegment(cache, first, -1, 5, 10, &outOfPages));
        // A free page, a page past the end, a page that is not a first page.
        for (std::int32_t page : {3, 4, -2}) {
            std::int32_t other = page;
            EXPECT_NE(0, FMSCIF_WriteBlock(cache, &other, 0, bytes.data(), 10)) << page;
            EXPECT_EQ(page, other);
        }
    }
    EXPECT_EQ(0, FMSCFile_CheckMetaFile(cache, 63));
    FMSC_INFO_T after{};
    ASSERT_EQ(0, FMSCIF_GetInfo(cache, &after));
    EXPECT_EQ(before.freeSegments, after.freeSegments);
    EXPECT_EQ(before.freePages, after.freePages);
    reopen();
    std::uint8_t fill = 0;
    EXPECT_EQ(16384, read(find(1), 0, &fill));
    EXPECT_EQ(0x10, fill);
    EXPECT_EQ(-1, read(find(1), 2147483647));
}

// A GUID the store's check would find bad is refused by every entry that
// takes one, with the check's own number, before anything changes.
TEST_F(Cache, AGuidTheStoreWouldRejectIsRefusedByEveryEntryWithTheChecksNumber) {
    open(4, 8);
    add(1);
    std::string bad = guidFor(2);
    bad[5] = '\xC3';
    std::string control = guidFor(3);
    control[31] = '\x1F';
    FMSC_INFO_T before{};
    ASSERT_EQ(0, FMSCIF_GetInfo(cache, &before));
    {
        Testing::OutputCapture output(1);
        for (const std::string& guid : {bad, control}) {
            std::int32_t first = -1;
            std::int64_t size = 0;
            EXPECT_EQ(34, FMSCIF_AddFile(cache, guid.c_str(), 10, 0, &first));
            EXPECT_EQ(-1, first);
            EXPECT_EQ(34, FMSCIF_FindFile(cache, guid.c_str(), &size, &first));
            EXPECT_EQ(34, FMSCIF_DeleteFile(cache, guid.c_str()));
            EXPECT_EQ(34, FMSCIF_AdjustFileSize(cache, guid.c_str(), 5, 0));
        }
    }
    FMSC_INFO_T after{};
    ASSERT_EQ(0, FMSCIF_GetInfo(cache, &after));
    EXPECT_EQ(before.freePages, after.freePages);
    EXPECT_EQ(before.misses, after.misses);
    reopen();
    EXPECT_NE(-1, find(1));
    // A GUID of 32 characters with four NUL bytes after them is one the
    // check accepts.
    std::int32_t first = -1;
    EXPECT_EQ(0, FMSCIF_AddFile(cache, guidFor(4).substr(0, 32).c_str(), 1, 0, &first));
}

// A segment or hash file gone from a cache that was closed cleanly is not
// made anew, blank, under the pages that name its contents: the open that
// may create files is refused, and the server makes the whole cache anew,
// instead of serving zeros as a cached file's bytes.
TEST_F(Cache, AFileGoneFromAClosedCacheIsNotMadeAnewUnderItsPages) {
    for (const char* name : {"fms.seg", "fms.hsh"}) {
        SCOPED_TRACE(name);
        open(4, 8);
        std::int32_t first = add(1, 16384);
        write(first, 0, 0xA5);
        ASSERT_EQ(0, FMSCIF_Close(&cache));
        ASSERT_EQ(0, ::unlink(folder.file(name).c_str()));
        {
            Testing::OutputCapture output(1);
            EXPECT_NE(0, FMSCIF_Open(folder.path.c_str(), "behaviour", 4, 8, 1, 0, true, false, 0,
                                     false, &cache));
        }
        ASSERT_EQ(nullptr, cache);
        struct stat info {};
        EXPECT_NE(0, ::stat(folder.file(name).c_str(), &info));
    }
}

TEST_F(Cache, FreedSegmentsComeBackInRisingOrder) {
    open(8, 8);
    std::int32_t first = add(1);
    for (std::int32_t block = 0; block < 8; ++block) write(first, block, 1);
    EXPECT_EQ(60, FMSCFile_GetFreeSegment(cache, &first));
    for (std::int32_t segment : {7, 3, 5})
        ASSERT_EQ(0, FMSCSegment_FreeThisSegment(cache, -1, segment));
    std::int32_t segment = -1;
    for (std::int32_t expected : {3, 5, 7}) {
        ASSERT_EQ(0, FMSCFile_GetFreeSegment(cache, &segment));
        EXPECT_EQ(expected, segment);
    }
}

TEST_F(Cache, HashBucketsChainFilesAndAFileKeepsItsPlaceWhenItsFirstPageGoes) {
    open(8, 80);
    std::uint32_t bucket = 0;
    ASSERT_EQ(0, FMSCHash_Entry(cache, std::string(32, '0').c_str(), &bucket));
    EXPECT_EQ(2534397440u % 128u, bucket);
    {
        Testing::OutputCapture output(1);
        EXPECT_EQ(34, FMSCHash_Entry(cache, std::string(31, '0').c_str(), &bucket));
    }
    std::uint32_t longer = 0;
    ASSERT_EQ(0, FMSCHash_Entry(cache, (guidFor(1) + "XYZ").c_str(), &longer));
    ASSERT_EQ(0, FMSCHash_Entry(cache, guidFor(1).c_str(), &bucket));
    EXPECT_EQ(bucket, longer);

    // Two files of one bucket.
    int other = 2;
    for (std::uint32_t b = ~0u; b != bucket; ++other)
        ASSERT_EQ(0, FMSCHash_Entry(cache, guidFor(other).c_str(), &b));
    --other;
    std::int32_t first = add(1, 73 * 16384);
    std::int32_t second = add(other);
    std::int32_t count = 0, head = -1;
    ASSERT_EQ(0, FMSCHash_HashCollisionLength(cache, guidFor(1).c_str(), &count));
    EXPECT_EQ(2, count);
    ASSERT_EQ(0, FMSCHash_HashEntryFirstPage(cache, guidFor(1).c_str(), &head));
    EXPECT_EQ(first, head);
    EXPECT_EQ(second, cache->pages[first].nextCollision);

    // A file of three pages loses its first page: the second takes its place.
    for (std::int32_t block = 0; block < 73; ++block) write(first, block, std::uint8_t(block));
    std::uint8_t fill = 0;
    for (std::int32_t block : {0, 40, 72, 71, 36, 35, 1, 72, 73, 5}) {
        ASSERT_EQ(block == 73 ? -1 : 16384, read(first, block, &fill)) << block;
        EXPECT_EQ(block == 73 ? 72 : block, fill);
    }
    std::int32_t next = cache->pages[first].nextOffset;
    ASSERT_EQ(0, FSMCIF_DeleteThisPage(cache, first));
    EXPECT_EQ(next, find(1));
    EXPECT_EQ(1, cache->pages[next].firstPage);
    EXPECT_EQ(-1, cache->pages[next].prevOffset);
    ASSERT_EQ(0, FMSCHash_HashEntryFirstPage(cache, guidFor(1).c_str(), &head));
    EXPECT_EQ(next, head);
    EXPECT_EQ(second, cache->pages[next].nextCollision);
    EXPECT_EQ(-1, read(next, 0));
    EXPECT_EQ(16384, read(next, 40, &fill));
    EXPECT_EQ(40, fill);

    // Adding a cached GUID again gives its file, size unchanged.
    std::int32_t again = -1;
    ASSERT_EQ(0, FMSCIF_AddFile(cache, guidFor(1).c_str(), 5, 0, &again));
    EXPECT_EQ(next, again);
    EXPECT_EQ(73u * 16384u, cache->pages[next].fileSizeLow);

    ASSERT_EQ(0, FMSCIF_DeleteFile(cache, guidFor(1).c_str()));
    ASSERT_EQ(0, FMSCHash_HashEntryFirstPage(cache, guidFor(1).c_str(), &head));
    EXPECT_EQ(second, head);
}

TEST_F(Cache, CorruptedPagesAreFoundByTheChecks) {
    open(4, 4);
    std::int32_t first = add(1);
    write(first, 0, 1);
    Testing::OutputCapture output(1);
    cache->pages[first].guid[3] = '\x80';
    EXPECT_EQ(34, FMSCFile_CheckMetaFile(cache, 1));
    cache->pages[first].guid[3] = '0';
    cache->pages[first].segments[0].len = 20000;
    EXPECT_EQ(59, FMSCFile_CheckMetaFile(cache, 1));
    std::vector<std::uint8_t> buffer(16384);
    std::int32_t length = 0;
    EXPECT_EQ(59, FMSCIF_ReadBlock(cache, first, 0, buffer.data(), &length));
    cache->pages[first].segments[0].len = 16384;
    cache->pages[2].nextOffset = 2;  // a free list that loops
    EXPECT_EQ(16, FMSCFile_CheckMetaFile(cache, 2));
    cache->pages[2].nextOffset = 3;
    // Checked on every call, an operation finds the damage before its work.
    cache->checkEveryCall = true;
    cache->pages[first].guid[3] = '\x01';
    std::int64_t size = 0;
    std::int32_t found = -1;
    EXPECT_EQ(34, FMSCIF_FindFile(cache, guidFor(1).c_str(), &size, &found));
    EXPECT_EQ(-1, found);
    cache->pages[first].guid[3] = '0';
    cache->checkEveryCall = false;
    std::string text = output.finish();
    EXPECT_NE(std::string::npos, text.find("FMS_ERR(34) = FMSC_ERROR_METAFILE_BAD_GUID_FIELD"));
    EXPECT_NE(std::string::npos, text.find("***TRACEBACK: FMSCIF_ReadBlock"));
    EXPECT_NE(
        std::string::npos,
        text.find(
            "***ERROR(34): FMSC_ERROR_METAFILE_BAD_GUID_FIELD\n***TRACEBACK: FMSCIF_FindFile"));
}

TEST(CacheLog, TracedCacheLogsEachOperationWithItsNumber) {
    CacheFolder folder;
    FMSC_FILETOC_T* cache = nullptr;
    ASSERT_EQ(0,
              FMSCIF_Open(folder.path.c_str(), "logged", 8, 4, 1, 0, true, true, 0, true, &cache));
    std::int32_t first = -1;
    ASSERT_EQ(0, FMSCIF_AddFile(cache, (guidFor(7) + "TAIL").c_str(), 1234, 0, &first));
    ASSERT_EQ(0, FMSCIF_Close(&cache));
    std::ifstream log(folder.file("fms.log"));
    std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    EXPECT_EQ("00000000,OpenS," + folder.path + ",8,4,1,0,1,1\n00000001,AddFile," + guidFor(7) +
                  ",1234\n00000002,Close\n",
              text);
    struct stat made;
    ASSERT_EQ(0, stat(folder.file("fms.log").c_str(), &made));
    EXPECT_EQ(0600u, made.st_mode & 0777);
}

TEST(CacheLog, ALinkPlantedAtTheLogIsNotFollowed) {
    CacheFolder folder;
    const std::string victim = folder.file("own-file");
    std::ofstream(victim) << "the user's own lines\n";
    ASSERT_EQ(0, symlink(victim.c_str(), folder.file("fms.log").c_str()));
    Testing::OutputCapture output(1);
    FMSC_FILETOC_T* cache = nullptr;
    ASSERT_EQ(0,
              FMSCIF_Open(folder.path.c_str(), "logged", 8, 4, 1, 0, true, true, 0, true, &cache));
    std::int32_t first = -1;
    EXPECT_EQ(0, FMSCIF_AddFile(cache, guidFor(7).c_str(), 1234, 0, &first));
    EXPECT_EQ(0, FMSCIF_Close(&cache));
    EXPECT_NE(std::string::npos, output.finish().find("Could not open FMSCache log file"));
    std::ifstream own(victim);
    std::string text((std::istreambuf_iterator<char>(own)), std::istreambuf_iterator<char>());
    EXPECT_EQ("the user's own lines\n", text);
}

}  // namespace
}  // namespace Quillomark::Fcc
