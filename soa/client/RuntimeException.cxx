#include <soa/client/RuntimeException.hxx>

namespace Quillomark::Soa::Client {

RuntimeException::RuntimeException(ErrorType type, const std::string& message)
    : type(type), message(message) {}

}  // namespace Quillomark::Soa::Client
