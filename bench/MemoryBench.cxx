// Heap held by the client object store per loaded property, at 5,000 objects
// of 30 properties: the live heap after a load (node tree and wire values
// already freed) less the live heap before it. The figure counts what
// malloc hands out, chunk overhead included, so that memory the library
// takes without operator new is counted too.
//
// Beside it, the heap blocks that each stage of the road asks for, per
// property: the node tree, the wire values read from it, and the load into
// the store. Every malloc, calloc and realloc of the process is counted,
// the XML parser's own included.
//
// The heap that a schema of 50,000 types takes in a model manager, per type.
//
// And the cost of a 100 MB reply whose XML declaration follows "<?xml" with
// a line break, against the same reply with a blank there: the time of the
// parse into a node tree, and the highest heap it holds on the way.
#include "bench/support/LoadedReply.hxx"
#include "bench/support/ReplyDocuments.hxx"
#include "bench/support/Rounds.hxx"

#include <soa/common/SAXToNodeParser.hxx>
#include <soa/schemas/base/ServiceData.hxx>

#include <malloc.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <string>
#include <string_view>

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* block, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* block);
}

namespace {

std::atomic<std::size_t> heapRequests{0};
// The bytes of the blocks handed out and not yet freed, and their highest
// count since it was last reset (signed: a block that the C library made
// without these functions is freed through them all the same).
std::atomic<long long> heapLive{0};
std::atomic<long long> heapPeak{0};

void* handedOut(void* block) {
    if (block) {
        const auto size = static_cast<long long>(malloc_usable_size(block));
        const long long now = heapLive.fetch_add(size, std::memory_order_relaxed) + size;
        long long peak = heapPeak.load(std::memory_order_relaxed);
        while (now > peak &&
               !heapPeak.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
        }
    }
    return block;
}

void takenBack(void* block) {
    if (block) {
        heapLive.fetch_sub(static_cast<long long>(malloc_usable_size(block)),
                           std::memory_order_relaxed);
    }
}

}  // namespace

// The program's own allocation functions, in front of glibc's.
extern "C" void* malloc(std::size_t size) {
    heapRequests.fetch_add(1, std::memory_order_relaxed);
    return handedOut(__libc_malloc(size));
}
extern "C" void* calloc(std::size_t count, std::size_t size) {
    heapRequests.fetch_add(1, std::memory_order_relaxed);
    return handedOut(__libc_calloc(count, size));
}
extern "C" void* realloc(void* block, std::size_t size) {
    heapRequests.fetch_add(1, std::memory_order_relaxed);
    const auto before = static_cast<long long>(block ? malloc_usable_size(block) : 0);
    void* moved = __libc_realloc(block, size);
    // Null with a size: the old block is still there.
    if (moved || size == 0) heapLive.fetch_sub(before, std::memory_order_relaxed);
    return handedOut(moved);
}
// Aligned blocks are counted in the live heap only (they are freed through
// free).
extern "C" void* aligned_alloc(std::size_t alignment, std::size_t size) {
    return handedOut(__libc_memalign(alignment, size));
}
extern "C" void* memalign(std::size_t alignment, std::size_t size) {
    return aligned_alloc(alignment, size);
}
extern "C" int posix_memalign(void** block, std::size_t alignment, std::size_t size) {
    if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0) return EINVAL;
    void* made = aligned_alloc(alignment, size);
    if (!made && size != 0) return ENOMEM;
    *block = made;
    return 0;
}
extern "C" void free(void* block) {
    takenBack(block);
    __libc_free(block);
}

namespace {

using namespace Quillomark::Bench;
namespace Base = Quillomark::Schemas::Soa::_2006_03::Base;
using Quillomark::Soa::Common::Xml::SAXToNodeParser;

const int OBJECTS = 5000;
const double PROPERTIES = OBJECTS * PROPERTIES_PER_OBJECT;
const char HEAP[] = "heap after load/5000";
const char BLOCKS[] = "heap blocks/5000";
const char TYPE_HEAP[] = "heap per type/50000";
const int SCHEMA_TYPES = 50000;
const char LINE_BREAK[] = "line break after <?xml/100MB";
const std::size_t LARGE_REPLY = 100'000'000;

double liveHeapBytes() {
    const struct mallinfo2 info = mallinfo2();
    return static_cast<double>(info.uordblks + info.hblkhd);
}

void heapAfterLoad(benchmark::State& state) {
    const std::string document = replyDocument(OBJECTS);
    LoadedTypes types;
    double perProperty = 0;
    for (auto _ : state) {
        types.manager().removeAllObjectsFromStore();
        malloc_trim(0);
        const double before = liveHeapBytes();
        benchmark::DoNotOptimize(loadReply(types.manager(), document).getPlainObjs().size());
        perProperty = (liveHeapBytes() - before) / PROPERTIES;
    }
    state.counters["bytes_per_property"] = perProperty;
    state.counters["document_bytes_per_property"] =
        static_cast<double>(document.size()) / PROPERTIES;
}

// Of a flat schema: a chain takes as much.
void heapPerType(benchmark::State& state) {
    const auto schema = parseSchema(typeSchemaDocument(SCHEMA_TYPES, false));
    const auto types = static_cast<double>(schema.getTypeArray().size());
    double perType = 0;
    for (auto _ : state) {
        malloc_trim(0);
        const double before = liveHeapBytes();
        Quillomark::Soa::Client::ModelManagerImpl manager(nullptr);
        manager.loadModelSchema(schema);
        perType = (liveHeapBytes() - before) / types;
    }
    state.counters["bytes_per_type"] = perType;
}

// The heap blocks asked for while `stage` runs, per property.
template <class Stage>
double blocksPerProperty(Stage&& stage) {
    const std::size_t before = heapRequests.load(std::memory_order_relaxed);
    stage();
    return static_cast<double>(heapRequests.load(std::memory_order_relaxed) - before) / PROPERTIES;
}

// The road of loadReply, stage by stage; the second reply of a parser, as
// a session's parser sees most of its replies.
void heapBlocks(benchmark::State& state) {
    const std::string document = replyDocument(OBJECTS);
    LoadedTypes types;
    SAXToNodeParser parser;
    parser.parseString(document);
    double tree = 0, wire = 0, load = 0;
    for (auto _ : state) {
        types.manager().removeAllObjectsFromStore();
        {
            Base::ServiceData data;
            tree = blocksPerProperty([&] { parser.parseString(document); });
            wire = blocksPerProperty([&] { data.parse(parser.getRoot()); });
            load = blocksPerProperty(
                [&] { benchmark::DoNotOptimize(types.manager().loadServiceData(data)); });
        }
    }
    state.counters["tree"] = tree;
    state.counters["wire"] = wire;
    state.counters["load"] = load;
}

// The heap held at the highest point while `stage` runs, above what was
// held when it began.
template <class Stage>
double peakHeapOf(Stage&& stage) {
    const long long before = heapLive.load(std::memory_order_relaxed);
    heapPeak.store(before, std::memory_order_relaxed);
    stage();
    return static_cast<double>(heapPeak.load(std::memory_order_relaxed) - before);
}

// A reply of about `bytes` bytes, with `blank` after "<?xml".
std::string largeReply(std::size_t bytes, char blank) {
    const std::size_t perObject = replyDocument(100).size() / 100;
    std::string document = replyDocument(static_cast<int>(bytes / perObject));
    document[std::string_view("<?xml").size()] = blank;
    return document;
}

// Each side with a parser of its own, as a session's first reply.
void lineBreakAfterXml(benchmark::State& state) {
    static const std::string blank = largeReply(LARGE_REPLY, ' ');
    static const std::string lineBreak = largeReply(LARGE_REPLY, '\n');
    double blankPeak = 0, lineBreakPeak = 0;
    againstBaseline(
        state,
        [&] {
            blankPeak += peakHeapOf([&] {
                SAXToNodeParser parser;
                benchmark::DoNotOptimize(&parser.parseString(blank));
            });
        },
        [&] {
            lineBreakPeak += peakHeapOf([&] {
                SAXToNodeParser parser;
                benchmark::DoNotOptimize(&parser.parseString(lineBreak));
            });
        });
    state.counters["peak_ratio"] = lineBreakPeak / blankPeak;
    state.counters["peak_bytes"] = lineBreakPeak / static_cast<double>(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * lineBreak.size()));
}

void figures(const RoundRecorder& runs, FigureTable& table) {
    if (runs.has(HEAP)) {
        table.add(Figure::atMost("heap per loaded property, 5,000 objects",
                                 runs.medianCounter(HEAP, "bytes_per_property"), "B", 177));
        table.add(Figure::reference("reply bytes per property, 5,000 objects",
                                    runs.medianCounter(HEAP, "document_bytes_per_property"), "B"));
    }
    if (runs.has(TYPE_HEAP)) {
        table.add(Figure::atMost("heap per loaded type, 50,000 types",
                                 runs.medianCounter(TYPE_HEAP, "bytes_per_type"), "B", 288));
    }
    if (runs.has(BLOCKS)) {
        const double tree = runs.medianCounter(BLOCKS, "tree");
        const double wire = runs.medianCounter(BLOCKS, "wire");
        const double load = runs.medianCounter(BLOCKS, "load");
        const std::string each = "heap blocks per property, ";
        table.add(Figure::reference(each + "parsing: node tree", tree, "blocks"));
        table.add(Figure::reference(each + "parsing: wire values", wire, "blocks"));
        table.add(Figure::reference(each + "loading", load, "blocks"));
        // Half of the 7.70 blocks a property cost before the parser kept its
        // storage and the wire values and properties were pooled.
        table.add(Figure::atMost(each + "whole road", tree + wire + load, "blocks", 3.85));
    }
    if (runs.has(LINE_BREAK)) {
        const std::string each = "100 MB reply, line break after <?xml / blank there: ";
        table.add(Figure::atMost(each + "peak heap", runs.medianCounter(LINE_BREAK, "peak_ratio"),
                                 "x", 1.01));
        table.add(Figure::atMost(each + "parse time", runs.medianCounter(LINE_BREAK, "ratio"), "x",
                                 1.04));
        table.add(Figure::reference("100 MB reply, line break after <?xml: peak heap",
                                    runs.medianCounter(LINE_BREAK, "peak_bytes") / 1e6, "MB"));
    }
}

}  // namespace

int main(int argc, char** argv) {
    return run(argc, argv,
               Program{[](Rounds& rounds) {
                           rounds.add(HEAP, heapAfterLoad);
                           rounds.add(BLOCKS, heapBlocks);
                           rounds.add(TYPE_HEAP, heapPerType);
                           // Long enough for two iterations, so that each side
                           // runs first once.
                           rounds.add(LINE_BREAK, lineBreakAfterXml, Rounds::Timing::Manual, 1.5);
                       },
                       figures, 3});
}
