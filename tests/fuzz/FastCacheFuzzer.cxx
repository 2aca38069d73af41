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

#include "tests/fuzz/FuzzCheck.hxx"

#include <fcc/fastcache/internal/FmscInterface.hxx>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
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
        if (!entry.is_regular_file()) continue;
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const Setup& s = setup();
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
