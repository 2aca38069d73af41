#pragma once

#include <soa/client/ModelObject.hxx>
#include <soa/common/DateTime.hxx>

#include <string>
#include <vector>

// What the typed accessors share. Every accessor is one call into these, so
// that the several thousand accessors stay small and quick to compile.
namespace Quillomark::Soa::Client::PropertyAccess {

using Common::DateTime;

char charValue(ModelObject* object, const char* name);
const DateTime& dateValue(ModelObject* object, const char* name);
double doubleValue(ModelObject* object, const char* name);
float floatValue(ModelObject* object, const char* name);
int intValue(ModelObject* object, const char* name);
bool booleanValue(ModelObject* object, const char* name);
short shortValue(ModelObject* object, const char* name);
const std::string& stringValue(ModelObject* object, const char* name);
ModelObject* objectValue(ModelObject* object, const char* name);

const std::vector<char>& charList(ModelObject* object, const char* name);
const std::vector<DateTime>& dateList(ModelObject* object, const char* name);
const std::vector<double>& doubleList(ModelObject* object, const char* name);
const std::vector<float>& floatList(ModelObject* object, const char* name);
const std::vector<int>& intList(ModelObject* object, const char* name);
const std::vector<bool>& booleanList(ModelObject* object, const char* name);
const std::vector<short>& shortList(ModelObject* object, const char* name);
const std::vector<std::string>& stringList(ModelObject* object, const char* name);
const std::vector<ModelObject*>& objectList(ModelObject* object, const char* name);

// The number of elements of a reference list.
unsigned int count(ModelObject* object, const char* name);
// The element at index of a reference list; an index at or beyond the end
// throws RuntimeException GENERAL_ERROR naming the property and the index.
ModelObject* element(ModelObject* object, const char* name, unsigned int index);

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
T* typedValue(ModelObject* object, const char* name) {
    return checked<T>(objectValue(object, name));
}

template <class T>
T* typedElement(ModelObject* object, const char* name, unsigned int index) {
    return checked<T>(element(object, name, index));
}

}  // namespace Quillomark::Soa::Client::PropertyAccess
