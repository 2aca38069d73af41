// IiopRestSender::send against a plain invokeMethod call of the same bytes
// to the same gateway server, in the same run; prints the ratio of the two
// (the sender's own cost on top of the ORB call) for each request size.

#include <soa/client/Connection.hxx>
#include <soa/client/IiopRestSender.hxx>
#include <soa/client/SessionManager.hxx>
#include <soa/client/internal/GatewayOrb.hxx>

#include "tests/support/GatewayServerProcess.hxx"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

using Quillomark::Soa::Client::Connection;
using Quillomark::Soa::Client::GatewayOrb;
using Quillomark::Soa::Client::IiopRestSender;
using Quillomark::Soa::Client::SessionManager;

Quillomark::Testing::GatewayServerProcess server;

// The server echoes the request, so the reply is as big as the request.
const char SERVICE[] = "Bench-2006-03-Echo";
const char OPERATION[] = "echo";

std::string requestOf(const benchmark::State& state) {
    return std::string(static_cast<std::size_t>(state.range(0)), 'x');
}

void BM_PlainInvoke(benchmark::State& state) {
    GatewayOrb orb;
    CORBA::Object_var object = orb->string_to_object(("corbaloc:" + server.hostPath()).c_str());
    QmCorbaServiceGateway_var gateway = QmCorbaServiceGateway::_narrow(object.in());
    std::string request = requestOf(state);
    const auto length = static_cast<CORBA::ULong>(request.size());
    for (auto _ : state) {
        QmByteSeq_t bytes(length, length, reinterpret_cast<CORBA::Octet*>(request.data()), false);
        QmByteSeq_t_var reply = gateway->invokeMethod(SERVICE, OPERATION, bytes);
        benchmark::DoNotOptimize(reply->length());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_SenderSend(benchmark::State& state) {
    Connection connection(server.hostPath(), nullptr, Connection::IIOP, Connection::REST, false);
    IiopRestSender sender(SessionManager::getSessionManager(&connection));
    const std::string request = requestOf(state);
    std::string response;
    sender.send(SERVICE, OPERATION, request, response);  // connects
    for (auto _ : state) {
        response.clear();
        sender.send(SERVICE, OPERATION, request, response);
        benchmark::DoNotOptimize(response.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

// Keeps the times of every run while the console shows them.
class TimeRecorder : public benchmark::ConsoleReporter {
public:
    std::map<std::string, std::vector<double>> times;  // "BM_SenderSend/1024" -> real times
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            times[run.run_name.function_name].push_back(run.GetAdjustedRealTime());
        }
        ConsoleReporter::ReportRuns(runs);
    }
    // The best and the median run of a benchmark; 0 when it did not run.
    double best(const std::string& name) { return sorted(name).empty() ? 0 : times[name].front(); }
    double median(const std::string& name) {
        const std::vector<double>& values = sorted(name);
        return values.empty() ? 0 : values[values.size() / 2];
    }

private:
    const std::vector<double>& sorted(const std::string& name) {
        std::vector<double>& values = times[name];
        std::sort(values.begin(), values.end());
        return values;
    }
};

const int ROUNDS = 9;
const int SIZES[] = {1024, 1024 * 1024};

}  // namespace

int main(int argc, char** argv) {
    // The two kinds run in turns, so that a change in the machine's load
    // falls on both alike. The best runs are the least disturbed by other
    // work on the machine; the medians are printed beside them.
    for (int round = 0; round < ROUNDS; ++round) {
        for (int size : SIZES) {
            const std::string suffix = "/" + std::to_string(size);
            benchmark::RegisterBenchmark(("BM_PlainInvoke" + suffix).c_str(), BM_PlainInvoke)
                ->Arg(size);
            benchmark::RegisterBenchmark(("BM_SenderSend" + suffix).c_str(), BM_SenderSend)
                ->Arg(size);
        }
    }
    benchmark::Initialize(&argc, argv);
    server.start();
    TimeRecorder reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    for (int size : SIZES) {
        const std::string suffix = "/" + std::to_string(size);
        const std::string plain = "BM_PlainInvoke" + suffix;
        const std::string sender = "BM_SenderSend" + suffix;
        if (reporter.best(plain) > 0 && reporter.median(plain) > 0) {
            std::printf("send / plain invokeMethod, %7d-byte request: best %.3f, median %.3f "
                        "(aim: within 1.10)\n",
                        size, reporter.best(sender) / reporter.best(plain),
                        reporter.median(sender) / reporter.median(plain));
        }
    }
    server.stop();
    benchmark::Shutdown();
    return 0;
}
