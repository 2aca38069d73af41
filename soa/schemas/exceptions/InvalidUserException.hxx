#pragma once

#include <soa/schemas/exceptions/SoaException.hxx>

#include <cstdint>

namespace Quillomark::Schemas::Soa::_2006_03::Exceptions {

// The server no longer knows the session of the request.
class QMSOA_API InvalidUserException : public SoaException {
public:
    InvalidUserException();
    explicit InvalidUserException(const std::string& message);
    ~InvalidUserException() override;
    InvalidUserException(const InvalidUserException&) = default;
    InvalidUserException& operator=(const InvalidUserException&) = default;

    std::string getLocalName() const override;

    std::int32_t getCode() const { return code; }
    void setCode(std::int32_t value) { code = value; }
    std::int32_t getLevel() const { return level; }
    void setLevel(std::int32_t value) { level = value; }
    const std::string& getUserId() const { return userId; }
    void setUserId(const std::string& value) { userId = value; }

private:
    std::int32_t code = 0;
    std::int32_t level = 0;
    std::string userId;
};

}  // namespace Quillomark::Schemas::Soa::_2006_03::Exceptions
