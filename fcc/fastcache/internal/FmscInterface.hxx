#pragma once

// The public face of the fast cache: open and close a cache, find a file by
// GUID, read and write its 16384-byte blocks, evict, lock, statistics.

#include <fcc/fastcache/internal/Fmsc.hxx>

namespace Quillomark::Fcc {

int FMSCIF_Open(const char* folder, const char* name, std::int32_t maxFilePages,
                std::int32_t segments, std::int32_t hashBlockPages,
                std::int32_t totalExtentMegabytes, bool create, bool deleteFiles, std::int32_t mode,
                bool trace, FMSC_FILETOC_T** handle);
int FMSCIF_OpenS(const FMSC_OPEN_PARAMS* params, FMSC_FILETOC_T** handle);
// The same, waiting for the cache's lock (taken once while the cache is
// opened) no longer than that instead of FMSC_MUTEX_WAIT_MS.
int FMSCIF_OpenSWithin(const FMSC_OPEN_PARAMS* params, FMSC_FILETOC_T** handle,
                       std::uint32_t waitMilliseconds);
int FMSCIF_Close(FMSC_FILETOC_T** handle);
// The same, waiting for the cache's lock (under which a client counts itself
// off its server's block) no longer than that: a client whose lock is not
// had in time stays counted.
int FMSCIF_CloseWithin(FMSC_FILETOC_T** handle, std::uint32_t waitMilliseconds);
int FMSCIF_AddFile(FMSC_FILETOC_T* toc, const char* guid, std::uint32_t sizeLow,
                   std::uint32_t sizeHigh, std::int32_t* firstPage);
// Whether a page of a cache can hold the GUID: one that none can is no
// cached file's (FMSCIF_FindFile refuses it with 34).
bool FMSCIF_CanHoldGuid(const char* guid);
// firstPage -1 when the file is not cached.
int FMSCIF_FindFile(FMSC_FILETOC_T* toc, const char* guid, std::int64_t* size,
                    std::int32_t* firstPage);
// length -1 when the block is not cached.
int FMSCIF_ReadBlock(FMSC_FILETOC_T* toc, std::int32_t firstPage, std::int32_t block,
                     std::uint8_t* buffer, std::int32_t* length);
// The same, copying only the bytes from offset of the block, at most count
// of them, to the start of buffer; length still gets the block's length.
int FMSCIF_ReadBlockPart(FMSC_FILETOC_T* toc, std::int32_t firstPage, std::int32_t block,
                         std::int32_t offset, std::int32_t count, std::uint8_t* buffer,
                         std::int32_t* length);
int FMSCIF_WriteBlock(FMSC_FILETOC_T* toc, std::int32_t* firstPage, std::int32_t block,
                      const std::uint8_t* bytes, std::int32_t length);
int FMSCIF_WriteData(FMSC_FILETOC_T* toc, std::int32_t* firstPage, std::int32_t firstBlock,
                     const std::uint8_t* bytes, std::int32_t length);
int FMSCIF_DeleteFile(FMSC_FILETOC_T* toc, const char* guid);
int FMSCIF_AdjustFileSize(FMSC_FILETOC_T* toc, const char* guid, std::uint32_t sizeLow,
                          std::uint32_t sizeHigh);
int FMSCIF_DeleteOldest(FMSC_FILETOC_T* toc);
int FSMCIF_DeleteOldestFile(FMSC_FILETOC_T* toc);
int FSMCIF_DeleteThisPage(FMSC_FILETOC_T* toc, std::int32_t page);
int FMSCIF_FindNextSegment(FMSC_FILETOC_T* toc, std::int32_t firstPage, std::int32_t block,
                           std::int32_t* found, std::int32_t* length);
int FMSCIF_NextFile(FMSC_FILETOC_T* toc, std::int32_t* iterator, std::int32_t* firstPage);
// The lock waits FMSC_MUTEX_WAIT_MS, or the wait given, for the cache's
// mutex. Only the thread that took the lock lets it go: an unlock, or a
// close, on another thread while it holds it is refused with 99 and changes
// nothing.
int FMSCIF_LockCache(FMSC_FILETOC_T* toc);
int FMSCIF_LockCacheWithin(FMSC_FILETOC_T* toc, std::uint32_t waitMilliseconds);
int FMSCIF_UnLockCache(FMSC_FILETOC_T* toc);
int FMSCIF_NumClients(FMSC_FILETOC_T* toc, std::int32_t* count);
int FMSCIF_PrintHash(FMSC_FILETOC_T* toc);
int FMSCIF_GetInfo(FMSC_FILETOC_T* toc, FMSC_INFO_T* pInfo);
int FMSCIF_Purge(FMSC_FILETOC_T* toc, bool shrink);
int FMSCIF_ShrinkTheSegmentExtentFile(FMSC_FILETOC_T* toc, std::int32_t megabytes);
int FMSCIF_FindSegments(FMSC_FILETOC_T* toc, std::int32_t firstPage,
                        std::vector<std::int32_t>* blocks);
int FmscPrintInfo(FMSC_FILETOC_T* toc);
int FMSCX_DeleteAPage(FMSC_FILETOC_T* toc, std::int32_t* firstPage);

}  // namespace Quillomark::Fcc
