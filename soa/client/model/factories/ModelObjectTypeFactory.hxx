#pragma once

#include <soa/client/model/factories/ModelObjectFactory.hxx>

namespace Quillomark::Soa::Client {

// The factory of one typed class: it creates default-constructed objects of T,
// without their data record, which the model manager attaches.
template <class T>
class ModelObjectTypeFactory final : public ModelObjectFactory {
public:
    ModelObject* construct() override { return new T(); }
};

// Creates the factory of T. The registration takes the address of each
// instantiation, while the instantiations themselves stand beside the class
// definitions, so that the registration needs no class definition.
template <class T>
ModelObjectFactory* newTypeFactory() {
    return new ModelObjectTypeFactory<T>();
}

}  // namespace Quillomark::Soa::Client
