// A tiny application built against the installed library. It names the
// headers it uses itself, so that one that is not installed shows.

// It uses OpenSSL itself, whose header, included first, defines a macro of
// the name of one of the connection's options.
#include <openssl/ssl.h>

#include <fcc/FccErrorCodes.hxx>
#include <soa/client/Connection.hxx>
#include <soa/client/ModelManager.hxx>
#include <soa/client/RuntimeException.hxx>
#include <soa/client/model/TypedModel.hxx>
#include <soa/services/internal/core/SessionService.hxx>

#include <iostream>

// The standard is the application's: nothing that the package files add
// may override it.
static_assert(__cplusplus / 100 % 100 == CONSUMER_CXX_STANDARD, "the standard was overridden");

int main() {
    using Quillomark::Soa::Client::Connection;
    using Quillomark::Soa::Client::RuntimeException;

    Connection connection("http://localhost:1/tc", nullptr, Connection::HTTP, Connection::REST,
                          true);
    connection.setOption(Connection::TIMEOUT, "30");
    if (SSL_VERIFY_PEER != 0x01) return 9;
    if (connection.getCurrentObjectPropertyPolicy() != "Default") return 1;

    try {
        Connection refused("http://localhost:1/tc", nullptr, Connection::HTTP,
                           static_cast<Connection::Binding>(1), true);
        return 2;
    } catch (const RuntimeException& e) {
        if (e.getType() != RuntimeException::NOT_IMPLEMENTED) return 3;
        std::cout << "caught: " << e.getMessage() << "\n";
    }

    // Objects of the typed model narrow in the application: their classes'
    // run-time identity is the library's.
    namespace Model = Quillomark::Soa::Client::Model;
    auto* object = connection.getModelManager()->constructObject("Item Master", "AppItemMaster1");
    if (dynamic_cast<Model::Item_Master*>(object) == nullptr) return 4;
    if (dynamic_cast<Model::Form*>(object) == nullptr) return 5;
    if (dynamic_cast<Model::Item*>(object) != nullptr) return 6;

    // The internal services' interfaces are public: their stub is found
    // through the installed header.
    namespace Internal = Quillomark::Services::Internal::Core;
    if (Internal::SessionService::getService(&connection) == nullptr) return 7;

    // The file-cache interface's statuses and the fast cache's errors by the
    // names the README gives them, as an application compares them with
    // FccException::failCode().
    namespace Fcc = Quillomark::Fcc;
    static_assert(Fcc::ERR_FMSCP_NOT_SUPPORTED == -3099 && Fcc::ERR_FMSCP_FILE_BUSY == -3015 &&
                  Fcc::ERR_FMSCP_NO_CACHE == -3001);
    static_assert(Fcc::FMSC_ERROR_METAFILE_CACHE_MUTEX_ALREADY_EXISTS == 95);
    return 0;
}
