#pragma once

#include <soa/client/ErrorStack.hxx>
#include <soa/common/Export.hxx>

#include <vector>

namespace Quillomark::Soa::Client {

// Hears of the partial errors of a reply that has any. The application
// implements it and registers it with the model manager, which keeps the
// pointer and never deletes it.
class QMSOA_API PartialErrorListener {
public:
    PartialErrorListener() = default;
    PartialErrorListener(const PartialErrorListener&) = default;
    PartialErrorListener& operator=(const PartialErrorListener&) = default;
    virtual void handlePartialErrors(const std::vector<ErrorStack>& errors) = 0;
    virtual ~PartialErrorListener();
};

}  // namespace Quillomark::Soa::Client
