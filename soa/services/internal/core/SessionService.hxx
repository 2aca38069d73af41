#pragma once

#include <soa/common/Export.hxx>
#include <soa/services/internal/core/_2006_03/Types.hxx>
#include <soa/services/internal/core/_2007_05/Session.hxx>

namespace Quillomark::Soa::Client {
class Connection;
}

namespace Quillomark::Services::Internal::Core {

// The internal core session service: every version of its operations in
// one class.
class QMSOA_API SessionService : public _2006_03::Types, public _2007_05::Session {
public:
    // The service of `connection`, which sends its requests through the
    // connection's sender. The caller does not own it; it lives as long as
    // the connection's session.
    static SessionService* getService(Quillomark::Soa::Client::Connection* connection);

    SessionService() = default;
    SessionService(const SessionService&) = default;
    SessionService& operator=(const SessionService&) = default;
    ~SessionService() override;
};

}  // namespace Quillomark::Services::Internal::Core
