#pragma once

#include <soa/client/ExceptionHandler.hxx>

namespace Quillomark::Soa::Client {

// The handler every session starts with: it reports the fault on standard
// output and ends the request with RuntimeException (GENERAL_ERROR).
class QMSOA_API DefaultExceptionHandler : public ExceptionHandler {
public:
    DefaultExceptionHandler();
    ~DefaultExceptionHandler() override;

    void handleException(CanceledOperationException& e) override;
    void handleException(
        Quillomark::Schemas::Soa::_2006_03::Exceptions::InternalServerException& e) override;
};

}  // namespace Quillomark::Soa::Client
