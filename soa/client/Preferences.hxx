#pragma once

#include <soa/common/Export.hxx>

#include <map>
#include <string>
#include <vector>

namespace Quillomark::Testing {
class ClientValues;
}

namespace Quillomark::Soa::Client {

class ModelManagerImpl;

// Preference values by preference name, each list in the server's order.
class QMSOA_API Preferences {
public:
    // Throws std::bad_alloc when the process's first preferences find no
    // memory for the shared empty list.
    Preferences();
    Preferences(const Preferences& other) = default;
    Preferences& operator=(const Preferences& other) = default;
    ~Preferences() = default;

    const std::map<std::string, std::vector<std::string>>& getPreferences() const {
        return preferences;
    }
    bool containsPreference(const std::string& name) const;
    // The values of `name`; for a name without an entry one shared empty
    // list (the lookup adds nothing), which lasts as long as the process.
    const std::vector<std::string>& getPreference(const std::string& name) const;

private:
    friend class ModelManagerImpl;
    friend class Quillomark::Testing::ClientValues;

    std::map<std::string, std::vector<std::string>> preferences;
};

}  // namespace Quillomark::Soa::Client
