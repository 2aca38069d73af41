#include <soa/client/TypeImpl.hxx>

namespace Quillomark::Soa::Client {

PropertyDescription::~PropertyDescription() = default;
Type::~Type() = default;

PropertyDescriptionImpl::PropertyDescriptionImpl(ValueType valueType, const std::string& name,
                                                 bool isArray, bool isModifiable)
    : name(name), valueType(valueType), array(isArray), modifiable(isModifiable) {}
PropertyDescriptionImpl::PropertyDescriptionImpl(const PropertyDescriptionImpl& other) = default;
PropertyDescriptionImpl& PropertyDescriptionImpl::operator=(const PropertyDescriptionImpl& other) =
    default;
PropertyDescriptionImpl::~PropertyDescriptionImpl() = default;

const std::string& PropertyDescriptionImpl::getName() const { return name; }
PropertyDescription::ValueType PropertyDescriptionImpl::getValueType() const { return valueType; }
bool PropertyDescriptionImpl::isArray() const { return array; }
bool PropertyDescriptionImpl::isModifiable() const { return modifiable; }

TypeImpl::TypeImpl(const std::string& uid, const std::string& name) : name(name), uid(uid) {}
TypeImpl::~TypeImpl() { parent = nullptr; }

Type* TypeImpl::getParent() const { return parent; }
const std::string& TypeImpl::getName() const { return name; }
const std::string& TypeImpl::getUid() const { return uid; }

PropertyDescription* TypeImpl::getPropertyDescription(const std::string& propertyName) const {
    auto it = descriptions.find(propertyName);
    return it == descriptions.end() ? nullptr : &it->second;
}

void TypeImpl::addPropertyDescription(const PropertyDescription& description) {
    const std::string& key = description.getName();
    auto at = descriptions.lower_bound(key);
    if (at != descriptions.end() && at->first == key) return;
    descriptions.emplace_hint(
        at, key,
        PropertyDescriptionImpl(description.getValueType(), key, description.isArray(),
                                description.isModifiable()));
}

void TypeImpl::setParent(Type* newParent) { parent = newParent; }

}  // namespace Quillomark::Soa::Client
