#pragma once

#include <soa/client/ErrorStack.hxx>
#include <soa/common/Export.hxx>

#include <string>
#include <vector>

namespace Quillomark::Testing {
class ClientValues;
}

namespace Quillomark::Soa::Client {

class ModelObject;
class ModelManagerImpl;

// What one reply did, as client objects: the created, updated and plain
// objects (stored in the model manager, not owned here), the UIDs of the
// deleted ones and the partial errors. Copies copy the lists.
class QMSOA_API ServiceData {
public:
    ServiceData() = default;
    ServiceData(const ServiceData& other) = default;
    ServiceData& operator=(const ServiceData& other) = default;
    ~ServiceData() = default;

    const std::vector<ModelObject*>& getCreatedObjs() const { return createdObjs; }
    const std::vector<ModelObject*>& getUpdatedObjs() const { return updatedObjs; }
    const std::vector<ModelObject*>& getPlainObjs() const { return plainObjs; }
    const std::vector<std::string>& getDeletedUids() const { return deletedUids; }
    const std::vector<ErrorStack>& getPartialErrors() const { return partialErrors; }

private:
    friend class ModelManagerImpl;
    friend class Quillomark::Testing::ClientValues;

    std::vector<ModelObject*> createdObjs;
    std::vector<ModelObject*> updatedObjs;
    std::vector<ModelObject*> plainObjs;
    std::vector<std::string> deletedUids;
    std::vector<ErrorStack> partialErrors;
};

}  // namespace Quillomark::Soa::Client
