#include <soa/client/ChangeListener.hxx>
#include <soa/client/DeleteListener.hxx>
#include <soa/client/ErrorStack.hxx>
#include <soa/client/PartialErrorListener.hxx>
#include <soa/client/Preferences.hxx>
#include <soa/client/ServiceData.hxx>

#include <platform/os/internal/Forks.hxx>

namespace Quillomark::Soa::Client {

const ErrorValue& ErrorStack::getErrorValue(int index) const {
    // An index out of range is refused, not read.
    return errorValues.at(static_cast<std::size_t>(index));
}

bool Preferences::containsPreference(const std::string& name) const {
    return preferences.find(name) != preferences.end();
}

namespace {

// Made with the first preferences, so that a lookup meets no allocation
// that could fail; never destroyed: the application may read it while the
// process exits.
Quillomark::Platform::Os::ProcessObject<const std::vector<std::string>> noValues;

}  // namespace

Preferences::Preferences() { noValues.get(); }

const std::vector<std::string>& Preferences::getPreference(const std::string& name) const {
    auto found = preferences.find(name);
    return found == preferences.end() ? *noValues : found->second;
}

ChangeListener::~ChangeListener() = default;
DeleteListener::~DeleteListener() = default;
PartialErrorListener::~PartialErrorListener() = default;

}  // namespace Quillomark::Soa::Client
