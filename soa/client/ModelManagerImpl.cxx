#include <soa/client/ModelManagerImpl.hxx>

#include <soa/client/ChangeListener.hxx>
#include <soa/client/DeleteListener.hxx>
#include <soa/client/ErrorStack.hxx>
#include <soa/client/ModelObject.hxx>
#include <soa/client/ModelObjectImpl.hxx>
#include <soa/client/PartialErrorListener.hxx>
#include <soa/client/Preferences.hxx>
#include <soa/client/PropertyImpl.hxx>
#include <soa/client/RuntimeException.hxx>
#include <soa/client/ServiceData.hxx>
#include <soa/client/TypeImpl.hxx>
#include <soa/client/model/factories/ModelObjectFactory.hxx>
#include <soa/client/model/factories/ObjectFactories.hxx>
#include <soa/schemas/base/ModelObject.hxx>
#include <soa/schemas/base/ModelSchema.hxx>
#include <soa/schemas/base/Preferences.hxx>
#include <soa/schemas/base/ServiceData.hxx>
#include <soa/services/internal/core/SessionService.hxx>

#include <algorithm>
#include <mutex>
#include <optional>
#include <string_view>
#include <typeinfo>
#include <utility>

namespace Quillomark::Soa::Client {

namespace {

namespace Base = Quillomark::Schemas::Soa::_2006_03::Base;

const char* const PLACEHOLDER_TYPE_UID = "UNKNOWN_TYPE_UID";
const char* const DEFAULT_TYPE_NAME = "ModelObject";
const char* const NULL_UID = "AAAAAAAAAAAAAA";
const char* const UNKNOWN_TYPE_NAME = "unknownType";
const char* const INVALID_PROP = "Server returned invalid prop";

// Calls `call` on every listener of `listeners`. A listener may register or
// remove listeners meanwhile: the walk goes over a copy, skips a listener
// removed during it, and leaves one added during it for the next time.
template <class Listener, class Call>
void notify(const std::set<Listener*>& listeners, Call call) {
    const std::vector<Listener*> snapshot(listeners.begin(), listeners.end());
    for (Listener* listener : snapshot) {
        if (listeners.count(listener) != 0) call(listener);
    }
}

}  // namespace

const ModelManagerImpl::FactoryMap* ModelManagerImpl::s_objectFactoryMap = nullptr;

// A load of types: it fetches, one level per request, what the chains of
// the types it needs lack, and then makes the links still to be made on
// them. The schemas that answer its fetches are loaded through
// loadModelSchema again, nested in the fetch: each enters its types and
// links and leaves them to this load. Written as nested fetches instead,
// each level of ancestors would take stack, and a server that names ever
// new parents could exhaust it. A load of objects in the middle of a fetch
// (the user of a re-login) runs a load of its own, so that it never makes
// an object of a type whose chain is still being fetched.
struct ModelManagerImpl::SchemaLoad {
    // Names not yet looked at (the types of the objects to make), the types
    // not yet looked at (those whose links the schemas that arrived gave),
    // and every name asked for so far whose answer arrived, also by the
    // loads nested in this one's fetches: a name among them that is not a
    // type is one the server does not describe, or, when it is among
    // `unreadable` too, describes as the client cannot read it. Names and
    // types are looked at in the order of their names, whatever their kind.
    std::set<std::string> frontier;
    std::vector<TypeImpl*> met;
    std::set<std::string> asked;
    std::set<std::string> unreadable;
    // The names of the fetch under way, asked but not yet answered.
    const std::set<std::string>* inFlight = nullptr;
    // The load in whose fetch this one runs (a re-login's), or none. What
    // that load learnt, this one knows too: it is looked up there, not
    // copied, so that a re-login in each fetch of a deep chain costs no
    // time that grows with the names asked for.
    const SchemaLoad* outer = nullptr;
    // Whether an answer to `name` arrived, for this load or for one it runs
    // in (outside the fetch under way there); whether it was unreadable.
    bool answered(const std::string& name) const { return knows(name, &SchemaLoad::asked); }
    bool unread(const std::string& name) const { return knows(name, &SchemaLoad::unreadable); }
    bool knows(const std::string& name, std::set<std::string> SchemaLoad::*names) const {
        if ((this->*names).count(name) != 0) return true;
        if (outer == nullptr) return false;
        if (outer->inFlight != nullptr && outer->inFlight->count(name) != 0) return false;
        return outer->knows(name, names);
    }
    // The requests this load has made, and the names they asked for that
    // were types once they were answered.
    std::size_t requests = 0;
    std::size_t brought = 0;
    // The types whose links this load makes, in the order it took them on.
    std::vector<TypeImpl*> linking;
    std::set<const TypeImpl*> taken;
    // Why the load fails once it has made every link it can.
    std::optional<RuntimeException> refused;
    // Whether the load stopped asking, with links still to be fetched.
    bool gaveUp = false;
    // Whether completeSchemaLoad leaves a refusal in `refused` to the caller.
    bool deferRefusal = false;
};

ModelManager::ModelManager() = default;
ModelManager::~ModelManager() = default;

const ModelManagerImpl::FactoryMap& ModelManagerImpl::objectFactories() {
    // Once per process, also when the first managers are made on several
    // threads at once; a registration that threw has freed what it made and
    // is tried again next time. Never destroyed: the application's threads,
    // and the factories that types keep, may still make objects while the
    // process exits.
    static std::once_flag once;
    std::call_once(once, [] {
        auto shared = std::make_unique<FactoryMap>();
        registerObjectFactories(*shared);
        s_objectFactoryMap = shared.release();
    });
    return *s_objectFactoryMap;
}

ModelManagerImpl::ModelManagerImpl(Connection* connection) : connection(connection) {
    objectFactories();
}

ModelManagerImpl::~ModelManagerImpl() {
    dropAllReplaced();
    for (auto& entry : objects) {
        delete entry.second;
        entry.second = nullptr;
    }
    objects.clear();
    placeholderTypes.clear();
    types.clear();
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
    return uid.compare(0, 5, "BOM::") == 0 || uid.compare(0, 6, "TYPE::") == 0 || uid.size() == 14;
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

    // A type whose chain still waits for a link is not loaded yet: no
    // object is made of a chain that stops short, here as in a load.
    auto known = types.find(typeName);
    if (known != types.end() && !waits(*known->second)) {
        return store(at, uid, known->second.get());
    }
    // The objects of a name not loaded share the placeholder of that name,
    // made on first need and kept with the manager: whoever noted an
    // object's type may read it as long as the manager lives, and the
    // placeholders take no more room than the names.
    auto placeholder = placeholderTypes.lower_bound(typeName);
    if (placeholder == placeholderTypes.end() || placeholder->first != typeName) {
        placeholder = placeholderTypes.emplace_hint(
            placeholder, typeName, std::make_unique<TypeImpl>(PLACEHOLDER_TYPE_UID, typeName));
    }
    return store(at, uid, placeholder->second.get());
}

ModelObject* ModelManagerImpl::store(std::map<std::string, ModelObject*>::iterator at,
                                     const std::string& uid, Type* type) {
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
    // A manager's type finds the factory through its chain among that
    // manager's types and keeps it; past them, the types are looked up by
    // name, one after the other, and nothing of them is written: they may
    // be another manager's, in use on another thread.
    const FactoryMap& factories = objectFactories();
    Type* t = type;
    auto* own = dynamic_cast<TypeImpl*>(type);
    if (own != nullptr && own->owner != nullptr) {
        if (ModelObjectFactory* factory = own->chainFactory(t)) return factory->construct();
    }
    for (; t != nullptr; t = t->getParent()) {
        auto it = factories.find(t->getName());
        if (it != factories.end()) return it->second->construct();
    }
    return new ModelObject;
}

ModelObject* ModelManagerImpl::refine(std::map<std::string, ModelObject*>::iterator at,
                                      TypeImpl& type) {
    ModelObject* object = at->second;
    ModelObject* typed = constructObjectOfType(&type);
    if (typeid(*typed) == typeid(*object)) {
        delete typed;
        object->impl->type = &type;
        return object;
    }
    // What may fail comes first: running out of memory leaves the object
    // as it was, its placeholder to the next load.
    try {
        replacedObjects.emplace(at->first, object);
    } catch (...) {
        delete typed;
        throw;
    }
    typed->impl = object->impl;
    typed->impl->type = &type;
    at->second = typed;
    // Converted references look the object up again.
    ++removals;
    return typed;
}

void ModelManagerImpl::dropReplaced(const std::string& uid) {
    if (replacedObjects.empty()) return;
    auto it = replacedObjects.find(uid);
    if (it == replacedObjects.end()) return;
    ModelObject* object = it->second;
    replacedObjects.erase(it);
    object->impl = nullptr;  // the record is its successor's
    delete object;
}

void ModelManagerImpl::remove(const std::string& uid) {
    auto it = objects.find(uid);
    if (it == objects.end()) return;
    ModelObject* object = it->second;
    objects.erase(it);
    ++removals;
    dropReplaced(object->getUid());
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
    dropAllReplaced();
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

void ModelManagerImpl::dropAllReplaced() {
    for (auto& entry : replacedObjects) {
        entry.second->impl = nullptr;
        delete entry.second;
    }
    replacedObjects.clear();
}

bool ModelManagerImpl::waits(TypeImpl& type) {
    return !unlinked.empty() && type.nearestMarked(TypeImpl::WAITING) != nullptr;
}

TypeImpl* ModelManagerImpl::getType(const std::string& name) {
    auto it = types.find(name);
    if (it == types.end() || waits(*it->second)) {
        throw RuntimeException(RuntimeException::NOT_LOADED, "Type " + name);
    }
    return it->second.get();
}

PropertyDescription::ValueType ModelManagerImpl::toClientPropertyType(int serverType) {
    static const PropertyDescription::ValueType kinds[] = {
        PropertyDescription::VALUE_CHAR,         PropertyDescription::VALUE_DATE,
        PropertyDescription::VALUE_DOUBLE,       PropertyDescription::VALUE_FLOAT,
        PropertyDescription::VALUE_INT,          PropertyDescription::VALUE_BOOLEAN,
        PropertyDescription::VALUE_SHORT,        PropertyDescription::VALUE_STRING,
        PropertyDescription::VALUE_MODEL_OBJECT, PropertyDescription::VALUE_MODEL_OBJECT,
        PropertyDescription::VALUE_MODEL_OBJECT, PropertyDescription::VALUE_STRING,
        PropertyDescription::VALUE_MODEL_OBJECT, PropertyDescription::VALUE_MODEL_OBJECT};
    if (serverType < 1 || serverType > 14) {
        throw RuntimeException(RuntimeException::GENERAL_ERROR, INVALID_PROP);
    }
    return kinds[serverType - 1];
}

void ModelManagerImpl::loadTypes(const std::set<std::string>& names) {
    std::vector<std::string> missing;
    for (const std::string& name : names) {
        if (!name.empty() && name != UNKNOWN_TYPE_NAME && types.find(name) == types.end()) {
            missing.push_back(name);
        }
    }
    // A manager without a connection has no server to ask.
    if (missing.empty() || connection == nullptr) return;
    if (typeService == nullptr) {
        typeService = Quillomark::Services::Internal::Core::SessionService::getService(connection);
    }
    // Loads the answer through loadModelSchema of this manager before it returns.
    typeService->getTypeDescriptions(missing);
}

std::vector<ModelObject*> ModelManagerImpl::loadObjectData(
    const std::vector<Base::ModelObject>& wireObjects) {
    // The types of the objects, each with its chain of ancestors linked,
    // before any object is made of one.
    SchemaLoad load;
    for (const Base::ModelObject& wire : wireObjects) load.frontier.insert(wire.getType());
    const std::set<std::string> needed = load.frontier;
    // Outside a fetch, a load that refuses a link goes on settling the links
    // of its chains that a nested load left waiting, and fails after.
    load.deferRefusal = schemaLoad == nullptr;
    // A load nested in a fetch knows what the loads it runs in learnt, and
    // what it learns, the load it runs in does not ask for again, whether
    // it succeeds or not. The nodes move over, so that nothing allocates
    // while it ends.
    struct Learnt {
        SchemaLoad* outer;
        SchemaLoad& load;
        ~Learnt() {
            if (outer == nullptr) return;
            outer->asked.merge(load.asked);
            outer->unreadable.merge(load.unreadable);
        }
    } learnt{schemaLoad, load};
    load.outer = schemaLoad;
    completeSchemaLoad(load);
    // A load nested in a fetch (the user of a re-login) may have left a
    // link waiting in a chain that this load had already seen complete: it
    // goes round again for those chains, knowing what the nested load asked.
    // Without a fetch nothing ran nested, and the load made or refused
    // every link its chains waited for.
    const auto waits = [&] {
        if (unlinked.empty() || load.requests == 0) return false;
        for (const std::string& name : needed) {
            auto known = types.find(name);
            if (known != types.end() && known->second->nearestMarked(TypeImpl::WAITING)) {
                return true;
            }
        }
        return false;
    };
    while (!load.gaveUp && waits()) {
        load.frontier = needed;
        load.linking.clear();
        load.taken.clear();
        completeSchemaLoad(load);
    }
    // A type of an object that the server described as the client cannot
    // read fails the load as a parent would; one that it did not describe
    // fails it when the object is made.
    for (const std::string& name : needed) {
        if (load.refused) break;
        if (load.unread(name) && types.find(name) == types.end()) {
            load.refused = RuntimeException(RuntimeException::GENERAL_ERROR, INVALID_PROP);
        }
    }
    if (load.refused) throw *load.refused;

    std::vector<ModelObject*> result;
    result.reserve(wireObjects.size());
    LoadRoom room;
    std::size_t refined = 0;
    for (const Base::ModelObject& wire : wireObjects) {
        const std::string& uid = wire.getUid();
        if (uid == NULL_UID) {
            result.push_back(nullptr);
            continue;
        }
        // The chains of the load's types are whole now (or the load threw
        // above): a type is found by its name alone, as getType finds one
        // while no link waits, at no cost for a link waiting elsewhere.
        auto known = types.find(wire.getType());
        if (known == types.end()) {
            throw RuntimeException(RuntimeException::NOT_LOADED, "Type " + wire.getType());
        }
        TypeImpl* type = known->second.get();

        ModelObject* object;
        auto at = objects.lower_bound(uid);
        if (at != objects.end() && at->first == uid) {
            // A stored object keeps its type and class, unless its type is a
            // placeholder the loaded type refines: then it takes both.
            object = at->second;
            ModelObjectImpl& record = *object->impl;
            if (isPlaceholder(*record.getType()) && refines(record, *type)) {
                object = refine(at, *type);
                ++refined;
            }
        } else {
            object = store(at, uid, type);
        }

        loadProperties(*object->impl, *type, wire.getPropertieArray(), room);
        result.push_back(object);
    }
    // A UID listed before a later entry refined its object names the object
    // that took its place, as every other entry of that UID does.
    if (refined != 0) {
        for (std::size_t i = 0; i < result.size(); ++i) {
            if (result[i] != nullptr) result[i] = objects.find(wireObjects[i].getUid())->second;
        }
    }
    return result;
}

bool ModelManagerImpl::isPlaceholder(const Type& type) const {
    // By the type itself, not its UID: a server may name its own types with
    // the placeholders' UID.
    auto it = placeholderTypes.find(type.getName());
    return it != placeholderTypes.end() && it->second.get() == &type;
}

void ModelManagerImpl::loadProperties(ModelObjectImpl& record, Type& type,
                                      const std::vector<Base::Property>& wireProperties,
                                      LoadRoom& room) {
    // The properties join the record in one piece, also those made before
    // one that fails.
    auto valueBytes = [](const Base::Property& wireProperty) {
        std::size_t bytes = 0;
        for (const auto& wireValue : wireProperty.getValueArray()) {
            bytes += wireValue.getValue().size();
        }
        return bytes;
    };
    PropertyImpl::Pool pool;
    for (const Base::Property& wireProperty : wireProperties) {
        pool.plan(wireProperty.getUiValue(), wireProperty.getValueArray().size(),
                  valueBytes(wireProperty));
    }
    std::vector<ModelObjectImpl::NamedProperty>& made = room.made;
    made.clear();
    made.reserve(wireProperties.size());
    if (room.described != &type) {
        room.described = &type;
        room.descriptions.clear();
    }
    // The description at the same position for the last object, when it
    // has the name, else the type's.
    auto describe = [&](std::size_t at, const std::string& name) {
        if (at < room.descriptions.size() && room.descriptions[at] != nullptr &&
            room.descriptions[at]->getName() == name) {
            return room.descriptions[at];
        }
        PropertyDescription* description = type.getPropertyDescription(name);
        if (at < room.descriptions.size()) {
            room.descriptions[at] = description;
        } else if (at == room.descriptions.size()) {
            room.descriptions.push_back(description);
        }
        return description;
    };
    try {
        for (const Base::Property& wireProperty : wireProperties) {
            const std::string& name = wireProperty.getName();
            const auto& wireValues = wireProperty.getValueArray();
            auto property = pool.make(wireProperty.getUiValue(), describe(made.size(), name), this,
                                      wireValues.size(), valueBytes(wireProperty));
            for (const auto& wireValue : wireValues) property->addValue(wireValue.getValue());
            made.push_back(ModelObjectImpl::NamedProperty{&name, property.release()});
        }
    } catch (...) {
        record.addProperties(made);
        throw;
    }
    record.addProperties(made);
}

bool ModelManagerImpl::refines(ModelObjectImpl& record, TypeImpl& type) {
    // The names of a chain of this manager's types are those of its type map.
    auto named = types.find(record.getType()->getName());
    if (named != types.end() && type.isOrDescendsFrom(*named->second)) return true;
    return type.chainRoot()->getParent() != nullptr && record.isTypeOf(&type);
}

ModelObject* ModelManagerImpl::loadObjectData(const Base::ModelObject& wire) {
    return loadObjectData(std::vector<Base::ModelObject>{wire})[0];
}

void ModelManagerImpl::loadRefIdArray(const std::vector<Base::RefId>& refs,
                                      std::vector<ModelObject*>& out) {
    out.reserve(out.size() + refs.size());
    for (const Base::RefId& ref : refs) out.push_back(getObject(ref.getUid()));
}

// The objects of a result as they were listed, each with the UID it was
// listed under, so that those that left the store can be dropped: the
// deleted ones, and whatever a listener removed. Nothing is looked at
// while nothing has been removed.
class ModelManagerImpl::ListedObjects {
public:
    ListedObjects(const ModelManagerImpl& manager, const Base::ServiceData& data,
                  ServiceData& result)
        : manager(manager), data(data), result(result), seen(manager.removals) {}

    // Drops from the result what has left the store since the last look,
    // and lists in place of an object the one that took its place.
    void prune() {
        if (manager.removals == seen) return;
        seen = manager.removals;
        if (lists[0].objects == nullptr) {
            // Until now each list held one entry per reference of the reply.
            lists[0].listed(result.updatedObjs, data.getUpdatedObjArray());
            lists[1].listed(result.createdObjs, data.getCreatedObjArray());
            lists[2].listed(result.plainObjs, data.getPlainObjArray());
        }
        for (List& list : lists) {
            std::size_t kept = 0;
            for (std::size_t i = 0; i < list.objects->size(); ++i) {
                ModelObject* object = (*list.objects)[i];
                // A null entry (the empty UID) stays.
                if (object != nullptr && (object = current(*list.uids[i], object)) == nullptr) {
                    continue;
                }
                (*list.objects)[kept] = object;
                list.uids[kept++] = list.uids[i];
            }
            list.objects->resize(kept);
            list.uids.resize(kept);
        }
        const auto& stacks = data.getPartialErrorArray();
        for (std::size_t i = 0; i < result.partialErrors.size(); ++i) {
            ModelObject*& object = result.partialErrors[i].associatedObject;
            if (object != nullptr) object = current(stacks[i].getUid(), object);
        }
    }

private:
    struct List {
        std::vector<ModelObject*>* objects = nullptr;
        std::vector<const std::string*> uids;
        void listed(std::vector<ModelObject*>& list, const std::vector<Base::RefId>& refs) {
            objects = &list;
            uids.reserve(refs.size());
            for (const Base::RefId& ref : refs) uids.push_back(&ref.getUid());
        }
    };

    // What to list for `object`, listed under `uid`: itself while it is
    // stored there, the object that took its place when a load gave it the
    // class of its loaded type; null once it has left the store.
    ModelObject* current(const std::string& uid, ModelObject* object) const {
        auto it = manager.objects.find(uid);
        if (it == manager.objects.end()) return nullptr;
        if (it->second == object) return object;
        auto replaced = manager.replacedObjects.find(uid);
        const bool gaveWay =
            replaced != manager.replacedObjects.end() && replaced->second == object;
        return gaveWay ? it->second : nullptr;
    }

    const ModelManagerImpl& manager;
    const Base::ServiceData& data;
    ServiceData& result;
    std::uint64_t seen;
    List lists[3];
};

ServiceData ModelManagerImpl::loadServiceData(const Base::ServiceData& data) {
    loadObjectData(data.getDataObjectArray());

    ServiceData result;
    loadRefIdArray(data.getUpdatedObjArray(), result.updatedObjs);
    loadRefIdArray(data.getCreatedObjArray(), result.createdObjs);
    loadRefIdArray(data.getPlainObjArray(), result.plainObjs);
    for (const Base::RefId& ref : data.getDeletedObjArray()) {
        result.deletedUids.push_back(ref.getUid());
    }

    // Whether the object each partial error names was stored before the
    // listeners ran: one that has left the store since is named by none.
    const auto& wireStacks = data.getPartialErrorArray();
    std::vector<bool> storedBefore;
    storedBefore.reserve(wireStacks.size());
    for (const auto& wireStack : wireStacks) {
        storedBefore.push_back(wireStack.isUidSet() && objects.count(wireStack.getUid()) != 0);
    }

    // A listener may remove objects from the store: those that come after
    // it, and the caller, are handed none of them.
    ListedObjects listed(*this, data, result);
    notify(changeListeners, [&](ChangeListener* l) {
        listed.prune();
        l->modelObjectsChanged(result.updatedObjs);
    });
    notify(deleteListeners, [&](DeleteListener* l) { l->modelObjectsDeleted(result.deletedUids); });
    for (const std::string& uid : result.deletedUids) remove(uid);
    listed.prune();

    for (std::size_t i = 0; i < wireStacks.size(); ++i) {
        const auto& wireStack = wireStacks[i];
        ErrorStack stack;
        if (wireStack.isClientIdSet()) stack.clientId = wireStack.getClientId();
        if (wireStack.isUidSet()) {
            auto named = objects.find(wireStack.getUid());
            if (named != objects.end()) {
                stack.associatedObject = named->second;
            } else if (!storedBefore[i]) {
                stack.associatedObject = getObject(wireStack.getUid());
            }
        }
        if (wireStack.isClientIndexSet()) stack.clientIndex = wireStack.getClientIndex();
        for (const auto& wireValue : wireStack.getErrorValueArray()) {
            stack.errorValues.push_back(
                ErrorValue{wireValue.getCode(), wireValue.getMessage(), wireValue.getLevel()});
        }
        result.partialErrors.push_back(stack);
    }
    if (!result.partialErrors.empty()) {
        notify(partialErrorListeners, [&](PartialErrorListener* l) {
            listed.prune();
            l->handlePartialErrors(result.partialErrors);
        });
        listed.prune();
    }
    return result;
}

Preferences ModelManagerImpl::loadPreferences(const Base::Preferences& wire) {
    Preferences result;
    for (const auto& preference : wire.getPrefArray()) {
        std::vector<std::string>& values = result.preferences[preference.getName()];
        for (const auto& value : preference.getValueArray()) values.push_back(value.getValue());
    }
    return result;
}

void ModelManagerImpl::loadModelSchema(const Base::ModelSchema& schema) {
    const auto& wireTypes = schema.getTypeArray();

    // A new type enters the map together with the link it waits for, or not
    // at all: a type in the map whose link nothing records would pass for
    // one whose chain is complete, for every later load. So whatever may
    // fail is made on the side first (the types, built whole, in a map of
    // their own, and their links), and then only moves into the manager's
    // maps, node by node, which allocates nothing.
    decltype(types) entering;
    // The type of each wire type, in order (null for one the client cannot
    // read).
    std::vector<TypeImpl*> described;
    described.reserve(wireTypes.size());
    // The types described as the client cannot read them (a value type it
    // does not know): they stay out, as types the server does not describe.
    std::set<std::string_view> unreadable;
    const FactoryMap& factories = objectFactories();
    for (const auto& wireType : wireTypes) {
        const std::string& name = wireType.getName();
        auto known = types.find(name);
        if (known != types.end()) {
            described.push_back(known->second.get());
            continue;
        }
        auto listed = entering.find(name);
        if (listed != entering.end() || unreadable.count(name) != 0) {
            described.push_back(listed != entering.end() ? listed->second.get() : nullptr);
            continue;
        }
        auto type = std::make_unique<TypeImpl>(wireType.getUid(), name);
        try {
            for (const auto& descriptor : wireType.getPropDescriptorArray()) {
                type->addPropertyDescription(PropertyDescriptionImpl(
                    toClientPropertyType(descriptor.getType()), descriptor.getName(),
                    descriptor.getAnArray(), descriptor.getModifiable()));
            }
        } catch (const RuntimeException&) {
            unreadable.insert(name);
            described.push_back(nullptr);
            continue;
        }
        auto factory = factories.find(type->getName());
        type->adopt(this, factory == factories.end() ? nullptr : factory->second);
        described.push_back(type.get());
        const std::string_view key = type->getName();
        entering.emplace(key, std::move(type));
    }

    // The links to record, from a type to its parent's name as the last
    // wire type of its name gives it. Each waits until the load that needs
    // its type has the chain above it.
    std::map<const TypeImpl*, std::string> links;
    std::vector<TypeImpl*> met;
    for (std::size_t i = 0; i < wireTypes.size(); ++i) {
        const std::string& parentName = wireTypes[i].getParentTypeName();
        if (parentName.empty() || described[i] == nullptr) continue;  // unreadable
        TypeImpl& type = *described[i];
        auto recorded = links.find(&type);
        if (recorded != links.end()) {
            recorded->second = parentName;
        } else if (unlinked.count(&type) != 0 || type.getParent() == nullptr ||
                   type.getParent()->getName() != parentName) {
            links.emplace(&type, parentName);
        } else {
            continue;
        }
        met.push_back(&type);
    }

    // An answer to the fetch of a running load goes on in that load. What
    // it describes unreadably, the load does not ask for; it fails the load
    // only where a chain of the load needs it. A schema given directly fails
    // for the first such type once the others are in.
    SchemaLoad own;
    SchemaLoad& load = schemaLoad != nullptr ? *schemaLoad : own;
    for (const std::string_view name : unreadable) {
        load.unreadable.emplace(name);
        load.asked.emplace(name);
    }
    if (!unreadable.empty() && &load == &own) {
        own.refused = RuntimeException(RuntimeException::GENERAL_ERROR, INVALID_PROP);
    }
    load.met.reserve(load.met.size() + met.size());

    types.merge(entering);
    for (TypeImpl* type : met) type->mark(TypeImpl::WAITING, true);
    unlinked.merge(links);
    // What stayed behind are links of types that already waited.
    for (auto& [type, parentName] : links) unlinked.find(type)->second.swap(parentName);
    load.met.insert(load.met.end(), met.begin(), met.end());
    if (&load == &own) completeSchemaLoad(own);
}

void ModelManagerImpl::completeSchemaLoad(SchemaLoad& load) {
    // The fetches answer into this load.
    struct Running {
        SchemaLoad*& current;
        SchemaLoad* outer;
        Running(SchemaLoad*& current, SchemaLoad& load) : current(current), outer(current) {
            current = &load;
        }
        ~Running() { current = outer; }
    } running(schemaLoad, load);
    std::optional<RuntimeException>& refused = load.refused;

    // One level of ancestors per request, each name asked for once. Of the
    // chain of each type met, the nearest link still to be made is taken
    // on, with the chains of its parent and of the type's parent so far,
    // whatever load entered it and whatever cut that load short.
    for (;;) {
        std::set<std::string> missing;
        // The types met are looked at last name first, and then those that
        // looking at one adds, the last added first.
        std::vector<TypeImpl*> met;
        const auto meet = [&](const std::string& name) {
            auto known = types.find(name);
            if (known != types.end()) {
                met.push_back(known->second.get());
            } else if (!load.answered(name)) {
                missing.insert(name);
            }
        };
        met.swap(load.met);
        for (const std::string& name : load.frontier) meet(name);
        load.frontier.clear();
        const auto byName = [](const TypeImpl* a, const TypeImpl* b) { return a->name < b->name; };
        std::sort(met.begin(), met.end(), byName);
        met.erase(std::unique(met.begin(), met.end()), met.end());
        while (!met.empty()) {
            TypeImpl* type = met.back();
            met.pop_back();
            if (unlinked.empty()) continue;
            TypeImpl* waiting = type->nearestMarked(TypeImpl::WAITING);
            if (waiting == nullptr || !load.taken.insert(waiting).second) continue;
            load.linking.push_back(waiting);
            meet(unlinked.at(waiting));
            if (waiting->getParent() != nullptr) meet(waiting->getParent()->getName());
        }
        if (missing.empty()) break;
        // Every request but one brings a type it asked for, or the load
        // stops asking: a server that answered each with new parent names,
        // and never with the types asked for, would keep it asking for ever.
        // A chain of any depth brings one type per request.
        if (load.requests > load.brought) {
            load.gaveUp = true;
            if (!refused) {
                refused = RuntimeException(
                    RuntimeException::GENERAL_ERROR,
                    "Server keeps naming parent types it does not describe: requests " +
                        std::to_string(load.requests) + ", types asked for and described " +
                        std::to_string(load.brought));
            }
            break;
        }
        ++load.requests;
        load.inFlight = &missing;
        try {
            load.asked.insert(missing.begin(), missing.end());
            loadTypes(missing);
        } catch (...) {
            load.inFlight = nullptr;
            // Not answered: a later load asks again.
            for (const std::string& name : missing) load.asked.erase(name);
            throw;
        }
        load.inFlight = nullptr;
        for (const std::string& name : missing) load.brought += types.count(name);
    }

    // The types whose links are made leave their parents first, so that
    // the links, made in any order, reach the chains the schemas give
    // whenever those close no cycle. Every link that can be made is made;
    // then the load fails for the first that cannot, whose type goes back
    // to the parent it had (to none when that would now close a cycle). A
    // load nested in a fetch leaves the links it refuses waiting: the load
    // it runs in, or the next, meets them as any load would.
    // What allocates (a refusal's text) runs while no type is cut from its
    // parent: running out of memory leaves each link made, or waiting.
    const bool nested = running.outer != nullptr;
    const auto settle = [&](TypeImpl& type) {
        type.mark(TypeImpl::WAITING, false);
        unlinked.erase(&type);
    };
    const auto refuse = [&](TypeImpl& type, const auto& message) {
        if (!refused) refused = RuntimeException(RuntimeException::GENERAL_ERROR, message());
        if (!nested) settle(type);
    };
    struct Move {
        TypeImpl* type;
        TypeImpl* parent;
        Type* before;
        bool made;
    };
    std::vector<Move> moves;
    moves.reserve(load.linking.size());
    for (TypeImpl* type : load.linking) {
        auto waiting = unlinked.find(type);
        if (waiting == unlinked.end()) continue;  // made by a load nested in a fetch
        const std::string& parentName = waiting->second;
        auto parent = types.find(parentName);
        if (parent != types.end()) {
            moves.push_back(Move{type, parent->second.get(), type->getParent(), false});
        } else if (load.answered(parentName)) {
            refuse(*type, [&] {
                return load.unread(parentName) ? std::string(INVALID_PROP)
                                               : "Server gave me an parent type, " + parentName +
                                                     ", that it now denies exists!";
            });
        }
        // Else a schema of a load nested in a fetch gave the type a parent
        // not asked for since: the link waits for the next load.
    }
    for (const Move& move : moves) move.type->link(nullptr);
    for (Move& move : moves) {
        move.made = move.type->link(move.parent);
        if (move.made) settle(*move.type);
    }
    // A parent link that closes a cycle would make every walk up the type
    // chain endless.
    for (const Move& move : moves) {
        if (!move.made) move.type->link(move.before);
    }
    for (const Move& move : moves) {
        if (move.made) continue;
        refuse(*move.type, [&] {
            return "Server gave me a parent type, " + move.parent->getName() +
                   ", that descends from its child type " + move.type->getName() + "!";
        });
    }
    if (refused && !load.deferRefusal) throw *refused;
}

}  // namespace Quillomark::Soa::Client
