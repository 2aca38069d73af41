// The first connections of a process made on two threads at once: what the
// process makes once on first use (the crypto start, the factory map) is
// made once, and neither thread sees it half made. Meant to run under
// ThreadSanitizer too; this executable must not make a connection first.
#include <platform/crypto/internal/QmCryptoTesting.hxx>
#include <soa/client/Connection.hxx>
#include <soa/client/ModelManager.hxx>
#include <soa/client/SessionManager.hxx>
#include <soa/client/model/Item.hxx>

#include <gtest/gtest.h>

#include <future>
#include <thread>
#include <typeinfo>

namespace {

namespace Hooks = Quillomark::Platform::Testing;
using Quillomark::Soa::Client::Connection;
using Quillomark::Soa::Client::SessionManager;

TEST(FirstConnectionsAtOnceTest, StartTheCryptoLibraryOnceAndShareOneFactoryMap) {
    std::promise<void> go;
    const std::shared_future<void> started = go.get_future().share();
    auto firstRequest = [started](const char* uid) {
        started.wait();
        Connection connection("http://127.0.0.1:1", nullptr, Connection::HTTP, Connection::REST,
                              true);
        SessionManager::getSessionManager(&connection)->getRestSender();
        auto* item = connection.getModelManager()->constructObject("Item", uid);
        return typeid(*item) == typeid(Quillomark::Soa::Client::Model::Item);
    };
    auto a = std::async(std::launch::async, firstRequest, "QaAaAAAAAAAAAA");
    auto b = std::async(std::launch::async, firstRequest, "QaAbAAAAAAAAAA");
    go.set_value();
    EXPECT_TRUE(a.get());
    EXPECT_TRUE(b.get());
    EXPECT_EQ(Hooks::cryptoInitializeCount(), 1);
}

}  // namespace
