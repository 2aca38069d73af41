#pragma once

#include <soa/schemas/exceptions/SoaException.hxx>

#include <cstdint>
#include <vector>

namespace Quillomark::Schemas::Soa::_2006_03::Exceptions {

// A service operation failed as a whole.
class QMSOA_API ServiceException : public SoaException {
public:
    ServiceException();
    explicit ServiceException(const std::string& message);
    ~ServiceException() override;
    ServiceException(const ServiceException&) = default;
    ServiceException& operator=(const ServiceException&) = default;

    std::string getLocalName() const override;

    const std::vector<std::string>& getMessages() const { return messages; }
    void setMessages(const std::vector<std::string>& value) { messages = value; }
    const std::string& getClientId() const { return clientId; }
    void setClientId(const std::string& value) { clientId = value; }
    std::int32_t getCode() const { return code; }
    void setCode(std::int32_t value) { code = value; }
    const std::string& getUid() const { return uid; }
    void setUid(const std::string& value) { uid = value; }
    std::int32_t getLevel() const { return level; }
    void setLevel(std::int32_t value) { level = value; }

private:
    std::vector<std::string> messages;
    std::string clientId;
    std::int32_t code = 0;
    std::string uid;
    std::int32_t level = 0;
};

}  // namespace Quillomark::Schemas::Soa::_2006_03::Exceptions
