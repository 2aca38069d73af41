// The file-cache client's exchanges against the same requests made by hand
// on a bare pipe to the same fake server, in turns in the same run: the
// ratio is the client's own cost (framing, checks, copies) on top of the
// pipe and the server.

#include "bench/support/Rounds.hxx"

#include <fcc/pipe/internal/FccProtocol.hxx>
#include <fcc/pipe/internal/FccTransport.hxx>
#include <fcc/runtime/internal/FccRuntime.hxx>
#include <platform/os/internal/MessagePipe.hxx>

#include "tests/support/FakeFccServer.hxx"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace Quillomark::Bench;
namespace Fcc = Quillomark::Fcc;
namespace Os = Quillomark::Platform::Os;

constexpr int STREAM_BYTES = 4 * 1024 * 1024;

std::unique_ptr<Quillomark::Testing::FakeFccServer> server;
std::string ticket;

// The requests made by hand go over the pipe of this thread's own
// connection record, past its version check, to the very server thread that
// serves the client's exchanges: with a pipe of its own the baseline would
// be served by another thread of the server, and the ratio would measure
// where the scheduler put the two threads (in one run 0.31, in another
// 2.95) rather than the client's cost.
struct BarePipe {
    BarePipe() : record(Fcc::FccGetThreadConnection()) {
        if (!record || !record->pipe.isOpen()) std::abort();
    }

    // The request takes the record's next sequence number, as the client's
    // own would.
    std::vector<unsigned char> request(std::uint16_t message, std::vector<unsigned char> payload) {
        const std::uint16_t sequence = record->sequence++;
        const std::uint32_t type = (std::uint32_t(message) << 16) | (0xFFFFu - message);
        const auto length = static_cast<std::uint32_t>(payload.size());
        std::vector<unsigned char> bytes = {1, 0, static_cast<unsigned char>(sequence >> 8),
                                            static_cast<unsigned char>(sequence)};
        for (int i = 3; i >= 0; --i) bytes.push_back(static_cast<unsigned char>(type >> (8 * i)));
        for (int i = 3; i >= 0; --i) bytes.push_back(static_cast<unsigned char>(length >> (8 * i)));
        bytes.insert(bytes.end(), payload.begin(), payload.end());
        return bytes;
    }

    // Sends the request and reads replies until one is not data.
    std::size_t exchange(const std::vector<unsigned char>& bytes, unsigned char* into = nullptr) {
        record->pipe.write(bytes.data(), bytes.size());
        std::size_t delivered = 0;
        for (;;) {
            const auto read = record->pipe.read(reply, sizeof reply);
            if (read.bytes < 12 || reply[1] != 0 || !into) return delivered;
            const std::size_t length = read.bytes - 24;
            std::memcpy(into + delivered, reply + 24, length);
            delivered += length;
            if (delivered >= STREAM_BYTES) return delivered;
        }
    }

    Fcc::FccConnectionRef record;
    unsigned char reply[Fcc::FCC_REPLY_BUFFER_SIZE];
};

void echo(benchmark::State& state) {
    BarePipe bare;
    const std::vector<unsigned char> request = bare.request(6, {});
    againstBaseline(
        state, [&] { bare.exchange(request); },
        [&] { benchmark::DoNotOptimize(Fcc::FccEchoExchange()); });
}

void stream(benchmark::State& state) {
    BarePipe bare;
    Fcc::FccServerFile file;
    file.ticket = ticket.c_str();
    Fcc::FccOpenExchange(file);
    std::vector<unsigned char> into(STREAM_BYTES);
    std::vector<unsigned char> get = {static_cast<unsigned char>(file.serverHandle >> 8),
                                      static_cast<unsigned char>(file.serverHandle)};
    get.resize(2 + 8);
    for (int i = 3; i >= 0; --i) get.push_back(static_cast<unsigned char>(STREAM_BYTES >> (8 * i)));
    get.insert(get.end(), {'I', 'M', 'D'});
    againstBaseline(
        state, [&] { bare.exchange(bare.request(3, get), into.data()); },
        [&] {
            benchmark::DoNotOptimize(
                Fcc::FccDataExchange(file, "IMD", into.data(), STREAM_BYTES, 0));
        });
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * STREAM_BYTES);
}

void cases(Rounds& rounds) {
    const std::string folder = "/tmp/fcc-bench-" + std::to_string(getpid());
    mkdir(folder.c_str(), 0700);
    setenv("FMS_IPC_DIR", folder.c_str(), 1);
    // The client needs a launch script to read its configuration; the
    // server is up already, so it is never run.
    setenv("FMS_HOME", folder.c_str(), 1);
    std::FILE* script = std::fopen((folder + "/startfcc.bat").c_str(), "w");
    if (script) std::fclose(script);
    if (Fcc::FccReadConfiguration() != 0) std::abort();
    server = std::make_unique<Quillomark::Testing::FakeFccServer>();
    if (Fcc::FccEchoExchange() != 0) std::abort();
    ticket = std::string(300, 'b');
    ticket[64] = 'v';
    server->addFile(ticket, std::string(STREAM_BYTES, 's'));
    rounds.add("echo exchange", echo, Rounds::Timing::Manual);
    rounds.add("data exchange 4 MB", stream, Rounds::Timing::Manual);
}

void figures(const RoundRecorder& runs, FigureTable& table) {
    if (runs.has("echo exchange")) {
        table.add(Figure::atMost("Echo exchange / bare request on a pipe",
                                 runs.medianCounter("echo exchange", "ratio"), "x", 1.30));
    }
    if (runs.has("data exchange 4 MB")) {
        table.add(Figure::atMost("Data exchange of 4 MB / bare reads of the same replies",
                                 runs.medianCounter("data exchange 4 MB", "ratio"), "x", 1.43));
    }
}

}  // namespace

int main(int argc, char** argv) { return run(argc, argv, Program{cases, figures}); }
