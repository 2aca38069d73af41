#pragma once

#include <soa/common/Export.hxx>

#include <string>

namespace Quillomark::Schemas::Soa::_2006_03::Exceptions {

// The namespace URI of every fault document the server sends; getNamespace()
// returns it for each service exception.
QMSOA_API extern const char* const EXCEPTIONS_NAMESPACE;

// Root of the service exceptions that a reply can carry.
class QMSOA_API SoaException {
public:
    SoaException();
    explicit SoaException(const std::string& message);
    virtual ~SoaException();
    SoaException(const SoaException&) = default;
    SoaException& operator=(const SoaException&) = default;

    virtual void setMessage(const std::string& message);
    virtual const std::string& getMessage() const;
    virtual std::string getNamespace() const;
    virtual std::string getLocalName() const;

private:
    std::string message;
};

}  // namespace Quillomark::Schemas::Soa::_2006_03::Exceptions
