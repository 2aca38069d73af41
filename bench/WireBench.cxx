// Reading and writing a service-data reply: the node-tree parser and the
// wire types, against bare SAX parsing of the same bytes (the baseline).
// Each benchmark reports "x_baseline", its time per document over the
// baseline's, measured alternately in the same run.
#include <soa/common/SAXToNodeParser.hxx>
#include <soa/common/XmlStream.hxx>
#include <soa/schemas/base/ServiceData.hxx>

#include <benchmark/benchmark.h>

#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/sax2/DefaultHandler.hpp>
#include <xercesc/sax2/SAX2XMLReader.hpp>
#include <xercesc/sax2/XMLReaderFactory.hpp>

#include <chrono>
#include <map>
#include <memory>
#include <string>

namespace {

namespace Base = Quillomark::Schemas::Soa::_2006_03::Base;
using Quillomark::Soa::Common::Xml::SAXToNodeParser;
using Quillomark::Soa::Common::Xml::XmlStream;

// A reply of `objects` objects with 30 properties each, of mixed kinds.
Base::ServiceData makeReply(int objects) {
    Base::ServiceData data;
    for (int i = 0; i < objects; ++i) {
        std::string uid = "Qa" + std::to_string(1000000000 + i) + "AA";
        Base::RefId ref;
        ref.setUid(uid);
        data.addPlainObj(ref);
        Base::ModelObject object;
        object.setUid(uid);
        object.setType("ItemRevision");
        object.setClassName("ItemRevision");
        for (int p = 0; p < 30; ++p) {
            Base::Property property;
            property.setName("property_" + std::to_string(p));
            int values = p % 10 == 9 ? 3 : 1;
            std::string text;
            switch (p % 5) {
                case 0: text = "Bracket \xC3\xA9 " + std::to_string(i); break;
                case 1: text = std::to_string(i * 31 + p); break;
                case 2: text = "2008-03-12T14:20:05"; break;
                case 3: text = "Qa" + std::to_string(1000000000 + (i + 1) % objects) + "AA"; break;
                default: text = p % 2 ? "true" : "false"; break;
            }
            property.setUiValue(text);
            for (int v = 0; v < values; ++v) {
                Base::PropertyValue value;
                value.setValue(text);
                property.addValue(value);
            }
            object.addPropertie(property);
        }
        data.addDataObject(object);
    }
    return data;
}

const std::string& document(int objects) {
    static std::map<int, std::string> documents;
    std::string& text = documents[objects];
    if (text.empty()) {
        XmlStream out;
        makeReply(objects).outputXML(out, "serviceData");
        text = out.str();
    }
    return text;
}

class BareSax {
public:
    BareSax() {
        SAXToNodeParser initializesThePlatform;
        reader.reset(xercesc::XMLReaderFactory::createXMLReader());
        reader->setContentHandler(&handler);
        reader->setErrorHandler(&handler);
    }
    void parse(const std::string& text) {
        xercesc::MemBufInputSource source(reinterpret_cast<const XMLByte*>(text.data()),
                                          text.size(), "bench", false);
        reader->parse(source);
    }

private:
    xercesc::DefaultHandler handler;
    std::unique_ptr<xercesc::SAX2XMLReader> reader;
};

// Runs `body` once per iteration, each time right after one bare SAX parse
// of the same document, so that both see the same load on the machine; the
// reported time is the body's alone.
template <typename Body>
void timed(benchmark::State& state, Body body) {
    using Clock = std::chrono::steady_clock;
    const int objects = static_cast<int>(state.range(0));
    const std::string& text = document(objects);
    BareSax baseline;
    double baselineTotal = 0, bodyTotal = 0;
    for (auto _ : state) {
        auto start = Clock::now();
        baseline.parse(text);
        auto middle = Clock::now();
        body(text);
        auto end = Clock::now();
        double bodySeconds = std::chrono::duration<double>(end - middle).count();
        baselineTotal += std::chrono::duration<double>(middle - start).count();
        bodyTotal += bodySeconds;
        state.SetIterationTime(bodySeconds);
    }
    state.counters["x_baseline"] = bodyTotal / baselineTotal;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(text.size()));
}

void BM_BareSaxBaseline(benchmark::State& state) {
    BareSax sax;
    timed(state, [&](const std::string& text) { sax.parse(text); });
}

void BM_NodeTree(benchmark::State& state) {
    SAXToNodeParser parser;
    timed(state, [&](const std::string& text) {
        benchmark::DoNotOptimize(&parser.parseString(text));
    });
}

void BM_NodeTreeFreshParser(benchmark::State& state) {
    timed(state, [&](const std::string& text) {
        SAXToNodeParser parser;
        benchmark::DoNotOptimize(&parser.parseString(text));
    });
}

void BM_NodeTreeAndWireValues(benchmark::State& state) {
    SAXToNodeParser parser;
    timed(state, [&](const std::string& text) {
        Base::ServiceData data;
        data.parse(parser.parseString(text));
        benchmark::DoNotOptimize(data.getDataObjectArray().size());
    });
}

void BM_OutputXml(benchmark::State& state) {
    Base::ServiceData data = makeReply(static_cast<int>(state.range(0)));
    timed(state, [&](const std::string&) {
        XmlStream out;
        data.outputXML(out, "serviceData");
        benchmark::DoNotOptimize(out.tellp());
    });
}

#define WIRE_BENCHMARK(name) \
    BENCHMARK(name)->Arg(100)->Arg(1000)->UseManualTime()->Unit(benchmark::kMillisecond)
WIRE_BENCHMARK(BM_BareSaxBaseline);
WIRE_BENCHMARK(BM_NodeTree);
WIRE_BENCHMARK(BM_NodeTreeFreshParser);
WIRE_BENCHMARK(BM_NodeTreeAndWireValues);
WIRE_BENCHMARK(BM_OutputXml);

}  // namespace

BENCHMARK_MAIN();
