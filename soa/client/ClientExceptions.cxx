#include <soa/client/CanceledOperationException.hxx>
#include <soa/client/NotLoadedException.hxx>

namespace Quillomark::Soa::Client {

CanceledOperationException::CanceledOperationException() : message("Operation was canceled.") {}
CanceledOperationException::CanceledOperationException(const std::string& message)
    : message(message) {}

NotLoadedException::NotLoadedException()
    : message("The object has not been loaded in the client data model.") {}
NotLoadedException::NotLoadedException(const std::string& message) : message(message) {}

}  // namespace Quillomark::Soa::Client
