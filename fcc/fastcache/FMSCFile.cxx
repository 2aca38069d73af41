#include <fcc/fastcache/internal/FmscReport.hxx>
#include <fcc/fastcache/internal/FmscTesting.hxx>

#include <platform/os/internal/OsError.hxx>
#include <platform/os/internal/PrivateFile.hxx>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>

#define FMSC_UNIT ".\\FMSCFile.cxx"

namespace Quillomark::Fcc {

namespace {

std::atomic<std::int32_t> testClock{0};

// Seconds since 1970, the low 32 bits as the pages keep them.
std::int32_t now() {
    if (const std::int32_t set = testClock.load(std::memory_order_relaxed)) return set;
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(std::time(nullptr)));
}

bool validPage(const FMSC_FILETOC_T* toc, std::int32_t page) {
    return page >= 0 && page < toc->limits.pages;
}

void clearEntries(FmscFilePage& page) {
    std::memset(page.segments, 0xFF, sizeof page.segments);
    page.numSegments = 0;
}

// A link of the date list as it lies in memory that another process may
// write: -1 or a page.
bool validLink(const FMSC_FILETOC_T* toc, std::int32_t link) {
    return link == -1 || validPage(toc, link);
}

// The links of the date list that a change at a page follows: the list's
// ends and the page's own links, each read once.
struct DateLinks {
    std::int32_t head;
    std::int32_t tail;
    std::int32_t next;
    std::int32_t prev;
};

DateLinks readDateLinks(const FMSC_FILETOC_T* toc, std::int32_t page) {
    const FMSC_FILESHARED_T* s = toc->shared;
    return {FMSCX_ReadShared(s->dateHead), FMSCX_ReadShared(s->dateTail),
            FMSCX_ReadShared(toc->dateNext[page]), FMSCX_ReadShared(toc->datePrev[page])};
}

// Whether the links may be followed: each -1 or a page, and the list's
// ends both set or both not. Nothing is read or written through a link
// before it passed.
int checkDateLinks(FMSC_FILETOC_T* toc, const DateLinks& links) {
    for (std::int32_t link : {links.head, links.tail, links.next, links.prev}) {
        if (!validLink(toc, link))
            return FMSC_FAIL_VALUE(toc, FMSC_ERROR_METAFILE_BAD_DATE_LIST, link);
    }
    if ((links.head == -1) != (links.tail == -1))
        return FMSC_FAIL_VALUE(toc, FMSC_ERROR_METAFILE_BAD_DATE_LIST, links.head);
    return 0;
}

bool onDateList(const DateLinks& links, std::int32_t page) {
    return links.head == page || links.tail == page || links.next != -1 || links.prev != -1;
}

bool onDateList(const FMSC_FILETOC_T* toc, std::int32_t page) {
    return onDateList(readDateLinks(toc, page), page);
}

// Both take links that checkDateLinks passed, of a page that is not on the
// list (append) or is (unlink); unlink returns the list's ends as they are
// after it.
void appendToDateList(FMSC_FILETOC_T* toc, std::int32_t page, const DateLinks& links) {
    FMSC_FILESHARED_T* s = toc->shared;
    toc->datePrev[page] = links.tail;
    toc->dateNext[page] = -1;
    if (links.tail >= 0) toc->dateNext[links.tail] = page;
    s->dateTail = page;
    if (links.head < 0) s->dateHead = page;
}

DateLinks unlinkFromDateList(FMSC_FILETOC_T* toc, std::int32_t page, const DateLinks& links) {
    FMSC_FILESHARED_T* s = toc->shared;
    DateLinks after{links.head, links.tail, -1, -1};
    if (links.prev >= 0)
        toc->dateNext[links.prev] = links.next;
    else
        s->dateHead = after.head = links.next;
    if (links.next >= 0)
        toc->datePrev[links.next] = links.prev;
    else
        s->dateTail = after.tail = links.prev;
    toc->dateNext[page] = -1;
    toc->datePrev[page] = -1;
    return after;
}

// The file's GUID as a terminated string, kept off the heap: an eviction
// that ran out of memory part way would leave its page off the date list
// and still in its chain.
std::array<char, FMSC_GUID_SIZE + 1> guidOf(const FmscFilePage& page) {
    std::array<char, FMSC_GUID_SIZE + 1> text{};
    std::memcpy(text.data(), page.guid, FMSC_GUID_SIZE);
    return text;
}

// A page index: 0 or the error recorded for the caller's place.
int checkPage(FMSC_FILETOC_T* toc, std::int32_t page, FmscWhere where) {
    if (page < 0) {
        return FmscErrorSetValue(toc->error, where.unit, where.function, where.line,
                                 FMSC_ERROR_METAFILE_FREEPAGE_OFFSET_IS_LESS_THAN_ZERO, page);
    }
    if (page >= toc->limits.pages) {
        return FmscErrorSetValue(
            toc->error, where.unit, where.function, where.line,
            FMSC_ERROR_METAFILE_FREEPAGE_OFFSET_IS_GREATER_THAN_FMSC_MAX_NUMBER_OF_FILE_PAGES,
            page);
    }
    return 0;
}

int checkType(FMSC_FILETOC_T* toc, std::int32_t page, int wanted, FmscWhere where) {
    if (toc->pages[page].type == wanted) return 0;
    return FmscErrorSetValue(toc->error, where.unit, where.function, where.line,
                             FMSC_ERROR_METAFILE_PAGE_TYPE_DOES_NOT_MATCH_REQUIRED_TYPE, page);
}

int checkFirst(FMSC_FILETOC_T* toc, std::int32_t page, FmscWhere where) {
    if (toc->pages[page].firstPage == 1) return 0;
    return FmscErrorSetValue(toc->error, where.unit, where.function, where.line,
                             FMSC_ERROR_METAFILE_REFERENCED_FILE_PAGE_IS_NOT_FIRST, page);
}

// What a visit of a chain page returns to end the walk early.
constexpr int endOfWalk = -1;

// Visits the pages of a file's chain in order, each of which must be an
// allocated page; the next page is taken before the visit, which may thus
// unlink the page. A visit returns 0 to go on, endOfWalk to stop, or an
// error that ends the walk.
template <class Visit>
int FMSCX_WalkChain(FMSC_FILETOC_T* toc, std::int32_t firstPage, Visit visit) {
    std::int32_t steps = 0;
    for (std::int32_t i = firstPage; i != -1;) {
        if (const int error = checkPage(toc, i, FMSC_HERE)) return error;
        if (const int error = checkType(toc, i, FMSC_PAGE_ALLOCATED, FMSC_HERE)) return error;
        if (++steps > toc->limits.pages)
            return FMSC_FAIL_VALUE(toc, FMSC_ERROR_METAFILE_FILE_NOT_IN_FILE_PAGE_LIST, i);
        std::int32_t next = FMSCX_ReadShared(toc->pages[i].nextOffset);
        int rc = visit(i);
        if (rc == endOfWalk) return 0;
        if (rc) return rc;
        i = next;
    }
    return 0;
}

FmscGuidKey keyOf(const FmscFilePage& page) {
    FmscGuidKey key;
    std::memcpy(key.data(), page.guid, FMSC_GUID_SIZE);
    return key;
}

// The summary of the file that a page is of, when the handle keeps one: a
// server's handle does, a client's does not (its server changes the
// pages).
FmscFileSummary* summaryOf(FMSC_FILETOC_T* toc, std::int32_t page) {
    if (toc->client || toc->summaries.empty() || !validPage(toc, page)) return nullptr;
    const auto found = toc->summaries.find(keyOf(toc->pages[page]));
    return found == toc->summaries.end() ? nullptr : &found->second;
}

void forgetFile(FMSC_FILETOC_T* toc, const FmscFilePage& page) {
    toc->summaries.erase(keyOf(page));
}

// The block's page joins the summary's index. A block number below 0, which
// another process may have written into a page, is no block of it: the
// index neither holds nor names one.
void notePage(FmscFileSummary& summary, std::int32_t block, std::int32_t page) {
    if (block < 0) return;
    FmscStretchPages& stretch = summary.pages[block / FMSC_INDEX_STRETCH];
    stretch[std::size_t(block % FMSC_INDEX_STRETCH)] = page + 1;
}

// The page the index names for the block, -1 when none.
std::int32_t indexedPage(const FmscFileSummary& summary, std::int32_t block) {
    if (block < 0) return -1;
    const auto found = summary.pages.find(block / FMSC_INDEX_STRETCH);
    if (found == summary.pages.end()) return -1;
    return found->second[std::size_t(block % FMSC_INDEX_STRETCH)] - 1;
}

// The block leaves the index, where the index has it on the page; its
// stretch goes when it holds no other. Takes no memory.
void forgetBlock(FmscFileSummary& summary, std::int32_t block, std::int32_t page) {
    if (block < 0) return;
    const auto found = summary.pages.find(block / FMSC_INDEX_STRETCH);
    if (found == summary.pages.end()) return;
    std::int32_t& slot = found->second[std::size_t(block % FMSC_INDEX_STRETCH)];
    if (slot != page + 1) return;
    slot = 0;
    const FmscStretchPages& stretch = found->second;
    if (std::all_of(stretch.begin(), stretch.end(), [](std::int32_t p) { return p == 0; }))
        summary.pages.erase(found);
}

// A change of a file's summary that needs memory: when none is left the
// summary is dropped instead of left short of a block the chain holds, and
// the file's next write walks its chain. Returns whether the summary is
// still there.
template <class Change>
bool changeSummary(FMSC_FILETOC_T* toc, const FmscGuidKey& key, Change change) noexcept {
    try {
        change();
        return true;
    } catch (...) {
        toc->summaries.erase(key);
        return false;
    }
}

// The index's buckets, once it holds far fewer stretches than they were
// made for, as few as it needs: a file that once held many blocks keeps no
// more than it holds now. A summary that finds no memory for them goes.
void fitIndex(FMSC_FILETOC_T* toc, const FmscGuidKey& key, FmscFileSummary& summary) {
    const std::size_t buckets = summary.pages.bucket_count();
    if (buckets <= 64 || summary.pages.size() * 4 >= buckets) return;
    changeSummary(toc, key, [&] { summary.pages.rehash(0); });
}

// A page that leaves its file's chain takes its blocks out of the file's
// summary. The first page with room, when it was this one, is the next
// page with room, known only when this one ended the chain (none).
void forgetPage(FMSC_FILETOC_T* toc, std::int32_t page, std::int32_t next) {
    FmscFileSummary* known = summaryOf(toc, page);
    if (!known) return;
    const FmscFilePage& p = toc->pages[page];
    const std::int32_t used =
        std::clamp(FMSCX_ReadShared(p.numSegments), 0, FMSC_SEGMENTS_PER_PAGE);
    for (std::int32_t e = 0; e < used; ++e) forgetBlock(*known, p.segments[e].fileOffset, page);
    if (known->room == page) known->room = next == -1 ? -1 : -2;
    fitIndex(toc, keyOf(p), *known);
}

// Every block of the chain with its page, and the first page with room.
int gatherChain(FMSC_FILETOC_T* toc, std::int32_t firstPage, FmscChainWalk* chain) {
    chain->found.pages.clear();
    chain->whole = true;
    chain->room = -1;
    auto gather = [toc, chain](std::int32_t i) {
        const FmscFilePage& p = toc->pages[i];
        const std::int32_t used =
            std::clamp(FMSCX_ReadShared(p.numSegments), 0, FMSC_SEGMENTS_PER_PAGE);
        for (std::int32_t e = 0; e < used && chain->whole; ++e) {
            try {
                notePage(chain->found, p.segments[e].fileOffset, i);
            } catch (...) {
                chain->whole = false;
            }
        }
        if (used < FMSC_SEGMENTS_PER_PAGE && chain->room == -1) chain->room = i;
        return 0;
    };
    return FMSCX_WalkChain(toc, firstPage, gather);
}

// The file's summary made anew from a walk of its whole chain; none when
// the walk could not gather every block.
void summarize(FMSC_FILETOC_T* toc, std::int32_t firstPage, FmscChainWalk& chain) {
    const FmscGuidKey key = keyOf(toc->pages[firstPage]);
    if (!chain.whole) {
        toc->summaries.erase(key);
        return;
    }
    changeSummary(toc, key, [&] {
        FmscFileSummary& walked = toc->summaries[key];
        walked.pages = std::move(chain.found.pages);
        walked.room = chain.room;
    });
}

// The segment of the block when the page is one of the chain's and holds it.
bool pageHolds(FMSC_FILETOC_T* toc, std::int32_t firstPage, std::int32_t page, std::int32_t block,
               std::int32_t* segment) {
    if (!validPage(toc, page) || toc->pages[page].type != FMSC_PAGE_ALLOCATED ||
        std::memcmp(toc->pages[page].guid, toc->pages[firstPage].guid, FMSC_GUID_SIZE) != 0)
        return false;
    const FmscFilePage& p = toc->pages[page];
    const std::int32_t used =
        std::clamp(FMSCX_ReadShared(p.numSegments), 0, FMSC_SEGMENTS_PER_PAGE);
    for (std::int32_t e = 0; e < used; ++e) {
        if (p.segments[e].fileOffset != block) continue;
        *segment = p.segments[e].segmentOffset;
        return true;
    }
    return false;
}

}  // namespace

void Testing::setFmscClock(std::int32_t seconds) {
    testClock.store(seconds, std::memory_order_relaxed);
}

int FMSCX_WriteNewMetaFile(FMSC_FILETOC_T* toc) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    const FMSC_FILESHARED_T* s = toc->shared;
    std::FILE* file = Platform::Os::createSharedFile(toc->metaFilePath);
    if (!file) {
        Platform::Os::setLastOsError(errno);
        return FMSC_FAIL(toc, FMSC_ERROR_METAFILE_FMSC_CANNOT_CREATE_META_FILE);
    }
    FmscFileHeader header{};
    header.version = toc->version;
    header.freePageListFirst = 0;
    header.freePageListLast = s->maxFilePages - 1;
    header.freePageListSize = s->maxFilePages;
    header.maxFilePages = s->maxFilePages;
    header.segmentFileSegments = s->segmentFileSegments;
    header.hashBlockPages = s->hashBlockPages;
    header.maxExtentFiles = s->maxExtentFiles;
    header.segmentsPerExtentFile = s->segmentsPerExtentFile;
    header.totalExtentMegabytes = s->totalExtentMegabytes;
    // Marked open until the open that makes it has made the cache's other
    // files too: a server killed before that leaves a cache that the next
    // open refuses (103), not one whose files are of two caches.
    header.state = FMSC_STATE_OPEN;
    if (std::fwrite(&header, FMSC_PAGE_SIZE, 1, file) != 1) {
        Platform::Os::setLastOsError(errno);
        std::fclose(file);
        return FMSC_FAIL(toc, FMSC_ERROR_FILE_CANNOT_WRITE_EMPTY_INDEX_FILE);
    }
    for (std::int32_t i = 0; i < s->maxFilePages; ++i) {
        FmscFilePage page{};
        page.signature = FMSC_PAGE_SIGNATURE;
        page.type = FMSC_PAGE_FREE;
        page.myOffset = i;
        page.nextOffset = i + 1 < s->maxFilePages ? i + 1 : -1;
        page.prevOffset = i - 1;
        page.nextCollision = -1;
        clearEntries(page);
        if (std::fwrite(&page, FMSC_PAGE_SIZE, 1, file) != 1) {
            Platform::Os::setLastOsError(errno);
            std::fclose(file);
            return FMSC_FAIL(toc, FMSC_ERROR_METAFILE_FMSC_CANNOT_CREATE_META_FILE);
        }
    }
    if (std::fclose(file) != 0) {
        Platform::Os::setLastOsError(errno);
        return FMSC_FAIL(toc, FMSC_ERROR_METAFILE_CANNOT_CLOSE_METAFILE);
    }
    return 0;
}

// ---- Date list ---------------------------------------------------------------

void FMSCX_InitEmptyDateList(FMSC_FILETOC_T* toc) {
    std::int32_t pages = toc->limits.pages;
    std::fill(toc->lastFileAccess, toc->lastFileAccess + pages, 0);
    std::fill(toc->dateNext, toc->dateNext + pages, -1);
    std::fill(toc->datePrev, toc->datePrev + pages, -1);
    toc->shared->dateHead = -1;
    toc->shared->dateTail = -1;
    toc->shared->dateCount = 0;
}

void FMSCX_RecordPageDate(FMSC_FILETOC_T* toc, std::int32_t page) {
    std::int32_t date = now();
    toc->pages[page].lastAccessTime = date;
    toc->lastFileAccess[page] = date;
}

int FSMCX_InsertPageInDateList(FMSC_FILETOC_T* toc, std::int32_t page, std::int32_t date) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (const int error = checkPage(toc, page, FMSC_HERE)) return error;
    FMSC_FILESHARED_T* s = toc->shared;
    const DateLinks links = readDateLinks(toc, page);
    if (onDateList(links, page))
        return FMSC_FAIL_VALUE(toc, FMSC_ERROR_METAFILE_INSERT_ALREADY_IN_DATELIST, page);
    if (const int error = checkDateLinks(toc, links)) return FMSCX_PassOn(__func__, error);
    // The place, between earlier (or the head) and later, is found before
    // anything is written.
    std::int32_t earlier = links.tail;
    std::int32_t later = -1;
    if (links.head != -1 && date < toc->lastFileAccess[links.tail]) {
        earlier = -1;
        later = links.head;
        std::int32_t steps = 0;
        while (later >= 0 && toc->lastFileAccess[later] <= date) {
            earlier = later;
            later = FMSCX_ReadShared(toc->dateNext[later]);
            if (!validLink(toc, later) || ++steps > toc->limits.pages)
                return FMSC_FAIL_VALUE(toc, FMSC_ERROR_METAFILE_BAD_DATE_LIST, later);
        }
    }
    if (links.head == -1 && s->dateCount != 0)
        return FMSC_FAIL(toc, FMSC_ERROR_METAFILE_BAD_DATE_LIST);
    toc->lastFileAccess[page] = date;
    if (later < 0) {
        appendToDateList(toc, page, links);
    } else {
        toc->dateNext[page] = later;
        toc->datePrev[page] = earlier;
        toc->datePrev[later] = page;
        if (earlier >= 0)
            toc->dateNext[earlier] = page;
        else
            s->dateHead = page;
    }
    ++s->dateCount;
    return 0;
}

int FSMCX_RemovePageFromDateList(FMSC_FILETOC_T* toc, std::int32_t page) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (const int error = checkPage(toc, page, FMSC_HERE)) return error;
    const DateLinks links = readDateLinks(toc, page);
    bool absent = links.head == -1 || (links.head == links.tail && links.head != page) ||
                  !onDateList(links, page);
    if (absent) return FMSC_FAIL_VALUE(toc, FMSC_ERROR_METAFILE_PAGE_IS_NOT_IN_THE_DATELIST, page);
    if (const int error = checkDateLinks(toc, links)) return FMSCX_PassOn(__func__, error);
    unlinkFromDateList(toc, page, links);
    --toc->shared->dateCount;
    return 0;
}

int FMSCX_UpdatePageAccessTime(FMSC_FILETOC_T* toc, std::int32_t page) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (const int error = checkPage(toc, page, FMSC_HERE)) return error;
    const DateLinks links = readDateLinks(toc, page);
    bool moves = onDateList(links, page) && links.tail != page;
    if (moves) {
        if (const int error = checkDateLinks(toc, links)) return FMSCX_PassOn(__func__, error);
    }
    FMSCX_RecordPageDate(toc, page);
    // A locked page stays off the list: only its date changes.
    if (!moves) return 0;
    appendToDateList(toc, page, unlinkFromDateList(toc, page, links));
    return 0;
}

int FSMCX_SortTheDateList(FMSC_FILETOC_T* toc) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    std::int32_t pages = toc->limits.pages;
    std::vector<std::int32_t> order;
    for (std::int32_t i = 0; i < pages; ++i)
        if (toc->lastFileAccess[i] != 0) order.push_back(i);
    // Inserting the pages one by one in page order, equal dates after the
    // ones already there, gives this stable order.
    std::stable_sort(order.begin(), order.end(), [toc](std::int32_t a, std::int32_t b) {
        return toc->lastFileAccess[a] < toc->lastFileAccess[b];
    });
    std::fill(toc->dateNext, toc->dateNext + pages, -1);
    std::fill(toc->datePrev, toc->datePrev + pages, -1);
    toc->shared->dateHead = toc->shared->dateTail = -1;
    DateLinks ends{-1, -1, -1, -1};
    for (std::int32_t page : order) {
        appendToDateList(toc, page, ends);
        if (ends.head < 0) ends.head = page;
        ends.tail = page;
    }
    toc->shared->dateCount = static_cast<std::int32_t>(order.size());
    return 0;
}

void FMSCX_MendDateList(FMSC_FILETOC_T* toc) {
    // As an open makes it: every page of a file by its date, but for the
    // sharing server's own first page, which is never evicted.
    for (std::int32_t i = 0; i < toc->limits.pages; ++i) {
        const FmscFilePage& p = toc->pages[i];
        const bool own =
            p.firstPage == 1 && std::strncmp(p.guid, FMSC_RESERVED_GUID, FMSC_GUID_SIZE) == 0;
        if (p.type != FMSC_PAGE_ALLOCATED || own) toc->lastFileAccess[i] = 0;
    }
    // Without the memory to order the pages, the list stays as it was.
    try {
        FSMCX_SortTheDateList(toc);
    } catch (...) {
    }
}

// ---- Pages -------------------------------------------------------------------

int FMSCFile_GetFreePage(FMSC_FILETOC_T* toc, std::int32_t* page) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (!page) return FMSCX_NullParameter(toc, "page", FMSC_HERE);
    FmscFileHeader* h = toc->header;
    if (h->freePageListFirst == -1) {
        if (const int error = FSMCFile_DeleteOldest(toc)) return FMSCX_PassOn(__func__, error);
        if (h->freePageListFirst == -1)
            return FMSC_FAIL(toc, FMSC_ERROR_METAFILE_OUT_OF_FREE_PAGES);
    }
    std::int32_t first = h->freePageListFirst;
    if (first < -1)
        return FMSC_FAIL_VALUE(toc, FMSC_ERROR_METAFILE_FREEPAGE_OFFSET_IS_LESS_THAN_ZERO, first);
    if (first >= toc->limits.pages)
        return FMSC_FAIL_VALUE(
            toc, FMSC_ERROR_METAFILE_FREEPAGE_OFFSET_IS_GREATER_THAN_FMSC_MAX_NUMBER_OF_FILE_PAGES,
            first);
    if (const int error = FMSCFile_CheckPageConsistency(toc, first, FMSC_PAGE_FREE))
        return FMSCX_PassOn(__func__, error);
    FmscFilePage& p = toc->pages[first];
    std::int32_t next = p.nextOffset;
    if (next != -1 && !validPage(toc, next))
        return FMSC_FAIL_VALUE(toc, FMSC_ERROR_METAFILE_FREEPAGE_OFFSET_IS_NOT_CORRECT, next);
    h->freePageListFirst = next;
    if (next == -1)
        h->freePageListLast = -1;
    else
        toc->pages[next].prevOffset = -1;
    --h->freePageListSize;
    p.type = FMSC_PAGE_FLOATING;
    p.firstPage = 0;
    p.nextOffset = p.prevOffset = p.nextCollision = -1;
    clearEntries(p);
    *page = first;
    return 0;
}

int FMSCFile_FreeThisPage(FMSC_FILETOC_T* toc, std::int32_t page) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (const int error = checkPage(toc, page, FMSC_HERE)) return error;
    FmscFilePage& p = toc->pages[page];
    if (p.type == FMSC_PAGE_FREE)
        return FMSC_FAIL_VALUE(toc, FMSC_ERROR_METAFILE_CANNOT_FREE_PAGE_TWICE, page);
    if (p.type != FMSC_PAGE_FLOATING)
        return FMSC_FAIL_VALUE(toc, FMSC_ERROR_METAFILE_CANNOT_PAGE_IS_NOT_FLOATING, page);
    FmscFileHeader* h = toc->header;
    std::int32_t oldFirst = h->freePageListFirst;
    p.type = FMSC_PAGE_FREE;
    p.myOffset = page;
    p.nextOffset = oldFirst;
    p.prevOffset = -1;
    p.nextCollision = 0;
    if (oldFirst >= 0 && oldFirst < toc->limits.pages) toc->pages[oldFirst].prevOffset = page;
    if (oldFirst == -1) h->freePageListLast = page;
    h->freePageListFirst = page;
    ++h->freePageListSize;
    std::int32_t used = std::min(p.numSegments, FMSC_SEGMENTS_PER_PAGE);
    for (std::int32_t i = 0; i < used; ++i) {
        if (const int error = FMSCSegment_FreeThisSegment(toc, page, p.segments[i].segmentOffset))
            return FMSCX_PassOn(__func__, error);
    }
    clearEntries(p);
    return 0;
}

int FMSCFile_AllocatePage(FMSC_FILETOC_T* toc, std::int32_t firstPage, std::int32_t page) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (const int error = checkPage(toc, page, FMSC_HERE)) return error;
    if (const int error = checkType(toc, page, FMSC_PAGE_FLOATING, FMSC_HERE)) return error;
    std::int32_t last = -1;
    if (firstPage != -1) {
        if (const int error = checkPage(toc, firstPage, FMSC_HERE)) return error;
        if (const int error = checkFirst(toc, firstPage, FMSC_HERE)) return error;
        auto noteLast = [&last](std::int32_t i) { return last = i, 0; };
        if (const int error = FMSCX_WalkChain(toc, firstPage, noteLast))
            return FMSCX_PassOn(__func__, error);
    }
    FmscFilePage& p = toc->pages[page];
    p.type = FMSC_PAGE_ALLOCATED;
    p.nextOffset = p.prevOffset = -1;
    clearEntries(p);
    if (firstPage == -1) {
        p.firstPage = 1;
    } else {
        p.firstPage = 0;
        toc->pages[last].nextOffset = page;
        p.prevOffset = last;
    }
    FMSCX_RecordPageDate(toc, page);
    if (const int error = FSMCX_InsertPageInDateList(toc, page, toc->lastFileAccess[page]))
        return FMSCX_PassOn(__func__, error);
    return 0;
}

namespace {

// Where a GUID stops being one that a page may hold: what a page keeps of
// it, its first 36 bytes up to a NUL, as the page check takes them, is at
// least 32 bytes, each printable. -1 when it may hold it; else the place of
// the first byte that is not printable, or the count of bytes when too few.
int guidFault(const char* guid) {
    int taken = 0;
    for (; taken < FMSC_GUID_SIZE && guid[taken] != '\0'; ++taken) {
        const auto c = static_cast<unsigned char>(guid[taken]);
        if (c < 32 || c > 126) return taken;
    }
    return taken < 32 ? taken : -1;
}

}  // namespace

int FMSCX_CheckGuid(FMSC_FILETOC_T* toc, const char* guid) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (!guid) return FMSCX_NullParameter(toc, "guid", FMSC_HERE);
    const int fault = guidFault(guid);
    if (fault >= 0) return FMSC_FAIL_VALUE(toc, FMSC_ERROR_METAFILE_BAD_GUID_FIELD, fault);
    return 0;
}

bool FMSCIF_CanHoldGuid(const char* guid) { return guid && guidFault(guid) < 0; }

int FMSCFile_SetFileGuid(FMSC_FILETOC_T* toc, std::int32_t page, const char* guid,
                         std::uint32_t sizeLow, std::uint32_t sizeHigh) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (!guid) return FMSCX_NullParameter(toc, "guid", FMSC_HERE);
    if (const int error = FMSCX_CheckGuid(toc, guid)) return FMSCX_PassOn(__func__, error);
    if (const int error = checkPage(toc, page, FMSC_HERE)) return error;
    FmscFilePage& p = toc->pages[page];
    // strncpy semantics: NUL-padded, not terminated when the GUID fills all 36 bytes.
    std::size_t length = strnlen(guid, FMSC_GUID_SIZE);
    std::memset(p.guid, 0, FMSC_GUID_SIZE);
    std::memcpy(p.guid, guid, length);
    p.fileSizeLow = sizeLow;
    p.fileSizeHigh = sizeHigh;
    return 0;
}

int FMSCFile_AdjustFileSize(FMSC_FILETOC_T* toc, std::int32_t firstPage, std::uint32_t sizeLow,
                            std::uint32_t sizeHigh) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (const int error = checkPage(toc, firstPage, FMSC_HERE)) return error;
    if (const int error = checkType(toc, firstPage, FMSC_PAGE_ALLOCATED, FMSC_HERE)) return error;
    if (const int error = checkFirst(toc, firstPage, FMSC_HERE)) return error;
    auto setSize = [toc, sizeLow, sizeHigh](std::int32_t i) {
        toc->pages[i].fileSizeLow = sizeLow;
        toc->pages[i].fileSizeHigh = sizeHigh;
        return 0;
    };
    if (const int error = FMSCX_WalkChain(toc, firstPage, setSize))
        return FMSCX_PassOn(__func__, error);
    return 0;
}

int FMSCFile_Delete(FMSC_FILETOC_T* toc, std::int32_t firstPage) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (const int error = checkPage(toc, firstPage, FMSC_HERE)) return error;
    if (const int error = checkType(toc, firstPage, FMSC_PAGE_ALLOCATED, FMSC_HERE)) return error;
    if (const int error = checkFirst(toc, firstPage, FMSC_HERE)) return error;
    // Counts that would refuse the pages' segments refuse the delete before
    // it changes anything, not half way.
    FmscExtentUse use;
    if (const int error = FMSCX_ExtentUse(toc, &use)) return FMSCX_PassOn(__func__, error);
    forgetFile(toc, toc->pages[firstPage]);
    auto release = [toc](std::int32_t i) {
        toc->pages[i].type = FMSC_PAGE_FLOATING;
        int rc = FSMCX_RemovePageFromDateList(toc, i);
        return rc ? rc : FMSCFile_FreeThisPage(toc, i);
    };
    if (const int error = FMSCX_WalkChain(toc, firstPage, release))
        return FMSCX_PassOn(__func__, error);
    return 0;
}

int FSMCX_RemovePageFromFilePageList(FMSC_FILETOC_T* toc, std::int32_t page) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (const int error = checkPage(toc, page, FMSC_HERE)) return error;
    FmscFilePage& p = toc->pages[page];
    std::int32_t next = p.nextOffset;
    // The page's blocks leave the file's summary with it, which goes with
    // the chain's last page; a page that cannot be taken out of its chain
    // takes the summary, which the next write makes anew from the chain.
    auto fail = [toc, &p](int error) {
        forgetFile(toc, p);
        return error;
    };
    if (p.firstPage == 1) {
        if (const int error = FMSCHash_DeleteEntry(toc, page))
            return fail(FMSCX_PassOn(__func__, error));
        if (next >= 0 && next < toc->limits.pages) toc->pages[next].prevOffset = -1;
        if (next == -1) forgetFile(toc, p);
    } else {
        std::int32_t first = -1;
        const auto guid = guidOf(p);
        if (const int error = FMSCHash_FindFile(toc, guid.data(), &first))
            return fail(FMSCX_PassOn(__func__, error));
        if (first == -1)
            return fail(FMSC_FAIL_VALUE(toc, FMSC_ERROR_METAFILE_FILE_NOT_IN_HASH_LIST, page));
        std::int32_t pred = first;
        std::int32_t steps = 0;
        while (pred != -1 && toc->pages[pred].nextOffset != page) {
            pred = toc->pages[pred].nextOffset;
            if (++steps > toc->limits.pages || (pred != -1 && !validPage(toc, pred))) pred = -1;
        }
        if (pred == -1)
            return fail(FMSC_FAIL_VALUE(toc, FMSC_ERROR_METAFILE_FILE_NOT_IN_FILE_PAGE_LIST, page));
        toc->pages[pred].nextOffset = next;
        if (next >= 0 && next < toc->limits.pages) toc->pages[next].prevOffset = pred;
    }
    forgetPage(toc, page, next);
    p.nextOffset = p.prevOffset = -1;
    return 0;
}

int FSMCFile_DeleteThisPage(FMSC_FILETOC_T* toc, std::int32_t page) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (const int error = checkPage(toc, page, FMSC_HERE)) return error;
    if (const int error = checkType(toc, page, FMSC_PAGE_ALLOCATED, FMSC_HERE)) return error;
    FmscExtentUse use;
    if (const int error = FMSCX_ExtentUse(toc, &use)) return FMSCX_PassOn(__func__, error);
    if (const int error = FSMCX_RemovePageFromDateList(toc, page))
        return FMSCX_PassOn(__func__, error);
    if (const int error = FSMCX_RemovePageFromFilePageList(toc, page))
        return FMSCX_PassOn(__func__, error);
    toc->pages[page].type = FMSC_PAGE_FLOATING;
    toc->pages[page].firstPage = 0;
    if (const int error = FMSCFile_FreeThisPage(toc, page)) return FMSCX_PassOn(__func__, error);
    return 0;
}

int FSMCFile_DeleteOldest(FMSC_FILETOC_T* toc) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    std::int32_t oldest = toc->shared->dateHead;
    if (oldest == -1) return 0;
    if (const int error = FSMCFile_DeleteThisPage(toc, oldest))
        return FMSCX_PassOn(__func__, error);
    return 0;
}

// ---- Segments of a file ------------------------------------------------------

int FMSCFile_FindSegment(FMSC_FILETOC_T* toc, std::int32_t firstPage, std::int32_t block,
                         std::int32_t* page, std::int32_t* segment, std::int32_t* length,
                         FmscChainWalk* chain) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (!page) return FMSCX_NullParameter(toc, "page", FMSC_HERE);
    if (!segment) return FMSCX_NullParameter(toc, "segment", FMSC_HERE);
    if (!length) return FMSCX_NullParameter(toc, "length", FMSC_HERE);
    *page = *segment = *length = -1;
    if (block < 0) return FMSC_FAIL_VALUE(toc, FMSC_ERROR_METAFILE_BAD_SEGMENT_OFFSET, block);
    // The walk starts where a block of the same stretch of 36 was last
    // found, else at the page of the previous hit (a file's blocks are read
    // in order mostly), and comes round to it from the first page. A block
    // is on one page of a chain only, so the result is the same as that of
    // a walk from the start.
    const std::int32_t stretch = block / FMSC_SEGMENTS_PER_PAGE;
    FMSC_FILETOC_T::StretchHint& sameStretch =
        toc->stretchHints[std::size_t(stretch) % toc->stretchHints.size()];
    std::int32_t start = firstPage;
    std::int32_t hint = toc->hintFirstPage == firstPage ? toc->hintPage : -1;
    if (sameStretch.firstPage == firstPage && sameStretch.stretch == stretch)
        hint = sameStretch.page;
    if (hint != -1 && hint != firstPage && validPage(toc, hint) && validPage(toc, firstPage) &&
        toc->pages[hint].type == FMSC_PAGE_ALLOCATED && toc->pages[hint].firstPage == 0 &&
        std::memcmp(toc->pages[hint].guid, toc->pages[firstPage].guid, FMSC_GUID_SIZE) == 0)
        start = hint;
    // The walk from the hint takes the chain from there to its end, the
    // walk from the first page what lies before: a page with room that the
    // second finds comes first.
    std::int32_t roomFromStart = -1, roomBeforeStart = -1;
    std::int32_t* room = &roomFromStart;
    if (chain) {
        chain->found.pages.clear();
        chain->whole = true;
    }
    auto visit = [&](std::int32_t i) {
        if (start != firstPage && *page == -2 && i == start) return endOfWalk;
        FmscFilePage& p = toc->pages[i];
        const std::int32_t used = std::min(FMSCX_ReadShared(p.numSegments), FMSC_SEGMENTS_PER_PAGE);
        for (std::int32_t e = 0; e < used; ++e) {
            const std::int32_t held = p.segments[e].fileOffset;
            if (held == block) {
                *page = i;
                *segment = p.segments[e].segmentOffset;
                *length = p.segments[e].len;
                p.lastAccessTime = now();
                return endOfWalk;
            }
            if (chain && chain->whole) {
                // Gathered for the summary only: without memory, no summary.
                try {
                    notePage(chain->found, held, i);
                } catch (...) {
                    chain->whole = false;
                }
            }
        }
        if (used < FMSC_SEGMENTS_PER_PAGE && *room == -1) *room = i;
        return 0;
    };
    if (const int error = FMSCX_WalkChain(toc, start, visit)) return FMSCX_PassOn(__func__, error);
    if (*page == -1 && start != firstPage) {
        *page = -2;  // the second walk ends where the first began
        room = &roomBeforeStart;
        if (const int error = FMSCX_WalkChain(toc, firstPage, visit))
            return FMSCX_PassOn(__func__, error);
        if (*page == -2) *page = -1;
    }
    toc->hintFirstPage = firstPage;
    toc->hintPage = *page;
    if (*page != -1) sameStretch = {firstPage, stretch, *page};
    if (chain && *page == -1) chain->room = roomBeforeStart != -1 ? roomBeforeStart : roomFromStart;
    return 0;
}

int FMSCFile_PlaceBlock(FMSC_FILETOC_T* toc, std::int32_t firstPage, std::int32_t block,
                        std::int32_t* page, std::int32_t* segment) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (!page) return FMSCX_NullParameter(toc, "page", FMSC_HERE);
    if (!segment) return FMSCX_NullParameter(toc, "segment", FMSC_HERE);
    *page = *segment = -1;
    if (block < 0) return FMSC_FAIL_VALUE(toc, FMSC_ERROR_METAFILE_BAD_SEGMENT_OFFSET, block);
    // A block that the index does not have: no page of the chain holds it.
    // One it has: where the index says, when that page holds it still.
    FmscFileSummary* known = summaryOf(toc, firstPage);
    const std::int32_t indexed = known ? indexedPage(*known, block) : -1;
    if (known && (indexed == -1 || pageHolds(toc, firstPage, indexed, block, segment))) {
        *page = indexed;
        toc->hintFirstPage = firstPage;
        toc->hintPage = indexed;
        return 0;
    }
    std::int32_t length = -1;
    FmscChainWalk chain;
    if (const int error = FMSCFile_FindSegment(toc, firstPage, block, page, segment, &length,
                                               toc->client ? nullptr : &chain))
        return FMSCX_PassOn(__func__, error);
    // Only a walk from the first page sees the whole chain.
    if (toc->client || toc->pages[firstPage].firstPage != 1) return 0;
    if (*page != -1 && known) {
        changeSummary(toc, keyOf(toc->pages[firstPage]), [&] { notePage(*known, block, *page); });
        return 0;
    }
    // A walk that found the block stopped there: the summary of a file
    // written over before anything was added to it takes a walk of its own.
    if (*page != -1) {
        if (const int error = gatherChain(toc, firstPage, &chain))
            return FMSCX_PassOn(__func__, error);
    }
    summarize(toc, firstPage, chain);
    return 0;
}

int FMSCFile_FindSegments(FMSC_FILETOC_T* toc, std::int32_t firstPage,
                          std::vector<std::int32_t>* blocks) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (!blocks) return FMSCX_NullParameter(toc, "blocks", FMSC_HERE);
    blocks->clear();
    if (const int error = FMSCX_CheckFirstPage(toc, firstPage))
        return FMSCX_PassOn(__func__, error);
    auto collect = [toc, blocks](std::int32_t i) {
        const FmscFilePage& p = toc->pages[i];
        for (std::int32_t e = 0; e < std::min(p.numSegments, FMSC_SEGMENTS_PER_PAGE); ++e)
            blocks->push_back(p.segments[e].fileOffset);
        return 0;
    };
    if (const int error = FMSCX_WalkChain(toc, firstPage, collect))
        return FMSCX_PassOn(__func__, error);
    return 0;
}

int FMSCFile_FindNextSegment(FMSC_FILETOC_T* toc, std::int32_t firstPage, std::int32_t block,
                             std::int32_t* found, std::int32_t* length) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (!found) return FMSCX_NullParameter(toc, "found", FMSC_HERE);
    if (!length) return FMSCX_NullParameter(toc, "length", FMSC_HERE);
    *found = *length = -1;
    if (block < 0) return FMSC_FAIL_VALUE(toc, FMSC_ERROR_METAFILE_BAD_SEGMENT_OFFSET, block);
    if (const int error = FMSCX_CheckFirstPage(toc, firstPage))
        return FMSCX_PassOn(__func__, error);
    auto nearest = [&](std::int32_t i) {
        const FmscFilePage& p = toc->pages[i];
        for (std::int32_t e = 0; e < std::min(p.numSegments, FMSC_SEGMENTS_PER_PAGE); ++e) {
            const FmscSegmentEntry& entry = p.segments[e];
            if (entry.fileOffset == block) {
                *found = block;
                *length = entry.len;
                return endOfWalk;
            }
            if (entry.fileOffset > block && (*found == -1 || entry.fileOffset < *found)) {
                *found = entry.fileOffset;
                *length = entry.len;
            }
        }
        return 0;
    };
    if (const int error = FMSCX_WalkChain(toc, firstPage, nearest))
        return FMSCX_PassOn(__func__, error);
    return 0;
}

int FMSCFile_SetSegmentLength(FMSC_FILETOC_T* toc, std::int32_t page, std::int32_t block,
                              std::int32_t length) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (const int error = checkPage(toc, page, FMSC_HERE)) return error;
    if (const int error = checkType(toc, page, FMSC_PAGE_ALLOCATED, FMSC_HERE)) return error;
    if (length < 0 || length > FMSC_SEGMENT_SIZE)
        return FMSC_FAIL_VALUE(toc, FMSC_ERROR_METAFILE_SEGMENT_LENGTH, length);
    FmscFilePage& p = toc->pages[page];
    for (std::int32_t e = 0; e < std::min(p.numSegments, FMSC_SEGMENTS_PER_PAGE); ++e) {
        if (p.segments[e].fileOffset != block) continue;
        p.segments[e].len = length;
        if (const int error = FMSCX_UpdatePageAccessTime(toc, page))
            return FMSCX_PassOn(__func__, error);
        return 0;
    }
    return FMSC_FAIL_VALUE(toc, FMSC_ERROR_METAFILE_BAD_SEGMENT_OFFSET, block);
}

int FMSCFile_ReadBlock(FMSC_FILETOC_T* toc, std::int32_t firstPage, std::int32_t block,
                       std::uint8_t* buffer, std::int32_t* length) {
    return FMSCFile_ReadBlockPart(toc, firstPage, block, 0, FMSC_SEGMENT_SIZE, buffer, length);
}

int FMSCFile_ReadBlockPart(FMSC_FILETOC_T* toc, std::int32_t firstPage, std::int32_t block,
                           std::int32_t offset, std::int32_t count, std::uint8_t* buffer,
                           std::int32_t* length) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (!buffer) return FMSCX_NullParameter(toc, "buffer", FMSC_HERE);
    if (!length) return FMSCX_NullParameter(toc, "length", FMSC_HERE);
    if (block < 0) return FMSC_FAIL_VALUE(toc, FMSC_ERROR_IF_BAD_FILE_OFFSET, block);
    if (offset < 0 || offset > FMSC_SEGMENT_SIZE || count < 0)
        return FMSC_FAIL_VALUE(toc, FMSC_ERROR_IF_BAD_LENGTH, offset);
    *length = -1;
    // A page further down a chain would serve part of the file as the whole.
    if (const int error = FMSCX_CheckFirstPage(toc, firstPage))
        return FMSCX_PassOn(__func__, error);
    std::int32_t page = -1, segment = -1, len = -1;
    if (const int error = FMSCFile_FindSegment(toc, firstPage, block, &page, &segment, &len))
        return FMSCX_PassOn(__func__, error);
    if (page == -1) return 0;
    // The block is never longer than a segment.
    if (len < 0 || len > FMSC_SEGMENT_SIZE)
        return FMSC_FAIL_VALUE(toc, FMSC_ERROR_METAFILE_SEGMENT_LENGTH, len);
    const std::int32_t copied = std::max(std::min(len - offset, count), 0);
    if (copied > 0) {
        if (const int error = FMSCX_ReadSegment(toc, segment, buffer, copied, offset))
            return FMSCX_PassOn(__func__, error);
    }
    *length = len;
    if (const int error = FMSCX_UpdatePageAccessTime(toc, page))
        return FMSCX_PassOn(__func__, error);
    return 0;
}

int FMSCFile_AllocateSegment(FMSC_FILETOC_T* toc, std::int32_t firstPage, std::int32_t block,
                             std::int32_t segment, std::int32_t length, bool* outOfPages) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (!outOfPages) return FMSCX_NullParameter(toc, "outOfPages", FMSC_HERE);
    *outOfPages = false;
    // An entry for a block no file has would fail the page check.
    if (block < 0) return FMSC_FAIL_VALUE(toc, FMSC_ERROR_METAFILE_FILE_OFFSET, block);
    if (const int error = checkPage(toc, firstPage, FMSC_HERE)) return error;
    if (const int error = checkType(toc, firstPage, FMSC_PAGE_ALLOCATED, FMSC_HERE)) return error;
    // The first page of the chain with room: as the file's summary knows
    // it, when that page is still the file's and has room, else by a walk.
    // A page that leaves the chain or loses entries takes the summary with
    // it, so a known page with room is still the first such.
    FmscFileSummary* known = summaryOf(toc, firstPage);
    const bool fromFirst = toc->pages[firstPage].firstPage == 1;
    const std::int32_t room = known && fromFirst ? known->room : -2;
    std::int32_t target = -1;
    if (validPage(toc, room) && toc->pages[room].type == FMSC_PAGE_ALLOCATED &&
        toc->pages[room].numSegments < FMSC_SEGMENTS_PER_PAGE &&
        std::memcmp(toc->pages[room].guid, toc->pages[firstPage].guid, FMSC_GUID_SIZE) == 0) {
        target = room;
    } else if (room != -1) {
        auto withRoom = [toc, &target](std::int32_t i) {
            if (toc->pages[i].numSegments >= FMSC_SEGMENTS_PER_PAGE) return 0;
            target = i;
            return endOfWalk;
        };
        if (const int error = FMSCX_WalkChain(toc, firstPage, withRoom))
            return FMSCX_PassOn(__func__, error);
    }
    if (target == -1) {
        if (toc->header->freePageListSize == 0) {
            *outOfPages = true;
            return 0;
        }
        const FmscFilePage& first = toc->pages[firstPage];
        char guid[FMSC_GUID_SIZE + 1] = {};
        std::memcpy(guid, first.guid, FMSC_GUID_SIZE);
        if (const int error = FMSCFile_GetFreePage(toc, &target))
            return FMSCX_PassOn(__func__, error);
        const int named =
            FMSCFile_SetFileGuid(toc, target, guid, first.fileSizeLow, first.fileSizeHigh);
        if (named) return FMSCX_PassOn(__func__, named);
        if (const int error = FMSCFile_AllocatePage(toc, firstPage, target))
            return FMSCX_PassOn(__func__, error);
        // A page taken where the free count was wrong may have evicted the
        // file, summary and all.
        known = summaryOf(toc, firstPage);
    }
    FmscFilePage& p = toc->pages[target];
    const std::int32_t used = p.numSegments;
    if (used < 0 || used >= FMSC_SEGMENTS_PER_PAGE)
        return FMSC_FAIL_VALUE(toc, FMSC_ERROR_METAFILE_SEGMENT_OFFSET, used);
    // The date first: a call that fails has recorded no entry, and the
    // caller's segment is still the caller's to give back.
    if (const int error = FMSCX_UpdatePageAccessTime(toc, target))
        return FMSCX_PassOn(__func__, error);
    p.segments[used] = FmscSegmentEntry{length, segment, block};
    p.numSegments = used + 1;
    // The chain holds the block too. The target was its first page with
    // room: while it has room it stays so; full, it leaves none when it
    // ends the chain, and an unknown one when it does not (as after a walk
    // from a later page, which knows nothing of the pages before it).
    if (known) {
        if (!fromFirst)
            known->room = -2;
        else if (used + 1 < FMSC_SEGMENTS_PER_PAGE)
            known->room = target;
        else
            known->room = FMSCX_ReadShared(p.nextOffset) == -1 ? -1 : -2;
        changeSummary(toc, keyOf(toc->pages[firstPage]), [&] { notePage(*known, block, target); });
    }
    return 0;
}

int FSMCFile_LockPage(FMSC_FILETOC_T* toc, std::int32_t page) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (const int error = checkPage(toc, page, FMSC_HERE)) return error;
    if (const int error = checkType(toc, page, FMSC_PAGE_ALLOCATED, FMSC_HERE)) return error;
    if (const int error = FMSCX_UpdatePageAccessTime(toc, page))
        return FMSCX_PassOn(__func__, error);
    if (toc->shared->dateTail != page)
        return FMSC_FAIL_VALUE(toc, FMSC_ERROR_FILE_LOCK_PAGE_IS_NOT_LAST_IN_DATE_LIST, page);
    if (const int error = FSMCX_RemovePageFromDateList(toc, page))
        return FMSCX_PassOn(__func__, error);
    return 0;
}

int FMSCFile_NextFile(FMSC_FILETOC_T* toc, std::int32_t* iterator, std::int32_t* firstPage) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (!iterator) return FMSCX_NullParameter(toc, "iterator", FMSC_HERE);
    if (!firstPage) return FMSCX_NullParameter(toc, "firstPage", FMSC_HERE);
    for (std::int32_t i = std::max(*iterator + 1, 0); i < toc->limits.pages; ++i) {
        if (toc->pages[i].type == FMSC_PAGE_ALLOCATED && toc->pages[i].firstPage == 1) {
            *iterator = *firstPage = i;
            return 0;
        }
    }
    *iterator = *firstPage = -1;
    return 0;
}

void FMSCX_DropSegments(FMSC_FILETOC_T* toc, std::int32_t first, std::int32_t end) {
    for (std::int32_t i = 0; i < toc->limits.pages; ++i) {
        FmscFilePage& p = toc->pages[i];
        // A count another process wrote is no size: none below 0.
        const std::int32_t used =
            std::clamp(FMSCX_ReadShared(p.numSegments), 0, FMSC_SEGMENTS_PER_PAGE);
        // The summary of the page's file, which loses the blocks dropped.
        FmscFileSummary* known = nullptr;
        bool looked = false;
        std::int32_t kept = 0;
        for (std::int32_t e = 0; e < used; ++e) {
            const std::int32_t segment = p.segments[e].segmentOffset;
            if (segment >= first && segment < end) {
                if (!looked && p.type == FMSC_PAGE_ALLOCATED) known = summaryOf(toc, i);
                looked = true;
                if (known) forgetBlock(*known, p.segments[e].fileOffset, i);
                continue;
            }
            p.segments[kept++] = p.segments[e];
        }
        if (kept == used) continue;
        // The page has room now: the first page with room when no page had
        // any, else not known without a walk. (The index keeps its buckets:
        // a shrink takes no memory.)
        if (known && known->room != i) known->room = known->room == -1 ? i : -2;
        std::memset(p.segments + kept, 0xFF, sizeof(FmscSegmentEntry) * std::size_t(used - kept));
        p.numSegments = kept;
    }
    toc->hintFirstPage = toc->hintPage = -1;
}

int FMSCX_FreeFloatingPages(FMSC_FILETOC_T* toc) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    for (std::int32_t i = 0; i < toc->limits.pages; ++i) {
        if (toc->pages[i].type != FMSC_PAGE_FLOATING) continue;
        if (const int error = FMSCFile_FreeThisPage(toc, i)) return FMSCX_PassOn(__func__, error);
    }
    return 0;
}

int FMSCX_CheckFirstPage(FMSC_FILETOC_T* toc, std::int32_t page) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (const int error = checkPage(toc, page, FMSC_HERE)) return error;
    if (const int error = checkType(toc, page, FMSC_PAGE_ALLOCATED, FMSC_HERE)) return error;
    if (const int error = checkFirst(toc, page, FMSC_HERE)) return error;
    return 0;
}

// ---- Consistency -------------------------------------------------------------

int FMSCFile_CheckPageConsistency(FMSC_FILETOC_T* toc, std::int32_t page, int expectedType) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (const int error = checkPage(toc, page, FMSC_HERE)) return error;
    const FmscFilePage& p = toc->pages[page];
    if (p.type != expectedType)
        return FMSC_FAIL_VALUE(toc, FMSC_ERROR_METAFILE_PAGE_TYPE_DOES_NOT_MATCH_REQUIRED_TYPE,
                               page);
    switch (p.type) {
        case FMSC_PAGE_FREE: break;
        case FMSC_PAGE_ALLOCATED: {
            if (p.lastAccessTime > now())
                return FMSC_FAIL_VALUE(toc, FMSC_ERROR_METAFILE_BAD_TIME_FIELD, page);
            for (int i = 0; i < FMSC_GUID_SIZE; ++i) {
                auto c = static_cast<unsigned char>(p.guid[i]);
                bool printable = c >= 32 && c <= 126;
                if (!printable && !(i >= 32 && c == 0))
                    return FMSC_FAIL_VALUE(toc, FMSC_ERROR_METAFILE_BAD_GUID_FIELD, page);
            }
            if (p.numSegments < 0 || p.numSegments > FMSC_SEGMENTS_PER_PAGE)
                return FMSC_FAIL_VALUE(toc, FMSC_ERROR_METAFILE_SEGMENT_OFFSET, page);
            for (std::int32_t e = 0; e < p.numSegments; ++e) {
                const FmscSegmentEntry& entry = p.segments[e];
                if (entry.segmentOffset < 0)
                    return FMSC_FAIL_VALUE(toc, FMSC_ERROR_METAFILE_SEGMENT_OFFSET, page);
                if (entry.fileOffset < 0)
                    return FMSC_FAIL_VALUE(toc, FMSC_ERROR_METAFILE_FILE_OFFSET, page);
                if (entry.len < -1 || entry.len > FMSC_SEGMENT_SIZE)
                    return FMSC_FAIL_VALUE(toc, FMSC_ERROR_METAFILE_SEGMENT_LENGTH, page);
            }
            break;
        }
        case FMSC_PAGE_FLOATING:
            if (p.nextOffset != -1)
                return FMSC_FAIL_VALUE(
                    toc, FMSC_ERROR_METAFILE_FLOATING_PAGE_SHOULD_NOT_HAVE_SUCCESSORS, page);
            if (p.prevOffset != -1)
                return FMSC_FAIL_VALUE(
                    toc, FMSC_ERROR_METAFILE_FLOATING_PAGE_SHOULD_NOT_HAVE_PREDECESSORS, page);
            break;
        default:
            return FMSC_FAIL_VALUE(toc, FMSC_ERROR_METAFILE_INVALID_PAGE_TYPE_OR_OUT_OF_DISK_SPACE,
                                   page);
    }
    if (p.myOffset < -1)
        return FMSC_FAIL_VALUE(toc, FMSC_ERROR_METAFILE_FREEPAGE_OFFSET_IS_LESS_THAN_ZERO, page);
    if (p.myOffset >= toc->limits.pages)
        return FMSC_FAIL_VALUE(
            toc, FMSC_ERROR_METAFILE_FREEPAGE_OFFSET_IS_GREATER_THAN_FMSC_MAX_NUMBER_OF_FILE_PAGES,
            page);
    if (p.myOffset != page)
        return FMSC_FAIL_VALUE(toc, FMSC_ERROR_METAFILE_ATTEMPT_TO_FREE_PAGE_WITH_BAD_OFFSET, page);
    return 0;
}

int FMSCX_CheckHeaderCounts(FMSC_FILETOC_T* toc) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    FmscFileHeader seen;
    std::memcpy(&seen, toc->header, sizeof seen);
    return FMSCX_CheckHeaderCounts(toc, seen);
}

int FMSCX_CheckHeaderCounts(FMSC_FILETOC_T* toc, const FmscFileHeader& header) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    const FmscFileHeader* h = &header;
    if (h->maxFilePages < 1 || h->maxFilePages > FMSC_MAX_FILE_PAGES)
        return FMSC_FAIL_VALUE(toc, FMSC_ERROR_METAFILE_PAGE_SIZE_IS_WRONG, h->maxFilePages);
    if (h->segmentFileSegments < 1 || h->segmentFileSegments > FMSC_MAX_SEGMENTS)
        return FMSC_FAIL_VALUE(toc, FMSC_ERROR_SEGMENT_BAD_OFFSET, h->segmentFileSegments);
    if (h->hashBlockPages < 1 || h->hashBlockPages > FMSC_MAX_FILE_PAGES)
        return FMSC_FAIL_VALUE(toc, FMSC_ERROR_HASH_PAGE_IS_NOT_IN_THE_HASH_TABLE_ENTRY,
                               h->hashBlockPages);
    constexpr int beyond = FMSC_ERROR_FILE_SEGMENT_BEYOND_END_OF_EXTENT_FILE;
    if (h->maxExtentFiles < 0 || h->maxExtentFiles > FMSC_MAX_EXTENT_FILES)
        return FMSC_FAIL_VALUE(toc, beyond, h->maxExtentFiles);
    if (h->segmentsPerExtentFile < 0 || h->segmentsPerExtentFile > FMSC_MAX_SEGMENTS_PER_EXTENT)
        return FMSC_FAIL_VALUE(toc, beyond, h->segmentsPerExtentFile);
    // Exactly: the free-segment list is sized from the megabytes, the
    // extent files grow by the segments.
    std::int64_t extentSegments = std::int64_t(h->segmentsPerExtentFile) * h->maxExtentFiles;
    if (h->totalExtentMegabytes < 0 || extentSegments != std::int64_t(h->totalExtentMegabytes) * 64)
        return FMSC_FAIL_VALUE(toc, beyond, h->totalExtentMegabytes);
    switch (FMSCX_ExtentCounts(h->extentFilesInUse, h->extentSegmentsInUse,
                               h->segmentsPerExtentFile, h->maxExtentFiles)) {
        case FmscExtentCounts::BadFiles: return FMSC_FAIL_VALUE(toc, beyond, h->extentFilesInUse);
        case FmscExtentCounts::BadSegments:
            return FMSC_FAIL_VALUE(toc, beyond, h->extentSegmentsInUse);
        case FmscExtentCounts::Whole: break;
    }
    return 0;
}

namespace {

int FMSCX_CheckHeaderSizing(FMSC_FILETOC_T* toc) {
    const FmscFileHeader* h = toc->header;
    const FMSC_FILESHARED_T* s = toc->shared;
    constexpr int beyond = FMSC_ERROR_FILE_SEGMENT_BEYOND_END_OF_EXTENT_FILE;
    if (const int error = FMSCX_CheckHeaderCounts(toc)) return FMSCX_PassOn(__func__, error);
    if (h->maxFilePages != s->maxFilePages)
        return FMSC_FAIL_VALUE(toc, FMSC_ERROR_METAFILE_PAGE_SIZE_IS_WRONG, h->maxFilePages);
    if (h->segmentFileSegments != s->segmentFileSegments)
        return FMSC_FAIL_VALUE(toc, FMSC_ERROR_SEGMENT_BAD_OFFSET, h->segmentFileSegments);
    if (h->hashBlockPages != s->hashBlockPages)
        return FMSC_FAIL_VALUE(toc, FMSC_ERROR_HASH_PAGE_IS_NOT_IN_THE_HASH_TABLE_ENTRY,
                               h->hashBlockPages);
    if (h->maxExtentFiles == 0 || h->maxExtentFiles != s->maxExtentFiles ||
        h->segmentsPerExtentFile != s->segmentsPerExtentFile ||
        h->totalExtentMegabytes != s->totalExtentMegabytes ||
        h->extentSegmentsInUse != s->extentSegmentsInUse ||
        h->extentFilesInUse != s->extentFilesInUse)
        return FMSC_FAIL(toc, beyond);
    return 0;
}

int FMSCX_CheckPages(FMSC_FILETOC_T* toc) {
    std::int32_t counts[4] = {};
    for (std::int32_t i = 0; i < toc->limits.pages; ++i) {
        std::uint8_t type = toc->pages[i].type;
        if (type < FMSC_PAGE_FREE || type > FMSC_PAGE_FLOATING)
            return FMSC_FAIL_VALUE(toc, FMSC_ERROR_METAFILE_INVALID_PAGE_TYPE_OR_OUT_OF_DISK_SPACE,
                                   i);
        if (const int error = FMSCFile_CheckPageConsistency(toc, i, type))
            return FMSCX_PassOn(__func__, error);
        if (toc->pages[i].myOffset != i)
            return FMSC_FAIL_VALUE(toc, FMSC_ERROR_METAFILE_FREEPAGE_OFFSET_IS_NOT_CORRECT, i);
        ++counts[type];
    }
    if (counts[FMSC_PAGE_FREE] != toc->header->freePageListSize)
        return FMSC_FAIL(toc, FMSC_ERROR_METAFILE_NUMBER_OF_FREE_PAGES_DOESNT_MATCH_HEADER_COUNT);
    if (counts[1] + counts[2] + counts[3] != toc->limits.pages)
        return FMSC_FAIL(toc, FMSC_ERROR_METAFILE_SOME_PAGE_IS_NOT_FREE_ALLOCATED_OR_FLOATING);
    return 0;
}

int FMSCX_CheckFreeList(FMSC_FILETOC_T* toc, bool forwards) {
    const FmscFileHeader* h = toc->header;
    std::int32_t count = 0;
    for (std::int32_t i = forwards ? h->freePageListFirst : h->freePageListLast; i != -1;) {
        if (i < -1)
            return FMSC_FAIL_VALUE(toc, FMSC_ERROR_METAFILE_FREEPAGE_OFFSET_IS_LESS_THAN_ZERO, i);
        if (i >= toc->limits.pages)
            return FMSC_FAIL_VALUE(
                toc,
                FMSC_ERROR_METAFILE_FREEPAGE_OFFSET_IS_GREATER_THAN_FMSC_MAX_NUMBER_OF_FILE_PAGES,
                i);
        if (++count > toc->limits.pages) break;
        i = forwards ? toc->pages[i].nextOffset : toc->pages[i].prevOffset;
    }
    if (count != h->freePageListSize)
        return FMSC_FAIL_VALUE(
            toc, FMSC_ERROR_METAFILE_LINKED_FREEPAGE_COUNT_DOES_NOT_EQUAL_HEADER_COUNT, count);
    return 0;
}

int FMSCX_CheckDateWalk(FMSC_FILETOC_T* toc, bool forwards) {
    const FMSC_FILESHARED_T* s = toc->shared;
    std::int32_t count = 0;
    std::int32_t previousDate = 0;
    for (std::int32_t i = forwards ? s->dateHead : s->dateTail; i != -1;) {
        if (i < 0 || i >= toc->limits.pages)
            return FMSC_FAIL_VALUE(toc, FMSC_ERROR_METAFILE_BAD_DATE_LIST, i);
        std::int32_t next = forwards ? toc->dateNext[i] : toc->datePrev[i];
        if (next == i) return FMSC_FAIL_VALUE(toc, FMSC_ERROR_METAFILE_DATELIST_SELFLINK, i);
        std::int32_t date = toc->lastFileAccess[i];
        if (date < 1) return FMSC_FAIL_VALUE(toc, FMSC_ERROR_METAFILE_DATE_LIST_BAD_DATE, i);
        if (count > 0 && (forwards ? date < previousDate : date > previousDate))
            return FMSC_FAIL_VALUE(toc, FMSC_ERROR_METAFILE_DATE_LIST_IS_NOT_SORTED, i);
        previousDate = date;
        if (++count > toc->limits.pages) break;
        i = next;
    }
    if (count != s->dateCount)
        return FMSC_FAIL_VALUE(toc, FMSC_ERROR_METAFILE_DATE_LIST_COUNT_IS_WRONG, count);
    return 0;
}

int FMSCX_CheckDateList(FMSC_FILETOC_T* toc) {
    for (std::int32_t i = 0; i < toc->limits.pages; ++i)
        if (toc->pages[i].type == FMSC_PAGE_FREE && onDateList(toc, i))
            return FMSC_FAIL_VALUE(toc, FMSC_ERROR_METAFILE_FREEPAGE_ALSO_IN_DATELIST, i);
    if (const int error = FMSCX_CheckDateWalk(toc, true)) return FMSCX_PassOn(__func__, error);
    if (const int error = FMSCX_CheckDateWalk(toc, false)) return FMSCX_PassOn(__func__, error);
    return 0;
}

int FMSCX_CheckHashed(FMSC_FILETOC_T* toc) {
    for (std::int32_t i = 0; i < toc->limits.pages; ++i) {
        const FmscFilePage& p = toc->pages[i];
        if (p.type != FMSC_PAGE_ALLOCATED || p.firstPage != 1) continue;
        std::int32_t found = -1;
        if (const int error = FMSCHash_FindFile(toc, guidOf(p).data(), &found))
            return FMSCX_PassOn(__func__, error);
        if (found != i) return FMSC_FAIL_VALUE(toc, FMSC_ERROR_METAFILE_FILE_NOT_IN_HASH_LIST, i);
    }
    return 0;
}

int FMSCX_CheckFreeSegmentOrder(FMSC_FILETOC_T* toc) {
    FmscExtentUse use;
    if (const int error = FMSCX_ExtentUse(toc, &use)) return FMSCX_PassOn(__func__, error);
    const FmscFreeSegments& f = toc->freeSegments;
    std::int32_t previous = -1;
    std::int32_t steps = 0;
    for (std::int32_t i = f.first; i != -1; i = f.next[std::size_t(i)]) {
        if (i < 0 || i > use.total || i <= previous || std::size_t(i) >= f.next.size() ||
            ++steps > use.total)
            return FMSC_FAIL_VALUE(toc, FMSC_ERROR_METAFILE_INVALID_SEGMENT_OFFSET_IN_FREELIST, i);
        previous = i;
    }
    return 0;
}

int FMSCX_CheckSegmentUse(FMSC_FILETOC_T* toc) {
    FmscExtentUse use;
    if (const int error = FMSCX_ExtentUse(toc, &use)) return FMSCX_PassOn(__func__, error);
    const FmscFreeSegments& f = toc->freeSegments;
    std::vector<std::uint8_t> named(std::size_t(use.total), 0);
    for (std::int32_t i = 0; i < toc->limits.pages; ++i) {
        const FmscFilePage& p = toc->pages[i];
        if (p.type != FMSC_PAGE_ALLOCATED) continue;
        for (std::int32_t e = 0; e < std::min(p.numSegments, FMSC_SEGMENTS_PER_PAGE); ++e) {
            std::int32_t segment = p.segments[e].segmentOffset;
            if (segment < 0 || segment >= use.total) continue;
            if (named[std::size_t(segment)]++)
                return FMSC_FAIL_VALUE(toc, FMSC_ERROR_METAFILE_SEGMENT_IS_ALLOCATED_MORE_THAN_ONCE,
                                       segment);
        }
    }
    if ((f.first == -1) != (f.last == -1))
        return FMSC_FAIL(toc, FMSC_ERROR_METAFILE_SEGMENT_FIRST_AND_LAST_OUT_OF_SYNC);
    std::int32_t last = -1;
    std::int32_t steps = 0;
    for (std::int32_t i = f.first; i != -1 && ++steps <= use.total; i = f.next[std::size_t(i)]) {
        if (std::size_t(i) < named.size() && named[std::size_t(i)])
            return FMSC_FAIL_VALUE(
                toc, FMSC_ERROR_METAFILE_SEGMENT_IS_ALLOCATED_AND_IN_THE_FREE_LIST, i);
        last = i;
    }
    if (last != f.last)
        return FMSC_FAIL_VALUE(toc, FMSC_ERROR_METAFILE_ALLOCATED_PAGE_SIZE_IS_WRONG, last);
    if (last != -1 && f.next[std::size_t(last)] != -1)
        return FMSC_FAIL_VALUE(toc, FMSC_ERROR_METAFILE_SEGMENT_BAD_FREE_LIST_COUNT, last);
    return 0;
}

}  // namespace

int FMSCFile_CheckMetaFile(FMSC_FILETOC_T* toc, int checks) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    // A client sees the server's pages but keeps no segment list of its own.
    if (toc->client) checks &= 4;
    if (checks & 64) {
        if (const int error = FMSCX_CheckHeaderSizing(toc)) return FMSCX_PassOn(__func__, error);
    }
    if (checks & 1) {
        if (const int error = FMSCX_CheckPages(toc)) return FMSCX_PassOn(__func__, error);
    }
    if (checks & 2) {
        if (const int error = FMSCX_CheckFreeList(toc, true)) return FMSCX_PassOn(__func__, error);
        if (const int error = FMSCX_CheckFreeList(toc, false)) return FMSCX_PassOn(__func__, error);
    }
    if (checks & 4) {
        if (const int error = FMSCX_CheckDateList(toc)) return FMSCX_PassOn(__func__, error);
    }
    if (checks & 8) {
        if (const int error = FMSCX_CheckHashed(toc)) return FMSCX_PassOn(__func__, error);
    }
    if (checks & 16) {
        if (const int error = FMSCX_CheckFreeSegmentOrder(toc))
            return FMSCX_PassOn(__func__, error);
    }
    if (checks & 32) {
        if (const int error = FMSCX_CheckSegmentUse(toc)) return FMSCX_PassOn(__func__, error);
    }
    return 0;
}

// ---- Diagnostics -------------------------------------------------------------

int FMSCFile_PrintPage(FMSC_FILETOC_T* toc, std::int32_t page) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    if (const int error = checkPage(toc, page, FMSC_HERE)) return error;
    const FmscFilePage& p = toc->pages[page];
    std::printf(
        "  Page %d: type=%d first=%d myOffset=%d nextOffset=%d prevOffset=%d nextCollision=%d "
        "lastAccessTime=%d size=%u:%u numSegments=%d guid=%.36s\n",
        page, p.type, p.firstPage, p.myOffset, p.nextOffset, p.prevOffset, p.nextCollision,
        p.lastAccessTime, p.fileSizeHigh, p.fileSizeLow, p.numSegments, p.guid);
    for (std::int32_t e = 0; e < std::min(p.numSegments, FMSC_SEGMENTS_PER_PAGE); ++e)
        std::printf("    len=%d segmentOffset=%d fileOffset=%d\n", p.segments[e].len,
                    p.segments[e].segmentOffset, p.segments[e].fileOffset);
    std::fflush(stdout);
    return 0;
}

int FMSCFile_PrintMetaFile(FMSC_FILETOC_T* toc) {
    if (const int error = FMSCX_CheckToc(toc, FMSC_HERE)) return error;
    const FmscFileHeader* h = toc->header;
    std::printf(
        "FileHeader: version=%d freePageListFirst=%d freePageListLast=%d freePageListSize=%d "
        "allocatedSize=%d pages=%d\n",
        h->version, h->freePageListFirst, h->freePageListLast, h->freePageListSize,
        h->allocatedSize, h->maxFilePages);
    for (std::int32_t i = 0; i < toc->limits.pages; ++i)
        if (toc->pages[i].type != FMSC_PAGE_FREE) {
            if (const int error = FMSCFile_PrintPage(toc, i)) return FMSCX_PassOn(__func__, error);
        }
    return 0;
}

}  // namespace Quillomark::Fcc
