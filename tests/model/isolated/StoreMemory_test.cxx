// The memory of a manager follows the objects in its store: what an object
// needed goes when the object goes or no longer needs it, but for the one
// placeholder type of each name, which stays with the manager. The global
// allocation functions are replaced here to count the blocks in use, so
// this is an executable of its own.

#include <soa/client/ModelManagerImpl.hxx>
#include <soa/client/ModelObject.hxx>
#include <soa/client/Type.hxx>
#include <soa/client/TypeImpl.hxx>

#include "tests/model/LoadingSupport.hxx"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

namespace {

long live = 0;  // blocks allocated and not yet freed

}  // namespace

void* operator new(std::size_t size) {
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) throw std::bad_alloc();
    ++live;
    return block;
}

// The replacement pair allocates with malloc and frees with free, which the
// compiler, seeing only the new-expression, takes for a mismatch.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* block) noexcept {
    if (block == nullptr) return;
    --live;
    std::free(block);
}

void operator delete(void* block, std::size_t) noexcept { operator delete(block); }
#pragma GCC diagnostic pop

namespace {

using namespace Quillomark::Soa::Client;
using namespace Quillomark::Testing::Model;

std::string uid(int n) {
    char text[16];
    std::snprintf(text, sizeof text, "QaPh%010d", n);
    return text;
}

TEST(StoreMemory, ObjectsOfNamesNotLoadedLeaveOnePlaceholderPerName) {
    const int count = 2000;
    std::vector<std::string> uids;
    for (int n = 0; n < count; ++n) uids.push_back(uid(n));
    ModelManagerImpl manager(nullptr);
    manager.constructObject(uids[0]);
    manager.constructObject("Part", uids[1]);
    manager.removeAllObjectsFromStore();
    const long placeholders = live;

    for (int round = 0; round < 3; ++round) {
        for (const std::string& u : uids) manager.constructObject(u);
        manager.removeAllObjectsFromStore();
        EXPECT_EQ(live, placeholders) << "round " << round;
        for (const std::string& u : uids) manager.constructObject("Part", u);
        manager.removeObjectsFromStore(uids);
        EXPECT_EQ(live, placeholders) << "round " << round;
    }

    // Refined by their loaded type, the objects need what objects loaded
    // with that type from the start need.
    const Base::ModelSchema parts = schema({type("Part", "")});
    std::vector<Base::ModelObject> wire;
    for (const std::string& u : uids) wire.push_back(object(u, "Part"));
    const long wireMade = live;
    ModelManagerImpl direct(nullptr);
    direct.loadModelSchema(parts);
    direct.loadObjectData(wire);
    const long loadedDirectly = live - wireMade;

    ModelManagerImpl refined(nullptr);
    refined.constructObject("Part", uids[0]);
    refined.removeAllObjectsFromStore();
    const long before = live;
    for (const std::string& u : uids) refined.constructObject("Part", u);
    refined.loadModelSchema(parts);
    refined.loadObjectData(wire);
    EXPECT_EQ(refined.getObject(uids[0])->getType(), refined.getType("Part"));
    EXPECT_EQ(live - before, loadedDirectly);
}

}  // namespace
