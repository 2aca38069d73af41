#pragma once

// What the fuzz targets share: a check that stops the run loudly (libFuzzer
// and the corpus driver both report the abort with the input that caused
// it), and the entry point every target defines.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace Quillomark::Testing::Fuzz {

[[noreturn]] inline void fail(const char* what, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
    std::abort();
}

}  // namespace Quillomark::Testing::Fuzz

#define FUZZ_CHECK(condition) \
    ((condition) ? (void)0 : ::Quillomark::Testing::Fuzz::fail(#condition, __FILE__, __LINE__))
