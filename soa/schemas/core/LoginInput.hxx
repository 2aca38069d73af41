#pragma once

#include <soa/schemas/core/LoginInputImpl.hxx>

namespace Quillomark::Schemas::Core::_2006_03::Session {

// The input of a login with user name and password.
// Copies share one LoginInputImpl.
class QMSOA_API LoginInput : public Quillomark::Soa::Common::Xml::Handle<LoginInputImpl> {
    QMSOA_WIRE_VALUE_BODY(LoginInput, LoginInputImpl, QMSOA_SESSION_FIELDS_LoginInput)
};

}  // namespace Quillomark::Schemas::Core::_2006_03::Session
