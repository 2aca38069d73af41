// In a static link, an application's static constructors may run before the
// library's own: the file-cache interface (through a whole transfer, its
// entries without memory too), the XML parser, the wire types and a
// connection work from such a constructor, and leave OpenSSL without its
// exit handler; a fork from it runs the library's child handlers, and a
// thread that it started inside a region of the forks' while the library's
// statics were made leaves the region for the forks after that. The
// constructor below runs first in its process (its priority puts it before
// every constructor of the program's own objects, the library's among them);
// the case runs this program anew with the folders it needs, and the
// constructor does its calls there.

#include <fcc/FccInterface.hxx>
#include <fcc/FccProxy.hxx>
#include <soa/client/Connection.hxx>
#include <soa/client/SessionManager.hxx>
#include <soa/common/SAXToNodeParser.hxx>
#include <soa/schemas/base/ServiceData.hxx>
#include <platform/os/internal/Forks.hxx>
#include <tests/fastcache/ChildProcess.hxx>
#include <tests/fcc/EntriesWithoutMemory.hxx>
#include <tests/fcc/ShortWaits.hxx>
#include <tests/support/FreshFolder.hxx>

#include <gtest/gtest.h>

#include <openssl/crypto.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace Os = Quillomark::Platform::Os;

const char* const CALLS_BEFORE_THE_LIBRARY = "QMSOA_TEST_CALLS_BEFORE_THE_LIBRARY";

std::string ticket() {
    std::string made(300, 't');
    return made.replace(64, 4, "v123");
}

// At exit, after OpenSSL's exit handler when one was registered after it:
// OpenSSL refuses to be set up once that handler ran.
void tellWhetherOpenSslWasEnded() {
    if (OPENSSL_init_crypto(0, nullptr) == 0) _exit(7);
}

// What went wrong in the calls, one line each.
std::string callBeforeTheLibrary() {
    std::string wrong;
    const auto expect = [&wrong](bool holds, const std::string& what) {
        if (!holds) wrong += what + "\n";
    };
    {
        const int err = dup(2);
        dup2(::open("/dev/null", O_WRONLY), 2);  // the loader's reports
        const std::string threw = Quillomark::Testing::entriesThatThrowWithoutMemory();
        dup2(err, 2);
        expect(threw.empty(), "without memory:" + threw);
    }
    int enabled = 0;
    expect(FCC_IsFCCEnabled(&enabled) == 0 && enabled == 1, "FCC_IsFCCEnabled");
    expect(FCC_Init(nullptr, nullptr) == 0, "FCC_Init");
    char* handle = nullptr;
    FccFile* file = nullptr;
    expect(FCC_RegisterTicket(ticket().c_str(), &handle) == 0, "FCC_RegisterTicket");
    expect(FCC_OpenFile(handle, &file) == 0, "FCC_OpenFile");
    char bytes[100];
    int read = 0;
    expect(FCC_ReadBytes(file, "IMD", sizeof bytes, &read, bytes) == 0 &&
               std::string(bytes, read) == "The file of ticket 1.\n",
           "FCC_ReadBytes");
    expect(FCC_CloseFileHandlePointer(file) == 0, "FCC_CloseFileHandlePointer");
    expect(FCC_UnRegisterTicket(handle) == 0, "FCC_UnRegisterTicket");
    try {
        Quillomark::Soa::Client::FccProxy proxy;
        std::vector<std::string> files;
        std::map<std::string, int> failures;
        proxy.downloadFiles({ticket()}, files, failures);
        expect(files.size() == 1 && failures.empty(), "FccProxy::downloadFiles");
    } catch (const std::exception& e) {
        expect(false, std::string("FccProxy: ") + e.what());
    }
    expect(FCC_Term() == 0, "FCC_Term");
    try {
        Quillomark::Soa::Common::Xml::SAXToNodeParser parser;
        const auto& reply =
            parser.parseString("<reply><plainObjs uid=\"AAAAAAAAAAAAAA\"/></reply>");
        expect(reply.getName() == "reply" && reply.getChildren().size() == 1 &&
                   reply.getChildren()[0]->getText().empty(),
               "parse");
        Quillomark::Schemas::Soa::_2006_03::Base::ServiceData data;
        data.parse(reply);
        expect(data.getPlainObjArray().size() == 1 &&
                   data.getPlainObjArray()[0].getUid() == "AAAAAAAAAAAAAA",
               "the reply's service data");
        namespace Client = Quillomark::Soa::Client;
        Client::Connection connection("http://127.0.0.1:1/tc", nullptr, Client::Connection::HTTP,
                                      Client::Connection::REST, true);
        expect(Client::SessionManager::getSessionManager(&connection)->getExceptionHandler() !=
                   nullptr,
               "the default exception handler");
    } catch (...) {
        expect(false, "parse threw");
    }
    const std::string exit = Quillomark::Testing::runInChild([] { std::exit(0); });
    expect(exit == "", "OpenSSL's exit handler ran at exit (" + exit + ")");
    const std::string forked =
        Quillomark::Testing::runInChild([] { _exit(Os::forksSoFar() == 1 ? 0 : 8); });
    expect(forked == "", "a child forked here ran no handler of the library's (" + forked + ")");
    return wrong;
}

// A region of the program's own, standing for the library's, and the thread
// that is inside it while the library's statics are made.
Os::ForkRegion aRegionOfTheProgram;
int leaveTheRegion[2] = {-1, -1};
std::thread* insideTheRegion = nullptr;

// Writes what went wrong to the descriptor that the variable names, and
// leaves a thread inside the region for the case to let go of.
struct CallsBeforeTheLibrary {
    CallsBeforeTheLibrary() {
        const char* report = std::getenv(CALLS_BEFORE_THE_LIBRARY);
        if (report == nullptr) return;
        std::atexit(tellWhetherOpenSslWasEnded);
        Quillomark::Testing::shortWaitsButTheServers();
        const std::string wrong = callBeforeTheLibrary();
        const bool written =
            ::write(std::atoi(report), wrong.data(), wrong.size()) == ssize_t(wrong.size());
        int inside[2];
        if (!written || ::pipe(inside) != 0 || ::pipe(leaveTheRegion) != 0) _exit(6);
        insideTheRegion = new std::thread([inside] {
            const Os::ForkRegion::Scope scope(aRegionOfTheProgram);
            Quillomark::Testing::say(inside[1], 'i');
            Quillomark::Testing::hear(leaveTheRegion[0]);
        });
        Quillomark::Testing::hear(inside[0]);
    }
};
__attribute__((init_priority(101))) CallsBeforeTheLibrary callsBeforeTheLibrary;

// In the program run anew, once the library's statics are made: the thread
// leaves the region, and a child forked then finds no thread inside it.
void afterTheLibrarysStatics(int report) {
    Quillomark::Testing::say(leaveTheRegion[1], 'l');
    insideTheRegion->join();
    const std::string child = Quillomark::Testing::runInChild(
        [] { _exit(aRegionOfTheProgram.inUseAtLastFork() ? 9 : 0); });
    const std::string wrong =
        child.empty() ? "" : "a child took the region that was left for in use (" + child + ")\n";
    _exit(::write(report, wrong.data(), wrong.size()) == ssize_t(wrong.size()) ? 0 : 6);
}

TEST(LoaderBeforeTheLibrary, AStaticConstructorThatRunsFirstMovesAFileAndParses) {
    if (const char* report = std::getenv(CALLS_BEFORE_THE_LIBRARY)) {
        afterTheLibrarysStatics(std::atoi(report));
    }
    // The server's launch script, and a folder of the pipes, of this case's.
    const std::string home = Quillomark::Testing::freshFolder("before-library-");
    chmod(home.c_str(), 0755);
    const std::string script = home + "/startfcc.bat";
    std::ofstream(script) << "#!/bin/sh\nexec " QMSOA_FAKE_FCC_SERVER " " << ticket() << "\n";
    chmod(script.c_str(), 0755);
    const std::string pipes = home + "/pipes";
    mkdir(pipes.c_str(), 0700);
    int report[2];
    ASSERT_EQ(::pipe(report), 0);
    const pid_t program = ::fork();
    ASSERT_NE(program, -1);
    if (program == 0) {
        ::close(report[0]);
        alarm(60);  // the program's limit, over an exec
        const int null = ::open("/dev/null", O_WRONLY);
        dup2(null, 1);  // the interface's banner, the fast cache's reports
        setenv("FMS_HOME", home.c_str(), 1);
        setenv("FMS_IPC_DIR", pipes.c_str(), 1);
        setenv(CALLS_BEFORE_THE_LIBRARY, std::to_string(report[1]).c_str(), 1);
        execl("/proc/self/exe", "before-the-library", static_cast<char*>(nullptr));
        _exit(5);
    }
    ::close(report[1]);
    std::string wrong;
    char block[1024];
    for (ssize_t length; (length = ::read(report[0], block, sizeof block)) > 0;) {
        wrong.append(block, static_cast<std::size_t>(length));
    }
    ::close(report[0]);
    EXPECT_EQ(Quillomark::Testing::endOf(program), "");
    EXPECT_EQ(wrong, "");
}

}  // namespace
