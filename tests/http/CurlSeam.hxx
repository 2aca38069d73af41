#pragma once

#include <vector>

// A seam between the library and libcurl in the HTTP test executable: it
// defines curl_easy_init, curl_easy_duphandle and curl_easy_setopt itself,
// passes every call on to libcurl, and lets a test watch the numeric
// settings, make a handle creation fail, and run out of memory in the
// library's write callback.
namespace Quillomark::Testing::CurlSeam {

struct Setting {
    int option;
    long value;
};

// The handle creation (curl_easy_init, curl_easy_duphandle, libcurl's own
// calls included) that comes after `passing` more returns null.
void failNextInit(int passing = 0);
// The next curl_easy_setopt of `option` returns CURLE_BAD_FUNCTION_ARGUMENT
// without passing the setting on.
void failNextSetting(int option);
// The next call of the library's write callback (a reply's body arriving)
// has its first allocation fail (tests/support/FailingAllocations).
void failAllocationInNextWrite();
// The numeric settings made since the last clear, in order.
std::vector<Setting> numericSettings();
void clearSettings();
// The value last given to `option` since the last clear, or -1.
long lastValue(int option);

}  // namespace Quillomark::Testing::CurlSeam
