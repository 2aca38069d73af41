#pragma once

#include <soa/schemas/exceptions/InternalServerException.hxx>

namespace Quillomark::Schemas::Soa::_2006_03::Exceptions {

class QMSOA_API ProtocolException : public InternalServerException {
public:
    ProtocolException();
    explicit ProtocolException(const std::string& message);
    ~ProtocolException() override;
    ProtocolException(const ProtocolException&) = default;
    ProtocolException& operator=(const ProtocolException&) = default;

    std::string getLocalName() const override;
};

}  // namespace Quillomark::Schemas::Soa::_2006_03::Exceptions
