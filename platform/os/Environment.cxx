#include <platform/os/internal/Environment.hxx>

#include <cstdlib>

namespace Quillomark::Platform::Os {

std::string environmentValue(const char* name) {
    const char* value = name ? std::getenv(name) : nullptr;
    return value ? std::string(value) : std::string();
}

}  // namespace Quillomark::Platform::Os
