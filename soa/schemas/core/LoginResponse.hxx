#pragma once

#include <soa/schemas/core/LoginResponseImpl.hxx>

namespace Quillomark::Schemas::Core::_2006_03::Session {

// The answer to a login: the user, the group member and the service data.
// Copies share one LoginResponseImpl.
class QMSOA_API LoginResponse : public Quillomark::Soa::Common::Xml::Handle<LoginResponseImpl> {
    QMSOA_WIRE_VALUE_BODY(LoginResponse, LoginResponseImpl, QMSOA_SESSION_FIELDS_LoginResponse)
};

}  // namespace Quillomark::Schemas::Core::_2006_03::Session
