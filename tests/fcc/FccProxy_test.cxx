// FccProxy against the proxy library double installed under FMS_HOME.

#include <fcc/FccException.hxx>
#include <fcc/FccInterface.hxx>
#include <fcc/FccProxy.hxx>
#include <tests/support/ProxyDoubleControl.hxx>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

using Quillomark::Soa::Client::FccException;
using Quillomark::Soa::Client::FccProxy;
using Quillomark::Testing::FmsHomes;
using Quillomark::Testing::ProxyDoubleControl;
using Calls = std::vector<std::string>;

class FccProxyTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("FMS_HOME", FmsHomes::complete().c_str(), 1);
        setenv("JAVA_HOME", "/opt/java", 1);
        setenv("JRE_HOME", "/opt/jre", 1);
        FmsClock();  // loads the library
        library = std::make_unique<ProxyDoubleControl>(FmsHomes::complete() +
                                                       "/lib/FCCClientProxyDllv80.dll");
        ASSERT_TRUE(library->attached());
        library->reset();
    }

    std::string errorText(const std::string& lastError) const {
        return "FMS_HOME=" + FmsHomes::complete() + "\nJAVA_HOME=/opt/java\nJRE_HOME=/opt/jre\n" +
               lastError;
    }

    // The double's calls without the proxy's own construction and
    // destruction.
    Calls transferCalls() const {
        Calls calls = library->calls();
        calls.erase(std::remove_if(calls.begin(), calls.end(),
                                   [](const std::string& call) {
                                       return call == "FCC_IsFCCEnabled" || call == "FCC_Term" ||
                                              call.rfind("FCC_Init", 0) == 0;
                                   }),
                    calls.end());
        return calls;
    }

    long count(const std::string& call) const {
        const Calls calls = library->calls();
        return std::count(calls.begin(), calls.end(), call);
    }

    std::unique_ptr<ProxyDoubleControl> library;
};

TEST_F(FccProxyTest, InitialisesOnlyAnEnabledInterfaceAndTerminatesOnce) {
    library->setEnabled(false);
    { FccProxy disabled; }
    EXPECT_EQ(library->calls(), (Calls{"FCC_IsFCCEnabled"}));

    library->reset();
    { FccProxy enabled; }
    EXPECT_EQ(library->calls(), (Calls{"FCC_IsFCCEnabled", "FCC_Init(alloc,release)", "FCC_Term"}));

    library->reset();
    library->setResult("FCC_Init", -3001);
    library->setLastError("no cache");
    try {
        FccProxy failing;
        ADD_FAILURE() << "no exception";
    } catch (const FccException& e) {
        EXPECT_EQ(e.failCode(), -3001);
        EXPECT_EQ(e.msg(), errorText("no cache"));
    }
    EXPECT_EQ(count("FCC_Term"), 0);
}

TEST_F(FccProxyTest, CopiesKeepInitAndTermBalanced) {
    library->setEnabled(false);
    FccProxy disabled;
    library->setEnabled(true);
    {
        FccProxy first;
        FccProxy copy(first);  // takes its own reference
        FccProxy assigned;
        assigned = first;  // gives its reference back, takes a new one
        const FccProxy& itself = assigned;
        assigned = itself;                  // nothing happens
        FccProxy copyOfDisabled(disabled);  // holds none
        FccProxy dropped;
        dropped = disabled;  // gives its reference back
        EXPECT_EQ(count("FCC_Init(alloc,release)") - count("FCC_Term"), 3);
    }
    EXPECT_EQ(count("FCC_Init(alloc,release)"), 5);
    EXPECT_EQ(count("FCC_Term"), 5);
}

TEST_F(FccProxyTest, DownloadReportsSingleFailuresWhenTheBatchSucceeds) {
    FccProxy proxy;
    library->reset();
    library->setItemStatus(1, -3005);
    std::vector<std::string> files = {"stale"};
    std::map<std::string, int> failures = {{"stale", 1}};
    proxy.downloadFiles({"t1", "t2", "t3"}, files, failures);
    EXPECT_EQ(files, (std::vector<std::string>{"/cache/h:t1", "", "/cache/h:t3"}));
    EXPECT_EQ(failures, (std::map<std::string, int>{{"t2", -3005}}));
    EXPECT_EQ(library->calls(), (Calls{"FCC_RegisterTickets(t1,t2,t3)",
                                       "FCC_DownloadFilesFromPLM(IMD,h:t1,h:t2,h:t3)",
                                       "FCC_UnRegisterTickets(h:t1,h:t2,h:t3)"}));
}

TEST_F(FccProxyTest, FailedBatchThrowsAfterUnregisteringOnce) {
    FccProxy proxy;
    library->setResult("FCC_DownloadFilesFromPLM", -3001);
    library->setLastError("The proxy could not locate or start an FMS Client Cache instance.");
    std::vector<std::string> files;
    std::map<std::string, int> failures;
    try {
        // The paths handed out before the failure are released (the
        // sanitizer build reports them otherwise).
        proxy.downloadFiles({"t1", "t2"}, files, failures);
        ADD_FAILURE() << "no exception";
    } catch (const FccException& e) {
        EXPECT_EQ(e.failCode(), -3001);
        EXPECT_EQ(e.msg(),
                  errorText("The proxy could not locate or start an FMS Client Cache instance."));
    }
    EXPECT_TRUE(files.empty());
    EXPECT_TRUE(failures.empty());
    EXPECT_EQ(transferCalls(),
              (Calls{"FCC_RegisterTickets(t1,t2)", "FCC_DownloadFilesFromPLM(IMD,h:t1,h:t2)",
                     "FCC_GetLastError", "FCC_UnRegisterTickets(h:t1,h:t2)"}));
}

TEST_F(FccProxyTest, DownloadToLocationSendsTicketsInKeyOrder) {
    FccProxy proxy;
    library->reset();
    library->setItemStatus(1, -3003);
    std::map<std::string, int> failures;
    proxy.downloadFilesToLocation({{"tb", "B.txt"}, {"ta", "A.txt"}}, "/tmp/out", failures);
    EXPECT_EQ(failures, (std::map<std::string, int>{{"tb", -3003}}));
    EXPECT_EQ(library->calls(),
              (Calls{"FCC_RegisterTickets(ta,tb)",
                     "FCC_DownloadFilesToLocation(IMD,h:ta,h:tb,/tmp/out,A.txt,B.txt)",
                     "FCC_UnRegisterTickets(h:ta,h:tb)"}));
}

TEST_F(FccProxyTest, UploadGoesOnAfterAFailedFile) {
    FccProxy proxy;
    library->reset();
    library->setItemStatus(0, -3016);
    std::map<std::string, int> failures;
    proxy.uploadFiles({{"u1", "/data/one"}, {"u2", "/data/two"}}, failures);
    EXPECT_EQ(failures, (std::map<std::string, int>{{"u1", -3016}}));
    EXPECT_EQ(library->calls(), (Calls{"FCC_RegisterTickets(u1,u2)",
                                       "FCC_UploadFilesToPLM(h:u1,h:u2,/data/one,/data/two,1)",
                                       "FCC_UnRegisterTickets(h:u1,h:u2)"}));

    // A count of failed files throws it, after the tickets are unregistered.
    library->reset();
    library->setResult("FCC_UploadFilesToPLM", 1);
    library->setLastError(nullptr);
    try {
        proxy.uploadFiles({{"u1", "/data/one"}}, failures);
        ADD_FAILURE() << "no exception";
    } catch (const FccException& e) {
        EXPECT_EQ(e.failCode(), 1);
        EXPECT_EQ(e.msg(), errorText("Failed to get error from Fcc client"));
    }
    EXPECT_EQ(count("FCC_UnRegisterTickets(h:u1)"), 1);
}

TEST_F(FccProxyTest, RegistrationAndUnregistrationFailuresThrow) {
    FccProxy proxy;
    std::vector<std::string> files;
    std::map<std::string, int> failures;

    // Nothing is transferred, and the tickets that did register are
    // unregistered after the registration's error text was read.
    library->reset();
    library->setResult("FCC_RegisterTickets", 2);
    library->setItemStatus(0, -3005);
    library->setItemStatus(2, -3005);
    EXPECT_THROW(proxy.downloadFiles({"t1", "t2", "t3", "t4"}, files, failures), FccException);
    EXPECT_EQ(transferCalls(), (Calls{"FCC_RegisterTickets(t1,t2,t3,t4)", "FCC_GetLastError",
                                      "FCC_UnRegisterTickets(h:t2,h:t4)"}));
    library->reset();
    library->setResult("FCC_RegisterTickets", 2);
    library->setItemStatus(0, -3005);
    library->setItemStatus(1, -3005);
    EXPECT_THROW(proxy.uploadFiles({{"u1", "/a"}, {"u2", "/b"}}, failures), FccException);
    EXPECT_EQ(transferCalls(), (Calls{"FCC_RegisterTickets(u1,u2)", "FCC_GetLastError"}));

    // A failed unregistration after a good transfer throws its status; the
    // results are there.
    library->reset();
    library->setResult("FCC_UnRegisterTickets", -3005);
    library->setResult("FCC_GetLastError", -2999);
    try {
        proxy.downloadFiles({"t1"}, files, failures);
        ADD_FAILURE() << "no exception";
    } catch (const FccException& e) {
        EXPECT_EQ(e.failCode(), -3005);
        EXPECT_EQ(e.msg(), errorText("Failed to get error from Fcc client"));
    }
    EXPECT_EQ(files, (std::vector<std::string>{"/cache/h:t1"}));
    EXPECT_EQ(count("FCC_UnRegisterTickets(h:t1)"), 1);
}

// A file name is one file in the download folder, and an upload path names
// a file: anything else is refused before a ticket is registered.
TEST_F(FccProxyTest, NamesAndPathsThatNameNoFileAreRefusedBeforeAnything) {
    FccProxy proxy;
    library->reset();
    std::map<std::string, int> failures;
    const std::string badNames[] = {"",
                                    ".",
                                    "..",
                                    "a/b",
                                    "../../etc/cron.d/x",
                                    "..\\x",
                                    "a\\..",
                                    "/abs",
                                    std::string("short\0.exe", 10)};
    for (const std::string& name : badNames) {
        try {
            proxy.downloadFilesToLocation({{"t1", "good"}, {"t2", name}}, "/tmp/out", failures);
            ADD_FAILURE() << "no exception for " << name;
        } catch (const FccException& e) {
            EXPECT_EQ(e.failCode(), -3002) << name;
        }
    }
    EXPECT_THROW(
        proxy.downloadFilesToLocation({{"t1", "good"}}, std::string("/tmp\0/x", 8), failures),
        FccException);
    for (const std::string& path : {std::string(), std::string("/data/a\0.exe", 13)}) {
        try {
            proxy.uploadFiles({{"u1", path}}, failures);
            ADD_FAILURE() << "no exception for " << path;
        } catch (const FccException& e) {
            EXPECT_EQ(e.failCode(), -3002);
        }
    }
    EXPECT_TRUE(library->calls().empty());
}

TEST_F(FccProxyTest, EmptyInputsReturnAtOnce) {
    FccProxy proxy;
    library->reset();
    std::vector<std::string> files = {"stale"};
    std::map<std::string, int> failures = {{"stale", 1}};
    proxy.downloadFiles({}, files, failures);
    EXPECT_TRUE(files.empty());
    EXPECT_TRUE(failures.empty());
    failures = {{"stale", 1}};
    proxy.downloadFilesToLocation({}, "/tmp", failures);
    EXPECT_TRUE(failures.empty());
    failures = {{"stale", 1}};
    proxy.uploadFiles({}, failures);
    EXPECT_TRUE(failures.empty());
    EXPECT_TRUE(library->calls().empty());
}

}  // namespace
