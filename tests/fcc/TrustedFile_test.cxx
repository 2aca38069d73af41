// What the file-cache client runs or loads (its launch script, the proxy
// library) must be a file that no other local user could have put there.
// The cases that need a second user give files to nobody, which only root
// may do; run as another user they say that they skipped.

#include <platform/os/internal/TrustedFile.hxx>
#include <tests/support/FreshFolder.hxx>

#include <gtest/gtest.h>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <fstream>
#include <string>

namespace {

namespace Os = Quillomark::Platform::Os;

constexpr uid_t NOBODY = 65534;
constexpr uid_t STRANGER = 65533;  // a user that no file of the test belongs to

class TrustedFile : public ::testing::Test {
protected:
    void SetUp() override {
        root = Quillomark::Testing::freshFolder("trusted-");
        chmod(root.c_str(), 0755);
    }

    // A script of mode 0755 at path, given to owner unless that is -1.
    static void makeScript(const std::string& path, uid_t owner = static_cast<uid_t>(-1)) {
        std::ofstream(path) << "#!/bin/sh\nexit 0\n";
        ASSERT_EQ(chmod(path.c_str(), 0755), 0);
        if (owner != static_cast<uid_t>(-1)) {
            ASSERT_EQ(lchown(path.c_str(), owner, owner), 0);
        }
    }
    static void makeFolder(const std::string& path, mode_t mode,
                           uid_t owner = static_cast<uid_t>(-1)) {
        ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
        if (owner != static_cast<uid_t>(-1)) {
            ASSERT_EQ(chown(path.c_str(), owner, owner), 0);
        }
        ASSERT_EQ(chmod(path.c_str(), mode), 0);
    }

    // Whether the file is trusted; its reason, when refused, in `reason`.
    bool trusted(const std::string& path) {
        reason = "unset";
        return Os::isTrustedFile(path, &reason);
    }

    std::string root;
    std::string reason;
};

// A sticky folder that others may write keeps them from replacing what they
// do not own, not from adding what they like: what another user put there
// (a file, a folder, a link) is theirs to change.
TEST_F(TrustedFile, WhatAnotherUserAddsToAFolderOthersMayWriteDoesNotCount) {
    if (geteuid() != 0) GTEST_SKIP() << "only root can give files to another user";
    const std::string shared = root + "/shared";
    makeFolder(shared, 01777);
    const std::string elsewhere = root + "/own";
    makeScript(elsewhere);

    makeScript(shared + "/startfcc.bat", NOBODY);
    EXPECT_FALSE(trusted(shared + "/startfcc.bat"));
    EXPECT_EQ(reason, "it belongs to another user (uid 65534) and lies in the folder '" + shared +
                          "', which others may write");

    makeFolder(shared + "/fms", 0755, NOBODY);
    makeScript(shared + "/fms/startfcc.bat", 0);
    EXPECT_FALSE(trusted(shared + "/fms/startfcc.bat"));
    EXPECT_EQ(reason, "its folder '" + shared +
                          "/fms' belongs to another user (uid 65534) and lies in a folder that "
                          "others may write");

    ASSERT_EQ(symlink(elsewhere.c_str(), (shared + "/link").c_str()), 0);
    ASSERT_EQ(lchown((shared + "/link").c_str(), NOBODY, NOBODY), 0);
    EXPECT_FALSE(trusted(shared + "/link"));
    EXPECT_EQ(reason, "it is reached through the link '" + shared +
                          "/link', which belongs to another user (uid 65534) and lies in a "
                          "folder that others may write");
    // A link to the folder of another user, in a folder of the test's own.
    ASSERT_EQ(symlink((shared + "/fms").c_str(), (root + "/fms").c_str()), 0);
    EXPECT_FALSE(trusted(root + "/fms/startfcc.bat"));

    // What root or the folder's owner put there counts (the test runs as
    // root, who owns the folder).
    ASSERT_EQ(lchown((shared + "/link").c_str(), 0, 0), 0);
    EXPECT_TRUE(trusted(shared + "/link")) << reason;
    ASSERT_EQ(chown((shared + "/fms").c_str(), 0, 0), 0);
    EXPECT_TRUE(trusted(shared + "/fms/startfcc.bat")) << reason;
    ASSERT_EQ(chown((shared + "/startfcc.bat").c_str(), 0, 0), 0);
    EXPECT_TRUE(trusted(shared + "/startfcc.bat")) << reason;

    // A sticky folder of another user, in a folder only its owner may
    // write: what that user puts there counts, what a third user does not.
    const std::string theirs = root + "/theirs";
    makeFolder(theirs, 01777, NOBODY);
    makeScript(theirs + "/startfcc.bat", NOBODY);
    EXPECT_TRUE(trusted(theirs + "/startfcc.bat")) << reason;
    makeScript(theirs + "/other.bat", STRANGER);
    EXPECT_FALSE(trusted(theirs + "/other.bat"));
    EXPECT_EQ(reason, "it belongs to another user (uid 65533) and lies in the folder '" + theirs +
                          "', which others may write");
}

// A service account's installation, in folders only their owners may
// write, is used as it is.
TEST_F(TrustedFile, AnotherUsersInstallationThatOnlyItsOwnerMayWriteIsUsed) {
    if (geteuid() != 0) GTEST_SKIP() << "only root can give files to another user";
    makeFolder(root + "/opt", 0755, NOBODY);
    makeFolder(root + "/opt/fms", 0755, NOBODY);
    makeFolder(root + "/opt/fms/lib", 0755, NOBODY);
    makeScript(root + "/opt/fms/lib/FCCClientProxyDllv80.dll", NOBODY);
    ASSERT_EQ(symlink("lib", (root + "/opt/fms/current").c_str()), 0);
    ASSERT_EQ(lchown((root + "/opt/fms/current").c_str(), NOBODY, NOBODY), 0);
    EXPECT_TRUE(trusted(root + "/opt/fms/lib/FCCClientProxyDllv80.dll")) << reason;
    EXPECT_TRUE(trusted(root + "/opt/fms/current/FCCClientProxyDllv80.dll")) << reason;
}

// For a process of another user, its own files in a sticky folder of root's
// count, and those of a third user do not.
TEST_F(TrustedFile, TheProcesssOwnFilesInAFolderOthersMayWriteCount) {
    if (geteuid() != 0) GTEST_SKIP() << "only root can run a process as another user";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string shared = root + "/shared";
    makeFolder(shared, 01777);
    makeScript(shared + "/mine.bat", NOBODY);
    makeScript(shared + "/roots.bat", 0);
    makeScript(shared + "/other.bat", STRANGER);
    EXPECT_EXIT(
        {
            if (setgroups(0, nullptr) != 0 || setresgid(NOBODY, NOBODY, NOBODY) != 0 ||
                setresuid(NOBODY, NOBODY, NOBODY) != 0) {
                _exit(2);
            }
            std::string problem;
            const bool mine = Os::isTrustedFile(shared + "/mine.bat", &problem);
            const bool roots = Os::isTrustedFile(shared + "/roots.bat", &problem);
            const bool other = Os::isTrustedFile(shared + "/other.bat", &problem);
            _exit(mine && roots && !other ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

// The launch runs the script by the very path that was checked: a path the
// system would not run as it is must not pass the check either.
TEST_F(TrustedFile, APathTheSystemWouldNotTakeAsItIsIsRefused) {
    const std::string script = root + "/startfcc.bat";
    makeScript(script);
    EXPECT_TRUE(trusted(script)) << reason;
    // A name followed by "/" or "/." must be a folder.
    for (const std::string& asFolder : {script + "/", script + "//", script + "/."}) {
        EXPECT_FALSE(trusted(asFolder)) << asFolder;
        EXPECT_EQ(reason, "") << asFolder;
    }
    EXPECT_TRUE(trusted(root + "/./startfcc.bat")) << reason;
    EXPECT_FALSE(trusted(root + "/.")) << "a folder";
    ASSERT_EQ(symlink("startfcc.bat/", (root + "/as-folder").c_str()), 0);
    EXPECT_FALSE(trusted(root + "/as-folder"));

    // Up to PATH_MAX less its terminating NUL.
    const auto padded = [&](std::size_t length) {
        std::string path = root + "/";
        while (path.size() + 2 + 12 <= length) path += "./";
        if (path.size() + 12 < length) path += "/";
        return path + "startfcc.bat";
    };
    ASSERT_EQ(padded(PATH_MAX - 1).size(), static_cast<std::size_t>(PATH_MAX - 1));
    EXPECT_TRUE(trusted(padded(PATH_MAX - 1))) << reason;
    ASSERT_EQ(padded(PATH_MAX).size(), static_cast<std::size_t>(PATH_MAX));
    EXPECT_FALSE(trusted(padded(PATH_MAX)));
    EXPECT_EQ(reason, "its path is longer than " + std::to_string(PATH_MAX - 1) + " bytes");
}

}  // namespace
