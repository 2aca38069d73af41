#pragma once

#include <soa/common/Export.hxx>

#include <vector>

namespace Quillomark::Soa::Client {

class ModelObject;

// Hears of the objects that a reply updated. The application implements it
// and registers it with the model manager, which keeps the pointer and never
// deletes it.
class QMSOA_API ChangeListener {
public:
    ChangeListener() = default;
    ChangeListener(const ChangeListener&) = default;
    ChangeListener& operator=(const ChangeListener&) = default;
    virtual void modelObjectsChanged(const std::vector<ModelObject*>& objects) = 0;
    virtual ~ChangeListener();
};

}  // namespace Quillomark::Soa::Client
