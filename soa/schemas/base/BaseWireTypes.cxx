#include <soa/schemas/base/PropertyValue.hxx>
#include <soa/schemas/base/Property.hxx>
#include <soa/schemas/base/ModelObject.hxx>
#include <soa/schemas/base/RefId.hxx>
#include <soa/schemas/base/ErrorValue.hxx>
#include <soa/schemas/base/ErrorStack.hxx>
#include <soa/schemas/base/ServiceData.hxx>
#include <soa/schemas/base/PreferenceValue.hxx>
#include <soa/schemas/base/Preference.hxx>
#include <soa/schemas/base/Preferences.hxx>
#include <soa/schemas/base/PropDependant.hxx>
#include <soa/schemas/base/PropDescriptor.hxx>
#include <soa/schemas/base/ModelType.hxx>
#include <soa/schemas/base/Attrib.hxx>
#include <soa/schemas/base/ModelClass.hxx>
#include <soa/schemas/base/ModelSchema.hxx>

namespace Quillomark::Schemas::Soa::_2006_03::Base {

QMSOA_WIRE_DEFINE_COPYING(PropertyValue, PropertyValueImpl)
QMSOA_WIRE_DEFINE_COPYING(Property, PropertyImpl)
QMSOA_WIRE_DEFINE_COPYING(ModelObject, ModelObjectImpl)
QMSOA_WIRE_DEFINE_COPYING(RefId, RefIdImpl)
QMSOA_WIRE_DEFINE_COPYING(ErrorValue, ErrorValueImpl)
QMSOA_WIRE_DEFINE_COPYING(ErrorStack, ErrorStackImpl)
QMSOA_WIRE_DEFINE_COPYING(ServiceData, ServiceDataImpl)
QMSOA_WIRE_DEFINE_COPYING(PreferenceValue, PreferenceValueImpl)
QMSOA_WIRE_DEFINE_COPYING(Preference, PreferenceImpl)
QMSOA_WIRE_DEFINE_COPYING(Preferences, PreferencesImpl)
QMSOA_WIRE_DEFINE_COPYING(PropDependant, PropDependantImpl)
QMSOA_WIRE_DEFINE_COPYING(PropDescriptor, PropDescriptorImpl)
QMSOA_WIRE_DEFINE_COPYING(ModelType, ModelTypeImpl)
QMSOA_WIRE_DEFINE_COPYING(Attrib, AttribImpl)
QMSOA_WIRE_DEFINE_COPYING(ModelClass, ModelClassImpl)
QMSOA_WIRE_DEFINE_COPYING(ModelSchema, ModelSchemaImpl)

}  // namespace Quillomark::Schemas::Soa::_2006_03::Base
