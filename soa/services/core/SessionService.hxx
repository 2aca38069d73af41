#pragma once

#include <soa/common/Export.hxx>
#include <soa/services/core/_2006_03/Session.hxx>
#include <soa/services/core/_2007_01/Session.hxx>

namespace Quillomark::Soa::Client {
class Connection;
}

namespace Quillomark::Services::Core {

// The core session service: every version of its operations in one class.
class QMSOA_API SessionService : public _2006_03::Session, public _2007_01::Session {
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

}  // namespace Quillomark::Services::Core
