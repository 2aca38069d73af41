#include <soa/client/ModelObject.hxx>

#include <soa/client/ModelObjectImpl.hxx>
#include <soa/client/NotLoadedException.hxx>
#include <soa/client/Property.hxx>
#include <soa/client/Type.hxx>

namespace Quillomark::Soa::Client {

ModelObject::ModelObject() = default;

ModelObject::~ModelObject() { delete impl; }

void ModelObject::setModelObjectImpl(ModelObjectImpl* record) { impl = record; }

const std::string& ModelObject::getUid() const { return impl->getUid(); }

const std::vector<std::string> ModelObject::getPropertyNames() const {
    return impl->getPropertyNames();
}

Property* ModelObject::getProperty(const std::string& name) {
    // An object made by its public constructor has no record, and a record
    // may hold a null entry: both count as not loaded, so no accessor reads
    // through a null pointer.
    Property* property = impl == nullptr ? nullptr : impl->getProperty(name);
    if (property == nullptr) {
        throw NotLoadedException("The " + name + " property is not loaded in the client model.");
    }
    return property;
}

Type* ModelObject::getType() { return impl->getType(); }

ModelObjectImpl::ModelObjectImpl(const std::string& uid, Type* type) : uid(uid), type(type) {}

ModelObjectImpl::~ModelObjectImpl() {
    for (auto& entry : properties) {
        delete entry.second;
        entry.second = nullptr;
    }
    properties.clear();
    type = nullptr;
}

std::vector<std::string> ModelObjectImpl::getPropertyNames() const {
    std::vector<std::string> names;
    names.reserve(properties.size());
    for (const auto& entry : properties) names.push_back(entry.first);
    return names;
}

Property* ModelObjectImpl::getProperty(const std::string& name) const {
    auto it = properties.find(name);
    return it == properties.end() ? nullptr : it->second;
}

void ModelObjectImpl::addProperty(const std::string& name, Property* property) {
    auto at = properties.lower_bound(name);
    if (at != properties.end() && at->first == name) {
        if (at->second != property) delete at->second;
        at->second = property;
    } else {
        properties.emplace_hint(at, name, property);
    }
}

bool ModelObjectImpl::setType(Type* newType) {
    if (!isTypeOf(newType)) return false;
    type = newType;
    return true;
}

bool ModelObjectImpl::isTypeOf(Type* candidate) const {
    // Walks up from `candidate`; the manager refuses schemas whose parent
    // links form a cycle, so the walk ends at a root.
    for (Type* t = candidate; t != nullptr; t = t->getParent()) {
        if (t->getName() == type->getName()) return true;
    }
    return false;
}

}  // namespace Quillomark::Soa::Client
