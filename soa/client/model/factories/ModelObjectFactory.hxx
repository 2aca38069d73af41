#pragma once

namespace Quillomark::Soa::Client {

class ModelObject;

// Makes new client objects of one typed model class.
class ModelObjectFactory {
public:
    virtual ~ModelObjectFactory() = default;
    // A new object without its ModelObjectImpl record; the caller owns it.
    virtual ModelObject* construct() = 0;
};

}  // namespace Quillomark::Soa::Client
