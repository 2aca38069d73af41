// Reads of an open file through the library's own file-cache interface,
// from the fake server of the tests running inside the benchmark. Large
// reads are held against the bare data exchanges that carry their bytes,
// so the ratio is what the interface adds (checks, the claim, the read
// path); small reads are served from the file's read buffer and are given
// as the time per call, fetches included.

#include "bench/support/Rounds.hxx"

#include <fcc/internal/FccSelfProxy.hxx>
#include <fcc/pipe/internal/FccProtocol.hxx>

#include "tests/support/FakeFccServer.hxx"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace Quillomark::Bench;
namespace Fcc = Quillomark::Fcc;
namespace Own = Quillomark::Fcc::SelfProxy;

constexpr int FILE_BYTES = 4 * 1024 * 1024;
constexpr int LARGE_READ = 1024 * 1024;
constexpr int SMALL_READ = 10;
constexpr int SMALL_READ_SPAN = 1024 * 1024;  // read in small pieces per iteration

std::unique_ptr<Quillomark::Testing::FakeFccServer> server;
std::string ticket;
FccFile* file = nullptr;

void readWhole(int pieceSize, int span, std::vector<char>& into) {
    if (Own::FCC_SeekAbsolute(file, 0) != 0) std::abort();
    int bytesRead = 0;
    for (int at = 0; at < span; at += bytesRead) {
        if (Own::FCC_ReadBytes(file, "IMD", pieceSize, &bytesRead, into.data() + at) != 0) {
            std::abort();
        }
    }
}

void largeReads(benchmark::State& state) {
    Fcc::FccServerFile bare;
    bare.ticket = ticket.c_str();
    if (Fcc::FccOpenExchange(bare) < 0) std::abort();
    std::vector<char> into(FILE_BYTES);
    againstBaseline(
        state,
        [&] {
            for (int at = 0; at < FILE_BYTES; at += LARGE_READ) {
                bare.position = at;
                benchmark::DoNotOptimize(
                    Fcc::FccDataExchange(bare, "IMD", into.data() + at, LARGE_READ, 0));
            }
        },
        [&] { readWhole(LARGE_READ, FILE_BYTES, into); });
    Fcc::FccCloseExchange(bare);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * FILE_BYTES);
}

void smallReads(benchmark::State& state) {
    std::vector<char> into(SMALL_READ_SPAN + SMALL_READ);
    for (auto _ : state) readWhole(SMALL_READ, SMALL_READ_SPAN, into);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * SMALL_READ_SPAN /
                            SMALL_READ);
}

void cases(Rounds& rounds) {
    const std::string folder = "/tmp/fcc-selfproxy-bench-" + std::to_string(getpid());
    mkdir(folder.c_str(), 0700);
    setenv("FMS_IPC_DIR", folder.c_str(), 1);
    // The interface needs a launch script to read its configuration; the
    // server is up already, so it is never run.
    setenv("FMS_HOME", folder.c_str(), 1);
    std::FILE* script = std::fopen((folder + "/startfcc.bat").c_str(), "w");
    if (script) std::fclose(script);
    server = std::make_unique<Quillomark::Testing::FakeFccServer>();
    ticket = std::string(300, 'b');
    ticket.replace(64, 4, "v123");
    server->addFile(ticket, std::string(FILE_BYTES, 's'));
    char* handle = nullptr;
    if (Own::FCC_Init(nullptr, nullptr) != 0 || Own::FCC_RegisterTicket(ticket.c_str(), &handle) ||
        Own::FCC_OpenFile(handle, &file)) {
        std::abort();
    }
    rounds.add("own reads of 1 MB", largeReads, Rounds::Timing::Manual);
    rounds.add("own reads of 10 bytes", smallReads);
}

void figures(const RoundRecorder& runs, FigureTable& table) {
    if (runs.has("own reads of 1 MB")) {
        table.add(
            Figure::atMost("FCC_ReadBytes of 1 MB pieces / bare data exchanges of the same pieces",
                           runs.medianCounter("own reads of 1 MB", "ratio"), "x", 1.10));
    }
    if (runs.has("own reads of 10 bytes")) {
        const double perCall =
            runs.medianSeconds("own reads of 10 bytes") / (SMALL_READ_SPAN / SMALL_READ) * 1e9;
        table.add(
            Figure::atMost("FCC_ReadBytes of 10 bytes, buffered, per call", perCall, "ns", 1000));
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int status = run(argc, argv, Program{cases, figures});
    Own::FCC_Term();
    return status;
}
