// IIOP connections on several threads at once, each thread with its own
// connection, as the README allows: the ORB that they share is made and
// joined under its lock, and no thread sees the gateway stub or omniORB's
// nil references half made. Meant to run under ThreadSanitizer too; every
// case must be the first of its process to connect (ctest runs each in a
// process of its own).
#include <soa/client/Connection.hxx>
#include <soa/client/RestSender.hxx>
#include <soa/client/SessionManager.hxx>
#include <soa/client/internal/GatewayOrb.hxx>

#include "tests/fastcache/ChildProcess.hxx"
#include "tests/support/GatewayServerProcess.hxx"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Quillomark::Soa::Client::Connection;
using Quillomark::Soa::Client::GatewayOrb;
using Quillomark::Soa::Client::SessionManager;
using Quillomark::Testing::GatewayServerProcess;

// Runs `work(thread)` on `threads` threads released together; each returns
// the number of wrong replies it met, and so does this.
int onThreadsAtOnce(int threads, const std::function<int(int)>& work) {
    std::promise<void> go;
    const std::shared_future<void> started = go.get_future().share();
    std::vector<std::future<int>> done;
    for (int t = 0; t < threads; ++t) {
        done.push_back(std::async(std::launch::async, [started, &work, t] {
            started.wait();
            return work(t);
        }));
    }
    go.set_value();
    int wrong = 0;
    for (auto& d : done) wrong += d.get();
    return wrong;
}

int echoes(Connection& connection, const std::string& tag, int count) {
    auto* sender = SessionManager::getSessionManager(&connection)->getRestSender();
    int wrong = 0;
    for (int i = 0; i < count; ++i) {
        const std::string request = tag + "-" + std::to_string(i);
        std::string response;
        sender->send("Svc", "echo", request, response);
        wrong += response != request;
    }
    return wrong;
}

class ThreadedIiopTest : public ::testing::Test {
protected:
    void SetUp() override { server.start(); }
    GatewayServerProcess server;
};

TEST_F(ThreadedIiopTest, FirstConnectionsOnSeveralThreadsAtOnce) {
    const auto connectAndEcho = [this](int t) {
        Connection connection(server.hostPath(), nullptr, Connection::IIOP, Connection::REST,
                              false);
        return echoes(connection, "t" + std::to_string(t), 50);
    };
    EXPECT_EQ(onThreadsAtOnce(8, connectAndEcho), 0);
    EXPECT_EQ(GatewayOrb::shares(), 0);
}

TEST_F(ThreadedIiopTest, ConnectionsMadeAndEndedOnSeveralThreads) {
    // Threads join the library's ORB and give their shares back while
    // others take theirs.
    const auto connectionsOneAfterAnother = [this](int t) {
        int wrong = 0;
        for (int i = 0; i < 25; ++i) {
            Connection connection(server.hostPath(), nullptr, Connection::IIOP, Connection::REST,
                                  false);
            wrong += echoes(connection, std::to_string(t) + "." + std::to_string(i), 2);
        }
        return wrong;
    };
    EXPECT_EQ(onThreadsAtOnce(4, connectionsOneAfterAnother), 0);
    EXPECT_EQ(GatewayOrb::shares(), 0);
}

// An application that called ORB_init while a connection of the library
// held the ORB got the library's ORB, and calls through it on a thread of
// its own while that connection, the library's last, ends: each call works
// or fails with a system exception, and the process lives. The ending
// meets a call only now and then, so it is tried in many fresh processes.
TEST_F(ThreadedIiopTest, TheApplicationCallsThroughTheLibrarysOrbWhileItsLastConnectionEnds) {
    // ThreadSanitizer holds a process that ends while omniORB's threads run
    // for a second: fewer rounds there.
#if defined(__SANITIZE_THREAD__)
    const int rounds = 5;
#else
    const int rounds = 40;
#endif
    for (int round = 0; round < rounds; ++round) {
        const std::string end = Quillomark::Testing::runInChild([this] {
            auto connection = std::make_unique<Connection>(
                server.hostPath(), nullptr, Connection::IIOP, Connection::REST, false);
            echoes(*connection, "library", 1);
            int argc = 0;
            CORBA::ORB_var orb = CORBA::ORB_init(argc, nullptr, "");
            std::atomic<int> calls{0};
            std::atomic<bool> stop{false};
            std::thread application([&] {
                for (; !stop; ++calls)
                    Quillomark::Testing::callThrough(orb.in(), server.hostPath());
            });
            while (calls == 0) std::this_thread::yield();
            connection.reset();
            for (const int ended = calls; calls < ended + 2;) std::this_thread::yield();
            stop = true;
            application.join();
        });
        ASSERT_EQ(end, "") << "round " << round;
    }
}

// The process's first ORB shares taken on many threads at the same moment:
// omniORB makes what its nil references share on first use, and a lost race
// there leaves a lock held for good or two threads writing one list. It is
// rare in any one process, so it is run in many child processes, each as
// fresh as this one: this case must be the first of its process to take a
// share.
TEST(FirstOrbSharesTest, TakenOnManyThreadsAtOnceNeitherHangNorCorruptTheHeap) {
    for (int round = 0; round < 100; ++round) {
        const std::string end = Quillomark::Testing::runInChild([] {
            constexpr int THREADS = 8;
            std::atomic<int> waiting{THREADS};
            std::vector<std::thread> threads;
            for (int i = 0; i < THREADS; ++i) {
                threads.emplace_back([&waiting] {
                    --waiting;
                    while (waiting > 0) std::this_thread::yield();
                    GatewayOrb share;
                });
            }
            for (std::thread& thread : threads) thread.join();
        });
        ASSERT_EQ(end, "") << "round " << round;
    }
}

}  // namespace
