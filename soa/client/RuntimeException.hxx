#pragma once

#include <soa/common/Export.hxx>

#include <string>

namespace Quillomark::Soa::Client {

// The client runtime's own failure. It shares no base with the service
// exceptions: a handler for SoaException does not catch it.
class QMSOA_API RuntimeException {
public:
    enum ErrorType {
        GENERAL_ERROR = 0,
        NOT_IMPLEMENTED = 1,
        TYPE_MISMATCH = 2,
        NOT_LOADED = 3,
        UNKNOWN_ERROR = 6
    };

    RuntimeException(ErrorType type = UNKNOWN_ERROR, const std::string& message = "");

    ErrorType getType() const { return type; }
    const std::string& getMessage() const { return message; }

private:
    ErrorType type;
    std::string message;
};

}  // namespace Quillomark::Soa::Client
