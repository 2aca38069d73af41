// The proxy library cannot be used: the interface switches to the library's
// own implementation. Built once per reason, chosen by a definition:
// FCC_SCENARIO_NO_LIBRARY, FCC_SCENARIO_NOT_A_LIBRARY,
// FCC_SCENARIO_MISSING_ENTRY, and for a library that is not loaded since
// another local user could have put code into it (its constructor would
// run at the load): FCC_SCENARIO_WRITABLE_LIBRARY, FCC_SCENARIO_WRITABLE_FOLDER
// and FCC_SCENARIO_FIFO_LIBRARY (which would also hold the load for ever).

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
#include <string>

namespace {

using Quillomark::Testing::FmsHomes;
using Quillomark::Testing::OutputCapture;

struct Scenario {
    std::string fmsHome;
    std::string libraryPath;
    std::string loaderErrors;
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
#else
#define FALLBACK_SUITE LoaderWithIncompleteLibrary
#endif

// Runs first in its process: it needs the loader not to have run yet.
TEST(FALLBACK_SUITE, WarnsOnceAndServesEveryEntryItself) {
    const Scenario expected = scenario();
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
    EXPECT_EQ(first.err, expected.loaderErrors + Quillomark::Testing::SELF_PROXY_WARNING);
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
    EXPECT_STREQ(text,
                 "The FCC start script is missing or inaccessible.  FMS_HOME may be incorrect.");

    EXPECT_EQ(ThreadId(), static_cast<std::uint32_t>(gettid()));

    EXPECT_EQ(out.finish(), "");
    EXPECT_EQ(err.finish(), "");
}

}  // namespace
