#include <fcc/fastcache/internal/FmscReport.hxx>
#include <fcc/fastcache/internal/FmscTesting.hxx>

#include <platform/os/internal/Environment.hxx>
#include <platform/os/internal/Forks.hxx>
#include <platform/os/internal/OsError.hxx>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

#define FMSC_UNIT ".\\FMSCUtil.cxx"

namespace Quillomark::Fcc {

namespace Os = Platform::Os;

namespace {

const char* const errorNames[] = {
    "",
    "FMSC_ERROR_OUT_OF_MEMORY",
    "FMSC_ERROR_NULL_POINTER",
    "FMSC_ERROR_BYTE_SIZE_IS_NOT_ONE",
    "FMSC_ERROR_FILE_PAGE_SIZE_IS_WRONG",
    "FMSC_ERROR_METAFILE_HEADER_SIZE_IS_WRONG",
    "FMSC_ERROR_METAFILE_FREE_PAGE_SIZE_IS_WRONG",
    "FMSC_ERROR_METAFILE_ALLOCATED_PAGE_SIZE_IS_WRONG",
    "FMSC_ERROR_METAFILE_PAGE_SIZE_IS_WRONG",
    "FMSC_ERROR_METAFILE_DOES_NOT_EXIST",
    "FMSC_ERROR_METAFILE_FMSC_CANNOT_CREATE_META_FILE",
    "FMSC_ERROR_METAFILE_DOES_NOT_EXIST_AND_CREATE_OPTION_NOT_SPECIFIED",
    "FMSC_ERROR_CANNOT_OPEN_FILE_FOR_MAPPING",
    "FMSC_ERROR_CANNOT_CREATE_MAPPING_OBJECT",
    "FMSC_ERROR_METAFILE_NUMBER_OF_FREE_PAGES_DOESNT_MATCH_HEADER_COUNT",
    "FMSC_ERROR_METAFILE_FREEPAGE_OFFSET_IS_GREATER_THAN_FMSC_MAX_NUMBER_OF_FILE_PAGES",
    "FMSC_ERROR_METAFILE_LINKED_FREEPAGE_COUNT_DOES_NOT_EQUAL_HEADER_COUNT",
    "FMSC_ERROR_METAFILE_FREEPAGE_OFFSET_IS_LESS_THAN_ZERO",
    "FMSC_ERROR_METAFILE_OUT_OF_FREE_PAGES",
    "FMSC_ERROR_METAFILE_CANNOT_DELETE_FILE",
    "FMSC_ERROR_METAFILE_CANNOT_UNMAP_METAFILE",
    "FMSC_ERROR_METAFILE_CANNOT_CLOSE_MEMORY_MAP",
    "FMSC_ERROR_METAFILE_CANNOT_CLOSE_METAFILE",
    "FMSC_ERROR_FILE_MAPPING_OBJECT_ALREADY_EXISTS",
    "FMSC_ERROR_METAFILE_FREEPAGE_OFFSET_IS_NOT_CORRECT",
    "FMSC_ERROR_METAFILE_ATTEMPT_TO_FREE_PAGE_WITH_BAD_OFFSET",
    "FMSC_ERROR_METAFILE_INVALID_PAGE_TYPE_OR_OUT_OF_DISK_SPACE",
    "FMSC_ERROR_METAFILE_SOME_PAGE_IS_NOT_FREE_ALLOCATED_OR_FLOATING",
    "FMSC_ERROR_METAFILE_NEXT_OFFSET_PAGE_DOES_NOT_MATCH_NEXT_PAGE_OFFSET",
    "FMSC_ERROR_METAFILE_FLOATINGPAGE_OFFSET_IS_NOT_CORRECT",
    "FMSC_ERROR_METAFILE_CANNOT_FREE_PAGE_TWICE",
    "FMSC_ERROR_METAFILE_PAGE_MUST_BE_FLOATING_TO_BE_MODIFIED",
    "FMSC_ERROR_METAFILE_PAGE_TYPE_DOES_NOT_MATCH_REQUIRED_TYPE",
    "FMSC_ERROR_METAFILE_BAD_TIME_FIELD",
    "FMSC_ERROR_METAFILE_BAD_GUID_FIELD",
    "FMSC_ERROR_METAFILE_FLOATING_PAGE_SHOULD_NOT_HAVE_SUCCESSORS",
    "FMSC_ERROR_BAD_TYPE_SIG",
    "FMSC_ERROR_FILE_CANNOT_WRITE_EMPTY_INDEX_FILE",
    "FMSC_ERROR_SEGMENT_FMSC_CANNOT_CREATE_SEGMENT_FILE",
    "FMSC_ERROR_METAFILE_NO_MORE_PAGES",
    "FMSC_ERROR_METAFILE_REFERENCED_FILE_PAGE_IS_NOT_FIRST",
    "FMSC_ERROR_SEGMENT_CANNOT_CLOSE_MEMORY_MAP",
    "FMSC_ERROR_SEGMENT_CANNOT_UNMAP_FILE",
    "FMSC_ERROR_SEGMENT_FILE_DOES_NOT_EXIST_AND_CREATE_OPTION_NOT_SPECIFIED",
    "FMSC_ERROR_SEGMENT_FILE_HEADER_IS_WRONG_SIZE",
    "FMSC_ERROR_SEGMENT_FILE_DOES_NOT_EXIST",
    "FMSC_ERROR_SEGMENT_FILE_CANNOT_WRITE_BLANK_SEGMENT_FILE",
    "FMSC_ERROR_SEGMENT_CANNOT_CLOSE_SEGMENT_FILE",
    "FMSC_ERROR_HASH_CANNOT_WRITE_BLANK_HASH_FILE",
    "FMSC_ERROR_HASH_FILE_DOES_NOT_EXIST_AND_CREATE_OPTION_NOT_SPECIFIED",
    "FMSC_ERROR_HASH_FMSC_CANNOT_CREATE_HASH_FILE",
    "FMSC_ERROR_HASH_CANNOT_CLOSE_HASH_FILE",
    "FMSC_ERROR_HASH_CANNOT_CLOSE_MEMORY_MAP",
    "FMSC_ERROR_HASH_CANNOT_UNMAP_FILE",
    "FMSC_ERROR_HASH_PAGE_IS_NOT_IN_THE_HASH_TABLE_ENTRY",
    "FMSC_ERROR_METAFILE_SEGMENT_OFFSET",
    "FMSC_ERROR_METAFILE_FILE_OFFSET",
    "FMSC_ERROR_SEGMENT_BAD_OFFSET",
    "FMSC_ERROR_METAFILE_BAD_SEGMENT_OFFSET",
    "FMSC_ERROR_METAFILE_SEGMENT_LENGTH",
    "FMSC_ERROR_OUT_OF_DATA_SEGMENTS",
    "FMSC_ERROR_IF_BAD_LENGTH",
    "FMSC_ERROR_IF_BAD_FILE_OFFSET",
    "FMSC_ERROR_CORRUPT_FREE_PAGE_LIST",
    "FMSC_ERROR_HASH_FILE_DOES_NOT_EXIST",
    "FMSC_ERROR_METAFILE_BAD_DATE_LIST",
    "FMSC_ERROR_METAFILE_DATE_LIST_IS_NOT_SORTED",
    "FMSC_ERROR_METAFILE_DATE_LIST_COUNT_IS_WRONG",
    "FMSC_ERROR_METAFILE_DATE_LIST_BAD_DATE",
    "FMSC_ERROR_METAFILE_FLOATING_PAGE_SHOULD_NOT_HAVE_PREDECESSORS",
    "FMSC_ERROR_HASH_ENTRY_DOES_NOT_EXIST",
    "FMSC_ERROR_METAFILE_FILE_NOT_IN_HASH_LIST",
    "FMSC_ERROR_METAFILE_FILE_NOT_IN_FILE_PAGE_LIST",
    "FMSC_ERROR_METAFILE_CANNOT_PAGE_IS_NOT_FLOATING",
    "FMSC_ERROR_UTIL_CANNOT_STAT_FILE",
    "FMSC_ERROR_UTIL_BAD_VM_POINTER",
    "FMSC_EROR_NULL_PARAMETER",
    "FMSC_ERROR_METAFILE_MISSING_FILE_PAGE",
    "FMSC_ERROR_FILE_LOCK_PAGE_IS_NOT_LAST_IN_DATE_LIST",
    "FMSC_ERROR_SEGMENT_CLIENT_MAPPED_VIRTUAL_MEMORY_HAS_BAD_SIGNATURE",
    "FMSC_ERROR_CLIENT_CANNOT_MAP_VM_FILE",
    "FMSC_ERROR_METAFILE_INVALID_SEGMENT_OFFSET_IN_FREELIST",
    "FMSC_ERROR_METAFILE_SEGMENT_IS_ALLOCATED_MORE_THAN_ONCE",
    "FMSC_ERROR_METAFILE_SEGMENT_IS_ALLOCATED_AND_IN_THE_FREE_LIST",
    "FMSC_ERROR_METAFILE_SEGMENT_FIRST_AND_LAST_OUT_OF_SYNC",
    "FMSC_ERROR_SEGMENT_FMSC_CANNOT_OPEN_EXTENT_FILE",
    "FMSC_ERROR_FILE_SEGMENT_BEYOND_END_OF_EXTENT_FILE",
    "FMSC_ERROR_METAFILE_PAGE_IS_NOT_IN_THE_DATELIST",
    "FMSC_ERROR_METAFILE_DUPLICATE_SEGMENT_OFFSET",
    "FMSC_ERROR_METAFILE_SEGMENT_BAD_FREE_LIST_COUNT",
    "FMSC_ERROR_METAFILE_SEGMENT_BAD_FREE_LIST_LAST_POINTER",
    "FMSC_ERROR_UTIL_CANNOT_OPEN_FILE",
    "FMSC_ERROR_UTIL_CANNOT_SET_FILE_POINTER",
    "FMSC_ERROR_UTIL_CANNOT_SET_END_OF_FILE",
    "FMSC_ERROR_METAFILE_CANNOT_CREATE_CACHE_MUTEX",
    "FMSC_ERROR_METAFILE_CACHE_MUTEX_ALREADY_EXISTS",
    "FMSC_ERROR_METAFILE_CACHE_MUTEX_TIMED_OUT",
    "FMSC_ERROR_METAFILE_CACHE_ABANDONED",
    "FMSC_ERROR_METAFILE_CACHE_LOCK_IS_NOT_INITIALIZED_WITH_A_LOCK_CALL",
    "FMSC_ERROR_METAFILE_CANNOT_RELEASE_CACHE_LOCK",
    "FMSC_ERROR_METAFILE_CANNOT_OBTAIN_THE_CACHE_LOCK",
    "FMSC_ERROR_METAFILE_CANNOT_OPEN_CACHE_MUTEX",
    "FMSC_ERROR_IF_PREALLOCATED_SEGMENT_FILE_TOO_SMALL_FOR_SHARED_MAP",
    "FMSC_ERROR_CACHE_NOT_CLEANLY_CLOSED",
    "FMSC_ERROR_METAFILE_FREEPAGE_ALSO_IN_DATELIST",
    "FMSC_ERROR_METAFILE_DATELIST_SELFLINK",
    "FMSC_ERROR_METAFILE_INSERT_ALREADY_IN_DATELIST",
    "**** NO SUCH ERROR CODE *****",
    "**** NO SUCH ERROR CODE *****",
    "**** NO SUCH ERROR CODE *****",
    "**** NO SUCH ERROR CODE *****",
};
constexpr int errorNameCount = static_cast<int>(sizeof errorNames / sizeof errorNames[0]);
static_assert(errorNameCount == 111);

// How many FmscQuietReports live on the thread: while one does, no report
// is printed.
thread_local int quietReports = 0;

int report(const char* kind, const char* what, const char* file, const char* function, int line,
           int result) {
    if (quietReports > 0) return result;
    std::printf("***Error: %s: %s:%s:%s:%d\n", kind, what ? what : "", file ? file : "",
                function ? function : "", line);
    std::fflush(stdout);
    return result;
}

void copyText(char (&target)[256], const char* text) {
    std::snprintf(target, sizeof target, "%s", text ? text : "");
}

// Names of the mappings that this process created and has not closed: a
// second creation under a live name fails, as a named mapping would. Never
// destroyed: a cache may be closed by an exit handler that runs after it.
// A forked child whose copy of the lock was held (by a thread it does not
// have) makes a registry of its own, and leaves the copy as it is.
struct MappingRegistry {
    std::mutex lock;
    std::set<std::string> names;
};
Os::ProcessObject<MappingRegistry> registryInForce;

void makeRegistryInChild() {
    MappingRegistry* const parents = registryInForce.ifMade();
    if (parents && Os::heldAtFork(parents->lock))
        Os::replaceInChild(registryInForce.slot(), new MappingRegistry);
}

QMSOA_IN_CHILD_AFTER_FORK(registryInChild, makeRegistryInChild);

bool registerMapping(const std::string& name) {
    if (name.empty()) return true;
    // A child without a registry of its own would take its parent's lock.
    if (Os::setUpFailedInAFork()) return false;
    MappingRegistry& registry = *registryInForce;
    std::lock_guard<std::mutex> guard(registry.lock);
    return registry.names.insert(name).second;
}

void unregisterMapping(std::string& name) {
    if (name.empty()) return;
    if (!Os::setUpFailedInAFork()) {
        MappingRegistry& registry = *registryInForce;
        std::lock_guard<std::mutex> guard(registry.lock);
        registry.names.erase(name);
    }
    name.clear();
}

std::size_t granularity(FMSC_FILETOC_T* toc) {
    if (toc->allocationGranularity == 0) toc->allocationGranularity = Os::allocationGranularity();
    return toc->allocationGranularity;
}

// Maps segmentCount segments from firstSegment of an open file (the rest of
// the file when segmentCount is 0, cut to the file's end when it is
// shorter), the view aligned down to the allocation granularity.
bool mapSegments(FMSC_FILETOC_T* toc, FmscMapping& mapping, std::int32_t firstSegment,
                 std::int32_t segmentCount) {
    std::uint64_t offset = firstSegment < 0 ? 0 : std::uint64_t(firstSegment) * FMSC_SEGMENT_SIZE;
    std::size_t length = segmentCount > 0 ? std::size_t(segmentCount) * FMSC_SEGMENT_SIZE : 0;
    std::int64_t size = Os::mappedFileSize(mapping.fd);
    if (length != 0 && size >= 0 && offset < std::uint64_t(size) &&
        offset + length > std::uint64_t(size))
        length = std::size_t(std::uint64_t(size) - offset);
    std::size_t remainder = std::size_t(offset % granularity(toc));
    std::uint64_t start = offset - remainder;
    if (!Os::mapView(mapping.fd, start, length == 0 ? 0 : remainder + length, true, mapping.view))
        return false;
    mapping.data = static_cast<std::uint8_t*>(mapping.view.base) + remainder;
    return true;
}

}  // namespace

const char* FMSCX_ErrorName(int error) {
    if (error < 0 || error >= errorNameCount) return errorNames[errorNameCount - 1];
    return errorNames[error];
}

int FMSCX_ReportNullPointer(const char* what, const char* file, const char* function, int line) {
    return report("Null Pointer", what, file, function, line, FMSC_ERROR_NULL_POINTER);
}

int FMSCX_ReportBadSig(const char* what, const char* file, const char* function, int line) {
    return report("BadSig", what, file, function, line, FMSC_ERROR_BAD_TYPE_SIG);
}

int FMSCX_ReportNullParameter(const char* what, const char* file, const char* function, int line) {
    return report("Null Parameter", what, file, function, line, FMSC_ERROR_NULL_POINTER);
}

int FMSCX_ReportOutOfMemory(const char* what, const char* file, const char* function, int line) {
    return report("Out of memory", what, file, function, line, FMSC_ERROR_OUT_OF_MEMORY);
}

FmscQuietReports::FmscQuietReports() { ++quietReports; }

FmscQuietReports::~FmscQuietReports() { --quietReports; }

void FMSCX_Traceback(const char* function) {
    if (quietReports > 0) return;
    std::printf("***TRACEBACK: %s\n", function);
    std::fflush(stdout);
}

void FMSCX_PrintErrorName(int error) {
    if (quietReports > 0) return;
    std::printf("***ERROR(%d): %s\n", error, FMSCX_ErrorName(error));
    std::fflush(stdout);
}

FMSC_ERROR_T* FMSCX_Error_Create() { return new FMSC_ERROR_T(); }

void FMSCX_Error_Destroy(FMSC_ERROR_T* error) {
    if (!error) return;
    *error = FMSC_ERROR_T();
    error->signature = 0;
    delete error;
}

namespace {

int recordError(FMSC_ERROR_T* error, const char* file, const char* method, int line, int number,
                const char* text) {
    if (!error)
        return FMSCX_ReportNullPointer("pError", FMSC_UNIT, "FmscErrorSet", __LINE__), number;
    if (error->signature != FMSC_ERROR_T_SIG)
        return FMSCX_ReportBadSig("FMSC_ERROR_T", FMSC_UNIT, "FmscErrorSet", __LINE__), number;
    copyText(error->file, file);
    copyText(error->method, method);
    error->lineNumber = line;
    error->fmscError = number;
    copyText(error->fmscErrorText, text);
    error->osError = Os::lastOsError();
    if (error->osError != 0)
        FMSCX_GetOSErrorText(error->osError, error->osErrorText);
    else
        error->osErrorText[0] = '\0';
    FMSCX_PrintError(error);
    return number;
}

}  // namespace

int FmscErrorSet(FMSC_ERROR_T* error, const char* file, const char* method, int line, int number) {
    return recordError(error, file, method, line, number, FMSCX_ErrorName(number));
}

int FmscErrorSetValue(FMSC_ERROR_T* error, const char* file, const char* method, int line,
                      int number, int value) {
    char text[256];
    std::snprintf(text, sizeof text, "%s:= %d", FMSCX_ErrorName(number), value);
    return recordError(error, file, method, line, number, text);
}

void FMSCX_PrintError(const FMSC_ERROR_T* error) {
    if (!error || quietReports > 0) return;
    std::printf("\n");
    std::printf(
        "***ERROR:     FILE        = %s\n              METHOD      = %s\n              LINENO      "
        "= %d\n",
        error->file, error->method, error->lineNumber);
    if (error->fmscError != 0)
        std::printf("              FMS_ERR(%d) = %s\n", error->fmscError, error->fmscErrorText);
    if (error->osError != 0)
        std::printf("              OS_ERR      = (%d): %s\n", error->osError, error->osErrorText);
    std::fflush(stdout);
}

void FMSCX_GetOSErrorText(int osError, char* buffer) {
    std::string text = Os::osErrorText(osError);
    if (text.empty()) text = "***FormatMessage failed";
    std::snprintf(buffer, 256, "%s", text.c_str());
    if (quietReports > 0) return;
    std::printf("***OSERROR: %s\n", buffer);
    std::fflush(stdout);
}

int FMSCX_OSFileExists(FMSC_ERROR_T* error, const char* path) {
    // A link is looked at itself: one that leads nowhere is there all the
    // same, and a delete removes it, never what it leads to.
    struct stat info {};
    if (::lstat(path, &info) == 0) return 1;
    if (errno == ENOENT || errno == ENOTDIR) return 0;
    Os::setLastOsError(errno);
    return FmscErrorSet(error, FMSC_UNIT, __func__, __LINE__, FMSC_ERROR_UTIL_CANNOT_STAT_FILE);
}

int FMSCX_DeleteOSFile(FMSC_ERROR_T* error, const char* path) {
    int exists = FMSCX_OSFileExists(error, path);
    if (exists != 1) return exists == 0 ? 0 : exists;
    // The cache removes what it makes, a regular file of the user's; what it
    // never makes (a folder, a pipe, a link, another user's file) it leaves
    // as it is, and a link itself is looked at, never what it leads to.
    struct stat info {};
    if (::lstat(path, &info) == 0 && (!S_ISREG(info.st_mode) || info.st_uid != ::geteuid())) {
        Os::setLastOsError(EPERM);
        return FmscErrorSet(error, FMSC_UNIT, __func__, __LINE__, FMSC_ERROR_UTIL_CANNOT_OPEN_FILE);
    }
    if (::unlink(path) != 0) {
        Os::setLastOsError(errno);
        return FmscErrorSet(error, FMSC_UNIT, __func__, __LINE__,
                            FMSC_ERROR_METAFILE_CANNOT_DELETE_FILE);
    }
    return 0;
}

namespace {

std::atomic<Testing::FmscOpenStep> openStep{nullptr};

// The file's own name, for a step's name.
std::string baseName(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

void Testing::setFmscOpenStep(FmscOpenStep step) { openStep.store(step); }

namespace {

std::atomic<bool> openAsPreviousVersion{false};
std::atomic<bool> previousNamesByFolder{false};

}  // namespace

void Testing::setFmscPreviousVersion(bool previous, bool mutexNamedByFolder) {
    previousNamesByFolder.store(mutexNamedByFolder);
    openAsPreviousVersion.store(previous);
}

std::int32_t FMSCX_OpeningVersion() {
    return openAsPreviousVersion.load() ? FMSC_PREVIOUS_VERSION : FMSC_VERSION;
}

bool FMSCX_MutexNamedByCacheAlone(const FMSC_FILETOC_T* toc) {
    return toc->version == FMSC_PREVIOUS_VERSION && !previousNamesByFolder.load();
}

int FMSCX_RefuseVersion(FMSC_FILETOC_T* toc, std::int32_t found) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (quietReports == 0) {
        std::printf(
            "***Error: The fast cache in '%s' is of version %d; this process shares "
            "caches of version %d alone.\n",
            toc->folder.c_str(), static_cast<int>(found), static_cast<int>(toc->version));
        std::fflush(stdout);
    }
    Os::setLastOsError(EPROTO);
    return FMSC_FAIL(toc, FMSC_ERROR_BAD_TYPE_SIG);
}

void FMSCX_ReachOpenStep(const char* step) {
    if (const Testing::FmscOpenStep reached = openStep.load()) reached(step);
}

int FMSCX_PrepareFile(FMSC_FILETOC_T* toc, const std::string& path, bool create, bool deleteFile,
                      int missingError, const std::function<int()>& write) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (deleteFile) {
        if (const int error = FMSCX_DeleteOSFile(toc->error, path.c_str()))
            return FMSCX_PassOn(__func__, error);
        FMSCX_ReachOpenStep(("removed " + baseName(path)).c_str());
    }
    int exists = FMSCX_OSFileExists(toc->error, path.c_str());
    if (exists > 1) return exists;
    if (exists == 1) {
        // What is no regular file of the user's (a link, a folder, a pipe,
        // another user's file) is not the cache's: left as it is.
        struct stat info {};
        if (::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
            info.st_uid == ::geteuid())
            return 0;
        Os::setLastOsError(EPERM);
        return FMSC_FAIL(toc, FMSC_ERROR_UTIL_CANNOT_OPEN_FILE);
    }
    if (!create) return FMSC_FAIL(toc, missingError);
    if (const int error = write()) return FMSCX_PassOn(__func__, error);
    FMSCX_ReachOpenStep(("made " + baseName(path)).c_str());
    return 0;
}

std::string FMSCX_MakeFullPath(const std::string& folder, const std::string& name) {
    if (folder.empty() || folder.back() == '/') return folder + name;
    return folder + '/' + name;
}

std::string FMSCX_getGetEnv(const char* value, const char* variable, const char* defaultValue) {
    if (value && *value) return value;
    std::string fromEnvironment = Os::environmentValue(variable);
    if (!fromEnvironment.empty()) return fromEnvironment;
    return defaultValue ? defaultValue : "";
}

std::string FMSCX_getFilePath(const std::string& folder, const char* name, const char* variable,
                              const char* defaultName) {
    return FMSCX_MakeFullPath(folder, FMSCX_getGetEnv(name, variable, defaultName));
}

int FMSCX_CacheFileSize(FMSC_FILETOC_T* toc, const std::string& path, int missingError,
                        std::int64_t* size) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    // What stands at the path itself, followed nowhere: a link or a pipe
    // put there, also while an open makes the file, is no file of the
    // cache's.
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        Os::setLastOsError(errno);
        return FMSC_FAIL(toc, missingError);
    }
    if (!S_ISREG(info.st_mode)) {
        Os::setLastOsError(EPERM);
        return FMSC_FAIL(toc, FMSC_ERROR_UTIL_CANNOT_OPEN_FILE);
    }
    *size = info.st_size;
    return 0;
}

int FMSCX_MapOSFile(FMSC_FILETOC_T* toc, const std::string& path, const std::string& mapName,
                    bool client, std::int32_t firstSegment, FmscMapping& mapping) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    std::int32_t count = firstSegment < 0 ? 0 : 1;
    // Client and server find the same file from the cache folder: opening it
    // is what opening the server's mapping by its name is elsewhere.
    mapping.fd = Os::openFileForMapping(path);
    if (mapping.fd < 0)
        return FMSC_FAIL(toc, client ? FMSC_ERROR_CLIENT_CANNOT_MAP_VM_FILE
                              : Os::lastOsError() == EPERM
                                  ? FMSC_ERROR_UTIL_CANNOT_OPEN_FILE
                                  : FMSC_ERROR_CANNOT_OPEN_FILE_FOR_MAPPING);
    if (!client) {
        if (!registerMapping(mapName)) {
            Os::closeMappedFile(mapping.fd);
            mapping.fd = -1;
            return FMSC_FAIL(toc, FMSC_ERROR_FILE_MAPPING_OBJECT_ALREADY_EXISTS);
        }
        mapping.registeredName = mapName;
    }
    if (!mapSegments(toc, mapping, firstSegment, count)) {
        int number =
            client ? FMSC_ERROR_CLIENT_CANNOT_MAP_VM_FILE : FMSC_ERROR_CANNOT_OPEN_FILE_FOR_MAPPING;
        unregisterMapping(mapping.registeredName);
        Os::closeMappedFile(mapping.fd);
        mapping.fd = -1;
        return FMSC_FAIL(toc, number);
    }
    return 0;
}

std::uint64_t FMSCX_MappedBytes(const FmscMapping& mapping) {
    if (!mapping.data) return 0;
    return mapping.view.length -
           std::size_t(mapping.data - static_cast<const std::uint8_t*>(mapping.view.base));
}

int FMSCX_UnMapOSFile(FMSC_FILETOC_T* toc, FmscMapping& mapping, bool client) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (client) toc->fileWatch.forget(mapping.fd);
    bool unmapped = Os::unmapView(mapping.view);
    mapping.data = nullptr;
    unregisterMapping(mapping.registeredName);
    Os::closeMappedFile(mapping.fd);
    mapping.fd = -1;
    if (!unmapped) return FMSC_FAIL(toc, FMSC_ERROR_METAFILE_CANNOT_UNMAP_METAFILE);
    return 0;
}

int FMSCX_UnMapOSExtentFile(FMSC_FILETOC_T* toc, FmscMapping& mapping) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    bool unmapped = Os::unmapView(mapping.view);
    mapping.data = nullptr;
    if (!unmapped) return FMSC_FAIL(toc, FMSC_ERROR_SEGMENT_CANNOT_UNMAP_FILE);
    return 0;
}

int FMSCX_ReMapOSFile(FMSC_FILETOC_T* toc, bool readOnly, std::int32_t segment,
                      FmscMapping& mapping) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (const int error = FMSCX_UnMapOSExtentFile(toc, mapping))
        return FMSCX_PassOn(__func__, error);
    std::uint64_t offset = std::uint64_t(std::max(segment, 0)) * FMSC_SEGMENT_SIZE;
    std::size_t remainder = std::size_t(offset % granularity(toc));
    if (!Os::mapView(mapping.fd, offset - remainder, remainder + FMSC_SEGMENT_SIZE, !readOnly,
                     mapping.view))
        return FMSC_FAIL_VALUE(toc, FMSC_ERROR_CANNOT_OPEN_FILE_FOR_MAPPING, segment);
    mapping.data = static_cast<std::uint8_t*>(mapping.view.base) + remainder;
    return 0;
}

}  // namespace Quillomark::Fcc
