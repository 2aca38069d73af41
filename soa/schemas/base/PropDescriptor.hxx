#pragma once

#include <soa/schemas/base/PropDescriptorImpl.hxx>

namespace Quillomark::Schemas::Soa::_2006_03::Base {

// The description of one property of a type.
// Copies share one PropDescriptorImpl.
class QMSOA_API PropDescriptor : public Quillomark::Soa::Common::Xml::Handle<PropDescriptorImpl> {
    QMSOA_WIRE_VALUE_BODY(PropDescriptor, PropDescriptorImpl, QMSOA_BASE_FIELDS_PropDescriptor)
};

}  // namespace Quillomark::Schemas::Soa::_2006_03::Base
