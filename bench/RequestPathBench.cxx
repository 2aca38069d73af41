// The request path against a loopback HTTP server, each run timed against a
// bare libcurl POST of the same bytes to the same server made right before
// it, so that both see the same load of the machine. `send` is the sender's
// transport alone; `invoke` adds encoding, parsing the reply, fault mapping
// and session recording. The counter `ratio` is the runtime's time over the
// bare POST's. Since no client can skip reading the reply, `invoke` is also
// timed against what it must do at the least: the bare POST followed by a
// bare SAX2 parse of the reply.
#include "bench/support/Baselines.hxx"
#include "bench/support/Rounds.hxx"

#include <soa/client/Connection.hxx>
#include <soa/client/RestSender.hxx>
#include <soa/client/SessionManager.hxx>
#include <soa/common/SAXToNodeParser.hxx>

#include "tests/support/LoopbackHttpServer.hxx"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace Quillomark::Bench;
using Quillomark::Soa::Client::Connection;
using Quillomark::Soa::Client::RestSender;
using Quillomark::Soa::Client::SessionManager;
using Quillomark::Testing::HttpReply;
using Quillomark::Testing::LoopbackHttpServer;

// An XML document of `size` bytes: a root with many small elements.
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

std::size_t collect(char* data, std::size_t size, std::size_t count, void* target) {
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

// A bare POST on a handle of its own, set up once.
class BarePost {
public:
    explicit BarePost(const std::string& request)
        : curl(curl_easy_init(), curl_easy_cleanup),
          headers(curl_slist_append(nullptr, "Expect:"), curl_slist_free_all),
          url(server().url() + "/RestServices/Svc/op") {
        curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl.get(), CURLOPT_POST, 1L);
        curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, request.data());
        curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(request.size()));
        curl_easy_setopt(curl.get(), CURLOPT_HTTPHEADER, headers.get());
        curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, &collect);
        curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &reply);
    }
    void run() {
        reply.clear();
        curl_easy_perform(curl.get());
        benchmark::DoNotOptimize(reply.data());
    }
    const std::string& lastReply() const { return reply; }

private:
    std::unique_ptr<CURL, void (*)(CURL*)> curl;
    std::unique_ptr<curl_slist, void (*)(curl_slist*)> headers;
    std::string url;
    std::string reply;
};

// Times `runtime` against a bare POST of the same request, run by run; with
// `parseReply`, the bare POST is followed by a bare SAX2 parse of its reply.
template <class Runtime>
void againstBarePost(benchmark::State& state, std::size_t size, Runtime runtime,
                     bool parseReply = false) {
    server().script().setFallback(HttpReply::ok(document("reply", size)));
    const std::string request = document("request", size);
    Connection connection(server().url(), nullptr, Connection::HTTP, Connection::REST, true);
    RestSender* sender = SessionManager::getSessionManager(&connection)->getRestSender();
    BarePost bare(request);
    BareSaxParser bareParser;
    againstBaseline(
        state,
        [&] {
            bare.run();
            if (parseReply) bareParser.parse(bare.lastReply());
        },
        [&] { runtime(*sender, request); });
}

void send(benchmark::State& state, std::size_t size) {
    std::string reply;
    againstBarePost(state, size, [&](RestSender& sender, const std::string& request) {
        reply.clear();
        sender.send("Svc", "op", request, reply);
        benchmark::DoNotOptimize(reply.data());
    });
}

void invoke(benchmark::State& state, std::size_t size, bool againstParse) {
    Quillomark::Soa::Common::Xml::SAXToNodeParser parser;
    againstBarePost(
        state, size,
        [&](RestSender& sender, const std::string& request) {
            sender.invoke("Svc", "op", request, parser);
            benchmark::DoNotOptimize(parser.getRoot());
        },
        againstParse);
}

// A request on a connection of its own, whose sender and handle are made
// for it and ended after it, against a bare POST on a handle made for it.
void newConnection(benchmark::State& state) {
    server().script().setFallback(HttpReply::ok(document("reply", 1024)));
    const std::string request = document("request", 1024);
    std::string reply;
    againstBaseline(
        state, [&] { BarePost(request).run(); },
        [&] {
            Connection connection(server().url(), nullptr, Connection::HTTP, Connection::REST,
                                  true);
            reply.clear();
            SessionManager::getSessionManager(&connection)
                ->getRestSender()
                ->send("Svc", "op", request, reply);
            benchmark::DoNotOptimize(reply.data());
        });
}

// Forks of a process whose threads set up connections, each child ending at
// once: the fork's time in the parent, while four threads make connections'
// handles through the library (whose set-up a fork waits for), against
// forks while the same threads make the same libcurl handles without it.
void forkWhileSettingUp(benchmark::State& state) {
    // The requests of the other cases, which the server records, would
    // make every fork copy their memory.
    server().script().clearCalls();
    enum Mode { BARE, LIBRARY, STOP };
    std::atomic<int> mode{BARE};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int now; (now = mode.load()) != STOP;) {
                if (now == LIBRARY) {
                    Connection connection(server().url(), nullptr, Connection::HTTP,
                                          Connection::REST, true);
                    SessionManager::getSessionManager(&connection)->getRestSender();
                } else {
                    CURL* handle = curl_easy_init();
                    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
                    curl_easy_perform(handle);
                    curl_easy_cleanup(handle);
                }
            }
        });
    }
    using Clock = std::chrono::steady_clock;
    const auto forkOnce = [](std::vector<double>& times) {
        const auto start = Clock::now();
        const pid_t child = fork();
        if (child == 0) _exit(0);
        times.push_back(std::chrono::duration<double>(Clock::now() - start).count());
        waitpid(child, nullptr, 0);
    };
    std::vector<double> bare, library;
    bool bareFirst = true;
    for (auto _ : state) {
        for (const int now : {bareFirst ? BARE : LIBRARY, bareFirst ? LIBRARY : BARE}) {
            mode = now;
            forkOnce(now == BARE ? bare : library);
        }
        bareFirst = !bareFirst;
        state.SetIterationTime(library.back());
    }
    mode = STOP;
    for (std::thread& thread : threads) thread.join();
    state.counters["ratio"] = median(library) / median(bare);
    state.counters["median us"] = median(library) * 1e6;
    state.counters["slowest ms"] = *std::max_element(library.begin(), library.end()) * 1e3;
    state.counters["bare slowest ms"] = *std::max_element(bare.begin(), bare.end()) * 1e3;
}

const std::pair<int, const char*> SIZES[] = {{1024, "1 KB"}, {1024 * 1024, "1 MB"}};

void cases(Rounds& rounds) {
    for (const auto& [size, label] : SIZES) {
        const auto bytes = static_cast<std::size_t>(size);
        rounds.add(
            "send/" + std::to_string(size),
            [bytes](benchmark::State& state) { send(state, bytes); }, Rounds::Timing::Manual);
        rounds.add(
            "invoke/" + std::to_string(size),
            [bytes](benchmark::State& state) { invoke(state, bytes, false); },
            Rounds::Timing::Manual);
        rounds.add(
            "invoke vs parse/" + std::to_string(size),
            [bytes](benchmark::State& state) { invoke(state, bytes, true); },
            Rounds::Timing::Manual);
    }
    rounds.add("new connection/1024", newConnection, Rounds::Timing::Manual);
    rounds.add("fork while setting up", forkWhileSettingUp, Rounds::Timing::Manual, 1.0);
}

// The runtime's work on a small request is held to a budget against what a
// client must do at the least; the transport alone, the bare POST alone and
// a large reply (whose parsing dominates) are shown.
void figures(const RoundRecorder& runs, FigureTable& table) {
    for (const auto& [size, label] : SIZES) {
        const std::string suffix = "/" + std::to_string(size);
        const std::string each = std::string(", ") + label + " each way";
        if (runs.has("send" + suffix)) {
            table.add(Figure::reference("HTTP send / bare libcurl POST" + each,
                                        runs.medianCounter("send" + suffix, "ratio"), "x"));
        }
        if (runs.has("invoke" + suffix)) {
            table.add(Figure::reference("HTTP invoke / bare libcurl POST" + each,
                                        runs.medianCounter("invoke" + suffix, "ratio"), "x"));
        }
        const std::string honest = "invoke vs parse" + suffix;
        if (runs.has(honest)) {
            const std::string name = "HTTP invoke / bare POST + bare SAX2 parse" + each;
            const double ratio = runs.medianCounter(honest, "ratio");
            table.add(size == 1024 ? Figure::atMost(name, ratio, "x", 1.10)
                                   : Figure::reference(name, ratio, "x"));
        }
    }
    if (runs.has("new connection/1024")) {
        table.add(Figure::reference(
            "HTTP send on a new connection / bare libcurl POST on a new handle, 1 KB each way",
            runs.medianCounter("new connection/1024", "ratio"), "x"));
    }
    const std::string forks = "fork while setting up";
    if (runs.has(forks)) {
        const std::string what = "fork while 4 threads set up connections";
        table.add(Figure::atMost(what + " / while they make bare libcurl handles, median",
                                 runs.medianCounter(forks, "ratio"), "x", 1.5));
        table.add(
            Figure::reference(what + ", median", runs.medianCounter(forks, "median us"), "us"));
        table.add(
            Figure::reference(what + ", slowest", runs.medianCounter(forks, "slowest ms"), "ms"));
        table.add(Figure::reference("fork while 4 threads make bare libcurl handles, slowest",
                                    runs.medianCounter(forks, "bare slowest ms"), "ms"));
    }
}

}  // namespace

int main(int argc, char** argv) { return run(argc, argv, Program{cases, figures}); }
