#pragma once

#include <string_view>

namespace Quillomark::Fcc {

// Whether name names one file of the folder it is joined to: it is not
// empty, "." or "..", and holds no "/", no NUL and no ".." between the "\"
// separators that the file-cache server also takes. File names often come
// from data that other users wrote.
bool fccIsFileName(std::string_view name);

}  // namespace Quillomark::Fcc
