#pragma once

#include <soa/common/Export.hxx>

#include <string>

namespace Quillomark::Soa::Client {

class PropertyDescription;

// The client's description of one server business-object type.
class QMSOA_API Type {
public:
    // Null at a root type.
    virtual Type* getParent() const = 0;
    virtual const std::string& getName() const = 0;
    // The description of a property of this very type, or null; descriptions
    // of the parent types are not searched.
    virtual PropertyDescription* getPropertyDescription(const std::string& name) const = 0;
    virtual const std::string& getUid() const = 0;

protected:
    Type() = default;
    Type(const Type&) = default;
    Type& operator=(const Type&) = default;
    virtual ~Type();
};

}  // namespace Quillomark::Soa::Client
