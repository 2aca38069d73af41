#pragma once

#include <string>
#include <vector>

namespace Quillomark::Testing {

// Where the proxy library double and its variants are put: folders to use as
// FMS_HOME.
struct FmsHomes {
    static std::string complete();      // lib/ holds the double with all 40 entries
    static std::string missingEntry();  // lib/ holds a double without FCCTerminateThread
    static std::string notALibrary();   // lib/ holds a text file under the library's name
    static std::string empty();         // no lib/ folder at all
};

// Scripts and inspects the proxy library double once the file-cache
// interface has loaded it; it never loads the double itself.
class ProxyDoubleControl {
public:
    // Fails the current test when the double at that path is not loaded.
    explicit ProxyDoubleControl(const std::string& libraryPath);
    ~ProxyDoubleControl();
    ProxyDoubleControl(const ProxyDoubleControl&) = delete;
    ProxyDoubleControl& operator=(const ProxyDoubleControl&) = delete;

    bool attached() const { return library != nullptr; }

    void reset();
    void setResult(const std::string& entry, int result);
    void setItemStatus(int index, int status);
    void setEnabled(bool enabled);
    void setLastError(const char* text);  // null: no text at all
    std::vector<std::string> calls() const;

private:
    void* function(const char* name) const;

    void* library = nullptr;
};

// Whether the library at that path is loaded in this process.
bool isLibraryLoaded(const std::string& libraryPath);

}  // namespace Quillomark::Testing
