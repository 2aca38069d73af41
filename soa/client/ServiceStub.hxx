#pragma once

#include <soa/common/Export.hxx>

namespace Quillomark::Soa::Client {

// Base of the service stubs registered with a SessionManager, which deletes
// them through this destructor.
class QMSOA_API ServiceStub {
public:
    ServiceStub();
    virtual ~ServiceStub();
};

}  // namespace Quillomark::Soa::Client
