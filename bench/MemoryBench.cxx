// Heap held by the client object store per loaded property, at 5,000 objects
// of 30 properties: the live heap after a load (node tree and wire values
// already freed) less the live heap before it. The figure counts what
// malloc hands out, chunk overhead included, so that memory the library
// takes without operator new is counted too.
#include "bench/support/LoadedReply.hxx"
#include "bench/support/ReplyDocuments.hxx"
#include "bench/support/Rounds.hxx"

#include <malloc.h>

namespace {

using namespace Quillomark::Bench;

const int OBJECTS = 5000;
const char CASE[] = "heap after load/5000";

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
        perProperty = (liveHeapBytes() - before) / (OBJECTS * PROPERTIES_PER_OBJECT);
    }
    state.counters["bytes_per_property"] = perProperty;
    state.counters["document_bytes_per_property"] =
        static_cast<double>(document.size()) / (OBJECTS * PROPERTIES_PER_OBJECT);
}

void figures(const RoundRecorder& runs, FigureTable& table) {
    if (!runs.has(CASE)) return;
    table.add(Figure::atMost("heap per loaded property, 5,000 objects",
                             runs.medianCounter(CASE, "bytes_per_property"), "B", 350));
    table.add(Figure::reference("reply bytes per property, 5,000 objects",
                                runs.medianCounter(CASE, "document_bytes_per_property"), "B"));
}

}  // namespace

int main(int argc, char** argv) {
    return run(argc, argv,
               Program{[](Rounds& rounds) { rounds.add(CASE, heapAfterLoad); }, figures, 3});
}
