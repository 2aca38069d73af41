// A stand-in for the file-cache proxy library: it exports the 40 entries of
// the file-cache interface, records every call and answers as the test
// scripts it through the ProxyDouble_ control functions.

#include <fcc/FccInterface.hxx>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#define PROXY_DOUBLE_API extern "C" __attribute__((visibility("default")))

namespace {

struct DoubleState {
    std::mutex mutex;
    std::map<std::string, int> results;
    std::map<int, int> itemStatuses;
    int enabled = 1;
    bool hasLastError = true;
    std::string lastError = "proxy double error";
    FccAllocFunction alloc = ::malloc;
    std::deque<std::string> handles;  // stable addresses for the handed-out handles
    std::string log;
    std::string logCopy;
};

DoubleState& state() {
    static DoubleState* const instance = new DoubleState;
    return *instance;
}

std::string text(const char* value) { return value ? value : "null"; }

std::string list(int count, const char* const* values) {
    std::string joined;
    for (int i = 0; values && i < count; ++i) joined += (i ? "," : "") + text(values[i]);
    return joined;
}

// Records the call and returns the scripted result of the entry.
int answer(const char* entry, const std::string& arguments = "") {
    DoubleState& s = state();
    std::lock_guard<std::mutex> guard(s.mutex);
    s.log += entry;
    if (!arguments.empty()) s.log += "(" + arguments + ")";
    s.log += "\n";
    auto found = s.results.find(entry);
    return found == s.results.end() ? 0 : found->second;
}

int itemStatus(int index) {
    DoubleState& s = state();
    std::lock_guard<std::mutex> guard(s.mutex);
    auto found = s.itemStatuses.find(index);
    return found == s.itemStatuses.end() ? 0 : found->second;
}

char* handOut(const std::string& value) {
    FccAllocFunction alloc;
    {
        std::lock_guard<std::mutex> guard(state().mutex);
        alloc = state().alloc;
    }
    char* copy = static_cast<char*>(alloc(value.size() + 1));
    std::memcpy(copy, value.c_str(), value.size() + 1);
    return copy;
}

char* newHandle(const char* ticket) {
    std::lock_guard<std::mutex> guard(state().mutex);
    state().handles.push_back("h:" + text(ticket));
    return state().handles.back().data();
}

}  // namespace

// Control interface.

PROXY_DOUBLE_API void ProxyDouble_Reset(void) {
    DoubleState& s = state();
    std::lock_guard<std::mutex> guard(s.mutex);
    s.results.clear();
    s.itemStatuses.clear();
    s.enabled = 1;
    s.hasLastError = true;
    s.lastError = "proxy double error";
    s.log.clear();
}

PROXY_DOUBLE_API void ProxyDouble_SetResult(const char* entry, int result) {
    std::lock_guard<std::mutex> guard(state().mutex);
    state().results[entry] = result;
}

// The status of the item at index in the batch transfers.
PROXY_DOUBLE_API void ProxyDouble_SetItemStatus(int index, int status) {
    std::lock_guard<std::mutex> guard(state().mutex);
    state().itemStatuses[index] = status;
}

PROXY_DOUBLE_API void ProxyDouble_SetEnabled(int enabled) {
    std::lock_guard<std::mutex> guard(state().mutex);
    state().enabled = enabled;
}

// Null: FCC_GetLastError hands out no text.
PROXY_DOUBLE_API void ProxyDouble_SetLastError(const char* text) {
    std::lock_guard<std::mutex> guard(state().mutex);
    state().hasLastError = text != nullptr;
    state().lastError = text ? text : "";
}

// One line per call since the last reset: the entry's name and, for most,
// its arguments in parentheses.
PROXY_DOUBLE_API const char* ProxyDouble_CallLog(void) {
    std::lock_guard<std::mutex> guard(state().mutex);
    state().logCopy = state().log;
    return state().logCopy.c_str();
}

// The file-cache interface.

int FCC_IsFCCEnabled(int* enabled) {
    const int result = answer("FCC_IsFCCEnabled");
    if (result == 0 && enabled) {
        std::lock_guard<std::mutex> guard(state().mutex);
        *enabled = state().enabled;
    }
    return result;
}

int FCC_Init(FccAllocFunction alloc, FccReleaseFunction release) {
    const int result = answer(
        "FCC_Init", std::string(alloc ? "alloc" : "null") + "," + (release ? "release" : "null"));
    if (result == 0 && alloc) {
        std::lock_guard<std::mutex> guard(state().mutex);
        state().alloc = alloc;
    }
    return result;
}

int FCC_Term(void) { return answer("FCC_Term"); }

int FCC_SetLocale(const char* locale) { return answer("FCC_SetLocale", text(locale)); }

int FCC_GetLastError(const char** lastError) {
    const int result = answer("FCC_GetLastError");
    std::lock_guard<std::mutex> guard(state().mutex);
    if (lastError) *lastError = state().hasLastError ? state().lastError.c_str() : nullptr;
    return result;
}

int FCC_RegisterTicket(const char* ticket, char** handle) {
    const int result = answer("FCC_RegisterTicket", text(ticket));
    if (result == 0 && handle) *handle = newHandle(ticket);
    return result;
}

// A registration scripted to fail fails the items whose status is set: they
// get no handle.
int FCC_RegisterTickets(int count, const char** tickets, char** handles, int* statuses) {
    const int result = answer("FCC_RegisterTickets", list(count, tickets));
    for (int i = 0; i < count; ++i) {
        statuses[i] = result != 0 ? itemStatus(i) : 0;
        handles[i] = statuses[i] == 0 ? newHandle(tickets[i]) : nullptr;
    }
    return result;
}

int FCC_UnRegisterTicket(const char* handle) {
    return answer("FCC_UnRegisterTicket", text(handle));
}

int FCC_UnRegisterTickets(int count, char** handles, int* statuses) {
    const int result = answer("FCC_UnRegisterTickets", list(count, handles));
    for (int i = 0; i < count; ++i) statuses[i] = 0;
    return result;
}

int FCC_DownloadFileFromPLM(const char* policy, const char* handle, FccProgressCallback, void*,
                            char** path) {
    const int result = answer("FCC_DownloadFileFromPLM", text(policy) + "," + text(handle));
    if (result == 0 && path) *path = handOut("/cache/" + text(handle));
    return result;
}

// Paths are handed out for every item that succeeded, also when the batch
// as a whole reports a failure.
int FCC_DownloadFilesFromPLM(const char* policy, int count, char** handles, FccProgressCallback,
                             void*, char** paths, int* statuses) {
    const int result =
        answer("FCC_DownloadFilesFromPLM", text(policy) + "," + list(count, handles));
    for (int i = 0; i < count; ++i) {
        statuses[i] = itemStatus(i);
        paths[i] = statuses[i] == 0 ? handOut("/cache/" + text(handles[i])) : nullptr;
    }
    return result;
}

int FCC_DownloadFileToLocation(const char* policy, const char* handle, FccProgressCallback, void*,
                               const char* directory, const char* fileName) {
    return answer("FCC_DownloadFileToLocation",
                  text(policy) + "," + text(handle) + "," + text(directory) + "," + text(fileName));
}

int FCC_DownloadFilesToLocation(const char* policy, int count, char** handles, FccProgressCallback,
                                void*, const char* directory, const char** fileNames,
                                int* statuses) {
    const int result =
        answer("FCC_DownloadFilesToLocation", text(policy) + "," + list(count, handles) + "," +
                                                  text(directory) + "," + list(count, fileNames));
    for (int i = 0; i < count; ++i) statuses[i] = itemStatus(i);
    return result;
}

int FCC_UploadFileToPLM(const char* handle, FccProgressCallback, void*, const char* filePath,
                        char** volumeId) {
    const int result = answer("FCC_UploadFileToPLM", text(handle) + "," + text(filePath));
    if (result == 0 && volumeId) *volumeId = handOut("volume:" + text(handle));
    return result;
}

// Volume ids are handed out for every item that succeeded, also when the
// batch as a whole reports a failure.
int FCC_UploadFilesToPLM(int count, char** handles, FccProgressCallback, void*,
                         const char** filePaths, int continueOnError, char** volumeIds,
                         int* statuses) {
    const int result =
        answer("FCC_UploadFilesToPLM", list(count, handles) + "," + list(count, filePaths) + "," +
                                           std::to_string(continueOnError));
    for (int i = 0; i < count; ++i) {
        statuses[i] = itemStatus(i);
        if (volumeIds)
            volumeIds[i] = statuses[i] == 0 ? handOut("volume:" + text(handles[i])) : nullptr;
    }
    return result;
}

int FCC_RollbackFileUploadedToPLM(const char* handle, const char* volumeId) {
    return answer("FCC_RollbackFileUploadedToPLM", text(handle) + "," + text(volumeId));
}

int FCC_RollbackFilesUploadedToPLM(int count, char** handles, const char** volumeIds, int*) {
    return answer("FCC_RollbackFilesUploadedToPLM",
                  list(count, handles) + "," + list(count, volumeIds));
}

int FCC_OpenFile(const char* handle, FccFile**) { return answer("FCC_OpenFile", text(handle)); }
int FCC_RefreshFileTicket(FccFile*, const char* ticket) {
    return answer("FCC_RefreshFileTicket", text(ticket));
}
int FCC_FileSize(FccFile*, std::int64_t*) { return answer("FCC_FileSize"); }
int FCC_GetSeekPointer(FccFile*, std::int64_t*) { return answer("FCC_GetSeekPointer"); }
int FCC_SeekRelative(FccFile*, std::int64_t delta) {
    return answer("FCC_SeekRelative", std::to_string(delta));
}
int FCC_SeekAbsolute(FccFile*, std::int64_t position) {
    return answer("FCC_SeekAbsolute", std::to_string(position));
}
int FCC_ReadBytes(FccFile*, const char* policy, int count, int*, void*) {
    return answer("FCC_ReadBytes", text(policy) + "," + std::to_string(count));
}
int FCC_ScheduleRange(FccFile*, const char* policy, std::int64_t offset, int length) {
    return answer("FCC_ScheduleRange",
                  text(policy) + "," + std::to_string(offset) + "," + std::to_string(length));
}
int FCC_CloseFileHandlePointer(FccFile*) { return answer("FCC_CloseFileHandlePointer"); }
int FCC_Echo(void) { return answer("FCC_Echo"); }
int FCC_GetFileGUID(FccFile*, char**) { return answer("FCC_GetFileGUID"); }
int FmsClearCache(void) { return answer("FmsClearCache"); }
int FmsErrorCode(int code) { return answer("FmsErrorCode", std::to_string(code)); }
void FmsClearLastError(void) { answer("FmsClearLastError"); }
int FmsDeltaMs(FmsClockValue later, FmsClockValue earlier) {
    return answer("FmsDeltaMs", std::to_string(later) + "," + std::to_string(earlier));
}
FmsClockValue FmsClock(void) { return answer("FmsClock"); }
std::uint32_t ThreadId(void) { return static_cast<std::uint32_t>(answer("ThreadId")); }
void FmsSleepMs(std::uint32_t milliseconds) { answer("FmsSleepMs", std::to_string(milliseconds)); }
int GUIDLength(const char* ticket) { return answer("GUIDLength", text(ticket)); }
void synchronize(void) { answer("synchronize"); }
void endSynchronize(void) { answer("endSynchronize"); }
FccThreadHandle FCCStartThread(FccThreadRoutine, void* argument, std::uint32_t*) {
    const int result = answer("FCCStartThread", text(static_cast<const char*>(argument)));
    return reinterpret_cast<FccThreadHandle>(static_cast<std::intptr_t>(result));
}

#ifndef PROXY_DOUBLE_WITHOUT_TERMINATE_THREAD
void FCCTerminateThread(FccThreadHandle, std::uint32_t exitCode) {
    answer("FCCTerminateThread", std::to_string(exitCode));
}
#endif
