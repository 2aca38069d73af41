#include <soa/client/ModelObject.hxx>
#include <soa/client/ModelObjectImpl.hxx>
#include <soa/client/NotLoadedException.hxx>
#include <soa/client/PropertyDescriptionImpl.hxx>
#include <soa/client/TypeImpl.hxx>
#include <soa/client/model/Item.hxx>

#include "ModelTestSupport.hxx"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace Quillomark::Soa::Client;
using Quillomark::Testing::CountingProperty;
using Quillomark::Testing::RecordAccess;

TEST(TypeTest, TheFirstDescriptionOfANameWinsAndNoneAreInherited) {
    TypeImpl parent("TYPE::P", "Parent");
    TypeImpl child("TYPE::C", "Child");
    child.setParent(&parent);
    parent.addPropertyDescription(
        PropertyDescriptionImpl(PropertyDescription::VALUE_INT, "inherited", false, false));
    {
        PropertyDescriptionImpl first(PropertyDescription::VALUE_STRING, "name", true, true);
        child.addPropertyDescription(first);
        child.addPropertyDescription(
            PropertyDescriptionImpl(PropertyDescription::VALUE_INT, "name", false, false));
    }  // the type keeps a copy of its own
    PropertyDescription* d = child.getPropertyDescription("name");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->getValueType(), PropertyDescription::VALUE_STRING);
    EXPECT_TRUE(d->isArray());
    EXPECT_TRUE(d->isModifiable());
    EXPECT_EQ(child.getPropertyDescription("inherited"), nullptr);
    EXPECT_EQ(child.getParent(), &parent);
}

TEST(ModelObjectTest, PropertiesAreKeptByNameAndDestroyedWithTheObject) {
    int destroyed = 0;
    TypeImpl type("TYPE::T", "Item");
    auto object = std::make_unique<Model::Item>();
    auto* record = new ModelObjectImpl("QaBcAAAAAAAAAA", &type);
    RecordAccess::attach(object.get(), record);
    try {
        object->getProperty("object_name");
        ADD_FAILURE() << "no exception";
    } catch (const NotLoadedException& e) {
        EXPECT_EQ(e.getMessage(), "The object_name property is not loaded in the client model.");
    }

    record->addProperty("object_name", new CountingProperty(&destroyed));
    record->addProperty("Zeta", new CountingProperty(&destroyed));
    auto* second = new CountingProperty(&destroyed);
    record->addProperty("object_name", second);
    EXPECT_EQ(destroyed, 1);
    record->addProperty("object_name", second);  // the same property again stays alive
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(object->getProperty("object_name"), second);
    EXPECT_EQ(object->getPropertyNames(), (std::vector<std::string>{"Zeta", "object_name"}));

    object.reset();
    EXPECT_EQ(destroyed, 3);
    EXPECT_EQ(type.getName(), "Item");  // the type is not the object's
}

// Names of one length that share their first and last eight bytes share a
// digest: they are told apart by name, before and after the object grows
// past the properties it digests and is searched instead.
TEST(ModelObjectTest, NamesThatShareADigestAreToldApart) {
    int destroyed = 0;
    TypeImpl type("TYPE::T", "Item");
    ModelObjectImpl record("QaBcAAAAAAAAAA", &type);
    std::vector<Property*> added;
    auto name = [](int i) {
        return "property_" + std::string(1, static_cast<char>('a' + i % 26)) +
               std::to_string(i / 26) + "_value_of";
    };
    auto allFound = [&] {
        for (std::size_t i = 0; i < added.size(); ++i) {
            if (record.getProperty(name(static_cast<int>(i))) != added[i]) return false;
        }
        return true;
    };
    for (int i = 0; i < 40; ++i) {
        added.push_back(new CountingProperty(&destroyed));
        record.addProperty(name(i), added.back());
        ASSERT_TRUE(allFound()) << "after " << i + 1;
        EXPECT_EQ(record.getProperty(name(i + 1)), nullptr);
        EXPECT_EQ(record.getProperty("property_"), nullptr);
    }
    // Replaced in place: the new property is found under the old name.
    added[3] = new CountingProperty(&destroyed);
    record.addProperty(name(3), added[3]);
    EXPECT_EQ(destroyed, 1);
    EXPECT_TRUE(allFound());
}

// Added in one piece, the properties come out in byte order of their
// names whatever their first eight bytes share, and of two of one name the
// later stays.
TEST(ModelObjectTest, PropertiesAddedTogetherAreOrderedByEveryByteOfTheirNames) {
    using namespace std::string_literals;
    const std::vector<std::string> names = {
        "object_string", "object_name",   "object_desc", "abcdefgh",
        "abcdefgh\xff"s, "abcdefghi",     "ab\0"s,       "ab",
        "ab\x01"s,       "\xff"s,         "a",           "",
        "abcdefgh\0z"s,  "object_name_x", "object_n"};
    int destroyed = 0;
    TypeImpl type("TYPE::T", "Item");
    ModelObjectImpl record("QaBcAAAAAAAAAA", &type);
    std::vector<std::string> held = names;
    held.push_back("object_name");  // again, later
    std::vector<Property*> properties;
    std::vector<ModelObjectImpl::NamedProperty> added;
    for (const std::string& name : held) {
        properties.push_back(new CountingProperty(&destroyed));
        added.push_back(ModelObjectImpl::NamedProperty{&name, properties.back()});
    }
    record.addProperties(added);
    EXPECT_EQ(destroyed, 1);

    std::vector<std::string> sorted = names;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(record.getPropertyNames(), sorted);
    for (std::size_t i = 0; i + 1 < names.size(); ++i) {
        if (names[i] == "object_name") continue;
        EXPECT_EQ(record.getProperty(names[i]), properties[i]) << i;
    }
    EXPECT_EQ(record.getProperty("object_name"), properties.back());
}

TEST(ModelObjectTest, TypeIsReplacedOnlyBySameNamedTypeOrADescendant) {
    TypeImpl placeholder("UNKNOWN_TYPE_UID", "ItemRevision");
    TypeImpl root("TYPE::1", "WorkspaceObject");
    TypeImpl sameName("TYPE::2", "ItemRevision");
    TypeImpl descendant("TYPE::3", "DocumentRevision");
    TypeImpl unrelated("TYPE::4", "Folder");
    sameName.setParent(&root);
    descendant.setParent(&sameName);
    unrelated.setParent(&root);

    ModelObjectImpl record("QaBcAAAAAAAAAA", &placeholder);
    EXPECT_FALSE(record.setType(&unrelated));
    EXPECT_FALSE(record.setType(&root));  // an ancestor is no refinement
    EXPECT_TRUE(record.setType(&descendant));
    EXPECT_EQ(record.getType(), &descendant);
    ModelObjectImpl other("QaBdAAAAAAAAAA", &placeholder);
    EXPECT_TRUE(other.setType(&sameName));
}

}  // namespace
