// IIOP connections on several threads at once, each thread with its own
// connection, as the README allows: the ORB that they share is made, joined
// and ended under its lock, and no thread sees the gateway stub or omniORB's
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
    // The library's ORB ends with the last connection and is made again by
    // the next, while other threads join it or give it back.
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
    EXPECT_FALSE(GatewayOrb::exists());
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
