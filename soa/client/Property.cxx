#include <soa/client/Property.hxx>

namespace Quillomark::Soa::Client {

Property::~Property() = default;

}  // namespace Quillomark::Soa::Client
