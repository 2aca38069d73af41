#include <soa/client/ModelManagerImpl.hxx>
#include <soa/client/ModelObject.hxx>
#include <soa/client/TypeImpl.hxx>
#include <soa/client/model/Item.hxx>

#include "tests/model/ModelTestSupport.hxx"

#include <gtest/gtest.h>

#include <typeinfo>

namespace {

using namespace Quillomark::Soa::Client;
using Quillomark::Testing::classOf;

// Needs a process in which no model manager has been made yet.
TEST(FactoryMapTest, TypedObjectsCanBeMadeBeforeAnyManagerAndAfterTheLastOneWent) {
    TypeImpl item("TYPE::1", "Item");
    TypeImpl custom("TYPE::2", "CustomItem");
    custom.setParent(&item);

    // Only a manager may delete client objects; these stay for the
    // process's lifetime.
    static ModelObject* made[2];
    made[0] = ModelManagerImpl::constructObjectOfType(&custom);
    EXPECT_EQ(classOf(made[0]), typeid(Model::Item));
    {
        ModelManagerImpl first(nullptr);
        {
            ModelManagerImpl second(nullptr);
            second.constructObject("Item", "QaBcAAAAAAAAAA");
        }
        EXPECT_EQ(classOf(first.constructObject("Item", "QaBdAAAAAAAAAA")), typeid(Model::Item));
    }
    made[1] = ModelManagerImpl::constructObjectOfType(&custom);
    EXPECT_EQ(classOf(made[1]), typeid(Model::Item));
}

}  // namespace
