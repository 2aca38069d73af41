#include <fcc/internal/FccFileNames.hxx>

namespace Quillomark::Fcc {

bool fccIsFileName(std::string_view name) {
    if (name.empty() || name == "." ||
        name.find_first_of(std::string_view("/\0", 2)) != name.npos) {
        return false;
    }
    for (std::size_t begin = 0;;) {
        const std::size_t end = name.find('\\', begin);
        if (name.substr(begin, end - begin) == "..") return false;
        if (end == name.npos) return true;
        begin = end + 1;
    }
}

}  // namespace Quillomark::Fcc
