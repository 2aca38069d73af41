#pragma once

#include <soa/common/Export.hxx>

namespace Quillomark::Services::Internal::Core::_2007_05 {

// The 2007-05 operations of the internal core session service; the runtime
// calls none of them.
class QMSOA_API Session {
public:
    Session() = default;
    Session(const Session&) = default;
    Session& operator=(const Session&) = default;

    virtual void reserved_2007_05_0() = 0;

protected:
    virtual ~Session();
};

}  // namespace Quillomark::Services::Internal::Core::_2007_05
