#include <soa/services/core/SessionService.hxx>
#include <soa/services/internal/core/SessionService.hxx>

namespace Quillomark::Services {

Core::_2006_03::Session::~Session() = default;
Core::_2007_01::Session::~Session() = default;
Core::SessionService::~SessionService() = default;

Internal::Core::_2006_03::Types::~Types() = default;
Internal::Core::_2007_05::Session::~Session() = default;
Internal::Core::SessionService::~SessionService() = default;

}  // namespace Quillomark::Services
