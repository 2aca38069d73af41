#pragma once

#include <soa/common/Export.hxx>

#include <string>
#include <vector>

namespace Quillomark::Soa::Client {

class ChangeListener;
class Connection;
class DeleteListener;
class ModelObject;
class PartialErrorListener;

// The client object store of one connection: the objects the server has
// described, by UID, and the application's listeners. The store owns its
// objects; removing an object destroys it.
//
// What the model hands out lasts as follows, whatever else the store does
// meanwhile; a load that removes nothing (one that adds objects or
// properties, refines a placeholder, loads a schema, runs nested in
// another's fetch of types as a re-login's does, or fails part-way) ends
// none of it.
// - An object, however it was handed out (getObject, constructObject, a
//   load's result, a list of ServiceData, a partial error, a listener, a
//   reference), and its UID: until the UID leaves the store
//   (removeObjectsFromStore, removeAllObjectsFromStore, a reply that
//   deletes it, the end of the manager). One that gave way to an object of
//   its loaded type's class reads the same data until then.
// - A property and what its getters return by reference: see Property.
// - A type or property description: as long as the manager.
// - ServiceData, ErrorStack and Preferences values are the application's
//   own; the objects they name last as above.
// - What a listener is handed: during its call; the objects in it as above.
class QMSOA_API ModelManager {
public:
    // The stored object of that UID; null for ""; throws RuntimeException
    // (NOT_LOADED) for any other UID not in the store.
    virtual ModelObject* getObject(std::string uid) = 0;
    // constructObject("ModelObject", uid).
    virtual ModelObject* constructObject(std::string uid) = 0;
    // The stored object of that UID, or a new one of the class for
    // `typeName`, stored under `uid`. One made before its type is loaded
    // may give way in the store to an object of the loaded type's class,
    // with the same data; the pointer returned here stays valid, reading
    // that data, until the UID leaves the store.
    virtual ModelObject* constructObject(std::string typeName, std::string uid) = 0;
    // UIDs not in the store are skipped.
    virtual void removeObjectsFromStore(std::vector<std::string> uids) = 0;
    virtual void removeObjectsFromStore(std::vector<ModelObject*>& objects) = 0;
    virtual void removeAllObjectsFromStore() = 0;

    // Listeners stay the application's; each is registered at most once.
    virtual void addChangeListener(ChangeListener* listener) = 0;
    virtual void addDeleteListener(DeleteListener* listener) = 0;
    virtual void addPartialErrorListener(PartialErrorListener* listener) = 0;
    virtual void removeChangeListener(ChangeListener* listener) = 0;
    virtual void removeDeleteListener(DeleteListener* listener) = 0;
    virtual void removePartialErrorListener(PartialErrorListener* listener) = 0;

protected:
    friend class Connection;
    ModelManager();
    virtual ~ModelManager() = 0;
};

}  // namespace Quillomark::Soa::Client
