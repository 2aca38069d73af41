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
