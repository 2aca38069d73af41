#pragma once

#include <soa/client/ModelObject.hxx>
#include <soa/common/DateTime.hxx>

#include <string>
#include <string_view>
#include <vector>

// What the typed accessors share. Every accessor is one call into these, so
// that the several thousand accessors stay small and quick to compile; the
// name is passed as a view of the accessor's literal, so that no string is
// made to look it up.
namespace Quillomark::Soa::Client::PropertyAccess {

using Common::DateTime;

char charValue(ModelObject* object, std::string_view name);
const DateTime& dateValue(ModelObject* object, std::string_view name);
double doubleValue(ModelObject* object, std::string_view name);
float floatValue(ModelObject* object, std::string_view name);
int intValue(ModelObject* object, std::string_view name);
bool booleanValue(ModelObject* object, std::string_view name);
short shortValue(ModelObject* object, std::string_view name);
const std::string& stringValue(ModelObject* object, std::string_view name);
ModelObject* objectValue(ModelObject* object, std::string_view name);

const std::vector<char>& charList(ModelObject* object, std::string_view name);
const std::vector<DateTime>& dateList(ModelObject* object, std::string_view name);
const std::vector<double>& doubleList(ModelObject* object, std::string_view name);
const std::vector<float>& floatList(ModelObject* object, std::string_view name);
const std::vector<int>& intList(ModelObject* object, std::string_view name);
const std::vector<bool>& booleanList(ModelObject* object, std::string_view name);
const std::vector<short>& shortList(ModelObject* object, std::string_view name);
const std::vector<std::string>& stringList(ModelObject* object, std::string_view name);
const std::vector<ModelObject*>& objectList(ModelObject* object, std::string_view name);

// The number of elements of a reference list.
unsigned int count(ModelObject* object, std::string_view name);
// The element at index of a reference list; an index at or beyond the end
// throws RuntimeException GENERAL_ERROR naming the property and the index.
ModelObject* element(ModelObject* object, std::string_view name, unsigned int index);

// Throws RuntimeException TYPE_MISMATCH "Wrong type of object stored".
[[noreturn]] void throwWrongType();

// A reference of class T or a class derived from it; anything else, null
// included, is refused.
template <class T>
T* checked(ModelObject* object) {
    T* typed = dynamic_cast<T*>(object);
    if (typed == nullptr) {
        throwWrongType();
    }
    return typed;
}

template <class T>
T* typedValue(ModelObject* object, std::string_view name) {
    return checked<T>(objectValue(object, name));
}

template <class T>
T* typedElement(ModelObject* object, std::string_view name, unsigned int index) {
    return checked<T>(element(object, name, index));
}

}  // namespace Quillomark::Soa::Client::PropertyAccess
