// The pipes to the local file-cache server and the server's launch.

#include <fcc/internal/FccErrors.hxx>
#include <fcc/internal/FccSelfProxy.hxx>
#include <fcc/pipe/internal/FccProtocol.hxx>
#include <fcc/pipe/internal/FccTransport.hxx>
#include <fcc/runtime/internal/FccTiming.hxx>

#include <platform/os/internal/Forks.hxx>
#include <platform/os/internal/Process.hxx>
#include <platform/os/internal/Time.hxx>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

namespace Quillomark::Fcc {

namespace Os = Quillomark::Platform::Os;

namespace {

// The longest secondary pipe name the master pipe hands out.
constexpr std::size_t PIPE_NAME_SIZE = 256;

// The version check's refusal, as its exchange returns it.
constexpr int VERSION_REFUSED = -100;

// Connects to the pipe of that name when this user's own server serves it.
bool connectOwnPipe(Os::MessagePipe& pipe, const std::string& name, unsigned busyWaitMs) {
    const std::string path = fccPipePath(name);
    const Os::MessagePipe::Connect connected = pipe.connect(path, busyWaitMs);
    if (connected == Os::MessagePipe::Connect::OtherUser) {
        fccReportDistrust("The pipe '" + path + "' is served by another user (uid " +
                          std::to_string(pipe.refusedUser()) + "): it is not used.");
    }
    return connected == Os::MessagePipe::Connect::Connected;
}

}  // namespace

FccMasterPipe FccReachMasterPipe(Os::MessagePipe& pipe, const std::string& masterPipeName,
                                 std::uint32_t replyWait) {
    fccTrace("Open Pipe '%s'...\n", masterPipeName.c_str());
    Os::MessagePipe master;
    if (!connectOwnPipe(master, masterPipeName, std::min(fccTiming().masterPipeWait, replyWait))) {
        return FccMasterPipe::Absent;
    }
    // Local pipes keep message boundaries by nature: no mode to set.
    fccTrace("Master pipe connected, setting mode.\n");
    fccTrace("Master pipe CLIENT listening for secondary pipe name.\n");
    char name[PIPE_NAME_SIZE + 1] = {};
    if (!master.waitForData(replyWait)) {
        fccTrace("No reply from FCC (%s)\n", "secondary pipe name");
        fccTrace("Closing master pipe\n");
        return FccMasterPipe::Silent;
    }
    const Os::MessagePipe::ReadResult read = master.read(name, PIPE_NAME_SIZE);
    fccTrace("Closing master pipe\n");
    master.close();
    if (read.status != Os::MessagePipe::Read::Complete &&
        read.status != Os::MessagePipe::Read::MoreData) {
        return FccMasterPipe::Absent;
    }
    // The name ends at its NUL, or at the end of what arrived.
    name[read.bytes] = '\0';
    if (name[0] == '\0') return FccMasterPipe::Absent;
    fccTrace("%d byte secondary pipe name '%s' successfully read from master pipe\n",
             static_cast<int>(read.bytes), name);
    fccTrace("Creating secondary pipe name '%s' file for CLIENT\n", name);
    if (!connectOwnPipe(pipe, name, 0)) return FccMasterPipe::Absent;
    fccTrace("Pipe changing secondary CLIENT to MESSAGE_MODE.\n");
    fccTrace("Pipe secondary CLIENT successfully connected to server.\n");
    return FccMasterPipe::Connected;
}

bool FccConnectPipe(Os::MessagePipe& pipe, const std::string& masterPipeName) {
    return FccReachMasterPipe(pipe, masterPipeName, fccTiming().setUpReplyWait) ==
           FccMasterPipe::Connected;
}

int FccReadPipe(FccConnection& record, std::size_t count, void* buffer) {
    const Os::MessagePipe::ReadResult read = record.pipe.read(buffer, count);
    switch (read.status) {
        case Os::MessagePipe::Read::Complete:
        case Os::MessagePipe::Read::MoreData: return static_cast<int>(read.bytes);
        case Os::MessagePipe::Read::Overflow:
            record.closePipe();
            fccTrace("Pipe read buffer overflow\n");
            return ERR_FMSCP_NOT_SUPPORTED;
        case Os::MessagePipe::Read::Closed:
            fccTrace("Error ZERO_BYTES reading pipe\n");
            record.closePipe();
            return ERR_FMSCP_NO_CACHE;
        case Os::MessagePipe::Read::Failed: break;
    }
    fccTrace("I/O Error %d reading pipe\n", read.error);
    return ERR_FMSCP_NO_CACHE;
}

namespace {

// The milliseconds left until deadline (none when it has passed).
std::uint32_t until(std::int64_t deadline) { return Os::millisecondsLeft(deadline, 0x7FFFFFFF); }

// The deadline of a set-up that begins now.
std::int64_t setUpDeadline() { return Os::monotonicMilliseconds() + fccTiming().setUpReplyWait; }

// Waits for a server that this call launched to open its master pipe:
// 0 also when it did not within the launch wait (see FccConnectProxy).
int awaitLaunchedServer(FccConnection* record, long processId) {
    const FccTiming& timing = fccTiming();
    const FccConfiguration configuration = fccConfiguration();
    const std::int64_t deadline = Os::monotonicMilliseconds() + timing.launchWaitLimit;
    for (;;) {
        SelfProxy::FmsSleepMs(timing.connectRetryPause);
        if (!FccIsProcessAlive(processId)) {
            fccTrace("ConnectProxy: The launched FCC process '%s' terminated.\n",
                     configuration.launchScript.c_str());
            return ERR_FMSCP_START_FAILED;
        }
        const FccMasterPipe reached = FccReachMasterPipe(
            record->pipe, configuration.masterPipeName,
            std::min(timing.setUpReplyWait, std::max<std::uint32_t>(until(deadline), 1)));
        if (reached == FccMasterPipe::Connected) return 0;
        if (reached == FccMasterPipe::Silent) return ERR_FMSCP_NO_CACHE;
        // The server may still come up: the next request tries again.
        if (until(deadline) == 0) return 0;
    }
}

// Connects the record's closed pipe to the server, launching it when
// nothing answers: 0 also when the pipe stays closed (see FccConnectProxy).
// A master pipe that takes the connection but names no secondary pipe
// before the deadline is a server that is there but silent: it is neither
// tried again nor launched anew.
int openPipe(FccConnection* record, std::int64_t deadline) {
    const FccTiming& timing = fccTiming();
    const FccConfiguration configuration = fccConfiguration();
    fccTrace("ConnectProxy: Opening pipe.\n");
    fccTrace("Connecting to master pipe name '%s' file for CLIENT\n",
             configuration.masterPipeName.c_str());

    FccMasterPipe reached =
        FccReachMasterPipe(record->pipe, configuration.masterPipeName, until(deadline));
    for (int retry = 0; reached == FccMasterPipe::Absent && retry < 5 && until(deadline) > 0;
         ++retry) {
        SelfProxy::FmsSleepMs(timing.connectRetryPause);
        reached = FccReachMasterPipe(record->pipe, configuration.masterPipeName, until(deadline));
    }
    if (reached == FccMasterPipe::Connected) return 0;
    if (reached == FccMasterPipe::Silent || until(deadline) == 0) return ERR_FMSCP_NO_CACHE;
    long processId = 0;
    const int launched = FccLaunchServer(&processId);
    if (launched != 0 || !FccIsProcessAlive(processId)) {
        fccTrace("ConnectProxy: The launched FCC process '%s' terminated or failed to start.\n",
                 configuration.launchScript.c_str());
        return launched != 0 ? launched : ERR_FMSCP_START_FAILED;
    }
    return awaitLaunchedServer(record, processId);
}

// The version check on a newly connected pipe.
int checkNewPipe(FccConnection* record, std::int64_t deadline) {
    record->sequence = 0;
    int checked = FccVersionCheck(false, deadline);
    if (checked == VERSION_REFUSED) checked = ERR_FMSCP_VERSION;
    // A pipe whose server refused us (or did not answer properly) is not
    // kept: the next request would find it open and skip the check.
    if (checked != 0) FccCloseProxy(*record);
    return checked;
}

// Holds the connect lock, when it could be taken in time.
class ConnectLockWithin {
public:
    explicit ConnectLockWithin(std::uint32_t milliseconds)
        : taken(FccConnectLockWithin(milliseconds)) {}
    ~ConnectLockWithin() {
        if (taken) FccConnectUnlock();
    }
    ConnectLockWithin(const ConnectLockWithin&) = delete;
    ConnectLockWithin& operator=(const ConnectLockWithin&) = delete;
    explicit operator bool() const { return taken; }

private:
    bool taken;
};

}  // namespace

int FccConnectProxy(FccConnection* record) {
    if (!record) return ERR_FMSCP_THREAD_COUNT;
    if (record->pipe.isOpen()) return 0;
    const std::int64_t deadline = setUpDeadline();
    const int opened = openPipe(record, deadline);
    if (opened != 0 || !record->pipe.isOpen()) return opened;
    return checkNewPipe(record, deadline);
}

int FccConnectProxyLocked(FccConnection* record) {
    if (!record) return ERR_FMSCP_THREAD_COUNT;
    if (record->pipe.isOpen()) return 0;
    const std::int64_t deadline = setUpDeadline();
    {
        // Another thread that connects (or launches the server) holds the
        // lock: this one waits no longer than its own set-up may take.
        const ConnectLockWithin guard(until(deadline));
        if (!guard) {
            fccTrace("ConnectProxy: No turn at the master pipe in time.\n");
            return ERR_FMSCP_NO_CACHE;
        }
        const int opened = openPipe(record, deadline);
        if (opened != 0 || !record->pipe.isOpen()) return opened;
    }
    // The version check waits for the server: outside the lock.
    return checkNewPipe(record, deadline);
}

void FccCloseProxy(FccConnection& record) {
    fccTrace("CloseProxy: Closing pipe.\n");
    record.closePipe();
    fccTrace("CloseProxy: ClosePipe successful.\n");
}

int FccSendRequest(FccConnection* record, const void* buffer, std::size_t count) {
    if (!record) return ERR_FMSCP_THREAD_COUNT;
    // The version check of a new pipe is written into the record's request
    // buffer: a request that lies there is kept aside meanwhile.
    std::vector<unsigned char> keptAside;
    if (!record->pipe.isOpen()) {
        // A message in the middle of an exchange would meet a server on the
        // new pipe that knows nothing of the exchange.
        if (record->exchanging) {
            fccTrace("Pipe closed in the middle of an exchange.\n");
            return ERR_FMSCP_NO_CACHE;
        }
        const auto at = reinterpret_cast<std::uintptr_t>(buffer);
        const auto own = reinterpret_cast<std::uintptr_t>(record->requestBuffer);
        if (own != 0 && at < own + FCC_REQUEST_BUFFER_SIZE && own < at + count) {
            const auto* bytes = static_cast<const unsigned char*>(buffer);
            keptAside.assign(bytes, bytes + count);
            buffer = keptAside.data();
        }
        FccConnectProxyLocked(record);
        if (!record->pipe.isOpen()) return ERR_FMSCP_NO_CACHE;
    }
    const long sent = record->pipe.write(buffer, count);
    if (sent < 0 || static_cast<std::size_t>(sent) != count) {
        FccCloseProxy(*record);
        return ERR_FMSCP_NO_CACHE;
    }
    return static_cast<int>(sent);
}

namespace {

// The servers launched and not yet waited for. Never destroyed, like the
// locks. A forked child cannot wait for its parent's children: it starts a
// list of its own.
struct LaunchedServers {
    std::mutex mutex;
    std::vector<Os::ChildProcess> children;
};

Os::ProcessObject<LaunchedServers> launchedInForce;

LaunchedServers& launchedServers() { return *launchedInForce; }

void makeLaunchedServersInChild() {
    if (launchedInForce.ifMade()) Os::replaceInChild(launchedInForce.slot(), new LaunchedServers);
}

QMSOA_IN_CHILD_AFTER_FORK(launchedInChild, makeLaunchedServersInChild);

}  // namespace

void fccMakeLaunchedServers() { launchedServers(); }

void FccReapLaunchedServers() {
    LaunchedServers& launched = launchedServers();
    std::lock_guard<std::mutex> guard(launched.mutex);
    auto& children = launched.children;
    children.erase(std::remove_if(children.begin(), children.end(),
                                  [](Os::ChildProcess& child) { return child.reap(); }),
                   children.end());
}

int FccLaunchServer(long* processId) {
    if (processId) *processId = 0;
    FccReapLaunchedServers();
    const std::string script = fccConfiguration().launchScript;
    std::size_t cut = script.find_last_of('\\');
    if (cut == std::string::npos) cut = script.find_last_of('/');
    const std::string folder = cut == std::string::npos ? std::string() : script.substr(0, cut);
    fccTrace("Pipe not connected - waking up FMS Cache Server\n");
    long started = 0;
    if (script.empty() || !fccIsTrustedLaunchScript(script) ||
        Os::spawnProcess(script, folder, &started) != 0) {
        fccTrace("Failed to start '%s' in directory '%s'\n", script.c_str(), folder.c_str());
        return ERR_FMSCP_START_FAILED;
    }
    {
        LaunchedServers& launched = launchedServers();
        std::lock_guard<std::mutex> guard(launched.mutex);
        launched.children.emplace_back(started);
    }
    if (processId) *processId = started;
    return 0;
}

bool FccIsProcessAlive(long processId) {
    long status = 0;
    int error = 0;
    switch (Os::processState(processId, &status, &error)) {
        case Os::ProcessState::Running: return true;
        case Os::ProcessState::NotFound:
            std::printf("PID %ld was not found.\n", processId);
            fccTrace("PID %ld was not found.\n", processId);
            break;
        case Os::ProcessState::Unknown:
            std::printf("Error %ld monitoring PID %ld.\n", static_cast<long>(error), processId);
            fccTrace("Error %ld monitoring PID %ld.\n", static_cast<long>(error), processId);
            break;
        case Os::ProcessState::Exited:
            std::printf("PID %ld exited with status %ld.\n", processId, status);
            fccTrace("PID %ld exited with status %ld.\n", processId, status);
            break;
    }
    std::fflush(stdout);
    return false;
}

}  // namespace Quillomark::Fcc
