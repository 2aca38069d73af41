// The cache files are shared with the file-cache server: these tests read
// and write them byte by byte at fixed offsets, never through the library's
// own structures, so that a layout error cannot hide on both sides.

#include "CacheFolder.hxx"

#include <fcc/fastcache/internal/FmscInterface.hxx>
#include <fcc/fastcache/internal/FmscTesting.hxx>

#include <platform/os/internal/MessagePipe.hxx>

#include <tests/support/OutputCapture.hxx>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace Quillomark::Fcc {
namespace {

using Quillomark::Testing::CacheFolder;
using Quillomark::Testing::putWord;
using Quillomark::Testing::readBytes;
using Quillomark::Testing::wordAt;

std::uint32_t bucketOf(const std::string& guid, std::uint32_t buckets) {
    std::uint32_t h = 0;
    for (std::size_t i = 0; i < guid.size() && i < 36; ++i)
        h = h * 17u + static_cast<unsigned char>(guid[i]);
    return h % buckets;
}

TEST(CacheFiles, NewCacheHasTheDefaultSizesAndAFreeListOfAllPages) {
    CacheFolder folder;
    FMSC_FILETOC_T* cache = nullptr;
    ASSERT_EQ(0, FMSCIF_Open(folder.path.c_str(), "fmsdefault", 0, 0, 0, 0, true, true, 0, false,
                             &cache));
    EXPECT_EQ(47824, wordAt(readBytes(folder.file("fms.mf")), 52));  // open
    ASSERT_EQ(0, FMSCIF_Close(&cache));
    EXPECT_EQ(nullptr, cache);

    auto meta = readBytes(folder.file("fms.mf"));
    ASSERT_EQ(524800u, meta.size());
    EXPECT_EQ(29491200, std::filesystem::file_size(folder.file("fms.seg")));
    auto hash = readBytes(folder.file("fms.hsh"));
    ASSERT_EQ(7680u, hash.size());
    for (std::size_t i = 0; i < hash.size(); ++i) ASSERT_EQ(0xFF, hash[i]);

    EXPECT_EQ(3, wordAt(meta, 0));
    EXPECT_EQ(0, wordAt(meta, 4));
    EXPECT_EQ(1023, wordAt(meta, 8));
    EXPECT_EQ(1024, wordAt(meta, 12));
    EXPECT_EQ(1024, wordAt(meta, 20));
    EXPECT_EQ(1800, wordAt(meta, 24));
    EXPECT_EQ(15, wordAt(meta, 28));
    EXPECT_EQ(24589, wordAt(meta, 52));
    for (int i = 0; i < 1024; ++i) {
        std::size_t page = 512 + 512 * std::size_t(i);
        ASSERT_EQ('}', meta[page]);
        ASSERT_EQ(1, meta[page + 1]);
        ASSERT_EQ(i, wordAt(meta, page + 4));
        ASSERT_EQ(i == 1023 ? -1 : i + 1, wordAt(meta, page + 8));
        ASSERT_EQ(i - 1, wordAt(meta, page + 12));
        ASSERT_EQ(-1, wordAt(meta, page + 16));
        for (std::size_t b = 72; b < 504; ++b) ASSERT_EQ(0xFF, meta[page + b]);
        for (std::size_t b = 504; b < 512; ++b) ASSERT_EQ(0, meta[page + b]);
    }
}

// A cache of 4 pages, 4 segments and 1 hash page as the server writes it:
// one file of 20000 bytes on page 1, block 0 in segment 2, block 1 in 0.
void writeServerCache(const CacheFolder& folder, const std::string& guid) {
    std::vector<std::uint8_t> meta(5 * 512, 0);
    putWord(meta, 0, 2);
    putWord(meta, 4, 0);
    putWord(meta, 8, 3);
    putWord(meta, 12, 3);
    putWord(meta, 20, 4);
    putWord(meta, 24, 4);
    putWord(meta, 28, 1);
    putWord(meta, 40, 1);
    putWord(meta, 52, 24589);
    const int freeOrder[] = {0, 2, 3};
    for (int i = 0; i < 4; ++i) {
        std::size_t page = 512 + 512 * std::size_t(i);
        meta[page] = '}';
        putWord(meta, page + 4, i);
        std::memset(&meta[page + 72], 0xFF, 432);
        if (i == 1) continue;
        int at = i == 0 ? 0 : i - 1;
        meta[page + 1] = 1;
        putWord(meta, page + 8, at < 2 ? freeOrder[at + 1] : -1);
        putWord(meta, page + 12, at > 0 ? freeOrder[at - 1] : -1);
        putWord(meta, page + 16, -1);
    }
    std::size_t page = 512 + 512;
    meta[page + 1] = 2;
    meta[page + 2] = 1;
    putWord(meta, page + 8, -1);
    putWord(meta, page + 12, -1);
    putWord(meta, page + 16, -1);
    putWord(meta, page + 20, 1000);
    putWord(meta, page + 24, 20000);
    putWord(meta, page + 32, 2);
    std::memcpy(&meta[page + 36], guid.data(), 36);
    const std::int32_t entries[2][3] = {{16384, 2, 0}, {3616, 0, 1}};
    for (int e = 0; e < 2; ++e)
        for (int w = 0; w < 3; ++w)
            putWord(meta, page + 72 + 12 * std::size_t(e) + 4 * std::size_t(w), entries[e][w]);
    Quillomark::Testing::writeBytes(folder.file("fms.mf"), meta);

    std::vector<std::uint8_t> hash(512, 0xFF);
    putWord(hash, 4 * bucketOf(guid, 128), 1);
    Quillomark::Testing::writeBytes(folder.file("fms.hsh"), hash);

    std::vector<std::uint8_t> segments(4 * 16384, 0);
    for (std::size_t i = 0; i < 16384; ++i) segments[2 * 16384 + i] = std::uint8_t(i % 251);
    for (std::size_t i = 0; i < 3616; ++i) segments[i] = std::uint8_t(255 - i % 13);
    Quillomark::Testing::writeBytes(folder.file("fms.seg"), segments);
}

TEST(CacheFiles, ReadsACacheWrittenByTheServer) {
    CacheFolder folder;
    const std::string guid = "0123456789abcdef0123456789abcdef0123";
    writeServerCache(folder, guid);
    FMSC_FILETOC_T* cache = nullptr;
    ASSERT_EQ(
        0, FMSCIF_Open(folder.path.c_str(), "fixture", 4, 4, 1, 0, false, false, 0, false, &cache));

    std::int64_t size = 0;
    std::int32_t first = -1;
    ASSERT_EQ(0, FMSCIF_FindFile(cache, guid.c_str(), &size, &first));
    EXPECT_EQ(20000, size);
    EXPECT_EQ(1, first);
    std::vector<std::uint8_t> block(16384);
    std::int32_t length = 0;
    ASSERT_EQ(0, FMSCIF_ReadBlock(cache, first, 0, block.data(), &length));
    ASSERT_EQ(16384, length);
    EXPECT_EQ(250 % 251, block[250]);
    EXPECT_EQ(16383 % 251, block[16383]);
    ASSERT_EQ(0, FMSCIF_ReadBlock(cache, first, 1, block.data(), &length));
    ASSERT_EQ(3616, length);
    EXPECT_EQ(255 - 3615 % 13, block[3615]);
    ASSERT_EQ(0, FMSCIF_ReadBlock(cache, first, 2, block.data(), &length));
    EXPECT_EQ(-1, length);

    FMSC_INFO_T info{};
    ASSERT_EQ(0, FMSCIF_GetInfo(cache, &info));
    EXPECT_EQ(1, info.cachedFiles);
    EXPECT_EQ(3, info.freePages);
    EXPECT_EQ(2, info.freeSegments);  // segments 1 and 3
    EXPECT_EQ(2, info.hits);
    EXPECT_EQ(1, info.misses);
    ASSERT_EQ(0, FMSCIF_Close(&cache));

    auto meta = readBytes(folder.file("fms.mf"));
    EXPECT_EQ(24589, wordAt(meta, 52));
    EXPECT_GE(wordAt(meta, 512 + 512 + 20), 1000);  // the read renewed the access time
}

TEST(CacheFiles, ServerThatDidNotCloseIsRefusedUnlessItDeletes) {
    CacheFolder folder;
    FMSC_FILETOC_T* cache = nullptr;
    ASSERT_EQ(0,
              FMSCIF_Open(folder.path.c_str(), "crash", 8, 4, 1, 0, true, true, 0, false, &cache));
    ASSERT_EQ(0, FMSCIF_Close(&cache));
    auto meta = readBytes(folder.file("fms.mf"));
    putWord(meta, 52, 47824);
    Quillomark::Testing::writeBytes(folder.file("fms.mf"), meta);

    EXPECT_EQ(103,
              FMSCIF_Open(folder.path.c_str(), "crash", 8, 4, 1, 0, true, false, 0, false, &cache));
    EXPECT_EQ(nullptr, cache);
    ASSERT_EQ(0,
              FMSCIF_Open(folder.path.c_str(), "crash", 8, 4, 1, 0, true, true, 0, false, &cache));
    ASSERT_EQ(0, FMSCIF_Close(&cache));
}

TEST(CacheFiles, ShortFilesAreRefused) {
    CacheFolder folder;
    FMSC_FILETOC_T* cache = nullptr;
    ASSERT_EQ(0,
              FMSCIF_Open(folder.path.c_str(), "short", 8, 4, 1, 0, true, true, 0, false, &cache));
    ASSERT_EQ(0, FMSCIF_Close(&cache));
    std::filesystem::resize_file(folder.file("fms.seg"), 3 * 16384);
    EXPECT_EQ(
        44, FMSCIF_Open(folder.path.c_str(), "short", 8, 4, 1, 0, false, false, 0, false, &cache));
    std::filesystem::resize_file(folder.file("fms.mf"), 8 * 512);
    EXPECT_EQ(
        77, FMSCIF_Open(folder.path.c_str(), "short", 8, 4, 1, 0, false, false, 0, false, &cache));
    EXPECT_EQ(nullptr, cache);
}

// What a server's open finds at the path of a file of the cache (the mutex
// file's included) that is not a regular file of the user's that only the
// user may write: it neither uses it nor follows it, but fails with 91 (94
// for the mutex file) and leaves it as it is. An open with delete removes
// and makes anew a regular file of the user's that others may write, but
// not the owner file, by which servers exclude each other; what the cache
// never makes (a folder, a pipe, a link, another user's file) it never
// removes, with delete or without.
TEST(CacheFiles, WhatIsNoPrivateFileOfTheUsersIsNeitherUsedNorRemoved) {
    CacheFolder folder;
    // The file as the cache left it becomes the target of a link, or
    // another user's, or others may write it; a folder or a pipe replaces it.
    const std::string target = folder.file("target");
    const auto plant = [&](const std::string& path, char kind) {
        if (kind == 'l' || kind == 'd' || kind == 'p') std::filesystem::rename(path, target);
        switch (kind) {
            case 'd': return mkdir(path.c_str(), 0700) == 0;
            case 'p': return mkfifo(path.c_str(), 0600) == 0;
            case 'l': return symlink(target.c_str(), path.c_str()) == 0;
            case 'u': return chown(path.c_str(), 65534, 65534) == 0;
            default: return chmod(path.c_str(), 0666) == 0;
        }
    };
    // The mutex file's path, whatever the cache's key in its name.
    const auto mutexFile = [] {
        for (const auto& entry : std::filesystem::directory_iterator(Platform::Os::ipcDirectory()))
            if (entry.path().filename().string().rfind("mutex.planted", 0) == 0)
                return entry.path().string();
        return std::string();
    };
    std::string kinds = "dplw";
    if (geteuid() == 0) kinds += 'u';
    for (const char* name : {"fms.mf.lock", "fms.mf", "fms.hsh", "fms.seg", "fms.ext000", "mutex"})
        for (const char kind : kinds)
            for (const bool deleteFiles : {false, true}) {
                const std::string where =
                    std::string(name) + " " + kind + " " + (deleteFiles ? "delete" : "keep");
                FMSC_FILETOC_T* cache = nullptr;
                ASSERT_EQ(0, FMSCIF_Open(folder.path.c_str(), "planted", 8, 1, 1, 16, true, true,
                                         FMSC_MODE_SHARING_SERVER, false, &cache));
                std::int32_t first = -1;
                std::vector<std::uint8_t> bytes(2 * 16384, 0x5A);
                ASSERT_EQ(0, FMSCIF_AddFile(cache, "0123456789abcdef0123456789abcdef", 2 * 16384, 0,
                                            &first));
                ASSERT_EQ(0, FMSCIF_WriteData(cache, &first, 0, bytes.data(), 2 * 16384));
                ASSERT_EQ(0, FMSCIF_Close(&cache));
                const bool mutex = std::string(name) == "mutex";
                const std::string path = mutex ? mutexFile() : folder.file(name);
                ASSERT_FALSE(path.empty()) << where;
                const auto held = readBytes(path);
                ASSERT_TRUE(plant(path, kind)) << where;
                struct stat planted {};
                ASSERT_EQ(0, lstat(path.c_str(), &planted)) << where;
                Quillomark::Testing::OutputCapture output(1);
                const int opened = FMSCIF_Open(folder.path.c_str(), "planted", 8, 1, 1, 16, true,
                                               deleteFiles, 0, false, &cache);
                output.finish();
                if (cache) FMSCIF_Close(&cache);
                const bool owner = std::string(name) == "fms.mf.lock";
                const bool madeAnew = deleteFiles && kind == 'w' && !owner;
                EXPECT_EQ(madeAnew ? 0 : mutex ? 94 : 91, opened) << where;
                struct stat after {};
                const bool there = lstat(path.c_str(), &after) == 0;
                if (madeAnew) {
                    // An extent file is made again as the store grows.
                    EXPECT_TRUE(there ? S_ISREG(after.st_mode) && (after.st_mode & 0777) == 0600
                                      : name[4] == 'e')
                        << where;
                } else {
                    EXPECT_TRUE(there) << where;
                    EXPECT_EQ(planted.st_ino, after.st_ino) << where;
                    EXPECT_EQ(planted.st_mode, after.st_mode) << where;
                }
                // What a link leads to, and a file set aside, stay as they were.
                const bool aside = kind == 'l' || kind == 'd' || kind == 'p';
                if (aside || !madeAnew) {
                    EXPECT_TRUE(held == readBytes(aside ? target : path)) << where;
                }
                std::filesystem::remove_all(path);
                std::filesystem::remove(target);
            }
    // The same swapped in by another process right after an open with
    // delete made the file anew, before the open looked at it: a folder, a
    // pipe, a link (to the file, cut to nothing meanwhile). The open fails
    // with 91 as well, following no link.
    static struct {
        std::string step, path, target;
        char kind;
        bool (*plant)(const std::string& path, const std::string& target, char kind);
    } swap;
    swap.target = target;
    swap.plant = [](const std::string& path, const std::string& target, char kind) {
        std::filesystem::rename(path, target);
        std::filesystem::resize_file(target, 0);
        return kind == 'd'   ? mkdir(path.c_str(), 0700) == 0
               : kind == 'p' ? mkfifo(path.c_str(), 0600) == 0
                             : symlink(target.c_str(), path.c_str()) == 0;
    };
    for (const char* name : {"fms.mf", "fms.hsh", "fms.seg"})
        for (const char kind : std::string("dpl")) {
            const std::string where = std::string(name) + " " + kind;
            swap.step = std::string("made ") + name;
            swap.path = folder.file(name);
            swap.kind = kind;
            Testing::setFmscOpenStep([](const char* step) {
                if (swap.step == step && !swap.plant(swap.path, swap.target, swap.kind))
                    std::abort();
            });
            FMSC_FILETOC_T* cache = nullptr;
            Quillomark::Testing::OutputCapture output(1);
            EXPECT_EQ(91, FMSCIF_Open(folder.path.c_str(), "planted", 8, 1, 1, 16, true, true, 0,
                                      false, &cache))
                << where;
            Testing::setFmscOpenStep(nullptr);
            output.finish();
            if (cache) FMSCIF_Close(&cache);
            struct stat after {};
            EXPECT_EQ(0, lstat(swap.path.c_str(), &after)) << where;
            std::filesystem::remove_all(swap.path);
            std::filesystem::remove(target);
        }
}

}  // namespace
}  // namespace Quillomark::Fcc
