#include <soa/client/ModelManagerImpl.hxx>
#include <soa/client/ModelObject.hxx>
#include <soa/client/RuntimeException.hxx>
#include <soa/client/Type.hxx>

#include <gtest/gtest.h>

#include <string>
#include <typeinfo>
#include <vector>

namespace {

using namespace Quillomark::Soa::Client;

// Runs `f` and returns the RuntimeException it throws.
template <class F>
RuntimeException thrownBy(F f) {
    try {
        f();
    } catch (const RuntimeException& e) {
        return e;
    }
    ADD_FAILURE() << "no RuntimeException";
    return RuntimeException();
}

const std::string UID_A = "QaBcAAAAAAAAAA";
const std::string UID_B = "QaBdAAAAAAAAAA";

TEST(ModelStoreTest, GetObjectGivesNullForEmptyUidAndThrowsForUnknownOnes) {
    ModelManagerImpl manager(nullptr);
    EXPECT_EQ(manager.getObject(""), nullptr);
    for (const std::string& uid : {UID_A, std::string("AAAAAAAAAAAAAA")}) {
        RuntimeException e = thrownBy([&] { manager.getObject(uid); });
        EXPECT_EQ(e.getType(), RuntimeException::NOT_LOADED);
        EXPECT_EQ(e.getMessage(), "Asked for unloaded object");
    }
}

TEST(ModelStoreTest, ValidUidsHaveAPrefixOrFourteenCharacters) {
    ModelManagerImpl manager(nullptr);
    EXPECT_TRUE(manager.validateUID("BOM::1"));
    EXPECT_TRUE(manager.validateUID("BOM::"));
    EXPECT_TRUE(manager.validateUID("TYPE::ItemRevision-with-a-long-name"));
    EXPECT_TRUE(manager.validateUID("AAAAAAAAAAAAAA"));
    EXPECT_TRUE(manager.validateUID("12345678901234"));
    EXPECT_FALSE(manager.validateUID("1234567890123"));
    EXPECT_FALSE(manager.validateUID("123456789012345"));
    EXPECT_FALSE(manager.validateUID("bom::1"));
    EXPECT_FALSE(manager.validateUID("type::ItemRevision"));
    EXPECT_FALSE(manager.validateUID("BOM:"));
    EXPECT_FALSE(manager.validateUID(""));
}

TEST(ModelStoreTest, ConstructObjectRefusesInvalidUidsAndStoresNothing) {
    ModelManagerImpl manager(nullptr);
    RuntimeException e = thrownBy([&] { manager.constructObject("Item", "abcde"); });
    EXPECT_EQ(e.getType(), RuntimeException::GENERAL_ERROR);
    EXPECT_EQ(e.getMessage(), "Invalid UID specified: abcde");
    EXPECT_THROW(manager.getObject("abcde"), RuntimeException);
}

TEST(ModelStoreTest, ConstructObjectKeepsOneObjectPerUidWithItsOwnPlaceholderType) {
    ModelManagerImpl manager(nullptr);
    ModelObject* a = manager.constructObject("NoSuchTypeAnywhere", UID_A);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(typeid(*a), typeid(ModelObject));
    EXPECT_EQ(a->getUid(), UID_A);
    Type* placeholder = a->getType();
    EXPECT_EQ(placeholder->getName(), "NoSuchTypeAnywhere");
    EXPECT_EQ(placeholder->getUid(), "UNKNOWN_TYPE_UID");
    EXPECT_EQ(placeholder->getParent(), nullptr);
    EXPECT_EQ(placeholder->getPropertyDescription("object_name"), nullptr);
    EXPECT_TRUE(a->getPropertyNames().empty());

    EXPECT_EQ(manager.constructObject("Folder", UID_A), a);  // the type name is ignored
    EXPECT_EQ(a->getType(), placeholder);
    EXPECT_EQ(manager.getObject(UID_A), a);

    ModelObject* b = manager.constructObject("NoSuchTypeAnywhere", UID_B);
    EXPECT_NE(b->getType(), placeholder);
    EXPECT_EQ(b->getType()->getName(), "NoSuchTypeAnywhere");

    ModelObject* c = manager.constructObject("BOM::7");
    EXPECT_EQ(c->getType()->getName(), "ModelObject");
    EXPECT_EQ(typeid(*c), typeid(ModelObject));

    // The null UID is a valid UID for construction.
    ModelObject* n = manager.constructObject("AAAAAAAAAAAAAA");
    EXPECT_EQ(manager.getObject("AAAAAAAAAAAAAA"), n);
}

TEST(ModelStoreTest, RemovalByObjectsToleratesDuplicatesNullsAndStrangers) {
    ModelManagerImpl manager(nullptr);
    ModelObject* a = manager.constructObject(UID_A);
    ModelObject* b = manager.constructObject(UID_B);
    manager.constructObject("BOM::keep");

    std::vector<ModelObject*> list{a, nullptr, a, b, a};
    manager.removeObjectsFromStore(list);
    EXPECT_EQ(list.size(), 5u);  // the caller's list is not changed
    EXPECT_THROW(manager.getObject(UID_A), RuntimeException);
    EXPECT_THROW(manager.getObject(UID_B), RuntimeException);
    EXPECT_NE(manager.getObject("BOM::keep"), nullptr);

    manager.removeObjectsFromStore(std::vector<std::string>{"BOM::none", UID_A, ""});
    EXPECT_NE(manager.getObject("BOM::keep"), nullptr);
    manager.removeObjectsFromStore(std::vector<std::string>{"BOM::keep", "BOM::keep"});
    EXPECT_THROW(manager.getObject("BOM::keep"), RuntimeException);

    // The store is usable again after it was emptied.
    manager.constructObject(UID_A);
    manager.constructObject(UID_B);
    manager.removeAllObjectsFromStore();
    EXPECT_THROW(manager.getObject(UID_B), RuntimeException);
    EXPECT_EQ(manager.constructObject(UID_B)->getUid(), UID_B);
}

TEST(ModelStoreTest, ManagersOutliveEachOtherInAnyOrder) {
    auto* first = new ModelManagerImpl(nullptr);
    auto* second = new ModelManagerImpl(nullptr);
    second->constructObject("Item", UID_A);
    delete second;  // the newest goes first
    ModelObject* o = first->constructObject("Item", UID_B);
    EXPECT_EQ(o->getUid(), UID_B);
    delete first;
    ModelManagerImpl third(nullptr);
    EXPECT_NE(third.constructObject("Item", UID_A), nullptr);
}

}  // namespace
