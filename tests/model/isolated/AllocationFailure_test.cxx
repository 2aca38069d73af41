// Running out of memory part-way: a registration of the object factories
// frees every factory it made, a load of objects or types throws to its
// caller and leaves no chain cut short, and a getter's default needs none. The global allocation
// functions are replaced to fail the n-th allocation, so this is an executable of its own.

#include <soa/client/Connection.hxx>
#include <soa/client/ModelManagerImpl.hxx>
#include <soa/client/ModelObject.hxx>
#include <soa/client/Property.hxx>
#include <soa/client/Preferences.hxx>
#include <soa/client/PropertyImpl.hxx>
#include <soa/client/Type.hxx>
#include <soa/client/model/Item.hxx>
#include <soa/client/model/factories/ModelObjectFactory.hxx>
#include <soa/client/model/factories/ObjectFactories.hxx>
#include <soa/schemas/base/Preferences.hxx>

#include "tests/fastcache/ChildProcess.hxx"
#include "tests/model/LoadingSupport.hxx"
#include "tests/support/FailingAllocations.hxx"
#include "tests/support/FakeSessionServices.hxx"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <new>
#include <string>
#include <typeinfo>
#include <utility>
#include <vector>

namespace {

using namespace Quillomark::Testing::FailingAllocations;
using FactoryMap = std::map<std::string, Quillomark::Soa::Client::ModelObjectFactory*>;

// Registers into a fresh map with the n-th allocation failing; returns
// whether the registration threw bad_alloc.
bool registerFailingAt(long n, FactoryMap& map) {
    failAfter = n;
    bool threw = false;
    try {
        Quillomark::Soa::Client::registerObjectFactories(map);
    } catch (const std::bad_alloc&) {
        threw = true;
    }
    failAfter = -1;
    return threw;
}

TEST(RegistrationFailure, FreesEveryFactoryItMadeAndLeavesTheMapEmpty) {
    // A whole registration: how many allocations it makes.
    long before = live;
    long budget = 1L << 30;
    failAfter = budget;
    {
        FactoryMap map;
        Quillomark::Soa::Client::registerObjectFactories(map);
        EXPECT_EQ(939u, map.size());
        for (auto& entry : map) {
            delete entry.second;
        }
    }
    long allocations = budget - failAfter;
    failAfter = -1;
    ASSERT_EQ(before, live.load());
    ASSERT_GT(allocations, 939 * 2);

    // Fail at the first, an early, a middle and the last allocation, and at
    // every one of the first few entries (factory, key and node in turn).
    for (long n : {0L, 1L, 2L, 3L, 4L, 5L, 6L, 7L, 100L, allocations / 2, allocations - 1}) {
        FactoryMap map;
        long liveBefore = live;
        EXPECT_TRUE(registerFailingAt(n, map)) << n;
        EXPECT_TRUE(map.empty()) << n;
        EXPECT_EQ(liveBefore, live.load()) << "allocation " << n << " left blocks behind";
    }
}

using namespace Quillomark::Testing::Model;
using Quillomark::Soa::Client::Connection;
using Quillomark::Soa::Client::ModelManagerImpl;
using Quillomark::Soa::Client::RuntimeException;
using Names = std::vector<std::string>;

// The names of the chain of the object's type, its own first.
std::string chainOf(Quillomark::Soa::Client::ModelObject* object) {
    std::string names;
    for (auto* t = object->getType(); t != nullptr; t = t->getParent()) names += t->getName() + " ";
    return names;
}

// A load whose fetch of types nests the re-login's load of its user, as the
// session manager nests it, with each of its allocations failing in turn
// (alone, or with every one after it), one child process per case: the load
// succeeds or throws bad_alloc to its caller, and a load against the same
// server then makes every chain whole. The load is one of objects, of service
// data or of a schema; the re-login comes in its first fetch (B is the first a
// schema of A asks for), or in the fetch of a parent that the user's chain
// needs too.
TEST(AllocationFailure, ALoadWithANestedReloginThrowsToItsCallerAndLeavesNoChainCut) {
    // Each type the server describes, with its parent.
    const std::map<std::string, std::string> parents{
        {"A", "B"}, {"B", "Item"}, {"Item", ""}, {"UserX", "B"}, {"UserY", "Mid"}, {"Mid", "Item"}};
    const std::string ITEM = "QaItemAAAAAAAA", USER = "QaUsrAAAAAAAAA";
    const std::map<std::string, std::string> chains{{"UserX", "A B Item / UserX B Item "},
                                                    {"UserY", "A B Item / UserY Mid Item "}};
    struct Case {
        char entry;       // 'o'bjects, service 'd'ata or 's'chema
        Names reloginIn;  // the request in whose fetch the re-login comes
        std::string user;
    };
    for (const Case& c :
         {Case{'o', {"A"}, "UserY"}, Case{'d', {"B"}, "UserX"}, Case{'s', {"B"}, "UserX"}}) {
        // Loads with the n-th allocation failing (-1: none); returns what
        // went wrong, "" when the load succeeded or threw bad_alloc and the
        // chains are whole after.
        const auto run = [&](long n, long* made) -> std::string {
            Connection connection("http://localhost:1/tc", nullptr, Connection::HTTP,
                                  Connection::REST, false);
            auto& manager = *static_cast<ModelManagerImpl*>(connection.getModelManager());
            auto* service = Quillomark::Testing::FakeInternalSessionService::install(connection);
            Names relogin = c.reloginIn;
            service->behaviour = [&](const Names& names) {
                if (names == relogin) {
                    relogin.clear();
                    // What the user's load meets does not end the re-login;
                    // running out of memory does.
                    try {
                        manager.loadObjectData(object(USER, c.user));
                    } catch (const RuntimeException&) {
                    }
                }
                std::vector<Base::ModelType> described;
                for (const std::string& name : names) {
                    if (parents.count(name) != 0) described.push_back(type(name, parents.at(name)));
                }
                // The answer to B also describes, unasked, a type the client
                // cannot read.
                if (names == Names{"B"}) described.push_back(type("Noise", "", {{"bad", 0}}));
                manager.loadModelSchema(schema(described));
            };
            Base::ServiceData data;
            data.addDataObject(object(ITEM, "A"));
            data.addPlainObj(ref(ITEM));
            // Made before A is loaded: the load that describes it makes it
            // a Model::Item, whose place it takes in the store.
            Quillomark::Soa::Client::ModelObject* kept = manager.constructObject("A", ITEM);
            std::string outcome;
            const long budget = 1L << 30;
            failAfter = n < 0 ? budget : n;
            try {
                if (c.entry == 'o') manager.loadObjectData(object(ITEM, "A"));
                if (c.entry == 'd') manager.loadServiceData(data);
                if (c.entry == 's') manager.loadModelSchema(schema({type("A", "B")}));
            } catch (const std::bad_alloc&) {
            } catch (const RuntimeException& e) {
                outcome = e.getMessage();
            }
            if (made != nullptr) *made = budget - failAfter;
            failAfter = -1;
            relogin.clear();
            const auto loaded = manager.loadObjectData({object(ITEM, "A"), object(USER, c.user)});
            const std::string chain = chainOf(loaded[0]) + "/ " + chainOf(loaded[1]);
            const Quillomark::Soa::Client::ModelObject& first = *loaded[0];
            if (typeid(first) != typeid(Quillomark::Soa::Client::Model::Item) ||
                kept->getType() != loaded[0]->getType()) {
                outcome += " not refined";
            }
            return outcome + (chain == chains.at(c.user) ? "" : " chains " + chain);
        };
        long allocations = 0;
        ASSERT_EQ(run(-1, &allocations), "") << c.entry << c.user;
        for (bool once : {true, false}) {
            std::map<std::string, std::vector<long>> ended;
            for (long n = 0; n < allocations; ++n) {
                ended[Quillomark::Testing::runInChild([&] {
                    failOnce = once;
                    const std::string outcome = run(n, nullptr);
                    if (!outcome.empty()) {
                        std::fprintf(stderr, "%s\n", outcome.c_str());
                        _exit(4);
                    }
                })].push_back(n);
            }
            ended.erase("");
            for (const auto& [end, cases] : ended) {
                ADD_FAILURE() << c.entry << c.user << (once ? " once" : " from then on") << ": "
                              << cases.size() << " of " << allocations << " cases ended with "
                              << end << ", the first at allocation " << cases[0];
            }
        }
    }
}

// What a getter hands out when it holds no value of its own (every getter
// of a property without description, those of the form that does not hold
// the value, and the preference list of a name without values) is shared
// and made with the first property or preferences of the process, so that
// its first read needs no memory: here every allocation fails from the
// first read of a loaded property on, in a child process that has read none
// before (a read that throws bad_alloc ends it with exit 3). Making them
// with no memory left throws from the construction and leaks nothing.
TEST(AllocationFailure, DefaultsNeedNoMemoryAtTheirFirstRead) {
    using Quillomark::Soa::Client::Property;
    const std::string ended = Quillomark::Testing::runInChild([] {
        const long before = live;
        int threw = 0;
        for (int made = 0; made < 2; ++made) {
            failOnce = true;
            failAfter = 0;
            try {
                if (made == 0) Quillomark::Soa::Client::PropertyImpl("", nullptr, nullptr);
                if (made == 1) Quillomark::Soa::Client::Preferences();
            } catch (const std::bad_alloc&) {
                ++threw;
            }
        }
        const bool clean = threw == 2 && live == before;

        ModelManagerImpl manager(nullptr);
        manager.loadModelSchema(schema({type("T", "", {{"n", 5, true}, {"s", 8}})}));
        auto* loaded = manager.loadObjectData(
            object("QaObjAAAAAAAAA", "T",
                   {property("n", {"1"}), property("s", {"x"}), property("bare", {"y"})}));
        Property* bare = loaded->getProperty("bare");
        Property* list = loaded->getProperty("n");
        Property* single = loaded->getProperty("s");
        const auto preferences = manager.loadPreferences(Base::Preferences());
        // Converted while there is memory: the form that holds no value is read next.
        if (list->getIntArrayValue() != std::vector<int>{1} || single->getStringValue() != "x") {
            _exit(4);
        }
        failOnce = false;
        failAfter = 0;
        const bool none =
            bare->getCharValue() == 0 && bare->getDateValue() == Property::DateTime() &&
            bare->getDoubleValue() == 0 && bare->getFloatValue() == 0 && bare->getIntValue() == 0 &&
            !bare->getBooleanValue() && bare->getShortValue() == 0 &&
            bare->getStringValue().empty() && bare->getModelObjectValue() == nullptr &&
            bare->getCharArrayValue().empty() && bare->getDateArrayValue().empty() &&
            bare->getDoubleArrayValue().empty() && bare->getFloatArrayValue().empty() &&
            bare->getIntArrayValue().empty() && bare->getBooleanArrayValue().empty() &&
            bare->getShortArrayValue().empty() && bare->getStringArrayValue().empty() &&
            bare->getModelObjectArrayValue().empty() && list->getIntValue() == 0 &&
            single->getStringArrayValue().empty() && preferences.getPreference("a").empty();
        failAfter = -1;
        if (!none) _exit(6);
        if (!clean) _exit(5);
    });
    EXPECT_EQ(ended, "");
}

}  // namespace
