#pragma once

#include <soa/client/RestSender.hxx>

#include <functional>
#include <string>

namespace Quillomark::Testing {

// A sender whose transport is a function of the test: it may fill the
// response or throw what a transport (or anything else) throws.
class ScriptedSender : public Quillomark::Soa::Client::RestSender {
public:
    using Transport = std::function<void(const std::string& service, const std::string& operation,
                                         const std::string& request, std::string& response)>;

    ScriptedSender(Quillomark::Soa::Client::SessionManager* sessionManager, Transport transport);

    void send(const std::string& service, const std::string& operation, const std::string& request,
              std::string& response) override;

    long sends = 0;
    Transport transport;
};

}  // namespace Quillomark::Testing
