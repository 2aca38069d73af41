#pragma once

#include <string>

namespace Quillomark::Platform::Os {

// Whether the file at path (an absolute one) may be run or loaded by this
// process: a regular file that no user but its owner (and root) may write,
// reached only through folders, and links in folders, that no other user
// may change: a folder that others may write counts only with its sticky
// bit, which keeps them from replacing what they do not own, and what is
// in such a folder (the file, a folder or a link) only when it belongs to
// root, to this process's user or to the folder's owner, since the others
// may add there what they like. Elsewhere the owner may be any user. The
// path itself must be one the system takes as it is: shorter than PATH_MAX,
// and ending in a file ("/" or "." at its end asks for a folder). The file
// is looked at without waiting on it: a pipe or a device at the path is
// refused, not opened for good. False with *problem empty when there is
// nothing at the path (a missing file or folder on the way, a file where a
// folder is asked for), else with *problem the reason, a phrase such as
// "it may be written by users other than its owner".
bool isTrustedFile(const std::string& path, std::string* problem);

}  // namespace Quillomark::Platform::Os
