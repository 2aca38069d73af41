#include <soa/client/ModelManagerImpl.hxx>

#include <soa/client/ModelObject.hxx>
#include <soa/client/ModelObjectImpl.hxx>
#include <soa/client/RuntimeException.hxx>
#include <soa/client/TypeImpl.hxx>
#include <soa/client/model/factories/ModelObjectFactory.hxx>
#include <soa/client/model/factories/ObjectFactories.hxx>

namespace Quillomark::Soa::Client {

namespace {

const char* const PLACEHOLDER_TYPE_UID = "UNKNOWN_TYPE_UID";
const char* const DEFAULT_TYPE_NAME = "ModelObject";

// Owns the factories of the process-wide map.
struct SharedFactories {
    std::map<std::string, ModelObjectFactory*> map;
    SharedFactories() {
        try {
            registerObjectFactories(map);
        } catch (...) {
            release();
            throw;
        }
    }
    ~SharedFactories() { release(); }
    void release() {
        for (auto& entry : map) {
            delete entry.second;
            entry.second = nullptr;
        }
        map.clear();
    }
};

}  // namespace

const ModelManagerImpl::FactoryMap* ModelManagerImpl::s_objectFactoryMap = nullptr;

ModelManager::ModelManager() = default;
ModelManager::~ModelManager() = default;

const ModelManagerImpl::FactoryMap& ModelManagerImpl::objectFactories() {
    if (s_objectFactoryMap == nullptr) {
        static const SharedFactories shared;
        s_objectFactoryMap = &shared.map;
    }
    return *s_objectFactoryMap;
}

ModelManagerImpl::ModelManagerImpl(Connection* connection) : connection(connection) {
    objectFactories();
}

ModelManagerImpl::~ModelManagerImpl() {
    for (auto& entry : objects) {
        delete entry.second;
        entry.second = nullptr;
    }
    objects.clear();
    types.clear();
    placeholderTypes.clear();
    connection = nullptr;
}

ModelObject* ModelManagerImpl::getObject(std::string uid) {
    if (uid.empty()) return nullptr;
    auto it = objects.find(uid);
    if (it == objects.end()) {
        throw RuntimeException(RuntimeException::NOT_LOADED, "Asked for unloaded object");
    }
    return it->second;
}

bool ModelManagerImpl::validateUID(std::string uid) {
    return uid.compare(0, 5, "BOM::") == 0 || uid.compare(0, 6, "TYPE::") == 0 ||
           uid.size() == 14;
}

ModelObject* ModelManagerImpl::constructObject(std::string uid) {
    return constructObject(DEFAULT_TYPE_NAME, uid);
}

ModelObject* ModelManagerImpl::constructObject(std::string typeName, std::string uid) {
    if (!validateUID(uid)) {
        throw RuntimeException(RuntimeException::GENERAL_ERROR, "Invalid UID specified: " + uid);
    }
    auto at = objects.lower_bound(uid);
    if (at != objects.end() && at->first == uid) return at->second;

    TypeImpl* type;
    auto known = types.find(typeName);
    if (known != types.end()) {
        type = known->second.get();
    } else {
        placeholderTypes.push_back(std::make_unique<TypeImpl>(PLACEHOLDER_TYPE_UID, typeName));
        type = placeholderTypes.back().get();
    }
    auto record = std::make_unique<ModelObjectImpl>(uid, type);
    ModelObject* object = constructObjectOfType(type);
    object->setModelObjectImpl(record.release());
    try {
        objects.emplace_hint(at, uid, object);
    } catch (...) {
        delete object;
        throw;
    }
    return object;
}

ModelObject* ModelManagerImpl::constructObjectOfType(Type* type) {
    const FactoryMap& factories = objectFactories();
    for (Type* t = type; t != nullptr; t = t->getParent()) {
        auto it = factories.find(t->getName());
        if (it != factories.end()) return it->second->construct();
    }
    return new ModelObject;
}

void ModelManagerImpl::remove(const std::string& uid) {
    auto it = objects.find(uid);
    if (it == objects.end()) return;
    ModelObject* object = it->second;
    objects.erase(it);
    ++removals;
    delete object;
}

void ModelManagerImpl::removeObjectsFromStore(std::vector<std::string> uids) {
    for (const std::string& uid : uids) remove(uid);
}

void ModelManagerImpl::removeObjectsFromStore(std::vector<ModelObject*>& list) {
    // The UIDs are taken first: an object listed twice must not be read
    // after its first removal destroyed it.
    std::vector<std::string> uids;
    uids.reserve(list.size());
    for (ModelObject* object : list) {
        if (object != nullptr) uids.push_back(object->getUid());
    }
    for (const std::string& uid : uids) remove(uid);
}

void ModelManagerImpl::removeAllObjectsFromStore() {
    if (objects.empty()) return;
    ++removals;
    for (auto& entry : objects) {
        delete entry.second;
        entry.second = nullptr;
    }
    objects.clear();
}

void ModelManagerImpl::addChangeListener(ChangeListener* listener) {
    if (listener != nullptr) changeListeners.insert(listener);
}
void ModelManagerImpl::addDeleteListener(DeleteListener* listener) {
    if (listener != nullptr) deleteListeners.insert(listener);
}
void ModelManagerImpl::addPartialErrorListener(PartialErrorListener* listener) {
    if (listener != nullptr) partialErrorListeners.insert(listener);
}
void ModelManagerImpl::removeChangeListener(ChangeListener* listener) {
    changeListeners.erase(listener);
}
void ModelManagerImpl::removeDeleteListener(DeleteListener* listener) {
    deleteListeners.erase(listener);
}
void ModelManagerImpl::removePartialErrorListener(PartialErrorListener* listener) {
    partialErrorListeners.erase(listener);
}

}  // namespace Quillomark::Soa::Client
