#pragma once

#include <string>

namespace Quillomark::Platform::Os {

// A shared library loaded by path. It stays loaded while the object lives;
// destroying or resetting the object unloads it.
class SharedLibrary {
public:
    SharedLibrary() = default;
    ~SharedLibrary();
    SharedLibrary(SharedLibrary&& other) noexcept;
    SharedLibrary& operator=(SharedLibrary&& other) noexcept;
    SharedLibrary(const SharedLibrary&) = delete;
    SharedLibrary& operator=(const SharedLibrary&) = delete;

    // Loads the library at path with every symbol resolved at once. On
    // failure the result is not loaded and error (when given) holds the
    // loader's explanation.
    static SharedLibrary open(const std::string& path, std::string* error = nullptr);

    bool isLoaded() const { return handle != nullptr; }

    // The address of an exported symbol of this library or of the libraries
    // it depends on; null when there is none or nothing is loaded.
    void* symbol(const char* name) const;

    void reset();

private:
    explicit SharedLibrary(void* handle) : handle(handle) {}

    void* handle = nullptr;
};

}  // namespace Quillomark::Platform::Os
