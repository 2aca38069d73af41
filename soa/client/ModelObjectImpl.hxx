#pragma once

#include <soa/common/Export.hxx>

#include <map>
#include <string>
#include <vector>

namespace Quillomark::Soa::Client {

class Property;
class Type;

// The data of one client object: its UID, its properties by name (owned)
// and its type (not owned).
class QMSOA_API ModelObjectImpl {
public:
    ModelObjectImpl(const std::string& uid, Type* type);
    ModelObjectImpl(const ModelObjectImpl&) = delete;
    ModelObjectImpl& operator=(const ModelObjectImpl&) = delete;
    ~ModelObjectImpl();

    const std::string& getUid() const { return uid; }
    std::vector<std::string> getPropertyNames() const;
    // Null when no property of that name is loaded.
    Property* getProperty(const std::string& name) const;
    // Takes ownership; a property of the same name is destroyed.
    void addProperty(const std::string& name, Property* property);
    Type* getType() const { return type; }

    // Replaces the type when `type` is the current type or a descendant of it
    // (compared by name); returns whether it did.
    bool setType(Type* type);
    bool isTypeOf(Type* type) const;

private:
    friend class ModelObject;

    std::string uid;
    std::map<std::string, Property*> properties;
    Type* type;
};

}  // namespace Quillomark::Soa::Client
