#pragma once

#include <soa/client/PropertyDescriptionImpl.hxx>
#include <soa/client/Type.hxx>
#include <soa/common/Export.hxx>

#include <map>
#include <string>

namespace Quillomark::Soa::Client {

// A type of the model schema, or a placeholder (UID "UNKNOWN_TYPE_UID") for a
// type name whose description has not been loaded. It owns its property
// descriptions, never its parent.
class QMSOA_API TypeImpl : public Type {
public:
    TypeImpl(const std::string& uid, const std::string& name);
    TypeImpl(const TypeImpl&) = delete;
    TypeImpl& operator=(const TypeImpl&) = delete;
    ~TypeImpl() override;

    Type* getParent() const override;
    const std::string& getName() const override;
    // The pointer stays valid as long as the type lives.
    PropertyDescription* getPropertyDescription(const std::string& name) const override;
    const std::string& getUid() const override;

    // Keeps a copy; the first description of a name stays, later ones are dropped.
    void addPropertyDescription(const PropertyDescription& description);
    void setParent(Type* parent);

private:
    std::string name;
    std::string uid;
    Type* parent = nullptr;
    // Held by value; mutable so that the const lookup can hand out the
    // non-const pointer that the interface returns.
    mutable std::map<std::string, PropertyDescriptionImpl> descriptions;
};

}  // namespace Quillomark::Soa::Client
