#pragma once

#include <soa/client/ModelManager.hxx>

namespace Quillomark::Soa::Client {

class QMSOA_API ModelManagerImpl : public ModelManager {
public:
    explicit ModelManagerImpl(Connection* connection);
    ~ModelManagerImpl() override;
    ModelManagerImpl(const ModelManagerImpl&) = delete;
    ModelManagerImpl& operator=(const ModelManagerImpl&) = delete;

private:
    Connection* connection;
};

}  // namespace Quillomark::Soa::Client
