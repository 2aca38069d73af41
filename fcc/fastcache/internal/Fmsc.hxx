#pragma once

// The fast cache's functions, named by their source unit. Each takes the
// cache's handle first and returns 0 or a positive error number.

#include <fcc/fastcache/internal/FmscTypes.hxx>

#include <functional>

namespace Quillomark::Fcc {

// ---- Utilities: errors, reports, paths, mappings --------------------------

// The name of an error number ("**** NO SUCH ERROR CODE *****" for a number
// without one).
const char* FMSCX_ErrorName(int error);

int FMSCX_ReportNullPointer(const char* what, const char* file, const char* function, int line);
int FMSCX_ReportBadSig(const char* what, const char* file, const char* function, int line);
int FMSCX_ReportNullParameter(const char* what, const char* file, const char* function, int line);
int FMSCX_ReportOutOfMemory(const char* what, const char* file, const char* function, int line);
void FMSCX_Traceback(const char* function);
void FMSCX_PrintErrorName(int error);

// While one lives, the reports of the calling thread are not printed (the
// errors are still recorded): for a try whose failure is expected and tells
// the application nothing.
class FmscQuietReports {
public:
    FmscQuietReports();
    ~FmscQuietReports();
    FmscQuietReports(const FmscQuietReports&) = delete;
    FmscQuietReports& operator=(const FmscQuietReports&) = delete;
};

FMSC_ERROR_T* FMSCX_Error_Create();
void FMSCX_Error_Destroy(FMSC_ERROR_T* error);
int FmscErrorSet(FMSC_ERROR_T* error, const char* file, const char* method, int line, int number);
int FmscErrorSetValue(FMSC_ERROR_T* error, const char* file, const char* method, int line,
                      int number, int value);
void FMSCX_PrintError(const FMSC_ERROR_T* error);
void FMSCX_GetOSErrorText(int osError, char* buffer);

// 1 when something is at the path (a link itself, not what it leads to), 0
// when nothing is, else 74.
int FMSCX_OSFileExists(FMSC_ERROR_T* error, const char* path);
// Removes a regular file of the user's at the path (0 when nothing is
// there); what is no such file is left as it is (91), what cannot be
// removed too (19).
int FMSCX_DeleteOSFile(FMSC_ERROR_T* error, const char* path);
// Tells a test's hook (FmscTesting.hxx) that an open, a close, or a
// server's removal or making of an extent file got past a step. Takes no
// memory.
void FMSCX_ReachOpenStep(const char* step);
// The version of the shared files that a cache opened now takes: this
// version's, or the previous one's for a test (setFmscPreviousVersion).
std::int32_t FMSCX_OpeningVersion();
// Whether the handle names the cache's mutex by the cache's name alone, as
// the first builds of version 2 did, for a test (setFmscPreviousVersion).
bool FMSCX_MutexNamedByCacheAlone(const FMSC_FILETOC_T* toc);
// Refuses a cache whose files or shared block are of the version found,
// which is not the handle's: the report names both, and the error is 36
// with the system's error EPROTO.
int FMSCX_RefuseVersion(FMSC_FILETOC_T* toc, std::int32_t found);
// Removes the file when asked; then, when it is missing, writes it anew
// with create, or fails with missingError; one that is there and is not a
// regular file of the user's fails with 91 and is left as it is.
int FMSCX_PrepareFile(FMSC_FILETOC_T* toc, const std::string& path, bool create, bool deleteFile,
                      int missingError, const std::function<int()>& write);
std::string FMSCX_MakeFullPath(const std::string& folder, const std::string& name);
std::string FMSCX_getFilePath(const std::string& folder, const char* name, const char* variable,
                              const char* defaultName);
std::string FMSCX_getGetEnv(const char* value, const char* variable, const char* defaultValue);
// The size of the cache's file at the path: missingError when nothing can
// be examined there, 91 when what is there is no regular file (a link is
// not followed).
int FMSCX_CacheFileSize(FMSC_FILETOC_T* toc, const std::string& path, int missingError,
                        std::int64_t* size);

int FMSCX_MapOSFile(FMSC_FILETOC_T* toc, const std::string& path, const std::string& mapName,
                    bool client, std::int32_t firstSegment, FmscMapping& mapping);
int FMSCX_UnMapOSFile(FMSC_FILETOC_T* toc, FmscMapping& mapping, bool client);
// The bytes of the file that a mapping holds from its data pointer on.
std::uint64_t FMSCX_MappedBytes(const FmscMapping& mapping);
int FMSCX_UnMapOSExtentFile(FMSC_FILETOC_T* toc, FmscMapping& mapping);
// Maps one segment of an open file in place of the current view.
int FMSCX_ReMapOSFile(FMSC_FILETOC_T* toc, bool readOnly, std::int32_t segment,
                      FmscMapping& mapping);

// ---- Meta file and pages --------------------------------------------------

int FMSCX_WriteNewMetaFile(FMSC_FILETOC_T* toc);
int FMSCFile_GetFreePage(FMSC_FILETOC_T* toc, std::int32_t* page);
int FMSCFile_FreeThisPage(FMSC_FILETOC_T* toc, std::int32_t page);
int FMSCFile_AllocatePage(FMSC_FILETOC_T* toc, std::int32_t firstPage, std::int32_t page);
// Whether a page may hold the GUID: 0, else 34 as the page check gives it.
int FMSCX_CheckGuid(FMSC_FILETOC_T* toc, const char* guid);
int FMSCFile_SetFileGuid(FMSC_FILETOC_T* toc, std::int32_t page, const char* guid,
                         std::uint32_t sizeLow, std::uint32_t sizeHigh);
int FMSCFile_AdjustFileSize(FMSC_FILETOC_T* toc, std::int32_t firstPage, std::uint32_t sizeLow,
                            std::uint32_t sizeHigh);
int FMSCFile_Delete(FMSC_FILETOC_T* toc, std::int32_t firstPage);
int FSMCFile_DeleteThisPage(FMSC_FILETOC_T* toc, std::int32_t page);
int FSMCFile_DeleteOldest(FMSC_FILETOC_T* toc);
// On a miss, which walks the whole chain, *chain (when given) gets what the
// walk found of it.
int FMSCFile_FindSegment(FMSC_FILETOC_T* toc, std::int32_t firstPage, std::int32_t block,
                         std::int32_t* page, std::int32_t* segment, std::int32_t* length,
                         FmscChainWalk* chain = nullptr);
// Where a block written to a file goes: the page and the segment of the
// entry that holds it already, else page -1. A block that the file's
// summary says the chain cannot hold is known to be new without a walk;
// otherwise the chain is walked, and a walk that finds no entry makes the
// summary anew, with the page that FMSCFile_AllocateSegment gives the
// entry.
int FMSCFile_PlaceBlock(FMSC_FILETOC_T* toc, std::int32_t firstPage, std::int32_t block,
                        std::int32_t* page, std::int32_t* segment);
int FMSCFile_FindSegments(FMSC_FILETOC_T* toc, std::int32_t firstPage,
                          std::vector<std::int32_t>* blocks);
int FMSCFile_FindNextSegment(FMSC_FILETOC_T* toc, std::int32_t firstPage, std::int32_t block,
                             std::int32_t* found, std::int32_t* length);
int FMSCFile_ReadBlock(FMSC_FILETOC_T* toc, std::int32_t firstPage, std::int32_t block,
                       std::uint8_t* buffer, std::int32_t* length);
// The same for the bytes from offset of the block, at most count of them,
// copied to the start of buffer; length still gets the block's length.
int FMSCFile_ReadBlockPart(FMSC_FILETOC_T* toc, std::int32_t firstPage, std::int32_t block,
                           std::int32_t offset, std::int32_t count, std::uint8_t* buffer,
                           std::int32_t* length);
// The new length of a block that the page holds, written over in its
// segment: the page becomes the most recently used.
int FMSCFile_SetSegmentLength(FMSC_FILETOC_T* toc, std::int32_t page, std::int32_t block,
                              std::int32_t length);
int FMSCFile_AllocateSegment(FMSC_FILETOC_T* toc, std::int32_t firstPage, std::int32_t block,
                             std::int32_t segment, std::int32_t length, bool* outOfPages);
int FSMCFile_LockPage(FMSC_FILETOC_T* toc, std::int32_t page);
int FMSCFile_NextFile(FMSC_FILETOC_T* toc, std::int32_t* iterator, std::int32_t* firstPage);
// Takes out of every page the entries of the segments first to end - 1,
// keeping the order of the others; the segments are not put on the free
// list.
void FMSCX_DropSegments(FMSC_FILETOC_T* toc, std::int32_t first, std::int32_t end);
// Frees every floating page with its segments: taken and given to no file,
// which in a cache that no other server has open is nobody's.
int FMSCX_FreeFloatingPages(FMSC_FILETOC_T* toc);
// Whether a page is the first page of a cached file: 0, else the page's
// error (17, 15, 32 or 40).
int FMSCX_CheckFirstPage(FMSC_FILETOC_T* toc, std::int32_t page);
int FMSCFile_CheckPageConsistency(FMSC_FILETOC_T* toc, std::int32_t page, int expectedType);
int FMSCFile_CheckMetaFile(FMSC_FILETOC_T* toc, int checks);
// The header's counts: each within its bounds, the extent counts agreeing.
int FMSCX_CheckHeaderCounts(FMSC_FILETOC_T* toc);
int FMSCX_CheckHeaderCounts(FMSC_FILETOC_T* toc, const FmscFileHeader& header);
int FMSCFile_PrintPage(FMSC_FILETOC_T* toc, std::int32_t page);
int FMSCFile_PrintMetaFile(FMSC_FILETOC_T* toc);

// Date list.
void FMSCX_InitEmptyDateList(FMSC_FILETOC_T* toc);
void FMSCX_RecordPageDate(FMSC_FILETOC_T* toc, std::int32_t page);
int FSMCX_InsertPageInDateList(FMSC_FILETOC_T* toc, std::int32_t page, std::int32_t date);
int FSMCX_RemovePageFromDateList(FMSC_FILETOC_T* toc, std::int32_t page);
int FMSCX_UpdatePageAccessTime(FMSC_FILETOC_T* toc, std::int32_t page);
int FSMCX_SortTheDateList(FMSC_FILETOC_T* toc);
// The date list made anew from the pages' dates, as an open makes it, after
// a holder of the cache's lock died: a reader moves each page it reads to
// the newest end, and one that died half way left the page off the list or
// the list's end behind it. Allocates; left as it was when that fails.
void FMSCX_MendDateList(FMSC_FILETOC_T* toc);
int FSMCX_RemovePageFromFilePageList(FMSC_FILETOC_T* toc, std::int32_t page);

// ---- Hash file ------------------------------------------------------------

int FMSCX_WriteNewHashFile(FMSC_FILETOC_T* toc, const std::string& path);
int FMSCHash_Open(FMSC_FILETOC_T* toc, const char* folder, const char* name, bool create,
                  bool deleteFiles, bool attach);
int FMSCHash_Entry(FMSC_FILETOC_T* toc, const char* guid, std::uint32_t* bucket);
int FMSCHash_FindFile(FMSC_FILETOC_T* toc, const char* guid, std::int32_t* firstPage);
int FMSCHash_AddPage(FMSC_FILETOC_T* toc, const char* guid, std::uint32_t sizeLow,
                     std::uint32_t sizeHigh, std::int32_t* firstPage);
int FMSCHash_DeleteFile(FMSC_FILETOC_T* toc, const char* guid);
int FMSCHash_DeleteEntry(FMSC_FILETOC_T* toc, std::int32_t firstPage);
int FMSCHash_UpdateEntry(FMSC_FILETOC_T* toc, std::int32_t page);
int FMSCHash_AdjustFileSize(FMSC_FILETOC_T* toc, const char* guid, std::uint32_t sizeLow,
                            std::uint32_t sizeHigh);
int FMSCHash_HashCollisionLength(FMSC_FILETOC_T* toc, const char* guid, std::int32_t* count);
int FMSCHash_HashEntryFirstPage(FMSC_FILETOC_T* toc, const char* guid, std::int32_t* page);
int FMSCHash_PrintHashTable(FMSC_FILETOC_T* toc);

// ---- Segments and extent files --------------------------------------------

int FMSCX_WriteNewSegmentFile(FMSC_FILETOC_T* toc, const std::string& path);
int FMSCSegment_Open(FMSC_FILETOC_T* toc, const char* folder, const char* name, bool create,
                     bool deleteFiles, bool attach);
int FMSCXSegment_OpenExtentFile(FMSC_FILETOC_T* toc, bool create, bool deleteFiles, bool attach);
std::string FMSCX_ExtentPath(const FMSC_FILETOC_T* toc, std::int32_t extent);
std::string FMSCX_ExtentMapName(const FMSC_FILETOC_T* toc, std::int32_t extent);
int FMSCSegment_AddExtentFileRecord(FMSC_FILETOC_T* toc, bool attach, std::int32_t extent);
int FMSCX_SegmentCreateInitialExtFile(FMSC_FILETOC_T* toc, std::int32_t extent);
// A server's extent file as the store counts it: the file it holds, still
// at its path and holding every segment counted in it. One cut short loses
// the blocks beyond the cut and is made as long again; one removed or
// replaced loses all its blocks and is made anew. Nothing for a client.
int FMSCX_CheckExtentFile(FMSC_FILETOC_T* toc, std::int32_t extent);
// The store's extent counts, read once from the sizing block, which the
// clients of a sharing server can write, and checked against the sizes the
// handle opened with: error 86 (as an open gives for such counts in the
// meta file) for counts that no whole store has. The files before the last
// in use are full.
// Whether extent counts in use are those of a whole store of such extent
// files: the files from 0 to the most, the segments within what they hold,
// those before the last full. Which of the two is wrong, else none.
enum class FmscExtentCounts { Whole, BadFiles, BadSegments };
inline FmscExtentCounts FMSCX_ExtentCounts(std::int32_t files, std::int32_t segments,
                                           std::int32_t segmentsPerExtent, std::int32_t maxFiles) {
    if (files < 0 || files > maxFiles) return FmscExtentCounts::BadFiles;
    const std::int64_t full = std::int64_t(files > 0 ? files - 1 : 0) * segmentsPerExtent;
    if (segments < full || segments > std::int64_t(files) * segmentsPerExtent)
        return FmscExtentCounts::BadSegments;
    return FmscExtentCounts::Whole;
}
struct FmscExtentUse {
    std::int32_t files = 0;
    std::int32_t segments = 0;  // of the extent files
    std::int32_t total = 0;     // of the store, the segment file's included
};
int FMSCX_ExtentUse(FMSC_FILETOC_T* toc, FmscExtentUse* use);
int FMSC_SegmentExpandExtents(FMSC_FILETOC_T* toc);
int FMSCX_SegmentAddExtents(FMSC_FILETOC_T* toc, std::int32_t extent);
int FMSCX_SegmentCloseExtentFile(FMSC_FILETOC_T* toc, std::int32_t extent);
int FMSCSegment_ShrinkTheSegmentExtentFile(FMSC_FILETOC_T* toc, std::int32_t megabytes,
                                           bool shrink);
// The memory a shrink needs, taken before it changes anything, so that an
// entry that runs out of it leaves the cache as it was: the paths of the
// extent files it removes and a mark for each segment the store has.
struct FmscShrink {
    std::vector<std::string> paths;
    std::vector<std::uint8_t> held;
};
int FMSCX_PrepareShrink(FMSC_FILETOC_T* toc, bool shrink, FmscShrink* plan);
// The shrink, with what FMSCX_PrepareShrink took; it allocates nothing.
int FMSCX_ShrinkPrepared(FMSC_FILETOC_T* toc, std::int32_t megabytes, bool shrink,
                         FmscShrink& plan);
int FMSCSegment_WriteSegmentData(FMSC_FILETOC_T* toc, const std::uint8_t* bytes,
                                 std::int32_t segment, std::int32_t length);
int FMSC_SegmentWriteExtent(FMSC_FILETOC_T* toc, const std::uint8_t* bytes, std::int32_t segment,
                            std::int32_t length);
// The address of a segment's bytes in the view of the segment file (57 for
// a segment of an extent file, which has no view).
int FMSCX_SegmentAddress(FMSC_FILETOC_T* toc, std::int32_t segment, std::uint8_t** address);
// A read of length bytes of a segment from offset: a server's of the
// segment file from its view, a client's and any of an extent file from
// the file that holds them.
int FMSCX_ReadSegment(FMSC_FILETOC_T* toc, std::int32_t segment, std::uint8_t* buffer,
                      std::int32_t length, std::int32_t offset = 0);
int FMSCFile_GetFreeSegmentMap(FMSC_FILETOC_T* toc);
int FMSCFile_GetFreeSegment(FMSC_FILETOC_T* toc, std::int32_t* segment);
int FMSCSegment_FreeThisSegment(FMSC_FILETOC_T* toc, std::int32_t page, std::int32_t segment);
// The free-segment list made anew: every segment from `from` to end - 1
// that no page names, marked in held (whose memory the caller set aside).
void FMSCX_RebuildFreeSegments(FMSC_FILETOC_T* toc, std::int32_t from, std::int32_t end,
                               std::vector<std::uint8_t>& held);

// ---- Tables of contents, open, lock ---------------------------------------

int FMSCTOC_Open(FMSC_FILETOC_T** toc);
int FMSCTOC_Close(FMSC_FILETOC_T* toc);
int FMSCSegmentTOC_Open(FMSC_FILETOC_T* toc);
int FMSCSegmentTOC_Close(FMSC_FILETOC_T* toc);
int FMSCHashTOC_Open(FMSC_FILETOC_T* toc);
int FMSCHashTOC_Close(FMSC_FILETOC_T* toc);
int FMSCFile_Open(const char* folder, const char* name, std::int32_t pages, std::int32_t segments,
                  std::int32_t hashPages, std::int32_t extentFiles, std::int32_t megabytesPerExtent,
                  bool create, bool deleteFiles, bool client, bool trace, std::int32_t mode,
                  std::uint32_t waitMilliseconds, FMSC_FILETOC_T** toc, bool* pbNewCache);
int FMSCFile_Close(FMSC_FILETOC_T* toc);
int FSMCFile_AllocateSharedMemoryForStructs(FMSC_FILETOC_T* toc, bool preallocate);
int FMSCIF_UseStructsInSharedMemory(FMSC_FILETOC_T* toc);
// Whether a server's shared block agrees with the files the client opened:
// 0, else 61.
int FMSCX_CheckSharedSizing(FMSC_FILETOC_T* toc, const FMSC_FILESHARED_T* shared);
// Whether a client's mapped files still hold all that is mapped of them: 0,
// else the error of a file that is too short (77, 70 or 44).
int FMSCX_CheckClientFiles(FMSC_FILETOC_T* toc);
// Whether the sizing block in use may be read: not a client's whose files
// are no longer whole.
bool sizingReadable(const FMSC_FILETOC_T* toc);
int FMSCFile_LockCache(FMSC_FILETOC_T* toc, std::uint32_t waitMilliseconds = FMSC_MUTEX_WAIT_MS);
int FMSCFile_UnLockCache(FMSC_FILETOC_T* toc);

}  // namespace Quillomark::Fcc
