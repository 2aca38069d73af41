#include <soa/client/ServiceStub.hxx>

namespace Quillomark::Soa::Client {

ServiceStub::ServiceStub() = default;
ServiceStub::~ServiceStub() = default;

}  // namespace Quillomark::Soa::Client
