#include <soa/client/ModelObject.hxx>
#include <soa/client/ModelObjectImpl.hxx>
#include <soa/client/NotLoadedException.hxx>
#include <soa/client/Property.hxx>
#include <soa/client/PropertyDescriptionImpl.hxx>
#include <soa/client/TypeImpl.hxx>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using namespace Quillomark::Soa::Client;

TEST(TypeTest, DescriptionsAreOwnCopiesTheFirstOfANameWinsAndNoneAreInherited) {
    TypeImpl parent("TYPE::P", "Parent");
    TypeImpl child("TYPE::C", "Child");
    EXPECT_EQ(child.getParent(), nullptr);
    child.setParent(&parent);
    EXPECT_EQ(child.getParent(), &parent);

    parent.addPropertyDescription(
        PropertyDescriptionImpl(PropertyDescription::VALUE_INT, "inherited", false, false));
    {
        PropertyDescriptionImpl first(PropertyDescription::VALUE_STRING, "name", true, true);
        child.addPropertyDescription(first);
        child.addPropertyDescription(
            PropertyDescriptionImpl(PropertyDescription::VALUE_INT, "name", false, false));
    }  // the type keeps its own copy
    PropertyDescription* d = child.getPropertyDescription("name");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->getName(), "name");
    EXPECT_EQ(d->getValueType(), PropertyDescription::VALUE_STRING);
    EXPECT_TRUE(d->isArray());
    EXPECT_TRUE(d->isModifiable());
    EXPECT_EQ(child.getPropertyDescription("inherited"), nullptr);
    EXPECT_EQ(child.getPropertyDescription("absent"), nullptr);

    // Pointers stay valid while more descriptions arrive.
    for (int i = 0; i < 100; ++i) {
        child.addPropertyDescription(PropertyDescriptionImpl(PropertyDescription::VALUE_CHAR,
                                                             "p" + std::to_string(i), false, false));
    }
    EXPECT_EQ(child.getPropertyDescription("name"), d);

    PropertyDescriptionImpl copy(*static_cast<PropertyDescriptionImpl*>(d));
    EXPECT_EQ(copy.getName(), "name");
    EXPECT_EQ(copy.getValueType(), PropertyDescription::VALUE_STRING);
    EXPECT_TRUE(copy.isArray());
    EXPECT_TRUE(copy.isModifiable());
}

// A property that notes its destruction.
class TrackedProperty : public Property {
public:
    TrackedProperty(std::vector<std::string>& log, std::string name)
        : log(log), name(std::move(name)) {}
    ~TrackedProperty() override { log.push_back(name); }

    std::string getDisplayValue() const override { return name; }
    PropertyDescription* getPropertyDescription() const override { return nullptr; }
    char getCharValue() override { return 0; }
    const DateTime& getDateValue() override { throw 0; }
    double getDoubleValue() override { return 0; }
    float getFloatValue() override { return 0; }
    int getIntValue() override { return 0; }
    bool getBooleanValue() override { return false; }
    short getShortValue() override { return 0; }
    const std::string& getStringValue() override { return name; }
    ModelObject* getModelObjectValue() override { return nullptr; }
    const std::vector<char>& getCharArrayValue() override { throw 0; }
    const std::vector<DateTime>& getDateArrayValue() override { throw 0; }
    const std::vector<double>& getDoubleArrayValue() override { throw 0; }
    const std::vector<float>& getFloatArrayValue() override { throw 0; }
    const std::vector<int>& getIntArrayValue() override { throw 0; }
    const std::vector<bool>& getBooleanArrayValue() override { throw 0; }
    const std::vector<short>& getShortArrayValue() override { throw 0; }
    const std::vector<std::string>& getStringArrayValue() override { throw 0; }
    const std::vector<ModelObject*>& getModelObjectArrayValue() override { throw 0; }

private:
    std::vector<std::string>& log;
    std::string name;
};

// Gives the tests access to the protected life cycle of ModelObject.
struct TestObject : ModelObject {
    explicit TestObject(ModelObjectImpl* record) { setModelObjectImpl(record); }
    ~TestObject() override = default;
};

TEST(ModelObjectTest, PropertiesByNameReplacedAndDestroyedWithTheObjectButNotTheType) {
    std::vector<std::string> destroyed;
    TypeImpl type("TYPE::T", "Item");
    auto* record = new ModelObjectImpl("QaBcAAAAAAAAAA", &type);
    auto object = std::make_unique<TestObject>(record);

    EXPECT_EQ(object->getUid(), "QaBcAAAAAAAAAA");
    EXPECT_EQ(object->getType(), &type);
    EXPECT_TRUE(object->getPropertyNames().empty());
    try {
        object->getProperty("object_name");
        FAIL() << "no exception";
    } catch (const NotLoadedException& e) {
        EXPECT_EQ(e.getMessage(), "The object_name property is not loaded in the client model.");
    }

    record->addProperty("object_name", new TrackedProperty(destroyed, "first"));
    record->addProperty("Zeta", new TrackedProperty(destroyed, "zeta"));
    record->addProperty("alpha", new TrackedProperty(destroyed, "alpha"));
    auto* second = new TrackedProperty(destroyed, "second");
    record->addProperty("object_name", second);
    EXPECT_EQ(destroyed, std::vector<std::string>{"first"});
    record->addProperty("object_name", second);  // the same property again stays alive
    EXPECT_EQ(destroyed, std::vector<std::string>{"first"});

    EXPECT_EQ(object->getProperty("object_name"), second);
    EXPECT_EQ(object->getPropertyNames(),
              (std::vector<std::string>{"Zeta", "alpha", "object_name"}));
    EXPECT_THROW(object->getProperty("Object_name"), NotLoadedException);

    object.reset();
    EXPECT_EQ(destroyed, (std::vector<std::string>{"first", "zeta", "alpha", "second"}));
    EXPECT_EQ(type.getName(), "Item");  // the type lives on
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
    EXPECT_EQ(record.getType(), &placeholder);
    EXPECT_TRUE(record.setType(&descendant));
    EXPECT_EQ(record.getType(), &descendant);

    ModelObjectImpl other("QaBdAAAAAAAAAA", &placeholder);
    EXPECT_TRUE(other.setType(&sameName));  // another object of the same name
    EXPECT_EQ(other.getType(), &sameName);
}

}  // namespace
