// The road of a reply into the client object store, each run side by side
// with a bare SAX2 parse of the same bytes, and again with libxml2's DOM
// parse of them, for replies of 1,000, 5,000 and 20,000 objects; typed
// reads of the loaded objects; the loading of a schema, and the linking of
// a deep chain of types, links and objects at its foot.
#include "bench/support/Baselines.hxx"
#include "bench/support/LoadedReply.hxx"
#include "bench/support/ReplyDocuments.hxx"
#include "bench/support/Rounds.hxx"

#include <soa/client/model/ItemRevision.hxx>
#include <soa/schemas/base/ModelObject.hxx>
#include <soa/schemas/base/ModelSchema.hxx>

#include <map>
#include <vector>

namespace {

using namespace Quillomark::Bench;
using Quillomark::Soa::Client::Model::ItemRevision;
using Quillomark::Soa::Common::Xml::SAXToNodeParser;

const int SIZES[] = {1000, 5000, 20000};
const int READ_SIZE = 5000;

const std::string& document(int objects) {
    static std::map<int, std::string> documents;
    std::string& text = documents[objects];
    if (text.empty()) text = replyDocument(objects);
    return text;
}

std::string sized(const char* name, int objects) { return name + ("/" + std::to_string(objects)); }

// One reply through the whole road: parse, wire values, load, and tear it
// all down (the wire values when loadReply returns, the objects when the
// store is emptied, the tree when the session's parser reads its next
// reply into the same storage).
void throughThePipeline(LoadedTypes& types, SAXToNodeParser& parser, const std::string& text) {
    benchmark::DoNotOptimize(loadReply(types.manager(), parser, text).getPlainObjs().size());
    types.manager().removeAllObjectsFromStore();
}

// Each run follows a bare parse of the same bytes.
void pipeline(benchmark::State& state, int objects) {
    const std::string& text = document(objects);
    BareSaxParser bare;
    LoadedTypes types;
    SAXToNodeParser parser;
    againstBaseline(
        state, [&] { bare.parse(text); }, [&] { throughThePipeline(types, parser, text); });
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

// The largest reply against as many of the smallest as make up the same
// number of objects, through the same road: the ratio is that of the times
// per object.
template <class Road>
void scalingOf(benchmark::State& state, Road road) {
    const std::string& small = document(SIZES[0]);
    const std::string& large = document(SIZES[2]);
    againstBaseline(
        state,
        [&] {
            for (int i = 0; i < SIZES[2] / SIZES[0]; ++i) road(small);
        },
        [&] { road(large); });
}

void scaling(benchmark::State& state) {
    LoadedTypes types;
    SAXToNodeParser parser;
    scalingOf(state, [&](const std::string& text) { throughThePipeline(types, parser, text); });
}

// The same for libxml2's DOM, a tree built in one linear pass: what the
// time per object of any road that keeps what it reads gains from the size
// of the reply alone. The tree and objects of 1,000 objects stay in the
// processor's caches and those of 20,000 do not, which costs a DOM parse
// 1.21-1.39 times the time per object, and a bare SAX2 parse, which keeps
// nothing, 1.00; the pipeline's growth is held against the DOM's.
void scalingOfDom(benchmark::State& state) {
    scalingOf(state,
              [](const std::string& text) { benchmark::DoNotOptimize(parseWithLibxml2(text)); });
}

// The same road against libxml2's DOM parse of the same bytes, what a
// client written by hand would most likely do, side by side.
void againstLibxml2(benchmark::State& state, int objects) {
    const std::string& text = document(objects);
    LoadedTypes types;
    SAXToNodeParser parser;
    againstBaseline(
        state, [&] { benchmark::DoNotOptimize(parseWithLibxml2(text)); },
        [&] { throughThePipeline(types, parser, text); });
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

std::vector<ItemRevision*> revisions(const Quillomark::Soa::Client::ServiceData& data) {
    std::vector<ItemRevision*> typed;
    for (auto* object : data.getPlainObjs()) typed.push_back(dynamic_cast<ItemRevision*>(object));
    return typed;
}

// One typed read of an integer property per object, on objects that were
// read before: the conversion is done, the read finds the kept value.
void convertedRead(benchmark::State& state) {
    LoadedTypes types;
    const std::vector<ItemRevision*> objects =
        revisions(loadReply(types.manager(), document(READ_SIZE)));
    long sum = 0;
    for (ItemRevision* object : objects) sum += object->get_revision_number();
    for (auto _ : state) {
        for (ItemRevision* object : objects) sum += object->get_revision_number();
    }
    benchmark::DoNotOptimize(sum);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * objects.size()));
}

// The first typed read of the same property on freshly loaded objects: it
// converts the text.
void firstRead(benchmark::State& state) {
    LoadedTypes types;
    long sum = 0;
    std::size_t reads = 0;
    for (auto _ : state) {
        state.PauseTiming();
        types.manager().removeAllObjectsFromStore();
        const std::vector<ItemRevision*> objects =
            revisions(loadReply(types.manager(), document(READ_SIZE)));
        state.ResumeTiming();
        for (ItemRevision* object : objects) sum += object->get_revision_number();
        reads += objects.size();
    }
    benchmark::DoNotOptimize(sum);
    state.SetItemsProcessed(static_cast<int64_t>(reads));
}

namespace Base = Quillomark::Schemas::Soa::_2006_03::Base;
using Quillomark::Soa::Client::ModelManagerImpl;

Base::ModelType modelType(const std::string& name, const std::string& parent) {
    Base::ModelType type;
    type.setName(name);
    type.setUid("TYPE::" + name);
    if (!parent.empty()) type.setParentTypeName(parent);
    return type;
}

Base::ModelSchema typeSchema(int count, bool chain) {
    return parseSchema(typeSchemaDocument(count, chain));
}

// A schema of SCHEMA_TYPES types that form one chain against one of as many
// types under a single root: linking the chain costs what linking the flat
// hierarchy does, but for the looking up of its many parent names. (A walk
// up to the root for each link made the chain cost some 300 times as much.)
const int SCHEMA_TYPES = 50000;

void typeChain(benchmark::State& state) {
    const auto flat = typeSchema(SCHEMA_TYPES, false);
    const auto chain = typeSchema(SCHEMA_TYPES, true);
    againstBaseline(
        state, [&] { ModelManagerImpl(nullptr).loadModelSchema(flat); },
        [&] { ModelManagerImpl(nullptr).loadModelSchema(chain); });
}

// The load of a flat schema of SCHEMA_TYPES types into a new manager, and
// the manager's end, against a bare SAX2 parse of the schema's document:
// what the types cost beyond reading their bytes. The chain costs this
// times the figure above.
void schemaLoading(benchmark::State& state) {
    const std::string text = typeSchemaDocument(SCHEMA_TYPES, false);
    const auto schema = parseSchema(text);
    BareSaxParser bare;
    againstBaseline(
        state, [&] { bare.parse(text); },
        [&] { ModelManagerImpl(nullptr).loadModelSchema(schema); });
}

// What a link and an object cost at the foot of a chain of CHAIN_TYPES
// types, against the same at the foot of a flat schema of as many, whose
// Level0 is two below ItemRevision.
const int CHAIN_TYPES = 20000;

template <class Work>
void atTheFoot(benchmark::State& state, Work work) {
    ModelManagerImpl flat(nullptr), chain(nullptr);
    flat.loadModelSchema(typeSchema(CHAIN_TYPES, false));
    chain.loadModelSchema(typeSchema(CHAIN_TYPES, true));
    againstBaseline(
        state, [&] { work(flat); }, [&] { work(chain); });
}

// Later schemas move the foot between its parent and the type above that,
// and each gives it a new child. (Each link that moved a type made the
// next link walk the whole chain: 2,000 pairs on a chain of 20,000 took
// 3.9 s.)
void linksAtTheFoot(benchmark::State& state) {
    int children = 0;
    atTheFoot(state, [&](ModelManagerImpl& manager) {
        for (int pair = 0; pair < 500; ++pair) {
            Base::ModelSchema moved, added;
            moved.addType(modelType("Level0", pair % 2 == 0 ? "Level2" : "Level1"));
            manager.loadModelSchema(moved);
            added.addType(modelType("Child" + std::to_string(children++), "Level0"));
            manager.loadModelSchema(added);
        }
    });
}

// Objects of Level0, whose class is ItemRevision's. (The factory was looked
// for type by type up the chain: 5,000 objects 20,000 deep took 7 s.)
void objectsAtTheFoot(benchmark::State& state) {
    std::vector<Base::ModelObject> objects(5000);
    for (std::size_t i = 0; i < objects.size(); ++i) {
        objects[i].setUid("BOM::" + std::to_string(i));
        objects[i].setType("Level0");
    }
    atTheFoot(state, [&](ModelManagerImpl& manager) {
        benchmark::DoNotOptimize(manager.loadObjectData(objects).size());
        manager.removeAllObjectsFromStore();
    });
}

void cases(Rounds& rounds) {
    for (int objects : SIZES) {
        rounds.add(
            sized("pipeline", objects), [objects](benchmark::State& s) { pipeline(s, objects); },
            Rounds::Timing::Manual);
        rounds.add(
            sized("pipeline against libxml2 DOM", objects),
            [objects](benchmark::State& s) { againstLibxml2(s, objects); }, Rounds::Timing::Manual);
    }
    rounds.add("pipeline scaling", scaling, Rounds::Timing::Manual);
    rounds.add("libxml2 DOM scaling", scalingOfDom, Rounds::Timing::Manual);
    rounds.add(sized("converted read", READ_SIZE), convertedRead);
    // Each iteration loads a reply untimed: a short timed total keeps the
    // case's run short.
    rounds.add(sized("first read", READ_SIZE), firstRead, Rounds::Timing::Real, 0.02);
    rounds.add("type chain", typeChain, Rounds::Timing::Manual);
    rounds.add("schema loading", schemaLoading, Rounds::Timing::Manual);
    rounds.add("links at the foot", linksAtTheFoot, Rounds::Timing::Manual);
    rounds.add("objects at the foot", objectsAtTheFoot, Rounds::Timing::Manual);
}

std::string objectsLabel(int objects) {
    std::string digits = std::to_string(objects);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3)
        digits.insert(static_cast<std::size_t>(at), ",");
    return digits + " objects";
}

void figures(const RoundRecorder& runs, FigureTable& table) {
    for (int objects : SIZES) {
        const std::string whole = sized("pipeline", objects);
        const std::string dom = sized("pipeline against libxml2 DOM", objects);
        const double againstSax = runs.medianCounter(whole, "ratio");
        const double againstDom = runs.medianCounter(dom, "ratio");
        if (runs.has(whole)) {
            table.add(Figure::atMost("reply pipeline / bare SAX2, " + objectsLabel(objects),
                                     againstSax, "x", 2.0));
        }
        if (runs.has(dom)) {
            table.add(Figure::atMost("reply pipeline / libxml2 DOM, " + objectsLabel(objects),
                                     againstDom, "x", 0.85));
        }
        if (runs.has(whole) && runs.has(dom)) {
            table.add(Figure::reference("libxml2 DOM / bare SAX2, " + objectsLabel(objects),
                                        againstSax / againstDom, "x"));
        }
    }
    if (runs.has("pipeline scaling") && runs.has("libxml2 DOM scaling")) {
        table.add(Figure::atMost(
            "pipeline time per object, 20,000 / 1,000 objects, / libxml2 DOM's",
            runs.medianCounterRatio("pipeline scaling", "libxml2 DOM scaling", "ratio"), "x",
            1.15));
    }
    if (runs.has("pipeline scaling")) {
        table.add(Figure::reference("pipeline time per object, 20,000 / 1,000 objects",
                                    runs.medianCounter("pipeline scaling", "ratio"), "x"));
    }
    if (runs.has("libxml2 DOM scaling")) {
        table.add(Figure::reference("libxml2 DOM time per object, 20,000 / 1,000 objects",
                                    runs.medianCounter("libxml2 DOM scaling", "ratio"), "x"));
    }
    const std::string converted = sized("converted read", READ_SIZE);
    if (runs.has(converted)) {
        table.add(Figure::atMost("typed read, converted, " + objectsLabel(READ_SIZE),
                                 runs.medianSeconds(converted) * 1e9 / READ_SIZE, "ns", 120));
    }
    const std::string first = sized("first read", READ_SIZE);
    if (runs.has(first)) {
        table.add(Figure::reference("typed read, first (converting), " + objectsLabel(READ_SIZE),
                                    runs.medianSeconds(first) * 1e9 / READ_SIZE, "ns"));
    }
    const auto ratio = [&](const std::string& name, const std::string& label, double budget) {
        if (runs.has(name)) {
            table.add(Figure::atMost(label, runs.medianCounter(name, "ratio"), "x", budget));
        }
    };
    ratio("type chain", "schema of 50,000 types, one chain / all under one root", 2.0);
    // 3.25 when a load looked each type's name up some fifteen times.
    ratio("schema loading", "schema loading per type / bare SAX2 parse of its document", 2.5);
    if (runs.has("schema loading")) {
        table.add(Figure::reference("schema loading per type, 50,000 types",
                                    runs.medianSeconds("schema loading") * 1e9 / SCHEMA_TYPES,
                                    "ns"));
    }
    ratio("links at the foot", "links moving the foot of a 20,000-type chain / of a flat one", 2.0);
    ratio("objects at the foot", "objects of a type 20,000 deep / of a type 2 deep", 1.5);
}

}  // namespace

// Nine rounds: a round of the larger replies is one iteration of each case,
// and the median of more of them stands still under a busy machine.
int main(int argc, char** argv) { return run(argc, argv, Program{cases, figures, 9}); }
