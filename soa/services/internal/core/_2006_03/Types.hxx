#pragma once

#include <soa/common/Export.hxx>

#include <string>
#include <vector>

namespace Quillomark::Services::Internal::Core::_2006_03 {

// The type operations of the internal core session service. The model
// manager calls `getTypeDescriptions` for the types it has not loaded yet.
class QMSOA_API Types {
public:
    Types() = default;
    Types(const Types&) = default;
    Types& operator=(const Types&) = default;

    virtual void reserved_2006_03_0() = 0;
    // Fetches the descriptions of the named types and loads them into the
    // connection's model manager before it returns.
    virtual void getTypeDescriptions(const std::vector<std::string>& typeNames) = 0;

protected:
    virtual ~Types();
};

}  // namespace Quillomark::Services::Internal::Core::_2006_03
