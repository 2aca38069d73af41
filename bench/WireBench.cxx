// The stages of reading and writing a reply, each run right after a bare
// SAX2 parse of the same bytes: the node tree (with a reused and with a
// fresh parser), the node tree and the wire values, and writing the wire
// values back out as XML. They show where the reply pipeline's time goes.
#include "bench/support/Baselines.hxx"
#include "bench/support/ReplyDocuments.hxx"
#include "bench/support/Rounds.hxx"

#include <soa/common/SAXToNodeParser.hxx>
#include <soa/common/XmlStream.hxx>
#include <soa/schemas/base/ServiceData.hxx>

namespace {

using namespace Quillomark::Bench;
namespace Base = Quillomark::Schemas::Soa::_2006_03::Base;
using Quillomark::Soa::Common::Xml::SAXToNodeParser;
using Quillomark::Soa::Common::Xml::XmlStream;

const int OBJECTS = 1000;

const std::string& document() {
    static const std::string text = replyDocument(OBJECTS);
    return text;
}

// Runs `stage` right after a bare parse of the reply, each iteration.
template <class Stage>
void againstBareParse(benchmark::State& state, Stage stage) {
    BareSaxParser bare;
    againstBaseline(
        state, [&] { bare.parse(document()); }, stage);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * document().size()));
}

void nodeTree(benchmark::State& state) {
    SAXToNodeParser parser;
    againstBareParse(state, [&] { benchmark::DoNotOptimize(&parser.parseString(document())); });
}

void nodeTreeFreshParser(benchmark::State& state) {
    againstBareParse(state, [&] {
        SAXToNodeParser parser;
        benchmark::DoNotOptimize(&parser.parseString(document()));
    });
}

void nodeTreeAndWireValues(benchmark::State& state) {
    SAXToNodeParser parser;
    againstBareParse(state, [&] {
        Base::ServiceData data;
        data.parse(parser.parseString(document()));
        benchmark::DoNotOptimize(data.getDataObjectArray().size());
    });
}

void outputXml(benchmark::State& state) {
    SAXToNodeParser parser;
    Base::ServiceData data;
    data.parse(parser.parseString(document()));
    againstBareParse(state, [&] {
        XmlStream out;
        data.outputXML(out, "serviceData");
        benchmark::DoNotOptimize(out.tellp());
    });
}

const std::pair<const char*, void (*)(benchmark::State&)> STAGES[] = {
    {"node tree/1000", nodeTree},
    {"node tree, fresh parser/1000", nodeTreeFreshParser},
    {"node tree and wire values/1000", nodeTreeAndWireValues},
    {"writing the wire values/1000", outputXml},
};

void cases(Rounds& rounds) {
    for (const auto& [name, body] : STAGES) rounds.add(name, body, Rounds::Timing::Manual);
}

void figures(const RoundRecorder& runs, FigureTable& table) {
    for (const auto& stage : STAGES) {
        const std::string name = stage.first;
        if (!runs.has(name)) continue;
        table.add(Figure::reference(name.substr(0, name.find('/')) + " / bare SAX2, 1,000 objects",
                                    runs.medianCounter(name, "ratio"), "x"));
    }
}

}  // namespace

int main(int argc, char** argv) { return run(argc, argv, Program{cases, figures}); }
