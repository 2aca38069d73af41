#include <fcc/runtime/internal/FccRuntime.hxx>

#include <platform/os/internal/Environment.hxx>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace Quillomark::Fcc {

namespace {

// Open for the rest of the process once opened.
std::atomic<std::FILE*> traceLog{nullptr};

}  // namespace

void FccOpenTraceLog() {
    static std::once_flag opened;
    std::call_once(opened, [] {
        const std::string path = Platform::Os::environmentValue("FMS_FCCPROXYLOG");
        if (!path.empty()) traceLog = std::fopen(path.c_str(), "a");
    });
}

bool fccTracing() { return traceLog.load() != nullptr; }

void fccTrace(const char* format, ...) {
    std::FILE* log = traceLog.load();
    if (!log) return;
    std::va_list arguments;
    va_start(arguments, format);
    std::vfprintf(log, format, arguments);
    va_end(arguments);
    std::fflush(log);
}

}  // namespace Quillomark::Fcc
