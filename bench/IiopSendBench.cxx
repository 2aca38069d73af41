// IiopRestSender::send against a plain invokeMethod call of the same bytes
// to the same gateway server, side by side: the ratio of the two is the
// sender's own cost on top of the ORB call, for each request size.

#include "bench/support/Rounds.hxx"

#include <soa/client/Connection.hxx>
#include <soa/client/IiopRestSender.hxx>
#include <soa/client/SessionManager.hxx>
#include <soa/client/internal/GatewayOrb.hxx>

#include "tests/support/GatewayServerProcess.hxx"

#include <string>

namespace {

using namespace Quillomark::Bench;
using Quillomark::Soa::Client::Connection;
using Quillomark::Soa::Client::GatewayOrb;
using Quillomark::Soa::Client::IiopRestSender;
using Quillomark::Soa::Client::SessionManager;

Quillomark::Testing::GatewayServerProcess server;

// The server echoes the request, so the reply is as big as the request.
const char SERVICE[] = "Bench-2006-03-Echo";
const char OPERATION[] = "echo";

std::string requestOf(int size) { return std::string(static_cast<std::size_t>(size), 'x'); }

// Each call of the sender side by side with a plain invokeMethod call of the
// same bytes on a reference of its own: loopback calls of a megabyte here
// take a few times longer in some stretches of time than in others, and
// both sides must see the same stretch.
void sendAgainstPlainInvoke(benchmark::State& state, int size) {
    GatewayOrb orb;
    CORBA::Object_var object = orb->string_to_object(("corbaloc:" + server.hostPath()).c_str());
    QmCorbaServiceGateway_var gateway = QmCorbaServiceGateway::_narrow(object.in());
    Connection connection(server.hostPath(), nullptr, Connection::IIOP, Connection::REST, false);
    IiopRestSender sender(SessionManager::getSessionManager(&connection));
    std::string request = requestOf(size);
    const auto length = static_cast<CORBA::ULong>(request.size());
    std::string response;
    sender.send(SERVICE, OPERATION, request, response);  // connects
    againstBaseline(
        state,
        [&] {
            QmByteSeq_t bytes(length, length, reinterpret_cast<CORBA::Octet*>(request.data()),
                              false);
            QmByteSeq_t_var reply = gateway->invokeMethod(SERVICE, OPERATION, bytes);
            benchmark::DoNotOptimize(reply->length());
        },
        [&] {
            response.clear();
            sender.send(SERVICE, OPERATION, request, response);
            benchmark::DoNotOptimize(response.data());
        });
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
}

const std::pair<int, const char*> SIZES[] = {{1024, "1 KB"}, {1024 * 1024, "1 MB"}};

std::string caseName(int size) {
    return "IIOP send against plain invokeMethod/" + std::to_string(size);
}

void cases(Rounds& rounds) {
    server.start();
    for (const auto& [size, label] : SIZES) {
        const int bytes = size;
        rounds.add(
            caseName(size),
            [bytes](benchmark::State& state) { sendAgainstPlainInvoke(state, bytes); },
            Rounds::Timing::Manual);
    }
}

void figures(const RoundRecorder& runs, FigureTable& table) {
    for (const auto& [size, label] : SIZES) {
        if (!runs.has(caseName(size))) continue;
        table.add(
            Figure::atMost(std::string("IIOP send / plain invokeMethod, ") + label + " request",
                           runs.medianCounter(caseName(size), "ratio"), "x", 1.10));
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int status = run(argc, argv, Program{cases, figures, 9});
    server.stop();
    return status;
}
