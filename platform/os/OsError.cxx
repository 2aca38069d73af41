#include <platform/os/internal/OsError.hxx>

#include <cstring>

namespace Quillomark::Platform::Os {

namespace {
thread_local int lastError = 0;
}

int lastOsError() { return lastError; }

void setLastOsError(int error) { lastError = error; }

std::string osErrorText(int error) {
    char buffer[256];
    // The GNU variant returns the text, which need not be in the buffer.
    const char* text = strerror_r(error, buffer, sizeof buffer);
    std::string result = text ? text : "";
    result = result.substr(0, result.find_first_of("\r\n"));
    if (result.size() > 255) result.resize(255);
    return result;
}

}  // namespace Quillomark::Platform::Os
