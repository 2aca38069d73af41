// The typed classes and their factories, checked against the model's tables.

#include "ModelTestSupport.hxx"
#include "TypedModelTables.hxx"

#include <soa/client/Connection.hxx>
#include <soa/client/ModelManagerImpl.hxx>
#include <soa/client/ServiceData.hxx>
#include <soa/client/TypeImpl.hxx>
#include <soa/client/model/Dataset.hxx>

#include <soa/client/model/CM_Base_Configuration.hxx>
#include <soa/client/model/Connection.hxx>
#include <soa/client/model/Item.hxx>
#include <soa/client/model/ItemRevision.hxx>
#include <soa/client/model/ItemRevision_Master.hxx>
#include <soa/client/model/POMImc.hxx>
#include <soa/client/model/Project.hxx>
#include <soa/client/model/QM_WorkContext_Relation.hxx>
#include <soa/client/model/Sysd.hxx>
#include <soa/client/model/WorkContext.hxx>
#include <soa/client/model/_3DMarkup.hxx>

#include "tests/model/LoadingSupport.hxx"
#include "tests/support/FakeSessionServices.hxx"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

using Quillomark::Soa::Client::ModelManagerImpl;
using Quillomark::Soa::Client::ModelObject;
using Quillomark::Soa::Client::ModelObjectImpl;
using Quillomark::Soa::Client::TypeImpl;
using Quillomark::Testing::classOf;
using Quillomark::Testing::CountingProperty;
using Quillomark::Testing::FactoryMap;
using Quillomark::Testing::RecordAccess;
using Quillomark::Testing::TypedClassRow;
using Quillomark::Testing::typedClassRows;
namespace Model = Quillomark::Soa::Client::Model;

TEST(TypedClasses, EveryServerTypeCreatesAnObjectOfExactlyItsClass) {
    FactoryMap factories;
    const auto& rows = typedClassRows();
    ASSERT_EQ(939u, rows.size());
    EXPECT_EQ(rows.size(), factories.map.size());

    std::set<Quillomark::Soa::Client::ModelObjectFactory*> distinct;
    for (const TypedClassRow& row : rows) {
        auto entry = factories.map.find(row.serverType);
        ASSERT_NE(factories.map.end(), entry) << "no factory for \"" << row.serverType << "\"";
        ASSERT_NE(nullptr, entry->second);
        distinct.insert(entry->second);

        ModelObject* first = entry->second->construct();
        ModelObject* second = entry->second->construct();
        EXPECT_TRUE(classOf(first) == *row.type)
            << row.serverType << " made a " << classOf(first).name();
        EXPECT_NE(first, second);
        row.destroy(first);
        row.destroy(second);
    }
    EXPECT_EQ(rows.size(), distinct.size());
}

TEST(TypedClasses, EveryClassNarrowsToItsAncestorsAndToNoOtherClass) {
    const auto& rows = typedClassRows();
    std::map<std::string, std::string> parentOf;
    for (const TypedClassRow& row : rows) {
        parentOf[row.className] = row.parentClass;
    }

    FactoryMap factories;
    for (const TypedClassRow& row : rows) {
        std::set<std::string> ancestors;
        for (std::string name = row.className; name != "ModelObject"; name = parentOf.at(name)) {
            ancestors.insert(name);
        }
        ModelObject* object = factories.construct(row.serverType);
        ASSERT_NE(nullptr, object);
        for (const TypedClassRow& other : rows) {
            EXPECT_EQ(ancestors.count(other.className) == 1, other.narrows(object))
                << row.className << " as " << other.className;
        }
        row.destroy(object);
    }
}

TEST(TypedClasses, ServerTypeNamesWithNamesOfTheirOwnMapToTheirClasses) {
    FactoryMap factories;
    const std::map<std::string, const std::type_info*> special = {
        {"POM_imc", &typeid(Model::POMImc)},
        {"QM_Project", &typeid(Model::Project)},
        {"QM_WorkContext", &typeid(Model::WorkContext)},
        {"QM_WorkContext_Relation", &typeid(Model::QM_WorkContext_Relation)},
        {"3DMarkup", &typeid(Model::_3DMarkup)},
        {"sysd", &typeid(Model::Sysd)},
        {"CM Base Configuration", &typeid(Model::CM_Base_Configuration)},
        {"Connection", &typeid(Model::Connection)},
    };
    for (const auto& [serverType, type] : special) {
        ModelObject* object = factories.construct(serverType);
        ASSERT_NE(nullptr, object) << serverType;
        EXPECT_TRUE(classOf(object) == *type) << serverType;
        delete dynamic_cast<Model::POM_object*>(object);
    }

    // Class names and other spellings are no keys.
    for (const char* name : {"POMImc", "Project", "Sysd", "_3DMarkup", "CM_Base_Configuration",
                             "ItemRevision_Master", "item", "ITEM", "ModelObject", ""}) {
        EXPECT_EQ(0u, factories.map.count(name)) << name;
    }
}

TEST(TypedClasses, TheModelManagerMakesObjectsOfTheirTypedClasses) {
    ModelManagerImpl manager(nullptr);
    ModelObject* item = manager.constructObject("Item", "ItemAAAAAAAAAA");
    ModelObject* master = manager.constructObject("ItemRevision Master", "MasterAAAAAAAA");
    ModelObject* plain = manager.constructObject("ModelObject", "PlainAAAAAAAAA");
    EXPECT_TRUE(classOf(item) == typeid(Model::Item));
    EXPECT_TRUE(classOf(master) == typeid(Model::ItemRevision_Master));
    EXPECT_TRUE(classOf(plain) == typeid(ModelObject));
    EXPECT_EQ("MasterAAAAAAAA", master->getUid());
    EXPECT_EQ("ItemRevision Master", master->getType()->getName());

    // The manager deletes them through ModelObject*, records and all.
    manager.removeObjectsFromStore(std::vector<std::string>{"ItemAAAAAAAAAA", "MasterAAAAAAAA"});
}

TEST(TypedClasses, AServiceDataReplyLoadsObjectsOfTheirTypedClasses) {
    namespace Wire = Quillomark::Testing::Model;
    using Quillomark::Soa::Client::Connection;

    Connection connection("http://localhost:1/tc", nullptr, Connection::HTTP, Connection::REST,
                          false);
    auto& manager = *static_cast<ModelManagerImpl*>(connection.getModelManager());
    auto* service = Quillomark::Testing::FakeInternalSessionService::install(connection);
    service->behaviour = [&manager](const std::vector<std::string>&) {
        manager.loadModelSchema(Wire::schema({
            Wire::type("POM_object", ""),
            Wire::type("WorkspaceObject", "POM_object"),
            Wire::type("Item", "WorkspaceObject", {{"item_id", 8}}),
            Wire::type("Dataset", "WorkspaceObject"),
            Wire::type("SiteDataset", "Dataset"),  // a type of the site's own
            Wire::type("ItemRevision Master", "WorkspaceObject"),
            Wire::type("sysd", "POM_object"),
            Wire::type("Unregistered", ""),
        }));
    };

    Quillomark::Schemas::Soa::_2006_03::Base::ServiceData data;
    data.addDataObject(
        Wire::object("QaItemAAAAAAAA", "Item", {Wire::property("item_id", {"000123"})}));
    data.addDataObject(Wire::object("QaSiteAAAAAAAA", "SiteDataset"));
    data.addDataObject(Wire::object("QaMastAAAAAAAA", "ItemRevision Master"));
    data.addDataObject(Wire::object("QaSysdAAAAAAAA", "sysd"));
    data.addDataObject(Wire::object("QaNoneAAAAAAAA", "Unregistered"));
    for (const char* uid : {"QaItemAAAAAAAA", "QaSiteAAAAAAAA", "QaMastAAAAAAAA", "QaSysdAAAAAAAA",
                            "QaNoneAAAAAAAA"}) {
        data.addPlainObj(Wire::ref(uid));
    }
    const std::vector<ModelObject*> plain = manager.loadServiceData(data).getPlainObjs();

    ASSERT_EQ(5u, plain.size());
    EXPECT_TRUE(classOf(plain[0]) == typeid(Model::Item));
    EXPECT_TRUE(classOf(plain[1]) == typeid(Model::Dataset));
    EXPECT_TRUE(classOf(plain[2]) == typeid(Model::ItemRevision_Master));
    EXPECT_TRUE(classOf(plain[3]) == typeid(Model::Sysd));
    EXPECT_TRUE(classOf(plain[4]) == typeid(ModelObject));
    EXPECT_EQ("000123", dynamic_cast<Model::Item*>(plain[0])->get_item_id());
}

TEST(TypedClasses, ATypeWithoutFactoryGetsTheClassOfItsNearestAncestorWithOne) {
    TypeImpl item("TYPE::1", "Item");
    TypeImpl custom("TYPE::2", "CustomItem");
    TypeImpl customChild("TYPE::3", "CustomItemChild");
    custom.setParent(&item);
    customChild.setParent(&custom);

    ModelObject* object = ModelManagerImpl::constructObjectOfType(&customChild);
    EXPECT_TRUE(classOf(object) == typeid(Model::Item));
    EXPECT_NE(nullptr, dynamic_cast<Model::WorkspaceObject*>(object));
    EXPECT_EQ(nullptr, dynamic_cast<Model::ItemRevision*>(object));
    delete dynamic_cast<Model::Item*>(object);
}

TEST(TypedClasses, DeletingAnObjectDeletesItsRecordExactlyOnce) {
    FactoryMap factories;
    int destroyed = 0;
    int expected = 0;
    for (const TypedClassRow& row : typedClassRows()) {
        ModelObject* object = factories.construct(row.serverType);
        auto* record = new ModelObjectImpl("AAAAAAAAAAAAAB", nullptr);
        record->addProperty("object_name", new CountingProperty(&destroyed));
        RecordAccess::attach(object, record);
        row.destroy(object);
        ASSERT_EQ(++expected, destroyed) << row.className;
    }

    // An object that never received a record frees only itself.
    delete new Model::Item();
}

}  // namespace
