#pragma once

#include <soa/schemas/exceptions/SoaException.hxx>

namespace Quillomark::Schemas::Soa::_2006_03::Exceptions {

class QMSOA_API InvalidCredentialsException : public SoaException {
public:
    InvalidCredentialsException();
    explicit InvalidCredentialsException(const std::string& message);
    ~InvalidCredentialsException() override;
    InvalidCredentialsException(const InvalidCredentialsException&) = default;
    InvalidCredentialsException& operator=(const InvalidCredentialsException&) = default;

    std::string getLocalName() const override;
};

}  // namespace Quillomark::Schemas::Soa::_2006_03::Exceptions
