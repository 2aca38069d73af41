// Downloads, uploads and rollbacks of registered files. Each file is
// opened on the server for the one exchange that moves it and closed again.
// No lock is held while an exchange runs, so progress callbacks may call
// the interface.

#include <fcc/internal/FccErrors.hxx>
#include <fcc/internal/FccFileNames.hxx>
#include <fcc/internal/FccSelfProxy.hxx>
#include <fcc/pipe/internal/FccProtocol.hxx>
#include <fcc/runtime/internal/FccRuntime.hxx>
#include <fcc/selfproxy/internal/FccFileRecord.hxx>
#include <fcc/selfproxy/internal/SelfProxyState.hxx>
#include <fcc/selfproxy/internal/TicketRegistry.hxx>

#include <platform/os/internal/Environment.hxx>

#include <memory>
#include <new>
#include <string>
#include <vector>

namespace Quillomark::Fcc::SelfProxy {

namespace {

// Opens the file of a registered ticket on the server, without asking the
// fast cache, moves it with the exchange and closes it again, also when the
// thread is cancelled in a progress callback. The ticket stays held
// throughout: progress reports name it by its handle.
template <typename Exchange>
int transfer(const char* handle, Exchange exchange) {
    // Held throughout, so that a termination meanwhile leaves the pipe to
    // this transfer until it is done.
    const FccConnectionRef connection = FccGetThreadConnection();
    TicketReference ticket = findTicket(handle);
    if (!ticket) return FmsErrorCode(ERR_FMSCP_BAD_TICKET);
    FccFile* record = nullptr;
    if (const int status = newFileRecord(ticket, &record)) return status;
    std::unique_ptr<FccFile, ClosedAndFreed> file(record);
    const int serverHandle = FccOpenExchange(file->server);
    const int status = serverHandle < 0 ? serverHandle : exchange(file->server);
    file.reset();
    return FmsErrorCode(status);
}

int downloadOne(const char* policy, const char* handle, FccProgressCallback callback,
                void* callbackData, char** path) {
    if (!policy) return FmsErrorCode(ERR_FMSCP_BAD_ARG);
    if (!handle) return FmsErrorCode(ERR_FMSCP_BAD_TICKET);
    if (!path) return FmsErrorCode(ERR_FMSCP_BAD_ARG);
    *path = nullptr;
    return transfer(handle, [&](FccServerFile& file) {
        return FccFileExchange(file, path, policy, callback, callbackData);
    });
}

// The server works in a folder of its own: the folders and paths that the
// application names are sent as it means them, a relative one (or no
// folder at all) in its current folder. Empty when that cannot be told.
std::string applicationPath(const char* path) {
    return path && *path ? Platform::Os::absolutePath(path) : Platform::Os::currentFolder();
}

bool isFileName(const char* fileName) { return fileName && fccIsFileName(fileName); }

int downloadOneToLocation(const char* policy, const char* handle, FccProgressCallback callback,
                          void* callbackData, const char* directory, const char* fileName) {
    if (!policy) return FmsErrorCode(ERR_FMSCP_BAD_ARG);
    if (!handle) return FmsErrorCode(ERR_FMSCP_BAD_TICKET);
    // A name that would put the file outside the folder is refused.
    if (!isFileName(fileName)) return FmsErrorCode(ERR_FMSCP_BAD_ARG);
    const std::string folder = applicationPath(directory);
    if (folder.empty()) return FmsErrorCode(ERR_FMSCP_BAD_ARG);
    return transfer(handle, [&](FccServerFile& file) {
        return FccLocationExchange(file, policy, callback, callbackData, folder.c_str(), fileName);
    });
}

// The volume ID is made with the pair (the one in force when the entry
// began). A caller that does not want it gets no copy, so that no lack of
// memory for one takes back its upload.
int uploadOne(const char* handle, FccProgressCallback callback, void* callbackData,
              const char* filePath, char** volumeId, const FccAllocator& pair) {
    if (!handle) return FmsErrorCode(ERR_FMSCP_BAD_TICKET);
    if (!filePath || !*filePath) return FmsErrorCode(ERR_FMSCP_BAD_ARG);
    const std::string path = applicationPath(filePath);
    if (path.empty()) return FmsErrorCode(ERR_FMSCP_BAD_ARG);
    if (volumeId) *volumeId = nullptr;
    return transfer(handle, [&](FccServerFile& file) {
        return FccUploadExchange(file, path.c_str(), callback, callbackData, volumeId, pair);
    });
}

int rollbackOne(const char* handle, const char* volumeId) {
    if (!handle) return FmsErrorCode(ERR_FMSCP_BAD_TICKET);
    return transfer(handle, [&](FccServerFile& file) {
        return FccRollbackExchange(file, volumeId ? volumeId : "");
    });
}

void markNotExecuted(int count, int* statuses) {
    for (int i = 0; i < count; ++i) statuses[i] = ERR_FMSCP_NOT_EXECUTED;
}

// One file of a batch: memory that runs out in it is that file's failure,
// after which the batch goes on as after any other (taking back what it
// uploaded, or going on with the next file), and lets go of what it holds.
template <typename Step>
int oneOfTheBatch(Step step) {
    try {
        return step();
    } catch (const std::bad_alloc&) {
        return FmsErrorCode(ERR_FMSCP_OUT_OF_MEMORY);
    }
}

}  // namespace

int FCC_DownloadFileFromPLM(const char* policy, const char* handle, FccProgressCallback callback,
                            void* callbackData, char** path) {
    const Entry entry;
    if (const int status = entry.status()) return status;
    return downloadOne(policy, handle, callback, callbackData, path);
}

int FCC_DownloadFilesFromPLM(const char* policy, int count, char** handles,
                             FccProgressCallback callback, void* callbackData, char** paths,
                             int* statuses) {
    const Entry entry;
    if (const int status = entry.status()) return status;
    if (count <= 0) return FmsErrorCode(ERR_FMSCP_BAD_ARG);
    if (!handles) return FmsErrorCode(ERR_FMSCP_BAD_TICKET);
    if (!paths || !statuses) return FmsErrorCode(ERR_FMSCP_BAD_ARG);
    for (int i = 0; i < count; ++i) paths[i] = nullptr;
    markNotExecuted(count, statuses);
    for (int i = 0; i < count; ++i) {
        statuses[i] = oneOfTheBatch(
            [&] { return downloadOne(policy, handles[i], callback, callbackData, &paths[i]); });
        if (statuses[i] < 0) return statuses[i];
    }
    return FCC_OK;
}

int FCC_DownloadFileToLocation(const char* policy, const char* handle, FccProgressCallback callback,
                               void* callbackData, const char* directory, const char* fileName) {
    const Entry entry;
    if (const int status = entry.status()) return status;
    return downloadOneToLocation(policy, handle, callback, callbackData, directory, fileName);
}

int FCC_DownloadFilesToLocation(const char* policy, int count, char** handles,
                                FccProgressCallback callback, void* callbackData,
                                const char* directory, const char** fileNames, int* statuses) {
    const Entry entry;
    if (const int status = entry.status()) return status;
    if (!policy || count < 1) return FmsErrorCode(ERR_FMSCP_BAD_ARG);
    if (!handles) return FmsErrorCode(ERR_FMSCP_BAD_TICKET);
    if (!fileNames || !statuses) return FmsErrorCode(ERR_FMSCP_BAD_ARG);
    markNotExecuted(count, statuses);
    // A bad name refuses the batch before any of its files moves.
    for (int i = 0; i < count; ++i) {
        if (!isFileName(fileNames[i])) {
            statuses[i] = ERR_FMSCP_BAD_ARG;
            return FmsErrorCode(ERR_FMSCP_BAD_ARG);
        }
    }
    // One folder for all, as the application's current folder is now.
    const std::string folder = applicationPath(directory);
    for (int i = 0; i < count; ++i) {
        statuses[i] = oneOfTheBatch([&] {
            return downloadOneToLocation(policy, handles[i], callback, callbackData, folder.c_str(),
                                         fileNames[i]);
        });
        if (statuses[i] < 0) return statuses[i];
    }
    return FCC_OK;
}

int FCC_UploadFileToPLM(const char* handle, FccProgressCallback callback, void* callbackData,
                        const char* filePath, char** volumeId) {
    const Entry entry;
    if (const int status = entry.status()) return status;
    return uploadOne(handle, callback, callbackData, filePath, volumeId, fccAllocator());
}

int FCC_UploadFilesToPLM(int count, char** handles, FccProgressCallback callback,
                         void* callbackData, const char** filePaths, int continueOnError,
                         char** volumeIds, int* statuses) {
    const Entry entry;
    if (const int status = entry.status()) return status;
    if (count < 1) return FmsErrorCode(ERR_FMSCP_BAD_ARG);
    if (!handles) return FmsErrorCode(ERR_FMSCP_BAD_TICKET);
    if (!filePaths || !statuses) return FmsErrorCode(ERR_FMSCP_BAD_ARG);
    markNotExecuted(count, statuses);
    if (volumeIds) {
        for (int i = 0; i < count; ++i) volumeIds[i] = nullptr;
    }
    // The volume IDs are copied for the caller's array, which owns them,
    // or kept for the rollback of a batch that stops: which takes back the
    // files before the one that failed, so never needs the last file's.
    // No other ID is copied, so that no lack of memory for one takes back
    // an upload.
    const FccAllocator pair = fccAllocator();
    std::vector<char*> kept(static_cast<std::size_t>(count), nullptr);
    const auto release = [&] {
        if (volumeIds) return;
        for (char* volumeId : kept) pair.free(volumeId);
    };

    int failed = 0;
    for (int i = 0; i < count; ++i) {
        statuses[i] = oneOfTheBatch([&] {
            const bool needed = volumeIds || (!continueOnError && i + 1 < count);
            return uploadOne(handles[i], callback, callbackData, filePaths[i],
                             needed ? &kept[i] : nullptr, pair);
        });
        if (volumeIds) volumeIds[i] = kept[i];
        if (statuses[i] == FCC_OK) continue;
        if (continueOnError) {
            ++failed;
            FccSaveLastError();
            continue;
        }
        // Stopped: what was uploaded before the failed file is taken back.
        // An upload whose rollback fails stays on the server: its status
        // becomes the rollback's code.
        FccSaveLastError();
        for (int done = 0; done < i; ++done) {
            const int undone =
                oneOfTheBatch([&] { return rollbackOne(handles[done], kept[done]); });
            if (undone != FCC_OK) statuses[done] = undone;
        }
        FccRestoreLastError();
        release();
        return FmsErrorCode(statuses[i]);
    }
    FccRestoreLastError();
    release();
    return failed;
}

int FCC_RollbackFileUploadedToPLM(const char* handle, const char* volumeId) {
    const Entry entry;
    if (const int status = entry.status()) return status;
    return rollbackOne(handle, volumeId);
}

int FCC_RollbackFilesUploadedToPLM(int count, char** handles, const char** volumeIds,
                                   int* statuses) {
    const Entry entry;
    if (const int status = entry.status()) return status;
    if (count < 1) return FmsErrorCode(ERR_FMSCP_BAD_ARG);
    if (!handles) return FmsErrorCode(ERR_FMSCP_BAD_TICKET);
    if (!statuses) return FmsErrorCode(ERR_FMSCP_BAD_ARG);
    markNotExecuted(count, statuses);
    int failed = 0;
    for (int i = 0; i < count; ++i) {
        statuses[i] = oneOfTheBatch(
            [&] { return rollbackOne(handles[i], volumeIds ? volumeIds[i] : nullptr); });
        if (statuses[i] < 0) {
            ++failed;
            FccSaveLastError();
        }
    }
    FccRestoreLastError();
    return failed;
}

}  // namespace Quillomark::Fcc::SelfProxy
