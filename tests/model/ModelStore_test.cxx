#include <soa/client/ModelManagerImpl.hxx>
#include <soa/client/ModelObject.hxx>
#include <soa/client/RuntimeException.hxx>
#include <soa/client/Type.hxx>
#include <soa/client/TypeImpl.hxx>
#include <soa/client/model/Item.hxx>
#include <soa/client/model/ItemRevision.hxx>
#include <soa/client/model/ItemRevision_Master.hxx>

#include "tests/model/LoadingSupport.hxx"

#include "tests/model/ModelTestSupport.hxx"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <typeinfo>
#include <vector>

namespace {

using namespace Quillomark::Soa::Client;
using namespace Quillomark::Testing::Model;
using Quillomark::Testing::classOf;

const std::string UID_A = "QaBcAAAAAAAAAA";
const std::string UID_B = "QaBdAAAAAAAAAA";

TEST(ModelStoreTest, UidsAreLookedUpAndValidatedAsTheServerWritesThem) {
    ModelManagerImpl manager(nullptr);
    EXPECT_EQ(manager.getObject(""), nullptr);
    RuntimeException e = thrownBy([&] { manager.getObject("AAAAAAAAAAAAAA"); });
    EXPECT_EQ(e.getType(), RuntimeException::NOT_LOADED);
    EXPECT_EQ(e.getMessage(), "Asked for unloaded object");

    for (const char* valid : {"BOM::", "TYPE::a-long-type-uid", "12345678901234"}) {
        EXPECT_TRUE(manager.validateUID(valid)) << valid;
    }
    for (const char* invalid : {"1234567890123", "123456789012345", "bom::1", "type::Item", ""}) {
        EXPECT_FALSE(manager.validateUID(invalid)) << invalid;
    }
    e = thrownBy([&] { manager.constructObject("Item", "abcde"); });
    EXPECT_EQ(e.getType(), RuntimeException::GENERAL_ERROR);
    EXPECT_EQ(e.getMessage(), "Invalid UID specified: abcde");
    EXPECT_THROW(manager.getObject("abcde"), RuntimeException);
}

TEST(ModelStoreTest, ConstructObjectKeepsOneObjectPerUidWithThePlaceholderTypeOfItsName) {
    ModelManagerImpl manager(nullptr);
    ModelObject* a = manager.constructObject("NoSuchType", UID_A);
    EXPECT_EQ(classOf(a), typeid(ModelObject));
    Type* placeholder = a->getType();
    EXPECT_EQ(placeholder->getName(), "NoSuchType");
    EXPECT_EQ(placeholder->getUid(), "UNKNOWN_TYPE_UID");
    EXPECT_EQ(placeholder->getParent(), nullptr);
    EXPECT_EQ(manager.constructObject("Folder", UID_A), a);  // the type name is ignored
    EXPECT_EQ(a->getType(), placeholder);
    EXPECT_EQ(manager.constructObject("NoSuchType", UID_B)->getType(), placeholder);
    EXPECT_EQ(manager.constructObject("BOM::7")->getType()->getName(), "ModelObject");
    ModelObject* n = manager.constructObject("AAAAAAAAAAAAAA");
    EXPECT_EQ(manager.getObject("AAAAAAAAAAAAAA"), n);
}

TEST(ModelStoreTest, RemovalByObjectsToleratesDuplicatesAndNulls) {
    ModelManagerImpl manager(nullptr);
    ModelObject* a = manager.constructObject(UID_A);
    ModelObject* b = manager.constructObject(UID_B);
    manager.constructObject("BOM::keep");
    std::vector<ModelObject*> list{a, nullptr, a, b, a};
    manager.removeObjectsFromStore(list);
    EXPECT_EQ(list.size(), 5u);
    EXPECT_THROW(manager.getObject(UID_A), RuntimeException);
    EXPECT_THROW(manager.getObject(UID_B), RuntimeException);

    manager.removeObjectsFromStore(std::vector<std::string>{"BOM::none", UID_A, "BOM::keep"});
    EXPECT_THROW(manager.getObject("BOM::keep"), RuntimeException);
    manager.constructObject(UID_B);
    manager.removeAllObjectsFromStore();
    EXPECT_EQ(manager.constructObject(UID_B)->getUid(), UID_B);
}

TEST(ModelStoreTest, ObjectsGetTheClassOfTheirTypeOrOfItsNearestAncestorWithOne) {
    namespace Model = Quillomark::Soa::Client::Model;
    ModelManagerImpl manager(nullptr);
    EXPECT_EQ(classOf(manager.constructObject("ItemRevision", UID_B)), typeid(Model::ItemRevision));
    // Keys are server type names, never class names.
    EXPECT_EQ(classOf(manager.constructObject("ItemRevision_Master", "BOM::1")),
              typeid(ModelObject));
    EXPECT_EQ(classOf(manager.constructObject("ItemRevision Master", "BOM::2")),
              typeid(Model::ItemRevision_Master));

    manager.loadModelSchema(schema({type("DeeperCustomItem", "CustomItem"),
                                    type("CustomItem", "Item"), type("Item", "WorkspaceObject"),
                                    type("WorkspaceObject", ""), type("ModelObject", "")}));
    EXPECT_EQ(classOf(manager.loadObjectData(object(UID_A, "DeeperCustomItem"))),
              typeid(Model::Item));
    EXPECT_EQ(classOf(manager.constructObject("CustomItem", "BOM::3")), typeid(Model::Item));
    EXPECT_EQ(classOf(manager.constructObject("BOM::4")), typeid(ModelObject));
}

TEST(ModelStoreTest, ManagersOutliveEachOtherInAnyOrder) {
    auto* first = new ModelManagerImpl(nullptr);
    auto* second = new ModelManagerImpl(nullptr);
    second->constructObject("Item", UID_A);
    delete second;  // the newest goes first
    EXPECT_EQ(classOf(first->constructObject("Item", UID_B)), typeid(Model::Item));
    delete first;
}

// Each manager on a thread of its own, one type's chain going on in the
// other's types: neither writes to the other's.
TEST(ModelStoreTest, AManagerReadsTheTypesOfAnotherWithoutWritingThem) {
    ModelManagerImpl first(nullptr);
    ModelManagerImpl second(nullptr);
    second.loadModelSchema(schema({type("Item", ""), type("Custom", "Item")}));
    first.loadModelSchema(schema({type("Own", ""), type("P", ""), type("Q", "")}));
    first.getType("Own")->setParent(second.getType("Custom"));
    std::thread other([&] {
        for (int i = 0; i < 1000; ++i)
            second.constructObject("Custom", "BOM::" + std::to_string(i));
    });
    for (int i = 0; i < 1000; ++i) {
        first.loadModelSchema(schema({type("Q", i % 2 != 0 ? "P" : "Own")}));
        EXPECT_EQ(classOf(first.constructObject("Own", "BOM::" + std::to_string(i))),
                  typeid(Model::Item));
    }
    other.join();
}

}  // namespace
