#pragma once

// The file-cache interface: 40 plain functions through which files move
// between the server's volumes and the local file cache. Each call forwards
// to the file-cache proxy library when it is installed under FMS_HOME, and to
// the library's own client otherwise.
//
// Status convention: 0 for success, a negative error code, or, for
// FCC_RegisterTickets, FCC_UploadFilesToPLM and FCC_RollbackFilesUploadedToPLM,
// the number of items that failed. The calling thread's last error text is
// read with FCC_GetLastError; the text it hands out stays valid until the
// thread's next FCC_GetLastError, and no longer than the thread lives.
// Strings that the interface hands out are made with the allocation function
// given to FCC_Init and are released by the caller with the matching release
// function.

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
