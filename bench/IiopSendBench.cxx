// IiopRestSender::send against a plain invokeMethod call of the same bytes
// to the same gateway server, in turns in the same run: the ratio of the two
// is the sender's own cost on top of the ORB call, for each request size.

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

void plainInvoke(benchmark::State& state, int size) {
    GatewayOrb orb;
    CORBA::Object_var object = orb->string_to_object(("corbaloc:" + server.hostPath()).c_str());
    QmCorbaServiceGateway_var gateway = QmCorbaServiceGateway::_narrow(object.in());
    std::string request = requestOf(size);
    const auto length = static_cast<CORBA::ULong>(request.size());
    for (auto _ : state) {
        QmByteSeq_t bytes(length, length, reinterpret_cast<CORBA::Octet*>(request.data()), false);
        QmByteSeq_t_var reply = gateway->invokeMethod(SERVICE, OPERATION, bytes);
        benchmark::DoNotOptimize(reply->length());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
}

void senderSend(benchmark::State& state, int size) {
    Connection connection(server.hostPath(), nullptr, Connection::IIOP, Connection::REST, false);
    IiopRestSender sender(SessionManager::getSessionManager(&connection));
    const std::string request = requestOf(size);
    std::string response;
    sender.send(SERVICE, OPERATION, request, response);  // connects
    for (auto _ : state) {
        response.clear();
        sender.send(SERVICE, OPERATION, request, response);
        benchmark::DoNotOptimize(response.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
}

const std::pair<int, const char*> SIZES[] = {{1024, "1 KB"}, {1024 * 1024, "1 MB"}};

void cases(Rounds& rounds) {
    server.start();
    for (const auto& [size, label] : SIZES) {
        const int bytes = size;
        rounds.add("plain invokeMethod/" + std::to_string(size),
                   [bytes](benchmark::State& state) { plainInvoke(state, bytes); });
        rounds.add("IIOP send/" + std::to_string(size),
                   [bytes](benchmark::State& state) { senderSend(state, bytes); });
    }
}

void figures(const RoundRecorder& runs, FigureTable& table) {
    for (const auto& [size, label] : SIZES) {
        const std::string plain = "plain invokeMethod/" + std::to_string(size);
        const std::string sender = "IIOP send/" + std::to_string(size);
        if (!runs.has(plain) || !runs.has(sender)) continue;
        table.add(
            Figure::atMost(std::string("IIOP send / plain invokeMethod, ") + label + " request",
                           runs.medianRatio(sender, plain), "x", 1.10));
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int status = run(argc, argv, Program{cases, figures, 9});
    server.stop();
    return status;
}
