// The calling thread's last error, kept in its connection record. A thread
// without a record (all are taken) keeps no text.

#include <fcc/internal/FccErrors.hxx>
#include <fcc/internal/FccSelfProxy.hxx>
#include <fcc/runtime/internal/FccRuntime.hxx>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace Quillomark::Fcc {

namespace {

void replaceText(char*& slot, const char* text, std::size_t length = SIZE_MAX) {
    std::free(slot);
    slot = text ? strndup(text, length) : nullptr;
}

}  // namespace

void FccSetLastErrorText(const char* text, std::size_t length) {
    FccConnectionRef record = FccGetThreadConnection();
    if (record) replaceText(record->errorText, text, length);
}

void FccSaveLastError() {
    FccConnectionRef record = FccGetThreadConnection();
    if (!record || !record->errorText) return;
    std::free(record->savedErrorText);
    record->savedErrorText = std::exchange(record->errorText, nullptr);
}

void FccRestoreLastError() {
    FccConnectionRef record = FccGetThreadConnection();
    if (!record || !record->savedErrorText) return;
    std::free(record->errorText);
    record->errorText = std::exchange(record->savedErrorText, nullptr);
}

const char* FccLastErrorText() {
    FccConnectionRef record = FccGetThreadConnection();
    return record ? record->errorText : nullptr;
}

namespace SelfProxy {

int FmsErrorCode(int code) {
    FccConnectionRef record = FccGetThreadConnection();
    // Within one call the first recorded error wins.
    if (!record || record->errorText) return code;
    record->localized = false;
    replaceText(record->errorText, FccErrorCodeName(code));
    return code;
}

void FmsClearLastError() {
    FccConnectionRef record = FccGetThreadConnection();
    if (!record) return;
    replaceText(record->errorText, nullptr);
    record->localized = false;
}

}  // namespace SelfProxy

}  // namespace Quillomark::Fcc
