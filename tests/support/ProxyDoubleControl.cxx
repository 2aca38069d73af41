#include "ProxyDoubleControl.hxx"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/stat.h>

#include <sstream>

namespace Quillomark::Testing {

std::string FmsHomes::complete() { return QMSOA_TEST_FMSHOME_ROOT "/complete"; }
std::string FmsHomes::missingEntry() { return QMSOA_TEST_FMSHOME_ROOT "/missing"; }
std::string FmsHomes::notALibrary() { return QMSOA_TEST_FMSHOME_ROOT "/garbage"; }
std::string FmsHomes::empty() { return QMSOA_TEST_FMSHOME_ROOT "/empty"; }

ProxyDoubleControl::ProxyDoubleControl(const std::string& libraryPath)
    : library(dlopen(libraryPath.c_str(), RTLD_NOW | RTLD_NOLOAD)) {
    EXPECT_NE(library, nullptr) << "the proxy library double is not loaded: " << libraryPath;
}

ProxyDoubleControl::~ProxyDoubleControl() {
    if (library) dlclose(library);
}

void* ProxyDoubleControl::function(const char* name) const {
    void* address = library ? dlsym(library, name) : nullptr;
    if (!address) ADD_FAILURE() << "the proxy library double has no " << name;
    return address;
}

void ProxyDoubleControl::reset() {
    if (auto f = reinterpret_cast<void (*)()>(function("ProxyDouble_Reset"))) f();
}

void ProxyDoubleControl::setResult(const std::string& entry, int result) {
    if (auto f = reinterpret_cast<void (*)(const char*, int)>(function("ProxyDouble_SetResult"))) {
        f(entry.c_str(), result);
    }
}

void ProxyDoubleControl::setItemStatus(int index, int status) {
    if (auto f = reinterpret_cast<void (*)(int, int)>(function("ProxyDouble_SetItemStatus"))) {
        f(index, status);
    }
}

void ProxyDoubleControl::setEnabled(bool enabled) {
    if (auto f = reinterpret_cast<void (*)(int)>(function("ProxyDouble_SetEnabled"))) {
        f(enabled ? 1 : 0);
    }
}

void ProxyDoubleControl::setLastError(const char* text) {
    if (auto f = reinterpret_cast<void (*)(const char*)>(function("ProxyDouble_SetLastError"))) {
        f(text);
    }
}

std::vector<std::string> ProxyDoubleControl::calls() const {
    std::vector<std::string> lines;
    if (auto f = reinterpret_cast<const char* (*)()>(function("ProxyDouble_CallLog"))) {
        std::istringstream log(f());
        for (std::string line; std::getline(log, line);) lines.push_back(line);
    }
    return lines;
}

bool isLibraryLoaded(const std::string& libraryPath) {
    // Even a look of the loader's opens the file: a pipe there would hold it.
    struct stat file {};
    if (stat(libraryPath.c_str(), &file) != 0 || !S_ISREG(file.st_mode)) return false;
    void* handle = dlopen(libraryPath.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle) dlclose(handle);
    return handle != nullptr;
}

}  // namespace Quillomark::Testing
