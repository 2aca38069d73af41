// Loads of objects into a store whose types form a deep chain, with a link
// of an unrelated type waiting for its parent (a fetch that failed left it
// to the next load that needs it) against the same load with no link
// waiting: what a link waiting elsewhere costs a load.
#include "bench/support/LoadedReply.hxx"
#include "bench/support/ReplyDocuments.hxx"
#include "bench/support/Rounds.hxx"
#include "tests/support/FakeSessionServices.hxx"

#include <soa/client/Connection.hxx>
#include <soa/client/ModelManagerImpl.hxx>
#include <soa/client/RuntimeException.hxx>
#include <soa/schemas/base/ModelObject.hxx>
#include <soa/schemas/base/ModelSchema.hxx>

#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace Quillomark::Bench;
namespace Base = Quillomark::Schemas::Soa::_2006_03::Base;
using Quillomark::Soa::Client::Connection;
using Quillomark::Soa::Client::ModelManagerImpl;
using Quillomark::Soa::Client::RuntimeException;
using Quillomark::Testing::FakeInternalSessionService;

const int CHAIN_TYPES = 20000;
const int OBJECTS = 20000;

// A store that knows a chain of CHAIN_TYPES types; with a link waiting, the
// server also described a type Waiting whose parent's fetch then failed.
class Store {
public:
    explicit Store(bool linkWaiting) {
        manager.loadModelSchema(parseSchema(typeSchemaDocument(CHAIN_TYPES, true)));
        if (!linkWaiting) return;
        service->behaviour = [this](const std::vector<std::string>& names) {
            if (names.front() != "Waiting") throw RuntimeException();
            Base::ModelType waiting;
            waiting.setName("Waiting");
            waiting.setUid("TYPE::Waiting");
            waiting.setParentTypeName("Elsewhere");
            Base::ModelSchema schema;
            schema.addType(waiting);
            manager.loadModelSchema(schema);
        };
        Base::ModelObject object;
        object.setUid("BOM::waiting");
        object.setType("Waiting");
        try {
            manager.loadObjectData(object);
        } catch (const RuntimeException&) {
        }
        bool waits = false;
        try {
            manager.getType("Waiting");
        } catch (const RuntimeException&) {
            waits = true;
        }
        if (!waits) throw std::logic_error("no link waits");
    }

    ModelManagerImpl& model() { return manager; }

private:
    Connection connection{"http://127.0.0.1:9/unused", nullptr, Connection::HTTP, Connection::REST,
                          true};
    ModelManagerImpl& manager = *static_cast<ModelManagerImpl*>(connection.getModelManager());
    FakeInternalSessionService* service = FakeInternalSessionService::install(connection);
};

// OBJECTS objects of types picked at random along the chain, loaded into
// the store and removed again. (Each object's type was looked up again,
// through its chain, while any link waited: 39 to 61 ms against 22 ms.)
void objectsWhileALinkWaits(benchmark::State& state) {
    std::vector<Base::ModelObject> objects(OBJECTS);
    std::mt19937 random(67);
    for (std::size_t i = 0; i < objects.size(); ++i) {
        objects[i].setUid("BOM::" + std::to_string(i));
        objects[i].setType("Level" + std::to_string(random() % CHAIN_TYPES));
    }
    Store calm(false), waiting(true);
    const auto load = [&](Store& store) {
        benchmark::DoNotOptimize(store.model().loadObjectData(objects).size());
        store.model().removeAllObjectsFromStore();
    };
    againstBaseline(
        state, [&] { load(calm); }, [&] { load(waiting); });
}

void cases(Rounds& rounds) {
    rounds.add("objects while a link waits", objectsWhileALinkWaits, Rounds::Timing::Manual);
}

void figures(const RoundRecorder& runs, FigureTable& table) {
    if (!runs.has("objects while a link waits")) return;
    table.add(
        Figure::atMost("20,000 objects of a 20,000-type chain, a link waiting elsewhere / none",
                       runs.medianCounter("objects while a link waits", "ratio"), "x", 1.1));
    table.add(Figure::reference("the same load, a link waiting elsewhere, per object",
                                runs.medianSeconds("objects while a link waits") * 1e9 / OBJECTS,
                                "ns"));
}

}  // namespace

int main(int argc, char** argv) { return run(argc, argv, Program{cases, figures, 9}); }
