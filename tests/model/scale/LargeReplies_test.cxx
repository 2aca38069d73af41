// Replies far larger than a server sends, whose loading must stay near
// linear in their size. The executable runs under a ctest time limit: a
// load that costs time quadratic in these sizes runs for many minutes and
// is stopped there as hung.
#include <soa/client/Connection.hxx>
#include <soa/client/ModelManagerImpl.hxx>
#include <soa/client/ModelObject.hxx>
#include <soa/client/Property.hxx>
#include <soa/client/PropertyDescription.hxx>
#include <soa/client/TypeImpl.hxx>

#include "tests/model/LoadingSupport.hxx"
#include "tests/support/FakeSessionServices.hxx"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace Quillomark::Soa::Client;
using namespace Quillomark::Testing::Model;

const std::string UID = "QaWideAAAAAAAA";

// "name000042" for 42: names that sort in the order of their numbers.
std::string numbered(const char* stem, int n) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%06d", n);
    return stem + std::string(digits);
}

TEST(LargeReplies, ASchemaOfManyTypesEntersEachTypeOnce) {
    const int types = 200000;
    std::vector<Base::ModelType> wire;
    wire.reserve(types + 2);
    wire.push_back(type("Root", ""));
    for (int n = types - 1; n >= 0; --n) {
        wire.push_back(type(numbered("T", n), "Root", {{"p", n % 2 == 0 ? 5 : 8}}));
    }
    // A name described twice keeps its first description.
    wire.push_back(type(numbered("T", 7), "", {{"p", 1}, {"q", 1}}));
    ModelManagerImpl manager(nullptr);
    manager.loadModelSchema(schema(wire));

    for (int n : {0, 7, 123456, types - 1}) {
        TypeImpl* t = manager.getType(numbered("T", n));
        EXPECT_EQ(t->getUid(), "TYPE::" + numbered("T", n));
        ASSERT_NE(t->getParent(), nullptr);
        EXPECT_EQ(t->getParent()->getName(), "Root");
        EXPECT_EQ(t->getPropertyDescription("p")->getValueType(),
                  n % 2 == 0 ? PropertyDescription::VALUE_INT : PropertyDescription::VALUE_STRING);
        EXPECT_EQ(t->getPropertyDescription("q"), nullptr);
    }
    EXPECT_EQ(manager.getType("Root")->getParent(), nullptr);
}

TEST(LargeReplies, AnObjectOfManyPropertiesKeepsEachNameOnceInOrder) {
    const int count = 400000;
    // Every other name is described by the type; the others get names of
    // their own. The names come in descending order, each the worst place
    // to insert into a sorted list.
    std::vector<Descriptor> described;
    for (int n = 0; n < count; n += 2) described.push_back({numbered("p", n), 5});
    ModelManagerImpl manager(nullptr);
    manager.loadModelSchema(schema({type("Wide", "", described)}));

    std::vector<Base::Property> first;
    first.reserve(count + 1);
    for (int n = count - 1; n >= 0; --n) {
        first.push_back(property(numbered("p", n), {std::to_string(n)}));
    }
    // A name that comes twice in one object: the later property stands.
    first.push_back(property(numbered("p", 4), {"-4"}));
    ModelObject* wide = manager.loadObjectData(object(UID, "Wide", first));

    std::vector<std::string> names = wide->getPropertyNames();
    ASSERT_EQ(names.size(), static_cast<std::size_t>(count));
    for (int n = 0; n < count; n += 9973) EXPECT_EQ(names[n], numbered("p", n));
    EXPECT_EQ(wide->getProperty(numbered("p", 4))->getIntValue(), -4);
    EXPECT_EQ(wide->getProperty(numbered("p", 8))->getIntValue(), 8);
    EXPECT_EQ(wide->getProperty(numbered("p", 9))->getDisplayValue(), "");
    EXPECT_EQ(wide->getProperty(numbered("p", 9))->getPropertyDescription(), nullptr);

    // The same object again, with names that fall between the ones it has
    // and some of those it has: the new ones join, the sent ones are
    // replaced, the others stay.
    std::vector<Base::Property> second;
    second.reserve(count);
    for (int n = count - 1; n >= 0; --n) {
        second.push_back(property(numbered(n % 2 == 0 ? "p" : "o", n), {"1"}, "again"));
    }
    EXPECT_EQ(manager.loadObjectData(object(UID, "Wide", second)), wide);
    names = wide->getPropertyNames();
    ASSERT_EQ(names.size(), static_cast<std::size_t>(count + count / 2));
    EXPECT_EQ(names.front(), numbered("o", 1));
    EXPECT_EQ(names.back(), numbered("p", count - 1));
    EXPECT_EQ(wide->getProperty(numbered("p", 4))->getDisplayValue(), "again");
    EXPECT_EQ(wide->getProperty(numbered("p", 4))->getIntValue(), 1);
    EXPECT_EQ(wide->getProperty(numbered("p", 9))->getDisplayValue(), "");
    EXPECT_EQ(wide->getProperty(numbered("o", 9))->getDisplayValue(), "again");
}

// The depth of the chain above `type`.
int ancestors(const Type* type) {
    int count = 0;
    for (const Type* t = type->getParent(); t != nullptr; t = t->getParent()) ++count;
    return count;
}

// A chain of types far deeper than a server makes it, listed in one schema
// root first (where links that each walked the chain above them would take
// time quadratic in the depth: more than five minutes here, past the time
// limit) or in any order, or fetched one level per request, links in time
// near linear in its depth; a link that would close a cycle through the
// whole chain is still refused, also when a re-login comes in each fetch.
// The linear load takes seconds, also in a sanitized build, so that it
// passes with every core busy.
TEST(LargeReplies, AChainOfManyTypesLinksInTimeLinearInItsDepth) {
    const auto level = [](int n) { return numbered("L", n); };
    for (const auto& [chainDepth, shuffle] : {std::pair{300000, false}, std::pair{50000, true}}) {
        const int depth = chainDepth;  // a lambda of C++17 takes no structured binding
        std::vector<Base::ModelType> listed;
        listed.reserve(depth);
        for (int n = depth - 1; n >= 0; --n) {
            listed.push_back(type(level(n), n + 1 < depth ? level(n + 1) : ""));
        }
        if (shuffle) std::shuffle(listed.begin(), listed.end(), std::mt19937(38));
        ModelManagerImpl manager(nullptr);
        manager.loadModelSchema(schema(listed));
        EXPECT_EQ(ancestors(manager.getType(level(0))), depth - 1);

        const std::string message =
            thrownBy([&] {
                manager.loadModelSchema(schema({type(level(depth - 1), level(0))}));
            }).getMessage();
        EXPECT_EQ(message, "Server gave me a parent type, " + level(0) +
                               ", that descends from its child type " + level(depth - 1) + "!");
        EXPECT_EQ(manager.getType(level(depth - 1))->getParent(), nullptr);
    }

    const int fetched = 20000;
    Connection connection("http://localhost:1/tc", nullptr, Connection::HTTP, Connection::REST,
                          false);
    auto& manager = *static_cast<ModelManagerImpl*>(connection.getModelManager());
    auto* service = Quillomark::Testing::FakeInternalSessionService::install(connection);
    // The server loses the session at each fetch: the re-login loads its
    // user, group member and service data, each knowing what the load it
    // runs in learnt.
    manager.loadModelSchema(schema({type("User", "")}));
    service->behaviour = [&](const std::vector<std::string>& names) {
        for (const char* uid : {"QaUsrAAAAAAAAA", "QaGrpAAAAAAAAA", "QaSvdAAAAAAAAA"}) {
            manager.loadObjectData(object(uid, "User"));
        }
        std::vector<Base::ModelType> described;
        for (const std::string& name : names) {
            const int n = std::stoi(name.substr(1));
            described.push_back(type(name, n + 1 < fetched ? level(n + 1) : ""));
        }
        manager.loadModelSchema(schema(described));
    };
    manager.loadObjectData(object(UID, level(0)));
    EXPECT_EQ(service->requests.size(), std::size_t(fetched));
    EXPECT_EQ(ancestors(manager.getObject(UID)->getType()), fetched - 1);
}

}  // namespace
