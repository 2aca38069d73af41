#pragma once

namespace Quillomark::Fcc {

// The calling thread's last error text of the file-cache interface. The
// pointer that lastErrorText returns stays valid until the thread's text
// changes; it is null when no error is recorded.
const char* lastErrorText() noexcept;
void setLastErrorText(const char* text) noexcept;  // null clears it
void clearLastError() noexcept;

}  // namespace Quillomark::Fcc
