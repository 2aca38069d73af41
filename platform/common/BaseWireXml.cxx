#include <platform/common/internal/WireXml.hxx>

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

QMSOA_WIRE_DEFINE_XML(PropertyValue, PropertyValueImpl, QMSOA_BASE_FIELDS_PropertyValue)
QMSOA_WIRE_DEFINE_XML(Property, PropertyImpl, QMSOA_BASE_FIELDS_Property)
QMSOA_WIRE_DEFINE_XML(ModelObject, ModelObjectImpl, QMSOA_BASE_FIELDS_ModelObject)
QMSOA_WIRE_DEFINE_XML(RefId, RefIdImpl, QMSOA_BASE_FIELDS_RefId)
QMSOA_WIRE_DEFINE_XML(ErrorValue, ErrorValueImpl, QMSOA_BASE_FIELDS_ErrorValue)
QMSOA_WIRE_DEFINE_XML(ErrorStack, ErrorStackImpl, QMSOA_BASE_FIELDS_ErrorStack)
QMSOA_WIRE_DEFINE_XML(ServiceData, ServiceDataImpl, QMSOA_BASE_FIELDS_ServiceData)
QMSOA_WIRE_DEFINE_XML(PreferenceValue, PreferenceValueImpl, QMSOA_BASE_FIELDS_PreferenceValue)
QMSOA_WIRE_DEFINE_XML(Preference, PreferenceImpl, QMSOA_BASE_FIELDS_Preference)
QMSOA_WIRE_DEFINE_XML(Preferences, PreferencesImpl, QMSOA_BASE_FIELDS_Preferences)
QMSOA_WIRE_DEFINE_XML(PropDependant, PropDependantImpl, QMSOA_BASE_FIELDS_PropDependant)
QMSOA_WIRE_DEFINE_XML(PropDescriptor, PropDescriptorImpl, QMSOA_BASE_FIELDS_PropDescriptor)
QMSOA_WIRE_DEFINE_XML(ModelType, ModelTypeImpl, QMSOA_BASE_FIELDS_ModelType)
QMSOA_WIRE_DEFINE_XML(Attrib, AttribImpl, QMSOA_BASE_FIELDS_Attrib)
QMSOA_WIRE_DEFINE_XML(ModelClass, ModelClassImpl, QMSOA_BASE_FIELDS_ModelClass)
QMSOA_WIRE_DEFINE_XML(ModelSchema, ModelSchemaImpl, QMSOA_BASE_FIELDS_ModelSchema)

}  // namespace Quillomark::Schemas::Soa::_2006_03::Base
