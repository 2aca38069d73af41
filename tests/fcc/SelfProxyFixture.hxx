#pragma once

// The library's own file-cache interface against a fake file-cache server:
// what the cases of its test program share. Each case runs in a process of
// its own with a private pipe folder.

#include <fcc/internal/FccSelfProxy.hxx>
#include <fcc/runtime/internal/FccTiming.hxx>
#include <tests/fcc/ShortWaits.hxx>
#include <tests/fcc/ThreadedCalls.hxx>
#include <tests/support/FakeFccServer.hxx>
#include <tests/support/FreshFolder.hxx>
#include <tests/support/OutputCapture.hxx>
#include <tests/support/TaggedAllocations.hxx>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <cstdint>
#include <memory>
#include <string>

namespace Quillomark::Testing {

// The names the cases of the program use.
namespace Own = Fcc::SelfProxy;
namespace Tagged = TaggedAllocations;
using Fault = FakeFccServer::Fault;

// A well-formed ticket; its first 64 characters (its handle) and its GUID
// differ by number.
inline std::string makeTicket(int number) {
    std::string ticket(300, 't');
    const std::string name = "ticket-" + std::to_string(number) + "-";
    ticket.replace(0, name.size(), name);
    ticket.replace(64, 4, "v123");
    ticket.replace(70, name.size(), name);
    return ticket;
}

// The calling thread's last error, as the fake server translates it.
inline std::string lastError() {
    const char* text = nullptr;
    EXPECT_EQ(Fcc::SelfProxy::FCC_GetLastError(&text), 0);
    return text ? text : "";
}

class SelfProxyServer : public ::testing::Test {
protected:
    void SetUp() override {
        root = freshFolder("selfproxy-");
        setenv("FMS_IPC_DIR", (root + "/ipc").c_str(), 1);
        setenv("FMS_HOME", root.c_str(), 1);
        const std::string script = root + "/startfcc.bat";
        std::ofstream(script) << "#!/bin/sh\nexit 3\n";
        chmod(script.c_str(), 0755);
        // The interface is set up with the waits it has in use, so that a
        // busy machine cannot fail a set-up that the case does not test;
        // a case shortens them (shortWaits) where it means to see one run out.
        Fcc::Testing::scaleFccTiming(1);
        server = std::make_unique<FakeFccServer>();
    }

    void TearDown() override {
        while (Fcc::SelfProxy::FCC_Term() == 0) {
        }
    }

    // Initialises the interface (with the allocation pair given), keeping
    // its banner off the test's output.
    void init(FccAllocFunction alloc = nullptr, FccReleaseFunction release = nullptr) {
        OutputCapture out(1);
        ASSERT_EQ(Fcc::SelfProxy::FCC_Init(alloc, release), 0);
        out.finish();
    }

    // Opens the file of a handle on a thread of its own while the server
    // holds its reply to message, and terminates meanwhile: the open's
    // result once the reply went out.
    int openOvertakenByTermination(char* handle, std::uint16_t message, FccFile** file) {
        server->injectFault(message, FakeFccServer::Fault::Hold);
        auto open = onThread([handle, file] { return Fcc::SelfProxy::FCC_OpenFile(handle, file); });
        EXPECT_TRUE(server->waitUntilHolding(1, 10000));
        EXPECT_EQ(Fcc::SelfProxy::FCC_Term(), 0);
        server->releaseHeld();
        return within(open, 30, "open overtaken by termination");
    }

    char* registered(const std::string& ticket) {
        char* handle = nullptr;
        EXPECT_EQ(Fcc::SelfProxy::FCC_RegisterTicket(ticket.c_str(), &handle), 0);
        return handle;
    }

    std::string root;
    std::unique_ptr<FakeFccServer> server;
};

}  // namespace Quillomark::Testing
