#include <soa/client/DefaultExceptionHandler.hxx>
#include <soa/client/RuntimeException.hxx>

#include <iostream>

namespace Quillomark::Soa::Client {

ExceptionHandler::ExceptionHandler() = default;
ExceptionHandler::~ExceptionHandler() = default;

DefaultExceptionHandler::DefaultExceptionHandler() = default;
DefaultExceptionHandler::~DefaultExceptionHandler() = default;

void DefaultExceptionHandler::handleException(CanceledOperationException& e) {
    std::cout << "It appears that the client cancelled authentication.\n"
              << e.getMessage() << "\n"
              << "Unclear how to proceed.";
    throw RuntimeException(RuntimeException::GENERAL_ERROR, e.getMessage());
}

void DefaultExceptionHandler::handleException(
    Quillomark::Schemas::Soa::_2006_03::Exceptions::InternalServerException& e) {
    std::cout << "The server returned and internal server error.\n"
              << e.getMessage() << "\n"
              << "The application will terminate.";
    throw RuntimeException(RuntimeException::GENERAL_ERROR, e.getMessage());
}

}  // namespace Quillomark::Soa::Client
