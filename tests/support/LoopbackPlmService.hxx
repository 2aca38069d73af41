#pragma once

#include "tests/support/LoopbackHttpServer.hxx"

#include <soa/client/Connection.hxx>
#include <soa/client/ServiceData.hxx>

#include <chrono>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace Quillomark::Testing {

// A small PLM service of our own on the loopback HTTP server, speaking the
// XML form of the wire types. It logs users in (one user, "designer" with
// the password "secret") and keeps their sessions in a cookie, describes the
// types of its objects, answers a folder query with service data (with a
// partial error for an item the user may not read), refuses an unknown
// folder with a service fault, and can lose every session as a restarted
// server would. The example application runs against it, and so do the
// end-to-end tests. It serves from the server's threads while it lives.
// A client that speaks no HTTP (an IIOP sender, say) gets "400 Bad
// Request" and is hung up on, and a connection that stays silent for
// IDLE_LIMIT is closed, so that no peer waits on it for ever.
class LoopbackPlmService {
public:
    static constexpr const char* USER = "designer";
    static constexpr const char* PASSWORD = "secret";
    // The folder query: a request document <findFolderInput folderName=".."/>,
    // answered with a <serviceData> whose plain object is the folder.
    static constexpr const char* QUERY_SERVICE = "Query-2007-06-Finder";
    static constexpr const char* QUERY_OPERATION = "findFolder";
    static constexpr const char* HOME_FOLDER = "Home";
    static constexpr std::chrono::seconds IDLE_LIMIT{5};

    // Serves on the given port of 127.0.0.1; 0 takes an ephemeral one.
    explicit LoopbackPlmService(int port = 0);
    LoopbackPlmService(const LoopbackPlmService&) = delete;
    LoopbackPlmService& operator=(const LoopbackPlmService&) = delete;

    // The host path a Connection is made with.
    std::string hostPath() const;
    // Forgets every session: the next request of a client that logged in
    // is refused with InvalidUserException.
    void endSessions();
    // Called with one line for each request the service answers.
    void setLog(std::function<void(const std::string& line)> log);
    // Replaces IDLE_LIMIT.
    void setIdleLimit(std::chrono::milliseconds limit) { server.setIdleLimit(limit); }
    // "Service/operation" of every request so far, in order.
    std::vector<std::string> requests() const;

private:
    HttpReply answer(const HttpRequest& request);
    HttpReply login(const std::string& body);
    HttpReply typeDescriptions(const std::string& body);
    HttpReply findFolder(const std::string& body);
    bool hasSession(const HttpRequest& request);
    void log(const std::string& line);

    mutable std::mutex mutex;
    std::set<std::string> sessions;
    int lastSession = 0;
    std::function<void(const std::string&)> logLine;
    LoopbackHttpServer server;  // last: it stops before the rest goes
};

// What a stub does for the service's folder query, as the example does:
// writes the request document, sends it through the connection's sender and
// loads the reply's service data into the connection's model manager.
Quillomark::Soa::Client::ServiceData findFolder(Quillomark::Soa::Client::Connection& connection,
                                                const std::string& name);

}  // namespace Quillomark::Testing
