#include <fcc/FccException.hxx>

namespace Quillomark::Soa::Client {

FccException::FccException(int failCode, const std::string& msg) : code(failCode), message(msg) {}

FccException::FccException(const FccException& other) = default;

FccException& FccException::operator=(const FccException& other) = default;

FccException::~FccException() = default;

int FccException::failCode() const { return code; }

const std::string& FccException::msg() const { return message; }

}  // namespace Quillomark::Soa::Client
