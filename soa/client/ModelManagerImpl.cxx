#include <soa/client/ModelManagerImpl.hxx>

namespace Quillomark::Soa::Client {

ModelManager::ModelManager() = default;
ModelManager::~ModelManager() = default;

ModelManagerImpl::ModelManagerImpl(Connection* connection) : connection(connection) {}
ModelManagerImpl::~ModelManagerImpl() { connection = nullptr; }

}  // namespace Quillomark::Soa::Client
