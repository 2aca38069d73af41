#pragma once

#include <soa/common/Export.hxx>

#include <string>
#include <vector>

namespace Quillomark::Soa::Client {

class ModelManagerImpl;
class ModelObjectImpl;
class Property;
class Type;
namespace PropertyAccess {
struct Lookup;  // how the typed accessors find a property
}

// The client image of one server business object and the root of the typed
// model. It keeps its data in a ModelObjectImpl record that the model
// manager attaches right after creating it; the manager owns every object,
// so applications hold objects by pointer and never delete them.
class QMSOA_API ModelObject {
public:
    ModelObject(const ModelObject&) = delete;
    ModelObject& operator=(const ModelObject&) = delete;

    const std::string& getUid() const;
    // The names of the loaded properties in ascending byte order.
    const std::vector<std::string> getPropertyNames() const;
    // The loaded property of that name, never null; throws
    // NotLoadedException when the object has none.
    Property* getProperty(const std::string& name);
    // Valid as long as the object's manager lives, also after the object
    // is removed or its placeholder type is replaced by the loaded one.
    Type* getType();

protected:
    friend class ModelManagerImpl;
    friend struct PropertyAccess::Lookup;

    ModelObject();
    virtual ~ModelObject();
    // Takes ownership; a record set before is not freed.
    void setModelObjectImpl(ModelObjectImpl* impl);

private:
    ModelObjectImpl* impl = nullptr;
};

}  // namespace Quillomark::Soa::Client
