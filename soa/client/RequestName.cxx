#include <soa/client/internal/RequestName.hxx>

#include <soa/client/RuntimeException.hxx>

#include <cstddef>

namespace Quillomark::Soa::Client {

// Each name is one segment of the URL's path over HTTP: an empty name, a dot
// segment or a "/" would make another path (libcurl removes dot segments),
// a blank or control character no URL, "#" would end the path and "?" begin
// a query. Over IIOP the names are strings in whatever code set the ORBs
// agree on, where a byte above ASCII may arrive as other bytes and a NUL
// ends the name. ASCII "%" can travel on both (the HTTP sender escapes it).
// A name holds at most LONGEST_NAME bytes, far more than any operation's
// name needs: the head of a request that libcurl builds takes at most 1 MiB,
// and a path that overran it, escaped (up to three bytes for each), would
// fail as though the server were out of reach.
void checkRequestName(const std::string& name) {
    constexpr std::size_t LONGEST_NAME = 4096;
    if (name.size() > LONGEST_NAME) {
        throw RuntimeException(RuntimeException::GENERAL_ERROR,
                               "The service or operation name of " + std::to_string(name.size()) +
                                   " bytes cannot be sent: a name holds at most " +
                                   std::to_string(LONGEST_NAME) + " bytes");
    }
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
