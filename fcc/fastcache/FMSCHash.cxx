#include <fcc/fastcache/internal/FmscReport.hxx>

#include <platform/os/internal/OsError.hxx>
#include <platform/os/internal/PrivateFile.hxx>

#include <cerrno>
#include <cstring>

#define FMSC_UNIT ".\\FMSCHash.cxx"

namespace Quillomark::Fcc {

namespace {

// The hash table of contents' test: null pointer report (2), bad signature
// report (36).
int checkHashToc(const FMSC_FILETOC_T* toc, FmscWhere where) {
    if (!toc->hashToc)
        return FMSCX_ReportNullPointer("pHashToc", where.unit, where.function, where.line);
    if (toc->hashToc->signature != FMSC_HASHTOC_T_SIG)
        return FMSCX_ReportBadSig("FMSC_HASHTOC_T_SIG", where.unit, where.function, where.line);
    return 0;
}

bool sameGuid(const FmscFilePage& page, const char* guid) {
    return std::strncmp(page.guid, guid, FMSC_GUID_SIZE) == 0;
}

bool validPage(const FMSC_FILETOC_T* toc, std::int32_t page) {
    return page >= 0 && page < toc->limits.pages;
}

// Walks the key's chain: the member with the key (or -1), its predecessor
// on the chain (or -1 when it is at the bucket).
int findOnChain(FMSC_FILETOC_T* toc, std::uint32_t bucket, const char* guid, std::int32_t* member,
                std::int32_t* predecessor) {
    *member = *predecessor = -1;
    std::int32_t steps = 0;
    for (std::int32_t i = FMSCX_ReadShared(toc->hashToc->buckets[bucket]); i != -1;
         i = FMSCX_ReadShared(toc->pages[i].nextCollision)) {
        if (!validPage(toc, i) || ++steps > toc->limits.pages)
            return FMSC_FAIL_VALUE(toc, FMSC_ERROR_HASH_PAGE_IS_NOT_IN_THE_HASH_TABLE_ENTRY, i);
        if (sameGuid(toc->pages[i], guid)) {
            *member = i;
            return 0;
        }
        *predecessor = i;
    }
    *predecessor = -1;
    return 0;
}

// The key's bucket and its place on the bucket's chain.
int locate(FMSC_FILETOC_T* toc, const char* guid, std::uint32_t* bucket, std::int32_t* member,
           std::int32_t* predecessor) {
    int rc = FMSCHash_Entry(toc, guid, bucket);
    return rc ? rc : findOnChain(toc, *bucket, guid, member, predecessor);
}

// Makes the bucket or the predecessor point at page.
void relink(FMSC_FILETOC_T* toc, std::uint32_t bucket, std::int32_t predecessor,
            std::int32_t page) {
    if (predecessor == -1)
        toc->hashToc->buckets[bucket] = page;
    else
        toc->pages[predecessor].nextCollision = page;
}

}  // namespace

int FMSCX_WriteNewHashFile(FMSC_FILETOC_T* toc, const std::string& path) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    std::FILE* file = Platform::Os::createSharedFile(path);
    if (!file) {
        Platform::Os::setLastOsError(errno);
        return FMSC_FAIL(toc, FMSC_ERROR_HASH_FMSC_CANNOT_CREATE_HASH_FILE);
    }
    std::vector<std::int32_t> empty(std::size_t(toc->shared->hashBlockPages) * FMSC_PAGE_SIZE / 4,
                                    -1);
    if (std::fwrite(empty.data(), 4, empty.size(), file) != empty.size()) {
        Platform::Os::setLastOsError(errno);
        std::fclose(file);
        return FMSC_FAIL(toc, FMSC_ERROR_HASH_CANNOT_WRITE_BLANK_HASH_FILE);
    }
    if (std::fclose(file) != 0) {
        Platform::Os::setLastOsError(errno);
        return FMSC_FAIL(toc, FMSC_ERROR_HASH_CANNOT_CLOSE_HASH_FILE);
    }
    return 0;
}

int FMSCHash_Open(FMSC_FILETOC_T* toc, const char* folder, const char* name, bool create,
                  bool deleteFiles, bool attach) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    auto fail = [toc](int error) {
        FMSCTOC_Close(toc);
        FMSCX_Traceback("FMSCHash_Open");
        return error;
    };
    std::string directory = FMSCX_getGetEnv(folder, "FMSC_DEFAULT_CACHE_DIR", "c:");
    std::string path = FMSCX_getFilePath(directory, nullptr, "FMSC_DEFAULT_HASH_FILE", "fms.hsh");
    std::string mapName =
        name && *name ? std::string(name) + "_HSH"
                      : FMSCX_getGetEnv(nullptr, "FMSC_DEFAULT_HASH_FILE_MAPNAME", "FMS_HSH");
    if (!attach) {
        int rc =
            FMSCX_PrepareFile(toc, path, create, deleteFiles,
                              FMSC_ERROR_HASH_FILE_DOES_NOT_EXIST_AND_CREATE_OPTION_NOT_SPECIFIED,
                              [toc, &path] { return FMSCX_WriteNewHashFile(toc, path); });
        if (rc) return fail(rc);
    }
    std::int64_t size = 0;
    if (const int error =
            FMSCX_CacheFileSize(toc, path, FMSC_ERROR_SEGMENT_FILE_DOES_NOT_EXIST, &size))
        return fail(error);
    if (size < std::int64_t(toc->shared->hashBlockPages) * FMSC_PAGE_SIZE) {
        FMSCX_PrintErrorName(FMSC_ERROR_HASH_ENTRY_DOES_NOT_EXIST);
        return fail(FMSC_ERROR_HASH_ENTRY_DOES_NOT_EXIST);
    }
    int rc = FMSCHashTOC_Open(toc);
    if (rc) return fail(rc);
    FMSC_HASHTOC_T* hash = toc->hashToc.get();
    hash->path = path;
    hash->mapName = mapName;
    rc = FMSCX_MapOSFile(toc, path, mapName, toc->client, -1, hash->map);
    if (rc) return fail(rc);
    const std::uint32_t buckets = std::uint32_t(toc->shared->hashBlockPages) * FMSC_PAGE_SIZE / 4;
    if (FMSCX_MappedBytes(hash->map) < std::uint64_t(buckets) * 4) {
        FMSCX_PrintErrorName(FMSC_ERROR_HASH_ENTRY_DOES_NOT_EXIST);
        return fail(FMSC_ERROR_HASH_ENTRY_DOES_NOT_EXIST);
    }
    hash->buckets = reinterpret_cast<std::int32_t*>(hash->map.data);
    toc->limits.hashBuckets = buckets;
    return 0;
}

int FMSCHash_Entry(FMSC_FILETOC_T* toc, const char* guid, std::uint32_t* bucket) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (!guid) return FMSCX_NullParameter(toc, "guid", FMSC_HERE);
    if (!bucket) return FMSCX_NullParameter(toc, "bucket", FMSC_HERE);
    // A key that no page may hold is no file's: refused before it is used.
    if (const int error = FMSCX_CheckGuid(toc, guid)) return FMSCX_PassOn(__func__, error);
    std::uint32_t h = 0;
    for (int taken = 0; taken < FMSC_GUID_SIZE && guid[taken] != '\0'; ++taken)
        h = h * 17u + static_cast<unsigned char>(guid[taken]);
    // The buckets of the file as it was checked when it was opened.
    if (toc->limits.hashBuckets == 0)
        return FMSCX_ReportNullPointer("pHashToc", FMSC_UNIT, __func__, __LINE__);
    *bucket = h % toc->limits.hashBuckets;
    return 0;
}

int FMSCHash_FindFile(FMSC_FILETOC_T* toc, const char* guid, std::int32_t* firstPage) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (const int error = checkHashToc(toc, FMSC_HERE)) return error;
    if (!firstPage) return FMSCX_NullParameter(toc, "firstPage", FMSC_HERE);
    *firstPage = -1;
    std::uint32_t bucket = 0;
    std::int32_t predecessor = -1;
    if (const int error = locate(toc, guid, &bucket, firstPage, &predecessor))
        return FMSCX_PassOn(__func__, error);
    return 0;
}

int FMSCHash_AddPage(FMSC_FILETOC_T* toc, const char* guid, std::uint32_t sizeLow,
                     std::uint32_t sizeHigh, std::int32_t* firstPage) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (const int error = checkHashToc(toc, FMSC_HERE)) return error;
    if (!firstPage) return FMSCX_NullParameter(toc, "firstPage", FMSC_HERE);
    std::uint32_t bucket = 0;
    std::int32_t member = -1, predecessor = -1;
    if (const int error = locate(toc, guid, &bucket, &member, &predecessor))
        return FMSCX_PassOn(__func__, error);
    if (member != -1) {
        *firstPage = member;
        return 0;
    }
    std::int32_t page = -1;
    if (const int error = FMSCFile_GetFreePage(toc, &page)) return FMSCX_PassOn(__func__, error);
    if (const int error = FMSCFile_SetFileGuid(toc, page, guid, sizeLow, sizeHigh))
        return FMSCX_PassOn(__func__, error);
    if (const int error = FMSCFile_AllocatePage(toc, -1, page))
        return FMSCX_PassOn(__func__, error);
    toc->pages[page].nextCollision = -1;
    // Taking the page may have evicted a file of this bucket: find the
    // chain's end anew.
    std::int32_t last = -1;
    std::int32_t steps = 0;
    for (std::int32_t i = FMSCX_ReadShared(toc->hashToc->buckets[bucket]);
         i != -1 && ++steps <= toc->limits.pages;
         i = FMSCX_ReadShared(toc->pages[i].nextCollision)) {
        if (!validPage(toc, i))
            return FMSC_FAIL_VALUE(toc, FMSC_ERROR_HASH_PAGE_IS_NOT_IN_THE_HASH_TABLE_ENTRY, i);
        last = i;
    }
    relink(toc, bucket, last, page);
    *firstPage = page;
    return 0;
}

int FMSCHash_DeleteFile(FMSC_FILETOC_T* toc, const char* guid) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (const int error = checkHashToc(toc, FMSC_HERE)) return error;
    std::uint32_t bucket = 0;
    std::int32_t member = -1, predecessor = -1;
    if (const int error = locate(toc, guid, &bucket, &member, &predecessor))
        return FMSCX_PassOn(__func__, error);
    if (member == -1) return FMSC_FAIL(toc, FMSC_ERROR_HASH_FILE_DOES_NOT_EXIST);
    // Counts that would refuse the file's segments refuse the delete before
    // it changes anything.
    FmscExtentUse use;
    if (const int error = FMSCX_ExtentUse(toc, &use)) return FMSCX_PassOn(__func__, error);
    relink(toc, bucket, predecessor, toc->pages[member].nextCollision);
    toc->pages[member].nextCollision = -1;
    if (const int error = FMSCFile_Delete(toc, member)) return FMSCX_PassOn(__func__, error);
    return 0;
}

int FMSCHash_DeleteEntry(FMSC_FILETOC_T* toc, std::int32_t firstPage) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (const int error = checkHashToc(toc, FMSC_HERE)) return error;
    if (!validPage(toc, firstPage))
        return FMSC_FAIL_VALUE(toc, FMSC_ERROR_HASH_ENTRY_DOES_NOT_EXIST, firstPage);
    FmscFilePage& old = toc->pages[firstPage];
    if (old.firstPage != 1)
        return FMSC_FAIL_VALUE(toc, FMSC_ERROR_METAFILE_REFERENCED_FILE_PAGE_IS_NOT_FIRST,
                               firstPage);
    char guid[FMSC_GUID_SIZE + 1] = {};
    std::memcpy(guid, old.guid, FMSC_GUID_SIZE);
    std::uint32_t bucket = 0;
    std::int32_t member = -1, predecessor = -1;
    if (const int error = locate(toc, guid, &bucket, &member, &predecessor))
        return FMSCX_PassOn(__func__, error);
    if (member != firstPage)
        return FMSC_FAIL_VALUE(toc, FMSC_ERROR_HASH_ENTRY_DOES_NOT_EXIST, firstPage);
    std::int32_t next = old.nextOffset;
    if (next != -1 && validPage(toc, next)) {
        FmscFilePage& successor = toc->pages[next];
        successor.firstPage = 1;
        successor.nextCollision = old.nextCollision;
        relink(toc, bucket, predecessor, next);
    } else {
        relink(toc, bucket, predecessor, old.nextCollision);
    }
    old.firstPage = 0;
    old.nextCollision = -1;
    return 0;
}

int FMSCHash_UpdateEntry(FMSC_FILETOC_T* toc, std::int32_t page) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (const int error = checkHashToc(toc, FMSC_HERE)) return error;
    if (!validPage(toc, page))
        return FMSC_FAIL_VALUE(toc, FMSC_ERROR_HASH_ENTRY_DOES_NOT_EXIST, page);
    char guid[FMSC_GUID_SIZE + 1] = {};
    std::memcpy(guid, toc->pages[page].guid, FMSC_GUID_SIZE);
    std::uint32_t bucket = 0;
    std::int32_t member = -1, predecessor = -1;
    if (const int error = locate(toc, guid, &bucket, &member, &predecessor))
        return FMSCX_PassOn(__func__, error);
    if (member == -1) return FMSC_FAIL_VALUE(toc, FMSC_ERROR_HASH_ENTRY_DOES_NOT_EXIST, page);
    if (member != page) toc->pages[page].nextCollision = toc->pages[member].nextCollision;
    relink(toc, bucket, predecessor, page);
    return 0;
}

int FMSCHash_AdjustFileSize(FMSC_FILETOC_T* toc, const char* guid, std::uint32_t sizeLow,
                            std::uint32_t sizeHigh) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    std::int32_t first = -1;
    if (const int error = FMSCHash_FindFile(toc, guid, &first))
        return FMSCX_PassOn(__func__, error);
    if (first == -1) return FMSC_FAIL(toc, FMSC_ERROR_HASH_FILE_DOES_NOT_EXIST);
    if (const int error = FMSCFile_AdjustFileSize(toc, first, sizeLow, sizeHigh))
        return FMSCX_PassOn(__func__, error);
    return 0;
}

int FMSCHash_HashCollisionLength(FMSC_FILETOC_T* toc, const char* guid, std::int32_t* count) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (const int error = checkHashToc(toc, FMSC_HERE)) return error;
    if (!count) return FMSCX_NullParameter(toc, "count", FMSC_HERE);
    std::uint32_t bucket = 0;
    if (const int error = FMSCHash_Entry(toc, guid, &bucket)) return FMSCX_PassOn(__func__, error);
    *count = 0;
    for (std::int32_t i = FMSCX_ReadShared(toc->hashToc->buckets[bucket]);
         i != -1 && validPage(toc, i) && *count <= toc->limits.pages;
         i = FMSCX_ReadShared(toc->pages[i].nextCollision))
        ++*count;
    return 0;
}

int FMSCHash_HashEntryFirstPage(FMSC_FILETOC_T* toc, const char* guid, std::int32_t* page) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (const int error = checkHashToc(toc, FMSC_HERE)) return error;
    if (!page) return FMSCX_NullParameter(toc, "page", FMSC_HERE);
    std::uint32_t bucket = 0;
    if (const int error = FMSCHash_Entry(toc, guid, &bucket)) return FMSCX_PassOn(__func__, error);
    *page = FMSCX_ReadShared(toc->hashToc->buckets[bucket]);
    return 0;
}

int FMSCHash_PrintHashTable(FMSC_FILETOC_T* toc) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (const int error = checkHashToc(toc, FMSC_HERE)) return error;
    std::printf("\n...Hash Table...\n");
    for (std::uint32_t i = 0; i < toc->limits.hashBuckets; ++i) {
        std::int32_t first = FMSCX_ReadShared(toc->hashToc->buckets[i]);
        if (first == -1) continue;
        std::printf(" HashIDX=%d\n", static_cast<int>(i));
        if (validPage(toc, first)) {
            if (const int error = FMSCFile_PrintPage(toc, first))
                return FMSCX_PassOn(__func__, error);
        }
    }
    std::fflush(stdout);
    return 0;
}

}  // namespace Quillomark::Fcc
