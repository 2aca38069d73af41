// The proxy library cannot be used: the interface switches to the library's
// own implementation. Built once per reason, chosen by a definition:
// FCC_SCENARIO_NO_LIBRARY, FCC_SCENARIO_NOT_A_LIBRARY,
// FCC_SCENARIO_MISSING_ENTRY, and for a library that is not loaded since
// another local user could have put code into it (its constructor would
// run at the load): FCC_SCENARIO_WRITABLE_LIBRARY, FCC_SCENARIO_WRITABLE_FOLDER
// and FCC_SCENARIO_FIFO_LIBRARY (which would also hold the load for ever),
// and FCC_SCENARIO_FOREIGN_LIBRARY: an installation that another user put
// into a sticky folder that everyone may write (root alone can make one for
// the test: run as another user, it says that it skipped).

#include <fcc/FccInterface.hxx>
#include <fcc/pipe/internal/FccTransport.hxx>
#include <tests/fcc/LoaderScenario.hxx>
#include <tests/support/FreshFolder.hxx>
#include <tests/support/OutputCapture.hxx>
#include <tests/support/ProxyDoubleControl.hxx>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

using Quillomark::Testing::FmsHomes;
using Quillomark::Testing::OutputCapture;

struct Scenario {
    std::string fmsHome;
    std::string libraryPath;
    std::string loaderErrors;
    std::string scriptErrors = "";  // a refused launch script's line, after the loader's
};

Scenario scenario() {
#if defined(FCC_SCENARIO_NO_LIBRARY)
    // A trailing separator is not doubled.
    const std::string home = FmsHomes::empty() + "/";
    const std::string path = FmsHomes::empty() + "/lib/FCCClientProxyDllv80.dll";
    return {home, path, "Could not load library '" + path + "'\n"};
#elif defined(FCC_SCENARIO_NOT_A_LIBRARY)
    const std::string home = FmsHomes::notALibrary();
    const std::string path = home + "/lib/FCCClientProxyDllv80.dll";
    return {home, path, "Could not load library '" + path + "'\n"};
#elif defined(FCC_SCENARIO_MISSING_ENTRY)
    const std::string home = FmsHomes::missingEntry();
    const std::string path = home + "/lib/FCCClientProxyDllv80.dll";
    return {
        home, path,
        "Could not find entry point 'FCCTerminateThread'\n.Library '" + path + "' corrupted.\n"};
#elif defined(FCC_SCENARIO_WRITABLE_LIBRARY) || defined(FCC_SCENARIO_WRITABLE_FOLDER) || \
    defined(FCC_SCENARIO_FIFO_LIBRARY)
    // A working library (all 40 entries) in a folder of the test's own.
    const std::string home = Quillomark::Testing::freshFolder("loader-");
    chmod(home.c_str(), 0755);
    const std::string folder = home + "/lib";
    const std::string path = folder + "/FCCClientProxyDllv80.dll";
    mkdir(folder.c_str(), 0755);
#if defined(FCC_SCENARIO_FIFO_LIBRARY)
    mkfifo(path.c_str(), 0644);
    const std::string reason = "it is not a regular file";
#else
    std::filesystem::copy_file(FmsHomes::complete() + "/lib/FCCClientProxyDllv80.dll", path);
#if defined(FCC_SCENARIO_WRITABLE_LIBRARY)
    chmod(path.c_str(), 0666);
    const std::string reason = "it may be written by users other than its owner";
#else
    chmod(path.c_str(), 0755);
    chmod(folder.c_str(), 0777);
    const std::string reason =
        "its folder '" + folder + "' may be written by users other than its owner";
#endif
#endif
    return {home, path,
            "Library '" + path + "' is not used: " + reason + ".\nCould not load library '" + path +
                "'\n"};
#elif defined(FCC_SCENARIO_FOREIGN_LIBRARY)
    if (geteuid() != 0) return {};
    // A working library and a launch script, both of nobody, in nobody's
    // folder in a sticky folder that everyone may write.
    const std::string shared = Quillomark::Testing::freshFolder("loader-");
    chmod(shared.c_str(), 01777);
    const std::string home = shared + "/fms";
    const std::string path = home + "/lib/FCCClientProxyDllv80.dll";
    const std::string script = home + "/startfcc.bat";
    mkdir(home.c_str(), 0755);
    mkdir((home + "/lib").c_str(), 0755);
    std::filesystem::copy_file(FmsHomes::complete() + "/lib/FCCClientProxyDllv80.dll", path);
    std::ofstream(script) << "#!/bin/sh\nexit 3\n";
    chmod(path.c_str(), 0755);
    chmod(script.c_str(), 0755);
    for (const std::string& made : {home, home + "/lib", path, script}) {
        if (chown(made.c_str(), 65534, 65534) != 0) return {};
    }
    const std::string reason = "its folder '" + home +
                               "' belongs to another user (uid 65534) and lies in a folder that "
                               "others may write";
    return {home, path,
            "Library '" + path + "' is not used: " + reason + ".\nCould not load library '" + path +
                "'\n",
            "The FCC launch script '" + script + "' is not used: " + reason + ".\n"};
#else
#error "no loader scenario chosen"
#endif
}

#if defined(FCC_SCENARIO_NO_LIBRARY)
#define FALLBACK_SUITE LoaderWithoutLibrary
#elif defined(FCC_SCENARIO_NOT_A_LIBRARY)
#define FALLBACK_SUITE LoaderWithNotALibrary
#elif defined(FCC_SCENARIO_WRITABLE_LIBRARY)
#define FALLBACK_SUITE LoaderWithALibraryOthersMayWrite
#elif defined(FCC_SCENARIO_WRITABLE_FOLDER)
#define FALLBACK_SUITE LoaderWithALibraryInAFolderOthersMayWrite
#elif defined(FCC_SCENARIO_FIFO_LIBRARY)
#define FALLBACK_SUITE LoaderWithAPipeForALibrary
#elif defined(FCC_SCENARIO_FOREIGN_LIBRARY)
#define FALLBACK_SUITE LoaderWithAnotherUsersLibraryInAFolderEveryoneMayWrite
#else
#define FALLBACK_SUITE LoaderWithIncompleteLibrary
#endif

// Runs first in its process: it needs the loader not to have run yet.
TEST(FALLBACK_SUITE, WarnsOnceAndServesEveryEntryItself) {
    const Scenario expected = scenario();
    if (expected.fmsHome.empty()) GTEST_SKIP() << "only root can make files of another user";
    alarm(60);  // a load that never returns is a failure, not a hang
    setenv("FMS_HOME", expected.fmsHome.c_str(), 1);
    unsetenv("JAVA_HOME");
    unsetenv("JRE_HOME");
    const auto first = Quillomark::Testing::constructProxy();
    // The own implementation is asked whether it can work: without its
    // launch script under FMS_HOME it cannot.
    const std::string script =
        Quillomark::Fcc::fccLaunchScriptPath(expected.fmsHome, "startfcc.bat");
    EXPECT_EQ(first.out, std::string(Quillomark::Testing::FCC_VERSION_LINE) +
                             "FMS ERROR: FCC launch script '" + script + "' is inaccessible.\n");
    EXPECT_EQ(first.err, expected.loaderErrors + Quillomark::Testing::SELF_PROXY_WARNING +
                             expected.scriptErrors);
    EXPECT_EQ(first.failCode, -2997);
    EXPECT_EQ(first.message, "FMS_HOME=" + expected.fmsHome +
                                 "\nJAVA_HOME=\nJRE_HOME=\nFailed to get error from Fcc client");
    // Nothing of an unusable library stays loaded.
    EXPECT_FALSE(Quillomark::Testing::isLibraryLoaded(expected.libraryPath));

    // From here on nothing is printed (failures of the checks below show in
    // the captured text).
    OutputCapture out(1);
    OutputCapture err(2);

    // The slots hold the own entries, which are not initialised: none of
    // these answers like an empty slot.
    EXPECT_EQ(FCC_Term(), -2999);
    EXPECT_EQ(FCC_Echo(), -2999);
    const char* text = nullptr;
    EXPECT_EQ(FCC_GetLastError(&text), -2999);
    // A refused script's reason, else the interface's own text.
    EXPECT_EQ(std::string(text ? text : ""),
              expected.scriptErrors.empty()
                  ? "The FCC start script is missing or inaccessible.  FMS_HOME may be incorrect."
                  : expected.scriptErrors.substr(0, expected.scriptErrors.size() - 1));

    EXPECT_EQ(ThreadId(), static_cast<std::uint32_t>(gettid()));

    EXPECT_EQ(out.finish(), "");
    EXPECT_EQ(err.finish(), "");
}

}  // namespace
