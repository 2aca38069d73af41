#pragma once

#include <soa/client/CanceledOperationException.hxx>
#include <soa/common/Export.hxx>
#include <soa/schemas/exceptions/InternalServerException.hxx>

namespace Quillomark::Soa::Client {

// Decides what happens when a request fails in a way that may be repaired.
// When a handler returns, the request is sent again; when it throws, its
// exception reaches the code that made the request.
class QMSOA_API ExceptionHandler {
public:
    ExceptionHandler();
    virtual ~ExceptionHandler();

    virtual void handleException(CanceledOperationException& e) = 0;
    virtual void handleException(
        Quillomark::Schemas::Soa::_2006_03::Exceptions::InternalServerException& e) = 0;
};

}  // namespace Quillomark::Soa::Client
