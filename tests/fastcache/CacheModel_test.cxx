// Random operations on a fast cache, as its server makes them, each checked
// against a model of the store kept in memory: after every step the pages
// (their files, chains, entries and dates), the free-page list, the date
// list that decides which page goes next, the free segments, the hash, the
// counts and a sample of every cached block's bytes must be the model's, and
// the store must pass its own checks; a sharing server's client, attached
// anew at each open, reads every block too. The cache is closed and opened
// again now and then, and entries are given GUIDs and block numbers the
// store must refuse.
//
// Run again with allocations that fail: each entry of every step (open,
// close, add, write, read, find, delete, evict, purge, shrink, lock and
// unlock, of the server and of its client) is tried with its first,
// second, ... allocation failing until one that none fails; each must
// return a code, and leave a store that passes its checks, opens again
// without delete and reads each block as written (a miss will do): an
// entry other than a write that fails has changed nothing, and a write
// leaves each block once, with the bytes written last or those it tried.
//
// Each shape runs from a fixed seed; FMSC_MODEL_SEED runs them from another
// and FMSC_MODEL_STEPS longer. The cache's clock is the test's, so that a run
// is repeated exactly by its seed.

#include "CacheFolder.hxx"

#include <fcc/fastcache/internal/FmscInterface.hxx>
#include <fcc/fastcache/internal/FmscTesting.hxx>

#include <tests/support/OutputCapture.hxx>

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <new>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

// The allocations the test's thread may still make before one fails; -1:
// none fails. Only the one fails: those after it are made again.
thread_local long allocationsAllowed = -1;
thread_local bool allocationFailed = false;

// Work done with no allocation failing, within a try whose allocations do.
template <class Work>
int unfailing(Work work) {
    const long left = allocationsAllowed;
    allocationsAllowed = -1;
    const int result = work();
    allocationsAllowed = left;
    return result;
}

}  // namespace

// Counts down, then makes the allocation that follows the process's own:
// the sanitizers' when they run, whose deletes then match.
void* operator new(std::size_t size) {
    if (allocationsAllowed == 0) {
        allocationsAllowed = -1;
        allocationFailed = true;
        throw std::bad_alloc();
    }
    if (allocationsAllowed > 0) --allocationsAllowed;
    static const auto next = reinterpret_cast<void* (*)(std::size_t)>(dlsym(RTLD_NEXT, "_Znwm"));
    return next(size);
}

namespace Quillomark::Fcc {
namespace {

using Quillomark::Testing::CacheFolder;

constexpr std::int32_t FULL = FMSC_SEGMENT_SIZE;

// The bytes of a block written as write number `write`: byte i of it.
std::uint8_t byteOf(std::uint32_t write, std::int32_t i) {
    std::uint64_t x = write * 0x9E3779B97F4A7C15ull + std::uint64_t(i / 8) * 0xBF58476D1CE4E5B9ull;
    x ^= x >> 31;
    x *= 0x94D049BB133111EBull;
    x ^= x >> 29;
    return std::uint8_t(x >> (8 * (i % 8)));
}

// Never empty, so that the bytes of an empty block are not a null pointer.
std::vector<std::uint8_t> bytesOf(std::uint32_t write, std::int32_t length) {
    std::vector<std::uint8_t> bytes(std::size_t(std::max(length, 1)), 0);
    for (std::int32_t i = 0; i < length; ++i) bytes[std::size_t(i)] = byteOf(write, i);
    return bytes;
}

// ---- The model ---------------------------------------------------------------

struct ModelEntry {
    std::int32_t block;
    std::int32_t len;
    std::int32_t segment;
    std::uint32_t write;
};

struct ModelPage {
    bool allocated = false;
    std::string guid;
    std::vector<ModelEntry> entries;
    std::int32_t date = 0;
};

struct ModelFile {
    std::uint64_t size = 0;
    std::vector<std::int32_t> chain;  // its pages, the first page first
};

// The store as the cache's own rules make it: pages taken from the front of
// the free list and given back to its front, the least recently used page
// evicted first, the lowest free segment taken first.
struct Model {
    std::int32_t segmentFile = 0;  // S
    std::int32_t perExtent = 0;    // P
    std::int32_t extentFiles = 0;  // E
    std::int32_t sharedSegments = 0;
    bool sharingServer = false;
    std::vector<ModelPage> pages;
    std::deque<std::int32_t> freePages;
    std::list<std::int32_t> dates;  // oldest first
    std::map<std::string, ModelFile> files;
    std::set<std::int32_t> freeSegments;
    std::int32_t extentSegmentsInUse = 0;  // X
    std::int32_t extentFilesInUse = 0;     // F
    std::int64_t hits = 0;
    std::int64_t misses = 0;
    std::int32_t clock = 0;
    std::int32_t locked = -1;  // the sharing server's own page, never evicted

    void touch(std::int32_t page) {
        pages[std::size_t(page)].date = clock;
        if (page == locked) return;
        dates.remove(page);
        dates.push_back(page);
    }
    void freePage(std::int32_t page) {
        for (const ModelEntry& e : pages[std::size_t(page)].entries) freeSegments.insert(e.segment);
        pages[std::size_t(page)] = ModelPage{};
        freePages.push_front(page);
    }
    void evict(std::int32_t page) {
        dates.remove(page);
        const std::string guid = pages[std::size_t(page)].guid;
        std::vector<std::int32_t>& chain = files.at(guid).chain;
        chain.erase(std::find(chain.begin(), chain.end(), page));
        if (chain.empty()) files.erase(guid);
        freePage(page);
    }
    void deleteOldest() {
        if (!dates.empty()) evict(dates.front());
    }
    void allocate(std::int32_t page, const std::string& guid) {
        ModelPage& p = pages[std::size_t(page)];
        p.allocated = true;
        p.guid = guid;
        p.entries.clear();
        p.date = clock;
        dates.push_back(page);
    }
    // FMSCFile_GetFreePage: 0 or 18.
    int takeFreePage(std::int32_t* page) {
        if (freePages.empty()) deleteOldest();
        if (freePages.empty()) return FMSC_ERROR_METAFILE_OUT_OF_FREE_PAGES;
        *page = freePages.front();
        freePages.pop_front();
        return 0;
    }
    int addFile(const std::string& guid, std::uint64_t size) {
        if (files.count(guid)) return 0;
        std::int32_t page = -1;
        if (const int error = takeFreePage(&page)) return error;
        allocate(page, guid);
        files[guid] = ModelFile{size, {page}};
        return 0;
    }
    ModelEntry* find(const std::string& guid, std::int32_t block, std::int32_t* holder) {
        for (std::int32_t page : files.at(guid).chain) {
            for (ModelEntry& e : pages[std::size_t(page)].entries) {
                if (e.block != block) continue;
                *holder = page;
                return &e;
            }
        }
        return nullptr;
    }
    // FMSCX_DeleteAPage: a writer never loses its own file.
    void deleteAPage(const std::string& guid) {
        const std::uint64_t size = files.at(guid).size;
        deleteOldest();
        if (!files.count(guid)) addFile(guid, size);
    }
    void expandExtents() {
        if (extentFilesInUse == 0 || extentSegmentsInUse >= extentFilesInUse * perExtent) {
            if (extentFilesInUse >= extentFiles) return;
            ++extentFilesInUse;
        }
        if (!freeSegments.empty()) return;
        const std::int32_t room = extentFilesInUse * perExtent - extentSegmentsInUse;
        const std::int32_t count = std::min(sharingServer ? perExtent : 256, room);
        for (std::int32_t i = 0; i < count; ++i)
            freeSegments.insert(segmentFile + extentSegmentsInUse + i);
        extentSegmentsInUse += count;
    }
    // FMSCFile_AllocateSegment: true when the chain is full and no page free.
    bool allocateSegment(const std::string& guid, const ModelEntry& entry) {
        ModelFile& file = files.at(guid);
        std::int32_t target = -1;
        for (std::int32_t page : file.chain) {
            if (pages[std::size_t(page)].entries.size() < FMSC_SEGMENTS_PER_PAGE) {
                target = page;
                break;
            }
        }
        if (target == -1) {
            if (freePages.empty()) return true;
            takeFreePage(&target);
            allocate(target, guid);
            file.chain.push_back(target);
        }
        pages[std::size_t(target)].entries.push_back(entry);
        touch(target);
        return false;
    }
    int writeBlock(const std::string& guid, std::int32_t block, std::int32_t len,
                   std::uint32_t write) {
        std::int32_t holder = -1;
        if (ModelEntry* e = find(guid, block, &holder)) {
            e->len = len;
            e->write = write;
            touch(holder);
            return 0;
        }
        if (freeSegments.empty()) {
            if (extentFiles * perExtent > 0) expandExtents();
            for (std::size_t left = dates.size(); freeSegments.empty() && left > 0; --left)
                deleteAPage(guid);
        }
        if (freeSegments.empty()) return FMSC_ERROR_OUT_OF_DATA_SEGMENTS;
        const std::int32_t segment = *freeSegments.begin();
        freeSegments.erase(freeSegments.begin());
        const ModelEntry entry{block, len, segment, write};
        bool outOfPages = allocateSegment(guid, entry);
        for (std::size_t left = dates.size(); outOfPages && left > 0; --left) {
            deleteAPage(guid);
            outOfPages = allocateSegment(guid, entry);
        }
        if (!outOfPages) return 0;
        freeSegments.insert(segment);
        return FMSC_ERROR_METAFILE_OUT_OF_FREE_PAGES;
    }
    // The length read, -1 for a miss.
    std::int32_t readBlock(const std::string& guid, std::int32_t block, std::uint32_t* write) {
        std::int32_t holder = -1;
        const ModelEntry* e = find(guid, block, &holder);
        if (!e) {
            ++misses;
            return -1;
        }
        ++hits;
        *write = e->write;
        const std::int32_t len = e->len;
        touch(holder);
        return len;
    }
    int deleteFile(const std::string& guid) {
        auto it = files.find(guid);
        if (it == files.end()) return FMSC_ERROR_HASH_FILE_DOES_NOT_EXIST;
        const std::vector<std::int32_t> chain = it->second.chain;
        files.erase(it);
        for (std::int32_t page : chain) {
            dates.remove(page);
            freePage(page);
        }
        return 0;
    }
    void rebuildFreeSegments() {
        std::set<std::int32_t> held;
        for (const ModelPage& p : pages)
            for (const ModelEntry& e : p.entries) held.insert(e.segment);
        freeSegments.clear();
        for (std::int32_t s = sharedSegments; s < segmentFile + extentSegmentsInUse; ++s)
            if (!held.count(s)) freeSegments.insert(s);
    }
    void shrink(bool cut) {
        if (cut && extentFilesInUse > 0) {
            for (ModelPage& p : pages) {
                p.entries.erase(std::remove_if(p.entries.begin(), p.entries.end(),
                                               [this](const ModelEntry& e) {
                                                   return e.segment >= segmentFile;
                                               }),
                                p.entries.end());
            }
        }
        if (cut) extentSegmentsInUse = extentFilesInUse = 0;
        rebuildFreeSegments();
    }
    void purge(bool cut) {
        while (!dates.empty()) evict(dates.front());
        shrink(cut);
    }
    // An open of the closed cache: the segments and the date list are made
    // anew from the pages, the latter in order of date and, for equal
    // dates, of page.
    void reopen() {
        rebuildFreeSegments();
        std::vector<std::int32_t> order;
        for (std::int32_t i = 0; i < std::int32_t(pages.size()); ++i)
            if (pages[std::size_t(i)].allocated) order.push_back(i);
        std::stable_sort(order.begin(), order.end(), [this](std::int32_t a, std::int32_t b) {
            return pages[std::size_t(a)].date < pages[std::size_t(b)].date;
        });
        dates.assign(order.begin(), order.end());
        if (locked != -1) {
            touch(locked);
            dates.remove(locked);
        }
        hits = misses = 0;
    }
    std::set<std::int32_t> firstPages() const {
        std::set<std::int32_t> firsts;
        for (const auto& [guid, file] : files) firsts.insert(file.chain.front());
        return firsts;
    }
};

// ---- The run -------------------------------------------------------------------

// An extent file mapped whole, for reading.
struct ExtentImage {
    ExtentImage() = default;
    ExtentImage(const ExtentImage&) = delete;
    ExtentImage& operator=(const ExtentImage&) = delete;
    ExtentImage(ExtentImage&& other) noexcept : fd(other.fd), view(other.view) {
        other.fd = -1;
        other.view = {};
    }
    ~ExtentImage() {
        Platform::Os::unmapView(view);
        if (fd >= 0) Platform::Os::closeMappedFile(fd);
    }
    void map(const std::string& path) {
        fd = Platform::Os::openFileForMapping(path);
        if (fd >= 0) Platform::Os::mapView(fd, 0, 0, false, view);
    }
    int fd = -1;
    Platform::Os::MappedView view;
};

struct Shape {
    const char* name;
    std::int32_t pages;
    std::int32_t segments;
    std::int32_t megabytesPerExtent;
    std::int32_t extentFiles;
    std::int32_t mode;
};

class ModelRun {
public:
    ModelRun(const Shape& shape, std::uint32_t seed, bool failing = false)
        : shape(shape), random(seed), failing(failing) {
        for (int i = 0; i < 32; ++i) {
            char text[40];
            std::snprintf(text, sizeof text, "%08X-MODEL-%04d-GUID-%012d", unsigned(seed), i,
                          i * 7919);
            guids.push_back(std::string(text).substr(0, 32 + std::size_t(i % 5)));
        }
        model.clock = 1000000;
        Testing::setFmscClock(model.clock);
    }
    ~ModelRun() {
        if (client) FMSCIF_Close(&client);
        if (cache) FMSCIF_Close(&cache);
        Testing::setFmscClock(0);
    }
    ModelRun(const ModelRun&) = delete;
    ModelRun& operator=(const ModelRun&) = delete;

    // The server's open (made afresh, or of the files as they are), and
    // the client's.
    FMSC_OPEN_PARAMS paramsOf(bool afresh, std::int32_t mode) {
        FMSC_OPEN_PARAMS p = Quillomark::Testing::smallCache(folder, "model", shape.pages, mode);
        p.segments = shape.segments;
        p.megabytesPerExtentFile = shape.megabytesPerExtent;
        p.extentFiles = shape.extentFiles;
        p.create = p.deleteFiles = afresh && mode != FMSC_MODE_CLIENT;
        return p;
    }
    bool sharing() const { return shape.mode == FMSC_MODE_SHARING_SERVER; }

    void open(bool afresh) {
        openServer(afresh);
        ASSERT_EQ(0, attachClient());
    }
    // A sharing server's client, attached to what the cache holds now
    // (a try's check leaves it closed).
    int attachClient() {
        if (client || !sharing()) return 0;
        const FMSC_OPEN_PARAMS p = paramsOf(false, FMSC_MODE_CLIENT);
        return FMSCIF_OpenS(&p, &client);
    }
    int lockClient() {
        const int attached = attachClient();
        return attached ? attached : FMSCIF_LockCache(client);
    }
    void openServer(bool afresh) {
        const FMSC_OPEN_PARAMS p = paramsOf(afresh, shape.mode);
        ASSERT_EQ(0, FMSCIF_OpenS(&p, &cache));
        if (!afresh) {
            model.reopen();
            return;
        }
        const FMSC_FILESHARED_T* s = cache->shared;
        model.segmentFile = s->segmentFileSegments;
        model.perExtent = s->segmentsPerExtentFile;
        model.extentFiles = s->maxExtentFiles;
        model.pages.assign(std::size_t(s->maxFilePages), ModelPage{});
        for (std::int32_t i = 0; i < s->maxFilePages; ++i) model.freePages.push_back(i);
        model.sharingServer = shape.mode == FMSC_MODE_SHARING_SERVER;
        if (model.sharingServer) {
            // Its own file, on a page of its own that is never evicted, and
            // its block's segments, never handed out.
            model.sharedSegments = s->sharedSegments;
            model.addFile(FMSC_RESERVED_GUID, fmscSharedSize(s->maxFilePages));
            model.locked = model.files.at(FMSC_RESERVED_GUID).chain.front();
            model.dates.remove(model.locked);
        }
        model.rebuildFreeSegments();
    }

    void run(int steps) {
        open(true);
        verify();
        for (int step = 0; step < steps && !::testing::Test::HasFailure(); ++step) {
            model.clock += std::int32_t(random() % 2);
            Testing::setFmscClock(model.clock);
            SCOPED_TRACE("step " + std::to_string(step));
            act(step);
            verify();
        }
    }

private:
    std::uint32_t pick(std::uint32_t count) { return std::uint32_t(random() % count); }
    // Files of low numbers more often than others, so that some grow long.
    const std::string& anyGuid() {
        const auto count = std::uint32_t(guids.size());
        return guids[std::min(pick(count), pick(count))];
    }
    // A cached file of the run's, or "" when none is cached.
    std::string cachedGuid() {
        std::vector<std::string> cached;
        for (const auto& [guid, file] : model.files)
            if (guid != FMSC_RESERVED_GUID) cached.push_back(guid);
        if (cached.empty()) return std::string();
        const auto count = std::uint32_t(cached.size());
        return cached[std::min(pick(count), pick(count))];
    }
    std::int32_t firstPageOf(const std::string& guid) { return model.files.at(guid).chain.front(); }
    // One time in three a block the file holds, else any.
    std::int32_t blockOf(const std::string& guid) {
        std::vector<std::int32_t> held;
        for (std::int32_t page : model.files.at(guid).chain)
            for (const ModelEntry& e : model.pages[std::size_t(page)].entries)
                held.push_back(e.block);
        if (!held.empty() && pick(3) == 0) return held[pick(std::uint32_t(held.size()))];
        return std::int32_t(pick(160));
    }
    std::int32_t lengthOf() {
        switch (pick(8)) {
            case 0:
            case 1: return FULL;
            case 2: return 0;
            default: return std::int32_t(1 + pick(300));
        }
    }
    std::uint64_t sizeOf() {
        std::uint64_t size = random();
        if (pick(6) == 0) size |= std::uint64_t(1 + pick(3)) << 32;
        return size;
    }

    // The operations, each with its weight while the cache fills and while
    // it is emptied again (every third stretch of 600 steps, or of 30 when
    // allocations fail), so that files grow to chains of pages, pages run
    // out and extent files are grown before they go.
    void act(int step) {
        using Operation = void (ModelRun::*)();
        struct Weighted {
            Operation operation;
            std::uint32_t filling;
            std::uint32_t emptying;
        };
        static const Weighted operations[] = {
            {&ModelRun::addFile, 90, 60},         {&ModelRun::writeBlock, 240, 150},
            {&ModelRun::writeData, 120, 60},      {&ModelRun::readBlock, 150, 150},
            {&ModelRun::findNextSegment, 50, 50}, {&ModelRun::findSegments, 40, 40},
            {&ModelRun::findFile, 60, 60},        {&ModelRun::nextFiles, 10, 10},
            {&ModelRun::deleteFile, 4, 120},      {&ModelRun::deleteOldest, 4, 120},
            {&ModelRun::adjustFileSize, 40, 40},  {&ModelRun::purge, 0, 15},
            {&ModelRun::shrink, 0, 30},           {&ModelRun::reopen, 15, 15},
            {&ModelRun::refuse, 40, 40},          {&ModelRun::lockAndUnlock, 10, 10},
        };
        const bool emptying = step / (failing ? 30 : 600) % 3 == 2;
        std::uint32_t total = 0;
        for (const Weighted& w : operations) total += emptying ? w.emptying : w.filling;
        std::uint32_t roll = pick(total);
        for (const Weighted& w : operations) {
            const std::uint32_t weight = emptying ? w.emptying : w.filling;
            if (roll < weight) return (this->*w.operation)();
            roll -= weight;
        }
    }

    void addFile() {
        const std::string guid = anyGuid();
        const std::uint64_t size = sizeOf();
        failEachAllocation([&](Tried&) {
            std::int32_t first = -1;
            return FMSCIF_AddFile(cache, guid.c_str(), std::uint32_t(size),
                                  std::uint32_t(size >> 32), &first);
        });
        const int expected = model.addFile(guid, size);
        std::int32_t first = -1;
        ASSERT_EQ(expected, FMSCIF_AddFile(cache, guid.c_str(), std::uint32_t(size),
                                           std::uint32_t(size >> 32), &first));
        if (!expected) {
            EXPECT_EQ(firstPageOf(guid), first);
        }
    }
    void writeBlock() {
        const std::string guid = cachedGuid();
        if (guid.empty()) return addFile();
        const std::int32_t block = blockOf(guid);
        const std::int32_t length = lengthOf();
        failEachAllocation(
            [&](Tried& tried) { return tryWrite(guid, block, length, false, tried); });
        if (::testing::Test::HasFailure() || !model.files.count(guid)) return;
        const std::uint32_t write = ++writes;
        std::int32_t first = firstPageOf(guid);
        const int expected = model.writeBlock(guid, block, length, write);
        const std::vector<std::uint8_t> bytes = bytesOf(write, length);
        ASSERT_EQ(expected, FMSCIF_WriteBlock(cache, &first, block, bytes.data(), length))
            << "block " << block;
        EXPECT_EQ(firstPageOf(guid), first);
    }
    void writeData() {
        const std::string guid = cachedGuid();
        if (guid.empty()) return addFile();
        const std::int32_t firstBlock = blockOf(guid);
        const std::int32_t blocks = std::int32_t(1 + (pick(2) == 0 ? pick(48) : pick(3)));
        const std::int32_t length = (blocks - 1) * FULL + std::int32_t(1 + pick(FULL));
        failEachAllocation(
            [&](Tried& tried) { return tryWrite(guid, firstBlock, length, true, tried); });
        if (::testing::Test::HasFailure() || !model.files.count(guid)) return;
        std::vector<std::uint8_t> bytes(static_cast<std::size_t>(length));
        std::int32_t first = firstPageOf(guid);
        int expected = 0;
        for (std::int32_t b = 0; b < blocks && !expected; ++b) {
            const std::uint32_t write = ++writes;
            const std::int32_t piece = std::min(FULL, length - b * FULL);
            const std::vector<std::uint8_t> block = bytesOf(write, piece);
            std::copy(block.begin(), block.end(), bytes.begin() + std::ptrdiff_t(b) * FULL);
            expected = model.writeBlock(guid, firstBlock + b, piece, write);
        }
        ASSERT_EQ(expected, FMSCIF_WriteData(cache, &first, firstBlock, bytes.data(), length));
        EXPECT_EQ(firstPageOf(guid), first);
    }
    void readBlock() {
        const std::string guid = cachedGuid();
        if (guid.empty()) return addFile();
        const std::int32_t block = blockOf(guid);
        std::vector<std::uint8_t> read(FULL);
        std::int32_t got = 0;
        failEachAllocation([&](Tried&) {
            return FMSCIF_ReadBlock(cache, firstPageOf(guid), block, read.data(), &got);
        });
        // The client's read, under its lock.
        if (sharing()) {
            failEachAllocation([&](Tried&) {
                if (const int error = unfailing([&] { return lockClient(); })) return error;
                const int rc =
                    FMSCIF_ReadBlock(client, firstPageOf(guid), block, read.data(), &got);
                EXPECT_EQ(0, unfailing([&] { return FMSCIF_UnLockCache(client); }));
                return rc;
            });
        }
        const std::int32_t first = firstPageOf(guid);
        std::uint32_t write = 0;
        const std::int32_t expected = model.readBlock(guid, block, &write);
        std::vector<std::uint8_t> bytes(FULL);
        std::int32_t length = 0;
        ASSERT_EQ(0, FMSCIF_ReadBlock(cache, first, block, bytes.data(), &length));
        ASSERT_EQ(expected, length) << "block " << block;
        if (length > 0) {
            bytes.resize(std::size_t(length));
            EXPECT_EQ(bytesOf(write, length), bytes) << "block " << block;
        }
    }
    void findNextSegment() {
        const std::string guid = cachedGuid();
        if (guid.empty()) return addFile();
        const std::int32_t block = blockOf(guid);
        std::int32_t wantFound = -1, wantLength = -1;
        for (std::int32_t page : model.files.at(guid).chain) {
            for (const ModelEntry& e : model.pages[std::size_t(page)].entries) {
                if (e.block < block || (wantFound != -1 && e.block >= wantFound)) continue;
                wantFound = e.block;
                wantLength = e.len;
            }
        }
        std::int32_t found = 0, length = 0;
        failEachAllocation([&](Tried&) {
            return FMSCIF_FindNextSegment(cache, firstPageOf(guid), block, &found, &length);
        });
        ASSERT_EQ(0, FMSCIF_FindNextSegment(cache, firstPageOf(guid), block, &found, &length));
        EXPECT_EQ(wantFound, found);
        EXPECT_EQ(wantLength, length);
    }
    void findSegments() {
        const std::string guid = cachedGuid();
        if (guid.empty()) return addFile();
        std::vector<std::int32_t> want;
        for (std::int32_t page : model.files.at(guid).chain)
            for (const ModelEntry& e : model.pages[std::size_t(page)].entries)
                want.push_back(e.block);
        std::vector<std::int32_t> blocks;
        failEachAllocation(
            [&](Tried&) { return FMSCIF_FindSegments(cache, firstPageOf(guid), &blocks); });
        ASSERT_EQ(0, FMSCIF_FindSegments(cache, firstPageOf(guid), &blocks));
        EXPECT_EQ(want, blocks);
    }
    void findFile() {
        const std::string guid = anyGuid();
        std::int64_t size = -5;
        std::int32_t first = -5;
        failEachAllocation(
            [&](Tried&) { return FMSCIF_FindFile(cache, guid.c_str(), &size, &first); });
        ASSERT_EQ(0, FMSCIF_FindFile(cache, guid.c_str(), &size, &first));
        auto it = model.files.find(guid);
        if (it == model.files.end()) {
            ++model.misses;
            EXPECT_EQ(-1, first);
            return;
        }
        EXPECT_EQ(it->second.chain.front(), first);
        EXPECT_EQ(std::int64_t(it->second.size), size);
    }
    void nextFiles() {
        std::set<std::int32_t> firsts;
        for (std::int32_t iterator = -1, first = -1;;) {
            ASSERT_EQ(0, FMSCIF_NextFile(cache, &iterator, &first));
            if (first == -1) break;
            EXPECT_EQ(first, iterator);
            firsts.insert(first);
        }
        EXPECT_EQ(model.firstPages(), firsts);
    }
    void deleteFile() {
        const std::string guid = pick(4) == 0 ? anyGuid() : cachedGuid();
        if (guid.empty()) return addFile();
        failEachAllocation([&](Tried&) { return FMSCIF_DeleteFile(cache, guid.c_str()); });
        Quillomark::Testing::OutputCapture output(1);
        EXPECT_EQ(model.deleteFile(guid), FMSCIF_DeleteFile(cache, guid.c_str()));
    }
    void deleteOldest() {
        failEachAllocation([&](Tried&) { return FMSCIF_DeleteOldest(cache); });
        model.deleteOldest();
        EXPECT_EQ(0, FMSCIF_DeleteOldest(cache));
    }
    void adjustFileSize() {
        const std::string guid = pick(4) == 0 ? anyGuid() : cachedGuid();
        if (guid.empty()) return addFile();
        const std::uint64_t size = sizeOf();
        failEachAllocation([&](Tried&) {
            return FMSCIF_AdjustFileSize(cache, guid.c_str(), std::uint32_t(size),
                                         std::uint32_t(size >> 32));
        });
        auto it = model.files.find(guid);
        const int expected = it == model.files.end() ? FMSC_ERROR_HASH_FILE_DOES_NOT_EXIST : 0;
        if (!expected) it->second.size = size;
        Quillomark::Testing::OutputCapture output(1);
        EXPECT_EQ(expected, FMSCIF_AdjustFileSize(cache, guid.c_str(), std::uint32_t(size),
                                                  std::uint32_t(size >> 32)));
    }
    void purge() {
        const bool cut = pick(2) == 0;
        failEachAllocation([&](Tried&) { return FMSCIF_Purge(cache, cut); });
        model.purge(cut);
        EXPECT_EQ(0, FMSCIF_Purge(cache, cut));
    }
    void shrink() {
        failEachAllocation([&](Tried&) { return FMSCIF_ShrinkTheSegmentExtentFile(cache, 0); });
        model.shrink(true);
        EXPECT_EQ(0, FMSCIF_ShrinkTheSegmentExtentFile(cache, 0));
    }
    // Each handle closed and opened again, as a server does after a clean
    // stop (the server's client closed first).
    void reopen() {
        for (FMSC_FILETOC_T** handle : {&client, &cache}) {
            const bool server = handle == &cache;
            if (!server && !sharing()) continue;
            failEachAllocation([&](Tried&) {
                const int attached = unfailing([&] { return attachClient(); });
                return attached ? attached : FMSCIF_Close(handle);
            });
            failEachAllocation([&](Tried&) {
                if (const int error =
                        unfailing([&] { return server ? closeAll() : FMSCIF_Close(&client); }))
                    return error;
                const FMSC_OPEN_PARAMS p = paramsOf(false, server ? shape.mode : FMSC_MODE_CLIENT);
                return FMSCIF_OpenS(&p, handle);
            });
        }
        ASSERT_EQ(0, closeAll());
        open(false);
    }
    void lockAndUnlock() {
        for (FMSC_FILETOC_T** handle : {&cache, &client}) {
            if (handle == &client && !sharing()) continue;
            failEachAllocation([&](Tried&) {
                if (const int error = unfailing([&] { return attachClient(); })) return error;
                const int rc = FMSCIF_LockCache(*handle);
                if (!rc) {
                    EXPECT_EQ(0, unfailing([&] { return FMSCIF_UnLockCache(*handle); }));
                }
                return rc;
            });
            failEachAllocation([&](Tried&) {
                const int locked = unfailing([&] {
                    const int attached = attachClient();
                    return attached ? attached : FMSCIF_LockCache(*handle);
                });
                if (locked) return locked;
                const int rc = FMSCIF_UnLockCache(*handle);
                if (rc) {
                    EXPECT_EQ(0, unfailing([&] { return FMSCIF_UnLockCache(*handle); }));
                }
                return rc;
            });
            ASSERT_EQ(0, attachClient());
            ASSERT_EQ(0, FMSCIF_LockCache(*handle));
            ASSERT_EQ(0, FMSCIF_UnLockCache(*handle));
        }
    }
    // What the store would refuse: each is refused, and nothing changes.
    void refuse() {
        std::string guid = anyGuid();
        if (pick(3) == 0) {
            guid.resize(pick(32));
        } else {
            const std::uint32_t bad = pick(2) == 0 ? 1 + pick(31) : 127 + pick(129);
            guid[pick(std::uint32_t(guid.size()))] = char(bad);
        }
        const std::string cached = cachedGuid();
        std::int32_t first = cached.empty() ? 0 : firstPageOf(cached);
        const std::int32_t negative = -1 - std::int32_t(pick(1000));
        std::vector<std::uint8_t> bytes(FULL, 0x5A);
        std::int64_t size = 0;
        std::int32_t found = 0, length = 0;
        Quillomark::Testing::OutputCapture output(1);
        switch (pick(cached.empty() ? 4 : 9)) {
            case 0: EXPECT_EQ(34, FMSCIF_AddFile(cache, guid.c_str(), 1, 0, &found)); break;
            case 1: EXPECT_EQ(34, FMSCIF_FindFile(cache, guid.c_str(), &size, &found)); break;
            case 2: EXPECT_EQ(34, FMSCIF_DeleteFile(cache, guid.c_str())); break;
            case 3: EXPECT_EQ(34, FMSCIF_AdjustFileSize(cache, guid.c_str(), 1, 0)); break;
            case 4:
                EXPECT_EQ(62, FMSCIF_WriteBlock(cache, &first, negative, bytes.data(), 9));
                break;
            case 5:
                EXPECT_EQ(62, FMSCIF_WriteData(cache, &first, negative, bytes.data(), 9));
                break;
            case 6:
                EXPECT_EQ(62, FMSCIF_ReadBlock(cache, first, negative, bytes.data(), &length));
                break;
            case 7:
                EXPECT_EQ(62, FMSCIF_FindNextSegment(cache, first, negative, &found, &length));
                break;
            default: {
                // A page that is no file's first page.
                std::int32_t other = -2;
                for (std::int32_t i = 0; i < std::int32_t(model.pages.size()); ++i)
                    if (!model.firstPages().count(i)) other = i;
                EXPECT_NE(0, FMSCIF_WriteBlock(cache, &other, 0, bytes.data(), 9));
            }
        }
    }

    // ---- Allocations that fail ---------------------------------------------

    // The blocks a write may have left in the store: its file and, for each
    // block, the bytes it tried.
    struct Tried {
        std::string guid;
        std::map<std::int32_t, ModelEntry> blocks;
    };

    // The write of length bytes from firstBlock on (WriteData or, for one
    // block, WriteBlock), with bytes of its own.
    int tryWrite(const std::string& guid, std::int32_t firstBlock, std::int32_t length, bool asData,
                 Tried& tried) {
        std::vector<std::uint8_t> bytes;
        unfailing([&] {
            tried.guid = guid;
            bytes.resize(std::size_t(std::max(length, 1)));
            for (std::int32_t b = 0; b * FULL < std::max(length, 1); ++b) {
                const std::int32_t piece = std::min(FULL, length - b * FULL);
                tried.blocks[firstBlock + b] = ModelEntry{firstBlock + b, piece, -1, ++writes};
                const std::vector<std::uint8_t> block = bytesOf(writes, piece);
                std::copy(block.begin(), block.begin() + piece, bytes.begin() + b * FULL);
            }
            return 0;
        });
        std::int32_t first = firstPageOf(guid);
        return asData ? FMSCIF_WriteData(cache, &first, firstBlock, bytes.data(), length)
                      : FMSCIF_WriteBlock(cache, &first, firstBlock, bytes.data(), length);
    }

    // The entry tried with its first, second, ... allocation failing, up to
    // a try that none fails. Each try returns the code of that last one or
    // 1; an entry other than a write that fails has changed nothing. After
    // each, the store passes its checks, opens again without delete and
    // reads every block as it was written, and the model is made anew from
    // the store.
    void failEachAllocation(const std::function<int(Tried&)>& entry) {
        std::vector<int> codes;
        for (long n = 0; failing; ++n) {
            Tried tried;
            int rc = 0;
            {
                Quillomark::Testing::OutputCapture output(1);
                allocationFailed = false;
                allocationsAllowed = n;
                try {
                    rc = entry(tried);
                } catch (const std::exception& e) {
                    ADD_FAILURE() << "allocation " << n << " failed: the entry threw " << e.what();
                }
                allocationsAllowed = -1;
            }
            SCOPED_TRACE("allocation " + std::to_string(n) + " failed");
            codes.push_back(rc);
            settle(rc == 0 || !tried.blocks.empty(), tried);
            if (::testing::Test::HasFailure() || !allocationFailed) break;
        }
        for (const int rc : codes)
            EXPECT_TRUE(rc == codes.back() || rc == FMSC_ERROR_OUT_OF_MEMORY) << rc;
    }

    // The store after a try: the server opened again when the try left it
    // closed, checked, the model made anew from what changed (or the store
    // found as it was), then closed, opened and read through. The client is
    // attached again only where it is used: an attach and a detach take
    // many times what the rest does.
    void settle(bool changed, const Tried& tried) {
        if (!cache) reopenServer();
        ASSERT_EQ(0, FMSCFile_CheckMetaFile(cache, 63));
        if (changed) resync(tried);
        verify();
        reopenServer();
        readEverything();
        verify();
    }
    void reopenServer() {
        Quillomark::Testing::OutputCapture output(1);
        ASSERT_EQ(0, closeAll());
        openServer(false);
    }
    int closeAll() {
        int rc = client ? FMSCIF_Close(&client) : 0;
        if (!rc && cache) rc = FMSCIF_Close(&cache);
        return rc;
    }
    // Every block the model holds, read through the entry: as long as the
    // model says, with the bytes written.
    void readEverything() {
        std::vector<std::pair<std::string, std::int32_t>> blocks;
        for (const auto& [guid, file] : model.files)
            for (std::int32_t page : file.chain)
                for (const ModelEntry& e : model.pages[std::size_t(page)].entries)
                    blocks.emplace_back(guid, e.block);
        std::vector<std::uint8_t> bytes(FULL);
        for (const auto& [guid, block] : blocks) {
            std::uint32_t write = 0;
            const std::int32_t expected = model.readBlock(guid, block, &write);
            std::int32_t length = 0;
            ASSERT_EQ(0, FMSCIF_ReadBlock(cache, firstPageOf(guid), block, bytes.data(), &length));
            ASSERT_EQ(expected, length) << "block " << block << " of " << guid;
            for (std::int32_t i : {0, 1, 7, length / 2, length - 8, length - 1}) {
                if (i < 0 || i >= length) continue;
                ASSERT_EQ(byteOf(write, i), bytes[std::size_t(i)])
                    << "block " << block << " of " << guid << " byte " << i;
            }
        }
    }
    // The model as the store is now: every block of a chain once, each
    // holding the bytes of the model's entry for it or, for a block tried,
    // of the try.
    void resync(const Tried& tried) {
        const Model was = model;
        model.extentFilesInUse = cache->header->extentFilesInUse;
        model.extentSegmentsInUse = cache->header->extentSegmentsInUse;
        model.hits = cache->shared->hits;
        model.misses = cache->shared->misses;
        model.files.clear();
        std::fill(model.pages.begin(), model.pages.end(), ModelPage{});
        std::vector<ExtentImage> extents(std::size_t(model.extentFilesInUse));
        for (std::int32_t iterator = -1, first = -1;;) {
            ASSERT_EQ(0, FMSCIF_NextFile(cache, &iterator, &first));
            if (first == -1) break;
            const FmscFilePage& head = cache->pages[first];
            const std::string name(head.guid, strnlen(head.guid, FMSC_GUID_SIZE));
            ModelFile& file = model.files[name];
            file.size = (std::uint64_t(head.fileSizeHigh) << 32) | head.fileSizeLow;
            std::set<std::int32_t> blocks;
            for (std::int32_t i = first; i != -1; i = cache->pages[i].nextOffset) {
                ASSERT_LT(file.chain.size(), model.pages.size());
                file.chain.push_back(i);
                const FmscFilePage& page = cache->pages[i];
                ModelPage& into = model.pages[std::size_t(i)];
                into = ModelPage{true, name, {}, page.lastAccessTime};
                for (std::int32_t e = 0; e < page.numSegments; ++e) {
                    const FmscSegmentEntry& got = page.segments[e];
                    ASSERT_TRUE(blocks.insert(got.fileOffset).second)
                        << "block " << got.fileOffset << " listed twice";
                    into.entries.push_back(ModelEntry{got.fileOffset, got.len, got.segmentOffset,
                                                      writeOf(was, name, got, tried, extents)});
                }
            }
        }
        readLists(model);
    }
    // The write whose bytes the entry holds: the model's for the block in
    // the same segment, or the try's.
    std::uint32_t writeOf(const Model& was, const std::string& name, const FmscSegmentEntry& got,
                          const Tried& tried, std::vector<ExtentImage>& extents) {
        std::vector<ModelEntry> candidates;
        if (name == tried.guid && tried.blocks.count(got.fileOffset))
            candidates.push_back(tried.blocks.at(got.fileOffset));
        if (was.files.count(name)) {
            for (std::int32_t page : was.files.at(name).chain)
                for (const ModelEntry& e : was.pages[std::size_t(page)].entries)
                    if (e.block == got.fileOffset && e.segment == got.segmentOffset)
                        candidates.push_back(e);
        }
        for (const ModelEntry& c : candidates) {
            if (c.len != got.len) continue;
            const std::uint8_t* address = addressOf(got.segmentOffset, extents);
            bool same = address != nullptr;
            for (std::int32_t i : {0, 1, 7, c.len / 2, c.len - 1})
                if (same && i >= 0 && i < c.len) same = address[i] == byteOf(c.write, i);
            if (same) return c.write;
        }
        ADD_FAILURE() << "block " << got.fileOffset << " of " << name
                      << " holds bytes neither written last nor tried";
        return 0;
    }
    // Where a segment's bytes are: in the segment file, or in an extent file
    // mapped whole.
    const std::uint8_t* addressOf(std::int32_t segment, std::vector<ExtentImage>& extents) {
        if (segment < model.segmentFile)
            return cache->segmentToc->map.data + std::size_t(segment) * FULL;
        const std::int32_t beyond = segment - model.segmentFile;
        const std::size_t extent = std::size_t(beyond / model.perExtent);
        if (extent >= extents.size()) return nullptr;
        ExtentImage& image = extents[extent];
        if (!image.view.base) image.map(FMSCX_ExtentPath(cache, std::int32_t(extent)));
        const std::size_t offset = std::size_t(beyond % model.perExtent) * FULL;
        if (offset + FULL > image.view.length) return nullptr;
        return static_cast<const std::uint8_t*>(image.view.base) + offset;
    }

    // ---- The check after each step ----------------------------------------

    void verify() {
        ASSERT_EQ(0, FMSCFile_CheckMetaFile(cache, 63));
        verifyPages();
        verifyLists();
        verifyFiles();
        verifyCounts();
        verifyBytes();
        verifySummaries();
    }
    void verifyPages() {
        ASSERT_EQ(std::int32_t(model.pages.size()), cache->limits.pages);
        for (std::int32_t i = 0; i < cache->limits.pages; ++i) {
            const FmscFilePage& real = cache->pages[i];
            const ModelPage& want = model.pages[std::size_t(i)];
            ASSERT_EQ(want.allocated ? FMSC_PAGE_ALLOCATED : FMSC_PAGE_FREE, real.type)
                << "page " << i;
            if (!want.allocated) continue;
            ASSERT_EQ(want.guid, std::string(real.guid, strnlen(real.guid, FMSC_GUID_SIZE)))
                << "page " << i;
            ASSERT_EQ(want.date, real.lastAccessTime) << "page " << i;
            ASSERT_EQ(std::int32_t(want.entries.size()), real.numSegments) << "page " << i;
            for (std::size_t e = 0; e < want.entries.size(); ++e) {
                const FmscSegmentEntry& got = real.segments[e];
                const ModelEntry& entry = want.entries[e];
                ASSERT_EQ(entry.block, got.fileOffset) << "page " << i;
                ASSERT_EQ(entry.len, got.len) << "page " << i;
                ASSERT_EQ(entry.segment, got.segmentOffset) << "page " << i;
            }
        }
    }
    // The store's free pages, date list and free segments, into a model.
    void readLists(Model& into) {
        into.freePages.clear();
        for (std::int32_t i = cache->header->freePageListFirst;
             i != -1 && into.freePages.size() < 1u << 22; i = cache->pages[i].nextOffset)
            into.freePages.push_back(i);
        into.dates.clear();
        for (std::int32_t i = cache->shared->dateHead; i != -1 && into.dates.size() < 1u << 22;
             i = cache->dateNext[i])
            into.dates.push_back(i);
        into.freeSegments.clear();
        for (std::int32_t i = cache->freeSegments.first;
             i != -1 && into.freeSegments.size() < 1u << 22;
             i = cache->freeSegments.next[std::size_t(i)])
            into.freeSegments.insert(i);
    }
    void verifyLists() {
        Model store;
        readLists(store);
        ASSERT_EQ(model.freePages, store.freePages);
        ASSERT_EQ(model.dates, store.dates);
        ASSERT_EQ(model.freeSegments, store.freeSegments);
    }
    void verifyFiles() {
        for (const auto& [guid, file] : model.files) {
            std::int32_t first = -1;
            ASSERT_EQ(0, FMSCHash_FindFile(cache, guid.c_str(), &first));
            ASSERT_EQ(file.chain.front(), first);
            for (std::size_t k = 0; k < file.chain.size(); ++k) {
                const FmscFilePage& page = cache->pages[file.chain[k]];
                ASSERT_EQ(k == 0 ? 1 : 0, page.firstPage);
                ASSERT_EQ(k + 1 < file.chain.size() ? file.chain[k + 1] : -1, page.nextOffset);
                ASSERT_EQ(k > 0 ? file.chain[k - 1] : -1, page.prevOffset);
                ASSERT_EQ(file.size, (std::uint64_t(page.fileSizeHigh) << 32) | page.fileSizeLow);
            }
        }
    }
    void verifyCounts() {
        FMSC_INFO_T info{};
        ASSERT_EQ(0, FMSCIF_GetInfo(cache, &info));
        EXPECT_EQ(std::int64_t(model.freePages.size()), info.freePages);
        EXPECT_EQ(std::int64_t(model.files.size()), info.cachedFiles);
        EXPECT_EQ(model.extentFilesInUse, info.extentFilesInUse);
        EXPECT_EQ(model.extentSegmentsInUse, info.extentSegmentsInUse);
        EXPECT_EQ(model.extentFilesInUse, cache->header->extentFilesInUse);
        EXPECT_EQ(model.extentSegmentsInUse, cache->header->extentSegmentsInUse);
        EXPECT_EQ(std::int64_t(model.freeSegments.size()), info.freeSegments);
        EXPECT_EQ(model.hits, info.hits);
        EXPECT_EQ(model.misses, info.misses);
    }
    // Some bytes of every cached block, the first and the last among them (a
    // whole read is the read step's, which moves the page in the date
    // list). The extent files are mapped whole here: the cache's own views
    // of them hold one segment each. A client, under its lock, reads the
    // first byte of each as its reads do.
    void verifyBytes() {
        if (client) {
            ASSERT_EQ(0, FMSCIF_LockCache(client));
        }
        std::vector<ExtentImage> extents(std::size_t(model.extentFilesInUse));
        for (const ModelPage& page : model.pages) {
            for (const ModelEntry& e : page.entries) {
                const std::uint8_t* address = addressOf(e.segment, extents);
                ASSERT_NE(nullptr, address) << "block " << e.block;
                for (std::int32_t i : {0, 1, 7, e.len / 2, e.len - 8, e.len - 1}) {
                    if (i < 0 || i >= e.len) continue;
                    ASSERT_EQ(byteOf(e.write, i), address[i])
                        << "block " << e.block << " byte " << i;
                }
                std::uint8_t first = 0;
                if (client && e.len > 0) {
                    ASSERT_EQ(0, FMSCX_ReadSegment(client, e.segment, &first, 1, 0));
                    ASSERT_EQ(byteOf(e.write, 0), first) << "the client's block " << e.block;
                }
            }
        }
        if (client) {
            ASSERT_EQ(0, FMSCIF_UnLockCache(client));
        }
    }

    // What the writer knows of each file without a walk is what its chain
    // holds: each block on its page and no other, no stretch without a
    // block, and the first page with room when it knows one; a file that
    // left the store leaves nothing.
    void verifySummaries() {
        for (const auto& [key, summary] : cache->summaries) {
            const std::string name(key.data(), strnlen(key.data(), key.size()));
            ASSERT_TRUE(model.files.count(name)) << name << " left the store, not its summary";
            std::map<std::int32_t, std::int32_t> held, known;
            std::int32_t room = -1;
            for (std::int32_t page : model.files.at(name).chain) {
                const std::vector<ModelEntry>& entries = model.pages[std::size_t(page)].entries;
                for (const ModelEntry& e : entries) held[e.block] = page;
                if (room == -1 && entries.size() < FMSC_SEGMENTS_PER_PAGE) room = page;
            }
            for (const auto& [stretch, pages] : summary.pages) {
                ASSERT_NE(pages, FmscStretchPages{}) << "an empty stretch of " << name;
                for (std::int32_t k = 0; k < FMSC_INDEX_STRETCH; ++k)
                    if (pages[std::size_t(k)])
                        known[stretch * FMSC_INDEX_STRETCH + k] = pages[std::size_t(k)] - 1;
            }
            ASSERT_EQ(held, known) << "the summary of " << name;
            if (summary.room != -2) {
                ASSERT_EQ(room, summary.room) << "the room of " << name;
            }
        }
    }

    Shape shape;
    std::mt19937 random;
    CacheFolder folder;
    FMSC_FILETOC_T* cache = nullptr;
    FMSC_FILETOC_T* client = nullptr;
    Model model;
    std::vector<std::string> guids;
    std::uint32_t writes = 0;
    bool failing;
};

std::uint32_t seedFor(std::uint32_t fixed) {
    const char* text = std::getenv("FMSC_MODEL_SEED");
    return text ? std::uint32_t(std::strtoul(text, nullptr, 0)) : fixed;
}

int stepsFor(int fixed) {
    const char* text = std::getenv("FMSC_MODEL_STEPS");
    return text ? std::atoi(text) : fixed;
}

class CacheModel : public ::testing::TestWithParam<Shape> {};

TEST_P(CacheModel, EveryStepLeavesTheStoreAsTheModelSaysAndConsistent) {
    const std::uint32_t seed = seedFor(20240611u + std::uint32_t(GetParam().pages));
    SCOPED_TRACE(std::string(GetParam().name) + ", seed " + std::to_string(seed));
    ModelRun run(GetParam(), seed);
    run.run(stepsFor(3000));
}

TEST_P(CacheModel, EveryEntryThatRunsOutOfMemoryLeavesAStoreThatOpensAndReadsAsWritten) {
    const std::uint32_t seed = seedFor(20240611u + std::uint32_t(GetParam().pages));
    SCOPED_TRACE(std::string(GetParam().name) + ", seed " + std::to_string(seed));
    ModelRun run(GetParam(), seed, true);
    run.run(stepsFor(3000) / 20);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, CacheModel,
    ::testing::Values(Shape{"16 pages, 40 segments", 16, 40, 0, 0, FMSC_MODE_PRIVATE},
                      Shape{"200 pages, one hash page", 200, 300, 0, 0, FMSC_MODE_PRIVATE},
                      Shape{"4 pages, 400 segments", 4, 400, 0, 0, FMSC_MODE_PRIVATE},
                      Shape{"growing extent files", 64, 8, 16, 2, FMSC_MODE_PRIVATE},
                      Shape{"sharing server", 16, 40, 16, 1, FMSC_MODE_SHARING_SERVER},
                      Shape{"sharing server, 4 segments", 16, 4, 16, 1, FMSC_MODE_SHARING_SERVER}),
    [](const ::testing::TestParamInfo<Shape>& info) {
        return "shape" + std::to_string(info.index);
    });

}  // namespace
}  // namespace Quillomark::Fcc
