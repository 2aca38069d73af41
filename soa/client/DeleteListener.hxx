#pragma once

#include <soa/common/Export.hxx>

#include <string>
#include <vector>

namespace Quillomark::Soa::Client {

// Hears of the UIDs that a reply deleted, before the objects leave the
// store. The application implements it and registers it with the model
// manager, which keeps the pointer and never deletes it.
class QMSOA_API DeleteListener {
public:
    DeleteListener() = default;
    DeleteListener(const DeleteListener&) = default;
    DeleteListener& operator=(const DeleteListener&) = default;
    virtual void modelObjectsDeleted(const std::vector<std::string>& uids) = 0;
    virtual ~DeleteListener();
};

}  // namespace Quillomark::Soa::Client
