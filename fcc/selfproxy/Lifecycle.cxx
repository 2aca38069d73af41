// Initialisation and termination of the library's own file-cache interface,
// and the entries that need no ticket.

#include <fcc/internal/FccEntryTable.hxx>
#include <fcc/internal/FccErrors.hxx>
#include <fcc/internal/FccSelfProxy.hxx>
#include <fcc/pipe/internal/FccProtocol.hxx>
#include <fcc/pipe/internal/FccTransport.hxx>
#include <fcc/runtime/internal/FccRuntime.hxx>
#include <fcc/selfproxy/internal/FastCacheClient.hxx>
#include <fcc/selfproxy/internal/FccFileRecord.hxx>
#include <fcc/selfproxy/internal/SelfProxyState.hxx>
#include <fcc/selfproxy/internal/TicketRegistry.hxx>

#include <platform/os/internal/Forks.hxx>
#include <platform/os/internal/Threads.hxx>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <set>
#include <string>

namespace Quillomark::Fcc {

namespace {

std::atomic<int> lastInitError{ERR_FMSCP_NOT_INITIALIZED};
// The error that the last failed initialisation recorded, which may say
// more than its code's name (a refused pipe folder, and why); null when the
// last initialisation did not fail.
std::atomic<const char*> lastInitErrorText{nullptr};
int referenceCount = 0;  // under the init lock

// The set-up of the interface by an FCC_Init (and the trial of
// FCC_IsFCCEnabled) and its ending by the last FCC_Term, which hold the
// init lock while they wait for the server. A child forked meanwhile starts
// the interface afresh: the tickets and files that a session being ended
// still held at the fork go at the child's next set-up. A fork does not
// wait for it: the step waits for the server and starts programs.
Platform::Os::ForkRegion settingUpOrEnding;
std::atomic<bool> leftByParentsSession{false};

// What FCC_GetLastError tells a child that the interface refuses.
const char* const REFUSED_FOR_FORK =
    "The file-cache interface cannot be used in a process forked while another thread of its "
    "parent was changing its registered tickets: that change may be half done. Run a new "
    "program in the child to move files.";
const char* const REFUSED_WITHOUT_MEMORY =
    "The file-cache interface cannot be used in a process forked without the memory to set "
    "itself up there. Run a new program in the child to move files.";

// FCC_GetLastError hands the text out with no one to free it: each distinct
// text is kept for the rest of the process (there are few of them), and
// never destroyed, so that what the application runs at its exit may still
// read it.
struct KeptTexts {
    std::mutex mutex;
    std::set<std::string> texts;
};

Platform::Os::ProcessObject<KeptTexts> keptInForce;

// A forked child whose copy of the lock was held (by a thread it does not
// have) keeps its texts anew; the copies stay, as texts handed out may
// still be read.
void makeKeptTextsInChild() {
    KeptTexts* const parents = keptInForce.ifMade();
    if (parents && Platform::Os::heldAtFork(parents->mutex))
        Platform::Os::replaceInChild(keptInForce.slot(), new KeptTexts);
}

QMSOA_IN_CHILD_AFTER_FORK(keptTextsInChild, makeKeptTextsInChild);

const char* keptText(const char* text) {
    if (!text) return nullptr;
    KeptTexts& kept = *keptInForce;
    std::lock_guard<std::mutex> guard(kept.mutex);
    return kept.texts.insert(text).first->c_str();
}

// Without memory to keep the text, the code alone is kept.
void setLastInitError(int code, const char* text = nullptr) {
    try {
        lastInitErrorText = keptText(text);
    } catch (const std::bad_alloc&) {
        lastInitErrorText = nullptr;
    }
    lastInitError = code;
}

// Termination holds the init lock: a silent server must not hold it for
// ever.
void closeOnServer(FccFile* file) { FccCloseExchange(file->server, true); }

int connectCallingThread() {
    FccConnectionRef record = FccGetThreadConnection();
    if (!record) return record.status();
    return FccConnectProxyLocked(record.get());
}

void openFastCacheEarly() {
    if (std::getenv("FCC_PROXY_OPEN_CACHE_EARLY") == nullptr) return;
    std::printf(
        "\n***** NOTICE: FCC_PROXY_OPEN_CACHE_EARLY is set, attempting to open the FMS fast "
        "cache. *****\n");
    // Not under the main lock: the attach waits for the server.
    const int result = checkInitFMSC();
    std::printf("\n***** checkInitFMSC() returned: %d *****\n", result);
    std::fflush(stdout);
}

}  // namespace

void fccMakeSelfProxyObjects() {
    FccInitLocks();
    fccMakeConnectionTable();
    fccMakeConfiguration();
    fccMakeLaunchedServers();
    keptInForce.get();
    makeFileRecordCells();
    makeTicketRegistry();
    fccMakeFastCacheClientLocks();
    Platform::Os::makeThreadRegistry();
}

bool selfProxyInitialized() { return fccSessionInForce() != 0; }

bool fccStartAfreshInChild() {
    if (!settingUpOrEnding.inUseAtLastFork()) return false;
    referenceCount = 0;
    fccForgetSessionsInChild();
    lastInitError = ERR_FMSCP_NOT_INITIALIZED;
    lastInitErrorText = nullptr;
    leftByParentsSession = true;
    return true;
}

int lastInitializationError() { return lastInitError.load(); }

Entry::Entry(bool clearLastError)
    : session(fccSessionInForce()),
      scope(session),
      failure(fccUnusableAfterFork() ? ERR_FMSCP_NOT_SUPPORTED
              : session != 0         ? FCC_OK
                                     : ERR_FMSCP_NOT_INITIALIZED) {
    if (failure == FCC_OK && clearLastError) SelfProxy::FmsClearLastError();
}

namespace SelfProxy {

int FCC_Init(FccAllocFunction alloc, FccReleaseFunction release) {
    const FccInitLockGuard guard;
    if (!guard) return ERR_FMSCP_NOT_SUPPORTED;
    if (selfProxyInitialized()) {
        ++referenceCount;
        return FCC_OK;
    }
    const Platform::Os::ForkRegion::Scope settingUp(settingUpOrEnding);
    ++referenceCount;
    if (leftByParentsSession.exchange(false)) {
        releaseAllFileRecords(&closeOnServer);
        releaseAllTickets();
    }
    const std::uint64_t session = fccBeginSession();
    const FccSessionScope working(session);
    setLastInitError(ERR_FMSCP_NOT_INITIALIZED);
    FccSetAllocator(alloc, release);

    int status = FCC_OK;
    // Memory that runs out on the way fails the set-up like any other
    // failure, undone below: the entry is a C function.
    try {
        status = FccRuntimeStart();
        FmsClearLastError();
        if (status == FCC_OK) status = FccReadConfiguration();
        if (status == FCC_OK) status = connectCallingThread();
        if (status == FCC_OK) openFastCacheEarly();
    } catch (const std::bad_alloc&) {
        status = ERR_FMSCP_OUT_OF_MEMORY;
    }
    if (status != FCC_OK) {
        // A failed attempt holds nothing: neither a reference that a later
        // FCC_Term would have to match nor the runtime it started.
        --referenceCount;
        FmsErrorCode(status);
        setLastInitError(status, FccLastErrorText());
        FccCloseAllConnections();
        FccRuntimeStop();
        fccSessionDropped(session);
        return status;
    }

    setLastInitError(FCC_OK);
    fccSessionOpened(session);
    std::printf("FCC Interface Implementation %s(%s) initialized.\n", FCC_INTERFACE_VERSION,
                FCC_INTERFACE_DATE);
    std::fflush(stdout);
    fccTrace("FCC Interface Implementation %s(%s) initialized.\n", FCC_INTERFACE_VERSION,
             FCC_INTERFACE_DATE);
    return FCC_OK;
}

int FCC_Term() {
    const FccInitLockGuard guard;
    if (!guard) return ERR_FMSCP_NOT_SUPPORTED;
    const Entry entry;
    if (const int status = entry.status()) return status;
    if (referenceCount > 1) {
        --referenceCount;
        return FCC_OK;
    }
    const Platform::Os::ForkRegion::Scope ending(settingUpOrEnding);
    --referenceCount;

    // From here on, what the session's entries still running would leave
    // behind is undone by them; what they left so far goes now, through
    // this thread, which works for no session while it cleans up.
    fccEndSession();
    const FccSessionScope cleaningUp(0);
    releaseAllFileRecords(&closeOnServer);
    releaseAllTickets();
    FccCloseAllConnections();
    FmscCloseFastCache();
    FccRuntimeStop();
    FccReapLaunchedServers();
    setLastInitError(ERR_FMSCP_NOT_INITIALIZED);
    fccTrace("FCC Interface Implementation %s(%s) API terminated.\n", FCC_INTERFACE_VERSION,
             FCC_INTERFACE_DATE);
    return FCC_OK;
}

int FCC_IsFCCEnabled(int* enabled) {
    const FccInitLockGuard guard;
    if (!guard) return ERR_FMSCP_NOT_SUPPORTED;
    if (!enabled) {
        return selfProxyInitialized() ? FmsErrorCode(ERR_FMSCP_BAD_ARG) : ERR_FMSCP_BAD_ARG;
    }
    if (selfProxyInitialized()) {
        *enabled = 1;
        return FCC_OK;
    }
    const Platform::Os::ForkRegion::Scope trying(settingUpOrEnding);
    const int trial = FCC_Init(&std::malloc, &std::free);
    FCC_Term();
    *enabled = trial == FCC_OK ? 1 : 0;
    return trial;
}

int FCC_GetLastError(const char** text) {
    if (!text) return ERR_FMSCP_BAD_ARG;
    *text = nullptr;
    if (fccUnusableAfterFork()) {
        *text = Platform::Os::setUpFailedInAFork() ? REFUSED_WITHOUT_MEMORY : REFUSED_FOR_FORK;
        return ERR_FMSCP_NOT_SUPPORTED;
    }
    if (selfProxyInitialized()) {
        *text = FccGetLastErrorText();
        return FCC_OK;
    }
    const char* recorded = lastInitErrorText.load();
    *text = recorded ? recorded : FccErrorCodeName(lastInitializationError());
    return ERR_FMSCP_NOT_INITIALIZED;
}

int FCC_SetLocale(const char* locale) {
    const Entry entry;
    if (const int status = entry.status()) return status;
    if (!locale || strnlen(locale, 256) >= 256) return FmsErrorCode(ERR_FMSCP_BAD_ARG);
    fccSetConfiguredLocale(locale);
    return FmsErrorCode(FccLocaleExchange());
}

int FCC_Echo() {
    const Entry entry(false);
    if (const int status = entry.status()) return status;
    return FccEchoExchange();
}

int FmsClearCache() {
    // Before initialisation there is no configuration to find the server
    // by, so nothing is sent.
    const Entry entry(false);
    if (const int status = entry.status()) return status;
    // The server empties the cache that this process has mapped: the view
    // goes first.
    FmscCloseFastCache();
    return FccClearCacheExchange();
}

}  // namespace SelfProxy

}  // namespace Quillomark::Fcc
