#include <soa/client/ModelObject.hxx>

#include <soa/client/ModelObjectImpl.hxx>
#include <soa/client/NotLoadedException.hxx>
#include <soa/client/Property.hxx>
#include <soa/client/PropertyDescription.hxx>
#include <soa/client/Type.hxx>

#include <algorithm>

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
    for (Entry& entry : properties) {
        delete entry.property;
        entry.property = nullptr;
    }
    properties.clear();
    type = nullptr;
}

auto ModelObjectImpl::find(const std::string& name) const -> std::vector<Entry>::const_iterator {
    return std::lower_bound(properties.begin(), properties.end(), name,
                            [](const Entry& e, const std::string& n) { return *e.name < n; });
}

std::vector<std::string> ModelObjectImpl::getPropertyNames() const {
    std::vector<std::string> names;
    names.reserve(properties.size());
    for (const Entry& entry : properties) names.push_back(*entry.name);
    return names;
}

Property* ModelObjectImpl::getProperty(const std::string& name) const {
    auto it = find(name);
    return it != properties.end() && *it->name == name ? it->property : nullptr;
}

const std::string* ModelObjectImpl::nameFor(const std::string& name, Property* property,
                                            const std::string* current) {
    PropertyDescription* description =
        property != nullptr ? property->getPropertyDescription() : nullptr;
    if (description != nullptr && description->getName() == name) return &description->getName();
    for (const auto& own : ownNames) {
        if (own.get() == current) return current;
    }
    ownNames.push_back(std::make_unique<std::string>(name));
    return ownNames.back().get();
}

void ModelObjectImpl::releaseName(const std::string* name) {
    for (auto it = ownNames.begin(); it != ownNames.end(); ++it) {
        if (it->get() == name) {
            ownNames.erase(it);
            return;
        }
    }
}

void ModelObjectImpl::addProperty(const std::string& name, Property* property) {
    auto at = properties.begin() + (find(name) - properties.cbegin());
    if (at != properties.end() && *at->name == name) {
        if (at->property != property) delete at->property;
        at->property = property;
        const std::string* key = nameFor(name, property, at->name);
        if (key != at->name) {
            releaseName(at->name);
            at->name = key;
        }
    } else {
        try {
            properties.insert(at, Entry{nameFor(name, property, nullptr), property});
        } catch (...) {
            delete property;
            throw;
        }
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
