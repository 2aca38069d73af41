#pragma once

#include <soa/client/RuntimeException.hxx>
#include <soa/schemas/base/ModelObject.hxx>
#include <soa/schemas/base/ModelSchema.hxx>
#include <soa/schemas/base/ServiceData.hxx>

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

// Wire values built in code for the model tests, and a helper to look at
// the RuntimeException a call throws.
namespace Quillomark::Testing::Model {

namespace Base = Quillomark::Schemas::Soa::_2006_03::Base;

// Runs `f` and returns the RuntimeException it throws.
template <class F>
Quillomark::Soa::Client::RuntimeException thrownBy(F f) {
    try {
        f();
    } catch (const Quillomark::Soa::Client::RuntimeException& e) {
        return e;
    }
    ADD_FAILURE() << "no RuntimeException";
    return Quillomark::Soa::Client::RuntimeException();
}

// A property with its display text and raw values.
Base::Property property(const std::string& name, std::vector<std::string> values,
                        const std::string& display = "");

Base::ModelObject object(const std::string& uid, const std::string& type,
                         std::vector<Base::Property> properties = {});

struct Descriptor {
    std::string name;
    int serverType;
    bool isArray = false;
};

Base::ModelType type(const std::string& name, const std::string& parent,
                     std::vector<Descriptor> descriptors = {});

Base::ModelSchema schema(std::vector<Base::ModelType> types);

Base::RefId ref(const std::string& uid);

}  // namespace Quillomark::Testing::Model
