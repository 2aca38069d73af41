#include "tests/support/ScriptedSender.hxx"

#include <utility>

namespace Quillomark::Testing {

ScriptedSender::ScriptedSender(Quillomark::Soa::Client::SessionManager* sessionManager,
                               Transport transport)
    : RestSender(sessionManager), transport(std::move(transport)) {}

void ScriptedSender::send(const std::string& service, const std::string& operation,
                          const std::string& request, std::string& response) {
    ++sends;
    transport(service, operation, request, response);
}

}  // namespace Quillomark::Testing
