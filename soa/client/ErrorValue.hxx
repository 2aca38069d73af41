#pragma once

#include <soa/common/Export.hxx>

#include <cstdint>
#include <string>

namespace Quillomark::Soa::Client {

// One error of a partial error.
struct QMSOA_API ErrorValue {
    std::int32_t code = 0;
    std::string message;
    std::int32_t level = 0;
};

}  // namespace Quillomark::Soa::Client
