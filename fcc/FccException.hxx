#pragma once

#include <soa/common/Export.hxx>

#include <string>

namespace Quillomark::Soa::Client {

// A failed file transfer: the status of the file-cache interface (a negative
// error code, a positive count of failed files, or -1) and a text that
// describes the environment and the interface's last error.
class QMSOA_API FccException {
public:
    FccException(int failCode = 0, const std::string& msg = "");
    FccException(const FccException& other);
    FccException& operator=(const FccException& other);
    ~FccException();

    int failCode() const;
    const std::string& msg() const;

private:
    int code;
    std::string message;
};

}  // namespace Quillomark::Soa::Client
