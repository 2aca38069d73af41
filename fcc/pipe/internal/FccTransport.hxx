#pragma once

// How the library's own file-cache client finds and reaches the local
// file-cache server: its configuration from the environment, the pipes,
// and the launch of the server through its script.

#include <fcc/runtime/internal/FccRuntime.hxx>

#include <cstddef>
#include <cstdint>
#include <string>

namespace Quillomark::Fcc {

// The configuration, as the last FccReadConfiguration left it.
struct FccConfiguration {
    std::string masterPipeName;  // FCC_PROXYPIPENAME
    std::string launchScript;    // FMS_HOME + FCC_PROXYEXECNAME
    long bufferSize = 16384;     // FCC_PROXYBUFFERSIZE
    std::string locale;          // FCC_PROXYLOCALE
};

constexpr const char* FCC_DEFAULT_PIPE_NAME = "\\\\.\\pipe\\FMSClientPipe";
constexpr const char* FCC_DEFAULT_SCRIPT_NAME = "startfcc.bat";
constexpr long FCC_DEFAULT_BUFFER_SIZE = 16384;
constexpr long FCC_MINIMUM_BUFFER_SIZE = 512;

// Reads the configuration from the environment (each first initialisation
// does): 0, ERR_FMSCP_NO_FMS_HOME, ERR_FMSCP_START_SCRIPT, or
// ERR_FMSCP_NO_CONFIGURATION for a pipe name that names no usable pipe.
int FccReadConfiguration();

// A copy of the configuration; the locale is the one in force now. Throws
// std::bad_alloc.
FccConfiguration fccConfiguration();

// The configured buffer size alone, which needs no memory.
long fccConfiguredBufferSize();

// Makes locale the one sent to the server from now on.
void fccSetConfiguredLocale(const std::string& locale);

// Make the configuration with its lock, and the list of launched servers,
// once per process, for fccMakeSelfProxyObjects. Throw std::bad_alloc.
void fccMakeConfiguration();
void fccMakeLaunchedServers();

// The launch script's path under fmsHome: one separator between the two,
// "\" turned into "/".
std::string fccLaunchScriptPath(const std::string& fmsHome, const std::string& scriptName);

// A refusal to trust what another local user could control (the pipe
// folder, a pipe's server): one line in the trace, and the calling thread's
// last error unless it has one already.
void fccReportDistrust(const std::string& text);

// Whether the launch script at path may be run: a regular file that no
// other user may have written (Os::isTrustedFile). A refusal is reported
// like a distrusted pipe folder, and on standard error, with the path and
// the reason; a missing script is not.
bool fccIsTrustedLaunchScript(const std::string& path);

// The socket path of a pipe name; empty when there is none. A refused pipe
// folder is reported with its name and the reason.
std::string fccPipePath(const std::string& pipeName);

// Connects pipe to a secondary pipe that the server at the master pipe
// hands out, waiting at most replyWait milliseconds for its name. Absent:
// nobody took the connection, or what followed failed; Silent: the master
// pipe took it and named nothing in time. A pipe served by another user is
// not used (and reported): to the client it is no server at all.
enum class FccMasterPipe { Connected, Absent, Silent };
FccMasterPipe FccReachMasterPipe(Platform::Os::MessagePipe& pipe, const std::string& masterPipeName,
                                 std::uint32_t replyWait);
// The same with the set-up bound for the name; false unless connected.
bool FccConnectPipe(Platform::Os::MessagePipe& pipe, const std::string& masterPipeName);

// Reads from the current message of the record's pipe up to count bytes:
// the number read (at least 1) or a negative status; failures that leave
// the pipe unusable close it.
int FccReadPipe(FccConnection& record, std::size_t count, void* buffer);

// Connects the record's pipe when it is closed: retries, launches the
// server when nothing answers, and runs the version check on a new pipe.
// 0 also when a launched server did not open its pipe in time (the pipe
// then stays closed). Waiting for a server that is there (its master pipe,
// the version check) takes at most the set-up bound in all, and a master
// pipe that stays silent is not tried again: ERR_FMSCP_NO_CACHE. The
// Locked form holds the connect lock while it reaches the master pipe, so
// that one thread at a time talks to it or starts the server; a thread
// that does not get the lock within the same bound gives up with
// ERR_FMSCP_NO_CACHE. No other lock is taken.
int FccConnectProxy(FccConnection* record);
int FccConnectProxyLocked(FccConnection* record);

// Sends count bytes as one message, connecting first when the pipe is
// closed (the bytes sent are the caller's, also when they lie in the
// record's request buffer, which the connect's version check uses): the
// count sent, ERR_FMSCP_THREAD_COUNT or ERR_FMSCP_NO_CACHE (a failed write
// closes the pipe). In the middle of an exchange a closed pipe is not
// connected again: ERR_FMSCP_NO_CACHE.
int FccSendRequest(FccConnection* record, const void* buffer, std::size_t count);

// Closes the record's pipe, with its trace lines.
void FccCloseProxy(FccConnection& record);

// Starts the server through the launch script: 0 with its process ID, or
// ERR_FMSCP_START_FAILED. The servers launched before that have ended are
// waited for first. The script is checked again right before it is run
// (fccIsTrustedLaunchScript): what is run is what was checked, since only
// its owner or root could have changed it in between.
int FccLaunchServer(long* processId);

// Waits for the servers this process launched that have ended (termination
// does, so that none stays a zombie); only those, never another child of
// the application.
void FccReapLaunchedServers();

// Whether the process still runs; reports on standard output and in the
// trace when it does not.
bool FccIsProcessAlive(long processId);

}  // namespace Quillomark::Fcc
