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
#include "bench/support/LoadedReply.hxx"
#include "bench/support/ReplyDocuments.hxx"
#include "bench/support/Rounds.hxx"

#include <soa/common/SAXToNodeParser.hxx>
#include <soa/schemas/base/ServiceData.hxx>

#include <malloc.h>

#include <atomic>
#include <cstddef>

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* block, std::size_t size);
void __libc_free(void* block);
}

namespace {

std::atomic<std::size_t> heapRequests{0};

}  // namespace

// The program's own allocation functions, in front of glibc's.
extern "C" void* malloc(std::size_t size) {
    heapRequests.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}
extern "C" void* calloc(std::size_t count, std::size_t size) {
    heapRequests.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, size);
}
extern "C" void* realloc(void* block, std::size_t size) {
    heapRequests.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(block, size);
}
extern "C" void free(void* block) { __libc_free(block); }

namespace {

using namespace Quillomark::Bench;
namespace Base = Quillomark::Schemas::Soa::_2006_03::Base;
using Quillomark::Soa::Common::Xml::SAXToNodeParser;

const int OBJECTS = 5000;
const double PROPERTIES = OBJECTS * PROPERTIES_PER_OBJECT;
const char HEAP[] = "heap after load/5000";
const char BLOCKS[] = "heap blocks/5000";

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

void figures(const RoundRecorder& runs, FigureTable& table) {
    if (runs.has(HEAP)) {
        table.add(Figure::atMost("heap per loaded property, 5,000 objects",
                                 runs.medianCounter(HEAP, "bytes_per_property"), "B", 177));
        table.add(Figure::reference("reply bytes per property, 5,000 objects",
                                    runs.medianCounter(HEAP, "document_bytes_per_property"), "B"));
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
}

}  // namespace

int main(int argc, char** argv) {
    return run(argc, argv,
               Program{[](Rounds& rounds) {
                           rounds.add(HEAP, heapAfterLoad);
                           rounds.add(BLOCKS, heapBlocks);
                       },
                       figures, 3});
}
