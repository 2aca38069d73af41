// The pipes to the local file-cache server and the server's launch.

#include <fcc/internal/FccErrors.hxx>
#include <fcc/internal/FccSelfProxy.hxx>
#include <fcc/pipe/internal/FccProtocol.hxx>
#include <fcc/pipe/internal/FccTransport.hxx>
#include <fcc/runtime/internal/FccTiming.hxx>

#include <platform/os/internal/Process.hxx>

#include <cstdio>
#include <cstring>

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

bool FccConnectPipe(Os::MessagePipe& pipe, const std::string& masterPipeName) {
    fccTrace("Open Pipe '%s'...\n", masterPipeName.c_str());
    Os::MessagePipe master;
    if (!connectOwnPipe(master, masterPipeName, fccTiming().masterPipeWait)) return false;
    // Local pipes keep message boundaries by nature: no mode to set.
    fccTrace("Master pipe connected, setting mode.\n");
    fccTrace("Master pipe CLIENT listening for secondary pipe name.\n");
    char name[PIPE_NAME_SIZE + 1] = {};
    Os::MessagePipe::ReadResult read{Os::MessagePipe::Read::Failed, 0, 0};
    if (master.waitForData(fccTiming().setUpReplyWait)) read = master.read(name, PIPE_NAME_SIZE);
    fccTrace("Closing master pipe\n");
    master.close();
    if (read.status != Os::MessagePipe::Read::Complete &&
        read.status != Os::MessagePipe::Read::MoreData) {
        return false;
    }
    // The name ends at its NUL, or at the end of what arrived.
    name[read.bytes] = '\0';
    if (name[0] == '\0') return false;
    fccTrace("%d byte secondary pipe name '%s' successfully read from master pipe\n",
             static_cast<int>(read.bytes), name);
    fccTrace("Creating secondary pipe name '%s' file for CLIENT\n", name);
    if (!connectOwnPipe(pipe, name, 0)) return false;
    fccTrace("Pipe changing secondary CLIENT to MESSAGE_MODE.\n");
    fccTrace("Pipe secondary CLIENT successfully connected to server.\n");
    return true;
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

// Connects the record's closed pipe to the server, launching it when
// nothing answers: 0 also when the pipe stays closed (see FccConnectProxy).
int openPipe(FccConnection* record) {
    const FccTiming& timing = fccTiming();
    const FccConfiguration configuration = fccConfiguration();
    fccTrace("ConnectProxy: Opening pipe.\n");
    fccTrace("Connecting to master pipe name '%s' file for CLIENT\n",
             configuration.masterPipeName.c_str());

    bool connected = FccConnectPipe(record->pipe, configuration.masterPipeName);
    for (int retry = 0; !connected && retry < 5; ++retry) {
        SelfProxy::FmsSleepMs(timing.connectRetryPause);
        connected = FccConnectPipe(record->pipe, configuration.masterPipeName);
    }
    if (!connected) {
        long processId = 0;
        const int launched = FccLaunchServer(&processId);
        if (launched != 0 || !FccIsProcessAlive(processId)) {
            fccTrace("ConnectProxy: The launched FCC process '%s' terminated or failed to start.\n",
                     configuration.launchScript.c_str());
            return launched != 0 ? launched : ERR_FMSCP_START_FAILED;
        }
        const FmsClockValue start = SelfProxy::FmsClock();
        while (!connected) {
            SelfProxy::FmsSleepMs(timing.connectRetryPause);
            if (!FccIsProcessAlive(processId)) {
                fccTrace("ConnectProxy: The launched FCC process '%s' terminated.\n",
                         configuration.launchScript.c_str());
                return ERR_FMSCP_START_FAILED;
            }
            connected = FccConnectPipe(record->pipe, configuration.masterPipeName);
            if (!connected && SelfProxy::FmsDeltaMs(SelfProxy::FmsClock(), start) >=
                                  static_cast<int>(timing.launchWaitLimit)) {
                // The server may still come up: the next request tries again.
                return 0;
            }
        }
    }
    return 0;
}

// The version check on a newly connected pipe.
int checkNewPipe(FccConnection* record) {
    record->sequence = 0;
    int checked = FccVersionCheck(false);
    if (checked == VERSION_REFUSED) checked = ERR_FMSCP_VERSION;
    // A pipe whose server refused us (or did not answer properly) is not
    // kept: the next request would find it open and skip the check.
    if (checked != 0) FccCloseProxy(*record);
    return checked;
}

}  // namespace

int FccConnectProxy(FccConnection* record) {
    if (!record) return ERR_FMSCP_THREAD_COUNT;
    if (record->pipe.isOpen()) return 0;
    const int opened = openPipe(record);
    if (opened != 0 || !record->pipe.isOpen()) return opened;
    return checkNewPipe(record);
}

int FccConnectProxyLocked(FccConnection* record) {
    if (!record) return ERR_FMSCP_THREAD_COUNT;
    if (record->pipe.isOpen()) return 0;
    {
        // The version check waits for the server: outside the lock.
        FccConnectLockGuard guard;
        const int opened = openPipe(record);
        if (opened != 0 || !record->pipe.isOpen()) return opened;
    }
    return checkNewPipe(record);
}

void FccCloseProxy(FccConnection& record) {
    fccTrace("CloseProxy: Closing pipe.\n");
    record.closePipe();
    fccTrace("CloseProxy: ClosePipe successful.\n");
}

int FccSendRequest(FccConnection* record, const void* buffer, std::size_t count) {
    if (!record) return ERR_FMSCP_THREAD_COUNT;
    if (!record->pipe.isOpen()) {
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

int FccLaunchServer(long* processId) {
    if (processId) *processId = 0;
    const std::string script = fccConfiguration().launchScript;
    std::size_t cut = script.find_last_of('\\');
    if (cut == std::string::npos) cut = script.find_last_of('/');
    const std::string folder = cut == std::string::npos ? std::string() : script.substr(0, cut);
    fccTrace("Pipe not connected - waking up FMS Cache Server\n");
    long started = 0;
    if (script.empty() || Os::spawnProcess(script, folder, &started) != 0) {
        fccTrace("Failed to start '%s' in directory '%s'\n", script.c_str(), folder.c_str());
        return ERR_FMSCP_START_FAILED;
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
