#include <fcc/FccException.hxx>
#include <fcc/FccInterface.hxx>
#include <fcc/FccProxy.hxx>
#include <fcc/internal/FccErrors.hxx>
#include <fcc/internal/FccFileNames.hxx>
#include <fcc/internal/ScopedArray.hxx>

#include <platform/os/internal/Environment.hxx>

#include <climits>
#include <cstdlib>
#include <new>

namespace Quillomark::Soa::Client {

namespace {

using Quillomark::Fcc::ScopedArray;
using Quillomark::Platform::Os::environmentValue;

// The ticket policy of every download.
const char* const DOWNLOAD_POLICY = "IMD";

// Strings that the interface hands out (paths, volume ids), made with the
// allocation function the proxy gave it; released with free whatever happens
// to the transfer.
class InterfaceStrings {
public:
    explicit InterfaceStrings(int count) : strings(count), count(count) {}
    ~InterfaceStrings() {
        for (int i = 0; i < count; ++i) std::free(strings[i]);
    }
    InterfaceStrings(const InterfaceStrings&) = delete;
    InterfaceStrings& operator=(const InterfaceStrings&) = delete;

    char** get() const { return strings.get(); }
    std::string at(int index) const { return strings[index] ? strings[index] : ""; }

private:
    ScopedArray<char*> strings;
    int count;
};

// The tickets of one transfer and their handles while they are registered.
// Tickets still registered when the object goes (an exception is on its way)
// are unregistered, and that result is ignored.
class RegisteredTickets {
public:
    explicit RegisteredTickets(std::vector<const char*> tickets)
        : tickets(std::move(tickets)),
          count(static_cast<int>(this->tickets.size())),
          handleArray(count),
          statusArray(count) {}
    ~RegisteredTickets() {
        if (registered) {
            FCC_UnRegisterTickets(count, handleArray.get(), statusArray.get());
        } else if (registrationFailed) {
            unregisterWhatRegistered();
        }
    }
    RegisteredTickets(const RegisteredTickets&) = delete;
    RegisteredTickets& operator=(const RegisteredTickets&) = delete;

    // A failed registration (an error, or a count of tickets that could not
    // be registered) unregisters, once its error has been read, the tickets
    // that it did register: their handles reach nobody else.
    int registerAll() {
        for (int i = 0; i < count; ++i) {
            handleArray[i] = nullptr;
            statusArray[i] = Quillomark::Fcc::ERR_FMSCP_NOT_EXECUTED;
        }
        const int status =
            FCC_RegisterTickets(count, tickets.data(), handleArray.get(), statusArray.get());
        registered = status == 0;
        registrationFailed = !registered;
        return status;
    }

    int unregisterAll() {
        registered = false;
        return FCC_UnRegisterTickets(count, handleArray.get(), statusArray.get());
    }

    int size() const { return count; }
    char** handles() const { return handleArray.get(); }
    int* statuses() const { return statusArray.get(); }

    // Each ticket whose status is not 0, mapped to that status.
    void reportFailures(std::map<std::string, int>& failures) const {
        for (int i = 0; i < count; ++i) {
            if (statusArray[i] != 0) failures[tickets[i]] = statusArray[i];
        }
    }

private:
    // The tickets with a handle and status 0, moved to the front of the
    // handles (nothing else needs them), are unregistered.
    void unregisterWhatRegistered() {
        int left = 0;
        for (int i = 0; i < count; ++i) {
            if (statusArray[i] == 0 && handleArray[i]) handleArray[left++] = handleArray[i];
        }
        if (left > 0) FCC_UnRegisterTickets(left, handleArray.get(), statusArray.get());
    }

    std::vector<const char*> tickets;
    int count;
    ScopedArray<char*> handleArray;
    ScopedArray<int> statusArray;
    bool registered = false;
    bool registrationFailed = false;
};

// The interface counts files in an int.
void checkTransferSize(std::size_t size) {
    if (size > static_cast<std::size_t>(INT_MAX)) {
        throw FccException(Quillomark::Fcc::ERR_FMSCP_BAD_ARG, "Too many files for one transfer");
    }
}

// An argument that names no file as the caller means it is refused before
// any ticket is registered.
void refuseUnless(bool good, const char* what, const std::string& value) {
    if (good) return;
    std::string shown;
    for (const char c : value) {
        if (c == '\0')
            shown += "\\0";
        else
            shown += c;
    }
    throw FccException(Quillomark::Fcc::ERR_FMSCP_BAD_ARG,
                       std::string(what) + " \"" + shown + "\"");
}

bool holdsNul(const std::string& value) { return value.find('\0') != std::string::npos; }

// The tickets of a map from ticket to value, in key order; the values go to
// values in the same order.
std::vector<const char*> ticketsOf(const std::map<std::string, std::string>& map,
                                   std::vector<const char*>& values) {
    checkTransferSize(map.size());
    std::vector<const char*> tickets;
    tickets.reserve(map.size());
    values.reserve(map.size());
    for (const auto& [ticket, value] : map) {
        tickets.push_back(ticket.c_str());
        values.push_back(value.c_str());
    }
    return tickets;
}

}  // namespace

FccProxy::FccProxy() : initialized(false) {
    try {
        int enabled = 0;
        checkResult(FCC_IsFCCEnabled(&enabled));
        if (enabled) initialize();
    } catch (const FccException&) {
        throw;
    } catch (const std::bad_alloc&) {
        throw FccException(Quillomark::Fcc::ERR_FMSCP_OUT_OF_MEMORY);
    } catch (...) {
        throw FccException(-1, "Unknown FCC failure");
    }
}

FccProxy::FccProxy(const FccProxy& other) : initialized(false) {
    if (other.initialized) initialize();
}

FccProxy& FccProxy::operator=(const FccProxy& other) {
    if (this == &other) return *this;
    if (initialized) {
        initialized = false;
        FCC_Term();
    }
    if (other.initialized) initialize();
    return *this;
}

FccProxy::~FccProxy() {
    if (initialized) FCC_Term();
}

void FccProxy::initialize() {
    checkResult(FCC_Init(::malloc, ::free));
    initialized = true;
}

void FccProxy::downloadFiles(const std::vector<std::string>& tickets,
                             std::vector<std::string>& files,
                             std::map<std::string, int>& failures) const {
    failures.clear();
    files.clear();
    if (tickets.empty()) return;
    checkTransferSize(tickets.size());
    std::vector<const char*> ticketStrings;
    ticketStrings.reserve(tickets.size());
    for (const std::string& ticket : tickets) ticketStrings.push_back(ticket.c_str());

    RegisteredTickets batch(std::move(ticketStrings));
    checkResult(batch.registerAll());
    const int count = batch.size();
    InterfaceStrings paths(count);
    checkResult(FCC_DownloadFilesFromPLM(DOWNLOAD_POLICY, count, batch.handles(), nullptr, nullptr,
                                         paths.get(), batch.statuses()));
    files.reserve(count);
    for (int i = 0; i < count; ++i) {
        files.push_back(batch.statuses()[i] == 0 ? paths.at(i) : std::string());
    }
    batch.reportFailures(failures);
    checkResult(batch.unregisterAll());
}

void FccProxy::downloadFilesToLocation(const std::map<std::string, std::string>& ticketsToFileNames,
                                       const std::string& directory,
                                       std::map<std::string, int>& failures) const {
    failures.clear();
    if (ticketsToFileNames.empty()) return;
    refuseUnless(!holdsNul(directory), "Bad download folder", directory);
    for (const auto& entry : ticketsToFileNames) {
        refuseUnless(Quillomark::Fcc::fccIsFileName(entry.second), "Bad file name", entry.second);
    }
    std::vector<const char*> fileNames;
    RegisteredTickets batch(ticketsOf(ticketsToFileNames, fileNames));
    checkResult(batch.registerAll());
    checkResult(FCC_DownloadFilesToLocation(DOWNLOAD_POLICY, batch.size(), batch.handles(), nullptr,
                                            nullptr, directory.c_str(), fileNames.data(),
                                            batch.statuses()));
    batch.reportFailures(failures);
    checkResult(batch.unregisterAll());
}

void FccProxy::uploadFiles(const std::map<std::string, std::string>& ticketsToFilePaths,
                           std::map<std::string, int>& failures) const {
    failures.clear();
    if (ticketsToFilePaths.empty()) return;
    for (const auto& entry : ticketsToFilePaths) {
        refuseUnless(!entry.second.empty() && !holdsNul(entry.second), "Bad upload path",
                     entry.second);
    }
    std::vector<const char*> filePaths;
    RegisteredTickets batch(ticketsOf(ticketsToFilePaths, filePaths));
    checkResult(batch.registerAll());
    {
        InterfaceStrings volumeIds(batch.size());
        const int continueOnError = 1;
        checkResult(FCC_UploadFilesToPLM(batch.size(), batch.handles(), nullptr, nullptr,
                                         filePaths.data(), continueOnError, volumeIds.get(),
                                         batch.statuses()));
    }
    batch.reportFailures(failures);
    checkResult(batch.unregisterAll());
}

void FccProxy::checkResult(int status) {
    if (status == 0) return;
    try {
        throw FccException(status, getErrorText());
    } catch (const std::bad_alloc&) {
        // No memory for the text: the status alone, which needs none.
        throw FccException(status);
    }
}

std::string FccProxy::getErrorText() {
    std::string text = "FMS_HOME=" + environmentValue("FMS_HOME") +
                       "\nJAVA_HOME=" + environmentValue("JAVA_HOME") +
                       "\nJRE_HOME=" + environmentValue("JRE_HOME") + "\n";
    const char* lastError = nullptr;
    // A process that the interface refuses for the way it was forked
    // (-3099) is told why.
    const int status = FCC_GetLastError(&lastError);
    if ((status == 0 || status == Quillomark::Fcc::ERR_FMSCP_NOT_SUPPORTED) && lastError) {
        text += lastError;
    } else {
        text += "Failed to get error from Fcc client";
    }
    return text;
}

}  // namespace Quillomark::Soa::Client
