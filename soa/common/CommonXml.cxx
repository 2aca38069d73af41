#include <soa/common/BaseObject.hxx>

namespace Quillomark::Soa::Common::Xml {

BaseObject::~BaseObject() = default;

}  // namespace Quillomark::Soa::Common::Xml
