// The main road against the loopback PLM service, through the real sender,
// session services and model manager: log in, a request whose reply names
// types the manager has not seen, typed objects and references, a partial
// error, a lost session and a refused request.
#include <soa/client/Connection.hxx>
#include <soa/client/ModelManagerImpl.hxx>
#include <soa/client/PartialErrorListener.hxx>
#include <soa/client/RestSender.hxx>
#include <soa/client/RuntimeException.hxx>
#include <soa/client/SessionManager.hxx>
#include <soa/client/model/Folder.hxx>
#include <soa/client/model/Item.hxx>
#include <soa/client/model/ItemRevision.hxx>
#include <soa/client/model/ReleaseStatus.hxx>
#include <soa/client/model/User.hxx>
#include <soa/common/DomException.hxx>
#include <soa/common/SAXToNodeParser.hxx>
#include <soa/common/internal/XmlPlatform.hxx>
#include <soa/schemas/exceptions/InvalidCredentialsException.hxx>
#include <soa/schemas/exceptions/ServiceException.hxx>
#include <soa/schemas/exceptions/SoaException.hxx>
#include <soa/services/core/SessionService.hxx>

#include <fcc/FccInterface.hxx>
#include <fcc/fastcache/internal/FmscInterface.hxx>
#include <fcc/internal/FccErrors.hxx>
#include <fcc/internal/FccSelfProxy.hxx>
#include <fcc/pipe/internal/FccTransport.hxx>
#include <fcc/runtime/internal/FccRuntime.hxx>
#include <fcc/selfproxy/internal/FastCacheClient.hxx>
#include <fcc/selfproxy/internal/FccFileRecord.hxx>
#include <fcc/selfproxy/internal/TicketRegistry.hxx>
#include <platform/os/internal/FileWatch.hxx>
#include <platform/os/internal/Forks.hxx>
#include <platform/os/internal/NeverReusedCells.hxx>

#include "tests/fastcache/CacheFolder.hxx"
#include "tests/fastcache/ChildProcess.hxx"
#include "tests/support/FakeFccServer.hxx"
#include "tests/support/Doubles.hxx"
#include "tests/support/GatewayServerProcess.hxx"
#include "tests/support/LeaksUncounted.hxx"
#include "tests/support/LoopbackPlmService.hxx"
#include "tests/support/ResettingPeer.hxx"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <random>
#include <tuple>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include <curl/curl.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

// Stops the thread that arms it at its n-th allocation until let go, so that
// another thread forks with it at that point of whatever it was doing. The
// allocations are glibc's: a build with a sanitizer, whose allocator this
// would bypass, has no stop.
namespace {
thread_local long allocationsBeforeTheStop = 0;
int gateStopped[2] = {-1, -1};
int gateLetGo[2] = {-1, -1};
}  // namespace

#if !QMSOA_TEST_SANITIZED
extern "C" void* __libc_malloc(std::size_t size);
extern "C" void* malloc(std::size_t size) noexcept {
    if (allocationsBeforeTheStop > 0 && --allocationsBeforeTheStop == 0) {
        Quillomark::Testing::say(gateStopped[1], 's');
        Quillomark::Testing::hear(gateLetGo[0]);
    }
    return __libc_malloc(size);
}
#endif

namespace {

namespace Client = Quillomark::Soa::Client;
namespace Model = Quillomark::Soa::Client::Model;
namespace Faults = Quillomark::Schemas::Soa::_2006_03::Exceptions;
using Quillomark::Testing::LoopbackPlmService;
using Quillomark::Testing::RecordingCredentialManager;
using Strings = std::vector<std::string>;

class RecordingPartialErrors : public Client::PartialErrorListener {
public:
    void handlePartialErrors(const std::vector<Client::ErrorStack>& errors) override {
        calls.push_back(errors);
    }
    std::vector<std::vector<Client::ErrorStack>> calls;
};

// The loopback PLM service, and a folder looked up through a connection to
// it with the reply's objects loaded.
class LoopbackRoad : public ::testing::Test {
protected:
    Model::Folder* findFolder(Client::Connection& connection, const std::string& name) {
        const Client::ServiceData loaded = Quillomark::Testing::findFolder(connection, name);
        EXPECT_EQ(loaded.getPlainObjs().size(), 1u);
        return loaded.getPlainObjs().empty()
                   ? nullptr
                   : dynamic_cast<Model::Folder*>(loaded.getPlainObjs()[0]);
    }

    LoopbackPlmService service;
};

class MainRoad : public LoopbackRoad {
protected:
    void SetUp() override {
        credentials.credentials = {LoopbackPlmService::USER, LoopbackPlmService::PASSWORD,
                                   "Engineering", "Designer", ""};
        manager().addPartialErrorListener(&partialErrors);
    }

    Client::ModelManagerImpl& manager() {
        return *static_cast<Client::ModelManagerImpl*>(connection.getModelManager());
    }

    Quillomark::Services::Core::_2006_03::Session::LoginResponse login(
        const std::string& password = LoopbackPlmService::PASSWORD) {
        return Quillomark::Services::Core::SessionService::getService(&connection)
            ->login(LoopbackPlmService::USER, password, "Engineering", "Designer", "");
    }

    using LoopbackRoad::findFolder;
    Model::Folder* findFolder(const std::string& name) { return findFolder(connection, name); }

    RecordingCredentialManager credentials;
    RecordingPartialErrors partialErrors;
    Client::Connection connection{service.hostPath(), &credentials, Client::Connection::HTTP,
                                  Client::Connection::REST, true};
};

TEST_F(MainRoad, TypedObjectsArriveWithTheirTypesFetchedOnTheWay) {
    auto response = login();
    auto* user = dynamic_cast<Model::User*>(response.user);
    ASSERT_NE(user, nullptr);
    EXPECT_EQ(user->get_user_name(), "Dana Designer");
    EXPECT_EQ(credentials.calls,
              (Strings{"setUserPassword(designer,secret,)", "setGroupRole(Engineering,Designer)"}));

    Model::Folder* home = findFolder(LoopbackPlmService::HOME_FOLDER);
    ASSERT_NE(home, nullptr);
    // One type request for the reply's four new types; their ancestors came with them.
    EXPECT_EQ(service.requests(), (Strings{"Core-2006-03-Session/login",
                                           "Internal-Core-2006-03-Types/getTypeDescriptions",
                                           "Query-2007-06-Finder/findFolder",
                                           "Internal-Core-2006-03-Types/getTypeDescriptions"}));

    EXPECT_EQ(home->get_object_name(), "Home");
    EXPECT_EQ(home->get_creation_date(), Quillomark::Soa::Common::DateTime(2023, 11, 2, 9, 15, 0));
    ASSERT_EQ(home->count_contents(), 2u);
    auto* bracket = dynamic_cast<Model::Item*>(home->get_contents_at(0));
    ASSERT_NE(bracket, nullptr);
    EXPECT_EQ(bracket->get_item_id(), "000101");
    ASSERT_EQ(bracket->get_revision_list().size(), 2u);
    auto* revisionA = dynamic_cast<Model::ItemRevision*>(bracket->get_revision_list()[0]);
    ASSERT_NE(revisionA, nullptr);
    EXPECT_EQ(revisionA->get_item_revision_id(), "A");
    EXPECT_EQ(revisionA->get_items_tag(), bracket);
    ASSERT_EQ(revisionA->count_release_status_list(), 1u);
    EXPECT_EQ(revisionA->get_release_status_list_at(0)->get_name(), "Released");
    EXPECT_EQ(dynamic_cast<Model::Item*>(home->get_contents_at(1))->get_object_desc(),
              "Gearbox housing \xE2\x80\x93 left & right");

    ASSERT_EQ(partialErrors.calls.size(), 1u);
    ASSERT_EQ(partialErrors.calls[0].size(), 1u);
    const Client::ErrorStack& error = partialErrors.calls[0][0];
    EXPECT_EQ(error.getClientId(), "000103");
    EXPECT_EQ(error.getAssociatedObject(), home);
    ASSERT_EQ(error.getErrorValueCount(), 1);
    EXPECT_EQ(error.getErrorValue(0).code, 515024);
}

TEST_F(MainRoad, ALostSessionIsLoggedInAgainAndTheRequestGoesThrough) {
    login();
    Model::Folder* home = findFolder(LoopbackPlmService::HOME_FOLDER);
    const std::size_t before = service.requests().size();
    credentials.calls.clear();

    service.endSessions();
    EXPECT_EQ(findFolder(LoopbackPlmService::HOME_FOLDER), home);  // the stored object, reloaded

    const Strings all = service.requests();
    EXPECT_EQ(Strings(all.begin() + static_cast<std::ptrdiff_t>(before), all.end()),
              (Strings{"Query-2007-06-Finder/findFolder", "Core-2006-03-Session/login",
                       "Core-2007-01-Session/setObjectPropertyPolicy",
                       "Query-2007-06-Finder/findFolder"}));
    EXPECT_EQ(credentials.calls,
              (Strings{"getCredentials(InvalidUser:The session is not valid any more.)",
                       "setUserPassword(designer,secret,)", "setGroupRole(Engineering,Designer)"}));
    EXPECT_EQ(home->count_contents(), 2u);
}

TEST_F(MainRoad, RefusalsReachTheCaller) {
    EXPECT_THROW(login("wrong"), Faults::InvalidCredentialsException);
    EXPECT_TRUE(credentials.calls.empty());

    login();
    try {
        findFolder("Archive");
        FAIL() << "returned";
    } catch (const Faults::ServiceException& e) {
        EXPECT_EQ(e.getCode(), 38015);
        EXPECT_EQ(e.getMessage(), "The folder \"Archive\" does not exist.");
    }
    EXPECT_TRUE(partialErrors.calls.empty());
}

// Every region of the library's that a fork is told of, each entered through
// its own step by a thread that stops inside it, at a call that the step
// makes there (once made: holding what it took), or where a signal finds it
// there, while the main thread forks; the child then uses that part. A step
// that is short is waited for: let go as the fork waits, the thread leaves
// it and the child works; held past the wait, the child gets what a thread
// left inside gives it (refused HTTP with the README's text, a refused
// parse, refused file-cache calls, the parent's watch and cells left alone,
// an empty configuration). A long step is not waited for: its child gets
// that either way. Nothing hangs: the fork returns while the thread is held.
namespace StoppedInside {
enum class At { Nothing, MutexLock, CurlTransfer, NotesMade, Close, Flush, Signal };
thread_local At armed = At::Nothing;
// On the thread whose fork is watched: its looks at the threads inside.
thread_local bool forking = false;
int forkWaits = 0;
bool letGoAsTheForkWaits = false;
int told[2] = {-1, -1}, letGo[2] = {-1, -1};
int notesMade = -1;
bool (*insideNow)() = nullptr;  // where a signal stops the thread
// The thread forks where it would stop, as a signal's handler there would;
// what fork returned.
bool forkInstead = false;
pid_t forkedInside = -1;
// The forking thread's waits to enter a short step.
int gateWaits = 0;
[[maybe_unused]] void stopIf(At at) {
    if (armed != at) return;
    armed = At::Nothing;
    if (std::exchange(forkInstead, false)) {
        forking = true;
        forkedInside = ::fork();
        forking = false;
        return;
    }
    Quillomark::Testing::say(told[1], 's');
    Quillomark::Testing::hear(letGo[0]);
}
// A step that the application's at-fork handlers run, registered before the
// library's: as a program's that registers its handlers and then loads the
// library. Before the fork: after the library's; after it: before.
enum class Handler { None, Prepare, Parent, Child };
Handler stepIn = Handler::None;
void (*handlerStep)() = nullptr;
void runIf(Handler handler) {
    if (stepIn == handler) handlerStep();
}
__attribute__((constructor(101))) void registerBeforeTheLibrary() {
    ::pthread_atfork([] { runIf(Handler::Prepare); }, [] { runIf(Handler::Parent); },
                     [] { runIf(Handler::Child); });
}
void stopWhereInside(int) {
    const int saved = errno;
    const bool inside = armed == At::Signal && insideNow();
    if (inside) armed = At::Nothing;
    Quillomark::Testing::say(told[1], inside ? 's' : 'o');
    if (inside) Quillomark::Testing::hear(letGo[0]);
    errno = saved;
}
template <class Function>
[[maybe_unused]] Function next(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}
}  // namespace StoppedInside

#if !QMSOA_TEST_SANITIZED
// The real functions are looked up without a guard variable, whose lock
// would come here again.
extern "C" __attribute__((visibility("default"))) int pthread_mutex_lock(
    pthread_mutex_t* mutex) noexcept {
    static std::atomic<int (*)(pthread_mutex_t*)> real{nullptr};
    if (!real.load()) real = StoppedInside::next<int (*)(pthread_mutex_t*)>("pthread_mutex_lock");
    const int locked = real.load()(mutex);
    StoppedInside::stopIf(StoppedInside::At::MutexLock);
    return locked;
}
extern "C" CURLcode curl_easy_perform(CURL* handle) {
    static std::atomic<CURLcode (*)(CURL*)> real{nullptr};
    if (!real.load()) real = StoppedInside::next<CURLcode (*)(CURL*)>("curl_easy_perform");
    StoppedInside::stopIf(StoppedInside::At::CurlTransfer);
    return real.load()(handle);
}
extern "C" int inotify_init1(int flags) noexcept {
    const int made = static_cast<int>(::syscall(SYS_inotify_init1, flags));
    if (StoppedInside::armed == StoppedInside::At::NotesMade) StoppedInside::notesMade = made;
    StoppedInside::stopIf(StoppedInside::At::NotesMade);
    return made;
}
extern "C" int close(int fd) {
    static std::atomic<int (*)(int)> real{nullptr};
    if (!real.load()) real = StoppedInside::next<int (*)(int)>("close");
    StoppedInside::stopIf(StoppedInside::At::Close);
    return real.load()(fd);
}
extern "C" int fflush(FILE* stream) {
    static std::atomic<int (*)(FILE*)> real{nullptr};
    if (!real.load()) real = StoppedInside::next<int (*)(FILE*)>("fflush");
    const int flushed = real.load()(stream);
    StoppedInside::stopIf(StoppedInside::At::Flush);
    return flushed;
}
extern "C" long syscall(long number, ...) noexcept {
    std::va_list arguments;
    va_start(arguments, number);
    long a[6];
    for (long& each : a) each = va_arg(arguments, long);
    va_end(arguments);
    if (number == SYS_futex && StoppedInside::forking &&
        (static_cast<int>(a[1]) & FUTEX_CMD_MASK) == FUTEX_WAIT_BITSET)
        ++StoppedInside::gateWaits;
    static std::atomic<long (*)(long, ...)> real{nullptr};
    if (!real.load()) real = StoppedInside::next<long (*)(long, ...)>("syscall");
    return real.load()(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}
extern "C" int __nanosleep(const timespec* time, timespec* left);
extern "C" int nanosleep(const timespec* time, timespec* left) {
    namespace S = StoppedInside;
    if (S::forking) {
        ++S::forkWaits;
        if (std::exchange(S::letGoAsTheForkWaits, false)) {
            Quillomark::Testing::say(S::letGo[1], 'g');
            Quillomark::Testing::hear(S::told[0]);  // out of the step
            return 0;
        }
    }
    return __nanosleep(time, left);
}
#endif

TEST_F(LoopbackRoad, AForkWaitsForAShortStepOfAParentThreadAndNoLonger) {
    if (!Quillomark::Testing::childrenOfThreadsRun) {
        GTEST_SKIP() << "a child of a process whose threads run may hang in the sanitizer";
    }
    namespace S = StoppedInside;
    using Quillomark::Testing::hear;
    using Quillomark::Testing::say;
    using Xml = Quillomark::Soa::Common::Xml::SAXToNodeParser;
    namespace Fcc = Quillomark::Fcc;
    namespace Os = Quillomark::Platform::Os;
    const std::string notUtf8 = "<a>\xC3\x28</a>";
    // What the child is refused with, or "".
    const auto refusal = [](const std::function<void()>& use) -> std::string {
        try {
            use();
        } catch (const Client::RuntimeException& e) {
            return e.getMessage();
        } catch (const Quillomark::Soa::Common::Exceptions::DomException& e) {
            return e.getMessage();
        }
        return "";
    };
    const std::string refusedHttp =
        "HTTP cannot be used in a process forked while another thread of its parent was "
        "setting up a libcurl handle: libcurl's lock for that may be held in the child for "
        "good. Run a new program in the child for HTTP.";
    // Parsers that have read a reply, held: a new parser makes its
    // scanner, in the parent and in the child.
    std::vector<std::unique_ptr<Xml>> held;
    const int watched = ::open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
    Os::FileWatch watch;
    Os::NeverReusedCells cells(64);
    const std::string locale = Fcc::fccConfiguration().locale;
    const std::string otherLocale(200, 'l');  // longer than any before: allocated
    std::string ticket(300, 't');
    ticket.replace(64, 4, "v123");
    const struct {
        const char* region;
        std::function<void()> step;  // arms its stop
        std::function<bool()> childWorks;
        bool waits;
        bool bySignal = false;
        bool pastTheStep = false;  // the fork has nothing to wait for
    } regions[] = {
        {"the HTTP handle's set-up",
         [] {
             Client::Connection own("http://127.0.0.1:1/tc", nullptr, Client::Connection::HTTP,
                                    Client::Connection::REST, true);
             S::armed = S::At::CurlTransfer;
             Client::SessionManager::getSessionManager(&own)->getRestSender();
         },
         [&] {
             RecordingCredentialManager credentials;
             Client::Connection own(service.hostPath(), &credentials, Client::Connection::HTTP,
                                    Client::Connection::REST, true);
             const std::string refused = refusal([&] {
                 Quillomark::Services::Core::SessionService::getService(&own)->login(
                     LoopbackPlmService::USER, LoopbackPlmService::PASSWORD, "", "", "");
             });
             if (!refused.empty() && refused != refusedHttp) ::_exit(4);
             return refused.empty();
         },
         true},
        {"the XML scanner's making",
         [&] {
             // Past the spares that the service's parsers left since.
             for (int spare = 0; spare <= 16; ++spare) {
                 held.push_back(std::make_unique<Xml>());
                 if (spare == 16) S::armed = S::At::MutexLock;
                 held.back()->parseString("<a/>");
             }
         },
         [&] { return refusal([] { Xml().parseString("<a/>"); }).empty(); }, true},
        {"the decoding of a document beneath",
         [&] {
             Xml parser;
             parser.parseString("<a/>");
             S::armed = S::At::MutexLock;
             refusal([&] { parser.parseString(notUtf8); });
         },
         [&] {
             return refusal([&] { Xml().parseString(notUtf8); }).find("forked") ==
                    std::string::npos;
         },
         false},
        // The child makes notes of its own and closes its copy of the
        // parent's, unless they were half made.
        {"the file watch's renewal",
         [&] {
             watch.close();
             S::armed = S::At::NotesMade;
             watch.add(watched, false);
         },
         [&] {
             watch.changed();
             return ::fcntl(S::notesMade, F_GETFD) == -1;
         },
         true},
        // Notes that nothing names any more are closed past the step: the
        // kernel may take milliseconds for it.
        {"the file watch's close",
         [&] {
             watch.add(watched, false);
             S::armed = S::At::Close;
             watch.close();
         },
         [] { return true; }, false, false, true},
        {"the cells' take",
         [&] {
             S::armed = S::At::MutexLock;
             cells.take();
         },
         [] { return !Os::NeverReusedCells::inUseAtLastFork(); }, true},
        {"the allocation pair's replacement",
         [] {
             Fcc::FccInitLock();
             S::armed = S::At::MutexLock;
             Fcc::FccSetAllocator(&std::malloc, &std::free);
             Fcc::FccInitUnlock();
         },
         [] { return !Fcc::fccUnusableAfterFork(); }, true},
        {"the registered tickets' change",
         [&] {
             S::insideNow = [] { return Fcc::fccGuardedChanges().anyThreadInside(); };
             S::armed = S::At::Signal;
             while (S::armed == S::At::Signal) {
                 char* handle = nullptr;
                 if (Fcc::registerTicket(ticket.c_str(), &handle) == 0)
                     Fcc::unregisterTicket(handle);
             }
         },
         [] { return !Fcc::fccUnusableAfterFork(); }, true, true},
        {"the configuration's change",
         [&] {
             S::armed = S::At::MutexLock;
             Fcc::fccSetConfiguredLocale(otherLocale);
         },
         [&] { return Fcc::fccConfiguration().locale == otherLocale; }, true},
        // Not waited for: the child starts the interface afresh, and
        // attaches to the fast cache anew (the parent's locks, which its
        // thread holds, would hold it for good).
        {"the interface's set-up",
         [] {
             ::unsetenv("FMS_HOME");  // ends the set-up quickly
             S::armed = S::At::Flush;
             Fcc::SelfProxy::FCC_Init(&std::malloc, &std::free);
         },
         [] { return !Fcc::fccStartAfreshInChild(); }, false},
        {"the fast cache's use",
         [] {
             ::setenv("FCC_PROXY_PIPEONLY", "1", 1);  // an attach that asks nothing
             S::armed = S::At::MutexLock;
             Fcc::checkInitFMSC();
         },
         [] {
             Fcc::FmscCloseFastCache();  // returns, with locks of its own
             return false;
         },
         false},
    };
    ASSERT_EQ(::pipe(S::told), 0);
    ASSERT_EQ(::pipe(S::letGo), 0);
    struct sigaction stopping = {}, before = {};
    stopping.sa_handler = S::stopWhereInside;
    stopping.sa_flags = SA_RESTART;
    ASSERT_EQ(::sigaction(SIGUSR2, &stopping, &before), 0);
    for (const auto& each : regions) {
        for (const bool longer : {false, true}) {
            S::forkWaits = 0;
            std::thread thread([&] {
                each.step();
                say(S::told[1], 'l');
            });
            char stop = 0;
            do {
                if (each.bySignal) ::pthread_kill(thread.native_handle(), SIGUSR2);
                stop = hear(S::told[0]);
            } while (stop == 'o');
            if (stop != 's') {
                ADD_FAILURE() << "no stop inside " << each.region;
                thread.join();
                continue;
            }
            S::letGoAsTheForkWaits = !longer;
            S::forking = true;
            const std::string ended = Quillomark::Testing::runInChild([&] {
                S::forking = false;
                ::_exit(each.childWorks() ? 0 : 1);
            });
            S::forking = false;
            if (std::exchange(S::letGoAsTheForkWaits, false) || longer) {
                say(S::letGo[1], 'g');
                hear(S::told[0]);
            }
            thread.join();
            const bool works = each.pastTheStep || (each.waits && !longer);
            EXPECT_EQ(ended, works ? "" : "exit 1")
                << each.region << (longer ? ", held past the wait" : ", let go as the fork waits");
            EXPECT_EQ(S::forkWaits > 0, each.waits) << each.region << " waited for";
        }
    }
    ::sigaction(SIGUSR2, &before, nullptr);
    ::unsetenv("FCC_PROXY_PIPEONLY");
    Fcc::fccSetConfiguredLocale(locale);
    ::close(watched);
    for (const int end : {S::told[0], S::told[1], S::letGo[0], S::letGo[1]}) ::close(end);
}

// A fork that the thread inside a short step makes itself: from a signal's
// handler in the middle of the step, which the thread finishes in the parent
// and in the child, or from an at-fork handler of the application's that
// runs the whole step, registered before the library's. The fork waits for
// none of that thread's steps nor holds them back, and the child is refused
// nothing for them, nor are the children it forks in turn, nor do their
// forks wait.
TEST_F(LoopbackRoad, AForkThatAThreadMakesInsideAStepWaitsForNoneOfItsOwn) {
    if (!Quillomark::Testing::childrenOfThreadsRun) {
        GTEST_SKIP() << "a child of a process whose threads run may hang in the sanitizer";
    }
    namespace S = StoppedInside;
    namespace Fcc = Quillomark::Fcc;
    namespace Os = Quillomark::Platform::Os;
    static Os::NeverReusedCells* cells;
    Os::NeverReusedCells ownCells(64);
    cells = &ownCells;
    static const std::string otherLocale(200, 'l');
    const std::string locale = Fcc::fccConfiguration().locale;
    static std::string host;
    host = service.hostPath();
    const struct {
        const char* region;
        S::At stop;
        void (*step)();
        bool (*childWorks)();
    } regions[] = {
        {"the HTTP handle's set-up", S::At::CurlTransfer,
         [] { curl_easy_cleanup(Quillomark::Soa::Common::Xml::newCurlHandle()); },
         [] {
             RecordingCredentialManager credentials;
             Client::Connection own(host, &credentials, Client::Connection::HTTP,
                                    Client::Connection::REST, true);
             try {
                 Quillomark::Services::Core::SessionService::getService(&own)->login(
                     LoopbackPlmService::USER, LoopbackPlmService::PASSWORD, "", "", "");
             } catch (const Client::RuntimeException&) {
                 return false;
             }
             return true;
         }},
        {"the cells' take", S::At::MutexLock, [] { cells->take(); },
         [] { return !Os::NeverReusedCells::inUseAtLastFork(); }},
        {"the configuration's change", S::At::MutexLock,
         [] { Fcc::fccSetConfiguredLocale(otherLocale); },
         [] { return Fcc::fccConfiguration().locale == otherLocale; }},
    };
    // 0 where the fork held the child's thread back nowhere, the child
    // works, its next fork waits for nothing and that fork's child works
    // too.
    static bool (*works)();
    const auto inTheChild = [] {
        if (S::forkWaits + S::gateWaits > 0) ::_exit(4);
        if (!works()) ::_exit(1);
        S::forkWaits = S::gateWaits = 0;
        S::forking = true;
        const std::string grandchild =
            Quillomark::Testing::runInChild([] { ::_exit(works() ? 0 : 1); });
        S::forking = false;
        ::_exit(S::forkWaits + S::gateWaits > 0 ? 2 : grandchild.empty() ? 0 : 3);
    };
    for (const auto& each : regions) {
        works = each.childWorks;
        for (const S::Handler in :
             {S::Handler::None, S::Handler::Prepare, S::Handler::Parent, S::Handler::Child}) {
            const char* const by[] = {"a signal's handler inside the step", "a prepare handler",
                                      "a parent handler", "a child handler"};
            SCOPED_TRACE(std::string(each.region) + ", forked by " + by[int(in)]);
            // The step changes nothing that its child would not find.
            Fcc::fccSetConfiguredLocale(otherLocale);
            S::forkWaits = S::gateWaits = 0;
            std::string ended;
            if (in == S::Handler::None) {
                S::forkInstead = true;
                S::armed = each.stop;
                each.step();
                if (S::forkedInside == 0) inTheChild();
                ended = S::forkedInside > 0 ? Quillomark::Testing::endOf(S::forkedInside)
                                            : "no fork inside the step";
                S::forkInstead = false;
                S::armed = S::At::Nothing;
            } else {
                S::stepIn = in;
                S::handlerStep = each.step;
                S::forking = true;
                ended = Quillomark::Testing::runInChild([&] {
                    S::forking = false;
                    inTheChild();
                });
                S::forking = false;
                S::stepIn = S::Handler::None;
            }
            EXPECT_EQ("", ended);
            EXPECT_EQ(0, S::forkWaits) << "the fork waited for its own thread";
            EXPECT_EQ(0, S::gateWaits) << "its own fork held the thread back";
        }
    }
    Fcc::fccSetConfiguredLocale(locale);
}

// How an application ends while its threads are inside the library.
enum class Ending { ExitOnTheMainThread, ExitOnAnotherThread, ReturnFromMain };

// Threads that use one part of the library, with the part's servers. This
// process makes no connection, parses nothing and calls no file-cache entry
// (it serves the fast cache): what the library sets up on a first use is
// set up in the processes that a case forks.
class ThreadsInTheLibrary : public LoopbackRoad {
protected:
    // What a thread does round after round, once it has made `round`.
    using Round = std::function<void()>;

    // Makes a thread's rounds for the part, with whatever of the part's
    // servers lives in this process.
    std::function<Round()> part(const std::string& name) {
        const auto sending = [](const std::string& host, Client::Connection::Protocol protocol,
                                const std::string& request, auto configure) {
            return [host, protocol, request, configure]() -> Round {
                return [host, protocol, request, configure] {
                    Client::Connection connection(host, nullptr, protocol, Client::Connection::REST,
                                                  true);
                    configure(connection);
                    std::string reply;
                    try {
                        Client::SessionManager::getSessionManager(&connection)
                            ->getRestSender()
                            ->send("Svc", "echo", request, reply);
                    } catch (const Faults::InternalServerException&) {
                    }
                };
            };
        };
        if (name == "XML parser") {  // a reply read by a parser of its own
            return []() -> Round {
                return [] {
                    Quillomark::Soa::Common::Xml::SAXToNodeParser parser;
                    EXPECT_EQ(parser.parseString("<reply a=\"1\"><b/></reply>").getName(), "reply");
                };
            };
        }
        if (name == "HTTP") {
            return [this]() -> Round {
                auto own = std::make_shared<RecordingCredentialManager>();
                auto connection = std::make_shared<Client::Connection>(
                    service.hostPath(), own.get(), Client::Connection::HTTP,
                    Client::Connection::REST, true);
                Quillomark::Services::Core::SessionService::getService(connection.get())
                    ->login(LoopbackPlmService::USER, LoopbackPlmService::PASSWORD, "", "", "");
                return [this, own, connection] {
                    connection->getModelManager()->removeAllObjectsFromStore();
                    findFolder(*connection, LoopbackPlmService::HOME_FOLDER);
                };
            };
        }
        if (name == "schema loading") {  // each round's types fetched and loaded anew
            return [this]() -> Round {
                return [this] {
                    RecordingCredentialManager own;
                    Client::Connection connection{service.hostPath(), &own,
                                                  Client::Connection::HTTP,
                                                  Client::Connection::REST, true};
                    Quillomark::Services::Core::SessionService::getService(&connection)
                        ->login(LoopbackPlmService::USER, LoopbackPlmService::PASSWORD, "", "", "");
                    findFolder(connection, LoopbackPlmService::HOME_FOLDER);
                };
            };
        }
        if (name == "HTTPS direct") {  // a handshake, then the peer resets the upload
            tlsPeer = std::make_unique<Quillomark::Testing::ResettingPeer>(
                Quillomark::Testing::ResettingPeer::Transport::Tls);
            return sending(tlsPeer->url(), Client::Connection::HTTP, std::string(100000, 'x'),
                           [](Client::Connection& connection) {
                               connection.setOption(Client::Connection::SSL_VERIFY_PEER, "false");
                           });
        }
        if (name == "HTTPS tunnelled") {  // through the server as a proxy, to itself
            proxy.script().setFallback([](const Quillomark::Testing::HttpRequest&) {
                return Quillomark::Testing::HttpReply::ok("<r/>");
            });
            const std::string proxyUrl = proxy.url();
            return sending("https://127.0.0.1:1/tc", Client::Connection::HTTP, "<a/>",
                           [proxyUrl](Client::Connection& connection) {
                               connection.setOption(Client::Connection::SSL_VERIFY_PEER, "false");
                               connection.setOption(Client::Connection::PROXY_HOST, proxyUrl);
                           });
        }
        if (name == "IIOP") {  // a connection of its own each round
            gateway.start();
            return sending(gateway.hostPath(), Client::Connection::IIOP, "<a/>",
                           [](Client::Connection&) {});
        }
        if (name == "file-cache client" || name == "fast cache") {
            // The self-proxy against the fake file-cache server, in a folder of
            // this process's; the fast cache is one that this process serves.
            cacheFolder = std::make_unique<Quillomark::Testing::CacheFolder>();
            std::filesystem::current_path(cacheFolder->path);
            setenv("FMS_HOME", cacheFolder->path.c_str(), 1);
            std::ofstream(cacheFolder->file("startfcc.bat")) << "#!/bin/sh\nexit 3\n";
            chmod(cacheFolder->file("startfcc.bat").c_str(), 0755);
            fccServer = std::make_unique<Quillomark::Testing::FakeFccServer>();
            std::string ticket(300, 't');
            ticket.replace(64, 4, "v123");
            fccServer->addFile(ticket, std::string(100000, 'f'));
            if (name == "file-cache client") {
                // Through the interface's loader, which finds no proxy library
                // under FMS_HOME, with the trace on.
                setenv("FMS_FCCPROXYLOG", cacheFolder->file("fcc.log").c_str(), 1);
                return [ticket]() -> Round {
                    // A child forked while another thread set the interface up
                    // or ended it is refused.
                    const int init = FCC_Init(nullptr, nullptr);
                    EXPECT_TRUE(init == 0 || init == Quillomark::Fcc::ERR_FMSCP_NOT_SUPPORTED)
                        << init;
                    return [ticket] {
                        char* handle = nullptr;
                        FccFile* file = nullptr;
                        if (FCC_RegisterTicket(ticket.c_str(), &handle) != 0) return;
                        if (FCC_OpenFile(handle, &file) == 0) {
                            char bytes[1000];
                            int read = 0;
                            EXPECT_EQ(FCC_ReadBytes(file, "IMD", sizeof bytes, &read, bytes), 0);
                            EXPECT_EQ(read, 1000);
                            FCC_CloseFileHandlePointer(file);
                        }
                        FCC_UnRegisterTicket(handle);
                    };
                };
            }
            Quillomark::Fcc::FMSC_OPEN_PARAMS params =
                Quillomark::Testing::FakeFccServer::describedCache();
            std::filesystem::create_directories(params.folder);
            EXPECT_EQ(Quillomark::Fcc::FccReadConfiguration(), 0);
            EXPECT_EQ(Quillomark::Fcc::FMSCIF_OpenS(&params, &servedCache), 0);
            static char guid[] = "0123456789ABCDEF0123456789ABCDEF";
            std::int32_t first = -1;
            const std::vector<std::uint8_t> content(40000, 7);
            EXPECT_EQ(Quillomark::Fcc::FMSCIF_AddFile(servedCache, guid, 40000, 0, &first), 0);
            EXPECT_EQ(
                Quillomark::Fcc::FMSCIF_WriteData(servedCache, &first, 0, content.data(), 40000),
                0);
            // A thread attaches on its first read, or when its attach failed while
            // another thread's attach was under way.
            return []() -> Round {
                return [] {
                    if (Quillomark::Fcc::checkInitFMSC() != 0) return;
                    FccFile file{};
                    file.guid = guid;
                    std::uint8_t bytes[40000];
                    Quillomark::Fcc::FmscReadBytes(&file, bytes, sizeof bytes);
                };
            };
        }
        ADD_FAILURE() << "no part " << name;
        return [] { return Round([] {}); };
    }

    void TearDown() override {
        if (servedCache) Quillomark::Fcc::FMSCIF_Close(&servedCache);
        fccServer.reset();
        if (cacheFolder) std::filesystem::current_path(previousFolder);
    }

    std::unique_ptr<Quillomark::Testing::ResettingPeer> tlsPeer;
    std::filesystem::path previousFolder = std::filesystem::current_path();
    std::unique_ptr<Quillomark::Testing::CacheFolder> cacheFolder;
    std::unique_ptr<Quillomark::Testing::FakeFccServer> fccServer;
    Quillomark::Fcc::FMSC_FILETOC_T* servedCache = nullptr;
    Quillomark::Testing::LoopbackHttpServer proxy;
    Quillomark::Testing::GatewayServerProcess gateway;
};

// What work returns, run in a process forked by this one that runs no
// other thread, so that the processes it forks in turn start with no lock
// that a thread of the servers' held; with what went wrong, when that
// process failed.
std::string fromALauncher(const std::function<std::string()>& work) {
    int report[2];
    if (::pipe(report) != 0) return "no pipe";
    const pid_t launcher = ::fork();
    if (launcher == 0) {
        const std::string said = work();
        ::_exit(::write(report[1], said.data(), said.size()) < 0 ? 6 : 0);
    }
    ::close(report[1]);
    std::string said;
    char block[4096];
    for (ssize_t length; (length = ::read(report[0], block, sizeof block)) > 0;) {
        said.append(block, static_cast<std::size_t>(length));
    }
    ::close(report[0]);
    int status = 0;
    if (launcher < 0 || ::waitpid(launcher, &status, 0) != launcher || status != 0) {
        said += "\nthe launcher failed: " + std::to_string(status);
    }
    return said;
}

// Runs processes one after another, from a launcher, each of which runs
// work(n), n from 0, and ends with what the C runtime does when main
// returns: what went wrong, a line for each process that died, hung or
// failed, with what told(n) says of it.
std::string deathsOf(
    int processes, const std::function<void(int)>& work,
    const std::function<std::string(int)>& told = [](int n) {
        return "process " + std::to_string(n);
    }) {
    return fromALauncher([&] {
        std::string said;
        for (int process = 0; process < processes; ++process) {
            const std::string end = Quillomark::Testing::runInChild([&] {
                work(process);
                std::exit(0);
            });
            if (!end.empty()) said += told(process) + ": " + end + "\n";
            // A process that hangs waits out its limit: the next would too.
            if (end == "hang") break;
        }
        return said;
    });
}

// The application ends while its threads use one part of the library, each
// over and over: what they read of the library, and of what it loads,
// stays intact until the process is gone, so no process dies and no
// sanitizer reports.
class AnExitWhileThreadsUseTheLibrary
    : public ThreadsInTheLibrary,
      public ::testing::WithParamInterface<std::tuple<std::string, Ending>> {};

TEST_P(AnExitWhileThreadsUseTheLibrary, EndsTheProcessCleanly) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer starts no thread in a child of a process whose threads run";
#endif
    const auto [name, ending] = GetParam();
    if (name.rfind("HTTPS", 0) == 0 && !Quillomark::Testing::tlsAvailable()) {
        GTEST_SKIP() << "built without TLS";
    }
    const std::function<Round()> rounds = part(name);
    // Three threads go round; the process ends once each has gone round once.
    // What they share is never destroyed, as main's own objects would be.
    struct Gone {
        std::mutex mutex;
        std::condition_variable went;
        int rounds = 0;
    };
    const auto endWhileInside = [&rounds, ending = ending] {
        auto* gone = new Gone;
        for (int t = 0; t < 3; ++t) {
            std::thread([gone, rounds] {
                // The leak check at the exit reads the stacks of the threads
                // the sanitizer lists, and loses a thread that took the
                // kernel's id of one that ended (these processes are many):
                // what it holds would be reported as leaked.
                const Quillomark::Testing::LeaksUncounted uncounted;
                const Round round = rounds();
                for (;;) {
                    round();
                    const std::lock_guard<std::mutex> hold(gone->mutex);
                    ++gone->rounds;
                    gone->went.notify_all();
                }
            }).detach();
        }
        std::unique_lock<std::mutex> hold(gone->mutex);
        gone->went.wait(hold, [&] { return gone->rounds >= 3; });
        hold.unlock();
        switch (ending) {
            case Ending::ExitOnTheMainThread: std::exit(0);
            case Ending::ExitOnAnotherThread:
                std::thread([] { std::exit(0); }).detach();
                for (;;) pause();
            case Ending::ReturnFromMain: break;
        }
    };
    EXPECT_EQ(deathsOf(40, [&](int) { endWhileInside(); }), "");
}

// A part's name as a case's: without its blanks and dashes.
std::string caseName(std::string name) {
    name.erase(
        std::remove_if(name.begin(), name.end(), [](char c) { return c == ' ' || c == '-'; }),
        name.end());
    return name;
}

std::string partAndEnding(
    const ::testing::TestParamInfo<AnExitWhileThreadsUseTheLibrary::ParamType>& info) {
    static const char* const endings[] = {"ExitOnTheMainThread", "ExitOnAnotherThread",
                                          "ReturnFromMain"};
    return caseName(std::get<0>(info.param)) + "_" +
           endings[static_cast<int>(std::get<1>(info.param))];
}

INSTANTIATE_TEST_SUITE_P(
    EveryPartAndEnding, AnExitWhileThreadsUseTheLibrary,
    ::testing::Combine(::testing::Values("HTTP", "HTTPS direct", "HTTPS tunnelled", "IIOP",
                                         "file-cache client", "fast cache", "schema loading"),
                       ::testing::Values(Ending::ExitOnTheMainThread, Ending::ExitOnAnotherThread,
                                         Ending::ReturnFromMain)),
    partAndEnding);

// The application ends while two threads make the process's first use of
// one part of the library (its set-ups, the ORB's making, a connect, a
// handshake, a file-cache loader, a pipe's connect, an attach): the exit
// comes at a random moment of that first use, spread over the time it
// takes (measured first, in processes that wait for it to end), in a
// process of its own each time, enough of them to see one in a hundred die.
class AnExitDuringAPartsFirstUse : public ThreadsInTheLibrary,
                                   public ::testing::WithParamInterface<std::string> {};

TEST_P(AnExitDuringAPartsFirstUse, EndsTheProcessCleanly) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer starts no thread in a child of a process whose threads run";
#endif
    if (GetParam().rfind("HTTPS", 0) == 0 && !Quillomark::Testing::tlsAvailable()) {
        GTEST_SKIP() << "built without TLS";
    }
    using Clock = std::chrono::steady_clock;
    using Micros = std::chrono::microseconds;
    const std::function<Round()> rounds = part(GetParam());
    // Ends the process `delay` after the threads start, or once they are
    // done, when there is none, after it wrote how long they took to `took`
    // (in one write: a pipe's writes of that size are whole).
    const auto firstUse = [&rounds](std::optional<Micros> delay, int took) {
        const Clock::time_point start = Clock::now();
        std::thread threads[2];
        for (std::thread& thread : threads) {
            thread = std::thread([&rounds] {
                const Quillomark::Testing::LeaksUncounted uncounted;  // as above
                try {  // a refusal as the process exits
                    rounds()();
                } catch (...) {
                }
            });
        }
        if (delay) {
            while (Clock::now() < start + *delay) {
            }
            std::exit(0);
        }
        for (std::thread& thread : threads) thread.join();
        const Micros::rep micros = std::chrono::duration_cast<Micros>(Clock::now() - start).count();
        if (::write(took, &micros, sizeof micros) != sizeof micros) std::abort();
    };
    // The file-cache server waits for no stalled client longer than that.
    if (fccServer) fccServer->setSecondaryConnectWait(100);
    int took[2];
    ASSERT_EQ(::pipe(took), 0);
    // The middle of three, which a stray wait of one does not stretch.
    Micros::rep firstUses[3];
    ASSERT_EQ(deathsOf(3, [&](int) { firstUse(std::nullopt, took[1]); }), "");
    ASSERT_EQ(::read(took[0], firstUses, sizeof firstUses), ssize_t(sizeof firstUses));
    ::close(took[0]);
    ::close(took[1]);
    std::sort(std::begin(firstUses), std::end(firstUses));
    const Micros::rep span = firstUses[1];
    std::mt19937 random(61);
    std::uniform_int_distribution<Micros::rep> spread(0, span * 6 / 5);
    std::vector<Micros> delays(300);
    for (Micros& delay : delays) delay = Micros(spread(random));
    EXPECT_EQ(
        deathsOf(
            static_cast<int>(delays.size()), [&](int process) { firstUse(delays[process], -1); },
            [&](int process) {
                return "exit at " + std::to_string(delays[process].count()) + " us of " +
                       std::to_string(span);
            }),
        "");
}

INSTANTIATE_TEST_SUITE_P(EveryPart, AnExitDuringAPartsFirstUse,
                         ::testing::Values("HTTP", "HTTPS direct", "HTTPS tunnelled", "IIOP",
                                           "file-cache client", "fast cache"),
                         [](const auto& info) { return caseName(info.param); });

// A process forks while another of its threads makes the process's first
// use of one part of the library: what the library, and what it loads, set
// up once per process is set up as the library loads, or so that a child
// finds nothing of it half made and waits for no lock that the thread held.
// The fork comes at one allocation of that first use after another, spread
// over all of them, in a process of its own each time. The child uses the
// part itself and ends with exit(): it works, or is refused at once as the
// README says (IIOP once the process made the ORB, a reply when no parser
// can be made, the file-cache interface with -3099); none crashes or hangs.
class AForkWhileAThreadBeginsToUseThePart : public ThreadsInTheLibrary,
                                            public ::testing::WithParamInterface<std::string> {};

TEST_P(AForkWhileAThreadBeginsToUseThePart, LeavesTheChildALibraryThatWorks) {
    if (!Quillomark::Testing::childrenOfThreadsRun) {
        GTEST_SKIP() << "a child of a process whose threads run may hang in the sanitizer";
    }
    using Quillomark::Testing::hear;
    using Quillomark::Testing::say;
    const std::function<Round()> rounds = part(GetParam());
    // The server serves no other client while it waits for a thread stopped
    // between its pipes.
    if (fccServer) fccServer->setSecondaryConnectWait(100);
    const bool tls = GetParam().rfind("HTTPS", 0) == 0;
    const auto childUsesThePart = [&rounds] {
        // The refusals that the README names say that the fork is why.
        const auto forkRefused = [](const std::string& text) {
            return text.find(" in a process forked ") != std::string::npos;
        };
        try {
            rounds()();
        } catch (const Client::RuntimeException& e) {
            if (!forkRefused(e.getMessage())) throw;
        } catch (const Faults::SoaException& e) {
            if (!forkRefused(e.getMessage())) throw;
        } catch (const Quillomark::Soa::Common::Exceptions::DomException& e) {
            if (!forkRefused(e.getMessage())) throw;
        }
        std::exit(::testing::Test::HasFailure() ? 4 : 0);
    };
    // The launcher (OpenSSL's locks among those that a thread of the
    // servers' may hold) tells how many children worked, and what went wrong.
    const std::string said = fromALauncher([&] {
        std::string found;
        int forks = 0;
        for (long n = 1; found.size() < 1000; n += n / 10 + 1) {
            int outcome[2];
            if (::pipe(outcome) != 0) ::_exit(5);
            const std::string forker = Quillomark::Testing::runInChild([&] {
                // Unbuffered, so that the thread is never stopped holding
                // the stream's lock as it allocates its buffer: the fork
                // flushes it.
                std::setvbuf(stdout, nullptr, _IONBF, 0);
                if (::pipe(gateStopped) != 0 || ::pipe(gateLetGo) != 0) std::abort();
                std::thread first([&rounds, n, tls] {
                    try {
                        // OpenSSL makes its random generator, a thread's own
                        // and the tables of the algorithms that a handshake
                        // uses at their first use, under locks of its own,
                        // which the library leaves to the application's
                        // choice and to whatever a server chooses: as the
                        // README says, a process forks once each thread
                        // that makes HTTPS requests has made its first.
                        if (tls) rounds()();
                        allocationsBeforeTheStop = n;
                        rounds()();
                    } catch (...) {
                    }
                    allocationsBeforeTheStop = 0;
                    say(gateStopped[1], 'e');
                });
                std::string child = "ended before";
                if (hear(gateStopped[0]) == 's') {
                    ::alarm(40);  // past the child's own limit
                    child = Quillomark::Testing::runInChild(childUsesThePart);
                    say(gateLetGo[1], 'g');
                }
                first.join();
                if (::write(outcome[1], child.data(), child.size()) < 0) std::abort();
            });
            ::close(outcome[1]);
            char child[100] = {};
            const ssize_t length = ::read(outcome[0], child, sizeof child - 1);
            ::close(outcome[0]);
            if (forker.empty() && std::string(child) == "ended before") break;
            if (forker.empty() && length == 0) {
                ++forks;
            } else {
                found += "\n  fork at allocation " + std::to_string(n) + ": " +
                         (forker.empty() ? "child " + std::string(child) : "forker " + forker);
            }
        }
        found.insert(0, std::to_string(forks));
        return found;
    });
    const std::size_t failures = std::min(said.find('\n'), said.size());
    EXPECT_EQ(said.substr(failures), "")
        << "of " << said.substr(0, failures) << " children that worked";
    EXPECT_NE(said.substr(0, failures), "0");
}

INSTANTIATE_TEST_SUITE_P(EveryPart, AForkWhileAThreadBeginsToUseThePart,
                         ::testing::Values("XML parser", "HTTP", "HTTPS direct", "HTTPS tunnelled",
                                           "IIOP", "file-cache client", "fast cache",
                                           "schema loading"),
                         [](const auto& info) { return caseName(info.param); });

}  // namespace
