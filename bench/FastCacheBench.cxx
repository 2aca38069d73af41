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
class FilledCache {
public:
    explicit FilledCache(std::int32_t blocks, std::int32_t extentMegabytes = 0) : blocks(blocks) {
        char pattern[] = "/tmp/fastcache-bench-XXXXXX";
        if (!mkdtemp(pattern)) throw std::runtime_error("no temporary folder");
        folder = pattern;
        std::int32_t pages = blocks / Fcc::FMSC_SEGMENTS_PER_PAGE + 8;
        const std::int32_t segments = extentMegabytes > 0 ? 1 : blocks;
        const char* const name = extentMegabytes > 0 ? "bench-extents" : "bench";
        if (Fcc::FMSCIF_Open(folder.c_str(), name, pages, segments, 15, extentMegabytes, true, true,
                             0, false, &cache) != 0)
            throw std::runtime_error("cannot open the cache");
        std::vector<std::uint8_t> block(Fcc::FMSC_SEGMENT_SIZE);
        Fcc::FMSCIF_AddFile(cache, GUID, std::uint32_t(blocks) * Fcc::FMSC_SEGMENT_SIZE, 0, &first);
        for (std::int32_t i = 0; i < blocks; ++i) {
            block.assign(block.size(), std::uint8_t(i));
            if (Fcc::FMSCIF_WriteBlock(cache, &first, i, block.data(), Fcc::FMSC_SEGMENT_SIZE) != 0)
                throw std::runtime_error("cannot fill the cache");
        }
        // No two pages of the bytes alike, nor of the copies' target, which
        // is touched before any copy is timed: a copy into memory freshly
        // taken from the system, or into pages that a virtual machine's host
        // merged with others of the same bytes, pays for its pages anew.
        source.assign(std::size_t(blocks) * Fcc::FMSC_SEGMENT_SIZE, 1);
        target.assign(source.size(), 2);
        for (std::size_t at = 0; at < source.size(); at += 4096) {
            std::memcpy(source.data() + at, &at, sizeof at);
            std::memcpy(target.data() + at, &at, sizeof at);
        }
        std::mt19937 random(7);
        for (std::int32_t i = 0; i < blocks; ++i) shuffled.push_back(i);
        std::shuffle(shuffled.begin(), shuffled.end(), random);
    }
    ~FilledCache() {
        Fcc::FMSCIF_Close(&cache);
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }

    void readAll(std::uint8_t* buffer) {
        for (std::int32_t i = 0; i < blocks; ++i) {
            std::int32_t length = 0;
            Fcc::FMSCIF_ReadBlock(cache, first, i, buffer, &length);
            benchmark::DoNotOptimize(length);
        }
    }

    // The order in which writeAll writes the blocks: one file in order, one
    // file last block first, or two files of half the blocks each in turns.
    enum class Order { Forwards, LastFirst, TwoInTurns };

    // The files taken out of the cache, added anew and written block by
    // block again: each write is of a block the file does not hold.
    void writeAll(Order order = Order::Forwards) {
        const char* const guids[2] = {GUID, OTHER_GUID};
        const int files = order == Order::TwoInTurns ? 2 : 1;
        const std::int32_t each = blocks / files;
        std::int32_t firsts[2] = {-1, -1};
        for (int f = 0; f < 2; ++f) {
            std::int64_t size = 0;
            std::int32_t found = -1;
            const bool taken = Fcc::FMSCIF_FindFile(cache, guids[f], &size, &found) == 0 &&
                               (found == -1 || Fcc::FMSCIF_DeleteFile(cache, guids[f]) == 0);
            if (!taken ||
                (f < files &&
                 Fcc::FMSCIF_AddFile(cache, guids[f], std::uint32_t(each) * Fcc::FMSC_SEGMENT_SIZE,
                                     0, &firsts[f]) != 0))
                throw std::runtime_error("cannot add the file again");
        }
        for (std::int32_t i = 0; i < blocks; ++i) {
            const int f = i % files;
            const std::int32_t block = order == Order::LastFirst ? blocks - 1 - i : i / files;
            const std::uint8_t* bytes = source.data() + std::size_t(i) * Fcc::FMSC_SEGMENT_SIZE;
            if (Fcc::FMSCIF_WriteBlock(cache, &firsts[f], block, bytes, Fcc::FMSC_SEGMENT_SIZE) !=
                0)
                throw std::runtime_error("cannot write the file again");
        }
        first = firsts[0];
    }

    // Each block written over where the file holds it, in a random order.
    void overwriteAll() {
        for (const std::int32_t block : shuffled) {
            const std::uint8_t* bytes = source.data() + std::size_t(block) * Fcc::FMSC_SEGMENT_SIZE;
            if (Fcc::FMSCIF_WriteBlock(cache, &first, block, bytes, Fcc::FMSC_SEGMENT_SIZE) != 0)
                throw std::runtime_error("cannot write the file over");
        }
    }

    // The file's bytes copied block by block into memory of the file's
    // size, in order or in overwriteAll's order.
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
    std::string folder;
    Fcc::FMSC_FILETOC_T* cache = nullptr;
    std::int32_t first = -1;
    std::vector<std::uint8_t> source;
    std::vector<std::uint8_t> target;
    std::vector<std::int32_t> shuffled;
};

void readCachedFile(benchmark::State& state, std::int32_t megabytes) {
    FilledCache cache(megabytes * 64);
    std::vector<std::uint8_t> buffer(Fcc::FMSC_SEGMENT_SIZE);
    againstBaseline(
        state, [&] { cache.copyAll(buffer.data()); }, [&] { cache.readAll(buffer.data()); });
    state.SetBytesProcessed(state.iterations() * std::int64_t(megabytes) * 1024 * 1024);
}

void writeCachedFile(benchmark::State& state, std::int32_t megabytes) {
    FilledCache cache(megabytes * 64);
    againstBaseline(
        state, [&] { cache.copyInAll(); }, [&] { cache.writeAll(); });
    state.SetBytesProcessed(state.iterations() * std::int64_t(megabytes) * 1024 * 1024);
}

// Every block of the file written over, in a random order, against copies
// of its blocks in that order.
void overwriteCachedFile(benchmark::State& state, std::int32_t megabytes) {
    FilledCache cache(megabytes * 64);
    againstBaseline(
        state, [&] { cache.copyInAll(true); }, [&] { cache.overwriteAll(); });
    state.SetItemsProcessed(state.iterations() * std::int64_t(cache.blocks));
}

// The same blocks written in another order, against one file written in
// order, in the same cache.
void writeCachedFileOutOfOrder(benchmark::State& state, FilledCache::Order order) {
    FilledCache cache(256 * 64);
    againstBaseline(
        state, [&] { cache.writeAll(); }, [&] { cache.writeAll(order); });
    state.SetBytesProcessed(state.iterations() * std::int64_t(256) * 1024 * 1024);
}

// The same file written into extent files, against the segment file: the
// blocks of every store beyond the segment file's 65,535 segments go there.
void writeIntoExtentFiles(benchmark::State& state) {
    FilledCache segmentFile(16 * 64);
    FilledCache extentFiles(16 * 64, 32);
    againstBaseline(
        state, [&] { segmentFile.writeAll(); }, [&] { extentFiles.writeAll(); });
    state.SetBytesProcessed(state.iterations() * std::int64_t(16) * 1024 * 1024);
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
// file of 16 MB, and a client record of that file.
struct ServedCache {
    ServedCache() {
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

    static constexpr int BYTES = 16 * 1024 * 1024;
    std::string folder;
    std::unique_ptr<Quillomark::Testing::FakeFccServer> server;
    Fcc::FMSC_FILETOC_T* cache = nullptr;
    std::vector<std::uint8_t> source;
    char guid[40] = "0123456789ABCDEF0123456789ABCDEF";
    FccFile file{};
};

// 1 MB reads through the whole file.
void clientReads(benchmark::State& state) {
    ServedCache served;
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
void smallClientReads(benchmark::State& state) {
    ServedCache served;
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

void cases(Rounds& rounds) {
    rounds.add("client reads of a served file/16MB", clientReads, Rounds::Timing::Manual);
    rounds.add("small client reads/64B", smallClientReads, Rounds::Timing::Manual);
    rounds.add(
        "cached file read/16MB", [](benchmark::State& state) { readCachedFile(state, 16); },
        Rounds::Timing::Manual);
    rounds.add(
        "cached file read/256MB", [](benchmark::State& state) { readCachedFile(state, 256); },
        Rounds::Timing::Manual);
    rounds.add(
        "cached file write/16MB", [](benchmark::State& state) { writeCachedFile(state, 16); },
        Rounds::Timing::Manual);
    rounds.add(
        "cached file write/256MB", [](benchmark::State& state) { writeCachedFile(state, 256); },
        Rounds::Timing::Manual);
    rounds.add(
        "random overwrites/16MB", [](benchmark::State& state) { overwriteCachedFile(state, 16); },
        Rounds::Timing::Manual);
    rounds.add(
        "random overwrites/256MB", [](benchmark::State& state) { overwriteCachedFile(state, 256); },
        Rounds::Timing::Manual);
    rounds.add(
        "cached files written in turns/256MB",
        [](benchmark::State& state) {
            writeCachedFileOutOfOrder(state, FilledCache::Order::TwoInTurns);
        },
        Rounds::Timing::Manual);
    rounds.add(
        "cached file written last block first/256MB",
        [](benchmark::State& state) {
            writeCachedFileOutOfOrder(state, FilledCache::Order::LastFirst);
        },
        Rounds::Timing::Manual);
    rounds.add("cached file written into extent files/16MB", writeIntoExtentFiles,
               Rounds::Timing::Manual);
    rounds.add("block pwrites into a file/16MB", writeThroughTheKernel, Rounds::Timing::Manual);
}

// The time per megabyte of the cache's own work on a 256 MB file over that
// on a 16 MB one, in the same rounds. Not each over its copy of the bytes:
// a copy into memory freshly taken from the system after a large block was
// given back can run at a third of its speed on one machine (seen on a
// virtual one, the 16 MB copy 3 times slower per megabyte than the 256 MB
// one), which would make the cache's growth look threefold.
double perMegabyte(const RoundRecorder& runs, const std::string& large, const std::string& small) {
    return runs.medianRatio(large, small) / 16;
}

void figures(const RoundRecorder& runs, FigureTable& table) {
    if (runs.has("client reads of a served file/16MB")) {
        // A client reads each block from the file that holds it, into the
        // thread's buffer and on to the caller: a read and a copy.
        table.add(Figure::atMost("client reads from the server's fast cache / memcpy, 16 MB",
                                 runs.medianCounter("client reads of a served file/16MB", "ratio"),
                                 "x", 5.0));
    }
    if (runs.has("small client reads/64B")) {
        // A small read takes the cache's lock, checks that the cache is
        // still whole and the server's, finds the block and reads the bytes
        // from the file that holds them: a few times the one read.
        table.add(Figure::atMost("small client reads from the fast cache / pread, 64 B",
                                 runs.medianCounter("small client reads/64B", "ratio"), "x", 4.0));
    }
    if (runs.has("cached file write/16MB") && runs.has("cached file write/256MB")) {
        table.add(Figure::atMost("fast-cache block writes / memcpy, 16 MB file",
                                 runs.medianCounter("cached file write/16MB", "ratio"), "x", 2.0));
        // A block is looked for among those the file holds before it is
        // written: time per megabyte may not grow much with the file's size.
        table.add(Figure::atMost(
            "fast-cache writes per MB, 256 MB / 16 MB file",
            perMegabyte(runs, "cached file write/256MB", "cached file write/16MB"), "x", 2.0));
    }
    // A block the file holds is found without a walk of the file's pages:
    // written over at random, a block costs the same at any size of the
    // file. Each over its copy in the same order, which carries what the
    // memory's caches make of the larger file (a random copy of 256 MB
    // costs twice one of 16 MB a block on one machine).
    if (runs.has("random overwrites/16MB") && runs.has("random overwrites/256MB")) {
        table.add(Figure::atMost(
            "fast-cache random overwrites per block, 256 MB / 16 MB file",
            runs.medianCounterRatio("random overwrites/256MB", "random overwrites/16MB", "ratio"),
            "x", 1.5));
    }
    // Whatever other file is written in between and in whatever order a
    // file's blocks come, a write finds the block and a page with room
    // without a walk of the file's pages.
    if (runs.has("cached files written in turns/256MB")) {
        table.add(Figure::atMost("fast-cache writes, two files in turns / one in order, 256 MB",
                                 runs.medianCounter("cached files written in turns/256MB", "ratio"),
                                 "x", 1.5));
    }
    if (runs.has("cached file written last block first/256MB")) {
        table.add(Figure::atMost(
            "fast-cache writes, last block first / in order, 256 MB",
            runs.medianCounter("cached file written last block first/256MB", "ratio"), "x", 1.5));
    }
    if (runs.has("cached file written into extent files/16MB")) {
        // An extent file's block is written as the segment file's is: a
        // copy into the page cache, not a view mapped for each block.
        table.add(Figure::atMost(
            "fast-cache block writes, extent files / segment file, 16 MB",
            runs.medianCounter("cached file written into extent files/16MB", "ratio"), "x", 2.0));
    }
    if (runs.has("block pwrites into a file/16MB")) {
        table.add(Figure::reference("16 KB pwrites into a file / memcpys into its mapping, 16 MB",
                                    runs.medianCounter("block pwrites into a file/16MB", "ratio"),
                                    "x"));
    }
    if (!runs.has("cached file read/16MB") || !runs.has("cached file read/256MB")) return;
    // A reader may take twice as long as a bare copy of the bytes.
    table.add(Figure::atMost("fast-cache block reads / memcpy, 16 MB file",
                             runs.medianCounter("cached file read/16MB", "ratio"), "x", 2.0));
    // Time per megabyte may not grow much with the file's size.
    table.add(Figure::atMost("fast-cache reads per MB, 256 MB / 16 MB file",
                             perMegabyte(runs, "cached file read/256MB", "cached file read/16MB"),
                             "x", 2.0));
}

}  // namespace

int main(int argc, char** argv) { return run(argc, argv, Program{cases, figures, 3, 0.2}); }
