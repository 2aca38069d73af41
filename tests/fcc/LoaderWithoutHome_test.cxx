// FMS_HOME is not set: the first call that runs the loader fails, and the
// interface stays empty for the rest of the process.

#include <fcc/FccException.hxx>
#include <fcc/FccInterface.hxx>
#include <fcc/FccProxy.hxx>
#include <tests/fcc/LoaderScenario.hxx>
#include <tests/support/OutputCapture.hxx>

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace {

using Quillomark::Soa::Client::FccException;
using Quillomark::Soa::Client::FccProxy;
using Quillomark::Testing::OutputCapture;

// Runs first in its process: it needs the loader not to have run yet.
TEST(LoaderWithoutFmsHome, FirstCallFailsAndLaterCallsFindEmptySlots) {
    unsetenv("FMS_HOME");
    setenv("JAVA_HOME", "/opt/java", 1);
    unsetenv("JRE_HOME");
    const std::string environmentText = "FMS_HOME=\nJAVA_HOME=/opt/java\nJRE_HOME=\n";
    const auto first = Quillomark::Testing::constructProxy();
    EXPECT_EQ(first.out, Quillomark::Testing::FCC_VERSION_LINE);
    EXPECT_EQ(first.err, "ERROR: Could not find FMS_HOME.\n");
    EXPECT_EQ(first.failCode, -2998);
    EXPECT_EQ(first.message, environmentText + "Failed to get error from Fcc client");

    // Whatever happens from here on prints nothing (failures of the checks
    // below show in the captured text).
    OutputCapture out(1);
    OutputCapture err(2);

    // The loader does not run again: the loading entries answer 0 without
    // touching their arguments.
    int enabled = 7;
    EXPECT_EQ(FCC_IsFCCEnabled(&enabled), 0);
    EXPECT_EQ(enabled, 7);
    EXPECT_EQ(FCC_Init(nullptr, nullptr), 0);
    EXPECT_EQ(FCC_Term(), 0);
    EXPECT_EQ(FCC_GetLastError(nullptr), -2999);
    const char* text = "preset";
    EXPECT_EQ(FCC_GetLastError(&text), -2999);
    EXPECT_EQ(text, nullptr);

    char* handles[1] = {nullptr};
    int statuses[1] = {0};
    const char* names[1] = {"name"};
    EXPECT_EQ(FCC_SetLocale("en"), -2999);
    EXPECT_EQ(FCC_RegisterTickets(1, names, handles, statuses), -2999);
    EXPECT_EQ(FCC_DownloadFilesFromPLM("IMD", 1, handles, nullptr, nullptr, handles, statuses),
              -2999);
    EXPECT_EQ(FCC_UploadFilesToPLM(1, handles, nullptr, nullptr, names, 1, handles, statuses),
              -2999);
    EXPECT_EQ(FCC_ReadBytes(nullptr, "IMD", 1, nullptr, nullptr), -2999);
    EXPECT_EQ(FCC_Echo(), -2999);
    EXPECT_EQ(FmsClearCache(), -2999);
    EXPECT_EQ(FmsErrorCode(-3002), -2999);
    FmsClearLastError();
    EXPECT_EQ(FmsDeltaMs(2000, 1000), 0);
    EXPECT_EQ(FmsClock(), 0);
    EXPECT_EQ(ThreadId(), 0u);
    FmsSleepMs(1);
    EXPECT_EQ(GUIDLength("ticket"), 0);
    synchronize();
    endSynchronize();
    EXPECT_EQ(FCCStartThread([](void*) -> unsigned { return 0; }, nullptr, nullptr), nullptr);
    FCCTerminateThread(nullptr, 0);

    // A proxy made now finds the file cache disabled; its transfers fail.
    FccProxy disabled;
    std::vector<std::string> files;
    std::map<std::string, int> failures;
    try {
        disabled.downloadFiles({"ticket"}, files, failures);
        ADD_FAILURE() << "no exception";
    } catch (const FccException& e) {
        EXPECT_EQ(e.failCode(), -2999);
    }
    EXPECT_EQ(out.finish(), "");
    EXPECT_EQ(err.finish(), "");
}

}  // namespace
