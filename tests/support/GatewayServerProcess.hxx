#pragma once

#include <omniORB4/CORBA.h>

#include <string>
#include <sys/types.h>

namespace Quillomark::Testing {

// Runs the gateway test server in a child process on 127.0.0.1 (it cannot
// share the test process's ORB). The port is chosen on the first start and
// kept across restarts, so references made before a restart stay valid.
class GatewayServerProcess {
public:
    // `nativeCharCodeSet`, when not empty, is the server ORB's native char
    // code set ("UTF-8"): the one in which the names of a call arrive.
    explicit GatewayServerProcess(std::string nativeCharCodeSet = "");
    ~GatewayServerProcess();
    GatewayServerProcess(const GatewayServerProcess&) = delete;
    GatewayServerProcess& operator=(const GatewayServerProcess&) = delete;

    // Starts the server and waits until it accepts calls.
    void start();
    // Kills the server and waits for it to end.
    void stop();

    int port() const { return serverPort; }
    // The host path of the object served under `key`, without "corbaloc:".
    std::string hostPath(const std::string& key = "QmGateway") const;

private:
    bool tryStart();

    std::string charCodeSet;
    int serverPort = 0;
    pid_t child = -1;
};

// An application's own call of `operation` through an ORB it started
// itself, without asking whether the object is a gateway: the reply, or
// what went wrong.
std::string callThrough(CORBA::ORB_ptr orb, const std::string& hostPath,
                        const std::string& operation = "op", const std::string& request = "");

}  // namespace Quillomark::Testing
