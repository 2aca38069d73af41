#pragma once

// Rows generated from the typed model's tables (see
// tools/gen_typed_model_tests.py), for the table-driven tests.

#include <soa/client/ModelObject.hxx>

#include <typeinfo>
#include <vector>

namespace Quillomark::Testing {

struct TypedClassRow {
    const char* serverType;
    const char* className;
    const char* parentClass;  // "ModelObject" for a root
    const std::type_info* type;
    bool (*narrows)(Quillomark::Soa::Client::ModelObject*);  // is the object one of this class?
    void (*destroy)(Quillomark::Soa::Client::ModelObject*);  // deletes through the root class
};

struct AccessorRow {
    const char* className;
    const char* accessor;
    const char* property;  // the server name, blanks and dots kept
    void (*call)(
        Quillomark::Soa::Client::ModelObject*);  // an element accessor is called with index 0
};

// In table order.
const std::vector<TypedClassRow>& typedClassRows();
const std::vector<AccessorRow>& accessorRows();

}  // namespace Quillomark::Testing
