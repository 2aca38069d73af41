#pragma once

#include <soa/schemas/core/LoginSSOInputImpl.hxx>

namespace Quillomark::Schemas::Core::_2006_03::Session {

// The input of a login with single-sign-on credentials.
// Copies share one LoginSSOInputImpl.
class QMSOA_API LoginSSOInput : public Quillomark::Soa::Common::Xml::Handle<LoginSSOInputImpl> {
    QMSOA_WIRE_VALUE_BODY(LoginSSOInput, LoginSSOInputImpl, QMSOA_SESSION_FIELDS_LoginSSOInput)
};

}  // namespace Quillomark::Schemas::Core::_2006_03::Session
