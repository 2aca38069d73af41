// Replies far larger than a server sends, whose loading must stay near
// linear in their size. The executable runs under a ctest time limit: a
// load that costs time quadratic in these sizes runs for many minutes and
// is stopped there as hung.
#include <soa/client/ModelManagerImpl.hxx>
#include <soa/client/ModelObject.hxx>
#include <soa/client/Property.hxx>
#include <soa/client/PropertyDescription.hxx>
#include <soa/client/TypeImpl.hxx>

#include "tests/model/LoadingSupport.hxx"

#include <gtest/gtest.h>

#include <cstdio>
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

}  // namespace
