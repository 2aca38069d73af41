#pragma once

#include <soa/schemas/base/ServiceDataImpl.hxx>

namespace Quillomark::Schemas::Soa::_2006_03::Base {

// The objects a service operation touched, and its partial errors.
// Copies share one ServiceDataImpl.
class QMSOA_API ServiceData : public Quillomark::Soa::Common::Xml::Handle<ServiceDataImpl> {
    QMSOA_WIRE_VALUE_BODY(ServiceData, ServiceDataImpl, QMSOA_BASE_FIELDS_ServiceData)
};

}  // namespace Quillomark::Schemas::Soa::_2006_03::Base
