// The file-cache client trusts no other local user with its pipes: a pipe
// folder that others may write, or that belongs to someone else, is refused
// and named, and a server that runs as another user gets nothing. Each case
// runs in a process of its own; those that need another user run only as
// root, which may make files and processes of another user.

#include <fcc/internal/FccErrors.hxx>
#include <fcc/internal/FccSelfProxy.hxx>
#include <fcc/pipe/internal/FccProtocol.hxx>
#include <fcc/pipe/internal/FccTransport.hxx>
#include <fcc/runtime/internal/FccRuntime.hxx>
#include <fcc/runtime/internal/FccTiming.hxx>
#include <platform/os/internal/MessagePipe.hxx>
#include <tests/fcc/ShortWaits.hxx>
#include <tests/support/FakeFccServer.hxx>
#include <tests/support/FreshFolder.hxx>
#include <tests/support/OutputCapture.hxx>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

namespace Fcc = Quillomark::Fcc;
namespace Own = Quillomark::Fcc::SelfProxy;
namespace Os = Quillomark::Platform::Os;
using Quillomark::Testing::FakeFccServer;
using Quillomark::Testing::OutputCapture;

constexpr uid_t NOBODY = 65534;

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

int boundSocket(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return -1;
    return fd;
}

// A file-cache server of another user (nobody) in the test's own pipe
// folder: its sockets are bound while the test is root, and it becomes
// nobody before it listens, which is when a local socket records who
// serves it. Its master pipe hands out its secondary pipe, where it counts
// the bytes that arrive until it is stopped.
class ForeignServer {
public:
    ForeignServer(const std::string& masterPath, const std::string& secondaryName) {
        const int master = boundSocket(masterPath);
        const int secondary = boundSocket(Os::pipePath(secondaryName));
        if (master < 0 || secondary < 0 || pipe2(stop, O_CLOEXEC) != 0 ||
            pipe2(report, O_CLOEXEC) != 0) {
            return;
        }
        process = fork();
        if (process == 0) serve(master, secondary, secondaryName);
        close(master);
        close(secondary);
        close(stop[0]);
        close(report[1]);
        char ready = 0;
        listening = process > 0 && read(report[0], &ready, 1) == 1;
    }
    ~ForeignServer() { bytesReceived(); }

    bool isListening() const { return listening; }

    // Stops the server: the bytes that reached its secondary pipe.
    long bytesReceived() {
        if (process <= 0) return -1;
        close(stop[1]);
        long received = -1;
        if (read(report[0], &received, sizeof received) != sizeof received) received = -1;
        close(report[0]);
        waitpid(process, nullptr, 0);
        process = -1;
        return received;
    }

private:
    [[noreturn]] void serve(int master, int secondary, const std::string& secondaryName) {
        close(stop[1]);
        close(report[0]);
        if (setgroups(0, nullptr) != 0 || setresgid(NOBODY, NOBODY, NOBODY) != 0 ||
            setresuid(NOBODY, NOBODY, NOBODY) != 0 || listen(master, 4) != 0 ||
            listen(secondary, 4) != 0 || write(report[1], "r", 1) != 1) {
            _exit(2);
        }
        std::vector<pollfd> watched = {
            {stop[0], POLLIN, 0}, {master, POLLIN, 0}, {secondary, POLLIN, 0}};
        long received = 0;
        char buffer[65536];
        while (poll(watched.data(), watched.size(), -1) > 0 && watched[0].revents == 0) {
            if (watched[1].revents != 0) {
                const int client = accept(master, nullptr, nullptr);
                send(client, secondaryName.c_str(), secondaryName.size() + 1, MSG_NOSIGNAL);
                close(client);
            }
            if (watched[2].revents != 0)
                watched.push_back({accept(secondary, nullptr, nullptr), POLLIN, 0});
            for (std::size_t i = 3; i < watched.size(); ++i) {
                if (watched[i].revents == 0) continue;
                const ssize_t n = recv(watched[i].fd, buffer, sizeof buffer, 0);
                if (n > 0) received += n;
                if (n <= 0) watched[i].fd = -1;  // poll skips it from now on
            }
        }
        _exit(write(report[1], &received, sizeof received) == sizeof received ? 0 : 3);
    }

    pid_t process = -1;
    int stop[2] = {-1, -1};
    int report[2] = {-1, -1};
    bool listening = false;
};

class PipeTrust : public ::testing::Test {
protected:
    void SetUp() override {
        root = Quillomark::Testing::freshFolder("pipetrust-");
        folder = root + "/ipc";
        setenv("FMS_IPC_DIR", folder.c_str(), 1);
        setenv("FMS_HOME", root.c_str(), 1);
        trace = root + "/trace.log";
        setenv("FMS_FCCPROXYLOG", trace.c_str(), 1);
        const std::string script = root + "/startfcc.bat";
        std::ofstream(script) << "#!/bin/sh\nexit 3\n";
        chmod(script.c_str(), 0755);
        Quillomark::Testing::shortWaitsButTheServers();
    }

    void TearDown() override {
        while (Own::FCC_Term() == 0) {
        }
    }

    // FCC_Init's result, with its banner kept off the test's output.
    int init() {
        OutputCapture out(1);
        const int status = Own::FCC_Init(nullptr, nullptr);
        out.finish();
        return status;
    }

    // The text of a failed initialisation, as FCC_GetLastError gives it.
    std::string initError() {
        const char* text = nullptr;
        EXPECT_EQ(Own::FCC_GetLastError(&text), Fcc::ERR_FMSCP_NOT_INITIALIZED);
        return text ? text : "";
    }

    std::string root;
    std::string folder;
    std::string trace;
};

TEST_F(PipeTrust, AFolderThatOthersMayWriteIsRefusedAndNamed) {
    FakeFccServer server;  // listening in the folder while it was private
    for (const mode_t mode : {0777, 0770, 0702}) {
        ASSERT_EQ(chmod(folder.c_str(), mode), 0);
        EXPECT_EQ(init(), Fcc::ERR_FMSCP_NO_CONFIGURATION) << std::oct << mode;
        char expected[512];
        std::snprintf(expected, sizeof expected,
                      "The pipe folder '%s' may be written by users other than its owner "
                      "(mode %04o): it is not used.",
                      folder.c_str(), static_cast<unsigned>(mode));
        EXPECT_EQ(initError(), expected);
        EXPECT_NE(readFile(trace).find(std::string(expected) + "\n"), std::string::npos);
    }
    EXPECT_TRUE(server.requests().empty()) << "the server heard from the client";

    ASSERT_EQ(chmod(folder.c_str(), 0700), 0);
    EXPECT_EQ(init(), 0);
    EXPECT_EQ(server.requestsOf(Fcc::FMS_VERSION_CHECK).size(), 1u);
}

// What an application runs at its exit may still ask why the interface did
// not start: the text of the failed initialisation outlives the library's
// own objects that the exit destroys.
char expectedAtExit[512];

void checkTheInitErrorAtExit() {
    const char* text = nullptr;
    if (Own::FCC_GetLastError(&text) != Fcc::ERR_FMSCP_NOT_INITIALIZED || !text ||
        std::strcmp(text, expectedAtExit) != 0) {
        _exit(1);
    }
}

TEST_F(PipeTrust, TheTextOfAFailedInitialisationOutlivesTheExit) {
    // A process of its own, in which the exit handler is registered before
    // the first initialisation fails.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ASSERT_EQ(mkdir(folder.c_str(), 0777), 0);
    ASSERT_EQ(chmod(folder.c_str(), 0777), 0);
    std::snprintf(expectedAtExit, sizeof expectedAtExit,
                  "The pipe folder '%s' may be written by users other than its owner (mode "
                  "0777): it is not used.",
                  folder.c_str());
    EXPECT_EXIT(
        {
            std::atexit(checkTheInitErrorAtExit);
            if (init() != Fcc::ERR_FMSCP_NO_CONFIGURATION) _exit(2);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(PipeTrust, AFolderOfAnotherUserIsRefusedAndNamed) {
    if (geteuid() != 0) GTEST_SKIP() << "only root can make a folder of another user";
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    ASSERT_EQ(chown(folder.c_str(), NOBODY, NOBODY), 0);
    EXPECT_EQ(init(), Fcc::ERR_FMSCP_NO_CONFIGURATION);
    EXPECT_EQ(initError(), "The pipe folder '" + folder +
                               "' belongs to another user (uid 65534): it is not used.");

    // Nor is a link in place of the folder followed to wherever it leads.
    ASSERT_EQ(rmdir(folder.c_str()), 0);
    ASSERT_EQ(mkdir((root + "/elsewhere").c_str(), 0700), 0);
    ASSERT_EQ(symlink((root + "/elsewhere").c_str(), folder.c_str()), 0);
    EXPECT_EQ(init(), Fcc::ERR_FMSCP_NO_CONFIGURATION);
    EXPECT_EQ(initError(), "The pipe folder '" + folder +
                               "' is not a folder (a link or a file): it is not used.");
}

TEST_F(PipeTrust, AServerOfAnotherUserGetsNothing) {
    if (geteuid() != 0) GTEST_SKIP() << "only root can run a server as another user";
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    ForeignServer foreign(Os::pipePath(Fcc::FCC_DEFAULT_PIPE_NAME), "\\\\.\\pipe\\stolen");
    ASSERT_TRUE(foreign.isListening());
    // Nothing else answers: the launch script that should start our own
    // server fails.
    EXPECT_EQ(init(), Fcc::ERR_FMSCP_START_FAILED);
    EXPECT_EQ(foreign.bytesReceived(), 0) << "the server of another user was sent a request";
    const std::string refused = "The pipe '" + Os::pipePath(Fcc::FCC_DEFAULT_PIPE_NAME) +
                                "' is served by another user (uid 65534): it is not used.";
    EXPECT_EQ(initError(), refused);
    EXPECT_NE(readFile(trace).find(refused + "\n"), std::string::npos);
}

}  // namespace
