#pragma once

#include <soa/client/ModelManager.hxx>
#include <soa/client/ModelObjectImpl.hxx>
#include <soa/client/PropertyDescription.hxx>
#include <soa/common/Export.hxx>

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace Quillomark::Schemas::Soa::_2006_03::Base {
class ModelObject;
class ModelSchema;
class Property;
class Preferences;
class RefId;
class ServiceData;
}  // namespace Quillomark::Schemas::Soa::_2006_03::Base

namespace Quillomark::Services::Internal::Core {
class SessionService;
}

namespace Quillomark::Soa::Client {

class ModelObjectFactory;
class Preferences;
class ServiceData;
class Type;
class TypeImpl;

// The object store of one connection, with the types the server has
// described, by name. Objects are made through the factories of the typed
// model, keyed by server type name, falling back to the parent type and at
// last to a plain ModelObject.
class QMSOA_API ModelManagerImpl : public ModelManager {
public:
    explicit ModelManagerImpl(Connection* connection);
    ~ModelManagerImpl() override;
    ModelManagerImpl(const ModelManagerImpl&) = delete;
    ModelManagerImpl& operator=(const ModelManagerImpl&) = delete;

    ModelObject* getObject(std::string uid) override;
    ModelObject* constructObject(std::string uid) override;
    // Throws RuntimeException (GENERAL_ERROR) for a UID that validateUID
    // refuses. A type name the manager has not loaded, or whose chain still
    // waits for a link (a load that fetched it was cut short), gets a
    // placeholder type of that name (UID "UNKNOWN_TYPE_UID", no parent), one
    // per name, shared by the objects made for it and kept as long as the
    // manager; the server is not asked. A load that describes such an object
    // gives it the loaded type and, where that type's chain makes another
    // class, stores an object of that class under the UID in its place, with
    // the same data: the object made here stays valid, reading that data,
    // until the UID leaves the store.
    ModelObject* constructObject(std::string typeName, std::string uid) override;
    void removeObjectsFromStore(std::vector<std::string> uids) override;
    void removeObjectsFromStore(std::vector<ModelObject*>& objects) override;
    void removeAllObjectsFromStore() override;

    // A null listener is ignored.
    void addChangeListener(ChangeListener* listener) override;
    void addDeleteListener(DeleteListener* listener) override;
    void addPartialErrorListener(PartialErrorListener* listener) override;
    void removeChangeListener(ChangeListener* listener) override;
    void removeDeleteListener(DeleteListener* listener) override;
    void removePartialErrorListener(PartialErrorListener* listener) override;

    // True for a UID that begins with "BOM::" or "TYPE::" or is 14 characters long.
    virtual bool validateUID(std::string uid);

    // One entry per input object, in order: the stored object of its UID,
    // made on first sight, its properties replaced one by one by name; null
    // for the null UID "AAAAAAAAAAAAAA", which is not stored. Type names the
    // manager lacks are first fetched from the server in one request.
    virtual std::vector<ModelObject*> loadObjectData(
        const std::vector<Quillomark::Schemas::Soa::_2006_03::Base::ModelObject>& objects);
    virtual ModelObject* loadObjectData(
        const Quillomark::Schemas::Soa::_2006_03::Base::ModelObject& object);
    // Loads the data objects, tells the change and delete listeners (even of
    // empty lists), removes the deleted objects and tells the partial-error
    // listeners when there are errors. The result lists no removed object:
    // a partial error naming one that was stored has a null object; one
    // naming a UID never stored throws RuntimeException (NOT_LOADED).
    virtual ServiceData loadServiceData(
        const Quillomark::Schemas::Soa::_2006_03::Base::ServiceData& data);
    virtual Preferences loadPreferences(
        const Quillomark::Schemas::Soa::_2006_03::Base::Preferences& preferences);
    // Enters the types the manager lacks, fetches their missing ancestors and
    // links every described type to its parent, whatever the order of the
    // links. A parent the server does not describe, or describes with a
    // server value type the client does not know (such a type is not
    // entered), or one that would close a cycle in the chains the links
    // leave, fails the load once every other link is made; the type keeps
    // the parent it had (none when that too would close a cycle). A load
    // makes at most one request more than the types asked for that its
    // requests brought, and then fails, its links left to the next load.
    virtual void loadModelSchema(
        const Quillomark::Schemas::Soa::_2006_03::Base::ModelSchema& schema);
    // Throws RuntimeException (NOT_LOADED) "Type <name>" for a name not
    // loaded, or whose chain still waits for a link, as a load would.
    virtual TypeImpl* getType(const std::string& name);

    // A new object, without its record, of the typed class of `type` or of
    // its nearest ancestor that has one; a plain ModelObject when none has.
    static ModelObject* constructObjectOfType(Type* type);

    // Counts the objects that have left the store or given way to one of
    // their loaded type's class; a converted reference looks its objects up
    // again when this has moved.
    const std::uint64_t& removalCount() const { return removals; }

private:
    using FactoryMap = std::map<std::string, ModelObjectFactory*>;

    void remove(const std::string& uid);
    // Gives the object stored at `at`, made of a placeholder that `type`
    // refines, that type, and puts an object of the class of its chain in
    // its place when that is another; returns the object stored.
    ModelObject* refine(std::map<std::string, ModelObject*>::iterator at, TypeImpl& type);
    // Destroys the objects that gave way to others, of `uid` or of all.
    void dropReplaced(const std::string& uid);
    void dropAllReplaced();
    // Whether `type` is one of the placeholders made for names not loaded.
    bool isPlaceholder(const Type& type) const;
    // Whether the chain of `type` still waits for a link.
    bool waits(TypeImpl& type);
    // Makes the object of `uid` for `type` with its record and stores it at `at`.
    ModelObject* store(std::map<std::string, ModelObject*>::iterator at, const std::string& uid,
                       Type* type);
    void loadTypes(const std::set<std::string>& names);
    // A load of types, with the ancestors it fetches.
    struct SchemaLoad;
    // Fetches, one level per request, what the chains of the load's types
    // lack and makes the links still to be made on them.
    void completeSchemaLoad(SchemaLoad& load);
    // Whether `type` is the type of the name of the record's placeholder or
    // descends from it.
    bool refines(ModelObjectImpl& record, TypeImpl& type);
    // What loading one object leaves for the next: room for the properties
    // on their way in, and the descriptions of its properties by position,
    // which objects of one type in one reply mostly list in the same order.
    struct LoadRoom {
        std::vector<ModelObjectImpl::NamedProperty> made;
        Type* described = nullptr;
        std::vector<PropertyDescription*> descriptions;
    };
    // Adds the wire properties to the record, each described by `type`.
    void loadProperties(
        ModelObjectImpl& record, Type& type,
        const std::vector<Quillomark::Schemas::Soa::_2006_03::Base::Property>& wireProperties,
        LoadRoom& room);
    void loadRefIdArray(const std::vector<Quillomark::Schemas::Soa::_2006_03::Base::RefId>& refs,
                        std::vector<ModelObject*>& out);
    static PropertyDescription::ValueType toClientPropertyType(int serverType);
    // The one factory map of the process, filled by the registration of the
    // typed model on first use; every manager has the same factories.
    static const FactoryMap& objectFactories();

    Connection* connection = nullptr;
    std::map<std::string, ModelObject*> objects;
    // Keyed by the name each type holds, which lives as long as the type.
    std::map<std::string_view, std::unique_ptr<TypeImpl>, std::less<>> types;
    // Fetches type descriptions; found on first need, not owned.
    Quillomark::Services::Internal::Core::SessionService* typeService = nullptr;
    // The placeholder types of names the manager had not loaded when an
    // object of that name was made, one per name, in no other map.
    std::map<std::string, std::unique_ptr<TypeImpl>> placeholderTypes;
    // The objects that gave way to one of their loaded type's class, by
    // UID: each shares its record with its successor and goes with it.
    std::map<std::string, ModelObject*> replacedObjects;
    class ListedObjects;
    // The load whose fetch runs, into which the schemas that answer it go.
    SchemaLoad* schemaLoad = nullptr;
    // The links still to be made, from a type to its parent's name, as
    // the last schema gave them: a load that needs the type makes the link
    // once it has fetched what the chain lacks. A fetch that fails leaves
    // them to the next load; a parent the server does not describe (or
    // describes unreadably), or one that would close a cycle, drops the
    // link, unless a load nested in a fetch met it: that leaves it to the
    // load it runs in, which does not ask for that parent again.
    std::map<const TypeImpl*, std::string> unlinked;
    std::set<ChangeListener*> changeListeners;
    std::set<DeleteListener*> deleteListeners;
    std::set<PartialErrorListener*> partialErrorListeners;
    std::uint64_t removals = 0;

    static const FactoryMap* s_objectFactoryMap;
};

}  // namespace Quillomark::Soa::Client
