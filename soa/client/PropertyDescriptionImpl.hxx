#pragma once

#include <soa/client/PropertyDescription.hxx>
#include <soa/common/Export.hxx>

#include <string>

namespace Quillomark::Soa::Client {

// A property description as the model schema gives it; a plain copyable value.
class QMSOA_API PropertyDescriptionImpl : public PropertyDescription {
public:
    PropertyDescriptionImpl(ValueType valueType, const std::string& name, bool isArray,
                            bool isModifiable);
    PropertyDescriptionImpl(const PropertyDescriptionImpl& other);
    PropertyDescriptionImpl& operator=(const PropertyDescriptionImpl& other);
    ~PropertyDescriptionImpl() override;

    const std::string& getName() const override;
    ValueType getValueType() const override;
    bool isArray() const override;
    bool isModifiable() const override;

private:
    std::string name;
    ValueType valueType;
    bool array;
    bool modifiable;
};

}  // namespace Quillomark::Soa::Client
