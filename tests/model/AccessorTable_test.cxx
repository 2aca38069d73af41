// Every accessor of the typed model, called on objects that hold none of
// their properties: each must ask for exactly its own server property name.

#include "ModelTestSupport.hxx"
#include "TypedModelTables.hxx"

#include <soa/client/NotLoadedException.hxx>

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace {

using Quillomark::Soa::Client::ModelObject;
using Quillomark::Soa::Client::ModelObjectImpl;
using Quillomark::Soa::Client::NotLoadedException;
using Quillomark::Testing::AccessorRow;
using Quillomark::Testing::accessorRows;
using Quillomark::Testing::FactoryMap;
using Quillomark::Testing::RecordAccess;
using Quillomark::Testing::TypedClassRow;
using Quillomark::Testing::typedClassRows;

// One object of every class that has accessors, made by its factory, with an
// empty record or with none.
class ObjectsOfEveryClass {
public:
    explicit ObjectsOfEveryClass(bool withRecord) {
        for (const TypedClassRow& row : typedClassRows()) {
            ModelObject* object = factories.construct(row.serverType);
            if (withRecord) {
                RecordAccess::attach(object, new ModelObjectImpl("AAAAAAAAAAAAAC", nullptr));
            }
            objects[row.className] = {object, row.destroy};
        }
    }
    ~ObjectsOfEveryClass() {
        for (auto& entry : objects) {
            entry.second.second(entry.second.first);
        }
    }
    ObjectsOfEveryClass(const ObjectsOfEveryClass&) = delete;
    ObjectsOfEveryClass& operator=(const ObjectsOfEveryClass&) = delete;

    ModelObject* of(const std::string& className) const { return objects.at(className).first; }

private:
    FactoryMap factories;
    std::map<std::string, std::pair<ModelObject*, void (*)(ModelObject*)>> objects;
};

void expectEveryAccessorNamesItsProperty(const ObjectsOfEveryClass& objects) {
    for (const AccessorRow& row : accessorRows()) {
        const std::string expected =
            std::string("The ") + row.property + " property is not loaded in the client model.";
        try {
            row.call(objects.of(row.className));
            ADD_FAILURE() << row.className << "::" << row.accessor << " did not throw";
        } catch (const NotLoadedException& e) {
            EXPECT_EQ(expected, e.getMessage()) << row.className << "::" << row.accessor;
        }
    }
}

TEST(AccessorTable, EveryAccessorAsksForItsOwnPropertyOnAnObjectWithoutIt) {
    ASSERT_EQ(4112u, accessorRows().size());
    ObjectsOfEveryClass objects(true);
    expectEveryAccessorNamesItsProperty(objects);
}

TEST(AccessorTable, EveryAccessorOnAnObjectWithoutRecordReportsThePropertyNotLoaded) {
    ObjectsOfEveryClass objects(false);
    expectEveryAccessorNamesItsProperty(objects);
}

}  // namespace
