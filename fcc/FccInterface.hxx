#pragma once

// The file-cache interface: 40 plain functions through which files move
// between the server's volumes and the local file cache. Each call forwards
// to the file-cache proxy library when it is installed under FMS_HOME, and to
// the library's own client otherwise.
//
// Status convention: 0 for success, a negative error code, or, for
// FCC_RegisterTickets, FCC_UploadFilesToPLM and FCC_RollbackFilesUploadedToPLM,
// the number of items that failed; the codes are named in
// <fcc/FccErrorCodes.hxx> (ERR_FMSCP_NOT_SUPPORTED, -3099, and the others,
// and the fast cache's FMSC_ERROR_ numbers, which a call that passes one on
// returns negated). The calling thread's last error text is
// read with FCC_GetLastError; the text it hands out stays valid until the
// thread's next FCC_GetLastError, and no longer than the thread lives.
//
// What the out-parameters receive, and who releases it:
// - The caller releases, with the release function of the pair given to
//   FCC_Init (malloc and free before any was given) that was in force when
//   the call made it: the path of FCC_DownloadFileFromPLM, each path of
//   FCC_DownloadFilesFromPLM, the volume ID of FCC_UploadFileToPLM, each
//   volume ID of FCC_UploadFilesToPLM and the GUID of FCC_GetFileGUID.
//   Where a call leaves one null (a file that failed or was not reached),
//   there is nothing to release.
// - The interface owns, and the caller never releases (neither with free
//   nor with the release function): the text of FCC_GetLastError (above);
//   the ticket handle of FCC_RegisterTicket and each handle of
//   FCC_RegisterTickets, valid until the ticket is unregistered as often as
//   it was registered (FCC_UnRegisterTicket, FCC_UnRegisterTickets) or the
//   last FCC_Term ends the interface; the file of FCC_OpenFile, valid until
//   FCC_CloseFileHandlePointer closes it or the last FCC_Term ends the
//   interface; and the thread handle of FCCStartThread, which names a
//   thread and points to no memory.
// - Plain values written into the caller's memory, with nothing to
//   release: the flag of FCC_IsFCCEnabled, the statuses of the batch calls,
//   the size of FCC_FileSize, the position of FCC_GetSeekPointer, the count
//   and bytes of FCC_ReadBytes and the thread identifier of FCCStartThread.

#include <soa/common/Export.hxx>

#include <cstddef>
#include <cstdint>

extern "C" {

// An open file of the interface; opaque to callers.
typedef struct FccFile FccFile;

typedef void* (*FccAllocFunction)(std::size_t size);
typedef void (*FccReleaseFunction)(void* memory);

// Progress of one file. context is the ticket handle of the file being
// moved, callbackData the caller's value, totalBytes -1 while the size is
// unknown. *continueFlag is 0 on entry; the callback sets it non-zero to let
// the transfer go on, else the transfer is cancelled (-3016).
// A negative result fails the transfer with that code; with the library's
// own client, an exception thrown by the callback cancels the transfer
// (-3016) and goes no further. A transfer so stopped ends with that code
// whatever the server answers, and its callback is not called again; an
// upload that the server finishes all the same stays on the server (its
// volume ID is not read, so it is not rolled back).
typedef int (*FccProgressCallback)(void* context, void* callbackData, std::int64_t bytesDone,
                                   std::int64_t totalBytes, int* continueFlag);

// Milliseconds of wall time from an arbitrary origin.
typedef std::int64_t FmsClockValue;

typedef unsigned (*FccThreadRoutine)(void* argument);
// Null when no thread was started; (FccThreadHandle)-1 is never a thread.
typedef void* FccThreadHandle;

QMSOA_API int FCC_IsFCCEnabled(int* enabled);
QMSOA_API int FCC_Init(FccAllocFunction alloc, FccReleaseFunction release);
QMSOA_API int FCC_Term(void);
QMSOA_API int FCC_SetLocale(const char* locale);
QMSOA_API int FCC_GetLastError(const char** text);
QMSOA_API int FCC_RegisterTicket(const char* ticket, char** handle);
QMSOA_API int FCC_RegisterTickets(int count, const char** tickets, char** handles, int* statuses);
QMSOA_API int FCC_UnRegisterTicket(const char* handle);
QMSOA_API int FCC_UnRegisterTickets(int count, char** handles, int* statuses);
QMSOA_API int FCC_DownloadFileFromPLM(const char* policy, const char* handle,
                                      FccProgressCallback callback, void* callbackData,
                                      char** path);
QMSOA_API int FCC_DownloadFilesFromPLM(const char* policy, int count, char** handles,
                                       FccProgressCallback callback, void* callbackData,
                                       char** paths, int* statuses);
QMSOA_API int FCC_DownloadFileToLocation(const char* policy, const char* handle,
                                         FccProgressCallback callback, void* callbackData,
                                         const char* directory, const char* fileName);
QMSOA_API int FCC_DownloadFilesToLocation(const char* policy, int count, char** handles,
                                          FccProgressCallback callback, void* callbackData,
                                          const char* directory, const char** fileNames,
                                          int* statuses);
QMSOA_API int FCC_UploadFileToPLM(const char* handle, FccProgressCallback callback,
                                  void* callbackData, const char* filePath, char** volumeId);
QMSOA_API int FCC_UploadFilesToPLM(int count, char** handles, FccProgressCallback callback,
                                   void* callbackData, const char** filePaths, int continueOnError,
                                   char** volumeIds, int* statuses);
QMSOA_API int FCC_RollbackFileUploadedToPLM(const char* handle, const char* volumeId);
QMSOA_API int FCC_RollbackFilesUploadedToPLM(int count, char** handles, const char** volumeIds,
                                             int* statuses);
QMSOA_API int FCC_OpenFile(const char* handle, FccFile** file);
QMSOA_API int FCC_RefreshFileTicket(FccFile* file, const char* ticket);
QMSOA_API int FCC_FileSize(FccFile* file, std::int64_t* size);
QMSOA_API int FCC_GetSeekPointer(FccFile* file, std::int64_t* position);
QMSOA_API int FCC_SeekRelative(FccFile* file, std::int64_t delta);
QMSOA_API int FCC_SeekAbsolute(FccFile* file, std::int64_t position);
QMSOA_API int FCC_ReadBytes(FccFile* file, const char* policy, int count, int* bytesRead,
                            void* buffer);
QMSOA_API int FCC_ScheduleRange(FccFile* file, const char* policy, std::int64_t offset, int length);
QMSOA_API int FCC_CloseFileHandlePointer(FccFile* file);
QMSOA_API int FCC_Echo(void);
QMSOA_API int FCC_GetFileGUID(FccFile* file, char** guid);
QMSOA_API int FmsClearCache(void);
QMSOA_API int FmsErrorCode(int code);
QMSOA_API void FmsClearLastError(void);
QMSOA_API int FmsDeltaMs(FmsClockValue later, FmsClockValue earlier);
QMSOA_API FmsClockValue FmsClock(void);
QMSOA_API std::uint32_t ThreadId(void);
QMSOA_API void FmsSleepMs(std::uint32_t milliseconds);
QMSOA_API int GUIDLength(const char* ticket);
QMSOA_API void synchronize(void);
QMSOA_API void endSynchronize(void);
QMSOA_API FccThreadHandle FCCStartThread(FccThreadRoutine routine, void* argument,
                                         std::uint32_t* threadId);
QMSOA_API void FCCTerminateThread(FccThreadHandle thread, std::uint32_t exitCode);

}  // extern "C"
