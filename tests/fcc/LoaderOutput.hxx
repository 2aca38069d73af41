#pragma once

// What the loader of the file-cache interface prints.
namespace Quillomark::Testing {

inline const char* const FCC_VERSION_LINE = "FCC interface version 1.2(20070517).\n";

inline const char* const SELF_PROXY_WARNING =
    "***** WARNING: The FCC Client Proxy shared library is not installed. *****\n"
    "*****   Reverting to self-proxying mode. *****\n"
    "***** (Installing an FMS client update will silence this warning.) *****\n\n";

}  // namespace Quillomark::Testing
