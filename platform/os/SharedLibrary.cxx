#include <platform/os/internal/SharedLibrary.hxx>

#include <dlfcn.h>

#include <utility>

namespace Quillomark::Platform::Os {

SharedLibrary::~SharedLibrary() { reset(); }

SharedLibrary::SharedLibrary(SharedLibrary&& other) noexcept
    : handle(std::exchange(other.handle, nullptr)) {}

SharedLibrary& SharedLibrary::operator=(SharedLibrary&& other) noexcept {
    if (this != &other) {
        reset();
        handle = std::exchange(other.handle, nullptr);
    }
    return *this;
}

SharedLibrary SharedLibrary::open(const std::string& path, std::string* error) {
    // Binding everything at load time rejects a library with unresolved
    // references now rather than with a crash at its first call. The
    // library's symbols stay out of the global scope, so they never stand in
    // for ours.
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle && error) {
        const char* why = dlerror();
        *error = why ? why : "";
    }
    return SharedLibrary(handle);
}

void* SharedLibrary::symbol(const char* name) const {
    if (!handle || !name) return nullptr;
    return dlsym(handle, name);
}

void SharedLibrary::reset() {
    if (handle) dlclose(std::exchange(handle, nullptr));
}

}  // namespace Quillomark::Platform::Os
