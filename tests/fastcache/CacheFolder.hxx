#pragma once

#include <fcc/fastcache/internal/FmscTypes.hxx>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace Quillomark::Testing {

// A fresh folder for one test's cache files and named objects; removed with
// everything in it at the end.
class CacheFolder {
public:
    CacheFolder() {
        char pattern[] = "/tmp/fastcache-XXXXXX";
        if (!mkdtemp(pattern)) throw std::runtime_error("no temporary folder");
        path = pattern;
        setenv("FMS_IPC_DIR", (path + "/ipc").c_str(), 1);
    }
    ~CacheFolder() {
        unsetenv("FMS_IPC_DIR");
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    CacheFolder(const CacheFolder&) = delete;
    CacheFolder& operator=(const CacheFolder&) = delete;

    std::string file(const std::string& name) const { return path + "/" + name; }

    std::string path;
};

// A small cache of 8 segments and one hash page in the folder, opened by a
// sharing server (made afresh) or attached to by its client.
inline Fcc::FMSC_OPEN_PARAMS smallCache(const CacheFolder& folder, const char* name,
                                        std::int32_t pages, std::int32_t mode) {
    Fcc::FMSC_OPEN_PARAMS p;
    p.folder = folder.path.c_str();
    p.name = name;
    p.maxFilePages = pages;
    p.segments = 8;
    p.hashBlockPages = 1;
    p.create = p.deleteFiles = mode != Fcc::FMSC_MODE_CLIENT;
    p.mode = mode;
    return p;
}

inline std::vector<std::uint8_t> readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return {};
    std::vector<std::uint8_t> bytes(std::size_t(in.tellg()));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(bytes.size()));
    return bytes;
}

// A little-endian 32-bit word of a byte image.
inline std::int32_t wordAt(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | bytes.at(offset + std::size_t(i));
    return static_cast<std::int32_t>(value);
}

inline void putWord(std::vector<std::uint8_t>& bytes, std::size_t offset, std::int32_t value) {
    for (int i = 0; i < 4; ++i)
        bytes.at(offset + std::size_t(i)) = std::uint8_t(std::uint32_t(value) >> (8 * i));
}

// The process's open descriptors.
inline int openDescriptors() {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        count += entry.path().empty() ? 0 : 1;
    return count;
}

inline void writeBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

}  // namespace Quillomark::Testing
