#include <soa/client/ModelManagerImpl.hxx>
#include <soa/client/ModelObject.hxx>
#include <soa/client/TypeImpl.hxx>

#include <gtest/gtest.h>


namespace {

using namespace Quillomark::Soa::Client;

// Needs a process in which no model manager has been made yet.
TEST(FactoryMapTest, ObjectsCanBeMadeBeforeAndAfterAnyManager) {
    TypeImpl root("TYPE::1", "NoFactoryRoot");
    TypeImpl type("TYPE::2", "NoFactoryLeaf");
    type.setParent(&root);

    // Only the manager may delete client objects; these stay for the
    // process's lifetime.
    static ModelObject* made[2];
    made[0] = ModelManagerImpl::constructObjectOfType(&type);
    ASSERT_NE(made[0], nullptr);
    {
        ModelManagerImpl manager(nullptr);
        manager.constructObject("NoFactoryLeaf", "QaBcAAAAAAAAAA");
    }
    made[1] = ModelManagerImpl::constructObjectOfType(&type);
    ASSERT_NE(made[1], nullptr);
}

}  // namespace
