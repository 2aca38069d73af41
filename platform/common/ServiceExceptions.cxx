#include <soa/schemas/exceptions/ConnectionException.hxx>
#include <soa/schemas/exceptions/InternalServerException.hxx>
#include <soa/schemas/exceptions/InvalidCredentialsException.hxx>
#include <soa/schemas/exceptions/InvalidUserException.hxx>
#include <soa/schemas/exceptions/ProtocolException.hxx>
#include <soa/schemas/exceptions/ServiceException.hxx>
#include <soa/schemas/exceptions/SoaException.hxx>

namespace Quillomark::Schemas::Soa::_2006_03::Exceptions {

const char* const EXCEPTIONS_NAMESPACE = "http://quillomark.com/Schemas/Soa/2006-03/Exceptions";

SoaException::SoaException() = default;
SoaException::SoaException(const std::string& message) : message(message) {}
SoaException::~SoaException() = default;
void SoaException::setMessage(const std::string& value) { message = value; }
const std::string& SoaException::getMessage() const { return message; }
std::string SoaException::getNamespace() const { return EXCEPTIONS_NAMESPACE; }
std::string SoaException::getLocalName() const { return "SoaException"; }

#define QMSOA_DEFINE_SERVICE_EXCEPTION(Name, Base)            \
    Name::Name() = default;                                   \
    Name::Name(const std::string& message) : Base(message) {} \
    Name::~Name() = default;                                  \
    std::string Name::getLocalName() const { return #Name; }

QMSOA_DEFINE_SERVICE_EXCEPTION(InternalServerException, SoaException)
QMSOA_DEFINE_SERVICE_EXCEPTION(ConnectionException, InternalServerException)
QMSOA_DEFINE_SERVICE_EXCEPTION(ProtocolException, InternalServerException)
QMSOA_DEFINE_SERVICE_EXCEPTION(InvalidCredentialsException, SoaException)
QMSOA_DEFINE_SERVICE_EXCEPTION(InvalidUserException, SoaException)
QMSOA_DEFINE_SERVICE_EXCEPTION(ServiceException, SoaException)

#undef QMSOA_DEFINE_SERVICE_EXCEPTION

}  // namespace Quillomark::Schemas::Soa::_2006_03::Exceptions
