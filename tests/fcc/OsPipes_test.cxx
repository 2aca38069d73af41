// The operating-system pieces under the file-cache client's pipes: local
// message pipes read in pieces, and processes started and watched.

#include <platform/os/internal/MessagePipe.hxx>
#include <platform/os/internal/PrivateFile.hxx>
#include <platform/os/internal/Process.hxx>
#include <tests/fastcache/ChildProcess.hxx>
#include <tests/support/FreshFolder.hxx>

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <pthread.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

namespace Os = Quillomark::Platform::Os;

// When set, the next fdopen fails as it does when memory runs out.
bool failNextFdopen = false;

}  // namespace

extern "C" std::FILE* fdopen(int fd, const char* mode) noexcept {
    using Fdopen = std::FILE* (*)(int, const char*);
    static const auto next = reinterpret_cast<Fdopen>(dlsym(RTLD_NEXT, "fdopen"));
    if (!std::exchange(failNextFdopen, false)) return next(fd, mode);
    errno = ENOMEM;
    return nullptr;
}

namespace {

class OsPipes : public ::testing::Test {
protected:
    void SetUp() override {
        directory = Quillomark::Testing::freshFolder("ospipes-");
        setenv("FMS_IPC_DIR", directory.c_str(), 1);
    }
    // A server's end of a pipe at path, that takes connections: -1 when
    // it cannot be made.
    static int listenAt(const std::string& path) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, path.c_str());
        const int listener = socket(AF_UNIX, SOCK_SEQPACKET, 0);
        if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(listener, 4) != 0) {
            close(listener);
            return -1;
        }
        return listener;
    }
    std::string directory;
};

TEST_F(OsPipes, PipeNamesBecomeSocketPathsInThePrivateFolder) {
    EXPECT_EQ(Os::pipePath("\\\\.\\pipe\\FMSClientPipe"), directory + "/pipe.FMSClientPipe");
    EXPECT_EQ(Os::pipePath("//./PIPE/a/b\\c"), directory + "/pipe.a_b_c");
    EXPECT_EQ(Os::pipePath("\\\\.\\pipe\\"), "");
    EXPECT_EQ(Os::pipePath(std::string(120, 'x')), "");
    struct stat folder;
    ASSERT_EQ(stat(directory.c_str(), &folder), 0);
    EXPECT_EQ(folder.st_mode & 0777, 0700u);
}

TEST_F(OsPipes, MessagesAreReadInPiecesAndKeptApart) {
    const std::string path = Os::pipePath("\\\\.\\pipe\\pieces");
    const int listener = listenAt(path);
    ASSERT_GE(listener, 0);

    Os::MessagePipe pipe;
    EXPECT_EQ(Os::MessagePipe().connect(directory + "/pipe.none", 0),
              Os::MessagePipe::Connect::Absent);
    ASSERT_EQ(pipe.connect(path, 0), Os::MessagePipe::Connect::Connected);
    const int server = accept(listener, nullptr, nullptr);
    ASSERT_GE(server, 0);

    std::string first(100, 'a');
    first[12] = 'b';
    ASSERT_EQ(send(server, first.data(), first.size(), 0), 100);
    ASSERT_EQ(send(server, "second", 6, 0), 6);
    char buffer[200] = {};
    auto read = pipe.read(buffer, 12);
    EXPECT_EQ(read.status, Os::MessagePipe::Read::MoreData);
    EXPECT_EQ(read.bytes, 12u);
    read = pipe.read(buffer, 200);
    EXPECT_EQ(read.status, Os::MessagePipe::Read::Complete);
    ASSERT_EQ(read.bytes, 88u);
    EXPECT_EQ(buffer[0], 'b');
    read = pipe.read(buffer, 200);
    EXPECT_EQ(std::string(buffer, read.bytes), "second");

    std::vector<char> huge(70000, 'h');
    ASSERT_EQ(send(server, huge.data(), huge.size(), 0), 70000);
    EXPECT_EQ(pipe.read(buffer, 12).status, Os::MessagePipe::Read::Overflow);

    const char request[] = "request";
    EXPECT_EQ(pipe.write(request, sizeof request), static_cast<long>(sizeof request));
    close(server);
    EXPECT_EQ(pipe.read(buffer, 12).status, Os::MessagePipe::Read::Closed);
    // Writing to a server that is gone is an error, not a signal that ends
    // the process.
    EXPECT_EQ(pipe.write(request, sizeof request), -1);
    close(listener);
}

// A wait for a server's reply and one for a process's end last their time by
// the clock however often signals break into them (a profiler's timer, an
// application's own): each began its whole wait again after a signal, so
// that a signal every millisecond held a wait of 50 ms for good.
TEST_F(OsPipes, WaitsEndInTheirTimeHoweverOftenSignalsComeIn) {
    const std::string path = Os::pipePath("\\\\.\\pipe\\silent");
    const int listener = listenAt(path);
    ASSERT_GE(listener, 0);
    const std::string end = Quillomark::Testing::runInChild([&path] {
        std::signal(SIGUSR1, [](int) {});
        const pthread_t waiting = pthread_self();
        std::atomic<bool> waited{false};
        std::thread interrupting([&] {
            while (!waited) {
                pthread_kill(waiting, SIGUSR1);
                usleep(1000);
            }
        });
        Os::MessagePipe pipe;
        if (pipe.connect(path, 0) != Os::MessagePipe::Connect::Connected) _exit(4);
        if (pipe.waitForData(50)) _exit(5);
        if (Os::processEnds(getppid(), 50)) _exit(6);
        waited = true;
        interrupting.join();
    });
    EXPECT_EQ(end, "");
    close(listener);
}

TEST_F(OsPipes, LogsAreAppendedOnlyToRegularFilesOfTheUser) {
    const std::string log = directory + "/log";
    std::FILE* made = Os::openPrivateAppendFile(log);
    ASSERT_NE(made, nullptr);
    EXPECT_NE(fcntl(fileno(made), F_GETFD) & FD_CLOEXEC, 0);
    std::fputs("one\n", made);
    std::fclose(made);
    std::FILE* again = Os::openPrivateAppendFile(log);
    ASSERT_NE(again, nullptr);
    std::fputs("two\n", again);
    std::fclose(again);
    std::ifstream in(log);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "one\ntwo\n");

    // What another user could plant at the path: a link, or a pipe that
    // nobody reads (opening it for writing would wait for a reader).
    ASSERT_EQ(symlink(log.c_str(), (directory + "/link").c_str()), 0);
    EXPECT_EQ(Os::openPrivateAppendFile(directory + "/link"), nullptr);
    ASSERT_EQ(mkfifo((directory + "/fifo").c_str(), 0600), 0);
    EXPECT_EQ(Os::openPrivateAppendFile(directory + "/fifo"), nullptr);
    if (geteuid() == 0) {
        ASSERT_EQ(chown(log.c_str(), 65534, 65534), 0);
        EXPECT_EQ(Os::openPrivateAppendFile(log), nullptr) << "a file of another user";
    }
}

// A file that others could read before (cache files were once 0644) may
// still be open in a reader of another user: what is written now must not
// reach that reader, so the file is made anew, not emptied in place.
TEST_F(OsPipes, SharedFilesAreMadeAnewOutOfReachOfEarlierReaders) {
    const std::string path = directory + "/fms.seg";
    std::ofstream(path) << "old bytes";
    ASSERT_EQ(chmod(path.c_str(), 0644), 0);
    const int reader = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(reader, 0);

    std::FILE* made = Os::createSharedFile(path);
    ASSERT_NE(made, nullptr);
    EXPECT_NE(fcntl(fileno(made), F_GETFD) & FD_CLOEXEC, 0);
    std::fputs("SECRET-CACHED-BYTES", made);
    ASSERT_EQ(std::fclose(made), 0);
    char seen[64] = {};
    EXPECT_EQ(pread(reader, seen, sizeof seen - 1, 0), 9);
    EXPECT_STREQ(seen, "old bytes") << "an earlier reader saw what was written";
    close(reader);
    std::ifstream in(path);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "SECRET-CACHED-BYTES");
    struct stat file;
    ASSERT_EQ(lstat(path.c_str(), &file), 0);
    EXPECT_EQ(file.st_mode & 07777, 0600u);
    // A new file that cannot be handed out leaves the old one as it was.
    failNextFdopen = true;
    EXPECT_EQ(Os::createSharedFile(path), nullptr);
    EXPECT_EQ(errno, ENOMEM);
    std::ifstream kept(path);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "SECRET-CACHED-BYTES");
    // Every name the system takes can be made.
    const std::string longest(NAME_MAX, 'n');
    std::FILE* named = Os::createSharedFile(directory + "/" + longest);
    ASSERT_NE(named, nullptr);
    std::fclose(named);
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        names.insert(entry.path().filename());
    }
    EXPECT_EQ(names, (std::set<std::string>{"fms.seg", longest})) << "nothing is left beside them";

    // What is not a regular file of the user's stays as it is.
    const std::string link = directory + "/fms.mf";
    ASSERT_EQ(symlink(path.c_str(), link.c_str()), 0);
    EXPECT_EQ(Os::createSharedFile(link), nullptr);
    EXPECT_EQ(lstat(link.c_str(), &file), 0);
    EXPECT_TRUE(S_ISLNK(file.st_mode));
    const std::string fifo = directory + "/fms.hsh";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(Os::createSharedFile(fifo), nullptr);
    EXPECT_EQ(lstat(fifo.c_str(), &file), 0);
    EXPECT_TRUE(S_ISFIFO(file.st_mode));
    if (geteuid() == 0) {
        ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
        EXPECT_EQ(Os::createSharedFile(path), nullptr) << "a file of another user";
        std::ifstream again(path);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(again), {}), "SECRET-CACHED-BYTES");
    }
}

TEST_F(OsPipes, SpawnedProcessesAreWatchedUntilTheyExit) {
    const std::string script = directory + "/exit3.sh";
    mkdir(directory.c_str(), 0700);
    FILE* file = std::fopen(script.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fputs("#!/bin/sh\n[ \"$(pwd)\" = \"/tmp\" ] && exit 3\nexit 4\n", file);
    std::fclose(file);
    chmod(script.c_str(), 0755);

    long processId = 0;
    ASSERT_EQ(Os::spawnProcess(script, "/tmp", &processId), 0);
    long status = -1;
    int error = 0;
    Os::ProcessState state;
    while ((state = Os::processState(processId, &status, &error)) == Os::ProcessState::Running) {
        usleep(1000);
    }
    EXPECT_EQ(state, Os::ProcessState::Exited);
    EXPECT_EQ(status, 3);  // it ran in the folder it was given
    EXPECT_EQ(Os::processState(processId, &status, &error), Os::ProcessState::NotFound);
    EXPECT_NE(Os::spawnProcess(directory + "/missing.sh", "", &processId), 0);

    // A relative program is the one the caller's folder names, not one
    // found from the working folder of the new process.
    ASSERT_EQ(chdir(directory.c_str()), 0);
    ASSERT_EQ(Os::spawnProcess("exit3.sh", "/tmp", &processId), 0);
    while ((state = Os::processState(processId, &status, &error)) == Os::ProcessState::Running) {
        usleep(1000);
    }
    EXPECT_EQ(status, 3);
}

}  // namespace
