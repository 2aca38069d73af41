#include <platform/os/internal/TrustedFile.hxx>

#include <platform/os/internal/Descriptor.hxx>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <utility>

namespace Quillomark::Platform::Os {

namespace {

// The components of a path, in order, empty ones left out. A "." is kept,
// and a path that ends in "/" gets one: the kernel takes the name in front
// of either for a folder, and so does the walk.
std::deque<std::string> componentsOf(const std::string& path) {
    std::deque<std::string> components;
    std::size_t begin = 0;
    while (begin <= path.size()) {
        std::size_t end = path.find('/', begin);
        if (end == std::string::npos) end = path.size();
        if (end > begin) components.push_back(path.substr(begin, end - begin));
        begin = end + 1;
    }
    if (!path.empty() && path.back() == '/') components.emplace_back(".");
    return components;
}

bool othersMayWrite(const struct stat& info) { return (info.st_mode & (S_IWGRP | S_IWOTH)) != 0; }

// Whether an entry of `owner` counts in a folder of `folderOwner` that
// others may write. Its sticky bit keeps them from replacing what they do
// not own, but not from adding what they like: an entry counts only when
// it is root's, this process's user's, or the folder's owner's (who may
// replace anything in it anyway), as the kernel trusts links in such
// folders.
bool countsIn(uid_t owner, uid_t folderOwner) {
    return owner == 0 || owner == ::geteuid() || owner == folderOwner;
}

std::string ownerOf(const struct stat& info) {
    return "another user (uid " + std::to_string(info.st_uid) + ")";
}

// Links followed on the way at most, as the system does.
constexpr int MAX_LINKS = 40;

}  // namespace

bool isTrustedFile(const std::string& path, std::string* problem) {
    const auto refuse = [problem](std::string reason) {
        if (problem) *problem = std::move(reason);
        return false;
    };
    const auto cannot = [&](int error) {
        if (error == ENOENT || error == ENOTDIR) return refuse("");
        return refuse(std::string("it cannot be opened (") + std::strerror(error) + ")");
    };
    if (problem) problem->clear();
    if (path.empty() || path[0] != '/') return refuse("its path is not absolute");
    // What passes is run or loaded by this very path, which the system
    // takes only up to its limit.
    if (path.size() >= PATH_MAX) {
        return refuse("its path is longer than " + std::to_string(PATH_MAX - 1) + " bytes");
    }

    // The path is walked one name at a time, each folder looked at before a
    // name is looked up in it, and links followed by hand, so that every
    // folder the lookup passes through is one that was looked at.
    std::deque<std::string> rest = componentsOf(path);
    Descriptor folder(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    std::string folderPath = "/";
    // The owner of the folder just left when others may write it: the
    // folder entered from it must count there.
    std::optional<uid_t> enteredFrom;
    int links = 0;
    for (;;) {
        if (folder.get() < 0) return cannot(errno);
        struct stat info {};
        if (::fstat(folder.get(), &info) != 0) return cannot(errno);
        if (enteredFrom && !countsIn(info.st_uid, *enteredFrom)) {
            return refuse("its folder '" + folderPath + "' belongs to " + ownerOf(info) +
                          " and lies in a folder that others may write");
        }
        enteredFrom.reset();
        if (othersMayWrite(info) && (info.st_mode & S_ISVTX) == 0) {
            return refuse("its folder '" + folderPath +
                          "' may be written by users other than its owner");
        }
        // Whose entries count in this folder, when others may write it.
        const std::optional<uid_t> sharedBy =
            othersMayWrite(info) ? std::optional<uid_t>(info.st_uid) : std::nullopt;
        if (rest.empty()) return refuse("it is a folder");
        const std::string name = std::move(rest.front());
        rest.pop_front();
        if (name == ".") continue;
        if (name == "..") {
            folder.reset(::openat(folder.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
            const std::size_t cut = folderPath.find_last_of('/', folderPath.size() - 1);
            folderPath = cut == 0 || cut == std::string::npos ? "/" : folderPath.substr(0, cut);
            continue;
        }
        if (::fstatat(folder.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            return cannot(errno);
        }
        const std::string next = (folderPath == "/" ? "" : folderPath) + "/" + name;
        if (S_ISLNK(info.st_mode)) {
            if (sharedBy && !countsIn(info.st_uid, *sharedBy)) {
                return refuse("it is reached through the link '" + next + "', which belongs to " +
                              ownerOf(info) + " and lies in a folder that others may write");
            }
            if (++links > MAX_LINKS) return refuse("it is reached through too many links");
            std::string target(PATH_MAX, '\0');
            const ssize_t length =
                ::readlinkat(folder.get(), name.c_str(), target.data(), target.size());
            if (length < 0) return cannot(errno);
            if (length == static_cast<ssize_t>(target.size())) {
                return refuse("it is reached through a link too long to follow");
            }
            target.resize(static_cast<std::size_t>(length));
            std::deque<std::string> more = componentsOf(target);
            rest.insert(rest.begin(), more.begin(), more.end());
            if (!target.empty() && target[0] == '/') {
                folder.reset(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
                folderPath = "/";
            }
            continue;
        }
        if (!rest.empty()) {
            folder.reset(::openat(folder.get(), name.c_str(),
                                  O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            folderPath = next;
            enteredFrom = sharedBy;
            continue;
        }
        // The file itself: nothing but a regular file is opened (a device
        // may act on an open, a pipe would wait for a writer); opened
        // without waiting all the same, and looked at again through what
        // was opened.
        if (!S_ISREG(info.st_mode)) return refuse("it is not a regular file");
        const Descriptor file(
            ::openat(folder.get(), name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
        if (file.get() < 0) return cannot(errno);
        if (::fstat(file.get(), &info) != 0) return cannot(errno);
        if (!S_ISREG(info.st_mode)) return refuse("it is not a regular file");
        if (sharedBy && !countsIn(info.st_uid, *sharedBy)) {
            return refuse("it belongs to " + ownerOf(info) + " and lies in the folder '" +
                          folderPath + "', which others may write");
        }
        if (othersMayWrite(info)) return refuse("it may be written by users other than its owner");
        return true;
    }
}

}  // namespace Quillomark::Platform::Os
