// The HTTP sender leaves the process's signals to the application: an
// application's own SIGPIPE handler stays in place, and never runs, while
// senders on several threads upload to a peer that resets the connection
// in the middle of the body, over plain HTTP and over HTTPS.

#include <soa/client/Connection.hxx>
#include <soa/client/RestSender.hxx>
#include <soa/client/SessionManager.hxx>
#include <soa/schemas/exceptions/ConnectionException.hxx>

#include "tests/support/LoopbackHttpServer.hxx"
#include "tests/support/ResettingPeer.hxx"

#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace Ex = Quillomark::Schemas::Soa::_2006_03::Exceptions;
using Quillomark::Soa::Client::Connection;
using Quillomark::Soa::Client::SessionManager;
using Quillomark::Testing::ResettingPeer;
using Transport = ResettingPeer::Transport;

std::atomic<int> sigpipes{0};

extern "C" void countSigpipe(int) { sigpipes.fetch_add(1); }

using Handler = void (*)(int);

Handler sigpipeHandler() {
    struct sigaction now {};
    sigaction(SIGPIPE, nullptr, &now);
    return now.sa_handler;
}

class ApplicationSigpipeHandler : public ::testing::TestWithParam<Transport> {
protected:
    void SetUp() override {
        if (GetParam() == Transport::Tls && !Quillomark::Testing::tlsAvailable()) {
            GTEST_SKIP() << "HTTPS not tried: this build found no OpenSSL development files to "
                            "serve TLS with";
        }
        struct sigaction mine {};
        mine.sa_handler = &countSigpipe;
        sigemptyset(&mine.sa_mask);
        ASSERT_EQ(sigaction(SIGPIPE, &mine, &previous), 0);
        installed = true;
    }
    void TearDown() override {
        if (installed) sigaction(SIGPIPE, &previous, nullptr);
    }

    struct sigaction previous {};
    bool installed = false;
};

TEST_P(ApplicationSigpipeHandler, StaysAndNeverRunsWhileThreadsUploadToAPeerThatResets) {
    constexpr int threads = 4;
    constexpr int requestsEach = 25;
    ResettingPeer peer(GetParam());
    // Far more than the socket buffers hold: the sender is still writing
    // the body when the reset arrives.
    const std::string body(8 << 20, 'u');

    std::mutex gateMutex;
    std::condition_variable gate;
    int ready = 0;
    std::atomic<int> refused{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&] {
            Connection connection(peer.url() + "/tc", nullptr, Connection::HTTP, Connection::REST,
                                  true);
            connection.setOption(Connection::SSL_VERIFY_PEER, "false");  // self-signed
            auto* sender = SessionManager::getSessionManager(&connection)->getRestSender();
            {
                // All threads start their transfers together.
                std::unique_lock<std::mutex> lock(gateMutex);
                if (++ready == threads) gate.notify_all();
                gate.wait(lock, [&] { return ready == threads; });
            }
            for (int i = 0; i < requestsEach; ++i) {
                std::string response;
                try {
                    sender->send("Svc", "upload", body, response);
                } catch (const Ex::ConnectionException&) {
                    ++refused;
                }
            }
        });
    }
    for (std::thread& worker : workers) worker.join();

    EXPECT_EQ(refused.load(), threads * requestsEach);
    EXPECT_EQ(peer.resetsMidUpload(), threads * requestsEach);
    EXPECT_EQ(sigpipeHandler(), &countSigpipe) << "the application's SIGPIPE handler was replaced";
    EXPECT_EQ(sigpipes.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(Transports, ApplicationSigpipeHandler,
                         ::testing::Values(Transport::Plain, Transport::Tls),
                         [](const ::testing::TestParamInfo<Transport>& info) {
                             return info.param == Transport::Tls ? "Https" : "Http";
                         });

}  // namespace
