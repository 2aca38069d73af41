// The ticket registry and open-file records of the library's own file-cache
// interface, and its entries before initialisation. Nothing here talks to a
// file-cache server.

#include <fcc/internal/FccErrors.hxx>
#include <fcc/internal/FccSelfProxy.hxx>
#include <fcc/selfproxy/internal/FccFileRecord.hxx>
#include <fcc/selfproxy/internal/TicketRegistry.hxx>

#include <gtest/gtest.h>

#include <string>
#include <thread>

namespace {

namespace Fcc = Quillomark::Fcc;
namespace Own = Quillomark::Fcc::SelfProxy;

// A ticket of a kind, with a GUID at 70 made of one character; the key (the
// first 64 characters) differs per number.
std::string makeTicket(int number, char kind = 'v', char guid = 'g', std::size_t length = 300) {
    std::string ticket(length, 'x');
    const std::string prefix = "T" + std::to_string(number);
    ticket.replace(0, prefix.size(), prefix);
    ticket[64] = kind;
    ticket.replace(65, 3, "123");
    ticket.replace(70, 36, std::string(36, guid));
    return ticket;
}

struct RegistryTest : ::testing::Test {
    void TearDown() override { Fcc::releaseAllTickets(); }
};

TEST_F(RegistryTest, SameTicketSharesOneHandleUntilEveryRegistrationIsDropped) {
    const std::string ticket = makeTicket(1);
    char* first = nullptr;
    char* second = nullptr;
    ASSERT_EQ(Fcc::registerTicket(ticket.c_str(), &first), 0);
    ASSERT_EQ(Fcc::registerTicket(ticket.c_str(), &second), 0);
    EXPECT_EQ(first, second);
    EXPECT_EQ(std::string(first), ticket.substr(0, 64));
    EXPECT_EQ(Fcc::registeredTicketCount(), 1u);

    {
        Fcc::TicketReference found = Fcc::findTicket(first);
        ASSERT_TRUE(found);
        EXPECT_EQ(found.ticket(), ticket);
        EXPECT_EQ(std::string(found.guid()), std::string(32, 'g'));
    }
    // A handle is the registry's own string: a copy of its text names
    // nothing.
    const std::string copy = first;
    EXPECT_FALSE(Fcc::findTicket(copy.c_str()));
    EXPECT_EQ(Fcc::unregisterTicket(copy.c_str()), Fcc::ERR_FMSCP_BAD_TICKET);
    EXPECT_EQ(Fcc::unregisterTicket(first), 0);
    EXPECT_TRUE(Fcc::findTicket(first));
    EXPECT_EQ(Fcc::unregisterTicket(first), 0);
    EXPECT_EQ(Fcc::registeredTicketCount(), 0u);
}

TEST_F(RegistryTest, MalformedTicketsAndHandlesAreRefused) {
    char* handle = nullptr;
    EXPECT_EQ(Fcc::registerTicket(makeTicket(1, 'v', 'g', 224).c_str(), &handle), -3005);
    EXPECT_EQ(Fcc::registerTicket(makeTicket(1, 'x').c_str(), &handle), -3005);
    EXPECT_EQ(Fcc::registerTicket(makeTicket(1, 'v', 'g', 2001).c_str(), &handle), -3005);
    std::string noDigits = makeTicket(1);
    noDigits[66] = 'a';
    EXPECT_EQ(Fcc::registerTicket(noDigits.c_str(), &handle), -3005);
    EXPECT_EQ(handle, nullptr);

    ASSERT_EQ(Fcc::registerTicket(makeTicket(2, 'M', 'm', 225).c_str(), &handle), 0);
    EXPECT_EQ(std::string(Fcc::findTicket(handle).guid()), std::string(36, 'm'));
    // A handle is exactly 64 characters.
    const std::string longer = std::string(handle) + "x";
    EXPECT_FALSE(Fcc::findTicket(longer.c_str()));
    EXPECT_FALSE(Fcc::findTicket(std::string(handle, 63).c_str()));
    EXPECT_EQ(Fcc::unregisterTicket(longer.c_str()), -3005);
}

TEST_F(RegistryTest, KeysInOneBucketStayApart) {
    // Two keys with the same byte sum land in one bucket.
    std::string a = makeTicket(0);
    std::string b = a;
    a[10] = 'a';
    a[11] = 'd';
    b[10] = 'b';
    b[11] = 'c';
    char* ha = nullptr;
    char* hb = nullptr;
    ASSERT_EQ(Fcc::registerTicket(a.c_str(), &ha), 0);
    ASSERT_EQ(Fcc::registerTicket(b.c_str(), &hb), 0);
    EXPECT_NE(ha, hb);
    EXPECT_EQ(Fcc::unregisterTicket(ha), 0);
    EXPECT_EQ(Fcc::findTicket(hb).ticket(), b);
}

TEST_F(RegistryTest, OpenFileRecordsAreKnownByMembershipAndClaimedByOneThread) {
    char* handle = nullptr;
    ASSERT_EQ(Fcc::registerTicket(makeTicket(3).c_str(), &handle), 0);
    FccFile* file = nullptr;
    {
        Fcc::TicketReference ticket = Fcc::findTicket(handle);
        ASSERT_EQ(Fcc::newFileRecord(ticket, &file), 0);
    }
    EXPECT_TRUE(Fcc::releaseFile(file));
    EXPECT_TRUE(Fcc::isOpenFile(file));
    EXPECT_EQ(file->server.size, -1);
    EXPECT_EQ(file->server.serverHandle, Fcc::FCC_NOT_OPEN);
    EXPECT_EQ(file->server.handle, handle);

    ASSERT_EQ(Fcc::claimFile(file), 0);
    EXPECT_EQ(Fcc::claimFile(file), 0);  // the holder may claim again
    std::thread([file] { EXPECT_EQ(Fcc::claimFile(file), Fcc::ERR_FMSCP_FILE_BUSY); }).join();
    Fcc::releaseFile(file);
    std::thread([file] {
        EXPECT_EQ(Fcc::claimFile(file), 0);
        Fcc::releaseFile(file);
    }).join();

    // A stack object and a freed record are no open files; nothing behind
    // them is read.
    FccFile notARecord{};
    EXPECT_EQ(Fcc::claimFile(&notARecord), Fcc::ERR_FMSCP_BAD_FILE);
    Fcc::freeFileRecord(file);
    EXPECT_FALSE(Fcc::isOpenFile(file));
    EXPECT_EQ(Fcc::claimFile(file), Fcc::ERR_FMSCP_BAD_FILE);
    EXPECT_EQ(Fcc::claimFile(nullptr), Fcc::ERR_FMSCP_BAD_FILE);

    // A new record is claimed by its maker, and never at the address of
    // one freed before.
    FccFile* again = nullptr;
    {
        Fcc::TicketReference ticket = Fcc::findTicket(handle);
        ASSERT_EQ(Fcc::newFileRecord(ticket, &again), 0);
    }
    EXPECT_NE(again, file);
    EXPECT_EQ(again->owner, Own::ThreadId());
    std::thread([again] { EXPECT_EQ(Fcc::claimFile(again), Fcc::ERR_FMSCP_FILE_BUSY); }).join();
    // Termination frees what no entry uses.
    EXPECT_TRUE(Fcc::releaseFile(again));
    Fcc::releaseAllFileRecords([](FccFile*) { FAIL() << "not open on the server"; });
    EXPECT_FALSE(Fcc::isOpenFile(again));
}

TEST(SelfProxyUninitialised, EntriesAnswerNotInitialisedAndTheLastErrorSaysSo) {
    EXPECT_EQ(Own::FCC_Term(), -2999);
    EXPECT_EQ(Own::FCC_Echo(), -2999);
    EXPECT_EQ(Own::FmsClearCache(), -2999);
    char* handle = nullptr;
    EXPECT_EQ(Own::FCC_RegisterTicket(makeTicket(1).c_str(), &handle), -2999);
    int bytesRead = 5;
    char buffer[4];
    EXPECT_EQ(Own::FCC_ReadBytes(nullptr, "IMD", 4, &bytesRead, buffer), -2999);
    EXPECT_EQ(bytesRead, 0);
    const char* text = "preset";
    EXPECT_EQ(Own::FCC_GetLastError(&text), -2999);
    EXPECT_STREQ(text, "The FCC client proxy has not been initialized.");
    EXPECT_EQ(Own::FCC_GetLastError(nullptr), -3002);
    EXPECT_EQ(Own::FCC_IsFCCEnabled(nullptr), -3002);
}

}  // namespace
