#pragma once

#include <map>
#include <string>

namespace Quillomark::Soa::Client {

class ModelObjectFactory;

// Enters one new factory per server type name into `factories`, keyed by the
// server type name; the caller owns the factories from then on.
void registerObjectFactories(std::map<std::string, ModelObjectFactory*>& factories);

}  // namespace Quillomark::Soa::Client
