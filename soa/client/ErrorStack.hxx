#pragma once

#include <soa/client/ErrorValue.hxx>
#include <soa/common/Export.hxx>

#include <cstdint>
#include <string>
#include <vector>

namespace Quillomark::Testing {
class ClientValues;
}

namespace Quillomark::Soa::Client {

class ModelObject;
class ModelManagerImpl;

// A partial error of a reply: the input it belongs to (client ID and index),
// the object it concerns (not owned, may be null) and its errors. Only the
// model manager makes them.
class QMSOA_API ErrorStack {
public:
    ErrorStack(const ErrorStack& other) = default;
    ErrorStack& operator=(const ErrorStack& other) = default;
    ~ErrorStack() = default;

    const std::string& getClientId() const { return clientId; }
    int getClientIndex() const { return clientIndex; }
    ModelObject* getAssociatedObject() const { return associatedObject; }
    int getErrorValueCount() const { return static_cast<int>(errorValues.size()); }
    // Throws std::out_of_range unless 0 <= index < getErrorValueCount().
    const ErrorValue& getErrorValue(int index) const;

private:
    friend class ModelManagerImpl;
    friend class Quillomark::Testing::ClientValues;
    ErrorStack() = default;

    std::string clientId;
    std::int32_t clientIndex = 0;
    ModelObject* associatedObject = nullptr;
    std::vector<ErrorValue> errorValues;
};

}  // namespace Quillomark::Soa::Client
