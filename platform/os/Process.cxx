#include <platform/os/internal/Process.hxx>

#include <platform/os/internal/Environment.hxx>
#include <platform/os/internal/Time.hxx>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <utility>

extern char** environ;

namespace Quillomark::Platform::Os {

namespace {

class SpawnActions {
public:
    SpawnActions() { ok = posix_spawn_file_actions_init(&actions) == 0; }
    ~SpawnActions() {
        if (ok) posix_spawn_file_actions_destroy(&actions);
    }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;

    bool ok = false;
    posix_spawn_file_actions_t actions;
};

class SpawnAttributes {
public:
    SpawnAttributes() { ok = posix_spawnattr_init(&attributes) == 0; }
    ~SpawnAttributes() {
        if (ok) posix_spawnattr_destroy(&attributes);
    }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;

    bool ok = false;
    posix_spawnattr_t attributes;
};

}  // namespace

int spawnProcess(const std::string& path, const std::string& workingDirectory, long* processId) {
    // The program is found before the new process changes its folder.
    const std::string program = absolutePath(path);
    if (program.empty()) return ENOENT;
    SpawnActions files;
    SpawnAttributes attributes;
    if (!files.ok || !attributes.ok) return ENOMEM;
    int failed = 0;
    for (int stream = 0; stream <= 2 && !failed; ++stream) {
        failed = posix_spawn_file_actions_addopen(&files.actions, stream, "/dev/null",
                                                  stream == 0 ? O_RDONLY : O_WRONLY, 0);
    }
    if (!failed) failed = posix_spawn_file_actions_addclosefrom_np(&files.actions, 3);
    if (!failed && !workingDirectory.empty()) {
        failed = posix_spawn_file_actions_addchdir_np(&files.actions, workingDirectory.c_str());
    }
    if (!failed) failed = posix_spawnattr_setflags(&attributes.attributes, POSIX_SPAWN_SETSID);
    if (failed) return failed;

    char* arguments[] = {const_cast<char*>(program.c_str()), nullptr};
    pid_t child = 0;
    const int spawned = posix_spawn(&child, program.c_str(), &files.actions, &attributes.attributes,
                                    arguments, environ);
    if (spawned != 0) return spawned;
    if (processId) *processId = child;
    return 0;
}

ProcessState processState(long processId, long* exitStatus, int* error) {
    if (processId <= 0) return ProcessState::NotFound;
    int status = 0;
    const pid_t waited = waitpid(static_cast<pid_t>(processId), &status, WNOHANG);
    if (waited == 0) return ProcessState::Running;
    if (waited == processId) {
        if (exitStatus) {
            *exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        return ProcessState::Exited;
    }
    // Not our child (or an application that has children reaped for it):
    // all that can be learnt is whether it still exists.
    if (errno == ECHILD) {
        if (kill(static_cast<pid_t>(processId), 0) == 0 || errno == EPERM) {
            return ProcessState::Running;
        }
        if (errno == ESRCH) return ProcessState::NotFound;
    }
    if (error) *error = errno;
    return ProcessState::Unknown;
}

namespace {

// A descriptor of the process itself, -1 where the system has none. (The C
// library's own wrapper is not usable from C++ in every version.)
int processDescriptor(long processId) {
    if (processId <= 0) return -1;
    return static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(processId), 0));
}

}  // namespace

bool processEnds(long processId, std::uint32_t waitMilliseconds) {
    // No process has a number beyond what pid_t holds: not cut to one.
    if (processId <= 0 || processId > INT_MAX || processId == getpid()) return false;
    const int descriptor = processDescriptor(processId);
    if (descriptor < 0) {
        // Gone, or a system without process descriptors: then only a process
        // that is gone is known to have ended.
        return errno == ESRCH || (kill(static_cast<pid_t>(processId), 0) != 0 && errno == ESRCH);
    }
    // A process descriptor reads as ready once its process has ended.
    const int ready = pollWithin(descriptor, POLLIN, waitMilliseconds);
    close(descriptor);
    return ready > 0;
}

ChildProcess::ChildProcess(long processId)
    : processId(processId), descriptor(processDescriptor(processId)) {}

ChildProcess::~ChildProcess() {
    if (descriptor >= 0) close(descriptor);
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : processId(std::exchange(other.processId, 0)),
      descriptor(std::exchange(other.descriptor, -1)) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        if (descriptor >= 0) close(descriptor);
        processId = std::exchange(other.processId, 0);
        descriptor = std::exchange(other.descriptor, -1);
    }
    return *this;
}

bool ChildProcess::reap() {
    if (processId <= 0) return true;
    int waited;
    if (descriptor >= 0) {
        siginfo_t ended{};
        do {
            waited = waitid(P_PIDFD, static_cast<id_t>(descriptor), &ended, WEXITED | WNOHANG);
        } while (waited < 0 && errno == EINTR);
        if (waited == 0) return ended.si_pid != 0;
    } else {
        int status = 0;
        do {
            waited = waitpid(static_cast<pid_t>(processId), &status, WNOHANG);
        } while (waited < 0 && errno == EINTR);
        if (waited >= 0) return waited != 0;
    }
    // No child of ours any more: someone else waited for it.
    return errno == ECHILD;
}

}  // namespace Quillomark::Platform::Os
