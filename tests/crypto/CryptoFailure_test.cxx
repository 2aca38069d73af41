// A crypto library that refuses to initialise fails the first HTTP sender
// of the process; it is not tried again. This executable must not make any
// other sender first.
#include <platform/crypto/internal/QmCryptoTesting.hxx>
#include <soa/client/Connection.hxx>
#include <soa/client/SessionManager.hxx>
#include <soa/schemas/exceptions/ProtocolException.hxx>

#include <gtest/gtest.h>

namespace {

namespace Hooks = Quillomark::Platform::Testing;
using Quillomark::Soa::Client::Connection;
using Quillomark::Soa::Client::SessionManager;

TEST(CryptoFailureTest, TheFirstSenderFailsAndTheNextIsMadeWithoutRetrying) {
    Connection fips("http://127.0.0.1:1", nullptr, Connection::HTTP, Connection::REST, true);
    fips.setOption(Connection::CRYPTO_MODE, "FIPS");
    SessionManager* session = SessionManager::getSessionManager(&fips);

    Hooks::failNextCryptoInitialize();
    try {
        session->getRestSender();
        FAIL() << "made a sender";
    } catch (const Quillomark::Schemas::Soa::_2006_03::Exceptions::ProtocolException& e) {
        EXPECT_EQ(e.getMessage(), "Could not initialize QmCrypto library.");
    }
    EXPECT_EQ(Hooks::cryptoInitializeCount(), 1);
    EXPECT_EQ(Hooks::cryptoLastMode(), 2);

    EXPECT_NE(session->getRestSender(), nullptr);
    EXPECT_EQ(Hooks::cryptoInitializeCount(), 1);
}

}  // namespace
