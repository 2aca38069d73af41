#pragma once

// Helpers of the typed model's tests.

#include <soa/client/ModelObject.hxx>
#include <soa/client/ModelObjectImpl.hxx>
#include <soa/client/PropertyImpl.hxx>
#include <soa/client/model/factories/ModelObjectFactory.hxx>
#include <soa/client/model/factories/ObjectFactories.hxx>

#include <map>
#include <string>
#include <typeinfo>

namespace Quillomark::Testing {

// The class an object was made as. (typeid of an expression that calls a
// function would evaluate the call: an argument is evaluated once, plainly.)
inline const std::type_info& classOf(const Quillomark::Soa::Client::ModelObject* object) {
    return typeid(*object);
}

// Gives a test what only the model manager may do: attach a data record.
struct RecordAccess : Quillomark::Soa::Client::ModelObject {
    static void attach(Quillomark::Soa::Client::ModelObject* object,
                       Quillomark::Soa::Client::ModelObjectImpl* record) {
        (object->*(&RecordAccess::setModelObjectImpl))(record);
    }
};

// A factory map filled by registerObjectFactories that frees its factories.
class FactoryMap {
public:
    FactoryMap() { Quillomark::Soa::Client::registerObjectFactories(map); }
    ~FactoryMap() {
        for (auto& entry : map) {
            delete entry.second;
        }
    }
    FactoryMap(const FactoryMap&) = delete;
    FactoryMap& operator=(const FactoryMap&) = delete;

    // A new object of the factory registered under serverType; null when none.
    Quillomark::Soa::Client::ModelObject* construct(const std::string& serverType) const {
        auto entry = map.find(serverType);
        return entry == map.end() ? nullptr : entry->second->construct();
    }

    std::map<std::string, Quillomark::Soa::Client::ModelObjectFactory*> map;
};

// A property that counts its destructions and holds nothing else.
class CountingProperty : public Quillomark::Soa::Client::PropertyImpl {
public:
    explicit CountingProperty(int* destroyed)
        : PropertyImpl("", nullptr, nullptr), destroyed(destroyed) {}
    ~CountingProperty() override { ++*destroyed; }

private:
    int* destroyed;
};

}  // namespace Quillomark::Testing
