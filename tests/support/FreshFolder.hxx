#pragma once

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace Quillomark::Testing {

// A folder of this test process under the temporary folder, named by the
// prefix and the process's number, made empty and private to the user:
// what an earlier process of the same number left there (a trace, sockets,
// a folder of another user) is removed first, so that no case reads it.
inline std::string freshFolder(const std::string& prefix) {
    const std::string path = ::testing::TempDir() + prefix + std::to_string(getpid());
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
    mkdir(path.c_str(), 0700);
    return path;
}

}  // namespace Quillomark::Testing
