// A fast cache opened from damaged files and read: in private mode (the
// files are the cache's own) and in client mode (the files of a sharing
// server that is still running, as a client attaches to them). The files of
// a small cache with three cached files are made once; each input damages a
// copy of them before the open.
//
// Input: one byte whose bit 0 picks client mode, then damages, each a file
// number, a 32-bit big-endian offset (taken modulo the file's size), a
// count and that many bytes written there; a count of 0 with a next byte
// of 0 cuts the file at the offset instead.
//
// A first byte with bits 4 and 5 both set picks the other use: the server's
// operations on a sound private cache with an extent file, with whatever
// GUIDs, block numbers, first pages and lengths the input gives (see
// runOperations). After each the store must pass all its checks, and a
// block read must hold the bytes last written to it.

#include "tests/fuzz/FuzzCheck.hxx"

#include <fcc/fastcache/internal/FmscInterface.hxx>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

namespace Fcc = Quillomark::Fcc;
namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

const char* const GUIDS[] = {
    "AAAAAAAA11112222333344445555666677778888", "BBBBBBBB11112222333344445555666677778888",
    "CCCCCCCC11112222333344445555666677778888", "DDDDDDDD11112222333344445555666677778888"};
const std::uint32_t SIZES[] = {20000, 10, 40000};

struct CacheImage {
    std::vector<std::string> names;  // in the folder
    std::vector<Bytes> contents;
};

Bytes readAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Fcc::FMSC_OPEN_PARAMS params(const std::string& folder, std::int32_t mode, bool create) {
    Fcc::FMSC_OPEN_PARAMS p;
    p.folder = folder.c_str();
    p.name = mode == Fcc::FMSC_MODE_PRIVATE ? "fuzzprivate" : "fuzzshared";
    p.maxFilePages = 16;
    p.segments = 8;
    p.hashBlockPages = 1;
    p.create = create;
    p.deleteFiles = create;
    p.mode = mode;
    return p;
}

CacheImage snapshot(const std::string& folder) {
    CacheImage image;
    for (const auto& entry : fs::directory_iterator(folder)) {
        // A server's owner file holds no bytes of the cache, only its lock.
        if (!entry.is_regular_file() || entry.path().extension() == ".lock") continue;
        image.names.push_back(entry.path().filename().string());
        image.contents.push_back(readAll(entry.path()));
    }
    return image;
}

// Makes a cache in `mode` with three files and takes its files' images
// while it is open; a sharing server stays open in *server.
CacheImage makeCache(const std::string& folder, std::int32_t mode,
                     Fcc::FMSC_FILETOC_T** server = nullptr) {
    fs::create_directories(folder);
    const Fcc::FMSC_OPEN_PARAMS p = params(folder, mode, true);
    Fcc::FMSC_FILETOC_T* cache = nullptr;
    FUZZ_CHECK(Fcc::FMSCIF_OpenS(&p, &cache) == 0);
    for (int f = 0; f < 3; ++f) {
        std::int32_t first = -1;
        FUZZ_CHECK(Fcc::FMSCIF_AddFile(cache, GUIDS[f], SIZES[f], 0, &first) == 0);
        Bytes data(SIZES[f]);
        for (std::size_t i = 0; i < data.size(); ++i) data[i] = std::uint8_t(i * (f + 3));
        FUZZ_CHECK(Fcc::FMSCIF_WriteData(cache, &first, 0, data.data(),
                                         static_cast<std::int32_t>(data.size())) == 0);
    }
    if (server != nullptr) {
        // Its clients attach to a running server.
        *server = cache;
        return snapshot(folder);
    }
    FUZZ_CHECK(Fcc::FMSCIF_Close(&cache) == 0);
    return snapshot(folder);
}

struct Setup {
    std::string privateFolder;
    std::string operationsFolder;
    std::string clientFolder;
    CacheImage privateImage;
    CacheImage clientImage;
    Fcc::FMSC_FILETOC_T* server = nullptr;
};

const Setup& setup() {
    static const Setup* const made = [] {
        char pattern[] = "/tmp/fast-cache-fuzz-XXXXXX";
        FUZZ_CHECK(mkdtemp(pattern) != nullptr);
        const std::string root = pattern;
        setenv("FMS_IPC_DIR", (root + "/ipc").c_str(), 1);
        auto* s = new Setup;
        s->privateFolder = root + "/private";
        s->operationsFolder = root + "/operations";
        fs::create_directories(s->operationsFolder);
        s->clientFolder = root + "/shared";
        s->privateImage = makeCache(s->privateFolder, Fcc::FMSC_MODE_PRIVATE);
        s->clientImage = makeCache(s->clientFolder, Fcc::FMSC_MODE_SHARING_SERVER, &s->server);
        return s;
    }();
    return *made;
}

void readEverything(Fcc::FMSC_FILETOC_T* cache, bool client) {
    if (client && Fcc::FMSCIF_LockCache(cache) != 0) return;
    Bytes block(16384);
    for (const char* guid : GUIDS) {
        std::int64_t size = 0;
        std::int32_t first = -1;
        if (Fcc::FMSCIF_FindFile(cache, guid, &size, &first) != 0 || first < 0) continue;
        for (std::int32_t b = 0; b < 4; ++b) {
            std::int32_t length = 0;
            if (Fcc::FMSCIF_ReadBlock(cache, first, b, block.data(), &length) != 0) break;
            FUZZ_CHECK(length <= 16384);
            std::int32_t found = -1;
            Fcc::FMSCIF_FindNextSegment(cache, first, b, &found, &length);
        }
        std::vector<std::int32_t> blocks;
        Fcc::FMSCIF_FindSegments(cache, first, &blocks);
    }
    std::int32_t iterator = 0;
    for (int i = 0; i < 64; ++i) {
        std::int32_t first = -1;
        if (Fcc::FMSCIF_NextFile(cache, &iterator, &first) != 0 || first < 0) break;
    }
    Fcc::FMSC_INFO_T info{};
    Fcc::FMSCIF_GetInfo(cache, &info);
    if (client) {
        std::int32_t count = 0;
        Fcc::FMSCIF_NumClients(cache, &count);
        Fcc::FMSCIF_UnLockCache(cache);
    }
}

// ---- Operations ---------------------------------------------------------------

// The input, read a piece at a time; zeros once it is used up.
class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : data(data), size(size) {}
    bool more() const { return at < size; }
    std::uint8_t byte() { return at < size ? data[at++] : 0; }
    std::int32_t word() {
        std::uint32_t value = 0;
        for (int i = 0; i < 4; ++i) value = (value << 8) | byte();
        return static_cast<std::int32_t>(value);
    }
    // One of the known GUIDs, or up to 40 bytes of the input's own.
    std::string guid() {
        const std::uint8_t choice = byte();
        if (choice < 0xC0) return GUIDS[choice % 4];
        std::string text;
        for (std::size_t n = choice - 0xC0u + 8; n > 0 && more(); --n) {
            const char c = static_cast<char>(byte());
            if (c == '\0') break;
            text += c;
        }
        return text;
    }

private:
    const std::uint8_t* data;
    std::size_t size;
    std::size_t at = 0;
};

// The bytes of write number `write`, byte i.
std::uint8_t writtenByte(std::uint32_t write, std::int32_t i) {
    return static_cast<std::uint8_t>(write * 131u + std::uint32_t(i) * 7u +
                                     (std::uint32_t(i) >> 8));
}

// What a read of each block written may give: the bytes last written to it,
// by write number and length (the file is named by what the store compares
// of a GUID, its first 36 bytes). A block whose last write failed part way
// is not known.
struct Written {
    std::map<std::pair<std::string, std::int32_t>, std::pair<std::uint32_t, std::int32_t>> blocks;
    std::set<std::pair<std::string, std::int32_t>> unknown;
    std::uint32_t writes = 0;

    static std::string key(const std::string& guid) { return guid.substr(0, 36); }
    void wrote(const std::string& guid, std::int32_t block, std::uint32_t write, std::int32_t n) {
        blocks[{key(guid), block}] = {write, n};
        unknown.erase({key(guid), block});
    }
    void lost(const std::string& guid, std::int32_t block) {
        blocks.erase({key(guid), block});
        unknown.insert({key(guid), block});
    }
    void deleted(const std::string& guid) {
        for (auto it = blocks.begin(); it != blocks.end();)
            it = it->first.first == key(guid) ? blocks.erase(it) : std::next(it);
    }
};

Fcc::FMSC_OPEN_PARAMS operationsParams(const std::string& folder, bool afresh) {
    Fcc::FMSC_OPEN_PARAMS p = params(folder, Fcc::FMSC_MODE_PRIVATE, afresh);
    p.maxFilePages = 8;
    p.segments = 4;
    p.megabytesPerExtentFile = 16;
    p.extentFiles = 1;
    return p;
}

std::int32_t firstPageOf(Fcc::FMSC_FILETOC_T* cache, const std::string& guid) {
    std::int64_t size = 0;
    std::int32_t first = -1;
    if (Fcc::FMSCIF_FindFile(cache, guid.c_str(), &size, &first) != 0) return -1;
    return first;
}

// A write refused before it changed anything: a length, block number or
// first page that no file has.
bool refused(int rc) {
    for (int before :
         {Fcc::FMSC_ERROR_IF_BAD_LENGTH, Fcc::FMSC_ERROR_IF_BAD_FILE_OFFSET,
          Fcc::FMSC_ERROR_METAFILE_FREEPAGE_OFFSET_IS_LESS_THAN_ZERO,
          Fcc::FMSC_ERROR_METAFILE_FREEPAGE_OFFSET_IS_GREATER_THAN_FMSC_MAX_NUMBER_OF_FILE_PAGES,
          Fcc::FMSC_ERROR_METAFILE_PAGE_TYPE_DOES_NOT_MATCH_REQUIRED_TYPE,
          Fcc::FMSC_ERROR_METAFILE_REFERENCED_FILE_PAGE_IS_NOT_FIRST})
        if (rc == before) return true;
    return false;
}

// The GUID of the file whose first page is page, "" when it is none.
std::string guidAtFirstPage(Fcc::FMSC_FILETOC_T* cache, std::int32_t page) {
    if (page < 0 || page >= cache->limits.pages) return "";
    const Fcc::FmscFilePage& p = cache->pages[page];
    if (p.type != Fcc::FMSC_PAGE_ALLOCATED || p.firstPage != 1) return "";
    return std::string(p.guid, strnlen(p.guid, Fcc::FMSC_GUID_SIZE));
}

// Input after the first byte: operations, each a byte that picks it and
// the arguments it reads.
void runOperations(const std::string& folder, Reader& in) {
    const Fcc::FmscQuietReports quiet;
    Fcc::FMSC_FILETOC_T* cache = nullptr;
    const Fcc::FMSC_OPEN_PARAMS made = operationsParams(folder, true);
    FUZZ_CHECK(Fcc::FMSCIF_OpenS(&made, &cache) == 0);
    Written written;
    Bytes bytes(3 * 16384);
    for (int count = 0; in.more() && count < 64; ++count) {
        const std::uint8_t operation = in.byte();
        const std::string guid = in.guid();
        std::int32_t first = firstPageOf(cache, guid);
        // The file that a write goes to: the GUID's, or the file whose first
        // page the input names (none when it names no first page).
        std::string target = guid;
        if (operation & 0x80) {
            first = in.word();  // any page at all
            target = guidAtFirstPage(cache, first);
        }
        const std::int32_t block = (operation & 0x40) ? in.word() : in.byte() % 48;
        switch (operation % 12) {
            case 0: {
                std::int32_t page = -1;
                Fcc::FMSCIF_AddFile(cache, guid.c_str(), std::uint32_t(in.word()), 0, &page);
                break;
            }
            case 1:
            case 2: {
                const std::int32_t length = operation % 12 == 1
                                                ? in.word() % 16385
                                                : std::int32_t(in.word() % (3 * 16384 + 1));
                const std::uint32_t write = ++written.writes;
                for (std::int32_t i = 0; i < std::int32_t(bytes.size()); ++i)
                    bytes[std::size_t(i)] =
                        writtenByte(write + std::uint32_t(i / 16384), i % 16384);
                const bool single = operation % 12 == 1;
                const int rc =
                    single ? Fcc::FMSCIF_WriteBlock(cache, &first, block, bytes.data(), length)
                           : Fcc::FMSCIF_WriteData(cache, &first, block, bytes.data(), length);
                written.writes += 3;
                // Only a write to a file's first page, of blocks a file may
                // have, is done (an empty WriteData writes nothing at all).
                const std::int32_t blocks =
                    single ? 1 : length / 16384 + (length % 16384 > 0 ? 1 : 0);
                FUZZ_CHECK(rc != 0 || blocks <= 0 || (!target.empty() && block >= 0));
                for (std::int32_t b = 0;
                     !target.empty() && block >= 0 && b < blocks && block <= INT32_MAX - b; ++b) {
                    const std::int32_t piece = std::min(16384, length - b * 16384);
                    if (rc == 0)
                        written.wrote(target, block + b, write + std::uint32_t(b), piece);
                    else if (!refused(rc))
                        written.lost(target, block + b);
                }
                break;
            }
            case 3: {
                std::int32_t length = 0;
                Bytes read(16384);
                if (Fcc::FMSCIF_ReadBlock(cache, first, block, read.data(), &length) != 0 ||
                    length < 0)
                    break;
                FUZZ_CHECK(length <= 16384);
                const std::pair<std::string, std::int32_t> at{Written::key(guid), block};
                if (first != firstPageOf(cache, guid) || written.unknown.count(at)) break;
                // A block cached is one written to this file, as last written.
                const auto it = written.blocks.find(at);
                FUZZ_CHECK(it != written.blocks.end());
                FUZZ_CHECK(it->second.second == length);
                for (std::int32_t i = 0; i < length; ++i)
                    FUZZ_CHECK(read[std::size_t(i)] == writtenByte(it->second.first, i));
                break;
            }
            case 4: {
                std::int32_t found = 0, length = 0;
                Fcc::FMSCIF_FindNextSegment(cache, first, block, &found, &length);
                break;
            }
            case 5:
                if (Fcc::FMSCIF_DeleteFile(cache, guid.c_str()) == 0) written.deleted(guid);
                break;
            case 6: Fcc::FMSCIF_AdjustFileSize(cache, guid.c_str(), std::uint32_t(block), 0); break;
            case 7: Fcc::FMSCIF_DeleteOldest(cache); break;
            case 8: Fcc::FMSCIF_Purge(cache, (block & 1) != 0); break;
            case 9: Fcc::FMSCIF_ShrinkTheSegmentExtentFile(cache, block & 1); break;
            case 10: {
                std::vector<std::int32_t> blocks;
                Fcc::FMSCIF_FindSegments(cache, first, &blocks);
                std::sort(blocks.begin(), blocks.end());
                // Each block is held once.
                FUZZ_CHECK(std::adjacent_find(blocks.begin(), blocks.end()) == blocks.end());
                break;
            }
            default: {
                FUZZ_CHECK(Fcc::FMSCIF_Close(&cache) == 0);
                const Fcc::FMSC_OPEN_PARAMS again = operationsParams(folder, false);
                FUZZ_CHECK(Fcc::FMSCIF_OpenS(&again, &cache) == 0);
            }
        }
        FUZZ_CHECK(Fcc::FMSCFile_CheckMetaFile(cache, 63) == 0);
    }
    FUZZ_CHECK(Fcc::FMSCIF_Close(&cache) == 0);
    const Fcc::FMSC_OPEN_PARAMS again = operationsParams(folder, false);
    FUZZ_CHECK(Fcc::FMSCIF_OpenS(&again, &cache) == 0);
    FUZZ_CHECK(Fcc::FMSCIF_Close(&cache) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const Setup& s = setup();
    if ((data[0] & 0x30) == 0x30) {
        Reader in(data + 1, size - 1);
        runOperations(s.operationsFolder, in);
        return 0;
    }
    const bool client = (data[0] & 1) != 0;
    const CacheImage& image = client ? s.clientImage : s.privateImage;
    const std::string& folder = client ? s.clientFolder : s.privateFolder;

    std::vector<Bytes> files = image.contents;
    for (std::size_t at = 1; at + 6 <= size;) {
        Bytes& file = files[data[at] % files.size()];
        const std::uint32_t offset = (std::uint32_t(data[at + 1]) << 24) | (data[at + 2] << 16) |
                                     (data[at + 3] << 8) | data[at + 4];
        const std::size_t count = std::min<std::size_t>(data[at + 5], size - at - 6);
        const std::size_t where = file.empty() ? 0 : offset % file.size();
        at += 6;
        if (count == 0) {
            if (at < size && data[at] == 0) file.resize(where);
            ++at;
            continue;
        }
        for (std::size_t i = 0; i < count && where + i < file.size(); ++i) {
            file[where + i] = data[at + i];
        }
        at += count;
    }
    // Every file is rewritten in place (an open and its reads change them):
    // a running server's mappings see the damage as a client does.
    for (std::size_t f = 0; f < files.size(); ++f) {
        const std::string path = folder + "/" + image.names[f];
        if (files[f].size() != image.contents[f].size()) {
            FUZZ_CHECK(truncate(path.c_str(), 0) == 0);
        }
        FILE* out = std::fopen(path.c_str(), "r+b");
        FUZZ_CHECK(out != nullptr);
        FUZZ_CHECK(std::fwrite(files[f].data(), 1, files[f].size(), out) == files[f].size());
        std::fclose(out);
    }

    const Fcc::FMSC_OPEN_PARAMS p =
        params(folder, client ? Fcc::FMSC_MODE_CLIENT : Fcc::FMSC_MODE_PRIVATE, false);
    Fcc::FMSC_FILETOC_T* cache = nullptr;
    if (Fcc::FMSCIF_OpenS(&p, &cache) == 0) {
        readEverything(cache, client);
        Fcc::FMSCIF_Close(&cache);
    }
    FUZZ_CHECK(cache == nullptr);

    return 0;
}
