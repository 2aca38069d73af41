#pragma once

// The library's own implementation of the file-cache interface, used when
// the proxy library is not installed. Each function has the signature of the
// entry of the same name; living in this namespace, none of them is confused
// with the exported entries or with those of a proxy library.

#include <fcc/FccInterface.hxx>

namespace Quillomark::Fcc::SelfProxy {

int FCC_IsFCCEnabled(int* enabled);
int FCC_Init(FccAllocFunction alloc, FccReleaseFunction release);
int FCC_Term(void);
int FCC_SetLocale(const char* locale);
int FCC_GetLastError(const char** text);
int FCC_RegisterTicket(const char* ticket, char** handle);
int FCC_RegisterTickets(int count, const char** tickets, char** handles, int* statuses);
int FCC_UnRegisterTicket(const char* handle);
int FCC_UnRegisterTickets(int count, char** handles, int* statuses);
int FCC_DownloadFileFromPLM(const char* policy, const char* handle, FccProgressCallback callback,
                            void* callbackData, char** path);
int FCC_DownloadFilesFromPLM(const char* policy, int count, char** handles,
                             FccProgressCallback callback, void* callbackData, char** paths,
                             int* statuses);
int FCC_DownloadFileToLocation(const char* policy, const char* handle, FccProgressCallback callback,
                               void* callbackData, const char* directory, const char* fileName);
int FCC_DownloadFilesToLocation(const char* policy, int count, char** handles,
                                FccProgressCallback callback, void* callbackData,
                                const char* directory, const char** fileNames, int* statuses);
int FCC_UploadFileToPLM(const char* handle, FccProgressCallback callback, void* callbackData,
                        const char* filePath, char** volumeId);
int FCC_UploadFilesToPLM(int count, char** handles, FccProgressCallback callback,
                         void* callbackData, const char** filePaths, int continueOnError,
                         char** volumeIds, int* statuses);
int FCC_RollbackFileUploadedToPLM(const char* handle, const char* volumeId);
int FCC_RollbackFilesUploadedToPLM(int count, char** handles, const char** volumeIds,
                                   int* statuses);
int FCC_OpenFile(const char* handle, FccFile** file);
int FCC_RefreshFileTicket(FccFile* file, const char* ticket);
int FCC_FileSize(FccFile* file, std::int64_t* size);
int FCC_GetSeekPointer(FccFile* file, std::int64_t* position);
int FCC_SeekRelative(FccFile* file, std::int64_t delta);
int FCC_SeekAbsolute(FccFile* file, std::int64_t position);
int FCC_ReadBytes(FccFile* file, const char* policy, int count, int* bytesRead, void* buffer);
int FCC_ScheduleRange(FccFile* file, const char* policy, std::int64_t offset, int length);
int FCC_CloseFileHandlePointer(FccFile* file);
int FCC_Echo(void);
int FCC_GetFileGUID(FccFile* file, char** guid);
int FmsClearCache(void);
int FmsErrorCode(int code);
void FmsClearLastError(void);
int FmsDeltaMs(FmsClockValue later, FmsClockValue earlier);
FmsClockValue FmsClock(void);
std::uint32_t ThreadId(void);
void FmsSleepMs(std::uint32_t milliseconds);
int GUIDLength(const char* ticket);
void synchronize(void);
void endSynchronize(void);
FccThreadHandle FCCStartThread(FccThreadRoutine routine, void* argument, std::uint32_t* threadId);
void FCCTerminateThread(FccThreadHandle thread, std::uint32_t exitCode);

}  // namespace Quillomark::Fcc::SelfProxy

namespace Quillomark::Fcc {

// Makes every process-wide object of the own implementation that is not
// made yet (its locks, allocation pair, connection table and monitor's run,
// configuration and its lock, kept texts, launched servers, record and
// handle cells, map of handles, fast-cache client locks, thread registry):
// before the implementation is put in the table, so that none of its
// entries makes one on a first use. Throws std::bad_alloc.
void fccMakeSelfProxyObjects();

}  // namespace Quillomark::Fcc
