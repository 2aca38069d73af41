#include <fcc/internal/FccErrors.hxx>
#include <fcc/pipe/internal/FccTransport.hxx>

#include <platform/os/internal/Environment.hxx>
#include <platform/os/internal/Forks.hxx>
#include <platform/os/internal/MessagePipe.hxx>
#include <platform/os/internal/TrustedFile.hxx>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <mutex>

namespace Quillomark::Fcc {

namespace Os = Quillomark::Platform::Os;

namespace {

Os::ProcessObject<std::mutex> configurationLock;
// Guarded by configurationLock. Never destroyed: a thread that opens a file
// or connects a pipe while the process exits still copies it whole.
Os::ProcessObject<FccConfiguration> current;
// Each change of current, which a forked child must not take over half
// done: short, and waited for by a fork.
Os::ForkRegion changingConfiguration{Os::ForkRegion::SHORT_STEP};

std::mutex& configurationMutex() { return *configurationLock; }

// A forked child whose copy of the lock was held (by a thread it does not
// have) makes a lock of its own; when that thread was changing the
// configuration, the child has none (its connects fail), and the copy is
// left as it is in its memory, strings and all.
void makeConfigurationLockInChild() {
    std::mutex* const parents = configurationLock.ifMade();
    if (!parents || !Os::heldAtFork(*parents)) return;
    Os::replaceInChild(configurationLock.slot(), new std::mutex);
    if (changingConfiguration.inUseAtLastFork()) {
        Os::replaceInChild(current.slot(), new FccConfiguration);
    }
}

QMSOA_IN_CHILD_AFTER_FORK(configurationInChild, makeConfigurationLockInChild);

// A whole decimal number of at least the minimum that fits the 32-bit
// sizes the read buffers are kept in; 0 otherwise.
long bufferSizeOf(const std::string& text) {
    if (text.empty()) return 0;
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || end == text.c_str() || value < FCC_MINIMUM_BUFFER_SIZE ||
        value > std::numeric_limits<std::int32_t>::max()) {
        return 0;
    }
    return value;
}

}  // namespace

void fccReportDistrust(const std::string& text) {
    fccTrace("%s\n", text.c_str());
    if (!FccLastErrorText()) FccSetLastErrorText(text.c_str());
}

bool fccIsTrustedLaunchScript(const std::string& path) {
    std::string problem;
    if (Os::isTrustedFile(path, &problem)) return true;
    if (!problem.empty()) {
        const std::string text =
            "The FCC launch script '" + path + "' is not used: " + problem + ".";
        fccReportDistrust(text);
        std::fprintf(stderr, "%s\n", text.c_str());
        std::fflush(stderr);
    }
    return false;
}

std::string fccPipePath(const std::string& pipeName) {
    std::string problem;
    std::string path = Os::pipePath(pipeName, &problem);
    if (path.empty() && !problem.empty()) fccReportDistrust(problem);
    return path;
}

std::string fccLaunchScriptPath(const std::string& fmsHome, const std::string& scriptName) {
    std::string path = fmsHome;
    if (path.back() != '/' && path.back() != '\\') path += '/';
    path += scriptName;
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
}

int FccReadConfiguration() {
    FccConfiguration read;
    read.masterPipeName = FCC_DEFAULT_PIPE_NAME;
    const std::string fmsHome = Os::environmentValue("FMS_HOME");
    if (fmsHome.empty()) {
        fccTrace("WARNING: FMS_HOME environment variable is not set.\n");
        std::printf("FMS ERROR: FMS_HOME environment variable is not set.\n");
        std::fflush(stdout);
        const Os::ForkRegion::Scope changing(changingConfiguration);
        std::lock_guard<std::mutex> guard(configurationMutex());
        *current = read;
        return ERR_FMSCP_NO_FMS_HOME;
    }
    const std::string scriptName = Os::environmentValue("FCC_PROXYEXECNAME");
    const std::string scriptPath =
        fccLaunchScriptPath(fmsHome, scriptName.empty() ? FCC_DEFAULT_SCRIPT_NAME : scriptName);
    // The script checked here is the one launched later, whatever folder
    // the application or the launch is in by then: a relative FMS_HOME is
    // taken from the current folder now.
    read.launchScript = Os::absolutePath(scriptPath);
    read.locale = "Default";
    read.bufferSize = FCC_DEFAULT_BUFFER_SIZE;

    if (read.launchScript.empty() || !fccIsTrustedLaunchScript(read.launchScript)) {
        std::printf("FMS ERROR: FCC launch script '%s' is inaccessible.\n", scriptPath.c_str());
        std::fflush(stdout);
        const Os::ForkRegion::Scope changing(changingConfiguration);
        std::lock_guard<std::mutex> guard(configurationMutex());
        *current = read;
        return ERR_FMSCP_START_SCRIPT;
    }

    const std::string pipeName = Os::environmentValue("FCC_PROXYPIPENAME");
    if (!pipeName.empty()) read.masterPipeName = pipeName;
    if (const long size = bufferSizeOf(Os::environmentValue("FCC_PROXYBUFFERSIZE"))) {
        read.bufferSize = size;
    }
    const std::string locale = Os::environmentValue("FCC_PROXYLOCALE");
    if (!locale.empty()) read.locale = locale;

    fccTrace("Configuration:\n");
    fccTrace("   %s = %s\n", "FCC_PROXYPIPENAME", read.masterPipeName.c_str());
    fccTrace("   %s = %s\n", "FCC_PROXYEXECNAME", read.launchScript.c_str());
    fccTrace("   %s = %ld\n", "FCC_PROXYBUFFERSIZE", read.bufferSize);
    fccTrace("   %s = %s\n", "FCC_PROXYLOCALE", read.locale.c_str());

    // A name that cannot become a local pipe would only fail every connect.
    const bool usable = !fccPipePath(read.masterPipeName).empty();
    const Os::ForkRegion::Scope changing(changingConfiguration);
    std::lock_guard<std::mutex> guard(configurationMutex());
    *current = read;
    return usable ? 0 : ERR_FMSCP_NO_CONFIGURATION;
}

void fccMakeConfiguration() {
    configurationMutex();
    current.get();
}

FccConfiguration fccConfiguration() {
    std::lock_guard<std::mutex> guard(configurationMutex());
    return *current;
}

long fccConfiguredBufferSize() {
    std::lock_guard<std::mutex> guard(configurationMutex());
    return current->bufferSize;
}

void fccSetConfiguredLocale(const std::string& locale) {
    const Os::ForkRegion::Scope changing(changingConfiguration);
    std::lock_guard<std::mutex> guard(configurationMutex());
    current->locale = locale;
}

}  // namespace Quillomark::Fcc
