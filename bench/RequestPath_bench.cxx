// The request path against a loopback HTTP server: `invoke` (encode, send,
// parse, map, record) against a bare libcurl POST of the same bytes to the
// same server, measured in the same run. The ratio invoke / bare is the
// runtime's overhead on one round trip.
#include <soa/client/Connection.hxx>
#include <soa/client/RestSender.hxx>
#include <soa/client/SessionManager.hxx>
#include <soa/common/SAXToNodeParser.hxx>

#include "tests/support/LoopbackHttpServer.hxx"

#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>

namespace {

using Quillomark::Soa::Client::Connection;
using Quillomark::Soa::Client::SessionManager;
using Quillomark::Testing::HttpReply;
using Quillomark::Testing::LoopbackHttpServer;

// An XML document of about `size` bytes: a root with many small elements.
std::string document(const char* root, std::size_t size) {
    std::string text = std::string("<") + root + ">";
    while (text.size() + 64 < size) text += "<item name=\"n\" value=\"0123456789abcdef\"/>";
    text.append(size - text.size() - std::string(root).size() - 3, ' ');
    return text + "</" + root + ">";
}

LoopbackHttpServer& server() {
    static LoopbackHttpServer instance;
    return instance;
}

void answerWith(std::size_t size) {
    server().script().setFallback(HttpReply::ok(document("reply", size)));
}

void invoke(benchmark::State& state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    answerWith(size);
    const std::string request = document("request", size);
    Connection connection(server().url(), nullptr, Connection::HTTP, Connection::REST, true);
    auto* sender = SessionManager::getSessionManager(&connection)->getRestSender();
    Quillomark::Soa::Common::Xml::SAXToNodeParser parser;
    for (auto _ : state) {
        sender->invoke("Svc", "op", request, parser);
        benchmark::DoNotOptimize(parser.getRoot());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * 2 * size));
}

std::size_t collect(char* data, std::size_t size, std::size_t count, void* target) {
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

void barePost(benchmark::State& state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    answerWith(size);
    const std::string request = document("request", size);
    const std::string url = server().url() + "/RestServices/Svc/op";
    std::unique_ptr<CURL, void (*)(CURL*)> curl(curl_easy_init(), curl_easy_cleanup);
    curl_slist* headers = curl_slist_append(nullptr, "Expect:");
    std::string reply;
    curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_POST, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, request.data());
    curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(request.size()));
    curl_easy_setopt(curl.get(), CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, &collect);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &reply);
    for (auto _ : state) {
        reply.clear();
        curl_easy_perform(curl.get());
        benchmark::DoNotOptimize(reply.data());
    }
    curl_slist_free_all(headers);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * 2 * size));
}

BENCHMARK(barePost)->Arg(1024)->Arg(1024 * 1024)->UseRealTime();
BENCHMARK(invoke)->Arg(1024)->Arg(1024 * 1024)->UseRealTime();

// Prints as usual and keeps each benchmark's time per iteration.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
                times[run.benchmark_name()] = run.GetAdjustedRealTime();
            }
        }
    }
    std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    for (const char* size : {"1024", "1048576"}) {
        const auto runtime = reporter.times.find(std::string("invoke/") + size + "/real_time");
        const auto bare = reporter.times.find(std::string("barePost/") + size + "/real_time");
        if (runtime != reporter.times.end() && bare != reporter.times.end()) {
            std::printf("invoke / bare POST, %s bytes each way: %.3f\n", size,
                        runtime->second / bare->second);
        }
    }
    benchmark::Shutdown();
    return 0;
}
