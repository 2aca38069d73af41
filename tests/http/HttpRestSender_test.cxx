#include <soa/client/Connection.hxx>
#include <soa/client/HttpRestSender.hxx>
#include <soa/client/RuntimeException.hxx>
#include <soa/client/SessionManager.hxx>
#include <soa/common/DomException.hxx>
#include <soa/common/SAXToNodeParser.hxx>
#include <soa/schemas/exceptions/ConnectionException.hxx>
#include <soa/schemas/exceptions/ProtocolException.hxx>

#include "tests/fastcache/ChildProcess.hxx"
#include "tests/http/CurlSeam.hxx"
#include "tests/support/LoopbackHttpServer.hxx"
#include "tests/support/ResettingPeer.hxx"

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <openssl/conf.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sslerr.h>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/XMLMutexMgr.hpp>

#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <set>
#include <thread>
#include <utility>
#include <vector>

// Stops the thread that arms it just after its n-th write lock of a
// reader-writer lock (OpenSSL's process-wide locks are such) until let go,
// so that another thread forks with that lock held. A build with a
// sanitizer, whose own interception this would replace, has no stop.
namespace {
thread_local int writeLocksBeforeTheStop = 0;
int lockStopped[2] = {-1, -1};
int lockLetGo[2] = {-1, -1};
std::atomic<bool> threadsFail{false};
}  // namespace

#if !QMSOA_TEST_SANITIZED
extern "C" int pthread_rwlock_wrlock(pthread_rwlock_t* lock) noexcept {
    static const auto take =
        reinterpret_cast<int (*)(pthread_rwlock_t*)>(::dlsym(RTLD_NEXT, "pthread_rwlock_wrlock"));
    const int taken = take(lock);
    if (writeLocksBeforeTheStop > 0 && --writeLocksBeforeTheStop == 0) {
        Quillomark::Testing::say(lockStopped[1], 's');
        Quillomark::Testing::hear(lockLetGo[0]);
    }
    return taken;
}

// Makes every new thread fail, as where the process is at its limit of
// threads, while threadsFail is set.
extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                              void* (*routine)(void*), void* argument) noexcept {
    static const auto make =
        reinterpret_cast<int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*)>(
            ::dlsym(RTLD_NEXT, "pthread_create"));
    if (threadsFail.load()) return EAGAIN;
    return make(thread, attributes, routine, argument);
}
#endif

namespace {

namespace Ex = Quillomark::Schemas::Soa::_2006_03::Exceptions;
namespace Seam = Quillomark::Testing::CurlSeam;
using Quillomark::Soa::Client::Connection;
using Quillomark::Soa::Client::HttpRestSender;
using Quillomark::Soa::Client::RestSender;
using Quillomark::Soa::Client::RuntimeException;
using Quillomark::Soa::Client::SessionManager;
using Quillomark::Soa::Common::Exceptions::DomException;
using Quillomark::Soa::Common::Xml::SAXToNodeParser;
using Quillomark::Testing::HttpReply;
using Quillomark::Testing::HttpRequest;
using Quillomark::Testing::LoopbackHttpServer;
using Quillomark::Testing::ResettingPeer;

RestSender* senderOf(Connection& connection) {
    return SessionManager::getSessionManager(&connection)->getRestSender();
}

std::string post(Connection& connection, const std::string& request,
                 const std::string& service = "Svc", const std::string& operation = "op") {
    std::string response;
    senderOf(connection)->send(service, operation, request, response);
    return response;
}

// An environment variable set for the life of the object (the test main
// clears the proxy variables before the first test).
class ScopedVariable {
public:
    ScopedVariable(const char* name, const std::string& value) : name(name) {
        setenv(name, value.c_str(), 1);
    }
    ~ScopedVariable() { unsetenv(name); }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

private:
    const char* name;
};

// The message of the ConnectionException that `post` throws.
std::string connectionFailure(Connection& connection) {
    try {
        post(connection, "<a/>");
    } catch (const Ex::ConnectionException& e) {
        return e.getMessage();
    }
    ADD_FAILURE() << "no ConnectionException";
    return "";
}

// A connection failure gives the host path, then libcurl's reason on a
// line of its own, which holds `reason`.
void expectConnectionFailure(const std::string& message, const std::string& host,
                             const std::string& reason) {
    const std::string first = "Failed to connect to the server: " + host + "\n";
    EXPECT_EQ(message.rfind(first, 0), 0u) << message;
    EXPECT_NE(message.find(reason, first.size()), std::string::npos) << message;
    EXPECT_EQ(message.find('\n', first.size()), std::string::npos) << message;
}

class HttpRestSenderTest : public ::testing::Test {
protected:
    LoopbackHttpServer server;
    Connection connection{server.url() + "/tc", nullptr, Connection::HTTP, Connection::REST, true};
};

TEST_F(HttpRestSenderTest, PostsLargeBodiesWholeToTheServiceUrlWithoutWaitingForContinue) {
    // Above 1 MiB libcurl would ask for "100 Continue" unless told otherwise;
    // the NUL byte inside must not cut the body short.
    std::string body = "<big>" + std::string(1024 * 1024 + 17, 'x') + "</big>";
    body[100] = '\0';
    server.push(HttpReply::ok("<ok/>"));
    EXPECT_EQ(post(connection, body, "Core-2006-03-Session", "login"), "<ok/>");

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].requestLine, "POST /tc/RestServices/Core-2006-03-Session/login HTTP/1.1");
    EXPECT_FALSE(requests[0].header("Expect").has_value());
    EXPECT_EQ(requests[0].body, body);
    EXPECT_FALSE(requests[0].header("Proxy-Authorization").has_value());
}

TEST_F(HttpRestSenderTest, StatusesFromTheServer) {
    server.push(HttpReply::withStatus(401, "<fault401/>"));
    server.push(HttpReply::withStatus(500, "<fault500/>"));
    EXPECT_EQ(post(connection, "<a/>"), "<fault401/>");
    EXPECT_EQ(post(connection, "<a/>"), "<fault500/>");

    for (int status : {302, 404}) {
        HttpReply reply = HttpReply::withStatus(status, "moved or missing");
        reply.headers.push_back("Location: " + server.url() + "/elsewhere");
        server.push(reply);
        try {
            post(connection, "<a/>");
            FAIL() << status << " accepted";
        } catch (const Ex::ProtocolException& e) {
            EXPECT_EQ(e.getMessage(), "Unexpected http response: \nmoved or missing");
        }
    }
    EXPECT_EQ(server.requests().size(), 4u);  // redirects are not followed
}

TEST_F(HttpRestSenderTest, NoStatusIsAConnectionFailure) {
    const std::string host = server.url() + "/tc";
    // A closed connection, then a reply later than the time-out, each after
    // a request that got its status on the same handle. (libcurl tries once
    // more on a fresh connection when a kept-alive one closes unanswered.)
    server.push(HttpReply::ok("<first/>"));
    server.script().setFallback(HttpReply::closing());
    EXPECT_EQ(post(connection, "<a/>"), "<first/>");
    expectConnectionFailure(connectionFailure(connection), host, "Empty reply from server");

    // Only the late reply is limited, and it comes after the time-out
    // however slowly the machine runs (the server's stop ends its delay).
    server.push(HttpReply::ok("<second/>"));
    HttpReply late = HttpReply::ok("<late/>");
    late.delay = std::chrono::minutes(10);
    server.push(late);
    EXPECT_EQ(post(connection, "<a/>"), "<second/>");
    connection.setOption(Connection::TIMEOUT, "1");
    expectConnectionFailure(connectionFailure(connection), host, "timed out");
}

// A transfer that fails after the status is no reply, even when what
// arrived happens to be a whole document: the connection closed before the
// announced length, a chunk size that is no number, the time-out.
TEST_F(HttpRestSenderTest, AReplyCutShortAfterTheStatusIsAProtocolFailure) {
    const struct {
        HttpReply::Ending ending;
        int status;
        const char* why;
    } cuts[] = {{HttpReply::Ending::Cut, 200, "transfer closed with 1 bytes remaining"},
                {HttpReply::Ending::BadChunk, 500, "chunk"},
                {HttpReply::Ending::Stall, 401, "timed out"}};
    for (const auto& cut : cuts) {
        HttpReply reply = HttpReply::withStatus(cut.status, "<ok>first part</ok>");
        reply.ending = cut.ending;
        server.script().setFallback(reply);
        // Only the stall waits for the time-out: the others end on their own.
        // The time-out is the whole request's: where it ran out before the
        // status came (a machine too busy to bring it within the second),
        // the stall is tried again with a longer one.
        const bool stall = cut.ending == HttpReply::Ending::Stall;
        for (int seconds = 1;; seconds *= 2) {
            connection.setOption(Connection::TIMEOUT, stall ? std::to_string(seconds) : "0");
            try {
                post(connection, "<a/>");
                FAIL() << cut.why << ": taken for a reply";
            } catch (const Ex::ProtocolException& e) {
                EXPECT_EQ(e.getMessage().rfind("The reply was cut short: ", 0), 0u)
                    << e.getMessage();
                EXPECT_NE(e.getMessage().find(cut.why), std::string::npos) << e.getMessage();
                break;
            } catch (const Ex::ConnectionException& e) {
                ASSERT_TRUE(stall && seconds < 64) << e.getMessage();
            }
        }
    }
    connection.setOption(Connection::TIMEOUT, "0");
    server.push(HttpReply::ok("<whole/>"));
    EXPECT_EQ(post(connection, "<a/>"), "<whole/>");
}

// A reply that arrives while memory runs out throws std::bad_alloc, which
// crosses no frame of libcurl's: the connection's next request goes through.
TEST_F(HttpRestSenderTest, AReplyThatArrivesWithoutMemoryLeavesTheConnectionUsable) {
    const std::string body = "<reply>longer than a short string holds</reply>";
    server.push(HttpReply::ok(body));
    server.push(HttpReply::ok(body));
    Seam::failAllocationInNextWrite();
    EXPECT_THROW(post(connection, "<a/>"), std::bad_alloc);
    EXPECT_EQ(post(connection, "<a/>"), body);
}

TEST(HttpRestSenderRefusedTest, ARefusedPortIsAConnectionFailure) {
    const std::string host =
        "http://127.0.0.1:" + std::to_string(Quillomark::Testing::unusedLoopbackPort());
    Connection connection(host, nullptr, Connection::HTTP, Connection::REST, false);
    expectConnectionFailure(connectionFailure(connection), host,
                            "port " + host.substr(host.rfind(':') + 1));
}

// What went wrong before a status arrived reaches the application after the
// host path, so that a proxy, a certificate and a closed port can be told
// apart.
TEST_F(HttpRestSenderTest, AConnectionFailureNamesLibcurlsReason) {
    const std::string secure = "https://qmsoa-test.invalid/tc";
    Connection proxied(secure, nullptr, Connection::HTTP, Connection::REST, true);
    HttpReply refused = HttpReply::withStatus(407, "");
    refused.headers.push_back("Proxy-Authenticate: Basic realm=\"proxy\"");
    server.push(refused);
    proxied.setOption(Connection::PROXY_HOST, server.url());
    proxied.setOption(Connection::PROXY_USER, "u");
    proxied.setOption(Connection::PROXY_PASSWORD, "p");
    expectConnectionFailure(connectionFailure(proxied), secure,
                            "CONNECT tunnel failed, response 407");
    EXPECT_EQ(server.requests().at(0).method, "CONNECT");
    EXPECT_EQ(server.requests().at(0).header("Proxy-Authorization").value_or(""), "Basic dTpw");

    const std::string unusedProxy =
        "127.0.0.1:" + std::to_string(Quillomark::Testing::unusedLoopbackPort());
    proxied.setOption(Connection::PROXY_HOST, "http://" + unusedProxy);
    expectConnectionFailure(connectionFailure(proxied), secure,
                            "port " + unusedProxy.substr(unusedProxy.find(':') + 1));
    proxied.setOption(Connection::PROXY_HOST, "gopher9://" + unusedProxy);
    expectConnectionFailure(connectionFailure(proxied), secure, "Unsupported proxy scheme");
}

// The server's certificate is checked against the system's trust store, and
// its name against the host path's whatever SSL_VERIFY_PEER says.
TEST(HttpRestSenderTlsTest, CertificateFailuresNameTheirReason) {
    if (!Quillomark::Testing::tlsAvailable()) GTEST_SKIP() << "built without TLS";
    ResettingPeer peer(ResettingPeer::Transport::Tls);  // self-signed, for 127.0.0.1
    Connection connection(peer.url(), nullptr, Connection::HTTP, Connection::REST, true);
    expectConnectionFailure(connectionFailure(connection), peer.url(),
                            "SSL certificate problem: self-signed certificate");

    const std::string byName = "https://localhost" + peer.url().substr(peer.url().rfind(':'));
    Connection otherName(byName, nullptr, Connection::HTTP, Connection::REST, true);
    otherName.setOption(Connection::SSL_VERIFY_PEER, "false");
    expectConnectionFailure(connectionFailure(otherName), byName,
                            "no alternative certificate subject name matches target host name "
                            "'localhost'");
}

// OpenSSL reads its configuration once per process, as the library loads: an
// application that names its own later loads it into OpenSSL's own context,
// as the README says, and the library's HTTPS follows it from then on. In a
// child, so that this process keeps its configuration.
TEST(HttpRestSenderTlsTest, AConfigurationTheApplicationLoadsHoldsForTheLibrarysHttps) {
    if (!Quillomark::Testing::tlsAvailable()) GTEST_SKIP() << "built without TLS";
    ResettingPeer peer(ResettingPeer::Transport::Tls);
    // A cipher suite of TLS 1.3 alone, which the peer does not offer (libcurl
    // leaves a configuration's least version and suites as they are).
    const std::string file = ::testing::TempDir() + "own-suites.cnf";
    std::ofstream(file) << "openssl_conf = init\n[init]\nssl_conf = ssl\n[ssl]\n"
                           "system_default = suites\n[suites]\n"
                           "MinProtocol = TLSv1.3\nCiphersuites = TLS_AES_128_CCM_SHA256\n";
    // The peer resets an upload once the handshake is done.
    const auto reason = [&peer]() -> std::string {
        Connection connection(peer.url(), nullptr, Connection::HTTP, Connection::REST, true);
        connection.setOption(Connection::SSL_VERIFY_PEER, "false");
        try {
            post(connection, std::string(100000, 'x'));
        } catch (const Ex::ConnectionException& e) {
            return e.getMessage();
        }
        return "";
    };
    const std::string refused = "alert handshake failure";
    EXPECT_EQ(Quillomark::Testing::runInChild([&] {
                  const bool before = reason().find(refused) == std::string::npos;
                  const bool loaded = CONF_modules_load_file(file.c_str(), nullptr, 0) == 1;
                  const bool after = reason().find(refused) != std::string::npos;
                  ::_exit((before ? 0 : 1) | (loaded ? 0 : 2) | (after ? 0 : 4));
              }),
              "")
        << "1: the file held before it was loaded, 2: not loaded, 4: not followed";
}

// What OpenSSL makes once per process, in a process of its own which nothing
// but the library's load came before. Its error strings are loaded as the
// library loads: the process's first TLS context would load those of TLS
// under their lock, which a child forked meanwhile would wait for in its
// own. The random generator is left to the application, which chooses it
// once the library has loaded, by a call or by the random section of the
// file it loads as the README says: OpenSSL takes either only while it has
// made no generator.
TEST(HttpRestSenderTlsTest, OpenSslIsSetUpAsTheLibraryLoadsButForTheApplicationsChoices) {
    const std::string file = ::testing::TempDir() + "own-generator.cnf";
    std::ofstream(file) << "openssl_conf = init\n[init]\nrandom = random\n[random]\n"
                           "random = HASH-DRBG\ndigest = SHA256\n";
    const auto primaryIsHashDrbg = [] {
        unsigned char bytes[16];
        EVP_RAND_CTX* primary =
            RAND_bytes(bytes, sizeof bytes) == 1 ? RAND_get0_primary(nullptr) : nullptr;
        return primary != nullptr &&
               std::string(EVP_RAND_get0_name(EVP_RAND_CTX_get0_rand(primary))) == "HASH-DRBG";
    };
    const std::vector<std::pair<const char*, std::function<bool()>>> ways = {
        {"RAND_set_DRBG_type",
         [] { return RAND_set_DRBG_type(nullptr, "HASH-DRBG", nullptr, nullptr, "SHA256") == 1; }},
        {"CONF_modules_load_file",
         [&file] { return CONF_modules_load_file(file.c_str(), nullptr, 0) == 1; }},
    };
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        std::exit(ERR_reason_error_string(ERR_PACK(ERR_LIB_SSL, 0, SSL_R_BAD_RECORD_TYPE)) &&
                          ERR_reason_error_string(ERR_PACK(ERR_LIB_EVP, 0, EVP_R_BAD_DECRYPT))
                      ? 0
                      : 1),
        ::testing::ExitedWithCode(0), "")
        << "error strings";
    for (const auto& [name, choose] : ways) {
        EXPECT_EXIT(std::exit(choose() && primaryIsHashDrbg() ? 0 : 1),
                    ::testing::ExitedWithCode(0), "")
            << name;
    }
}

TEST_F(HttpRestSenderTest, CookiesStayWithTheirSender) {
    HttpReply first = HttpReply::ok("<one/>");
    first.headers.push_back("Set-Cookie: session=abc; Path=/");
    server.push(first);
    post(connection, "<a/>");
    post(connection, "<b/>");

    Connection other(server.url() + "/tc", nullptr, Connection::HTTP, Connection::REST, true);
    post(other, "<c/>");

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_FALSE(requests[0].header("Cookie").has_value());
    EXPECT_EQ(requests[1].header("Cookie").value_or(""), "session=abc");
    EXPECT_FALSE(requests[2].header("Cookie").has_value());
}

// An origin that answers the first request of each connection and closes it,
// unanswered, when the second arrives (its limit of requests per connection):
// each request goes again on a new connection, however many did before it.
TEST_F(HttpRestSenderTest, EveryRequestGoesThroughWhereKeptConnectionsCloseUnanswered) {
    server.script().setFallback([](const HttpRequest& request) {
        return request.onConnection == 1 ? HttpReply::ok(request.body) : HttpReply::closing();
    });
    for (int i = 1; i <= 100; ++i) {
        const std::string body = "<r" + std::to_string(i) + "/>";
        ASSERT_EQ(post(connection, body), body);
    }
}

// A forked child and its parent use the connection they share at the same
// time: each gets its own replies, and the session's cookie goes on in both.
TEST_F(HttpRestSenderTest, AForkedChildAndItsParentGetTheirOwnReplies) {
    HttpReply first = HttpReply::ok("<one/>");
    first.headers.push_back("Set-Cookie: session=abc; Path=/");
    server.push(first);
    server.script().setFallback([](const HttpRequest& request) {
        return HttpReply::ok(request.body + request.header("Cookie").value_or(""));
    });
    post(connection, "<a/>");
    connection.setOption(Connection::TIMEOUT, "20");  // a reply taken by the other process
    const auto echoes = [this](const std::string& who) {
        int wrong = 0;
        for (int i = 0; i < 300; ++i) {
            const std::string body = "<" + who + std::to_string(i) + "/>";
            wrong += post(connection, body) != body + "session=abc";
        }
        return wrong;
    };
    Quillomark::Testing::SteppedChild child([&](const auto& started) {
        started();
        ::_exit(std::min(echoes("child"), 100));
    });
    ASSERT_TRUE(child.reached());
    child.letGo();
    EXPECT_EQ(echoes("parent"), 0);
    EXPECT_EQ(child.end(), "");
}

// A child forked while another thread, past its first HTTPS request, held
// one of the process-wide write locks that OpenSSL takes (held for good in
// the child) makes an HTTPS request: it gets its reply, or is refused at
// once as the README says, and never waits for good. The parent thread is
// in a later request on a new connection, or ends its connection (closing
// a TLS connection takes such locks too); a child may start no thread to
// try the locks with.
TEST_F(HttpRestSenderTest, ChildrenOfAThreadInsideOpenSslGetTheirReplyOrAreRefused) {
    if (!Quillomark::Testing::tlsAvailable()) GTEST_SKIP() << "built without TLS";
    if (QMSOA_TEST_SANITIZED) GTEST_SKIP() << "the sanitizers' builds have no stop";
    server.script().setFallback([](const HttpRequest& request) {
        return HttpReply::ok(request.method == "CONNECT" ? "" : "<a/>");
    });
    const auto secure = [this] {
        auto tunnelled = std::make_unique<Connection>("https://127.0.0.1:1/tc", nullptr,
                                                      Connection::HTTP, Connection::REST, true);
        tunnelled->setOption(Connection::SSL_VERIFY_PEER, "false");
        tunnelled->setOption(Connection::PROXY_HOST, server.url());
        return tunnelled;
    };
    const struct {
        const char* parent;
        bool ending;
        bool childStartsNoThread;
        int writeLocks;  // after each of which the parent thread stops in turn
    } rows[] = {{"a later request", false, false, 6},
                {"the end of a connection", true, false, 6},
                {"a later request, and a child that starts no thread", false, true, 1}};
    ASSERT_EQ(::pipe(lockStopped), 0);
    ASSERT_EQ(::pipe(lockLetGo), 0);
    for (const auto& row : rows) {
        int stops = 0;
        for (int n = 1; n <= row.writeLocks; ++n) {
            std::thread inside([&] {
                auto connection = secure();
                post(*connection, "<a/>");
                writeLocksBeforeTheStop = n;
                if (row.ending) {
                    connection.reset();
                } else {
                    post(*secure(), "<a/>");
                }
                if (std::exchange(writeLocksBeforeTheStop, 0) > 0) {
                    Quillomark::Testing::say(lockStopped[1], 'd');  // fewer locks than n
                }
            });
            if (Quillomark::Testing::hear(lockStopped[0]) != 's') {
                inside.join();
                break;
            }
            ++stops;
            const pid_t child = Quillomark::Testing::startChild([&] {
                threadsFail = row.childStartsNoThread;
                try {
                    post(*secure(), "<a/>");
                } catch (const RuntimeException& e) {
                    if (e.getMessage().find(" in a process forked ") == std::string::npos) throw;
                }
            });
            Quillomark::Testing::say(lockLetGo[1], 'g');
            inside.join();
            EXPECT_EQ(Quillomark::Testing::endOf(child), "")
                << row.parent << ", held after write lock " << n;
        }
        EXPECT_GT(stops, 0) << row.parent << " took no write lock";
    }
    for (const int end : {lockStopped[0], lockStopped[1], lockLetGo[0], lockLetGo[1]}) {
        ::close(end);
    }
}

// A program that the process runs holds no connection of the process's to a
// server, direct or through a tunnel to a TLS origin. The loopback server's
// sockets, of this process too, are told by their port; the local socket
// pair that libcurl keeps per handle, which no option reaches, stays (README).
TEST_F(HttpRestSenderTest, AProgramTheProcessRunsHoldsNoConnectionToTheServer) {
    const auto descriptors = [] {
        std::set<int> open;
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
            open.insert(std::stoi(entry.path().filename()));
        }
        return open;
    };
    const auto othersOrLocal = [this](int fd) {
        sockaddr_in local{};
        socklen_t size = sizeof local;
        return getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size) == 0 &&
               (local.sin_family == AF_UNIX ||
                (local.sin_family == AF_INET && ntohs(local.sin_port) == server.port()));
    };
    Connection tunnelled("https://127.0.0.1:1/tc", nullptr, Connection::HTTP, Connection::REST,
                         true);
    tunnelled.setOption(Connection::SSL_VERIFY_PEER, "false");
    tunnelled.setOption(Connection::PROXY_HOST, server.url());
    const std::set<int> before = descriptors();
    post(connection, "<a/>");
    if (Quillomark::Testing::tlsAvailable()) {
        server.push(HttpReply::ok(""));  // the CONNECT
        post(tunnelled, "<b/>");
    }
    for (const int fd : descriptors()) {
        if (before.count(fd) || othersOrLocal(fd)) continue;
        const int flags = fcntl(fd, F_GETFD);
        EXPECT_TRUE(flags == -1 || (flags & FD_CLOEXEC) != 0)
            << fd << " " << std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd));
    }
}

// Stands in for the XML library's mutexes while it lives: the thread that
// armed it stops in its next lock, holding the mutex, and says so ('s'), or
// says it went through without one ('d').
class StoppingMutexes : public xercesc::XMLMutexMgr {
public:
    StoppingMutexes() : real(xercesc::XMLPlatformUtils::fgMutexMgr) {
        if (pipe(told) != 0 || pipe(letGo) != 0) ADD_FAILURE() << "no pipes";
        xercesc::XMLPlatformUtils::fgMutexMgr = this;
    }
    ~StoppingMutexes() override {
        xercesc::XMLPlatformUtils::fgMutexMgr = real;
        for (int fd : {told[0], told[1], letGo[0], letGo[1]}) ::close(fd);
    }
    xercesc::XMLMutexHandle create(xercesc::MemoryManager* const manager) override {
        return real->create(manager);
    }
    void destroy(xercesc::XMLMutexHandle mutex, xercesc::MemoryManager* const manager) override {
        real->destroy(mutex, manager);
    }
    void lock(xercesc::XMLMutexHandle mutex) override {
        real->lock(mutex);
        if (armed) {
            armed = false;
            Quillomark::Testing::say(told[1], 's');
            Quillomark::Testing::hear(letGo[0]);
        }
    }
    void unlock(xercesc::XMLMutexHandle mutex) override { real->unlock(mutex); }

    // Runs work on a thread armed to stop: whether it stopped in a lock.
    bool stopsIn(const std::function<void()>& work) {
        thread = std::thread([this, work] {
            armed = true;
            work();
            armed = false;
            Quillomark::Testing::say(told[1], 'd');
        });
        return Quillomark::Testing::hear(told[0]) == 's';
    }
    void end(bool stopped) {
        if (stopped) Quillomark::Testing::say(letGo[1], 'g');
        thread.join();
    }

private:
    static thread_local bool armed;
    xercesc::XMLMutexMgr* real;
    int told[2] = {-1, -1}, letGo[2] = {-1, -1};
    std::thread thread;
};
thread_local bool StoppingMutexes::armed = false;

// A thread of the parent is inside each call of the library's into the XML
// library as the main thread forks: the child's parses neither wait for a
// lock that the thread holds nor take one, and are refused at once, for the
// fork, only where they could not do without it. Each case: what the thread
// does with a parser that has read a reply before, whether it stops in a
// lock of the XML library's, and which of the child's reads are refused
// for the fork (by their bits, below). A thread that reads replies, large,
// with long texts or declaring hundreds of namespaces, with a new parser for
// each, takes no such lock; nor does a refusal, which leaves a parser its
// scanner.
TEST_F(HttpRestSenderTest, AChildReadsRepliesWhateverParentThreadsDoInTheXmlLibrary) {
    server.script().setFallback(
        [](const HttpRequest& request) { return HttpReply::ok(request.body); });
    const std::string utf8 =
        "<?xml version='1.0' encoding='UTF-8'?><r xmlns='urn:r' xmlns:p='urn:p' p:a='1'>"
        "<p:b>t\xC3\xA9</p:b><c/></r>";
    std::string utf16 = "\xFF\xFE";
    for (char c : std::string("<?xml version='1.0' encoding='UTF-16'?><r>t</r>")) {
        utf16 += std::string{c, '\0'};
    }
    const std::string latin1 = "<?xml version = \"1.0\"\tencoding='ISO-8859-1' ?><r>\xE9</r>";
    const std::string shiftJis = "<?xml version='1.0' encoding='Shift_JIS'?><a/>";
    const std::string notUtf8 = "<a>\xC3\x28</a>";
    std::string large = "<r xmlns='urn:r' xmlns:p='urn:p'>";
    while (large.size() < 300 * 1024) large += "<p:o uid='u1' type='Item'><v n='name'>x</v></p:o>";
    large += "</r>";
    std::string prefixes = "<r";
    for (int i = 0; i < 300; ++i)
        prefixes += " xmlns:p" + std::to_string(i) + "='urn:" + std::to_string(i) + "'";
    prefixes += "><p7:a/></r>";
    const std::string longText = "<r>" + std::string(400 * 1024, 't') + "</r>";
    const std::string version11 = "<?xml version='1.1'?><a/>";
    // XML 1.1 in a declaration that is refused for something else.
    const std::string version11Refused = "<?xml version='1.1' standalone='maybe'?><a/>";
    // "" when the parse read its document, else the text it was refused with.
    const auto refusal = [](const std::function<void()>& parse) -> std::string {
        try {
            parse();
        } catch (const Ex::ProtocolException& e) {
            return e.getMessage();
        } catch (const DomException& e) {
            return e.getMessage();
        }
        return "";
    };
    using Parser = std::unique_ptr<SAXToNodeParser>;
    const struct {
        const char* what;
        std::function<void(Parser&)> work;
        bool stops;
        int refusals;
    } cases[] = {
        {"makes a parser", [](Parser&) { SAXToNodeParser().parseString("<a/>"); }, true, 1},
        {"refuses replies part-way and reads another",
         [&](Parser& parser) {
             refusal([&] { parser->parseString("<a><b></a>"); });
             refusal([&] { parser->parseString("<!DOCTYPE a><a/>"); });
             refusal([&] { parser->parseString("<a><b>"); });
             parser->parseString("<a/>");
         },
         false, 0},
        {"reads replies, which declare the same namespaces each time",
         [&](Parser& parser) {
             for (int round = 0; round < 600; ++round) {
                 for (const std::string& reply : {utf8, utf16, latin1}) parser->parseString(reply);
             }
         },
         false, 0},
        {"reads replies of 300 KB, with a 400 KB text or declaring 300 prefixes, with a new "
         "parser for each",
         [&](Parser& parser) {
             parser.reset();
             for (int i = 0; i < 2; ++i) {
                 for (const std::string& reply : {large, longText, prefixes}) {
                     SAXToNodeParser().parseString(reply);
                 }
             }
         },
         false, 0},
        {"refuses XML 1.1",
         [&](Parser& parser) { refusal([&] { parser->parseString(version11); }); }, false, 0},
        {"refuses another encoding",
         [&](Parser& parser) { refusal([&] { parser->parseString(shiftJis); }); }, false, 0},
        {"refuses bytes that are not UTF-8",
         [&](Parser& parser) { refusal([&] { parser->parseString(notUtf8); }); }, true, 64 | 128},
        {"ends a parser", [](Parser& parser) { parser.reset(); }, false, 0},
    };
    for (const auto& each : cases) {
        // Parsers that have read a reply, more than the process keeps for
        // new ones: a new parser makes its scanner.
        std::vector<Parser> held(64);
        for (Parser& parser : held) {
            parser = std::make_unique<SAXToNodeParser>();
            parser->parseString("<a/>");
        }
        StoppingMutexes mutexes;
        auto parser = std::make_unique<SAXToNodeParser>();
        parser->parseString("<a/>");
        const bool stopped = mutexes.stopsIn([&] { each.work(parser); });
        EXPECT_EQ(stopped, each.stops) << each.what;
        if (Quillomark::Testing::childrenOfThreadsRun) {
            // The child's reads, on the connection it shares with this
            // process or by the parser alone: what each reads, and whether
            // it is refused in any process. The exit status holds the bits
            // of those refused for the fork, or 100 and the place of one
            // that went as in no process. The inherited parser reads on after
            // XML 1.1, which is refused before its scanner begins, and after
            // another encoding, which its scanner stops at.
            const std::string ended = Quillomark::Testing::runInChild([&] {
                SAXToNodeParser fresh;
                SAXToNodeParser& own = *held[0];
                const auto request = [&](SAXToNodeParser& parser, const std::string& reply) {
                    return [this, &parser, reply] {
                        senderOf(connection)->invoke("Svc", "op", reply, parser);
                    };
                };
                const struct {
                    int bit;
                    std::function<void()> parse;
                    bool refused;
                } reads[] = {{1, request(fresh, "<a/>"), false},
                             {2, request(own, "<a/>"), false},
                             {4, [&] { own.parseString(latin1); }, false},
                             {8, [&] { own.parseString(utf16); }, false},
                             {16, [&] { own.parseString(version11); }, true},
                             {16, [&] { own.parseString(version11Refused); }, true},
                             {32, [&] { own.parseString("<a/>"); }, false},
                             {64, request(own, shiftJis), true},
                             {128, [&] { own.parseString(notUtf8); }, true}};
                int refusals = 0;
                for (const auto& read : reads) {
                    const std::string text = refusal(read.parse);
                    if (text.find("forked") != std::string::npos) {
                        refusals |= read.bit;
                    } else if (text.empty() == read.refused) {
                        ::_exit(100 + static_cast<int>(&read - reads));
                    }
                }
                ::_exit(refusals);
            });
            EXPECT_EQ(ended, each.refusals ? "exit " + std::to_string(each.refusals) : "")
                << "a child forked while a thread " << each.what;
        }
        mutexes.end(stopped);
    }
}

// The loopback server stands in for a proxy: it answers requests meant for
// any host, and records the target and login each one carried. The host
// name does not resolve, so only the proxy can carry the request. Each
// login's second request finds its kept-alive connection dropped unanswered,
// and libcurl sends it again on a new one: with the same login.
TEST_F(HttpRestSenderTest, ProxyCredentialsReachTheProxyExactlyAsSet) {
    const std::string host = "http://qmsoa-test.invalid/tc";
    const auto keepThenDrop = [&] {
        server.push(HttpReply::ok("<a/>"));
        server.push(HttpReply::closing());
    };
    // "%41" is no escape, an empty password goes with its user, and so on;
    // each login as HTTP's Basic credentials carry it.
    const struct {
        const char* user;
        const char* password;
        const char* basic;
    } logins[] = {{"u", "p%41ss", "dTpwJTQxc3M="},
                  {"u", "", "dTo="},
                  {"", "pw", "OnB3"},
                  {"us%00er", "p%", "dXMlMDBlcjpwJQ=="},
                  {"\xC3\xA9", "a:\xE2\x82\xAC", "w6k6YTrigqw="},
                  {"", "", nullptr}};
    for (const auto& login : logins) {
        Connection proxied(host, nullptr, Connection::HTTP, Connection::REST, true);
        proxied.setOption(Connection::PROXY_HOST, server.url());
        proxied.setOption(Connection::PROXY_USER, login.user);
        proxied.setOption(Connection::PROXY_PASSWORD, login.password);
        keepThenDrop();
        post(proxied, "<a/>");
        post(proxied, "<a/>");
    }
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 3 * std::size(logins));
    EXPECT_EQ(requests[0].target, host + "/RestServices/Svc/op");
    for (std::size_t i = 0; i < requests.size(); ++i) {
        const auto& login = logins[i / 3];
        EXPECT_EQ(requests[i].header("Proxy-Authorization").value_or("none"),
                  login.basic ? std::string("Basic ") + login.basic : "none")
            << login.user << ":" << login.password << ", request " << i % 3;
    }

    // A SOCKS proxy gets the login in its own handshake, also on the new
    // connection. One that holds "%00", which libcurl could not decode again
    // there, keeps no connection: the one dropped is new, and fails as such.
    Connection proxied(host, nullptr, Connection::HTTP, Connection::REST, true);
    proxied.setOption(Connection::PROXY_HOST, "socks5h" + server.url().substr(4));
    proxied.setOption(Connection::PROXY_USER, "u");
    proxied.setOption(Connection::PROXY_PASSWORD, "p%41ss");
    keepThenDrop();
    post(proxied, "<a/>");
    post(proxied, "<a/>");
    proxied.setOption(Connection::PROXY_USER, "us%00er");
    keepThenDrop();
    post(proxied, "<a/>");
    expectConnectionFailure(connectionFailure(proxied), host, "Empty reply from server");
    requests = server.requests();
    ASSERT_EQ(requests.size(), 3 * std::size(logins) + 5);
    for (std::size_t i = requests.size() - 5; i < requests.size(); ++i) {
        EXPECT_EQ(requests[i].socksLogin, i + 2 < requests.size() ? "u:p%41ss" : "us%00er:p%41ss");
        EXPECT_FALSE(requests[i].header("Proxy-Authorization").has_value());
    }

    // A NUL byte cannot be part of a login, nor a colon of its user (the
    // proxy would read the user up to the colon and the rest as part of the
    // password): refused before anything is sent.
    proxied.setOption(Connection::PROXY_PASSWORD, std::string("p\0ss", 4));
    EXPECT_THROW(post(proxied, "<c/>"), RuntimeException);
    proxied.setOption(Connection::PROXY_PASSWORD, "p");
    proxied.setOption(Connection::PROXY_USER, "domain:user");
    EXPECT_THROW(post(proxied, "<c/>"), RuntimeException);
    EXPECT_EQ(server.requests().size(), requests.size());

    // A cleared proxy is no longer used.
    proxied.setOption(Connection::PROXY_HOST, "");
    EXPECT_THROW(post(proxied, "<d/>"), Ex::ConnectionException);
    EXPECT_EQ(server.requests().size(), requests.size());

    // SOCKS4 carries the user alone; libcurl takes socks:// as SOCKS4.
    const std::string direct =
        "://127.0.0.1:" + std::to_string(Quillomark::Testing::unusedLoopbackPort()) + "/tc";
    Connection socks4("http" + direct, nullptr, Connection::HTTP, Connection::REST, true);
    socks4.setOption(Connection::PROXY_HOST, "socks" + server.url().substr(4));
    socks4.setOption(Connection::PROXY_USER, "u%41");
    post(socks4, "<a/>");
    EXPECT_EQ(server.requests().back().socksLogin, "u%41");

    // An https:// request goes through a tunnel that a CONNECT with the login
    // set at the time opened, whatever tunnels are kept: a changed or cleared
    // login, or the environment's proxy, opens a new one. Cookies carry over.
    if (!Quillomark::Testing::tlsAvailable()) GTEST_SKIP() << "built without TLS";
    Connection secure("https" + direct, nullptr, Connection::HTTP, Connection::REST, true);
    secure.setOption(Connection::SSL_VERIFY_PEER, "false");
    secure.setOption(Connection::PROXY_HOST, server.url());
    server.script().clearCalls();
    server.push(HttpReply::ok(""));  // the CONNECT
    HttpReply cookie = HttpReply::ok("<a/>");
    cookie.headers.push_back("Set-Cookie: s=1; Path=/");
    server.push(cookie);
    const std::vector<std::pair<std::string, std::string>> tunnels = {
        {"u", "Basic dTpw"}, {"v", "Basic djpw"}, {"v", "Basic djpw"}, {"", ""},
        {"u", "Basic dTpw"}, {"environment", ""}};
    const ScopedVariable fromEnvironment("https_proxy", server.url());
    for (const auto& [user, login] : tunnels) {
        secure.setOption(Connection::PROXY_USER, user == "environment" ? "" : user);
        secure.setOption(Connection::PROXY_PASSWORD, user.empty() ? "" : "p");
        if (user == "environment") secure.setOption(Connection::PROXY_HOST, "");
        EXPECT_NO_THROW(post(secure, "<a/>")) << user;
    }
    std::size_t sent = 0;
    for (const HttpRequest& request : server.requests()) {
        if (request.method == "CONNECT") continue;
        ASSERT_LT(sent, tunnels.size());
        EXPECT_EQ(request.tunnelLogin, tunnels[sent].second) << "request " << sent;
        EXPECT_EQ(request.header("Cookie").value_or(""), sent++ > 0 ? "s=1" : "");
        EXPECT_FALSE(request.header("Proxy-Authorization").has_value());
    }
    EXPECT_EQ(sent, tunnels.size());
}

// An explicit proxy carries every request of its connection, whatever the
// environment exempts; a proxy taken from the environment gets no login
// from the options.
TEST_F(HttpRestSenderTest, TheProxyOptionsOutrankTheEnvironment) {
    const std::string direct =
        "http://127.0.0.1:" + std::to_string(Quillomark::Testing::unusedLoopbackPort()) + "/tc";
    for (const auto& [name, value] : std::vector<std::pair<const char*, const char*>>{
             {"NO_PROXY", "127.0.0.1"}, {"no_proxy", "*"}}) {
        const ScopedVariable exempt(name, value);
        Connection proxied(direct, nullptr, Connection::HTTP, Connection::REST, true);
        proxied.setOption(Connection::PROXY_HOST, server.url());
        proxied.setOption(Connection::PROXY_USER, "u");
        proxied.setOption(Connection::PROXY_PASSWORD, "p");
        EXPECT_NO_THROW(post(proxied, "<a/>")) << name << "=" << value;
    }
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    for (const HttpRequest& request : requests) {
        EXPECT_EQ(request.target, direct + "/RestServices/Svc/op");
        EXPECT_EQ(request.header("Proxy-Authorization").value_or(""), "Basic dTpw");  // u:p
    }

    const ScopedVariable fromEnvironment("http_proxy", server.url().c_str());
    Connection viaEnvironment("http://qmsoa-test.invalid/tc", nullptr, Connection::HTTP,
                              Connection::REST, true);
    viaEnvironment.setOption(Connection::PROXY_USER, "u");
    viaEnvironment.setOption(Connection::PROXY_PASSWORD, "p");
    post(viaEnvironment, "<b/>");
    ASSERT_EQ(server.requests().size(), 3u);
    EXPECT_EQ(server.requests()[2].target, "http://qmsoa-test.invalid/tc/RestServices/Svc/op");
    EXPECT_FALSE(server.requests()[2].header("Proxy-Authorization").has_value());
}

TEST_F(HttpRestSenderTest, TimeOutAndCertificateCheckAreSetOnEveryRequest) {
    Seam::clearSettings();
    post(connection, "<fresh/>");
    EXPECT_EQ(Seam::lastValue(CURLOPT_TIMEOUT), 0);
    EXPECT_EQ(Seam::lastValue(CURLOPT_SSL_VERIFYPEER), 1);

    connection.setOption(Connection::TIMEOUT, "30");
    connection.setOption(Connection::SSL_VERIFY_PEER, "false");
    post(connection, "<off/>");
    EXPECT_EQ(Seam::lastValue(CURLOPT_TIMEOUT), 30);
    EXPECT_EQ(Seam::lastValue(CURLOPT_SSL_VERIFYPEER), 0);

    // Only "false" itself turns the check off, and turning it on again holds.
    for (const char* value : {"False", "true"}) {
        Seam::clearSettings();
        connection.setOption(Connection::SSL_VERIFY_PEER, value);
        post(connection, "<on/>");
        EXPECT_EQ(Seam::lastValue(CURLOPT_SSL_VERIFYPEER), 1) << value;
    }
}

// TIMEOUT is a whole number of seconds that libcurl takes (up to 2147483);
// any other text is refused when the request starts, before anything is
// sent, rather than read as some other limit or none.
TEST_F(HttpRestSenderTest, ATimeOutLibcurlCannotTakeIsRefusedBeforeSending) {
    connection.setOption(Connection::TIMEOUT, "30");
    post(connection, "<limited/>");
    for (const char* value :
         {"two", "", "0x2", "0.5", "1.5", "-1", " 5", "+5", "2147484", "99999999999999999999"}) {
        connection.setOption(Connection::TIMEOUT, value);
        try {
            post(connection, "<a/>");
            ADD_FAILURE() << "'" << value << "' taken";
        } catch (const RuntimeException& e) {
            EXPECT_EQ(e.getType(), RuntimeException::GENERAL_ERROR);
            EXPECT_EQ(e.getMessage(), std::string("The TIMEOUT option \"") + value +
                                          "\" is not a whole number of seconds from 0 to 2147483");
        }
    }
    EXPECT_EQ(server.requests().size(), 1u);

    for (const auto& [value, seconds] :
         std::vector<std::pair<const char*, long>>{{"2147483", 2147483}, {"007", 7}, {"0", 0}}) {
        connection.setOption(Connection::TIMEOUT, value);
        post(connection, "<a/>");
        EXPECT_EQ(Seam::lastValue(CURLOPT_TIMEOUT), seconds) << value;
    }
}

// A setting that libcurl refuses ends the request before anything is sent.
TEST_F(HttpRestSenderTest, ASettingLibcurlRefusesEndsTheRequest) {
    Seam::failNextSetting(CURLOPT_SSL_VERIFYPEER);
    try {
        post(connection, "<a/>");
        FAIL() << "sent";
    } catch (const RuntimeException& e) {
        EXPECT_EQ(e.getType(), RuntimeException::GENERAL_ERROR);
        EXPECT_NE(e.getMessage().find("SSL_VERIFYPEER"), std::string::npos) << e.getMessage();
    }
    EXPECT_TRUE(server.requests().empty());
    post(connection, "<b/>");
    EXPECT_EQ(server.requests().size(), 1u);
}

TEST(HttpRestSenderMakingTest, OneSenderPerSessionAndAFailedHandleOrSettingLeavesNone) {
    Connection connection("http://127.0.0.1:1/tc", nullptr, static_cast<Connection::Protocol>(7),
                          Connection::REST, true);
    SessionManager* session = SessionManager::getSessionManager(&connection);
    // The handle's copy, and the handle that libcurl makes as it makes what
    // the handle keeps its connections in.
    for (const int passing : {0, 1}) {
        Seam::failNextInit(passing);
        try {
            session->getRestSender();
            FAIL() << "made a sender without a handle, " << passing;
        } catch (const Ex::ProtocolException& e) {
            EXPECT_EQ(e.getMessage(), "Could not initialize libcurl.");
        }
    }
    for (const CURLoption setting : {CURLOPT_COOKIEFILE, CURLOPT_NOSIGNAL}) {
        Seam::failNextSetting(setting);
        EXPECT_THROW(session->getRestSender(), RuntimeException) << setting;
    }
    RestSender* sender = session->getRestSender();
    EXPECT_NE(dynamic_cast<HttpRestSender*>(sender), nullptr);
    EXPECT_EQ(session->getRestSender(), sender);
}

TEST(HttpRestSenderMakingTest, WriteCallbackAppendsToItsTarget) {
    std::string target = "a";
    EXPECT_EQ(HttpRestSender::writeCallback("bcdef", 2, 2, &target), 4u);
    EXPECT_EQ(target, "abcde");
    EXPECT_EQ(HttpRestSender::writeCallback("bcdef", 2, 2, nullptr), 0u);
}

}  // namespace
