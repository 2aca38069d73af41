// The crypto library is initialised once per process, by the first HTTP
// sender; this executable must not make any other sender first.
#include <platform/crypto/internal/QmCryptoTesting.hxx>
#include <soa/client/Connection.hxx>
#include <soa/client/SessionManager.hxx>

#include <gtest/gtest.h>

namespace {

namespace Hooks = Quillomark::Platform::Testing;
using Quillomark::Soa::Client::Connection;
using Quillomark::Soa::Client::SessionManager;

TEST(CryptoOnceTest, TheFirstSenderInitialisesInItsModeAndLaterOnesDoNot) {
    Connection domestic("http://127.0.0.1:1", nullptr, Connection::HTTP, Connection::REST, true);
    Connection fips("http://127.0.0.1:1", nullptr, Connection::HTTP, Connection::REST, true);
    fips.setOption(Connection::CRYPTO_MODE, "FIPS");

    EXPECT_NE(SessionManager::getSessionManager(&domestic)->getRestSender(), nullptr);
    EXPECT_NE(SessionManager::getSessionManager(&fips)->getRestSender(), nullptr);
    EXPECT_EQ(Hooks::cryptoInitializeCount(), 1);
    EXPECT_EQ(Hooks::cryptoLastMode(), 1);
}

}  // namespace
