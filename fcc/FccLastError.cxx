#include <fcc/internal/FccLastError.hxx>

#include <string>

namespace Quillomark::Fcc {

namespace {

struct ThreadError {
    bool recorded = false;
    std::string text;
};

thread_local ThreadError threadError;

}  // namespace

const char* lastErrorText() noexcept {
    return threadError.recorded ? threadError.text.c_str() : nullptr;
}

void setLastErrorText(const char* text) noexcept {
    if (!text) {
        clearLastError();
        return;
    }
    try {
        threadError.text = text;
        threadError.recorded = true;
    } catch (...) {
        // Out of memory: better no text than a failing interface call.
        clearLastError();
    }
}

void clearLastError() noexcept {
    threadError.recorded = false;
    threadError.text.clear();
    threadError.text.shrink_to_fit();
}

}  // namespace Quillomark::Fcc
