#include <soa/client/Connection.hxx>
#include <soa/client/IiopRestSender.hxx>
#include <soa/client/RuntimeException.hxx>
#include <soa/client/SessionManager.hxx>
#include <soa/client/internal/GatewayOrb.hxx>
#include <soa/schemas/exceptions/ConnectionException.hxx>
#include <soa/schemas/exceptions/ProtocolException.hxx>

#include "tests/fastcache/ChildProcess.hxx"
#include "tests/support/FailingAllocations.hxx"
#include "tests/support/GatewayServerProcess.hxx"
#include "tests/support/LoopbackPlmService.hxx"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <fstream>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Quillomark::Schemas::Soa::_2006_03::Exceptions::ConnectionException;
using Quillomark::Schemas::Soa::_2006_03::Exceptions::ProtocolException;
using Quillomark::Soa::Client::Connection;
using Quillomark::Soa::Client::GatewayOrb;
using Quillomark::Soa::Client::IiopRestSender;
using Quillomark::Soa::Client::IiopUnderWay;
using Quillomark::Soa::Client::RestSender;
using Quillomark::Soa::Client::RuntimeException;
using Quillomark::Soa::Client::SessionManager;
using Quillomark::Testing::callThrough;
using Quillomark::Testing::GatewayServerProcess;
using ::testing::AnyOf;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// A session for a host path, and senders made on it.
struct Session {
    explicit Session(const std::string& hostPath)
        : connection(hostPath, nullptr, Connection::IIOP, Connection::REST, false) {}
    std::unique_ptr<IiopRestSender> newSender() {
        return std::make_unique<IiopRestSender>(SessionManager::getSessionManager(&connection));
    }
    Connection connection;
};

std::string sendOnce(RestSender& sender, const std::string& operation, const std::string& request,
                     const std::string& service = "Core-2006-03-Session") {
    std::string response;
    sender.send(service, operation, request, response);
    return response;
}

template <typename Exception>
std::string failureOf(RestSender& sender, const std::string& operation = "ping",
                      const std::string& request = "") {
    try {
        sendOnce(sender, operation, request);
    } catch (const Exception& e) {
        return e.getMessage();
    }
    ADD_FAILURE() << "no exception of the expected kind";
    return "";
}

std::string connectFailure(const std::string& address) {
    return "Could not connect to \"" + address + "\" via IIOP\n";
}

class IiopSenderTest : public ::testing::Test {
protected:
    void SetUp() override { server.start(); }
    GatewayServerProcess server;
};

TEST_F(IiopSenderTest, PrefixesTheHostPathUnlessItBeginsWithCorbaloc) {
    // Already prefixed: used as it is.
    Session prefixed("corbaloc:" + server.hostPath());
    EXPECT_EQ(sendOnce(*prefixed.newSender(), "op", "x"), "Core-2006-03-Session|op|x");

    // The test is case-sensitive, and only position 0 counts.
    Session capitals("CORBALOC:x");
    EXPECT_THAT(
        failureOf<ConnectionException>(*capitals.newSender()),
        StartsWith(connectFailure("corbaloc:CORBALOC:x") + "IDL:omg.org/CORBA/BAD_PARAM:1.0"));
    const std::string further = "iiop:127.0.0.1:1/corbaloc:x";
    Session later(further);
    EXPECT_THAT(failureOf<ConnectionException>(*later.newSender()),
                StartsWith(connectFailure("corbaloc:" + further)));
}

TEST_F(IiopSenderTest, CarriesServiceOperationAndEveryByte) {
    Session session(server.hostPath());
    auto sender = session.newSender();
    EXPECT_EQ(GatewayOrb::shares(), 0) << "constructing contacts nothing";

    const std::string bytes("<a>\xC3\xA9\0b</a>\0", 12);
    EXPECT_EQ(sendOnce(*sender, "login", bytes, "Core-2006-03-Session"),
              "Core-2006-03-Session|login|" + bytes);
    EXPECT_EQ(GatewayOrb::shares(), 1);

    // An empty request goes out as an empty sequence; an empty reply
    // replaces whatever the response held.
    EXPECT_EQ(sendOnce(*sender, "op", "", "S"), "S|op|");
    std::string response = "stale";
    sender->send("S", "echo", "", response);
    EXPECT_EQ(response, "");

    // Bigger than the ORB's default message limit of 2 MiB.
    const std::string big = sendOnce(*sender, "sized", std::to_string(3 * 1024 * 1024));
    ASSERT_EQ(big.size(), 3u * 1024 * 1024);
    for (std::size_t i : {std::size_t{0}, std::size_t{251}, big.size() - 1}) {
        EXPECT_EQ(static_cast<unsigned char>(big[i]), i % 251);
    }
    const std::string echoed = sendOnce(*sender, "echo", big);
    EXPECT_TRUE(echoed == big);

    sender.reset();
    EXPECT_EQ(GatewayOrb::shares(), 0);
}

TEST_F(IiopSenderTest, UnreachableGatewaysAreConnectFailuresAndConnectIsRetried) {
    // A wrong object key: the server does not know the object.
    Session wrongKey(server.hostPath("NoSuchKey"));
    EXPECT_THAT(failureOf<ConnectionException>(*wrongKey.newSender()),
                StartsWith(connectFailure("corbaloc:" + server.hostPath("NoSuchKey")) +
                           "IDL:omg.org/CORBA/OBJECT_NOT_EXIST:1.0 (minor 0x"));

    // An object that is not a gateway narrows to nil; no call goes through it.
    Session notGateway(server.hostPath("NotAGateway"));
    auto sender = notGateway.newSender();
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(failureOf<ConnectionException>(*sender),
                  connectFailure("corbaloc:" + server.hostPath("NotAGateway")) +
                      "the object is not a QmCorbaServiceGateway");
    }
    EXPECT_EQ(GatewayOrb::shares(), 0);

    // A refused port; once the server is there, the next send connects. The
    // ORB outlives the failures above: the connection that it still keeps
    // to the stopped server fails as COMM_FAILURE, a new one as TRANSIENT.
    Session session(server.hostPath());
    auto refused = session.newSender();
    server.stop();
    const std::string refusal = connectFailure("corbaloc:" + server.hostPath());
    EXPECT_THAT(failureOf<ConnectionException>(*refused),
                AnyOf(StartsWith(refusal + "IDL:omg.org/CORBA/TRANSIENT:1.0"),
                      StartsWith(refusal + "IDL:omg.org/CORBA/COMM_FAILURE:1.0")));
    server.start();
    EXPECT_EQ(sendOnce(*refused, "op", "again"), "Core-2006-03-Session|op|again");
}

// The process's first connect, each of its first allocations failing
// alone or with every one after it, in a process of its own: omniORB makes
// its nil references under a lock that a failure there would leave held,
// for every nil reference made after to wait on for good. Each ends in
// std::bad_alloc or a failed connect, and the sender connects once memory
// is back.
TEST_F(IiopSenderTest, TheFirstConnectWithoutMemoryEndsAndIsRetried) {
    if (GatewayOrb::exists()) GTEST_SKIP() << "a child of this process would have no ORB";
    namespace Failing = Quillomark::Testing::FailingAllocations;
    for (const bool once : {true, false}) {
        for (long allocation = 0; allocation < 12; ++allocation) {
            const std::string end = Quillomark::Testing::runInChild([&] {
                Session session(server.hostPath());
                auto sender = session.newSender();
                Failing::failOnce = once;
                Failing::failAfter = allocation;
                try {
                    sendOnce(*sender, "op", "");
                } catch (const std::bad_alloc&) {
                } catch (const ConnectionException&) {
                }
                Failing::failAfter = -1;
                if (sendOnce(*sender, "op", "x") != "Core-2006-03-Session|op|x") _exit(2);
            });
            ASSERT_EQ(end, "") << (once ? "only" : "from") << " allocation " << allocation;
        }
    }
}

// A user who points an IIOP connection at the loopback PLM service, an HTTP
// server, meets a failure, not a wait without end.
TEST(IiopSenderAtAnHttpServer, FailsToConnect) {
    Quillomark::Testing::LoopbackPlmService service;
    const std::string path = service.hostPath();  // http://127.0.0.1:<port>/tc
    const std::string address =
        "iiop:127.0.0.1:" +
        path.substr(path.rfind(':') + 1, path.rfind('/') - path.rfind(':') - 1) + "/QmGateway";
    Session session(address);
    EXPECT_THAT(failureOf<ConnectionException>(*session.newSender()),
                StartsWith(connectFailure("corbaloc:" + address) + "IDL:omg.org/CORBA/"));
}

// A listener on the loopback interface that takes connections and never
// answers (nor accepts, unless the caller does): its socket, and the host
// path of a gateway there. In a child: it ends with 2 when it cannot listen.
std::pair<int, std::string> silentGateway() {
    const int silent = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (::bind(silent, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::listen(silent, 8) != 0 ||
        ::getsockname(silent, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        _exit(2);
    }
    return {silent, "iiop:127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/QmGateway"};
}

// A process that ends from inside an IIOP connect of the exiting thread's
// own (a signal handler that calls exit, there) ends at once, where the
// exit waited 5 s for the connect it had interrupted. The server takes the
// connection and never answers the connect's question.
TEST(IiopSenderAtASilentServer, AnExitFromInsideAConnectWaitsNotForIt) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer ends a process that exits in a signal handler";
#endif
    if (GatewayOrb::exists()) GTEST_SKIP() << "a child of this process would have no ORB";
    const std::string end = Quillomark::Testing::runInChild([] {
        const auto [silent, hostPath] = silentGateway();
        Session session(hostPath);
        std::signal(SIGUSR1, [](int) { std::exit(0); });
        std::thread connecting([&session] { sendOnce(*session.newSender(), "op", ""); });
        char question[12];  // the header of its GIOP request
        const int accepted = ::accept(silent, nullptr, nullptr);
        if (::recv(accepted, question, sizeof question, MSG_WAITALL) != sizeof question) _exit(3);
        alarm(3);
        pthread_kill(connecting.native_handle(), SIGUSR1);
        connecting.join();
    });
    EXPECT_EQ(end, "");
}

// A thread that forks inside a connect of its own (from a signal handler)
// leaves that connect to the child, where it goes on: the child's exit
// still waits for the connects of its other threads. It took the one that
// ends in the child for none, and went on under the other's.
TEST(IiopSenderAtASilentServer, AChildForkedInsideAConnectWaitsAtExitForItsOtherThreads) {
    if (GatewayOrb::exists()) GTEST_SKIP() << "a child of this process would have no ORB";
    const std::string end = Quillomark::Testing::runInChild([] {
        int told[2];
        if (::pipe(told) != 0) _exit(2);
        std::optional<IiopUnderWay> own(std::in_place);
        const pid_t child = ::fork();
        if (child == 0) {
            ::alarm(20);
            own.reset();
            static std::atomic<bool> underWay{false};
            std::thread([waiting = told[1], exiting = ::getpid()] {
                const IiopUnderWay other;
                underWay = true;
                while (IiopUnderWay()) {  // until the exit has begun: no work begins then
                }
                // Until the exiting thread waits on the count of connects (the
                // futex call, 202, with FUTEX_WAIT_BITSET_PRIVATE).
                const std::string state = "/proc/self/task/" + std::to_string(exiting) + "/syscall";
                for (std::string call;
                     call.rfind("202 ", 0) != 0 || call.find(" 0x89 ") == call.npos;) {
                    std::ifstream in(state);
                    std::getline(in, call);
                }
                Quillomark::Testing::say(waiting, 'w');
            }).detach();
            while (!underWay) {
            }
            std::exit(0);
        }
        own.reset();
        ::close(told[1]);
        const char heard = Quillomark::Testing::hear(told[0]);
        int status = 0;
        if (::waitpid(child, &status, 0) != child || status != 0) _exit(4);
        if (heard != 'w') _exit(5);
    });
    EXPECT_EQ(end, "");
}

TEST_F(IiopSenderTest, CallFailuresKeepTheConnection) {
    Session session(server.hostPath());
    auto sender = session.newSender();
    sendOnce(*sender, "op", "first");
    EXPECT_EQ(failureOf<ProtocolException>(*sender, "raise"),
              "Error making call via IIOP.\n"
              "IDL:omg.org/CORBA/NO_IMPLEMENT:1.0 (minor 0x2a, completed YES)");
    EXPECT_EQ(sendOnce(*sender, "op", "after"), "Core-2006-03-Session|op|after");

    // The server goes away and comes back on the same port: the same
    // reference works again.
    server.stop();
    EXPECT_THAT(failureOf<ProtocolException>(*sender), StartsWith("Error making call via IIOP.\n"));
    server.start();
    EXPECT_EQ(sendOnce(*sender, "op", "restarted"), "Core-2006-03-Session|op|restarted");
}

TEST_F(IiopSenderTest, DestroyingOneSenderLeavesTheOthersWorking) {
    Session first(server.hostPath());
    Session second(server.hostPath());
    auto a = first.newSender();
    auto b = second.newSender();
    sendOnce(*a, "op", "a");
    sendOnce(*b, "op", "b");
    EXPECT_EQ(GatewayOrb::shares(), 2);
    a.reset();
    EXPECT_EQ(sendOnce(*b, "op", "still"), "Core-2006-03-Session|op|still");
    // A sender made afterwards joins the same ORB.
    auto c = first.newSender();
    EXPECT_EQ(sendOnce(*c, "op", "c"), "Core-2006-03-Session|op|c");
    b.reset();
    c.reset();
    EXPECT_EQ(GatewayOrb::shares(), 0);
}

TEST_F(IiopSenderTest, ReconnectsAfterTheObjectIsGone) {
    Session session(server.hostPath());
    auto sender = session.newSender();

    // The server drops the object: the call fails, and the next send
    // connects anew (and finds the object missing).
    sendOnce(*sender, "deactivate", "");
    EXPECT_THAT(failureOf<ProtocolException>(*sender),
                HasSubstr("IDL:omg.org/CORBA/OBJECT_NOT_EXIST:1.0"));
    EXPECT_EQ(GatewayOrb::shares(), 0);
    EXPECT_THAT(failureOf<ConnectionException>(*sender),
                HasSubstr("IDL:omg.org/CORBA/OBJECT_NOT_EXIST:1.0"));
}

// A port on which nothing listens.
int refusedPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), size);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(fd);
    return ntohs(address.sin_port);
}

TEST_F(IiopSenderTest, FailedAttemptsLeaveTheApplicationsOrbAlive) {
    int argc = 0;
    CORBA::ORB_var orb = CORBA::ORB_init(argc, nullptr, "");
    ASSERT_EQ(callThrough(orb.in(), server.hostPath()), "App|op|");

    // Connects that fail: an unknown key, an object that is not a gateway,
    // a refused port. Each is tried twice, as a handler that retries would.
    Session wrongKey(server.hostPath("NoSuchKey"));
    Session notGateway(server.hostPath("NotAGateway"));
    Session refused("iiop:127.0.0.1:" + std::to_string(refusedPort()) + "/QmGateway");
    for (int i = 0; i < 2; ++i) {
        failureOf<ConnectionException>(*wrongKey.newSender());
        failureOf<ConnectionException>(*notGateway.newSender());
        failureOf<ConnectionException>(*refused.newSender());
    }
    EXPECT_EQ(callThrough(orb.in(), server.hostPath()), "App|op|");

    // A call that finds the object removed drops the sender's references only.
    Session session(server.hostPath());
    auto sender = session.newSender();
    EXPECT_EQ(sendOnce(*sender, "op", "x"), "Core-2006-03-Session|op|x");
    sendOnce(*sender, "deactivate", "");
    EXPECT_THAT(failureOf<ProtocolException>(*sender),
                HasSubstr("IDL:omg.org/CORBA/OBJECT_NOT_EXIST:1.0"));
    EXPECT_EQ(callThrough(orb.in(), server.hostPath("NotAGateway")), "App|op|");
    orb->destroy();
}

// The library destroys no ORB, its own included: an application that
// called ORB_init while the library held one was handed it, and may be
// calling through it when the library's last connection ends.
TEST_F(IiopSenderTest, TheOrbOutlivesEveryConnection) {
    const std::string big = std::to_string(3 * 1024 * 1024);
    Session session(server.hostPath());
    auto sender = session.newSender();
    sendOnce(*sender, "op", "x");
    int argc = 0;
    CORBA::ORB_var orb = CORBA::ORB_init(argc, nullptr, "");
    sender.reset();
    ASSERT_TRUE(GatewayOrb::exists()) << "the library's own ORB ended with its connections";
    EXPECT_EQ(callThrough(orb.in(), server.hostPath(), "sized", big).size(), 3u * 1024 * 1024);

    // omniORB keeps its settings from one ORB to the next: the application's
    // next ORB takes the library's message limit unless it names one.
    orb->destroy();
    orb = CORBA::ORB_init(argc, nullptr, "");
    EXPECT_EQ(callThrough(orb.in(), server.hostPath(), "sized", big).size(), 3u * 1024 * 1024);
    orb->destroy();

    // An ORB that the application made while none existed is joined as it
    // is, without the library's message limit (a reply over omniORB's 2 MiB
    // fails after the server ran the operation), and outlives every
    // connection, several at once too.
    const char* defaultLimit[][2] = {{"giopMaxMsgSize", "2097152"}, {nullptr, nullptr}};
    orb = CORBA::ORB_init(argc, nullptr, "", defaultLimit);
    sender = session.newSender();
    auto second = session.newSender();
    EXPECT_EQ(sendOnce(*second, "op", "2"), "Core-2006-03-Session|op|2");
    EXPECT_THAT(failureOf<ProtocolException>(*sender, "sized", big),
                HasSubstr("MARSHAL_MessageSizeExceedLimitOnClient, completed YES"));
    sender.reset();
    second.reset();
    EXPECT_EQ(callThrough(orb.in(), server.hostPath()), "App|op|");

    // Once the application has destroyed it, the next connection makes an
    // ORB of the library's own, with the library's limit.
    orb->destroy();
    sender = session.newSender();
    EXPECT_EQ(sendOnce(*sender, "sized", big).size(), 3u * 1024 * 1024);
}

// A process forked after the library made its ORB has that ORB without its
// threads and with its parent's connections: its IIOP requests, on the
// connection it shares or on a new one, fail at once (a hang ends the
// worker), and the parent's go on meanwhile.
TEST_F(IiopSenderTest, WorkersForkedAfterTheOrbWasMadeAreRefusedAndTheParentGoesOn) {
    Session session(server.hostPath());
    auto sender = session.newSender();
    EXPECT_EQ(sendOnce(*sender, "login", "x"), "Core-2006-03-Session|login|x");
    Session ended(server.hostPath());
    sendOnce(*ended.newSender(), "op", "x");
    const auto refused = [](RestSender& on) {
        try {
            sendOnce(on, "op", "worker");
        } catch (const RuntimeException& e) {
            if (e.getMessage().find("forked after the library made its ORB") == std::string::npos) {
                throw;
            }
            return;
        }
        throw std::logic_error("answered");
    };
    std::vector<pid_t> workers;
    for (int i = 0; i < 4; ++i) {
        workers.push_back(Quillomark::Testing::startChild([&] {
            // The ORB's threads run as the worker is forked: under a
            // sanitizer the worker may hang in its allocator, whatever the
            // library does, and the case checks the parent's side alone.
            if (!Quillomark::Testing::childrenOfThreadsRun) return;
            refused(*ended.newSender());
            refused(*sender);
            sender.reset();
            std::exit(0);
        }));
    }
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(sendOnce(*sender, "op", "parent"), "Core-2006-03-Session|op|parent");
    }
    for (const pid_t worker : workers) EXPECT_EQ(Quillomark::Testing::endOf(worker), "");
}

// A test process that crashes leaves no gateway server behind: one left
// running would keep the test's output open, and ctest waiting for it.
TEST(GatewayServerProcessTest, EndsWithTheProcessThatStartedIt) {
    int output[2];
    ASSERT_EQ(::pipe(output), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::dup2(output[1], STDERR_FILENO);
        ::close(output[0]);
        ::close(output[1]);
        auto* server = new GatewayServerProcess;
        server->start();
        ::_exit(0);  // as a crash would: nothing stops the server
    }
    ::close(output[1]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    // The server writes to the same output: it ends at the end of them all.
    pollfd readable{output[0], POLLIN, 0};
    ASSERT_EQ(::poll(&readable, 1, 60000), 1) << "the server outlived its test process";
    char byte;
    EXPECT_EQ(::read(output[0], &byte, 1), 0);
    ::close(output[0]);
}

TEST(CorbaExceptionTextTest, NamesTheExceptionItsMinorCodeAndCompletion) {
    EXPECT_EQ(Quillomark::Soa::Client::describeCorbaException(
                  CORBA::TRANSIENT(omni::TRANSIENT_ConnectFailed, CORBA::COMPLETED_NO)),
              "IDL:omg.org/CORBA/TRANSIENT:1.0 (minor 0x41540002 TRANSIENT_ConnectFailed, "
              "completed NO)");
    EXPECT_EQ(Quillomark::Soa::Client::describeCorbaException(CORBA::ORB::InvalidName()),
              "IDL:omg.org/CORBA/ORB/InvalidName:1.0");
}

}  // namespace
