// Reading a cached file block by block out of the fast cache, against a
// plain copy of the same bytes out of memory: what the cache adds per block
// (the lookup of the block in the file's pages, the access-date update, the
// hit counter), and how that grows with the size of the file. Writing one
// the same way, against a copy into memory of the file's size: what the
// cache adds per block (the look for the block among those cached, a free
// segment, a page with room), how that grows, and what it becomes when the
// blocks come in another order (two files written in turns, a file written
// last block first), and into extent files rather than the segment file.
// Blocks the file holds written over at random, at two sizes of the file.
// Then the self-proxy's reads of a file that the server cached, as a client
// of the server's cache.
//
// Each case again on a store that evicts: one that the writes have filled,
// so that each block written that the file does not hold takes the segment
// of a block of a page evicted for it (one page for every 36 blocks), where
// a cache spends its life. And the same writes, in order and at random, into
// a store that evicts and into one that holds the file.
#include "bench/support/Rounds.hxx"

#include <fcc/fastcache/internal/FmscInterface.hxx>
#include <fcc/pipe/internal/FccTransport.hxx>
#include <fcc/runtime/internal/FccRuntime.hxx>
#include <fcc/selfproxy/internal/FastCacheClient.hxx>
#include <fcc/selfproxy/internal/FccFileRecord.hxx>

#include "tests/support/FakeFccServer.hxx"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace Quillomark::Bench;
namespace Fcc = Quillomark::Fcc;

const char* const GUID = "0123456789ABCDEF0123456789ABCDEF";
const char* const OTHER_GUID = "FEDCBA9876543210FEDCBA9876543210";

// A private cache in a folder of its own, holding one file of `blocks`
// full blocks, all in the segment file, or, with extent megabytes, all but
// the first in extent files.
//
// One that evicts holds `blocks` segments in all (the extent files'
// included), a multiple of 72 blocks, so that a file, or each of two, fills
// whole pages: it holds the blocks of one range of the file, [0, blocks) or
// [blocks, 2 * blocks), and each write of all blocks writes those of the
// other, every one of which takes the segment of a block evicted for it.
class FilledCache {
public:
    explicit FilledCache(std::int32_t blocks, std::int32_t extentMegabytes = 0,
                         bool evicting = false)
        : blocks(blocks), evicting(evicting) {
        if (evicting && (blocks % 72 != 0 || blocks <= extentMegabytes * 64))
            throw std::logic_error("a store that evicts holds whole pages of each file");
        char pattern[] = "/tmp/fastcache-bench-XXXXXX";
        if (!mkdtemp(pattern)) throw std::runtime_error("no temporary folder");
        folder = pattern;
        std::int32_t pages = blocks / Fcc::FMSC_SEGMENTS_PER_PAGE + 8;
        std::int32_t segments = extentMegabytes > 0 ? 1 : blocks;
        if (evicting) segments = blocks - extentMegabytes * 64;
        // Its own name: two caches of one name open at once share a mapping.
        static int made = 0;
        const std::string name = "bench-" + std::to_string(++made);
        if (Fcc::FMSCIF_Open(folder.c_str(), name.c_str(), pages, segments, 15, extentMegabytes,
                             true, true, 0, false, &cache) != 0)
            throw std::runtime_error("cannot open the cache");
        // No two pages of the bytes alike: a copy of pages that a virtual
        // machine's host merged with others of the same bytes pays for them
        // anew.
        source.assign(std::size_t(blocks) * Fcc::FMSC_SEGMENT_SIZE, 1);
        for (std::size_t at = 0; at < source.size(); at += 4096)
            std::memcpy(source.data() + at, &at, sizeof at);
        std::mt19937 random(7);
        for (std::int32_t i = 0; i < blocks; ++i) shuffled.push_back(i);
        std::shuffle(shuffled.begin(), shuffled.end(), random);
        writeAll();
        // Then the other range, each block of which evicts.
        if (evicting) writeAll();
    }
    ~FilledCache() {
        Fcc::FMSCIF_Close(&cache);
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }

    // The memory that copyInAll copies into, of the file's size, touched
    // before any copy is timed: a copy into memory freshly taken from the
    // system pays for its pages anew.
    void prepareCopies() {
        target.assign(source.size(), 2);
        for (std::size_t at = 0; at < target.size(); at += 4096)
            std::memcpy(target.data() + at, &at, sizeof at);
    }

    void readAll(std::uint8_t* buffer) {
        for (std::int32_t i = 0; i < blocks; ++i) {
            std::int32_t length = 0;
            Fcc::FMSCIF_ReadBlock(cache, first, held + i, buffer, &length);
            benchmark::DoNotOptimize(length);
        }
    }

    // The order in which writeAll writes the blocks: one file in order, one
    // file last block first, two files of half the blocks each in turns, or
    // one file in overwriteAll's order.
    enum class Order { Forwards, LastFirst, TwoInTurns, Random };

    // Each write of a block the file does not hold. A store that holds the
    // file: the files taken out of the cache, added anew and written block by
    // block again. One that evicts: the range of the file's blocks that the
    // store does not hold written, the files kept (or added anew when their
    // last page went).
    void writeAll(Order order = Order::Forwards) {
        const char* const guids[2] = {GUID, OTHER_GUID};
        const int files = order == Order::TwoInTurns ? 2 : 1;
        const std::int32_t each = blocks / files;
        const std::int32_t from = evicting ? blocks - held : 0;
        std::int32_t firsts[2] = {-1, -1};
        for (int f = 0; f < 2; ++f) {
            std::int64_t size = 0;
            std::int32_t found = -1;
            bool taken = Fcc::FMSCIF_FindFile(cache, guids[f], &size, &found) == 0;
            if (!evicting && taken && found != -1)
                taken = Fcc::FMSCIF_DeleteFile(cache, guids[f]) == 0;
            if (!taken ||
                (f < files &&
                 Fcc::FMSCIF_AddFile(cache, guids[f], std::uint32_t(each) * Fcc::FMSC_SEGMENT_SIZE,
                                     0, &firsts[f]) != 0))
                throw std::runtime_error("cannot add the file again");
        }
        for (std::int32_t i = 0; i < blocks; ++i) {
            const int f = i % files;
            std::int32_t block = i / files;
            if (order == Order::LastFirst) block = blocks - 1 - i;
            if (order == Order::Random) block = shuffled[std::size_t(i)];
            // The other file's writes may have evicted this one's first page.
            if (evicting && files > 1 && !firstOf(guids[f], &firsts[f]))
                throw std::runtime_error("the file went");
            const std::uint8_t* bytes = source.data() + std::size_t(i) * Fcc::FMSC_SEGMENT_SIZE;
            if (Fcc::FMSCIF_WriteBlock(cache, &firsts[f], from + block, bytes,
                                       Fcc::FMSC_SEGMENT_SIZE) != 0)
                throw std::runtime_error("cannot write the file again");
        }
        held = from;
        if (!firstOf(GUID, &first)) throw std::runtime_error("the file went");
    }

    // Each block written over where the file holds it, in a random order.
    void overwriteAll() {
        for (const std::int32_t block : shuffled) {
            const std::uint8_t* bytes = source.data() + std::size_t(block) * Fcc::FMSC_SEGMENT_SIZE;
            if (Fcc::FMSCIF_WriteBlock(cache, &first, held + block, bytes,
                                       Fcc::FMSC_SEGMENT_SIZE) != 0)
                throw std::runtime_error("cannot write the file over");
        }
    }

    // The file's bytes copied block by block into memory of the file's
    // size (prepareCopies), in order or in overwriteAll's order.
    void copyInAll(bool inOverwriteOrder = false) {
        for (std::int32_t i = 0; i < blocks; ++i) {
            const std::int32_t block = inOverwriteOrder ? shuffled[std::size_t(i)] : i;
            const std::size_t at = std::size_t(block) * Fcc::FMSC_SEGMENT_SIZE;
            std::memcpy(target.data() + at, source.data() + at, Fcc::FMSC_SEGMENT_SIZE);
            benchmark::DoNotOptimize(target.data());
        }
    }

    void copyAll(std::uint8_t* buffer) {
        for (std::int32_t i = 0; i < blocks; ++i) {
            std::memcpy(buffer, source.data() + std::size_t(i) * Fcc::FMSC_SEGMENT_SIZE,
                        Fcc::FMSC_SEGMENT_SIZE);
            benchmark::DoNotOptimize(buffer);
        }
    }

    std::int32_t blocks;

private:
    bool firstOf(const char* guid, std::int32_t* page) {
        std::int64_t size = 0;
        return Fcc::FMSCIF_FindFile(cache, guid, &size, page) == 0 && *page != -1;
    }

    bool evicting;
    // The first block of the range of the file that the store holds.
    std::int32_t held = 0;
    std::string folder;
    Fcc::FMSC_FILETOC_T* cache = nullptr;
    std::int32_t first = -1;
    std::vector<std::uint8_t> source;
    std::vector<std::uint8_t> target;
    std::vector<std::int32_t> shuffled;
};

// The store a case runs on: one that holds the file, or one that evicts.
struct Store {
    const char* suffix;  // of the case's name, before its size
    bool evicting;
};
const Store STORES[] = {{"", false}, {", store that evicts", true}};

// The blocks of a file of these megabytes, as many as a store of the kind
// holds: a store that evicts, a multiple of 72.
std::int32_t blocksOf(std::int32_t megabytes, bool evicting) {
    const std::int32_t blocks = megabytes * 64;
    return evicting ? blocks / 72 * 72 : blocks;
}

void readCachedFile(benchmark::State& state, std::int32_t megabytes, bool evicting) {
    FilledCache cache(blocksOf(megabytes, evicting), 0, evicting);
    std::vector<std::uint8_t> buffer(Fcc::FMSC_SEGMENT_SIZE);
    againstBaseline(
        state, [&] { cache.copyAll(buffer.data()); }, [&] { cache.readAll(buffer.data()); });
    state.SetItemsProcessed(state.iterations() * std::int64_t(cache.blocks));
}

void writeCachedFile(benchmark::State& state, std::int32_t megabytes, bool evicting) {
    FilledCache cache(blocksOf(megabytes, evicting), 0, evicting);
    cache.prepareCopies();
    againstBaseline(
        state, [&] { cache.copyInAll(); }, [&] { cache.writeAll(); });
    state.SetItemsProcessed(state.iterations() * std::int64_t(cache.blocks));
}

// Every block of the file written over, in a random order, against copies
// of its blocks in that order.
void overwriteCachedFile(benchmark::State& state, std::int32_t megabytes, bool evicting) {
    FilledCache cache(blocksOf(megabytes, evicting), 0, evicting);
    cache.prepareCopies();
    againstBaseline(
        state, [&] { cache.copyInAll(true); }, [&] { cache.overwriteAll(); });
    state.SetItemsProcessed(state.iterations() * std::int64_t(cache.blocks));
}

// The same blocks written in another order, against one file written in
// order, in the same cache.
void writeCachedFileOutOfOrder(benchmark::State& state, FilledCache::Order order, bool evicting) {
    FilledCache cache(blocksOf(256, evicting), 0, evicting);
    againstBaseline(
        state, [&] { cache.writeAll(); }, [&] { cache.writeAll(order); });
    state.SetItemsProcessed(state.iterations() * std::int64_t(cache.blocks));
}

// Blocks the file does not hold written into a store that evicts, against
// the same writes into a store of the same size that holds the file: what
// an eviction adds to each block.
void writeIntoAStoreThatEvicts(benchmark::State& state, std::int32_t megabytes,
                               FilledCache::Order order) {
    FilledCache holding(blocksOf(megabytes, true));
    FilledCache evicting(holding.blocks, 0, true);
    againstBaseline(
        state, [&] { holding.writeAll(order); }, [&] { evicting.writeAll(order); });
    state.SetItemsProcessed(state.iterations() * std::int64_t(holding.blocks));
}

// The same file written into extent files, against the segment file: the
// blocks of every store beyond the segment file's 65,535 segments go there.
// A store that evicts holds 16 MB of extent files beside 56 segments.
void writeIntoExtentFiles(benchmark::State& state, bool evicting) {
    const std::int32_t blocks = evicting ? 16 * 64 + 56 : 16 * 64;
    FilledCache segmentFile(blocks, 0, evicting);
    FilledCache extentFiles(blocks, evicting ? 16 : 32, evicting);
    againstBaseline(
        state, [&] { segmentFile.writeAll(); }, [&] { extentFiles.writeAll(); });
    state.SetItemsProcessed(state.iterations() * std::int64_t(blocks));
}

// What the kernel takes to write a block into a file in the page cache
// beside a copy into a mapping of the file, kept mapped and written before:
// the floor under the figure above, since extent files are written so.
void writeThroughTheKernel(benchmark::State& state) {
    constexpr std::size_t BYTES = 16 * 1024 * 1024;
    char path[] = "/tmp/fastcache-bench-floor-XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd < 0 || ::ftruncate(fd, off_t(BYTES)) != 0) std::abort();
    ::unlink(path);
    void* const mapped = ::mmap(nullptr, BYTES, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (mapped == MAP_FAILED) std::abort();
    auto* const target = static_cast<std::uint8_t*>(mapped);
    const std::vector<std::uint8_t> source(BYTES, 3);
    std::memset(target, 1, BYTES);
    againstBaseline(
        state,
        [&] {
            for (std::size_t at = 0; at < BYTES; at += Fcc::FMSC_SEGMENT_SIZE) {
                std::memcpy(target + at, source.data() + at, Fcc::FMSC_SEGMENT_SIZE);
                benchmark::DoNotOptimize(target);
            }
        },
        [&] {
            for (std::size_t at = 0; at < BYTES; at += Fcc::FMSC_SEGMENT_SIZE) {
                if (::pwrite(fd, source.data() + at, Fcc::FMSC_SEGMENT_SIZE, off_t(at)) !=
                    Fcc::FMSC_SEGMENT_SIZE)
                    std::abort();
            }
        });
    ::munmap(mapped, BYTES);
    ::close(fd);
    state.SetBytesProcessed(state.iterations() * std::int64_t(BYTES));
}

// The server's cache as the fake server describes it ("C:/fms/cache" in the
// working folder: 16 segments, then extent files of 32 MB), holding one
// file of 16 MB, and a client record of that file. One that evicts was
// filled with another file first, whose pages the file's blocks evicted.
struct ServedCache {
    explicit ServedCache(bool evicting) {
        folder = "/tmp/fastcache-bench-client-" + std::to_string(getpid());
        mkdir(folder.c_str(), 0700);
        setenv("FMS_IPC_DIR", folder.c_str(), 1);
        setenv("FMS_HOME", folder.c_str(), 1);
        std::FILE* script = std::fopen((folder + "/startfcc.bat").c_str(), "w");
        if (script) std::fclose(script);
        if (chdir(folder.c_str()) != 0 || Fcc::FccReadConfiguration() != 0) std::abort();
        server = std::make_unique<Quillomark::Testing::FakeFccServer>();
        std::filesystem::create_directories(
            Quillomark::Testing::FakeFccServer::describedCache().folder);
        const Fcc::FMSC_OPEN_PARAMS params = Quillomark::Testing::FakeFccServer::describedCache();
        if (Fcc::FMSCIF_OpenS(&params, &cache) != 0) std::abort();
        if (evicting) fill();
        std::int32_t first = -1;
        Fcc::FMSCIF_AddFile(cache, GUID, BYTES, 0, &first);
        source.assign(BYTES, 7);
        if (Fcc::FMSCIF_WriteData(cache, &first, 0, source.data(), BYTES) != 0) std::abort();
        file.guid = guid;
        if (Fcc::checkInitFMSC() != 0) std::abort();
    }
    ~ServedCache() {
        Fcc::FmscCloseFastCache();
        Fcc::FMSCIF_Close(&cache);
        server.reset();
        Fcc::FccCloseAllConnections();
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }

    // As many blocks of another file as the store has segments: it holds
    // only blocks of that file, and the last of them evicted its first.
    void fill() {
        Fcc::FMSC_INFO_T info{};
        std::int32_t first = -1;
        if (Fcc::FMSCIF_GetInfo(cache, &info) != 0 ||
            Fcc::FMSCIF_AddFile(cache, OTHER_GUID, 0, 0, &first) != 0)
            std::abort();
        const std::vector<std::uint8_t> block(Fcc::FMSC_SEGMENT_SIZE, 5);
        for (std::int32_t i = 0; i < std::int32_t(info.totalSegments); ++i) {
            if (Fcc::FMSCIF_WriteBlock(cache, &first, i, block.data(), std::int32_t(block.size())))
                std::abort();
        }
    }

    static constexpr int BYTES = 16 * 1024 * 1024;
    std::string folder;
    std::unique_ptr<Quillomark::Testing::FakeFccServer> server;
    Fcc::FMSC_FILETOC_T* cache = nullptr;
    std::vector<std::uint8_t> source;
    char guid[40] = "0123456789ABCDEF0123456789ABCDEF";
    FccFile file{};
};

// 1 MB reads through the whole file.
void clientReads(benchmark::State& state, bool evicting) {
    ServedCache served(evicting);
    std::vector<std::uint8_t> into(1024 * 1024);
    againstBaseline(
        state,
        [&] {
            for (int at = 0; at < ServedCache::BYTES; at += int(into.size())) {
                std::memcpy(into.data(), served.source.data() + at, into.size());
                benchmark::DoNotOptimize(into.data());
            }
        },
        [&] {
            for (int at = 0; at < ServedCache::BYTES; at += int(into.size())) {
                served.file.server.position = at;
                if (Fcc::FmscReadBytes(&served.file, into.data(), int(into.size())) !=
                    int(into.size()))
                    std::abort();
            }
        });
    state.SetBytesProcessed(state.iterations() * std::int64_t(ServedCache::BYTES));
}

// Small reads, 64 bytes each at scattered places of the file, against bare
// 64-byte preads of a file of the same size in the page cache: what a read
// costs beyond its one system call (the cache's lock, its checks, the
// lookup).
void smallClientReads(benchmark::State& state, bool evicting) {
    ServedCache served(evicting);
    const std::string plain = served.folder + "/plain";
    const int fd = ::open(plain.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || ::pwrite(fd, served.source.data(), served.source.size(), 0) !=
                      ssize_t(served.source.size()))
        std::abort();
    constexpr int READS = 1000;
    constexpr int SIZE = 64;
    std::vector<std::int64_t> places(READS);
    for (int i = 0; i < READS; ++i)
        places[std::size_t(i)] = (std::int64_t(i) * 7919 * 4099) % (ServedCache::BYTES - SIZE);
    std::uint8_t into[SIZE];
    againstBaseline(
        state,
        [&] {
            for (const std::int64_t at : places) {
                if (::pread(fd, into, SIZE, at) != SIZE) std::abort();
                benchmark::DoNotOptimize(into);
            }
        },
        [&] {
            for (const std::int64_t at : places) {
                served.file.server.position = at;
                if (Fcc::FmscReadBytes(&served.file, into, SIZE) != SIZE) std::abort();
                benchmark::DoNotOptimize(into);
            }
        });
    ::close(fd);
    state.SetItemsProcessed(state.iterations() * READS);
}

// A case's name on a store: "<what><store's suffix>/<size>".
std::string named(const char* what, const Store& store, const char* size) {
    return std::string(what) + store.suffix + "/" + size;
}

void cases(Rounds& rounds) {
    using Order = FilledCache::Order;
    for (const Store& store : STORES) {
        const bool e = store.evicting;
        auto add = [&](const char* what, const char* size, Rounds::Body body) {
            rounds.add(named(what, store, size), std::move(body), Rounds::Timing::Manual);
        };
        add("client reads of a served file", "16MB",
            [e](benchmark::State& state) { clientReads(state, e); });
        add("small client reads", "64B",
            [e](benchmark::State& state) { smallClientReads(state, e); });
        for (const std::int32_t megabytes : {16, 256}) {
            const std::string size = std::to_string(megabytes) + "MB";
            add("cached file read", size.c_str(),
                [=](benchmark::State& state) { readCachedFile(state, megabytes, e); });
            add("cached file write", size.c_str(),
                [=](benchmark::State& state) { writeCachedFile(state, megabytes, e); });
            add("random overwrites", size.c_str(),
                [=](benchmark::State& state) { overwriteCachedFile(state, megabytes, e); });
        }
        add("cached files written in turns", "256MB", [e](benchmark::State& state) {
            writeCachedFileOutOfOrder(state, Order::TwoInTurns, e);
        });
        add("cached file written last block first", "256MB", [e](benchmark::State& state) {
            writeCachedFileOutOfOrder(state, Order::LastFirst, e);
        });
        add("cached file written into extent files", "16MB",
            [e](benchmark::State& state) { writeIntoExtentFiles(state, e); });
    }
    for (const std::int32_t megabytes : {16, 256}) {
        const std::string size = "/" + std::to_string(megabytes) + "MB";
        rounds.add(
            "writes into a store that evicts, in order" + size,
            [=](benchmark::State& state) {
                writeIntoAStoreThatEvicts(state, megabytes, Order::Forwards);
            },
            Rounds::Timing::Manual);
        rounds.add(
            "writes into a store that evicts, at random" + size,
            [=](benchmark::State& state) {
                writeIntoAStoreThatEvicts(state, megabytes, Order::Random);
            },
            Rounds::Timing::Manual);
    }
    rounds.add("block pwrites into a file/16MB", writeThroughTheKernel, Rounds::Timing::Manual);
}

// The ratio of a case over its copy of the bytes on a 256 MB file over that
// on a 16 MB one, in the same rounds: how the cache's time per block grows
// with the size of the file beyond the copy's, which carries what the
// processor's caches make of the larger file (a copy of 256 MB costs 1.9
// times one of 16 MB a block where measured).
double growth(const RoundRecorder& runs, const char* what, const Store& store) {
    return runs.medianCounterRatio(named(what, store, "256MB"), named(what, store, "16MB"),
                                   "ratio");
}

void figures(const RoundRecorder& runs, FigureTable& table) {
    for (const Store& store : STORES) {
        // A figure of a case on this store, named with the store.
        const std::string on = store.evicting ? ", store that evicts" : "";
        auto has = [&](const char* what, const char* size) {
            return runs.has(named(what, store, size));
        };
        auto ratio = [&](const char* what, const char* size) {
            return runs.medianCounter(named(what, store, size), "ratio");
        };
        auto atMost = [&](const std::string& name, double value, double budget) {
            table.add(Figure::atMost(name + on, value, "x", budget));
        };
        // A case over its baseline, when it ran.
        auto over = [&](const char* name, const char* what, const char* size, double budget) {
            if (has(what, size)) atMost(name, ratio(what, size), budget);
        };
        // A client reads each block from the file that holds it, into the
        // thread's buffer and on to the caller: a read and a copy. A small
        // read takes the cache's lock, checks that the cache is still whole
        // and the server's, finds the block and reads the bytes from the
        // file that holds them: a few times the one read.
        over("client reads from the server's fast cache / memcpy, 16 MB",
             "client reads of a served file", "16MB", 5.0);
        over("small client reads from the fast cache / pread, 64 B", "small client reads", "64B",
             4.0);
        if (has("cached file write", "16MB") && has("cached file write", "256MB")) {
            atMost("fast-cache block writes / memcpy, 16 MB file",
                   ratio("cached file write", "16MB"), 2.0);
            // A block is looked for among those the file holds before it is
            // written: time per block may not grow much with the file's size.
            atMost("fast-cache writes / memcpy, 256 MB over 16 MB file",
                   growth(runs, "cached file write", store), 2.0);
        }
        // A block the file holds is found without a walk of the file's
        // pages: written over at random, a block costs the same at any size
        // of the file. Each over its copy in the same order (a random copy
        // of 256 MB costs twice one of 16 MB a block on one machine).
        if (has("random overwrites", "16MB") && has("random overwrites", "256MB")) {
            atMost("fast-cache random overwrites per block, 256 MB / 16 MB file",
                   growth(runs, "random overwrites", store), 1.5);
        }
        // Whatever other file is written in between and in whatever order a
        // file's blocks come, a write finds the block and a page with room
        // without a walk of the file's pages.
        over("fast-cache writes, two files in turns / one in order, 256 MB",
             "cached files written in turns", "256MB", 1.5);
        over("fast-cache writes, last block first / in order, 256 MB",
             "cached file written last block first", "256MB", 1.5);
        // An extent file's block is written as the segment file's is: a copy
        // into the page cache, not a view mapped for each block.
        over("fast-cache block writes, extent files / segment file, 16 MB",
             "cached file written into extent files", "16MB", 2.0);
        if (has("cached file read", "16MB") && has("cached file read", "256MB")) {
            // A reader may take twice as long as a bare copy of the bytes,
            // at either size; and its time may not grow much with the
            // file's size beyond the copy's, which carries what the memory's
            // caches make of the larger file.
            atMost("fast-cache block reads / memcpy, 16 MB file", ratio("cached file read", "16MB"),
                   2.0);
            atMost("fast-cache block reads / memcpy, 256 MB file",
                   ratio("cached file read", "256MB"), 2.0);
            atMost("fast-cache reads / memcpy, 256 MB over 16 MB file",
                   growth(runs, "cached file read", store), 2.0);
        }
    }
    // A block that takes the segment of a block evicted for it costs little
    // more than one written into a store with segments free: the eviction
    // takes the page's blocks out of what the writer knows of the file, and
    // no write walks the file's pages for it.
    for (const char* order : {"in order", "at random"}) {
        for (const std::int32_t megabytes : {16, 256}) {
            const std::string name = std::string("writes into a store that evicts, ") + order +
                                     "/" + std::to_string(megabytes) + "MB";
            if (!runs.has(name)) continue;
            table.add(Figure::atMost(
                std::string("fast-cache writes, store that evicts / one that holds the file, ") +
                    order + ", " + std::to_string(megabytes) + " MB",
                runs.medianCounter(name, "ratio"), "x", 1.5));
        }
    }
    if (runs.has("block pwrites into a file/16MB")) {
        table.add(Figure::reference("16 KB pwrites into a file / memcpys into its mapping, 16 MB",
                                    runs.medianCounter("block pwrites into a file/16MB", "ratio"),
                                    "x"));
    }
}

}  // namespace

int main(int argc, char** argv) { return run(argc, argv, Program{cases, figures, 3, 0.2}); }
