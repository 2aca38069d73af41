// The exported entries of the file-cache interface. Each forwards its
// arguments unchanged to its slot of the entry table; while the slot is
// empty it returns a fixed result. The entries that may be a process's first
// call of the interface run the loader first.

#include <fcc/FccInterface.hxx>
#include <fcc/internal/FccEntryTable.hxx>
#include <fcc/internal/FccErrors.hxx>

using Quillomark::Fcc::ERR_FMSCP_NOT_INITIALIZED;
using Quillomark::Fcc::fccEntryAs;
using Quillomark::Fcc::FccLoadProxyLibrary;

// The function in the entry's slot, typed as the entry itself.
#define QMSOA_FCC_SLOT_OF(name) fccEntryAs<decltype(&::name)>(Quillomark::Fcc::SLOT_##name)

extern "C" {

int FCC_IsFCCEnabled(int* enabled) {
    const int loaded = FccLoadProxyLibrary();
    if (auto entry = QMSOA_FCC_SLOT_OF(FCC_IsFCCEnabled)) return entry(enabled);
    return loaded;
}

int FCC_Init(FccAllocFunction alloc, FccReleaseFunction release) {
    const int loaded = FccLoadProxyLibrary();
    if (auto entry = QMSOA_FCC_SLOT_OF(FCC_Init)) return entry(alloc, release);
    return loaded;
}

int FCC_Term(void) {
    if (auto entry = QMSOA_FCC_SLOT_OF(FCC_Term)) return entry();
    return 0;
}

int FCC_SetLocale(const char* locale) {
    if (auto entry = QMSOA_FCC_SLOT_OF(FCC_SetLocale)) return entry(locale);
    return ERR_FMSCP_NOT_INITIALIZED;
}

int FCC_GetLastError(const char** text) {
    if (auto entry = QMSOA_FCC_SLOT_OF(FCC_GetLastError)) return entry(text);
    if (text) *text = nullptr;
    return ERR_FMSCP_NOT_INITIALIZED;
}

int FCC_RegisterTicket(const char* ticket, char** handle) {
    if (auto entry = QMSOA_FCC_SLOT_OF(FCC_RegisterTicket)) return entry(ticket, handle);
    return ERR_FMSCP_NOT_INITIALIZED;
}

int FCC_RegisterTickets(int count, const char** tickets, char** handles, int* statuses) {
    if (auto entry = QMSOA_FCC_SLOT_OF(FCC_RegisterTickets)) {
        return entry(count, tickets, handles, statuses);
    }
    return ERR_FMSCP_NOT_INITIALIZED;
}

int FCC_UnRegisterTicket(const char* handle) {
    if (auto entry = QMSOA_FCC_SLOT_OF(FCC_UnRegisterTicket)) return entry(handle);
    return ERR_FMSCP_NOT_INITIALIZED;
}

int FCC_UnRegisterTickets(int count, char** handles, int* statuses) {
    if (auto entry = QMSOA_FCC_SLOT_OF(FCC_UnRegisterTickets)) {
        return entry(count, handles, statuses);
    }
    return ERR_FMSCP_NOT_INITIALIZED;
}

int FCC_DownloadFileFromPLM(const char* policy, const char* handle, FccProgressCallback callback,
                            void* callbackData, char** path) {
    if (auto entry = QMSOA_FCC_SLOT_OF(FCC_DownloadFileFromPLM)) {
        return entry(policy, handle, callback, callbackData, path);
    }
    return ERR_FMSCP_NOT_INITIALIZED;
}

int FCC_DownloadFilesFromPLM(const char* policy, int count, char** handles,
                             FccProgressCallback callback, void* callbackData, char** paths,
                             int* statuses) {
    if (auto entry = QMSOA_FCC_SLOT_OF(FCC_DownloadFilesFromPLM)) {
        return entry(policy, count, handles, callback, callbackData, paths, statuses);
    }
    return ERR_FMSCP_NOT_INITIALIZED;
}

int FCC_DownloadFileToLocation(const char* policy, const char* handle, FccProgressCallback callback,
                               void* callbackData, const char* directory, const char* fileName) {
    if (auto entry = QMSOA_FCC_SLOT_OF(FCC_DownloadFileToLocation)) {
        return entry(policy, handle, callback, callbackData, directory, fileName);
    }
    return ERR_FMSCP_NOT_INITIALIZED;
}

int FCC_DownloadFilesToLocation(const char* policy, int count, char** handles,
                                FccProgressCallback callback, void* callbackData,
                                const char* directory, const char** fileNames, int* statuses) {
    if (auto entry = QMSOA_FCC_SLOT_OF(FCC_DownloadFilesToLocation)) {
        return entry(policy, count, handles, callback, callbackData, directory, fileNames,
                     statuses);
    }
    return ERR_FMSCP_NOT_INITIALIZED;
}

int FCC_UploadFileToPLM(const char* handle, FccProgressCallback callback, void* callbackData,
                        const char* filePath, char** volumeId) {
    if (auto entry = QMSOA_FCC_SLOT_OF(FCC_UploadFileToPLM)) {
        return entry(handle, callback, callbackData, filePath, volumeId);
    }
    return ERR_FMSCP_NOT_INITIALIZED;
}

int FCC_UploadFilesToPLM(int count, char** handles, FccProgressCallback callback,
                         void* callbackData, const char** filePaths, int continueOnError,
                         char** volumeIds, int* statuses) {
    if (auto entry = QMSOA_FCC_SLOT_OF(FCC_UploadFilesToPLM)) {
        return entry(count, handles, callback, callbackData, filePaths, continueOnError, volumeIds,
                     statuses);
    }
    return ERR_FMSCP_NOT_INITIALIZED;
}

int FCC_RollbackFileUploadedToPLM(const char* handle, const char* volumeId) {
    if (auto entry = QMSOA_FCC_SLOT_OF(FCC_RollbackFileUploadedToPLM)) {
        return entry(handle, volumeId);
    }
    return ERR_FMSCP_NOT_INITIALIZED;
}

int FCC_RollbackFilesUploadedToPLM(int count, char** handles, const char** volumeIds,
                                   int* statuses) {
    if (auto entry = QMSOA_FCC_SLOT_OF(FCC_RollbackFilesUploadedToPLM)) {
        return entry(count, handles, volumeIds, statuses);
    }
    return ERR_FMSCP_NOT_INITIALIZED;
}

int FCC_OpenFile(const char* handle, FccFile** file) {
    if (auto entry = QMSOA_FCC_SLOT_OF(FCC_OpenFile)) return entry(handle, file);
    return ERR_FMSCP_NOT_INITIALIZED;
}

int FCC_RefreshFileTicket(FccFile* file, const char* ticket) {
    if (auto entry = QMSOA_FCC_SLOT_OF(FCC_RefreshFileTicket)) return entry(file, ticket);
    return ERR_FMSCP_NOT_INITIALIZED;
}

int FCC_FileSize(FccFile* file, std::int64_t* size) {
    if (auto entry = QMSOA_FCC_SLOT_OF(FCC_FileSize)) return entry(file, size);
    return ERR_FMSCP_NOT_INITIALIZED;
}

int FCC_GetSeekPointer(FccFile* file, std::int64_t* position) {
    if (auto entry = QMSOA_FCC_SLOT_OF(FCC_GetSeekPointer)) return entry(file, position);
    return ERR_FMSCP_NOT_INITIALIZED;
}

int FCC_SeekRelative(FccFile* file, std::int64_t delta) {
    if (auto entry = QMSOA_FCC_SLOT_OF(FCC_SeekRelative)) return entry(file, delta);
    return ERR_FMSCP_NOT_INITIALIZED;
}

int FCC_SeekAbsolute(FccFile* file, std::int64_t position) {
    if (auto entry = QMSOA_FCC_SLOT_OF(FCC_SeekAbsolute)) return entry(file, position);
    return ERR_FMSCP_NOT_INITIALIZED;
}

int FCC_ReadBytes(FccFile* file, const char* policy, int count, int* bytesRead, void* buffer) {
    if (auto entry = QMSOA_FCC_SLOT_OF(FCC_ReadBytes)) {
        return entry(file, policy, count, bytesRead, buffer);
    }
    return ERR_FMSCP_NOT_INITIALIZED;
}

int FCC_ScheduleRange(FccFile* file, const char* policy, std::int64_t offset, int length) {
    if (auto entry = QMSOA_FCC_SLOT_OF(FCC_ScheduleRange)) {
        return entry(file, policy, offset, length);
    }
    return ERR_FMSCP_NOT_INITIALIZED;
}

int FCC_CloseFileHandlePointer(FccFile* file) {
    if (auto entry = QMSOA_FCC_SLOT_OF(FCC_CloseFileHandlePointer)) return entry(file);
    return ERR_FMSCP_NOT_INITIALIZED;
}

int FCC_Echo(void) {
    if (auto entry = QMSOA_FCC_SLOT_OF(FCC_Echo)) return entry();
    return ERR_FMSCP_NOT_INITIALIZED;
}

int FCC_GetFileGUID(FccFile* file, char** guid) {
    if (auto entry = QMSOA_FCC_SLOT_OF(FCC_GetFileGUID)) return entry(file, guid);
    return ERR_FMSCP_NOT_INITIALIZED;
}

int FmsClearCache(void) {
    if (auto entry = QMSOA_FCC_SLOT_OF(FmsClearCache)) return entry();
    return ERR_FMSCP_NOT_INITIALIZED;
}

int FmsErrorCode(int code) {
    if (auto entry = QMSOA_FCC_SLOT_OF(FmsErrorCode)) return entry(code);
    return ERR_FMSCP_NOT_INITIALIZED;
}

void FmsClearLastError(void) {
    if (auto entry = QMSOA_FCC_SLOT_OF(FmsClearLastError)) entry();
}

int FmsDeltaMs(FmsClockValue later, FmsClockValue earlier) {
    FccLoadProxyLibrary();
    if (auto entry = QMSOA_FCC_SLOT_OF(FmsDeltaMs)) return entry(later, earlier);
    return 0;
}

FmsClockValue FmsClock(void) {
    FccLoadProxyLibrary();
    if (auto entry = QMSOA_FCC_SLOT_OF(FmsClock)) return entry();
    return 0;
}

std::uint32_t ThreadId(void) {
    FccLoadProxyLibrary();
    if (auto entry = QMSOA_FCC_SLOT_OF(ThreadId)) return entry();
    return 0;
}

void FmsSleepMs(std::uint32_t milliseconds) {
    FccLoadProxyLibrary();
    if (auto entry = QMSOA_FCC_SLOT_OF(FmsSleepMs)) entry(milliseconds);
}

int GUIDLength(const char* ticket) {
    if (auto entry = QMSOA_FCC_SLOT_OF(GUIDLength)) return entry(ticket);
    return 0;
}

}  // extern "C"

namespace {

// How many synchronize() calls of this thread, not yet ended, found the
// table empty (the loader failed for want of memory, or has no FMS_HOME)
// and took nothing: as many endSynchronize() calls release nothing either,
// also when the table was filled in between, where they would release a
// lock that the thread does not hold.
thread_local int synchronizedWithoutLock = 0;

}  // namespace

extern "C" {

void synchronize(void) {
    FccLoadProxyLibrary();
    if (auto entry = QMSOA_FCC_SLOT_OF(synchronize)) {
        entry();
    } else {
        ++synchronizedWithoutLock;
    }
}

void endSynchronize(void) {
    if (synchronizedWithoutLock > 0) {
        --synchronizedWithoutLock;
        return;
    }
    FccLoadProxyLibrary();
    if (auto entry = QMSOA_FCC_SLOT_OF(endSynchronize)) entry();
}

FccThreadHandle FCCStartThread(FccThreadRoutine routine, void* argument, std::uint32_t* threadId) {
    FccLoadProxyLibrary();
    if (auto entry = QMSOA_FCC_SLOT_OF(FCCStartThread)) return entry(routine, argument, threadId);
    return nullptr;
}

void FCCTerminateThread(FccThreadHandle thread, std::uint32_t exitCode) {
    FccLoadProxyLibrary();
    if (auto entry = QMSOA_FCC_SLOT_OF(FCCTerminateThread)) entry(thread, exitCode);
}

}  // extern "C"
