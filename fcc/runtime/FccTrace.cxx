#include <fcc/runtime/internal/FccRuntime.hxx>

#include <platform/os/internal/Environment.hxx>
#include <platform/os/internal/PrivateFile.hxx>

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
        // The trace names pipes, paths and errors: it is the user's alone,
        // and a link that someone planted at its path is not written through.
        traceLog = Platform::Os::openPrivateAppendFile(path);
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
