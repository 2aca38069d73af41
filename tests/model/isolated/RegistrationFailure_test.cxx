// A registration of the object factories that runs out of memory part-way
// frees every factory it made. The global allocation functions are replaced
// here to fail the n-th allocation, so this is an executable of its own.

#include <soa/client/model/factories/ModelObjectFactory.hxx>
#include <soa/client/model/factories/ObjectFactories.hxx>

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <new>
#include <string>

namespace {

long failAfter = -1;  // allocations left before one fails; -1: never fail
long live = 0;        // blocks allocated and not yet freed

}  // namespace

void* operator new(std::size_t size) {
    if (failAfter == 0) {
        throw std::bad_alloc();
    }
    if (failAfter > 0) {
        --failAfter;
    }
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    ++live;
    return block;
}

// The replacement pair allocates with malloc and frees with free, which the
// compiler, seeing only the new-expression, takes for a mismatch.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* block) noexcept {
    if (block != nullptr) {
        --live;
        std::free(block);
    }
}

void operator delete(void* block, std::size_t) noexcept { operator delete(block); }
#pragma GCC diagnostic pop

namespace {

using FactoryMap = std::map<std::string, Quillomark::Soa::Client::ModelObjectFactory*>;

// Registers into a fresh map with the n-th allocation failing; returns
// whether the registration threw bad_alloc.
bool registerFailingAt(long n, FactoryMap& map) {
    failAfter = n;
    bool threw = false;
    try {
        Quillomark::Soa::Client::registerObjectFactories(map);
    } catch (const std::bad_alloc&) {
        threw = true;
    }
    failAfter = -1;
    return threw;
}

TEST(RegistrationFailure, FreesEveryFactoryItMadeAndLeavesTheMapEmpty) {
    // A whole registration: how many allocations it makes.
    long before = live;
    long budget = 1L << 30;
    failAfter = budget;
    {
        FactoryMap map;
        Quillomark::Soa::Client::registerObjectFactories(map);
        EXPECT_EQ(939u, map.size());
        for (auto& entry : map) {
            delete entry.second;
        }
    }
    long allocations = budget - failAfter;
    failAfter = -1;
    ASSERT_EQ(before, live);
    ASSERT_GT(allocations, 939 * 2);

    // Fail at the first, an early, a middle and the last allocation, and at
    // every one of the first few entries (factory, key and node in turn).
    for (long n : {0L, 1L, 2L, 3L, 4L, 5L, 6L, 7L, 100L, allocations / 2, allocations - 1}) {
        FactoryMap map;
        long liveBefore = live;
        EXPECT_TRUE(registerFailingAt(n, map)) << n;
        EXPECT_TRUE(map.empty()) << n;
        EXPECT_EQ(liveBefore, live) << "allocation " << n << " left blocks behind";
    }
}

}  // namespace
