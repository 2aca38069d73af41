#include <soa/client/internal/RequestName.hxx>

#include <soa/client/RuntimeException.hxx>

namespace Quillomark::Soa::Client {

// Each name is one segment of the URL's path over HTTP: an empty name, a dot
// segment or a "/" would make another path (libcurl removes dot segments),
// a blank or control character no URL, "#" would end the path and "?" begin
// a query. Over IIOP the names are strings in whatever code set the ORBs
// agree on, where a byte above ASCII may arrive as other bytes and a NUL
// ends the name. ASCII "%" can travel on both (the HTTP sender escapes it).
void checkRequestName(const std::string& name) {
    bool carried = !name.empty() && name != "." && name != "..";
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte >= 0x7F || c == '/' || c == '#' || c == '?') carried = false;
    }
    if (!carried) {
        throw RuntimeException(
            RuntimeException::GENERAL_ERROR,
            "The service or operation name '" + name + "' cannot be sent as it is");
    }
}

}  // namespace Quillomark::Soa::Client
