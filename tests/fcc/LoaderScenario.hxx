#pragma once

// What the loader of the file-cache interface prints, and a first call that
// records it.

#include <fcc/FccException.hxx>
#include <fcc/FccProxy.hxx>
#include <tests/support/OutputCapture.hxx>

#include <string>

namespace Quillomark::Testing {

inline const char* const FCC_VERSION_LINE = "FCC interface version 1.2(20070517).\n";

inline const char* const SELF_PROXY_WARNING =
    "***** WARNING: The FCC Client Proxy shared library is not installed. *****\n"
    "*****   Reverting to self-proxying mode. *****\n"
    "***** (Installing an FMS client update will silence this warning.) *****\n\n";

struct ProxyConstruction {
    int failCode = 0;  // of the FccException thrown, 0 when none was
    std::string message;
    std::string out;  // printed on standard output
    std::string err;  // printed on standard error
};

inline ProxyConstruction constructProxy() {
    ProxyConstruction result;
    OutputCapture out(1);
    OutputCapture err(2);
    try {
        Quillomark::Soa::Client::FccProxy proxy;
    } catch (const Quillomark::Soa::Client::FccException& e) {
        result.failCode = e.failCode();
        result.message = e.msg();
    }
    result.err = err.finish();
    result.out = out.finish();
    return result;
}

}  // namespace Quillomark::Testing
