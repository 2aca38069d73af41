#include <soa/client/model/internal/PropertyAccess.hxx>

#include <soa/client/ModelObjectImpl.hxx>
#include <soa/client/Property.hxx>
#include <soa/client/RuntimeException.hxx>

namespace Quillomark::Soa::Client::PropertyAccess {

// The loaded property of that name, found in the object's record; when
// there is none, ModelObject::getProperty says so.
struct Lookup {
    static Property* property(ModelObject* object, std::string_view name) {
        if (object->impl != nullptr) {
            if (Property* found = object->impl->getProperty(name)) return found;
        }
        return object->getProperty(std::string(name));
    }
};

namespace {

Property* property(ModelObject* object, std::string_view name) {
    return Lookup::property(object, name);
}

}  // namespace

char charValue(ModelObject* object, std::string_view name) {
    return property(object, name)->getCharValue();
}
const DateTime& dateValue(ModelObject* object, std::string_view name) {
    return property(object, name)->getDateValue();
}
double doubleValue(ModelObject* object, std::string_view name) {
    return property(object, name)->getDoubleValue();
}
float floatValue(ModelObject* object, std::string_view name) {
    return property(object, name)->getFloatValue();
}
int intValue(ModelObject* object, std::string_view name) {
    return property(object, name)->getIntValue();
}
bool booleanValue(ModelObject* object, std::string_view name) {
    return property(object, name)->getBooleanValue();
}
short shortValue(ModelObject* object, std::string_view name) {
    return property(object, name)->getShortValue();
}
const std::string& stringValue(ModelObject* object, std::string_view name) {
    return property(object, name)->getStringValue();
}
ModelObject* objectValue(ModelObject* object, std::string_view name) {
    return property(object, name)->getModelObjectValue();
}

const std::vector<char>& charList(ModelObject* object, std::string_view name) {
    return property(object, name)->getCharArrayValue();
}
const std::vector<DateTime>& dateList(ModelObject* object, std::string_view name) {
    return property(object, name)->getDateArrayValue();
}
const std::vector<double>& doubleList(ModelObject* object, std::string_view name) {
    return property(object, name)->getDoubleArrayValue();
}
const std::vector<float>& floatList(ModelObject* object, std::string_view name) {
    return property(object, name)->getFloatArrayValue();
}
const std::vector<int>& intList(ModelObject* object, std::string_view name) {
    return property(object, name)->getIntArrayValue();
}
const std::vector<bool>& booleanList(ModelObject* object, std::string_view name) {
    return property(object, name)->getBooleanArrayValue();
}
const std::vector<short>& shortList(ModelObject* object, std::string_view name) {
    return property(object, name)->getShortArrayValue();
}
const std::vector<std::string>& stringList(ModelObject* object, std::string_view name) {
    return property(object, name)->getStringArrayValue();
}
const std::vector<ModelObject*>& objectList(ModelObject* object, std::string_view name) {
    return property(object, name)->getModelObjectArrayValue();
}

unsigned int count(ModelObject* object, std::string_view name) {
    return static_cast<unsigned int>(objectList(object, name).size());
}

ModelObject* element(ModelObject* object, std::string_view name, unsigned int index) {
    const std::vector<ModelObject*>& list = objectList(object, name);
    if (index >= list.size()) {
        throw RuntimeException(RuntimeException::GENERAL_ERROR,
                               "Index " + std::to_string(index) + " is out of range for the " +
                                   std::string(name) + " property, which holds " +
                                   std::to_string(list.size()) + " elements.");
    }
    return list[index];
}

void throwWrongType() {
    throw RuntimeException(RuntimeException::TYPE_MISMATCH, "Wrong type of object stored");
}

}  // namespace Quillomark::Soa::Client::PropertyAccess
