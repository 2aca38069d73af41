#pragma once

// A stand-in for the local file-cache server: it listens on a master pipe,
// hands each client a secondary pipe of its own and answers the messages of
// the file-cache protocol from a catalogue of files held in memory. Tests
// script faults into its next replies and read back what it received.

#include <fcc/fastcache/internal/FmscTypes.hxx>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace Quillomark::Testing {

class FakeFccServer {
public:
    // Listens on the pipe of that name (in the current IPC folder), knowing
    // the files given (by ticket) from its first client on.
    explicit FakeFccServer(const std::string& masterPipeName = "\\\\.\\pipe\\FMSClientPipe",
                           const std::map<std::string, std::string>& knownFiles = {});
    ~FakeFccServer();
    FakeFccServer(const FakeFccServer&) = delete;
    FakeFccServer& operator=(const FakeFccServer&) = delete;

    // The fast cache that the server describes in its cache information
    // (whose folder it sends with "\\" separators), as a test playing the
    // server's side of the fast cache opens it: created afresh, shared. Its
    // folder is "fms-cache" in the folder that the process was in when this
    // was first asked, named by its absolute path.
    static Quillomark::Fcc::FMSC_OPEN_PARAMS describedCache();
    // From now on this server names that folder instead (a relative one, say).
    void describeCacheFolder(const std::string& folder);

    // A file the server knows by ticket; unknownSize makes its open report
    // the size as unknown.
    void addFile(const std::string& ticket, const std::string& content, bool unknownSize = false);

    enum class Fault {
        WrongSequence,     // the reply carries another sequence number
        WrongMessageType,  // ... another message type
        WrongTypeId,       // ... a reply type the exchange does not expect
        WrongDirection,    // ... a direction byte other than "reply"
        ErrorReply,        // an error reply with the scripted code and text
        DataOffset,        // a data reply for another offset
        DataLength,        // a data reply whose inner length is off by one
        DataTooLong,       // a data reply with more bytes than asked for
        HugeLength,        // a header announcing more than a reply can hold
        ShortString,       // a string reply whose length runs past its end
        Disconnect,        // the connection is dropped instead of a reply
        RefuseVersion,     // the version check is refused (code 100)
        Silent,            // no reply at all; the connection stays open
        Hold,              // the reply waits until the test releases it
        NotOpenHandle,     // an open reply carrying the "not open" handle 65535
        ProgressInstead,   // a progress report in place of the reply
        EndOfDataInstead   // an end-of-data reply in place of the reply
    };
    // The next reply to a request with that message number gets the fault.
    void injectFault(std::uint16_t message, Fault fault);
    void setErrorReply(std::int32_t code, const std::string& text);

    // Data replies carry at most this many bytes each.
    void setChunkSize(std::size_t bytes);
    // File, location and upload exchanges report progress this many times
    // before their result, each time waiting for the client's status.
    void setProgressReports(int reports);
    // Whether a status that stops the transfer (a cancel, a failure) is
    // ignored: the transfer goes on to its result as after a 0.
    void setIgnoreStop(bool ignore);
    // Each of the cache information's numbers in turn may be made invalid
    // (0 to 6 in the order file pages, segments, hash block pages, MB
    // extents, extents, folder length, map-name length; -1 for none).
    void setInvalidCacheInfoField(int field);
    // Handles numbered per connection (each starting at 1) and known only
    // on the connection that opened them, as a real server keeps them.
    void setHandlesPerConnection(bool perConnection);
    // Whether requests and rollbacks are kept for requests(), rolledBack()
    // and the like (they are by default); a long run turns it off, so that
    // what it keeps does not grow with every request.
    void setKeepRequests(bool keep);
    // How long the server waits for a client that got a secondary pipe's
    // name to connect to it (5 s by default), serving no other client.
    void setSecondaryConnectWait(int ms) { secondaryConnectWait = ms; }

    // Held replies: waits until that many requests are held, and lets all
    // held ones go on.
    bool waitUntilHolding(int requests, int ms);
    void releaseHeld();

    struct Request {
        std::vector<std::vector<unsigned char>> records;  // as they arrived
        std::uint16_t sequence = 0;
        std::uint32_t messageType = 0;
        std::vector<unsigned char> payload;
        int connection = 0;  // the order in which its connection was accepted
    };
    std::vector<Request> requests() const;
    // Requests with that message number, in order.
    std::vector<Request> requestsOf(std::uint16_t message) const;
    int connectionsAccepted() const { return accepted; }
    int connectionsClosed() const { return closed; }
    // Rollback requests by volume ID.
    std::vector<std::string> rolledBack() const;
    // Uploads made, each under a volume ID of its own: "VOL1", "VOL2" and so
    // on.
    int uploadsMade() const;
    // Requests that named a handle not open on their connection (counted
    // with handles per connection only).
    int strayHandles() const;

private:
    struct Client;
    void acceptLoop();
    void serve(int fd, int connection);
    // Joins the threads of connections that have ended.
    void joinEndedServers();
    bool handle(int fd, const Request& request);
    bool takeFault(std::uint16_t message, Fault& fault);
    void keep(const Request& request);

    int masterFd = -1;
    std::string masterPath;
    std::string masterName;
    std::string cacheFolder;  // under mutex; empty for the described cache's
    std::atomic<bool> stopping{false};
    std::atomic<int> accepted{0};
    std::atomic<int> closed{0};
    std::atomic<int> secondaryConnectWait{5000};
    std::thread acceptor;

    mutable std::mutex mutex;
    // The thread and the socket of each connection still served, by its
    // number; a connection that ends closes its socket and leaves its
    // thread to be joined.
    std::map<int, std::thread> servers;
    std::map<int, int> clientFds;
    std::vector<std::thread> endedServers;
    std::map<std::string, std::pair<std::string, bool>> files;  // ticket -> content, unknown size
    // Opened tickets by connection (0 for all unless per connection) and
    // handle, and the next handle of each.
    std::map<std::pair<int, std::uint16_t>, std::vector<std::string>> openedTickets;
    std::map<int, std::uint16_t> nextHandle;
    bool handlesPerConnection = false;
    bool keepRequests = true;
    int stray = 0;
    std::condition_variable heldChanged;
    int holding = 0;
    bool heldReleased = false;
    std::multimap<std::uint16_t, Fault> faults;
    std::int32_t errorCode = -3005;
    std::string errorText = "no such file";
    std::size_t chunkSize = 16384;
    int progressReports = 0;
    bool ignoreStop = false;
    int invalidCacheInfoField = -1;
    std::vector<Request> received;
    std::vector<std::string> rollbacks;
    int uploads = 0;
    int nextSecondary = 0;
};

}  // namespace Quillomark::Testing
