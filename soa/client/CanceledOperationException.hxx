#pragma once

#include <soa/common/Export.hxx>

#include <string>

namespace Quillomark::Soa::Client {

// The attempt to get credentials was abandoned.
class QMSOA_API CanceledOperationException {
public:
    CanceledOperationException();
    explicit CanceledOperationException(const std::string& message);

    const std::string& getMessage() const { return message; }

private:
    std::string message;
};

}  // namespace Quillomark::Soa::Client
