#pragma once

#include <soa/common/Export.hxx>

#include <string>

namespace Quillomark::Soa::Client {

// The description of one property of a type: its name, the kind of value it
// holds, whether it holds a list of them, and whether it may be changed.
class QMSOA_API PropertyDescription {
public:
    // The value kinds. VALUE_ARRAY is added to a kind by the list getters of
    // Property to ask for the list form; it is never stored in a description.
    enum ValueType {
        VALUE_CHAR = 0,
        VALUE_DATE = 1,
        VALUE_DOUBLE = 2,
        VALUE_FLOAT = 3,
        VALUE_INT = 4,
        VALUE_BOOLEAN = 5,
        VALUE_SHORT = 6,
        VALUE_STRING = 7,
        VALUE_MODEL_OBJECT = 8,
        VALUE_ARRAY = 0xF0
    };

    virtual const std::string& getName() const = 0;
    virtual ValueType getValueType() const = 0;
    virtual bool isArray() const = 0;
    virtual bool isModifiable() const = 0;

protected:
    PropertyDescription() = default;
    PropertyDescription(const PropertyDescription&) = default;
    PropertyDescription& operator=(const PropertyDescription&) = default;
    virtual ~PropertyDescription();
};

}  // namespace Quillomark::Soa::Client
