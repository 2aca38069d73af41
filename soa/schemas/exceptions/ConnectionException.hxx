#pragma once

#include <soa/schemas/exceptions/InternalServerException.hxx>

namespace Quillomark::Schemas::Soa::_2006_03::Exceptions {

class QMSOA_API ConnectionException : public InternalServerException {
public:
    ConnectionException();
    explicit ConnectionException(const std::string& message);
    ~ConnectionException() override;
    ConnectionException(const ConnectionException&) = default;
    ConnectionException& operator=(const ConnectionException&) = default;

    std::string getLocalName() const override;
};

}  // namespace Quillomark::Schemas::Soa::_2006_03::Exceptions
