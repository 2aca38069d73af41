// IIOP connections on several threads at once, each thread with its own
// connection, as the README allows: the ORB that they share is made and
// joined under its lock, and no thread sees the gateway stub or omniORB's
// nil references half made. Meant to run under ThreadSanitizer too; every
// case must be the first of its process to connect (ctest runs each in a
// process of its own).
#include <soa/client/Connection.hxx>
#include <soa/client/RestSender.hxx>
#include <soa/client/RuntimeException.hxx>
#include <soa/client/SessionManager.hxx>
#include <soa/client/internal/GatewayOrb.hxx>
#include <soa/common/SAXToNodeParser.hxx>
#include <soa/schemas/exceptions/ConnectionException.hxx>

#include "tests/fastcache/ChildProcess.hxx"
#include "tests/support/GatewayServerProcess.hxx"
#include "tests/support/LeaksUncounted.hxx"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio_ext.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <functional>
#include <future>
#include <iostream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Quillomark::Soa::Client::Connection;
using Quillomark::Soa::Client::GatewayOrb;
using Quillomark::Soa::Client::SessionManager;
using Quillomark::Testing::GatewayServerProcess;

// The library's insides, which these tests use, are the shared library's
// own: its build runs the exit's sweep alone.
#ifndef QMSOA_TEST_SHARED_LIBRARY

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
#endif  // QMSOA_TEST_SHARED_LIBRARY

// The sweep of exits while IIOP work is under way. A process's threads
// connect, call or read replies; the process ends (exit on its main thread
// or on another, a return from main, or exit in a signal handler on a
// thread at work) while they are at it; the server answers what it holds
// at one moment of the exit or never, with a reply, a reset or an orderly
// close; or a child is forked at one step of the exit. The process ends
// with its status and no signal, and its program's exit functions run,
// those that the exit runs before the library's wait and those after it (a
// static link puts the program's objects that come first there). Rows run
// as test cases of their own, each a process of ctest's, side by side: each
// lasts the exit's wait at most.

// A gateway that this process plays on the loopback interface for a child
// to call, a GIOP 1.0 message at a time (what a "corbaloc:iiop:" address
// without a version asks for): it answers the question whether the object
// is a gateway with yes and each invokeMethod with a reply of its own, at
// once or, for the operation it holds, when told; or it ends the held
// ones' connections. One that does not accept takes a connection of its own
// first and none after: the kernel leaves the child's connections waiting.
class GatewayInThisProcess {
public:
    enum class Answer { Reply, Reset, Close };

    explicit GatewayInThisProcess(bool accepting) : accepting(accepting) {
        listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (::bind(listener, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
            ::listen(listener, accepting ? 16 : 0) != 0 ||
            ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
            throw std::runtime_error("the gateway cannot listen");
        }
        port = ntohs(address.sin_port);
        if (!accepting) {
            queued = ::socket(AF_INET, SOCK_STREAM, 0);
            ::connect(queued, reinterpret_cast<sockaddr*>(&address), size);
        }
    }
    ~GatewayInThisProcess() {
        for (const Peer& peer : peers) ::close(peer.fd);
        ::close(queued);
        ::close(listener);
    }
    GatewayInThisProcess(const GatewayInThisProcess&) = delete;
    GatewayInThisProcess& operator=(const GatewayInThisProcess&) = delete;

    std::string hostPath() const { return "iiop:127.0.0.1:" + std::to_string(port) + "/QmGateway"; }
    // "_is_a" or "invokeMethod": held from now on.
    void hold(const std::string& operation) { holding = operation; }
    std::size_t held() const { return heldMessages.size(); }
    int answered() const { return replies; }

    // Serves until `enough()`, reading what `told` says into `said`: false
    // when the other end of `told` closed before. With `watch` set, enough()
    // is asked every millisecond, else whenever something arrived.
    bool serveUntil(int told, std::string& said, const std::function<bool()>& enough,
                    bool watch = false) {
        while (!enough()) {
            std::vector<pollfd> ready{{told, POLLIN, 0}, {accepting ? listener : -1, POLLIN, 0}};
            for (const Peer& peer : peers) ready.push_back({peer.fd, POLLIN, 0});
            if (::poll(ready.data(), ready.size(), watch ? 1 : -1) < 0) continue;
            if (ready[0].revents != 0) {
                char c;
                if (::read(told, &c, 1) != 1) return enough();
                said += c;
            }
            if ((ready[1].revents & POLLIN) != 0) {
                peers.push_back({::accept(listener, nullptr, nullptr), ""});
            }
            for (std::size_t i = 2; i < ready.size(); ++i) {
                if (ready[i].revents != 0) readFrom(ready[i].fd);
            }
        }
        return true;
    }

    void answerHeld(Answer answer) {
        for (const Held& message : heldMessages) {
            if (answer == Answer::Reply) {
                reply(message.fd, message.id, message.question);
                continue;
            }
            if (answer == Answer::Reset) {
                const linger reset{1, 0};
                ::setsockopt(message.fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            }
            drop(message.fd);
        }
        heldMessages.clear();
    }

    // The connections of the child that wait for the kernel to be accepted.
    int waitingToBeAccepted() const {
        char remote[32];
        std::snprintf(remote, sizeof remote, " 0100007F:%04X 02 ", port);
        std::ifstream sockets("/proc/net/tcp");
        int waiting = 0;
        for (std::string line; std::getline(sockets, line);) {
            waiting += line.find(remote) != std::string::npos;
        }
        return waiting;
    }

private:
    struct Peer {
        int fd;
        std::string in;
    };
    struct Held {
        int fd;
        std::uint32_t id;
        bool question;
    };

    // A CDR number of a message, aligned as GIOP aligns it (from the start
    // of the message).
    static std::uint32_t number(const std::string& message, std::size_t& at, bool little) {
        at = (at + 3) & ~std::size_t{3};
        std::uint32_t value = 0;
        for (int i = 0; i < 4 && at + 3 < message.size(); ++i) {
            const auto byte = static_cast<unsigned char>(message[at + (little ? 3 - i : i)]);
            value = (value << 8) | byte;
        }
        at += 4;
        return value;
    }

    void readFrom(int fd) {
        auto peer =
            std::find_if(peers.begin(), peers.end(), [fd](const Peer& p) { return p.fd == fd; });
        char block[4096];
        const ssize_t length = ::recv(fd, block, sizeof block, 0);
        if (length <= 0) {
            drop(fd);
            return;
        }
        peer->in.append(block, static_cast<std::size_t>(length));
        while (peer->in.size() >= 12) {
            const bool little = (peer->in[6] & 1) != 0;
            std::size_t at = 8;
            const std::size_t size = 12 + number(peer->in, at, little);
            if (peer->in.size() < size) break;
            const std::string message = peer->in.substr(0, size);
            peer->in.erase(0, size);
            if (message[7] != 0) continue;  // not a request
            // Service contexts, request id, whether a reply is expected,
            // object key, operation.
            at = 12;
            for (std::uint32_t contexts = number(message, at, little); contexts > 0; --contexts) {
                number(message, at, little);
                at += number(message, at, little);
            }
            const std::uint32_t id = number(message, at, little);
            at += 1;
            at += number(message, at, little);
            const std::uint32_t nameLength = number(message, at, little);
            const std::string operation = message.substr(at, nameLength > 0 ? nameLength - 1 : 0);
            const bool question = operation == "_is_a";
            if (operation == holding) {
                heldMessages.push_back({fd, id, question});
            } else {
                reply(fd, id, question);
            }
        }
    }

    // A reply of NO_EXCEPTION: true to a question, a document to a call.
    void reply(int fd, std::uint32_t id, bool question) {
        ++replies;
        static const std::string document = [] {
            std::string text = "<reply>";
            for (int i = 0; i < 500; ++i)
                text += "<item n=\"" + std::to_string(i) + "\">text</item>";
            return text + "</reply>";
        }();
        const auto put = [](std::string& to, std::size_t value) {
            for (int i = 0; i < 4; ++i) to += static_cast<char>((value >> (8 * i)) & 0xff);
        };
        std::string body;
        if (question) {
            body = "\1";
        } else {
            put(body, document.size());
            body += document;
        }
        std::string message("GIOP\1\0\1\1", 8);
        put(message, 12 + body.size());
        put(message, 0);  // no service contexts
        put(message, id);
        put(message, 0);  // NO_EXCEPTION
        message += body;
        ::send(fd, message.data(), message.size(), MSG_NOSIGNAL);
    }

    void drop(int fd) {
        const auto peer =
            std::find_if(peers.begin(), peers.end(), [fd](const Peer& p) { return p.fd == fd; });
        if (peer == peers.end()) return;
        ::close(fd);
        peers.erase(peer);
    }

    bool accepting;
    int listener = -1;
    int queued = -1;
    int port = 0;
    std::string holding;
    std::vector<Peer> peers;
    std::vector<Held> heldMessages;
    int replies = 0;
};

// Whether a thread of `process` waits on a count with a deadline of the
// steady clock, as the exit's wait for the connects does (the futex call,
// 202, with FUTEX_WAIT_BITSET_PRIVATE).
bool waitsAtExit(pid_t process) {
    const std::string tasks = "/proc/" + std::to_string(process) + "/task/";
    DIR* listing = ::opendir(tasks.c_str());
    if (listing == nullptr) return false;
    bool waits = false;
    while (const dirent* task = ::readdir(listing)) {
        std::ifstream state(tasks + task->d_name + "/syscall");
        std::string call;
        std::getline(state, call);
        waits = waits || (call.rfind("202 ", 0) == 0 && call.find(" 0x89 ") != std::string::npos);
    }
    ::closedir(listing);
    return waits;
}

// What the process's threads are at when its exit's wait ends.
enum class UnderWay {
    Nothing,
    Connect,     // the question whether the object is a gateway is unanswered
    TcpConnect,  // the server has not accepted the connection
    Call,        // an invokeMethod is unanswered
    Rounds       // over and over, answered at once: a connect, a call, its reply
                 // read, the connection ended
};
// When the server answers what it holds.
enum class Moment {
    DuringTheWait,
    InAnExitFunctionAfterTheWait,
    AsTheStreamsAreFlushed,  // the C streams, as the process ends
    Never
};
enum class Ending {
    ExitOnTheMainThread,
    ExitOnAnotherThread,
    ReturnFromMain,
    // On a thread at work, while it waits for the server (where it holds
    // no lock that the exit takes).
    ExitInASignalHandlerInsideItsOwnWork
};
// Where a child is forked, which connects to a port that refuses.
enum class Fork {
    None,
    BeforeTheExit,
    InAnExitFunctionBeforeTheWait,
    WhileTheWaitWaits,  // by another thread
    InAnExitFunctionAfterTheWait,
    AsTheStreamsAreFlushed
};

struct ExitRow {
    UnderWay underWay;
    Moment moment;
    GatewayInThisProcess::Answer answer;
    Ending ending;
    Fork fork;
};

constexpr int THREADS_AT_WORK = 4;
pthread_t threadsAtWork[THREADS_AT_WORK];

// The child's side of a row, for its exit functions: what it tells this
// process, and what it hears from it. A child forked of it keeps quiet.
ExitRow childRow{};
int toTheTest = -1;
int fromTheTest = -1;
bool quiet = false;
char refusingHostPath[64];

// Whether the library is the shared library, whose exit runs once the
// program's exit functions have run, rather than linked into the program.
#ifdef QMSOA_TEST_SHARED_LIBRARY
constexpr bool sharedLibrary = true;
#else
constexpr bool sharedLibrary = false;
#endif

// How a connect to the port that refuses fails: by the port's refusal
// ('t'), as the process is exiting ('x'), in a child refused IIOP as
// forked while its parent ended or after it made its ORB ('r').
char connectToTheRefusingPort() {
    char outcome = '?';
    try {
        Connection connection(refusingHostPath, nullptr, Connection::IIOP, Connection::REST, false);
        std::string reply;
        SessionManager::getSessionManager(&connection)
            ->getRestSender()
            ->send("Svc", "echo", "<a/>", reply);
    } catch (const Quillomark::Schemas::Soa::_2006_03::Exceptions::ConnectionException& e) {
        if (e.getMessage().find("TRANSIENT") != std::string::npos) outcome = 't';
        if (e.getMessage().find("the process is exiting") != std::string::npos) outcome = 'x';
    } catch (const Quillomark::Soa::Client::RuntimeException& e) {
        if (e.getMessage().find("while its parent was ending") != std::string::npos ||
            e.getMessage().find("after the library made its ORB") != std::string::npos) {
            outcome = 'r';
        }
    }
    return outcome;
}

// Whether the process admits new IIOP work: the shared library, whose
// insides are not exported, is asked by a connect.
bool admitsNewWork() {
#ifdef QMSOA_TEST_SHARED_LIBRARY
    return connectToTheRefusingPort() == 't';
#else
    return static_cast<bool>(Quillomark::Soa::Client::IiopUnderWay());
#endif
}

// A stream of the application's own, with something in its buffer.
FILE* applicationsOwn = nullptr;

// The child forked at a step of the exit tells how its connect failed (as
// connectToTheRefusingPort says). Where it got the port's refusal, its own
// exit refuses new work ('e'). It ends with 0 ('k').
void forkAChild(bool othersRun) {
    const pid_t child = ::fork();
    if (child == 0) {
        ::alarm(20);
        quiet = true;
        // What the parent has yet to write out is not this child's to write.
        ::dup2(::open("/dev/null", O_WRONLY), 1);
        if (applicationsOwn != nullptr) ::__fpurge(applicationsOwn);
        // Under a sanitizer it may hang in the sanitizer's allocator.
        if (othersRun && !Quillomark::Testing::childrenOfThreadsRun) ::_exit(0);
        const char outcome = connectToTheRefusingPort();
        Quillomark::Testing::say(toTheTest, outcome);
#ifndef QMSOA_TEST_SHARED_LIBRARY
        if (outcome == 't') {
            std::atomic<bool> probing{false};
            std::thread([&probing] {
                const Quillomark::Soa::Client::IiopUnderWay waitedFor;
                probing = true;
                while (Quillomark::Soa::Client::IiopUnderWay()) {
                }
                Quillomark::Testing::say(toTheTest, 'e');
            }).detach();
            while (!probing) std::this_thread::yield();
        }
#endif
        std::exit(0);
    }
    Quillomark::Testing::say(toTheTest, Quillomark::Testing::endOf(child).empty() ? 'k' : 'K');
}

// Whether threads of the row's child other than the forking one run as it
// forks.
bool parentsThreadsRun(const ExitRow& row) {
    return row.underWay != UnderWay::Nothing || row.ending == Ending::ExitOnAnotherThread ||
           row.fork == Fork::WhileTheWaitWaits;
}

void forkAChildHere(Fork step) {
    if (childRow.fork == step && !quiet) forkAChild(parentsThreadsRun(childRow));
}

// An exit function that the exit runs after the library's wait when the
// library is linked into the program: made before the library's statics
// (the priority puts it first), it is destroyed after them. Elsewhere than
// in a row's child it does nothing.
struct AfterTheLibrarysWait {
    ~AfterTheLibrarysWait() {
        if (toTheTest < 0 || quiet) return;
        Quillomark::Testing::say(toTheTest, admitsNewWork() ? 'y' : 'z');
        if (childRow.moment == Moment::InAnExitFunctionAfterTheWait) {
            Quillomark::Testing::say(toTheTest, 'h');
            Quillomark::Testing::hear(fromTheTest);
        }
        forkAChildHere(Fork::InAnExitFunctionAfterTheWait);
    }
};
__attribute__((init_priority(101))) AfterTheLibrarysWait afterTheLibrarysWait;

// A C stream with something to write, whose flush as the process ends
// tells this process and, in a row that answers then, waits for it.
void streamFlushedAtTheEnd() {
    cookie_io_functions_t flushed{};
    flushed.write = [](void*, const char*, std::size_t size) -> ssize_t {
        if (quiet) return static_cast<ssize_t>(size);
        if (childRow.moment == Moment::AsTheStreamsAreFlushed) {
            Quillomark::Testing::say(toTheTest, 'f');
            Quillomark::Testing::hear(fromTheTest);
        }
        forkAChildHere(Fork::AsTheStreamsAreFlushed);
        return static_cast<ssize_t>(size);
    };
    std::fputc('x', ::fopencookie(nullptr, "w", flushed));
}

// Who holds a C stream's lock as the process ends.
enum class Held {
    Nothing,
    // A thread that waits for good to read the standard input.
    ByAnotherThread,
    // The exiting thread, the standard output's (as where its signal
    // handler interrupted its own printf).
    ByTheExitingThread
};

Held heldAtTheEnd(const ExitRow& row) {
    if (row.ending == Ending::ExitOnTheMainThread) return Held::ByTheExitingThread;
    // A child that forks with no other thread running stays so (a
    // sanitizer's child of threads ends at once).
    if (row.ending == Ending::ReturnFromMain || (row.fork != Fork::None && !parentsThreadsRun(row)))
        return Held::Nothing;
    return Held::ByAnotherThread;
}

// The streams as an application may leave them at its exit: the standard
// output with something in its buffer, the C stream's or (unsynchronised)
// the C++ stream's own, a file's C stream with something in its buffer,
// and a lock held.
constexpr char KEPT_OUTPUT[] = "written before the exit";
void holdTheStreamsAsAnApplicationMay(const std::string& outputFile, const std::string& ownFile,
                                      Held held) {
    ::dup2(::open(outputFile.c_str(), O_WRONLY | O_TRUNC), 1);
    if (held == Held::ByTheExitingThread) {
        std::printf("%s", KEPT_OUTPUT);
    } else {
        std::ios::sync_with_stdio(false);
        std::cout << KEPT_OUTPUT;
    }
    applicationsOwn = std::fopen(ownFile.c_str(), "w");
    if (applicationsOwn == nullptr) _exit(5);
    std::fputs(KEPT_OUTPUT, applicationsOwn);
    int input[2];
    if (held != Held::ByAnotherThread) return;
    if (::pipe(input) != 0 || ::dup2(input[0], 0) != 0) _exit(5);
    std::thread([] {
        char line[8];
        std::fgets(line, sizeof line, stdin);
    }).detach();
    while (::ftrylockfile(stdin) == 0) {
        ::funlockfile(stdin);
        std::this_thread::yield();
    }
}

#ifndef QMSOA_TEST_SHARED_LIBRARY
// A thread that holds IIOP work under way until the process's main thread
// waits at its exit for it, and forks then.
void forkWhileTheWaitWaits() {
    std::atomic<bool> holding{false};
    std::thread([&holding] {
        const Quillomark::Soa::Client::IiopUnderWay waitedFor;
        holding = true;
        const std::string state = "/proc/self/task/" + std::to_string(::getpid()) + "/syscall";
        for (std::string call;
             call.rfind("202 ", 0) != 0 || call.find(" 0x89 ") == std::string::npos;) {
            std::ifstream in(state);
            std::getline(in, call);
        }
        forkAChild(true);
    }).detach();
    while (!holding) std::this_thread::yield();
}
#endif

// A thread's IIOP work, on a connection of its own (in rounds, one for
// each round): it tells this process when it is done.
void workAt(const std::string& hostPath, UnderWay underWay) {
    const Quillomark::Testing::LeaksUncounted uncounted;  // it may be under way at the end
    do {
        Connection connection(hostPath, nullptr, Connection::IIOP, Connection::REST, false);
        try {
            std::string reply;
            SessionManager::getSessionManager(&connection)
                ->getRestSender()
                ->send("Svc", "echo", "<a/>", reply);
            if (underWay == UnderWay::Rounds) {
                Quillomark::Soa::Common::Xml::SAXToNodeParser parser;
                parser.parseString(reply);
            }
        } catch (...) {
        }
    } while (underWay == UnderWay::Rounds);
    Quillomark::Testing::say(toTheTest, 'd');
}

class AnExitWhileIiopIsUnderWay : public ::testing::TestWithParam<ExitRow> {};

TEST_P(AnExitWhileIiopIsUnderWay, EndsTheProcessWithItsStatus) {
    const ExitRow row = GetParam();
#if defined(__SANITIZE_THREAD__)
    if (row.ending == Ending::ExitInASignalHandlerInsideItsOwnWork) {
        GTEST_SKIP() << "ThreadSanitizer ends a process that exits in a signal handler";
    }
#endif
    GatewayInThisProcess gateway(row.underWay != UnderWay::TcpConnect);
    if (row.underWay == UnderWay::Connect) gateway.hold("_is_a");
    if (row.underWay == UnderWay::Call) gateway.hold("invokeMethod");
    int toParent[2], toChild[2];
    ASSERT_EQ(::pipe(toParent), 0);
    ASSERT_EQ(::pipe(toChild), 0);
    {
        // A port on which nothing listens.
        const GatewayInThisProcess closed(true);
        std::snprintf(refusingHostPath, sizeof refusingHostPath, "%s", closed.hostPath().c_str());
    }
    char outputFile[] = "/tmp/qmsoa-exit-output-XXXXXX";
    char ownFile[] = "/tmp/qmsoa-exit-own-XXXXXX";
    ::close(::mkstemp(outputFile));
    ::close(::mkstemp(ownFile));
    const pid_t child = Quillomark::Testing::startChild([&] {
        childRow = row;
        toTheTest = toParent[1];
        fromTheTest = toChild[0];
        // A service manager may give the process a timer slack of 50 ms:
        // the wait goes by the clock all the same.
        if (::prctl(PR_SET_TIMERSLACK, 50'000'000UL) != 0) _exit(4);
        // omniORB stamps what it logs with the local time, whose zone the C
        // library reads once, from a stream: not while the streams are held.
        ::tzset();
        streamFlushedAtTheEnd();
        holdTheStreamsAsAnApplicationMay(outputFile, ownFile, heldAtTheEnd(row));
        std::atexit([] {
            if (quiet) return;
            Quillomark::Testing::say(toTheTest, 'a');
            forkAChildHere(Fork::InAnExitFunctionBeforeTheWait);
        });
        for (int t = 0; row.underWay != UnderWay::Nothing && t < THREADS_AT_WORK; ++t) {
            std::thread thread(workAt, gateway.hostPath(), row.underWay);
            threadsAtWork[t] = thread.native_handle();
            thread.detach();
        }
#ifndef QMSOA_TEST_SHARED_LIBRARY
        if (row.fork == Fork::WhileTheWaitWaits) forkWhileTheWaitWaits();
#endif
        [&row, &gateway] {
            // Main's own, destroyed as it returns.
            const Connection own(gateway.hostPath(), nullptr, Connection::IIOP, Connection::REST,
                                 false);
            Quillomark::Testing::hear(fromTheTest);
            forkAChildHere(Fork::BeforeTheExit);
            switch (row.ending) {
                case Ending::ExitOnTheMainThread: ::flockfile(stdout); std::exit(7);
                case Ending::ExitOnAnotherThread:
                    std::thread([] { std::exit(7); }).detach();
                    for (;;) ::pause();
                case Ending::ReturnFromMain: break;
                case Ending::ExitInASignalHandlerInsideItsOwnWork:
                    std::signal(SIGUSR1, [](int) { std::exit(7); });
                    ::pthread_kill(threadsAtWork[0], SIGUSR1);
                    for (;;) ::pause();
            }
        }();
        std::exit(7);
    });
    ::close(toParent[1]);
    ::close(toChild[0]);
    std::string said;
    // The exiting thread's own work does not end.
    const auto threadsDone = [&said, &row] {
        return std::count(said.begin(), said.end(), 'd') ==
               THREADS_AT_WORK - (row.ending == Ending::ExitInASignalHandlerInsideItsOwnWork);
    };
    const auto toldOf = [&said](char step) {
        return [&said, step] { return said.find(step) != std::string::npos; };
    };
    ASSERT_TRUE(gateway.serveUntil(
        toParent[0], said,
        [&] {
            switch (row.underWay) {
                case UnderWay::Nothing: return true;
                case UnderWay::Connect:
                case UnderWay::Call: return gateway.held() == THREADS_AT_WORK;
                case UnderWay::TcpConnect: return gateway.waitingToBeAccepted() == THREADS_AT_WORK;
                case UnderWay::Rounds: return gateway.answered() > 2 * THREADS_AT_WORK;
            }
            return true;
        },
        row.underWay == UnderWay::TcpConnect))
        << said;
    Quillomark::Testing::say(toChild[1], 'b');
    switch (row.moment) {
        case Moment::DuringTheWait:
            ASSERT_TRUE(gateway.serveUntil(
                toParent[0], said, [child] { return waitsAtExit(child); }, true))
                << "the exit did not wait: " << said;
            gateway.answerHeld(row.answer);
            break;
        case Moment::InAnExitFunctionAfterTheWait:
        case Moment::AsTheStreamsAreFlushed: {
            const char step = row.moment == Moment::AsTheStreamsAreFlushed ? 'f' : 'h';
            ASSERT_TRUE(gateway.serveUntil(toParent[0], said, toldOf(step))) << said;
            gateway.answerHeld(row.answer);
            if (gateway.serveUntil(toParent[0], said, threadsDone)) {
                Quillomark::Testing::say(toChild[1], 'g');
            }
            break;
        }
        case Moment::Never: break;
    }
    gateway.serveUntil(toParent[0], said, [] { return false; });
    ::close(toParent[0]);
    ::close(toChild[1]);
    EXPECT_EQ(Quillomark::Testing::endOf(child), "exit 7") << said;
    // What the process had written was written out however the exit ended.
    for (const char* file : {outputFile, ownFile}) {
        std::ifstream written(file);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(written), {}), KEPT_OUTPUT)
            << file << ": " << said;
        ::unlink(file);
    }
    // The exit functions before the library's wait and after it ran, the
    // latter once the process refused new connects; a shared library's wait
    // comes after every exit function of the program.
    EXPECT_NE(said.find('a'), std::string::npos) << said;
    EXPECT_NE(said.find(sharedLibrary ? 'y' : 'z'), std::string::npos) << said;
    // A child forked before the library's last exit function returned (or
    // began to end the process) connects as before the exit, and its own
    // exit refuses new work; one forked after is refused.
    if (row.fork == Fork::None) return;
    EXPECT_NE(said.find('k'), std::string::npos) << said;
    if (parentsThreadsRun(row) && !Quillomark::Testing::childrenOfThreadsRun) return;
    const char outcome = row.fork == Fork::AsTheStreamsAreFlushed ? 'r' : 't';
    EXPECT_NE(said.find(outcome), std::string::npos) << said;
    if (outcome == 't' && !sharedLibrary) {
        EXPECT_NE(said.find('e'), std::string::npos) << said;
    }
}

std::string exitRowName(const ::testing::TestParamInfo<ExitRow>& info) {
    static const char* const underWay[] = {"Nothing", "Connect", "TcpConnect", "Call", "Rounds"};
    static const char* const moments[] = {"DuringTheWait", "InAnExitFunctionAfterTheWait",
                                          "AsTheStreamsAreFlushed", "Never"};
    static const char* const answers[] = {"Reply", "Reset", "Close"};
    static const char* const endings[] = {"ExitOnTheMainThread", "ExitOnAnotherThread",
                                          "ReturnFromMain", "ExitInASignalHandlerInsideItsOwnWork"};
    static const char* const forks[] = {"",
                                        "_ForkBeforeTheExit",
                                        "_ForkInAnExitFunctionBeforeTheWait",
                                        "_ForkWhileTheWaitWaits",
                                        "_ForkInAnExitFunctionAfterTheWait",
                                        "_ForkAsTheStreamsAreFlushed"};
    const ExitRow& row = info.param;
    return std::string(underWay[static_cast<int>(row.underWay)]) + "_" +
           moments[static_cast<int>(row.moment)] +
           (row.moment == Moment::Never ? "" : answers[static_cast<int>(row.answer)]) + "_" +
           endings[static_cast<int>(row.ending)] + forks[static_cast<int>(row.fork)];
}

// Every state of the work against every moment and answer, and a child
// forked at every step of the exit; the endings taken in turn, so that each
// meets each state.
std::vector<ExitRow> exitRows() {
    using Answer = GatewayInThisProcess::Answer;
    std::vector<ExitRow> rows;
    int turn = 0;
    const auto ending = [&turn](int endings) { return static_cast<Ending>(turn++ % endings); };
    for (const UnderWay underWay : {UnderWay::Connect, UnderWay::Call}) {
        for (const Moment moment : {Moment::DuringTheWait, Moment::InAnExitFunctionAfterTheWait,
                                    Moment::AsTheStreamsAreFlushed}) {
            for (const Answer answer : {Answer::Reply, Answer::Reset, Answer::Close}) {
                rows.push_back({underWay, moment, answer, ending(4), Fork::None});
            }
        }
        rows.push_back({underWay, Moment::Never, Answer::Reply, ending(4), Fork::None});
    }
    for (int e = 0; e < 4; ++e) {
        rows.push_back({UnderWay::TcpConnect, Moment::Never, Answer::Reply, static_cast<Ending>(e),
                        Fork::None});
    }
    for (int e = 0; e < 3; ++e) {
        rows.push_back(
            {UnderWay::Rounds, Moment::Never, Answer::Reply, static_cast<Ending>(e), Fork::None});
    }
    // A process with no work under way has no thread at work to exit on.
    for (const Fork fork : {Fork::BeforeTheExit, Fork::InAnExitFunctionBeforeTheWait,
                            Fork::InAnExitFunctionAfterTheWait, Fork::AsTheStreamsAreFlushed}) {
        rows.push_back({UnderWay::Nothing, Moment::Never, Answer::Reply, ending(3), fork});
    }
    // The exit waits where its main thread exits.
    rows.push_back({UnderWay::Nothing, Moment::Never, Answer::Reply, Ending::ExitOnTheMainThread,
                    Fork::WhileTheWaitWaits});
    rows.push_back(
        {UnderWay::Connect, Moment::Never, Answer::Reply, ending(4), Fork::AsTheStreamsAreFlushed});
    // A shared library's exit has no exit function of the program after its
    // wait, and a thread of the program holds no work under way but by a
    // connect.
    if (sharedLibrary) {
        rows.erase(std::remove_if(rows.begin(), rows.end(),
                                  [](const ExitRow& row) {
                                      return row.moment == Moment::InAnExitFunctionAfterTheWait ||
                                             row.fork == Fork::InAnExitFunctionAfterTheWait ||
                                             row.fork == Fork::WhileTheWaitWaits;
                                  }),
                   rows.end());
    }
    return rows;
}

INSTANTIATE_TEST_SUITE_P(EveryStateMomentAndEnding, AnExitWhileIiopIsUnderWay,
                         ::testing::ValuesIn(exitRows()), exitRowName);

// Output that an exit function of the program leaves in the standard
// output's buffer once the C++ streams' end has written that out: made
// before them, it is destroyed after them.
const char* leftInTheOutput = nullptr;
struct LeavesOutput {
    ~LeavesOutput() {
        if (leftInTheOutput != nullptr) std::printf("%s", leftInTheOutput);
    }
};
__attribute__((init_priority(101))) LeavesOutput leavesOutput;

// A child with one connect that the gateway holds, which runs `setUp`,
// then, once the connect is held, `atTheEnd` and exit(7), so that the
// library ends the process itself; the child's `toTheTest` is a pipe to
// this process. Checks that it ended with `ending`, and returns what it said.
std::string anExitTheLibraryEnds(const std::function<void()>& setUp,
                                 const std::function<void()>& atTheEnd,
                                 const char* ending = "exit 7") {
    GatewayInThisProcess gateway(true);
    gateway.hold("_is_a");
    int toParent[2], toChild[2];
    if (::pipe(toParent) != 0 || ::pipe(toChild) != 0) return "no pipe";
    const std::string hostPath = gateway.hostPath();
    const pid_t child = Quillomark::Testing::startChild([&] {
        ::tzset();
        toTheTest = toParent[1];
        setUp();
        std::thread(workAt, hostPath, UnderWay::Connect).detach();
        Quillomark::Testing::hear(toChild[0]);
        atTheEnd();
        std::exit(7);
    });
    ::close(toParent[1]);
    ::close(toChild[0]);
    std::string said;
    EXPECT_TRUE(gateway.serveUntil(toParent[0], said, [&gateway] { return gateway.held() == 1; }));
    Quillomark::Testing::say(toChild[1], 'b');
    gateway.serveUntil(toParent[0], said, [] { return false; });
    EXPECT_EQ(Quillomark::Testing::endOf(child), ending) << said;
    for (const int fd : {toParent[0], toChild[1]}) ::close(fd);
    return said;
}

// What stops a stream as the library ends the process: a standard output
// that is a full pipe nobody reads, held by the exiting thread or not, or a
// file whose lock the exiting thread holds (a log written under flockfile
// that exits on a fatal error).
enum class Stuck { OutputNotRead, OutputNotReadAndHeld, AFileHeld };

// The other streams, a file and an older one, are written out all the
// same, as a normal exit writes them, and the end comes in its bounded time
// (the child's alarm would say "hang").
class AnExitWithAStuckStream : public ::testing::TestWithParam<Stuck> {};

TEST_P(AnExitWithAStuckStream, WritesOutTheOtherStreamsAndEnds) {
    const Stuck stuck = GetParam();
#if defined(__SANITIZE_THREAD__)
    if (stuck != Stuck::AFileHeld) {
        GTEST_SKIP() << "ThreadSanitizer's _exit writes out the standard output itself, "
                        "waiting for its lock";
    }
#endif
    int output[2];
    ASSERT_EQ(::pipe(output), 0);
    char olderFile[] = "/tmp/qmsoa-exit-older-XXXXXX";
    char heldFile[] = "/tmp/qmsoa-exit-held-XXXXXX";
    ::close(::mkstemp(olderFile));
    ::close(::mkstemp(heldFile));
    FILE* held = nullptr;
    anExitTheLibraryEnds(
        [&] {
            if (stuck != Stuck::AFileHeld) {
                ::dup2(output[1], 1);
                ::fcntl(1, F_SETFL, O_NONBLOCK);
                for (char block[4096]{}; ::write(1, block, sizeof block) > 0;) {
                }
                ::fcntl(1, F_SETFL, 0);
                leftInTheOutput = KEPT_OUTPUT;
            }
            FILE* older = std::fopen(olderFile, "w");
            held = std::fopen(heldFile, "w");
            if (older == nullptr || held == nullptr) _exit(5);
            std::fputs(KEPT_OUTPUT, older);
        },
        [&] {
            if (stuck == Stuck::OutputNotReadAndHeld) ::flockfile(stdout);
            if (stuck == Stuck::AFileHeld) ::flockfile(held);
            std::fputs(KEPT_OUTPUT, held);
        });
    for (const char* file : {heldFile, olderFile}) {
        std::ifstream written(file);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(written), {}), KEPT_OUTPUT) << file;
        ::unlink(file);
    }
    for (const int fd : output) ::close(fd);
}

std::string stuckName(const ::testing::TestParamInfo<Stuck>& info) {
    static const char* const names[] = {"OutputNotRead", "OutputNotReadAndHeld", "AFileHeld"};
    return names[static_cast<int>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(EveryStuckStream, AnExitWithAStuckStream,
                         ::testing::Values(Stuck::OutputNotRead, Stuck::OutputNotReadAndHeld,
                                           Stuck::AFileHeld),
                         stuckName);

// A buffer of the standard output's C++ stream whose write out forks once
// the C++ streams' end has written it out (as a log that hands a full file
// to a child): the child goes on from the flush, and its parent tells the
// test how the child ended.
bool forkAsWrittenOut = false;
struct ForksAsItIsWrittenOut : std::streambuf {
    int sync() override {
        if (!forkAsWrittenOut) return 0;
        forkAsWrittenOut = false;
        const pid_t child = ::fork();
        if (child == 0) {
            ::alarm(20);
            ::dup2(::open("/dev/null", O_WRONLY), 1);
            return 0;
        }
        Quillomark::Testing::say(toTheTest,
                                 Quillomark::Testing::endOf(child) == "exit 7" ? 's' : 'S');
        return 0;
    }
};
// Made before the C++ streams, destroyed after them.
struct ArmsTheFork {
    ~ArmsTheFork() { forkAsWrittenOut = true; }
};
__attribute__((init_priority(101))) ArmsTheFork armsTheFork;

// The child ends with _exit and the process's status once the flush
// returns, as one that a C stream's write function forked does.
TEST(AnExitWithAForkingCppStream, EndsTheChildWithTheStatus) {
    if (!Quillomark::Testing::childrenOfThreadsRun) {
        GTEST_SKIP() << "a sanitizer's child of threads may hang in its allocator";
    }
    const std::string said = anExitTheLibraryEnds(
        [] {
            std::cout.rdbuf(new ForksAsItIsWrittenOut);
            quiet = true;
        },
        [] {});
    EXPECT_NE(said.find('s'), std::string::npos) << said;
}

// An exit function registered before the process's first IIOP work and
// fork that exits again, in the child alone: the process ends with the
// later status, as the C library ends it.
int exitAgainWith = 0;
TEST(AnExitFunctionThatExitsAgain, EndsTheProcessWithItsStatus) {
    std::atexit([] {
        if (exitAgainWith != 0) std::exit(exitAgainWith);
    });
    anExitTheLibraryEnds([] { exitAgainWith = 9; }, [] {}, "exit 9");
}

}  // namespace
