#include <soa/common/internal/XmlPlatform.hxx>

#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/XMLUni.hpp>

#include <mutex>

namespace Quillomark::Soa::Common::Xml {

void initializeXmlPlatform() {
    static std::once_flag once;
    std::call_once(once, [] {
        xercesc::XMLPlatformUtils::Initialize(xercesc::XMLUni::fgXercescDefaultLocale, nullptr,
                                              nullptr, nullptr);
    });
}

}  // namespace Quillomark::Soa::Common::Xml
