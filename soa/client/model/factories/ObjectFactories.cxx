#include <soa/client/model/factories/ObjectFactories.hxx>

namespace Quillomark::Soa::Client {

// No typed classes yet: every object is a plain ModelObject.
void registerObjectFactories(std::map<std::string, ModelObjectFactory*>&) {}

}  // namespace Quillomark::Soa::Client
