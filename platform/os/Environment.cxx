#include <platform/os/internal/Environment.hxx>

#include <unistd.h>

#include <cstdlib>
#include <memory>

namespace Quillomark::Platform::Os {

std::string environmentValue(const char* name) {
    const char* value = name ? std::getenv(name) : nullptr;
    return value ? std::string(value) : std::string();
}

std::string currentFolder() {
    const std::unique_ptr<char, decltype(&std::free)> folder(getcwd(nullptr, 0), &std::free);
    // A folder that is no longer reachable reads as "(unreachable)/...".
    if (!folder || folder.get()[0] != '/') return std::string();
    return folder.get();
}

std::string absolutePath(const std::string& path) {
    if (path.empty() || path[0] == '/') return path;
    std::string joined = currentFolder();
    if (joined.empty()) return joined;
    if (joined.back() != '/') joined += '/';
    return joined + path;
}

}  // namespace Quillomark::Platform::Os
