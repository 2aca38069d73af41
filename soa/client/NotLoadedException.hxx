#pragma once

#include <soa/common/Export.hxx>

#include <string>

namespace Quillomark::Soa::Client {

// A property or object was asked for that the client data model has not loaded.
class QMSOA_API NotLoadedException {
public:
    NotLoadedException();
    explicit NotLoadedException(const std::string& message);

    const std::string& getMessage() const { return message; }

private:
    std::string message;
};

}  // namespace Quillomark::Soa::Client
