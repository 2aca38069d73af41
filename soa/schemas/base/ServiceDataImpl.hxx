#pragma once

#include <soa/common/WireFields.hxx>
#include <soa/schemas/base/RefId.hxx>
#include <soa/schemas/base/ModelObject.hxx>
#include <soa/schemas/base/ErrorStack.hxx>

namespace Quillomark::Schemas::Soa::_2006_03::Base {

// The fields of ServiceData, in declaration order: X(kind, stem, element type).
#define QMSOA_BASE_FIELDS_ServiceData(X) \
    X(LIST, UpdatedObj, Quillomark::Schemas::Soa::_2006_03::Base::RefId) \
    X(LIST, DeletedObj, Quillomark::Schemas::Soa::_2006_03::Base::RefId) \
    X(LIST, CreatedObj, Quillomark::Schemas::Soa::_2006_03::Base::RefId) \
    X(LIST, PlainObj, Quillomark::Schemas::Soa::_2006_03::Base::RefId) \
    X(LIST, DataObject, Quillomark::Schemas::Soa::_2006_03::Base::ModelObject) \
    X(LIST, PartialError, Quillomark::Schemas::Soa::_2006_03::Base::ErrorStack)

// The shared object behind ServiceData values.
class QMSOA_API ServiceDataImpl : public Quillomark::Soa::Common::Xml::BaseObject {
    QMSOA_WIRE_IMPL_BODY(ServiceDataImpl, QMSOA_BASE_FIELDS_ServiceData)
};

}  // namespace Quillomark::Schemas::Soa::_2006_03::Base
