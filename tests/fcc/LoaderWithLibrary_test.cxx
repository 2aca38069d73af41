// The complete proxy library double is installed under FMS_HOME: every entry
// reaches it.

#include <fcc/FccInterface.hxx>
#include <tests/fcc/LoaderScenario.hxx>
#include <tests/support/OutputCapture.hxx>
#include <tests/support/ProxyDoubleControl.hxx>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

using Quillomark::Testing::FmsHomes;
using Quillomark::Testing::OutputCapture;
using Quillomark::Testing::ProxyDoubleControl;

// Runs first in its process: it needs the loader not to have run yet.
TEST(LoaderWithCompleteLibrary, EveryEntryReachesTheLibraryUnchanged) {
    setenv("FMS_HOME", FmsHomes::complete().c_str(), 1);
    auto out = std::make_unique<OutputCapture>(1);
    auto err = std::make_unique<OutputCapture>(2);
    int enabled = 0;
    const int status = FCC_IsFCCEnabled(&enabled);
    EXPECT_EQ(out->finish(), Quillomark::Testing::FCC_VERSION_LINE);
    EXPECT_EQ(err->finish(), "");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(enabled, 1);
    // From here on nothing is printed (failures of the checks below show in
    // the captured text).
    out = std::make_unique<OutputCapture>(1);
    err = std::make_unique<OutputCapture>(2);

    ProxyDoubleControl library(FmsHomes::complete() + "/lib/FCCClientProxyDllv80.dll");
    EXPECT_TRUE(library.attached());
    library.reset();
    const std::vector<std::string> expected = {"FCC_IsFCCEnabled",
                                               "FCC_Init(alloc,release)",
                                               "FCC_Term",
                                               "FCC_SetLocale(de)",
                                               "FCC_GetLastError",
                                               "FCC_RegisterTicket(t0)",
                                               "FCC_RegisterTickets(t1,t2)",
                                               "FCC_UnRegisterTicket(h0)",
                                               "FCC_UnRegisterTickets(h1,h2)",
                                               "FCC_DownloadFileFromPLM(IMD,h0)",
                                               "FCC_DownloadFilesFromPLM(IMD,h1,h2)",
                                               "FCC_DownloadFileToLocation(IMD,h0,/d,f0)",
                                               "FCC_DownloadFilesToLocation(IMD,h1,h2,/d,f1,f2)",
                                               "FCC_UploadFileToPLM(h0,/p0)",
                                               "FCC_UploadFilesToPLM(h1,h2,f1,f2,0)",
                                               "FCC_RollbackFileUploadedToPLM(h0,v0)",
                                               "FCC_RollbackFilesUploadedToPLM(h1,h2,f1,f2)",
                                               "FCC_OpenFile(h0)",
                                               "FCC_RefreshFileTicket(t9)",
                                               "FCC_FileSize",
                                               "FCC_GetSeekPointer",
                                               "FCC_SeekRelative(-5)",
                                               "FCC_SeekAbsolute(1099511627776)",
                                               "FCC_ReadBytes(IMD,512)",
                                               "FCC_ScheduleRange(IMD,1024,64)",
                                               "FCC_CloseFileHandlePointer",
                                               "FCC_Echo",
                                               "FCC_GetFileGUID",
                                               "FmsClearCache",
                                               "FmsErrorCode(-3005)",
                                               "FmsClearLastError",
                                               "FmsDeltaMs(500,200)",
                                               "FmsClock",
                                               "ThreadId",
                                               "FmsSleepMs(7)",
                                               "GUIDLength(t8)",
                                               "synchronize",
                                               "endSynchronize",
                                               "FCCStartThread(arg)",
                                               "FCCTerminateThread(3)"};
    // Each entry answers with a result of its own, so that a dispatcher that
    // reached the wrong slot shows.
    for (int slot = 0; slot < 40; ++slot) {
        library.setResult(expected[slot].substr(0, expected[slot].find('(')), -100 - slot);
    }

    char* h1 = const_cast<char*>("h1");
    char* handles[2] = {h1, const_cast<char*>("h2")};
    char* out1[2] = {nullptr, nullptr};
    int statuses[2] = {0, 0};
    const char* tickets[2] = {"t1", "t2"};
    const char* files[2] = {"f1", "f2"};
    char* single = nullptr;
    EXPECT_EQ(FCC_IsFCCEnabled(&enabled), -100);
    EXPECT_EQ(FCC_Init(::malloc, ::free), -101);
    EXPECT_EQ(FCC_Term(), -102);
    EXPECT_EQ(FCC_SetLocale("de"), -103);
    const char* text = nullptr;
    EXPECT_EQ(FCC_GetLastError(&text), -104);
    EXPECT_EQ(FCC_RegisterTicket("t0", &single), -105);
    EXPECT_EQ(FCC_RegisterTickets(2, tickets, out1, statuses), -106);
    EXPECT_EQ(FCC_UnRegisterTicket("h0"), -107);
    EXPECT_EQ(FCC_UnRegisterTickets(2, handles, statuses), -108);
    EXPECT_EQ(FCC_DownloadFileFromPLM("IMD", "h0", nullptr, nullptr, &single), -109);
    EXPECT_EQ(FCC_DownloadFilesFromPLM("IMD", 2, handles, nullptr, nullptr, out1, statuses), -110);
    std::free(out1[0]);
    std::free(out1[1]);
    EXPECT_EQ(FCC_DownloadFileToLocation("IMD", "h0", nullptr, nullptr, "/d", "f0"), -111);
    EXPECT_EQ(
        FCC_DownloadFilesToLocation("IMD", 2, handles, nullptr, nullptr, "/d", files, statuses),
        -112);
    EXPECT_EQ(FCC_UploadFileToPLM("h0", nullptr, nullptr, "/p0", nullptr), -113);
    EXPECT_EQ(FCC_UploadFilesToPLM(2, handles, nullptr, nullptr, files, 0, nullptr, statuses),
              -114);
    EXPECT_EQ(FCC_RollbackFileUploadedToPLM("h0", "v0"), -115);
    EXPECT_EQ(FCC_RollbackFilesUploadedToPLM(2, handles, files, statuses), -116);
    EXPECT_EQ(FCC_OpenFile("h0", nullptr), -117);
    EXPECT_EQ(FCC_RefreshFileTicket(nullptr, "t9"), -118);
    EXPECT_EQ(FCC_FileSize(nullptr, nullptr), -119);
    EXPECT_EQ(FCC_GetSeekPointer(nullptr, nullptr), -120);
    EXPECT_EQ(FCC_SeekRelative(nullptr, -5), -121);
    EXPECT_EQ(FCC_SeekAbsolute(nullptr, 1LL << 40), -122);
    EXPECT_EQ(FCC_ReadBytes(nullptr, "IMD", 512, nullptr, nullptr), -123);
    EXPECT_EQ(FCC_ScheduleRange(nullptr, "IMD", 1024, 64), -124);
    EXPECT_EQ(FCC_CloseFileHandlePointer(nullptr), -125);
    EXPECT_EQ(FCC_Echo(), -126);
    EXPECT_EQ(FCC_GetFileGUID(nullptr, nullptr), -127);
    EXPECT_EQ(FmsClearCache(), -128);
    EXPECT_EQ(FmsErrorCode(-3005), -129);
    FmsClearLastError();
    EXPECT_EQ(FmsDeltaMs(500, 200), -131);
    EXPECT_EQ(FmsClock(), -132);
    EXPECT_EQ(ThreadId(), static_cast<std::uint32_t>(-133));
    FmsSleepMs(7);
    EXPECT_EQ(GUIDLength("t8"), -135);
    synchronize();
    endSynchronize();
    char argument[] = "arg";
    EXPECT_EQ(FCCStartThread(nullptr, argument, nullptr),
              reinterpret_cast<FccThreadHandle>(static_cast<std::intptr_t>(-138)));
    FCCTerminateThread(nullptr, 3);

    EXPECT_EQ(library.calls(), expected);
    EXPECT_EQ(out->finish(), "");
    EXPECT_EQ(err->finish(), "");
}

}  // namespace
