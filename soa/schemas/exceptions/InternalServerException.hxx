#pragma once

#include <soa/schemas/exceptions/SoaException.hxx>

namespace Quillomark::Schemas::Soa::_2006_03::Exceptions {

class QMSOA_API InternalServerException : public SoaException {
public:
    InternalServerException();
    explicit InternalServerException(const std::string& message);
    ~InternalServerException() override;
    InternalServerException(const InternalServerException&) = default;
    InternalServerException& operator=(const InternalServerException&) = default;

    std::string getLocalName() const override;
};

}  // namespace Quillomark::Schemas::Soa::_2006_03::Exceptions
