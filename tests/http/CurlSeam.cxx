#include "tests/http/CurlSeam.hxx"
#include "tests/support/FailingAllocations.hxx"

#include <curl/curl.h>
#include <dlfcn.h>

#include <atomic>
#include <cstdarg>
#include <mutex>

namespace Quillomark::Testing::CurlSeam {

namespace {

std::mutex mutex;
int failInit = -1;  // creations to pass before one fails; -1: none fails
int failingSetting = -1;
std::vector<Setting> settings;

// The library's write callback, which libcurl calls through writeThroughSeam.
using Write = std::size_t (*)(char*, std::size_t, std::size_t, void*);
std::atomic<Write> libraryWrite{nullptr};
std::atomic<bool> failInWrite{false};

std::size_t writeThroughSeam(char* data, std::size_t size, std::size_t count, void* target) {
    namespace Failing = Quillomark::Testing::FailingAllocations;
    if (failInWrite.exchange(false)) {
        Failing::failOnce = true;
        Failing::failAfter = 0;
    }
    return libraryWrite.load()(data, size, count, target);
}

template <class Function>
Function next(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

void failNextInit(int passing) {
    std::lock_guard<std::mutex> lock(mutex);
    failInit = passing;
}

void failAllocationInNextWrite() { failInWrite = true; }

void failNextSetting(int option) {
    std::lock_guard<std::mutex> lock(mutex);
    failingSetting = option;
}

std::vector<Setting> numericSettings() {
    std::lock_guard<std::mutex> lock(mutex);
    return settings;
}

void clearSettings() {
    std::lock_guard<std::mutex> lock(mutex);
    settings.clear();
}

long lastValue(int option) {
    std::lock_guard<std::mutex> lock(mutex);
    for (auto it = settings.rbegin(); it != settings.rend(); ++it) {
        if (it->option == option) return it->value;
    }
    return -1;
}

}  // namespace Quillomark::Testing::CurlSeam

namespace Seam = Quillomark::Testing::CurlSeam;

namespace {

bool failingInit() {
    std::lock_guard<std::mutex> lock(Seam::mutex);
    if (Seam::failInit < 0) return false;
    return Seam::failInit-- == 0;
}

}  // namespace

// Exported (the executable's link exports it): libcurl's own calls come here too.
extern "C" __attribute__((visibility("default"))) CURL* curl_easy_init() {
    if (failingInit()) return nullptr;
    static const auto real = Seam::next<CURL* (*)()>("curl_easy_init");
    return real();
}

extern "C" CURL* curl_easy_duphandle(CURL* handle) {
    if (failingInit()) return nullptr;
    static const auto real = Seam::next<CURL* (*)(CURL*)>("curl_easy_duphandle");
    return real(handle);
}

extern "C" CURLcode curl_easy_setopt(CURL* handle, CURLoption option, ...) {
    using Setopt = CURLcode (*)(CURL*, CURLoption, ...);
    static const auto real = Seam::next<Setopt>("curl_easy_setopt");
    {
        std::lock_guard<std::mutex> lock(Seam::mutex);
        if (Seam::failingSetting == option) {
            Seam::failingSetting = -1;
            return CURLE_BAD_FUNCTION_ARGUMENT;
        }
    }
    va_list args;
    // The option is an enumeration of int size: nothing is promoted here,
    // but clang cannot tell.
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wvarargs"
#endif
    va_start(args, option);
#if defined(__clang__)
#pragma clang diagnostic pop
#endif
    CURLcode result;
    if (option < CURLOPTTYPE_OBJECTPOINT) {
        const long value = va_arg(args, long);
        {
            std::lock_guard<std::mutex> lock(Seam::mutex);
            Seam::settings.push_back({option, value});
        }
        result = real(handle, option, value);
    } else if (option >= CURLOPTTYPE_OFF_T && option < CURLOPTTYPE_BLOB) {
        result = real(handle, option, va_arg(args, curl_off_t));
    } else {
        // Data and function pointers travel alike through the variable arguments.
        void* value = va_arg(args, void*);
        if (option == CURLOPT_WRITEFUNCTION && value != nullptr) {
            Seam::libraryWrite = reinterpret_cast<Seam::Write>(value);
            value = reinterpret_cast<void*>(&Seam::writeThroughSeam);
        }
        result = real(handle, option, value);
    }
    va_end(args);
    return result;
}
