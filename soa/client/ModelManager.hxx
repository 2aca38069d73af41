#pragma once

#include <soa/common/Export.hxx>

namespace Quillomark::Soa::Client {

class Connection;

// The client object store of one connection.
class QMSOA_API ModelManager {
protected:
    friend class Connection;
    ModelManager();
    virtual ~ModelManager() = 0;
};

}  // namespace Quillomark::Soa::Client
