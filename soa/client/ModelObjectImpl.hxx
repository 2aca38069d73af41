#pragma once

#include <soa/common/Export.hxx>

#include <memory>
#include <string>
#include <vector>

namespace Quillomark::Soa::Client {

class Property;
class Type;

// The data of one client object: its UID, its properties by name (owned)
// and its type (not owned).
//
// The properties are kept sorted by name in one array, and a property's name
// is, where it can be, the name held by its description, which all objects of
// a type share: a lookup then touches little memory that is not already in
// the cache. A property's description must outlive the record.
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
    struct Entry {
        const std::string* name;
        Property* property;
    };

    std::vector<Entry>::const_iterator find(const std::string& name) const;
    const std::string* nameFor(const std::string& name, Property* property,
                               const std::string* current);
    void releaseName(const std::string* name);

    std::string uid;
    std::vector<Entry> properties;
    // Names that no description holds.
    std::vector<std::unique_ptr<std::string>> ownNames;
    Type* type;
};

}  // namespace Quillomark::Soa::Client
